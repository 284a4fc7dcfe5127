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


def test_ids_by_prefix_dates_and_the_listing_limit(url_historico, tmp_path, capsys):
    """A prefix two ids share names neither (and deletes nothing); dates are compared to the second; a limit
    of 0 lists everything."""
    from scrivane_contract.historico.banco import normalizar_data
    from scrivane_contract.verificacao import Verificacao

    banco = tmp_path / "registro.sqlite3"
    importar(capsys, banco, registros_exemplo())
    codigo, out, _ = rodar(capsys, "verificar", "--json", "--provedor", "local", "--registro", f"sqlite:{banco}",
                           "--sem-historico", exemplos()["APROVADO"])
    modelo = json.loads(out)
    assert codigo == 0 and modelo["veredito"] == "APROVADO"

    def copia(ident: str, quando: str) -> Verificacao:
        return Verificacao.de_json(dict(modelo, id=ident, verificado_em=normalizar_data(quando)))

    # Around midnight of 15 March 2026 (UTC), a verification of São Paulo's evening (UTC-3) among them.
    proprias = {"ab12c3d4e5f6": "2026-03-14T23:59:59+00:00", "ab34f5a6b7c8": "2026-03-15T00:00:00+00:00",
                "ab5e6f7a8b9c": "2026-03-14T21:30:00-03:00", "cd9012345678": "2025-12-31T12:00:00+00:00"}
    antigas = {f"f{i:011x}": f"2024-{1 + i % 12:02d}-{1 + i % 28:02d}T{i % 24:02d}:15:00+00:00" for i in range(56)}
    h = Historico(url_historico)
    try:
        for ident, quando in proprias.items():
            h.guardar(copia(ident, quando))
        h.guardar_lote(copia(ident, quando) for ident, quando in antigas.items())
    finally:
        h.fechar()
    total = len(proprias) + len(antigas)

    def listar(*filtros):
        codigo, out, err = rodar(capsys, "historico", "--json", "--historico", url_historico, *filtros)
        assert codigo == 0, err
        return [json.loads(l)["id"] for l in out.splitlines()]

    # Three ids start with "ab": the prefix answers that, and neither shows nor deletes any.
    for acao in ("mostrar", "apagar"):
        codigo, out, err = rodar(capsys, "historico", acao, "ab", "--historico", url_historico)
        assert codigo == 3 and out == "", acao
        assert "'ab' é o começo de mais de uma verificação (ab12c3d4e5f6, ab34f5a6b7c8, ab5e6f7a8b9c)" in err
    assert len(listar("--limite", "0")) == total
    # "_" is no wildcard: "a_" begins no id.
    codigo, _, err = rodar(capsys, "historico", "mostrar", "a_", "--historico", url_historico)
    assert codigo == 3 and "verificação não encontrada no histórico: a_" in err
    # A prefix one id has is that id.
    codigo, out, _ = rodar(capsys, "historico", "mostrar", "ab3", "--json", "--historico", url_historico)
    assert codigo == 0 and json.loads(out)["id"] == "ab34f5a6b7c8"
    codigo, out, _ = rodar(capsys, "historico", "apagar", "ab3", "--historico", url_historico)
    assert codigo == 0 and out.strip() == "Verificação ab34f5a6b7c8 apagada."
    assert "ab34f5a6b7c8" not in listar("--limite", "0") and len(listar("--limite", "0")) == total - 1
    h = Historico(url_historico)
    try:
        h.guardar(copia("ab34f5a6b7c8", proprias["ab34f5a6b7c8"]))
    finally:
        h.fechar()

    # Most recent first; --desde takes the day's first second in UTC, in either way of writing it.
    assert listar("--limite", "3") == ["ab5e6f7a8b9c", "ab34f5a6b7c8", "ab12c3d4e5f6"]
    assert listar("--desde", "2026-03-15") == ["ab5e6f7a8b9c", "ab34f5a6b7c8"]  # 21:30 in São Paulo is 00:30 UTC
    assert listar("--desde", "15/03/2026") == ["ab5e6f7a8b9c", "ab34f5a6b7c8"]
    assert listar("--desde", "2026-03-14") == ["ab5e6f7a8b9c", "ab34f5a6b7c8", "ab12c3d4e5f6"]
    assert listar("--desde", "2025-01-01")[-1] == "cd9012345678" and len(listar("--desde", "2025-01-01")) == 4

    # 50 by default, said so; --limite 0: all of them.
    assert len(listar()) == 50
    codigo, out, _ = rodar(capsys, "historico", "--historico", url_historico)
    assert codigo == 0 and "(as 50 mais recentes; --limite 0 mostra todas)" in out
    todas = listar("--limite", "0")
    assert len(todas) == total and todas[-1] == min(antigas, key=antigas.get)
    codigo, out, _ = rodar(capsys, "historico", "--limite", "0", "--historico", url_historico)
    assert codigo == 0 and "mais recentes" not in out and "f00000000000" in out
    codigo, _, err = rodar(capsys, "historico", "--limite", "-1", "--historico", url_historico)
    assert codigo == 3 and "o limite não pode ser negativo" in err

    # Deleting before a date takes what is older than its first second, nothing of that day.
    codigo, out, _ = rodar(capsys, "historico", "apagar", "--antes", "2026-03-15", "--historico", url_historico)
    assert codigo == 0 and out.startswith(f"{total - 2} ")
    assert listar("--limite", "0") == ["ab5e6f7a8b9c", "ab34f5a6b7c8"]


def test_monitoring_a_registry_that_does_not_answer_reports_no_change_and_exits_4(tmp_path, capsys, monkeypatch):
    """Rate-limited, failing or out of reach, the registry says nothing about the companies: none is taken for
    gone, and the exit status tells a scheduled run that some could not be checked."""
    from registro_helpers import porta_livre
    from registry_server import RegistryServer, Reply

    from scrivane_contract.registro.consultas import DISJUNTOR

    banco = tmp_path / "registro.sqlite3"
    historico = str(tmp_path / "historico.sqlite3")
    monkeypatch.setenv("SCRIVANE_HISTORICO", historico)
    importar(capsys, banco, registros_exemplo())
    codigo, _, _ = rodar(capsys, "verificar", "--provedor", "local", "--registro", f"sqlite:{banco}", "--silencioso",
                         *exemplos().values())
    assert codigo == 1
    monitoradas = ["01419314000196", "17058649000166", "51402614000130", "64628897000185"]

    with RegistryServer() as servidor:
        for c in monitoradas:  # it holds every company, and answers for none
            servidor.add_company(c, next(r for r in registros_exemplo() if r["cnpj"] == c), None)
        ninguem = f"http://127.0.0.1:{porta_livre()}"
        for caso, resposta, registro in [("limite de requisições", Reply.error(429), servidor.url),
                                         ("erro do servidor", Reply.error(503), servidor.url),
                                         ("fora do ar", None, ninguem)]:
            servidor.reset()
            for rota in ("brasilapi", "receitaws", "casadosdados"):
                if resposta is not None:
                    servidor.reply(rota, resposta)
            DISJUNTOR.reiniciar()
            codigo, out, _ = rodar(capsys, "monitorar", "--json", "--registro", registro)
            achado = json.loads(out)
            assert (codigo, achado["mudancas"], achado["empresas_com_mudanca"]) == (4, [], 0), caso
            assert (achado["monitoradas"], sorted(achado["nao_consultadas"])) == (4, monitoradas), caso
            if resposta is not None:
                assert servidor.requests, caso  # it was asked
            codigo, out, _ = rodar(capsys, "monitorar", "--registro", registro)
            assert codigo == 4 and "não encontrado" not in out, caso
            assert out.splitlines()[-2:] == [
                "4 empresa(s) não puderam ser consultadas agora: 01.419.314/0001-96, 17.058.649/0001-66, "
                "51.402.614/0001-30, 64.628.897/0001-85",
                "Nenhuma mudança nas 4 empresa(s) monitorada(s)."], caso

        # Answering again: nothing changed, all checked.
        servidor.reset()
        codigo, out, _ = rodar(capsys, "monitorar", "--registro", servidor.url)
        assert codigo == 0 and out.strip() == "Nenhuma mudança nas 4 empresa(s) monitorada(s).", out
