"""registro servir: the three protocols, spoken by a real server process, against the real cnpj module."""

from __future__ import annotations

import json
import signal

import pytest
import requests

from registro_helpers import comando, esperar_porta, gerar, iniciar, porta_livre, sem_proxy
from registry_server import empresa_exemplo
from scrivane_contract import cnpj
from scrivane_contract.registro import RegistroLocal, usar_registro


@pytest.fixture(scope="module")
def servidor(tmp_path_factory):
    pasta = tmp_path_factory.mktemp("rel")
    gerar(pasta, 300, seed=11)
    banco = pasta / "registro.sqlite3"
    proprios = pasta / "proprios.jsonl"
    proprios.write_text(json.dumps(empresa_exemplo("11222333000181")[1], ensure_ascii=False) + "\n",
                        encoding="utf-8")
    r = comando("registro", "importar", str(pasta), "--jsonl", str(proprios), "--banco", str(banco))
    assert r.returncode == 0, r.stderr
    porta = porta_livre()
    proc = iniciar("registro", "servir", "--banco", str(banco), "--porta", str(porta), env=sem_proxy())
    try:
        esperar_porta(porta, proc)
        yield proc, f"http://127.0.0.1:{porta}", banco
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


@pytest.fixture
def remoto(servidor, monkeypatch):
    _, url, banco = servidor
    monkeypatch.setenv("NO_PROXY", "127.0.0.1,localhost")
    with usar_registro(url):
        yield url, RegistroLocal(banco)


def test_the_cnpj_module_gets_the_same_answers_from_the_server_as_from_the_file(remoto, monkeypatch):
    url, reg = remoto
    con = reg._conexao()
    ativo = con.execute("SELECT chave, dv FROM estabelecimentos WHERE situacao = 2 LIMIT 1").fetchone()
    from scrivane_contract.registro.banco import cnpj_de_chave

    c = cnpj_de_chave(*ativo)
    razao = reg.brasilapi(c)["razao_social"]
    uf = reg.brasilapi(c)["uf"]

    def tudo():
        return [cnpj.consultar_cnpj(c), cnpj._consultar_receita_ws(c), cnpj.consultar_cnpj("11222333000181"),
                cnpj.buscar_cnpj_por_nome(razao, uf), cnpj.buscar_cnpj_por_nome("ACME COMERCIO", "SP"),
                cnpj.buscar_cnpj_por_nome("ACME COMERCIO", "AM"), cnpj.consultar_cnpj("11444777000161")]

    pelo_servidor = tudo()
    assert pelo_servidor[0]["fonte"] == "BrasilAPI" and pelo_servidor[1]["fonte"] == "ReceitaWS"
    assert pelo_servidor[3]["busca_por_nome"] and pelo_servidor[5] is None and pelo_servidor[6] is None
    assert pelo_servidor[1]["razao_social"] == pelo_servidor[0]["razao_social"]
    from scrivane_contract.registro.local import RequisicoesLocais

    monkeypatch.setattr(cnpj, "requests", RequisicoesLocais(reg))
    assert tudo() == pelo_servidor


@pytest.mark.parametrize("metodo, caminho, corpo, status, chave", [
    ("GET", "/api/cnpj/v1/11444777000161", None, 404, "not_found"),
    ("GET", "/api/cnpj/v1/12.345", None, 400, "bad_request"),
    ("GET", "/v1/cnpj/11444777000161", None, 200, "ERROR"),
    ("GET", "/v1/cnpj/11222333000181/days/30", None, 200, "OK"),
    ("POST", "/v2/public/cnpj/search", "não é json", 400, False),
    ("POST", "/v2/public/cnpj/search", {"query": {"termo": ["ACME"], "situacao_cadastral": "ATIVA"}}, 200, True),
])
def test_status_codes_and_bodies_as_the_services_give_them(remoto, metodo, caminho, corpo, status, chave):
    url, _ = remoto
    dados = corpo if isinstance(corpo, str) else json.dumps(corpo)
    r = requests.request(metodo, url + caminho, data=dados, timeout=10)
    assert r.status_code == status
    body = r.json()
    assert chave in (body.get("type"), body.get("status"), body.get("success"))


def test_one_log_line_per_request_and_a_clean_stop(servidor):
    _, _, banco = servidor
    porta = porta_livre()
    proc = iniciar("registro", "servir", "--banco", str(banco), "--porta", str(porta), env=sem_proxy())
    try:
        esperar_porta(porta, proc)
        for c in ("11222333000181", "11444777000161", "11222333000181"):
            requests.get(f"http://127.0.0.1:{porta}/api/cnpj/v1/{c}", timeout=10)
        requests.post(f"http://127.0.0.1:{porta}/v2/public/cnpj/search", json={"query": {"termo": ["ACME"]}},
                      timeout=10)
    finally:
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=20)
    assert proc.returncode == 0, err
    linhas = out.splitlines()
    assert "publicação 2026-11-08" in linhas[0]
    assert [(x.split('"')[1].split()[0], x.split('"')[2].split()[0]) for x in linhas[1:]] == [
        ("GET", "200"), ("GET", "404"), ("GET", "200"), ("POST", "200")]
    assert "Traceback" not in err
