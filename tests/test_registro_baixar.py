"""registro baixar against a local imitation of the Receita Federal's share."""

from __future__ import annotations

import shutil

import pytest

from registro_helpers import comando, gerar, sem_proxy
from share_server import ShareServer


@pytest.fixture(scope="module")
def compartilhamento(tmp_path_factory):
    raiz = tmp_path_factory.mktemp("share")
    gerar(raiz / "2026-11", 30000, seed=5)
    shutil.copytree(raiz / "2026-11", raiz / "2026-10")
    with ShareServer(raiz) as share:
        yield share, raiz


def test_a_download_cut_in_the_middle_resumes_and_the_release_imports(compartilhamento, tmp_path):
    share, raiz = compartilhamento
    alvo = "Estabelecimentos0.zip"
    assert (raiz / "2026-11" / alvo).stat().st_size > 150_000
    share.cortar(alvo, 100_000)
    share.pedidos.clear()
    r = comando("registro", "baixar", "--destino", str(tmp_path), "--url", share.url, "--token", "TOKENTESTE",
                env=sem_proxy())
    assert r.returncode == 0, r.stderr
    assert "Publicação 2026-11" in r.stdout and "37 arquivos" in r.stdout
    baixados = sorted(p.name for p in (tmp_path / "2026-11").iterdir())
    assert baixados == sorted(p.name for p in (raiz / "2026-11").iterdir())
    for nome in baixados:
        assert (tmp_path / "2026-11" / nome).read_bytes() == (raiz / "2026-11" / nome).read_bytes()
    faixas = [f for m, p, f in share.pedidos if m == "GET" and p.endswith(alvo)]
    assert faixas[0] is None and faixas[1].startswith("bytes=") and faixas[1] != "bytes=0-"
    # A second run finds every file complete and fetches nothing.
    share.pedidos.clear()
    r = comando("registro", "baixar", "--mes", "2026-11", "--destino", str(tmp_path), "--url", share.url,
                "--token", "TOKENTESTE", env=sem_proxy())
    assert r.returncode == 0 and "0 arquivos" in r.stdout
    assert [m for m, _, _ in share.pedidos] == ["PROPFIND"]
    r = comando("registro", "importar", str(tmp_path), "--banco", str(tmp_path / "r.sqlite3"))  # the latest month
    assert r.returncode == 0 and "estabelecimentos" in r.stdout


def test_a_damaged_file_or_a_wrong_token_is_refused_by_name(compartilhamento, tmp_path):
    share, raiz = compartilhamento
    estragado = raiz / "2026-10" / "Socios3.zip"
    dados = bytearray(estragado.read_bytes())
    dados[len(dados) // 2: len(dados) // 2 + 32] = bytes(32)
    estragado.write_bytes(bytes(dados))
    r = comando("registro", "baixar", "--mes", "2026-10", "--destino", str(tmp_path), "--url", share.url,
                "--token", "TOKENTESTE", env=sem_proxy())
    assert r.returncode == 4
    assert "Socios3.zip" in r.stderr and "corrompido" in r.stderr
    assert not (tmp_path / "2026-10" / "Socios3.zip").exists()
    r = comando("registro", "baixar", "--destino", str(tmp_path), "--url", share.url, "--token", "OUTRO",
                env=sem_proxy())
    assert r.returncode == 4 and "401" in r.stderr
