"""The wheel `make dist` builds installs into a fresh virtual environment and works there.

The wheel is built once per session, into a temporary folder, with the build tools of the test
environment (nothing downloaded).  The fresh environment gets the wheel alone (``--no-index
--no-deps``: no compiler, no network); its dependencies, pure Python or wheels themselves, are
borrowed from the test environment through a path file placed after its own site-packages, so
that the package imported is the wheel's.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import sysconfig
import zipfile
from pathlib import Path

import pytest

RAIZ = Path(__file__).resolve().parent.parent
EXEMPLOS = RAIZ / "exemplos"

pytestmark = [
    pytest.mark.wheel,
    pytest.mark.skipif(not sys.platform.startswith("linux") or shutil.which("make") is None,
                       reason="the manylinux wheel is built on Linux with make"),
]


@pytest.fixture(scope="session")
def dist(tmp_path_factory) -> Path:
    pasta = tmp_path_factory.mktemp("dist")
    r = subprocess.run(["make", "-s", "dist", f"DIST={pasta}", f"PY={sys.executable}", "DIST_FLAGS=--no-isolation"],
                       cwd=RAIZ, capture_output=True, text=True, timeout=1800)
    assert r.returncode == 0, r.stdout[-3000:] + r.stderr[-3000:]
    return pasta


@pytest.fixture(scope="session")
def venv_novo(dist, tmp_path_factory) -> Path:
    pasta = tmp_path_factory.mktemp("venv") / "v"
    base = getattr(sys, "_base_executable", None) or sys.executable
    subprocess.run([base, "-m", "venv", "--without-pip", str(pasta)], check=True, timeout=300)
    python = pasta / "bin" / "python"
    roda = subprocess.run([str(python), "-c", "import sysconfig; print(sysconfig.get_path('purelib'))"],
                          capture_output=True, text=True, check=True)
    proprio = Path(roda.stdout.strip())
    roda = subprocess.run([sys.executable, "-m", "pip", "--python", str(python), "install", "--no-index", "--no-deps",
                           "--only-binary", ":all:", *map(str, dist.glob("*.whl"))],
                          capture_output=True, text=True, timeout=600,
                          env={**os.environ, "CC": "/bin/false", "CXX": "/bin/false"})  # no compiler
    assert roda.returncode == 0, roda.stdout + roda.stderr
    assert "Successfully installed scrivane-contract" in roda.stdout, roda.stdout
    # Written after the install, so that pip does not take the test environment's copy for this one.
    (proprio / "_dependencias_dos_testes.pth").write_text(sysconfig.get_path("purelib") + "\n", encoding="utf-8")
    return pasta


def test_make_dist_gives_the_sdist_and_one_manylinux_wheel(dist):
    (sdist,) = dist.glob("scrivane_contract-*.tar.gz")
    (roda,) = dist.glob("*.whl")
    assert "-cp313-cp313-manylinux_" in roda.name and roda.name.endswith("_x86_64.whl")
    nomes = zipfile.ZipFile(roda).namelist()
    for modulo in ("checker", "cnpj", "keywords", "_registro"):
        assert any(n.startswith(f"scrivane_contract/{modulo}.cpython-313-x86_64-linux-gnu") for n in nomes)
    assert "scrivane_contract/web/templates/relatorio.html" in nomes
    assert any(n.startswith("scrivane_contract.libs/libsqlite3") for n in nomes)  # SQLite travels along
    with subprocess.Popen(["tar", "tzf", str(sdist)], stdout=subprocess.PIPE, text=True) as tar:
        conteudo = tar.stdout.read()
    assert "src/core/" in conteudo and "CMakeLists.txt" in conteudo


def test_the_installed_wheel_answers_and_verifies_a_contract_offline(venv_novo, tmp_path):
    programa = venv_novo / "bin" / "scrivane-contract"
    env = {k: v for k, v in os.environ.items() if not k.startswith(("OPENAI_", "AZURE_", "SCRIVANE_"))}
    env["HTTPS_PROXY"] = env["HTTP_PROXY"] = "http://127.0.0.1:9"  # any public host fails at once
    r = subprocess.run([str(programa), "--version"], capture_output=True, text=True, env=env, timeout=60)
    assert (r.returncode, r.stdout.strip()) == (0, "scrivane-contract 0.1.0")
    origem = subprocess.run([str(venv_novo / "bin" / "python"), "-c",
                             "import scrivane_contract.checker as c, scrivane_contract._registro as r; "
                             "print(c.__file__); print(r.__file__)"],
                            capture_output=True, text=True, env=env, timeout=60)
    assert origem.returncode == 0, origem.stderr
    assert all(linha.startswith(str(venv_novo)) for linha in origem.stdout.split()), origem.stdout

    banco = tmp_path / "registro.sqlite3"
    r = subprocess.run([str(programa), "registro", "importar", "--jsonl", str(EXEMPLOS / "registro.jsonl"),
                        "--banco", str(banco)], capture_output=True, text=True, env=env, timeout=120)
    assert r.returncode == 0, r.stderr
    r = subprocess.run([str(programa), "verificar", "--provedor", "local", "--registro", f"sqlite:{banco}",
                        "--sem-assinaturas", str(EXEMPLOS / "contrato_aprovado.pdf")],
                       capture_output=True, text=True, env=env, timeout=300, cwd=tmp_path)
    assert "RESULTADO FINAL: APROVADO" in r.stdout, r.stdout[-2000:] + r.stderr[-2000:]
    assert r.returncode == 0
