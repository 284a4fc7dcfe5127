"""The demonstration behind ``make demo``: three example contracts verified offline.

Starts a local registry on exemplos/registro.jsonl, verifies the three
contracts of exemplos/ with the local provider through the command line
(``scrivane-contract verificar --provedor local --registro URL``), prints
each report and the summary, stops the registry, and checks each example's
verdict against the one its name promises: exit 0 and a closing line saying
so when all three match, 1 naming the ones that did not.  No key, no network:
the registry listens on 127.0.0.1 and the contracts are read by rules.

The registry is the package's own (``registro importar --jsonl`` into a
temporary database, then ``registro servir``); in a build without the
``registro`` command, the test suite's registry server stands in for it,
loaded with the same records.
"""

from __future__ import annotations

import json
import os
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path

RAIZ = Path(__file__).resolve().parent.parent
EXEMPLOS = RAIZ / "exemplos"
CONTRATOS = ("contrato_aprovado.pdf", "contrato_pendente.pdf", "contrato_reprovado.pdf")
# The verdict each example is made to get.
ESPERADO = {nome: nome.removeprefix("contrato_").removesuffix(".pdf").upper() for nome in CONTRATOS}
ESPERA_REGISTRO = 30.0  # seconds for the registry to start listening


def _porta_livre() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _ambiente() -> dict[str, str]:
    env = dict(os.environ)
    # The registry is on this machine: never through a proxy.
    env["NO_PROXY"] = ",".join(filter(None, [env.get("NO_PROXY"), "127.0.0.1", "localhost"]))
    env["no_proxy"] = env["NO_PROXY"]
    env.setdefault("PYTHONIOENCODING", "utf-8")
    return env


def _comando(*args: str) -> list[str]:
    return [sys.executable, "-m", "scrivane_contract", *args]


def _tem_registro_proprio() -> bool:
    try:
        from scrivane_contract.cli import COMANDOS
    except ImportError:
        return False
    return "registro" in COMANDOS


def _registro_proprio(pasta: Path, porta: int, env: dict[str, str]) -> subprocess.Popen | None:
    """``registro importar --jsonl`` into a temporary database, then ``registro servir``; None when
    either fails (the reason goes to standard error)."""
    banco = pasta / "registro.db"
    importacao = subprocess.run(_comando("registro", "importar", "--jsonl", str(EXEMPLOS / "registro.jsonl"),
                                         "--banco", str(banco)), env=env, capture_output=True, text=True)
    if importacao.returncode != 0:
        sys.stderr.write(importacao.stdout + importacao.stderr)
        return None
    processo = subprocess.Popen(_comando("registro", "servir", "--banco", str(banco), "--porta", str(porta),
                                         "--sem-log"), env=env, stdout=subprocess.DEVNULL)
    if _aguardar(processo, porta):
        return processo
    _parar(processo)
    return None


def _registro_de_teste(pasta: Path, porta: int, env: dict[str, str]) -> subprocess.Popen:
    """The test suite's registry server, loaded with the same records."""
    jsonl = EXEMPLOS / "registro.jsonl"
    registros = [json.loads(linha) for linha in jsonl.read_text(encoding="utf-8").splitlines() if linha.strip()]
    fixtures = pasta / "registro.json"
    fixtures.write_text(json.dumps([[r["cnpj"], r, None] for r in registros], ensure_ascii=False), encoding="utf-8")
    processo = subprocess.Popen([sys.executable, str(RAIZ / "tests" / "registry_server.py"), "--port", str(porta),
                                 "--fixtures", str(fixtures)], env=env, stdout=subprocess.DEVNULL)
    if not _aguardar(processo, porta):
        _parar(processo)
        raise SystemExit(f"demo: o registro local não respondeu em {ESPERA_REGISTRO:.0f} s")
    return processo


def _iniciar_registro(pasta: Path, porta: int, env: dict[str, str]) -> tuple[subprocess.Popen, str]:
    if _tem_registro_proprio():
        processo = _registro_proprio(pasta, porta, env)
        if processo is not None:
            return processo, "scrivane-contract registro servir"
        print("demo: o registro do pacote não subiu; usando o servidor de registro dos testes", file=sys.stderr)
    return _registro_de_teste(pasta, porta, env), "servidor de registro dos testes"


def _aguardar(processo: subprocess.Popen, porta: int) -> bool:
    """Whether the process listens on ``porta`` within ESPERA_REGISTRO seconds."""
    limite = time.monotonic() + ESPERA_REGISTRO
    while time.monotonic() < limite:
        if processo.poll() is not None:
            return False
        try:
            with socket.create_connection(("127.0.0.1", porta), timeout=0.5):
                return True
        except OSError:
            time.sleep(0.1)
    return False


def _parar(processo: subprocess.Popen) -> None:
    if processo.poll() is None:
        processo.terminate()
        try:
            processo.wait(timeout=5)
        except subprocess.TimeoutExpired:
            processo.kill()
            processo.wait()


def main() -> int:
    if not all((EXEMPLOS / nome).exists() for nome in (*CONTRATOS, "registro.jsonl")):
        sys.path.insert(0, str(RAIZ / "tools"))
        from gerar_exemplos import gerar

        gerar(EXEMPLOS)
    env = _ambiente()
    porta = _porta_livre()
    with tempfile.TemporaryDirectory(prefix="scrivane-demo-") as pasta:
        # The examples are fictitious: their verifications go to a history of the demo's own,
        # deleted with the folder, never into the user's (nor do `monitorar` and the page list them).
        env["SCRIVANE_HISTORICO"] = str(Path(pasta) / "historico.sqlite3")
        registro, qual = _iniciar_registro(Path(pasta), porta, env)
        try:
            url = f"http://127.0.0.1:{porta}"
            print(f"Registro local em {url} ({qual}), com as empresas de exemplos/registro.jsonl", flush=True)
            print("Provedor local: os contratos são lidos por regras, sem modelo, sem rede e sem chave.", flush=True)
            print("Histórico da demonstração numa pasta temporária: o seu histórico não é alterado.\n", flush=True)
            saida = Path(pasta) / "vereditos.jsonl"
            subprocess.run(
                _comando("verificar", "--provedor", "local", "--registro", url, "--offline", "--relatorios",
                         "--saida", str(saida),
                         *(str((EXEMPLOS / nome).relative_to(RAIZ)) for nome in CONTRATOS)),
                env=env, cwd=RAIZ,
            )
            vereditos = _vereditos(saida)
        finally:
            _parar(registro)
    return _conferir(vereditos)


def _vereditos(saida: Path) -> dict[str, str]:
    """Each example's verdict (or "FALHA: reason"), by file name, from ``verificar --saida``."""
    vereditos: dict[str, str] = {}
    if not saida.exists():
        return vereditos
    for linha in saida.read_text(encoding="utf-8").splitlines():
        if linha.strip():
            objeto = json.loads(linha)
            nome = Path(objeto["arquivo"]).name
            if "resultado" in objeto:
                vereditos[nome] = str(objeto["resultado"].get("resultado_final"))
            else:
                vereditos[nome] = f"FALHA: {objeto.get('erro')}"
    return vereditos


def _conferir(vereditos: dict[str, str]) -> int:
    # verificar's own status is 1 here by design (one example is rejected): the verdicts decide.
    """0 when every example got its expected verdict (said in one line), else 1."""
    diferentes = [f"{nome}: esperado {esperado}, obtido {vereditos.get(nome, 'nenhum resultado')}"
                  for nome, esperado in ESPERADO.items() if vereditos.get(nome) != esperado]
    print()
    if diferentes:
        print("Demonstração com diferenças: " + "; ".join(diferentes), flush=True)
        return 1
    print(f"Demonstração concluída: cada exemplo teve o veredito esperado ({', '.join(ESPERADO.values())}).",
          flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
