"""The command line with --registro local / sqlite:PATH: a contract verified from the database."""

from __future__ import annotations

import json

import pytest

from registro_helpers import comando
from registry_server import empresa_exemplo
from test_cli import ACME, ACME_F, VEREDITO, contrato, env, llm, reg, responder, rodar, sem_tempos  # noqa: F401


@pytest.fixture
def banco(tmp_path, env):
    jsonl = tmp_path / "acme.jsonl"
    jsonl.write_text(json.dumps(empresa_exemplo(ACME)[1], ensure_ascii=False) + "\n", encoding="utf-8")
    caminho = tmp_path / "registro.sqlite3"
    assert comando("registro", "importar", "--jsonl", str(jsonl), "--banco", str(caminho)).returncode == 0
    env.setenv("SCRIVANE_BANCO_REGISTRO", str(caminho))
    return caminho


@pytest.mark.parametrize("signatario", ["Maria da Silva", "Pedro Intruso"])
def test_a_contract_verified_from_the_database_reads_as_from_the_services(llm, reg, banco, tmp_path, capsys,
                                                                          signatario):
    pdf = contrato(tmp_path, "a.pdf", signatario)
    responder(llm, "a.pdf", signatario)
    online = rodar(capsys, "verificar", "--registro", reg.url, pdf)
    for valor in ("local", f"sqlite:{banco}"):
        codigo, out, err = rodar(capsys, "verificar", "--registro", valor, pdf)
        assert codigo == online[0] and f"RESULTADO FINAL: {VEREDITO[signatario]}" in out
        # The same report; only where the data came from differs.
        origem = f"   ACME COMERCIO DE TESTES LTDA ({ACME_F}): "
        mes = __import__("datetime").date.today().isoformat()[:7]
        assert f"{origem}Registro local parcial (publicação {mes})" in out.splitlines()
        assert ([l for l in sem_tempos(out) if not l.startswith(origem)]
                == [l for l in sem_tempos(online[1]) if not l.startswith(origem)])
        assert err.startswith(f"Registro: registro local {banco}")


def test_a_number_the_database_lacks_is_unanswered_offline_and_a_missing_database_is_a_usage_error(
        banco, tmp_path, capsys):
    codigo, out, err = rodar(capsys, "cnpj", "--registro", "local", ACME_F)
    assert codigo == 0 and json.loads(out)["razao_social"] == "ACME COMERCIO DE TESTES LTDA"
    codigo, out, err = rodar(capsys, "cnpj", "--registro", "local", "--offline", "11.444.777/0001-61")
    mes = __import__("datetime").date.today().isoformat()[:7]  # a JSONL list is dated by its import
    assert codigo == 4 and (f"CNPJ 11.444.777/0001-61: Não consta no registro local (publicação {mes}); "
                            "consulta à Receita Federal não concluída") in err
    codigo, out, err = rodar(capsys, "cnpj", "--registro", f"sqlite:{tmp_path / 'nada.sqlite3'}", ACME_F)
    assert codigo == 3 and "registro importar" in err
