"""A local registry is never the last word on a company it lacks; every answer says where it came from.

Through the real checker and command line, a local database (partial: a JSONL list; complete: a whole
generated release) and the local registry server standing in for the public services."""

from __future__ import annotations

import datetime as dt
import json
import re
import shutil
from pathlib import Path

import pytest
from registro_helpers import comando, gerar
from registry_server import RegistryServer, empresa_exemplo
from registry_server import Reply as RegReply

from scrivane_contract import cnpj
from scrivane_contract.registro import RegistroLocal, usar_registro
from scrivane_contract.registro.consultas import DISJUNTOR, procedencia
from pdfs import write_text_pdf
from test_cli import ACME, ACME_F, EMPRESA, contrato, env, llm, responder, rodar  # noqa: F401

BETA = "45997418000153"
BETA_F = "45.997.418/0001-53"
EMPRESA_BETA = {"cnpj": BETA_F, "razao_social": "BETA SERVICOS S.A.", "nome_fantasia": None, "endereco": None,
                "papel_no_contrato": "contratada"}
MES = dt.date.today().isoformat()[:7]  # a JSONL list is dated by the month of its import


def contrato_com_beta(pasta, nome, signatario):
    """``contrato`` with the second company printed too, so that both companies the engine names are in it."""
    return write_text_pdf(Path(pasta) / nome, [f"CONTRATO {nome}\nCONTRATANTE: ACME COMERCIO DE TESTES LTDA, "
                                               f"CNPJ {ACME_F}\nCONTRATADA: BETA SERVICOS S.A., CNPJ {BETA_F}\n"
                                               f"{signatario}"])


@pytest.fixture(scope="module")
def bancos(tmp_path_factory):
    """{"parcial": JSONL with ACME only, "completo": a whole release plus ACME, "incompleto": a release
    missing one file} -> database path."""
    pasta = tmp_path_factory.mktemp("bancos")
    jsonl = pasta / "acme.jsonl"
    jsonl.write_text(json.dumps(empresa_exemplo(ACME)[1], ensure_ascii=False) + "\n", encoding="utf-8")
    release = pasta / "release"
    gerar(release, 150, seed=5, sujeira=False)
    incompleta = pasta / "incompleta"
    shutil.copytree(release, incompleta)
    (incompleta / "Socios3.zip").unlink()
    caminhos = {}
    for nome, args in (("parcial", ["--jsonl", str(jsonl)]), ("completo", [str(release), "--jsonl", str(jsonl)]),
                       ("incompleto", [str(incompleta), "--parcial"])):
        caminhos[nome] = pasta / f"{nome}.sqlite3"
        r = comando("registro", "importar", *args, "--banco", str(caminhos[nome]))
        assert r.returncode == 0, r.stderr
    return caminhos


@pytest.fixture
def servicos(env):  # noqa: F811
    """The public services, played by the local registry server: they know ACME and BETA."""
    with RegistryServer() as server:
        server.add_company(*empresa_exemplo(ACME))
        server.add_company(*empresa_exemplo(BETA, "BETA SERVICOS S.A.", "RJ"))
        for nome, url in (("BRASIL_API_URL", server.brasil_api_url), ("RECEITA_WS_URL", server.receita_ws_url),
                          ("CASADOSDADOS_API", server.casadosdados_url)):
            env.setattr(cnpj, nome, url)
        DISJUNTOR.reiniciar()
        yield server
        DISJUNTOR.reiniciar()


def test_the_database_says_whether_it_holds_a_whole_release(bancos):
    assert RegistroLocal(bancos["completo"]).procedencia() == {
        "publicacao": "2026-11", "completo": True, "descricao": "Registro local (publicação 2026-11)"}
    assert RegistroLocal(bancos["incompleto"]).procedencia()["descricao"] == "Registro local parcial (publicação 2026-11)"
    assert RegistroLocal(bancos["parcial"]).procedencia() == {
        "publicacao": MES, "completo": False, "descricao": f"Registro local parcial (publicação {MES})"}
    info = comando("registro", "info", "--banco", str(bancos["parcial"]))
    assert "Conteúdo: parcial" in info.stdout
    # The release as the reports name it, never "desconhecida"; one row in the singular.
    assert f"Publicação: {MES}\n" in info.stdout and re.search(r"extras\s+1 linha\n", info.stdout)


@pytest.mark.parametrize("banco", ["parcial", "completo"])
def test_a_company_the_database_lacks_is_asked_online_and_the_online_answer_decides(
        bancos, servicos, llm, tmp_path, capsys, banco):  # noqa: F811
    pdf = contrato_com_beta(tmp_path, "c.pdf", "Maria da Silva")
    responder(llm, "c.pdf", "Maria da Silva", empresas=(EMPRESA, EMPRESA_BETA))
    codigo, out, err = rodar(capsys, "verificar", "--json", "--sem-cache", "--registro", f"sqlite:{bancos[banco]}",
                             pdf)
    objeto = json.loads(out)
    r = objeto["resultado"]
    assert (codigo, r["resultado_final"]) == (0, "APROVADO"), r
    # Each company says where its data came from, in the order of the companies.
    local_json, online_json = objeto["procedencia"]
    assert (local_json["cnpj"], local_json["origem"], local_json["publicacao"]) == (
        ACME_F, "registro_local", "2026-11" if banco == "completo" else MES)
    assert (online_json["cnpj"], online_json["origem"], online_json["servico"]) == (BETA_F, "online", "BrasilAPI")
    assert objeto["avisos"] == []
    # ACME came from the database, BETA from the services: only BETA was asked online.
    assert [q.path for q in servicos.requests] == [f"/api/cnpj/v1/{BETA}"]
    local, online = procedencia(ACME), procedencia(BETA_F)
    descricao = "Registro local (publicação 2026-11)" if banco == "completo" else \
        f"Registro local parcial (publicação {MES})"
    assert (local["origem"], local["descricao"], local["completo"]) == ("registro_local", descricao, banco == "completo")
    assert online["origem"] == "online" and online["descricao"].startswith("BrasilAPI, consulta em ")
    assert dt.datetime.fromisoformat(online["consultado_em"]) <= dt.datetime.now(dt.timezone.utc)

    # A company the services do not know either is rejected, as always.
    servicos.brasil.pop(BETA)
    servicos.receita.pop(BETA)
    servicos.requests.clear()
    codigo, out, err = rodar(capsys, "verificar", "--json", "--sem-cache", "--registro", f"sqlite:{bancos[banco]}",
                             pdf)
    r = json.loads(out)["resultado"]
    assert (codigo, r["campos_reprovados"]) == (1, ["CNPJ - BETA SERVICOS S.A."])
    assert r["empresas"][1]["campos"][0]["mensagem"] == "CNPJ não encontrado na Receita Federal"


def test_a_later_verification_never_reports_an_earlier_lookups_provenance(bancos, servicos, llm, tmp_path,
                                                                          capsys):  # noqa: F811
    # The process answered ACME from the local database once; a later verification whose lookups go
    # straight to the services (a caller's own client, which records nothing) must not claim it.
    pdf = contrato(tmp_path, "c.pdf", "Maria da Silva")
    responder(llm, "c.pdf", "Maria da Silva")
    codigo, out, _ = rodar(capsys, "verificar", "--json", "--sem-cache", "--registro", f"sqlite:{bancos['parcial']}",
                           pdf)
    assert json.loads(out)["procedencia"][0]["origem"] == "registro_local"

    import requests

    from scrivane_contract.checker import ContractChecker
    from scrivane_contract.verificacao import verificar_arquivo

    cnpj.requests = requests
    v = verificar_arquivo(pdf, ContractChecker(verbose=False).verificar)
    assert v.resultado["empresas"][0]["cnpj_encontrado"] and v.procedencia == [None]
    assert [q.path for q in servicos.requests][-1] == f"/api/cnpj/v1/{ACME}"


@pytest.mark.parametrize("banco", ["parcial", "completo"])
@pytest.mark.parametrize("como", ["--offline", "SCRIVANE_OFFLINE"])
def test_offline_a_company_the_database_lacks_is_pending_never_not_found(
        bancos, servicos, llm, env, tmp_path, capsys, banco, como):  # noqa: F811
    pdf = contrato_com_beta(tmp_path, "c.pdf", "Maria da Silva")
    responder(llm, "c.pdf", "Maria da Silva", empresas=(EMPRESA, EMPRESA_BETA))
    args = ["verificar", "--json", "--registro", f"sqlite:{bancos[banco]}", pdf]
    if como == "--offline":
        args.insert(1, "--offline")
    else:
        env.setenv("SCRIVANE_OFFLINE", "1")
    codigo, out, err = rodar(capsys, *args)
    r = json.loads(out)["resultado"]
    publicacao = "2026-11" if banco == "completo" else MES
    assert (codigo, r["resultado_final"], r["campos_pendentes"]) == (2, "PENDENTE", ["CNPJ - BETA SERVICOS S.A."])
    campo = r["empresas"][1]["campos"][0]
    assert (campo["status"], campo["mensagem"]) == (
        "pendente", f"Não consta no registro local (publicação {publicacao}); consulta à Receita Federal não concluída")
    assert servicos.requests == []  # nothing went online

    codigo, out, err = rodar(capsys, "cnpj", "--json", "--offline", "--registro", f"sqlite:{bancos[banco]}", ACME_F)
    objeto = json.loads(out)
    assert (codigo, objeto["status"], objeto["procedencia"]["origem"]) == (0, "encontrado", "registro_local")
    # The same for the registry commands and the detailed lookup.
    codigo, out, err = rodar(capsys, "cnpj", "--offline", "--registro", f"sqlite:{bancos[banco]}", BETA_F)
    assert (codigo, out) == (4, "")
    assert f"CNPJ {BETA_F}: Não consta no registro local (publicação {publicacao})" in err
    codigo, out, err = rodar(capsys, "buscar", "BETA SERVICOS", "--offline", "--registro",
                             f"sqlite:{bancos[banco]}")
    assert codigo == 4 and "Não consta no registro local" in err
    with usar_registro(f"sqlite:{bancos[banco]}", online=None):
        assert cnpj.consultar_cnpj_detalhado(BETA) == (None, "indisponivel")
        assert cnpj.consultar_cnpj_detalhado(ACME)[1] == "encontrado"
    assert servicos.requests == []


def test_an_online_failure_after_a_local_miss_is_pending_with_the_local_reason(bancos, servicos, llm, tmp_path,
                                                                               capsys):  # noqa: F811
    # Errors the polite client does not retry (429 and 503 wait for the service).
    servicos.reply("brasilapi", RegReply.error(500))
    servicos.reply("receitaws", RegReply.error(502))
    servicos.reply("casadosdados", RegReply.error(500))
    pdf = contrato_com_beta(tmp_path, "c.pdf", "Maria da Silva")
    responder(llm, "c.pdf", "Maria da Silva", empresas=(EMPRESA, EMPRESA_BETA))
    codigo, out, err = rodar(capsys, "verificar", "--json", "--sem-cache", "--registro",
                             f"sqlite:{bancos['parcial']}", pdf)
    r = json.loads(out)["resultado"]
    assert (codigo, r["campos_pendentes"]) == (2, ["CNPJ - BETA SERVICOS S.A."])
    assert r["empresas"][1]["campos"][0]["mensagem"].startswith("Não consta no registro local")


def test_a_registro_servir_server_that_lacks_a_company_is_no_last_word_either(bancos, servicos, tmp_path):
    from scrivane_contract.registro.servidor import criar_app

    import uvicorn
    from registro_helpers import porta_livre
    from web_helpers import servir_em_fio

    porta = porta_livre()
    servidor = uvicorn.Server(uvicorn.Config(criar_app(bancos["parcial"]), host="127.0.0.1", port=porta,
                                             log_level="warning", lifespan="off"))
    t = servir_em_fio(servidor)
    try:
        base = f"http://127.0.0.1:{porta}"
        import requests

        with usar_registro(base, online=requests):
            assert cnpj.consultar_cnpj(BETA)["razao_social"] == "BETA SERVICOS S.A."  # from the services
            assert procedencia(BETA)["origem"] == "online"
            assert cnpj.consultar_cnpj(ACME)["fonte"] == "BrasilAPI"
            assert procedencia(ACME)["descricao"] == f"Registro em {base} (publicação {MES})"
        with usar_registro(base, online=None):
            assert cnpj.consultar_cnpj_detalhado(BETA) == (None, "indisponivel")
            assert cnpj.requests.motivo_indisponivel == (
                f"Não consta no registro local (publicação {MES}); consulta à Receita Federal não concluída")
    finally:
        servidor.should_exit = True
        t.join(10)


def test_the_web_page_shows_where_each_company_came_from_and_the_witnesses(tmp_path, env):  # noqa: F811
    from fastapi.testclient import TestClient

    from scrivane_contract.checker import ContractChecker
    from scrivane_contract.web import criar_app
    from test_web_api import aguardar, enviar

    exemplos = Path(__file__).resolve().parent.parent / "exemplos"
    banco = tmp_path / "exemplos.sqlite3"
    assert comando("registro", "importar", "--jsonl", str(exemplos / "registro.jsonl"), "--banco",
                   str(banco)).returncode == 0
    with usar_registro(f"sqlite:{banco}", online=None):
        app = criar_app(lambda: ContractChecker(provider="local", verbose=False).verificar, trabalhadores=1)
        with TestClient(app) as cliente:
            ident = enviar(cliente, (exemplos / "contrato_aprovado.pdf").read_bytes()).json()["id"]
            estado = aguardar(cliente, ident)
            html = cliente.get(f"/api/verificacoes/{ident}/relatorio").text
    assert estado["resultado"]["resultado_final"] == "APROVADO"
    assert [p["descricao"] for p in estado["procedencia"]] == [f"Registro local parcial (publicação {MES})"] * 2
    assert html.count(f"Dados: Registro local parcial (publicação {MES})") == 2
    assert html.count("Testemunha: assina sem representar empresa") == 2


GAMA = "34028316000103"
GAMA_F = "34.028.316/0001-03"


@pytest.mark.parametrize("rede", ["offline", "online"])
def test_a_closed_company_found_by_name_is_reported_as_found_never_as_absent(servicos, llm, env, tmp_path, capsys,
                                                                              rede):  # noqa: F811
    # The contract prints the number with a digit missing: the company is looked up by name, and the
    # local registry holds it only as closed (the name search asks for active companies).
    numero, brasil, _ = empresa_exemplo(GAMA, "GAMA INDUSTRIA DE PAPEIS LTDA", "MG")
    brasil["descricao_situacao_cadastral"] = "BAIXADA"
    jsonl = tmp_path / "gama.jsonl"
    jsonl.write_text(json.dumps(brasil, ensure_ascii=False) + "\n", encoding="utf-8")
    banco = tmp_path / "gama.sqlite3"
    assert comando("registro", "importar", "--jsonl", str(jsonl), "--banco", str(banco)).returncode == 0
    pdf = contrato(tmp_path, "c.pdf", "Maria da Silva")
    responder(llm, "c.pdf", "Maria da Silva", empresas=({**EMPRESA, "cnpj": GAMA_F[:-1],
                                                         "razao_social": "GAMA INDUSTRIA DE PAPEIS LTDA"},))
    args = ["verificar", "--json", "--sem-cache", "--registro", f"sqlite:{banco}", pdf]
    if rede == "offline":
        args.insert(1, "--offline")
    codigo, out, err = rodar(capsys, *args)
    r = json.loads(out)["resultado"]
    campos = {c["campo"]: c for c in r["empresas"][0]["campos"]}
    mensagens = " ".join(c["mensagem"] for c in campos.values())
    assert "Não consta" not in mensagens and "BAIXADA" in mensagens, r
    assert (codigo, r["resultado_final"]) == (1, "REPROVADO")
    e = r["empresas"][0]
    assert (e["cnpj_buscado_por_nome"], e["empresa_ativa"], e["razao_social_receita"]) == (
        True, False, "GAMA INDUSTRIA DE PAPEIS LTDA")
    # Online, the services were asked first (they know no such company).
    assert bool(servicos.requests) == (rede == "online")
