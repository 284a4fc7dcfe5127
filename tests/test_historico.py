"""History and monitoring end to end: the command line on the example contracts, the local
registry built from their JSONL, the history on SQLite and on a real PostgreSQL."""

from __future__ import annotations

import json
from pathlib import Path

import pytest
import sqlalchemy as sa

from scrivane_contract.cli import main
from scrivane_contract.historico import Historico
from scrivane_contract.historico.banco import VERSAO
from web_helpers import exemplos

EXEMPLOS = Path(__file__).resolve().parent.parent / "exemplos"
ACME_REPROVADO = "17058649000166"  # SOL NASCENTE, only in the rejected example


def rodar(capsys, *args):
    codigo = main([str(a) for a in args])
    saida = capsys.readouterr()
    return codigo, saida.out, saida.err


def importar(capsys, banco: Path, linhas: list[dict]) -> str:
    jsonl = banco.with_suffix(".jsonl")
    jsonl.write_text("".join(json.dumps(l, ensure_ascii=False) + "\n" for l in linhas), encoding="utf-8")
    codigo, out, err = rodar(capsys, "registro", "importar", "--banco", banco, "--jsonl", jsonl)
    assert codigo == 0, err
    return out


def registros_exemplo() -> list[dict]:
    return [json.loads(l) for l in (EXEMPLOS / "registro.jsonl").read_text(encoding="utf-8").splitlines() if l.strip()]


@pytest.fixture(params=["sqlite", "postgresql"])
def url_historico(request, tmp_path):
    if request.param == "sqlite":
        return str(tmp_path / "historico.sqlite3")
    return request.getfixturevalue("postgres_url")


def test_verifications_are_stored_found_shown_and_deleted(url_historico, tmp_path, capsys):
    banco = tmp_path / "registro.sqlite3"
    importar(capsys, banco, registros_exemplo())
    contratos = exemplos()
    base = ["--provedor", "local", "--registro", f"sqlite:{banco}", "--historico", url_historico]
    codigo, out, err = rodar(capsys, "verificar", "--json", *base, *contratos.values())
    assert codigo == 1 and "já foi verificado" not in err
    registros = {json.loads(l)["veredito"]: json.loads(l) for l in out.splitlines()}
    assert set(registros) == {"APROVADO", "REPROVADO", "PENDENTE"}
    reprovado = registros["REPROVADO"]
    assert reprovado["id"] and reprovado["provedor"] == "local" and reprovado["registro"]["fonte"] == "local"

    def listar(*filtros):
        codigo, out, _ = rodar(capsys, "historico", "--json", "--historico", url_historico, *filtros)
        assert codigo == 0
        return [json.loads(l) for l in out.splitlines()]

    assert [v["id"] for v in listar("--cnpj", "17.058.649/0001-66")] == [reprovado["id"]]
    assert [v["veredito"] for v in listar("--nome", "nórdica")] == ["APROVADO"]  # accents and case folded
    assert [v["veredito"] for v in listar("--nome", "claudia")] == ["PENDENTE"]  # a signatory's name
    assert [v["veredito"] for v in listar("--resultado", "pendente")] == ["PENDENTE"]
    assert len(listar("--desde", "2000-01-01")) == 3 and listar("--desde", "2999-01-01") == []

    # The same file again: said so, with the earlier verdict, date and id.
    codigo, _, err = rodar(capsys, "verificar", *base, "--silencioso", contratos["REPROVADO"])
    assert codigo == 1 and "já foi verificado" in err and f"REPROVADO (id {reprovado['id']})" in err
    assert len(listar("--cnpj", ACME_REPROVADO)) == 2
    codigo, out, _ = rodar(capsys, "verificar", "--json", *base, "--sem-historico", contratos["REPROVADO"])
    assert json.loads(out)["id"] is None and len(listar("--cnpj", ACME_REPROVADO)) == 2  # not stored

    codigo, out, _ = rodar(capsys, "historico", "mostrar", reprovado["id"][:8], "--historico", url_historico)
    assert codigo == 0 and "RESULTADO FINAL: REPROVADO" in out and reprovado["sha256"] in out
    codigo, out, _ = rodar(capsys, "historico", "mostrar", reprovado["id"], "--json", "--historico", url_historico)
    assert json.loads(out) == reprovado  # the one shape, stored and shown again

    codigo, out, _ = rodar(capsys, "historico", "apagar", reprovado["id"], "--historico", url_historico)
    assert codigo == 0 and len(listar("--cnpj", ACME_REPROVADO)) == 1
    codigo, _, err = rodar(capsys, "historico", "mostrar", reprovado["id"], "--historico", url_historico)
    assert codigo == 3 and "não encontrada" in err
    codigo, out, _ = rodar(capsys, "historico", "apagar", "--antes", "2999-01-01", "--historico", url_historico)
    assert codigo == 0 and out.startswith("3 ") and listar() == []

    h = Historico(url_historico)  # opened again: the schema is there, at its version, nothing to migrate
    try:
        assert h.versao() == VERSAO
        with h.engine.connect() as con:
            colunas = {c["name"] for c in sa.inspect(con).get_columns("verificacoes")}
        assert "conteudo" not in colunas and not any("pdf" in c for c in colunas)  # never the contract file
        with h.engine.begin() as con:  # as a newer program would leave it
            con.execute(sa.text("UPDATE esquema_versao SET versao = 99"))
    finally:
        h.fechar()
    codigo, _, err = rodar(capsys, "historico", "--historico", url_historico)
    assert codigo == 3 and f"esquema 99, mais novo que o deste programa ({VERSAO})" in err


def test_monitoring_lists_what_changed_between_two_registry_releases(tmp_path, capsys, monkeypatch):
    banco = tmp_path / "registro.sqlite3"
    monkeypatch.setenv("SCRIVANE_BANCO_REGISTRO", str(banco))
    historico = str(tmp_path / "historico.sqlite3")
    monkeypatch.setenv("SCRIVANE_HISTORICO", historico)
    registros = registros_exemplo()
    importar(capsys, banco, registros)
    codigo, _, _ = rodar(capsys, "verificar", "--provedor", "local", "--registro", "local", "--silencioso",
                         *exemplos().values())
    assert codigo == 1
    codigo, out, _ = rodar(capsys, "monitorar", "--registro", "local")
    assert codigo == 0 and out.strip() == "Nenhuma mudança nas 4 empresa(s) monitorada(s)."

    por_cnpj = {r["cnpj"]: r for r in registros}
    por_cnpj["64628897000185"]["descricao_situacao_cadastral"] = "BAIXADA"
    por_cnpj["64628897000185"]["qsa"] = [q for q in por_cnpj["64628897000185"]["qsa"]
                                         if q["nome_socio"] != "RENATA OLIVEIRA PRADO"]
    por_cnpj["51402614000130"]["razao_social"] = "NORDICA TECNOLOGIA LTDA"
    por_cnpj["51402614000130"]["logradouro"] = "BRIGADEIRO FARIA LIMA"
    por_cnpj["01419314000196"]["qsa"][0]["qualificacao_socio"] = "Conselheiro de Administração"
    out = importar(capsys, banco, list(por_cnpj.values()))
    assert out.splitlines()[-1] == ("Monitoramento: 3 de 4 empresa(s) monitorada(s) mudaram desde a verificação; "
                                    "veja com: scrivane-contract monitorar --registro local")

    codigo, out, _ = rodar(capsys, "monitorar", "--json", "--registro", "local")
    assert codigo == 1
    achado = json.loads(out)
    mudancas = sorted((m["cnpj"], m["campo"], m["antes"], m["agora"]) for m in achado["mudancas"])
    endereco = [m for m in mudancas if m[1] == "Endereço"]
    assert len(endereco) == 1 and "FUNCHAL" in endereco[0][2] and "BRIGADEIRO FARIA LIMA" in endereco[0][3]
    assert [m for m in mudancas if m[1] != "Endereço"] == [
        ("01419314000196", "Qualificação no QSA: CLAUDIA REGINA FONTANA", "Diretor", "Conselheiro de Administração"),
        ("51402614000130", "Razão Social", "NORDICA SISTEMAS DE INFORMACAO LTDA", "NORDICA TECNOLOGIA LTDA"),
        ("64628897000185", "Signatário no QSA", "RENATA OLIVEIRA PRADO (Sócio-Administrador)",
         "não consta mais no QSA"),
        ("64628897000185", "Situação Cadastral", "ATIVA", "BAIXADA"),
    ]
    lumina = next(m for m in achado["mudancas"] if m["cnpj"] == "64628897000185")
    assert len(lumina["arquivos"]) == 3  # every verified contract it is a party to
    assert (achado["monitoradas"], achado["empresas_com_mudanca"], achado["nao_consultadas"]) == (4, 3, [])

    # Only the verifications since a date: none after the future.
    codigo, out, _ = rodar(capsys, "monitorar", "--desde", "2999-01-01", "--registro", "local")
    assert codigo == 0 and "0 empresa(s)" in out

    # The page shows the same alerts, from the last full run.
    rodar(capsys, "monitorar", "--registro", "local")
    from fastapi.testclient import TestClient

    from scrivane_contract.web import criar_app

    h = Historico(historico)
    try:
        with TestClient(criar_app(lambda: (lambda c: {}), token=None, historico=h)) as cliente:
            alertas = cliente.get("/api/monitoramento").json()
            pagina = cliente.get("/historico")
        assert len(alertas["mudancas"]) == 5 and alertas["monitoradas"] == 4
        assert pagina.status_code == 200 and "Alertas de monitoramento" in pagina.text
    finally:
        h.fechar()


def test_a_version_1_history_keeps_its_waiting_uploads_through_the_migration(url_historico):
    """The queue of version 1 (``trabalhos``) gives its waiting uploads to ``envios``; on PostgreSQL
    procrastinate's schema is created; done jobs and the old table go."""
    from scrivane_contract.historico import banco

    alvo = banco._url_sqlalchemy(url_historico)
    engine = sa.create_engine(alvo)
    with engine.begin() as con:
        banco.esquema_versao.create(con)
        banco._migrar_v1(con)
        con.execute(banco.esquema_versao.insert().values(versao=1))
        con.execute(banco._trabalhos_v1.insert(), [
            {"id": "esperando", "arquivo": "a.pdf", "estado": "na_fila", "criada_em": 1.0, "conteudo": b"%PDF-a"},
            {"id": "rodando", "arquivo": "b.pdf", "estado": "em_andamento", "criada_em": 2.0, "conteudo": b"%PDF-b",
             "dono": "m:1:0", "lease_ate": 9.0, "tentativas": 1},
            {"id": "pronto", "arquivo": "c.pdf", "estado": "concluida", "criada_em": 3.0, "conteudo": None}])
    engine.dispose()
    h = Historico(url_historico)
    try:
        assert h.versao() == VERSAO == 2
        with h.engine.connect() as con:
            assert con.execute(sa.select(banco.envios.c.id, banco.envios.c.arquivo, banco.envios.c.conteudo)
                               .order_by(banco.envios.c.criada_em)).all() == [
                ("esperando", "a.pdf", b"%PDF-a"), ("rodando", "b.pdf", b"%PDF-b")]
            tabelas = set(sa.inspect(con).get_table_names())
        assert "trabalhos" not in tabelas
        assert ("procrastinate_jobs" in tabelas) == (not h.sqlite)
    finally:
        h.fechar()
