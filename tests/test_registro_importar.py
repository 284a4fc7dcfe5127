"""registro importar: a generated release read back record by record, dirt, failures and interruptions."""

from __future__ import annotations

import json
import os
import re
import signal
import time
from pathlib import Path

import pytest

from registro_helpers import comando, gerar, iniciar
from reference_registro import registros_esperados
from registry_server import empresa_exemplo, registry  # noqa: F401  (fixture)
from scrivane_contract import cnpj
from scrivane_contract.registro import RegistroLocal, usar_registro
from scrivane_contract.registro.local import RequisicoesLocais


@pytest.fixture(scope="module")
def release(tmp_path_factory):
    pasta = tmp_path_factory.mktemp("release")
    man = gerar(pasta, 500, seed=7, ruins_por_arquivo=2)
    return pasta, man


@pytest.fixture(scope="module")
def importado(release, tmp_path_factory):
    pasta, man = release
    banco = tmp_path_factory.mktemp("banco") / "registro.sqlite3"
    r = comando("registro", "importar", str(pasta), "--banco", str(banco))
    assert r.returncode == 0, r.stderr
    return banco, r.stdout


def test_every_establishment_reads_back_as_the_reference_brasilapi_record(release, importado):
    pasta, man = release
    banco, _ = importado
    esperados = registros_esperados(pasta)
    assert len(esperados) == man.linhas["estabelecimentos"]
    reg = RegistroLocal(banco)
    diferentes = [c for c, rec in esperados.items() if reg.brasilapi(c) != rec]
    assert diferentes == []
    # The dirt is there to be cleaned: NUL, runs of blanks, doubled quotes and letters in CNPJs.
    todos = json.dumps(list(esperados.values()), ensure_ascii=False)
    assert "\x00" not in todos and "  " not in todos
    assert man.alfanumericos and all(reg.brasilapi(c) is not None for c in man.alfanumericos)
    assert any(ch in todos for ch in "ÃÉÇÕ")


def test_summary_and_log_name_every_malformed_line(release, importado):
    pasta, man = release
    banco, saida = importado
    log = Path(str(banco) + ".importacao.log").read_text(encoding="utf-8").splitlines()
    achadas = sorted((linha.split(":")[0], int(linha.split(":")[1])) for linha in log)
    assert achadas == sorted((z, n) for z, n, _ in man.ruins)
    assert f"Linhas ignoradas: {len(man.ruins)}" in saida
    for tabela in ("empresas", "estabelecimentos", "socios", "simples"):
        assert re.search(rf"{tabela}\s+{man.linhas[tabela]:,} linhas".replace(",", "."), saida)
    info = comando("registro", "info", "--banco", str(banco))
    assert "Publicação: 2026-11-08" in info.stdout
    assert re.search(rf"estabelecimentos\s+{man.linhas['estabelecimentos']} linhas", info.stdout)


def _truncar(p: Path) -> None:
    dados = p.read_bytes()
    p.write_bytes(dados[: len(dados) // 2])


def _estragar(p: Path) -> None:
    # Same size, central directory intact, compressed bytes damaged.
    dados = bytearray(p.read_bytes())
    meio = len(dados) // 3
    dados[meio:meio + 64] = bytes(64)
    p.write_bytes(bytes(dados))


@pytest.mark.parametrize("estrago", [_truncar, _estragar], ids=["truncado", "danificado"])
def test_a_corrupt_zip_stops_the_import_and_keeps_the_previous_database(release, importado, tmp_path, estrago):
    pasta, _ = release
    banco, _ = importado
    copia = tmp_path / "rel"
    copia.mkdir()
    for p in pasta.iterdir():
        (copia / p.name).write_bytes(p.read_bytes())
    estrago(copia / "Estabelecimentos4.zip")
    antes = RegistroLocal(banco).info()
    r = comando("registro", "importar", str(copia), "--banco", str(banco))
    assert r.returncode == 4
    assert "Estabelecimentos4.zip" in r.stderr
    assert RegistroLocal(banco).info() == antes
    assert not [p for p in banco.parent.iterdir() if ".importando-" in p.name]


def test_a_killed_import_leaves_the_old_database_serving(tmp_path):
    velha = tmp_path / "velha"
    gerar(velha, 300, seed=3, sujeira=False)
    banco = tmp_path / "registro.sqlite3"
    assert comando("registro", "importar", str(velha), "--banco", str(banco)).returncode == 0
    leitor = RegistroLocal(banco)
    conhecido = next(iter(registros_esperados(velha)))
    antes = leitor.brasilapi(conhecido)
    assert antes is not None

    nova = tmp_path / "nova"
    gerar(nova, 60000, seed=4, sujeira=False)
    proc = iniciar("registro", "importar", str(nova), "--banco", str(banco))
    fim = time.monotonic() + 120
    temporarios = []
    while time.monotonic() < fim and proc.poll() is None:
        temporarios = [p for p in tmp_path.iterdir() if ".importando-" in p.name]
        try:
            if temporarios and temporarios[0].stat().st_size > 2_000_000:
                break
        except FileNotFoundError:
            pass  # the importer renamed its file between the listing and the stat
        time.sleep(0.02)
    assert proc.poll() is None, "the import ended before it could be interrupted"
    os.kill(proc.pid, signal.SIGKILL)
    proc.wait()
    assert leitor.brasilapi(conhecido) == antes
    assert RegistroLocal(banco).brasilapi(conhecido) == antes

    # The next import removes the dead one's leftovers, and readers move to the new file.
    assert comando("registro", "importar", str(nova), "--banco", str(banco)).returncode == 0
    assert not [p for p in tmp_path.iterdir() if ".importando-" in p.name]
    assert leitor.brasilapi(conhecido) == registros_esperados(nova)[conhecido] != antes
    assert leitor.info()["linhas"]["estabelecimentos"] == 60000


def test_jsonl_records_answer_exactly_as_the_services_did(registry, tmp_path, monkeypatch):
    empresas = [empresa_exemplo("11222333000181"), empresa_exemplo("45997418000153", "BETA SERVICOS S.A.", "RJ")]
    jsonl = tmp_path / "proprios.jsonl"
    linhas = [json.dumps(b, ensure_ascii=False) for _, b, _ in empresas] + ["{não é json", '{"cnpj": "123"}']
    jsonl.write_text("\n".join(linhas) + "\n", encoding="utf-8")
    banco = tmp_path / "proprio.sqlite3"
    r = comando("registro", "importar", "--jsonl", str(jsonl), "--banco", str(banco))
    assert r.returncode == 0, r.stderr
    assert "Linhas ignoradas: 2" in r.stdout
    for c, brasil, receita in empresas:
        registry.add_company(c, brasil, receita)

    def tudo():
        return [cnpj.consultar_cnpj("11.222.333/0001-81"), cnpj.consultar_cnpj("45997418000153"),
                cnpj.buscar_cnpj_por_nome("BETA", "RJ"), cnpj.buscar_cnpj_por_nome("ACME", None),
                cnpj.buscar_cnpj_por_nome("BETA", "SP"), cnpj.consultar_cnpj("11444777000161")]

    online = tudo()
    assert online[0]["fonte"] == "BrasilAPI" and online[4] is None and online[5] is None
    monkeypatch.setattr(cnpj, "requests", RequisicoesLocais(banco))
    assert tudo() == online


def test_unknown_and_invalid_numbers_answer_as_the_services_do(importado):
    banco, _ = importado
    reg = RequisicoesLocais(banco)
    r = reg.get("https://brasilapi.com.br/api/cnpj/v1/11444777000161", timeout=10)
    assert (r.status_code, r.json()["type"]) == (404, "not_found")
    r = reg.get("https://brasilapi.com.br/api/cnpj/v1/123", timeout=10)
    assert (r.status_code, r.json()["type"]) == (400, "bad_request")
    r = reg.get("https://receitaws.com.br/v1/cnpj/11444777000161", headers={"Accept": "application/json"})
    assert (r.status_code, r.json()["status"]) == (200, "ERROR")
    with usar_registro(f"sqlite:{banco}") as em_uso:
        assert em_uso.data_extracao == "2026-11-08"
        assert cnpj.consultar_cnpj("11444777000161") is None
    assert cnpj.requests.__name__ == "requests"


def test_a_folder_of_months_imports_the_latest_one(tmp_path):
    # As `registro baixar` leaves it: one folder per month, the older one listed first.
    outubro = gerar(tmp_path / "baixados" / "2026-10", 40, seed=21, sujeira=False, data="2026-10-11")
    novembro = gerar(tmp_path / "baixados" / "2026-11", 40, seed=22, sujeira=False, data="2026-11-08")
    banco = tmp_path / "registro.sqlite3"
    r = comando("registro", "importar", str(tmp_path / "baixados"), "--banco", str(banco))
    assert r.returncode == 0, r.stderr
    assert "Publicação: 2026-11-08" in comando("registro", "info", "--banco", str(banco)).stdout
    reg = RegistroLocal(banco)
    novos, velhos = registros_esperados(Path(novembro.pasta)), registros_esperados(Path(outubro.pasta))
    assert all(reg.brasilapi(c) == rec for c, rec in novos.items())
    so_de_outubro = set(velhos) - set(novos)
    assert so_de_outubro and all(reg.brasilapi(c) is None for c in so_de_outubro)
