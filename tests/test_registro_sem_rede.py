"""Without access to the registry a run fails fast, with a hint; a CNPJ with wrong check digits is a finding.

Through the command line with the local provider (no model) and the real cnpj module; the "public
services" are a port nobody listens on, or the local registry server."""

from __future__ import annotations

import json
import socket
import sys
from pathlib import Path

import pytest
import requests
from pdfs import write_text_pdf
from registro_helpers import porta_livre
from registry_server import Reply, empresa_exemplo

from scrivane_contract import cnpj
from scrivane_contract.apresentacao import pagina_relatorio
from scrivane_contract.registro.consultas import (DICA_SEM_ACESSO, DISJUNTOR, Disjuntor, falha_de_conexao,
                                                  tipo_de_falha)
from test_cli import env, reg, rodar  # noqa: F401

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tools"))
import gerar_exemplos  # noqa: E402

LUMINA_F, NORDICA_F = "64.628.897/0001-85", "51.402.614/0001-30"


@pytest.fixture
def contratos(tmp_path):
    """The approved example contract (two companies, two partners, two witnesses), 20 times."""
    modelo = tmp_path / "modelo.pdf"
    gerar_exemplos.escrever_pdf(modelo, gerar_exemplos.APROVADO)
    saida = []
    for i in range(20):
        destino = tmp_path / "lote" / f"c{i:02d}.pdf"
        destino.parent.mkdir(exist_ok=True)
        destino.write_bytes(modelo.read_bytes())
        saida.append(destino)
    return saida


@pytest.fixture
def sem_rede(env, monkeypatch):  # noqa: F811
    """Every public service on a port nobody listens on; counts the connection attempts made to it."""
    porta = porta_livre()
    for nome, caminho in (("BRASIL_API_URL", "/api/cnpj/v1/{cnpj}"), ("RECEITA_WS_URL", "/v1/cnpj/{cnpj}"),
                          ("CASADOSDADOS_API", "/v2/public/cnpj/search")):
        env.setattr(cnpj, nome, f"http://127.0.0.1:{porta}{caminho}")
    tentativas = []
    conectar = socket.socket.connect

    def contar(self, endereco):
        if isinstance(endereco, tuple) and endereco[1] == porta:
            tentativas.append(endereco)
        return conectar(self, endereco)

    monkeypatch.setattr(socket.socket, "connect", contar)
    DISJUNTOR.reiniciar()
    yield tentativas
    DISJUNTOR.reiniciar()


def test_twenty_contracts_with_the_registry_unreachable_ask_it_only_until_the_first_failure(
        contratos, sem_rede, capsys):
    codigo, out, err = rodar(capsys, "verificar", "--json", "--provedor", "local", "--paralelo", "4",
                             "--sem-cache", *contratos)
    objetos = [json.loads(linha) for linha in out.splitlines()]
    assert codigo == 2 and len(objetos) == 20
    for o in objetos:
        r = o["resultado"]
        assert r["resultado_final"] == "PENDENTE"
        assert [e["campos"][0]["mensagem"] for e in r["empresas"]] == [
            "Receita Federal indisponível: consulta não concluída"] * 2
        # The witnesses are witnesses, whatever the registry.
        assert [a["campos"][0]["campo"] for a in r["assinaturas"]][-2:] == ["Testemunha", "Testemunha"]
        assert o["avisos"] == [DICA_SEM_ACESSO]
    # Before: every CNPJ and name search asked each service, with retries (hundreds of connections).
    # Now one request probes the host while the other workers wait, and after its refused
    # connection the host is left alone: one connection in all.
    assert len(sem_rede) == 1
    assert err.count(DICA_SEM_ACESSO) == 1

    # The report of one contract ends with the hint.
    codigo, out, err = rodar(capsys, "verificar", "--provedor", "local", "--sem-cache", contratos[0])
    assert codigo == 2 and f"   ⚠️ {DICA_SEM_ACESSO}" in out.splitlines()


def test_offline_nothing_is_asked_and_the_hint_points_to_the_local_registry(contratos, sem_rede, capsys):
    codigo, out, err = rodar(capsys, "verificar", "--offline", "--provedor", "local", contratos[0])
    assert codigo == 2 and sem_rede == []
    assert "Receita Federal indisponível: consulta não concluída" in out
    assert f"   ⚠️ {DICA_SEM_ACESSO}" in out.splitlines()
    codigo, out, err = rodar(capsys, "cnpj", "--offline", LUMINA_F)
    assert codigo == 4 and "Receita Federal indisponível" in err and sem_rede == []
    assert err.splitlines()[-1] == f"scrivane-contract: aviso: {DICA_SEM_ACESSO}"


@pytest.mark.parametrize("erro, de_conexao", [
    (requests.exceptions.ConnectTimeout("tempo esgotado ao conectar"), True),  # a black hole: one wait per host
    (requests.exceptions.ReadTimeout("tempo esgotado ao ler"), False),
    (requests.exceptions.ConnectionError("conexão interrompida"), False),
    (ConnectionRefusedError(111, "Connection refused"), True),
    (socket.gaierror(-2, "Name or service not known"), True),
    (OSError(113, "No route to host"), True),
])
def test_only_a_host_out_of_reach_stops_the_lookups(erro, de_conexao):
    assert falha_de_conexao(erro) is de_conexao
    agora = [0.0]
    d = Disjuntor(espera=60.0, relogio=lambda: agora[0])
    d.permitir("https://brasilapi.com.br/api/cnpj/v1/1")
    d.falhou("https://brasilapi.com.br/api/cnpj/v1/1", erro)
    if not de_conexao:  # a time-out or a broken answer keeps its retries
        d.permitir("https://brasilapi.com.br/api/cnpj/v1/2")
        assert not d.houve_falha()
        return
    with pytest.raises(requests.exceptions.ConnectionError, match="sem acesso a brasilapi.com.br"):
        d.permitir("https://brasilapi.com.br/api/cnpj/v1/2")
    d.permitir("https://receitaws.com.br/v1/cnpj/2")  # another host is still asked
    agora[0] = 61.0
    d.permitir("https://brasilapi.com.br/api/cnpj/v1/3")  # and this one again after a while
    assert d.tentativas == {"brasilapi.com.br": 2, "receitaws.com.br": 1} and not d.houve_falha()


def test_a_real_refused_connection_is_out_of_reach():
    porta = porta_livre()
    with pytest.raises(requests.exceptions.ConnectionError) as e:
        requests.get(f"http://127.0.0.1:{porta}/", timeout=5)
    assert falha_de_conexao(e.value) and tipo_de_falha(e.value) == "recusada"


def test_a_cnpj_with_wrong_check_digits_is_a_finding_in_the_report_and_on_the_page(env, reg, tmp_path,  # noqa: F811
                                                                                  capsys):
    # The contract writes Lumina's CNPJ with a wrong last digit, and the registry answers for it.
    errado = "64628897000186"
    texto = dict(gerar_exemplos.APROVADO)
    texto["corpo"] = [linha.replace(LUMINA_F, "64.628.897/0001-86") for linha in gerar_exemplos.APROVADO["corpo"]]
    pdf = tmp_path / "digito.pdf"
    gerar_exemplos.escrever_pdf(pdf, texto)
    lumina = next(e for e in gerar_exemplos.REGISTRO if e["cnpj"] == "64628897000185")
    reg.add_company(errado, dict(lumina, cnpj=errado), None)
    reg.add_company("51402614000130", next(e for e in gerar_exemplos.REGISTRO if e["cnpj"] == "51402614000130"), None)
    codigo, out, err = rodar(capsys, "verificar", "--provedor", "local", "--registro", reg.url, pdf)
    problema = "CNPJ com dígitos verificadores inválidos: 64.628.897/0001-86"
    assert f"   ❌ LUMINA VAREJO DE ELETRODOMESTICOS LTDA: {problema}" in out.splitlines()
    assert out.count("dígitos verificadores") == 1  # Nórdica's CNPJ is sound

    codigo, out, err = rodar(capsys, "verificar", "--json", "--provedor", "local", "--registro", reg.url, pdf)
    objeto = json.loads(out)
    # The number was looked up as written and the registry answered for it: the finding is the check
    # digits', whatever a lookup would say.
    lumina_e = next(e for e in objeto["resultado"]["empresas"] if e["cnpj"] == "64.628.897/0001-86")
    assert lumina_e["cnpj_encontrado"] and any(q.path.endswith("/" + errado) for q in reg.requests)
    pagina = pagina_relatorio(objeto["resultado"], "digito.pdf", procedencia=objeto["procedencia"],
                              avisos=["sem acesso à Receita Federal: use --registro local (veja o README)"])
    assert f"<strong>LUMINA VAREJO DE ELETRODOMESTICOS LTDA:</strong> {problema}" in pagina
    assert f"Dados: Registro em {reg.url}" in pagina
    assert "sem acesso à Receita Federal: use --registro local (veja o README)" in pagina
    # The witnesses read as witnesses on the page too.
    assert pagina.count("Testemunha: assina sem representar empresa") == 2 and 'linha--neutro testemunha' in pagina


@pytest.mark.parametrize("erro, segundo_tenta", [
    (ConnectionRefusedError(111, "Connection refused"), False),   # out of reach: the others give up at once
    (requests.exceptions.ReadTimeout("tempo esgotado"), True),     # there, or may be: the others go on
])
def test_while_one_request_probes_a_new_host_the_others_wait_for_its_outcome(erro, segundo_tenta):
    import threading

    d = Disjuntor()
    url = "https://brasilapi.com.br/api/cnpj/v1/1"
    d.permitir(url)  # the probe
    desfecho = []

    def outro():
        try:
            d.permitir(url)
            desfecho.append("tentou")
        except requests.exceptions.ConnectionError:
            desfecho.append("desistiu")

    t = threading.Thread(target=outro)
    t.start()
    t.join(0.3)
    assert t.is_alive() and desfecho == []  # waiting for the probe
    d.falhou(url, erro)
    t.join(5)
    assert desfecho == ["tentou" if segundo_tenta else "desistiu"]


@pytest.mark.parametrize("caso", ["erro do servidor", "tempo esgotado", "disjuntor de antes"])
def test_the_hint_only_when_the_registry_was_out_of_reach_and_a_company_went_unanswered(env, reg, tmp_path,  # noqa: F811
                                                                                      capsys, caso):
    """A registry that was reached but failed, or a host found out of reach while every company was
    answered by another, is no reason to send the user to the local registry."""
    pdf = write_text_pdf(tmp_path / "acme.pdf", [
        "CONTRATO DE PRESTAÇÃO DE SERVIÇOS\nCONTRATANTE: ACME COMERCIO DE TESTES LTDA, pessoa jurídica de direito "
        "privado,\ninscrita no CNPJ sob o nº 11.222.333/0001-81, com sede na Av. Paulista, 1000, São Paulo/SP,\n"
        "neste ato representada por sua sócia Maria da Silva.\nAs partes resolvem celebrar o presente contrato.\n"
        "Assinam: Maria da Silva, sócia administradora"])
    if caso == "disjuntor de antes":
        # BrasilAPI out of reach (the breaker trips on it); ReceitaWS answers for the company.
        env.setattr(cnpj, "BRASIL_API_URL", f"http://127.0.0.1:{porta_livre()}/api/cnpj/v1/{{cnpj}}")
        env.setattr(cnpj, "RECEITA_WS_URL", reg.receita_ws_url)
        env.setattr(cnpj, "CASADOSDADOS_API", reg.casadosdados_url)
        opcoes = ["--sem-cache"]
    else:
        if caso == "tempo esgotado":
            env.setattr(cnpj, "REQUEST_TIMEOUT", 0.3)
            resposta = Reply.late(3)
        else:
            resposta = Reply.error(503)
        reg.reply("brasilapi", resposta)
        reg.reply("receitaws", resposta)
        reg.reply("casadosdados", Reply.error(503))
        opcoes = ["--registro", reg.url]
    DISJUNTOR.reiniciar()
    codigo, out, err = rodar(capsys, "verificar", "--json", "--provedor", "local", *opcoes, pdf)
    objeto = json.loads(out)
    (empresa,) = objeto["resultado"]["empresas"]
    if caso == "disjuntor de antes":
        assert DISJUNTOR.houve_falha() and empresa["cnpj_encontrado"]  # the breaker tripped; the company answered
    else:
        assert not empresa["cnpj_encontrado"] and empresa["campos"][0]["status"] == "pendente"
        assert reg.requests  # the registry was reached
    assert objeto["avisos"] == [] and DICA_SEM_ACESSO not in err
    codigo, out, err = rodar(capsys, "verificar", "--provedor", "local", *opcoes, pdf)
    assert "RESULTADO FINAL" in out and DICA_SEM_ACESSO not in out + err
