"""No rebinding and no failed allocation may crash the interpreter.

Each case runs in a fresh interpreter, so a crash shows as a signal instead of
taking the test run down with it.
"""

import json
import os
import signal
import subprocess
import sys
import textwrap

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))


def run_python(code, *, stack_kib=None):
    """Runs code in a fresh interpreter; returns (returncode, stdout, stderr)."""
    env = dict(os.environ, PYTHONPATH=HERE + os.pathsep + os.environ.get("PYTHONPATH", ""))
    preexec = None
    if stack_kib:
        import resource

        def preexec():
            resource.setrlimit(resource.RLIMIT_STACK, (stack_kib * 1024, stack_kib * 1024))
    p = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, env=env,
                       timeout=120, preexec_fn=preexec)
    return p.returncode, p.stdout, p.stderr


def describe(rc):
    return f"killed by {signal.Signals(-rc).name}" if rc < 0 else f"exit status {rc}"


# Cycles of exported functions with no Python frame between them. The URL
# constants point at a closed local port, in case a cycle ever got that far.
CYCLES = {
    "cnpj: validar_cnpj -> consultar_cnpj": """
        import scrivane_contract.cnpj as c
        c.BRASIL_API_URL = c.RECEITA_WS_URL = "http://127.0.0.1:9/{cnpj}"
        c.validar_cnpj = c.consultar_cnpj
        c.consultar_cnpj("11222333000181")
    """,
    "cnpj: limpar_cnpj -> formatar_cnpj": """
        import scrivane_contract.cnpj as c
        c.limpar_cnpj = c.formatar_cnpj
        c.formatar_cnpj("11222333000181")
    """,
    "keywords: normalizar_texto -> validar_documento_contrato": """
        import scrivane_contract.keywords as k
        k.normalizar_texto = k.validar_documento_contrato
        k.validar_documento_contrato("contrato de prestação")
    """,
    "checker: _normalizar_texto -> partial(_comparar_nomes)": """
        import functools, os
        for key in ("OPENAI_API_KEY", "AZURE_API_KEY", "AZURE_API_ENDPOINT", "AZURE_DEPLOYMENT_NAME"):
            os.environ.pop(key, None)
        from scrivane_contract.checker import ContractChecker
        ck = ContractChecker(openai_api_key="sk-test", verbose=False)
        ck._normalizar_texto = functools.partial(ContractChecker._comparar_nomes, ck, "x")
        ck._comparar_nomes("Maria", "MARIA")
    """,
}


@pytest.mark.parametrize("stack_kib", [None, 1024], ids=["default stack", "1 MiB stack"])
@pytest.mark.parametrize("cycle", list(CYCLES), ids=list(CYCLES))
def test_call_cycles_raise_recursion_error(cycle, stack_kib):
    code = f"""
        try:
{textwrap.indent(textwrap.dedent(CYCLES[cycle]), " " * 12)}
        except RecursionError:
            print("RecursionError")
    """
    rc, out, err = run_python(code, stack_kib=stack_kib)
    assert rc == 0, f"{describe(rc)}\n{err[-2000:]}"
    assert out.strip() == "RecursionError"


def test_recursion_in_a_thread_with_a_small_stack():
    # Threads may have far less C stack than the recursion limit assumes.
    rc, out, err = run_python("""
        import threading
        import scrivane_contract.keywords as k
        k.normalizar_texto = k.validar_documento_contrato
        threading.stack_size(512 * 1024)
        seen = []
        def body():
            try:
                k.validar_documento_contrato("contrato")
            except RecursionError:
                seen.append("RecursionError")
        t = threading.Thread(target=body)
        t.start()
        t.join()
        print(*seen)
    """)
    assert rc == 0, f"{describe(rc)}\n{err[-2000:]}"
    assert out.strip() == "RecursionError"


def sweep(*args):
    p = subprocess.run([sys.executable, os.path.join(HERE, "fault_sweep.py"), *args], capture_output=True,
                       text=True, timeout=300)
    assert p.returncode == 0, p.stderr[-3000:]
    return json.loads(p.stdout)


def test_allocation_failure_at_every_position_of_each_first_call():
    results = sweep("all")
    assert len(results) >= 10
    for case, r in results.items():
        # never a signal; MemoryError or a result (the normal one, or the
        # answer a lookup gives for any error); the next call is whole again
        assert r["signals"] == [], case
        assert r["other"] == [], case
        assert r["wrong_after"] == [], case
        assert r["normal"] == 1 and r["memory"] + r["degraded"] == r["runs"] - 1, case
    # (a call that allocates nothing, like validar_cnpj, has no position to fail)
    assert sum(r["memory"] for r in results.values()) > 50


def test_allocation_failure_during_module_initialisation():
    # Only signals are checked here: the interpreter's own interning of new
    # attribute names is not sound after a failed allocation in 3.13.0, so a
    # later call may see that damage whatever the module does.
    for case, r in sweep("import").items():
        assert r["signals"] == [], case
        assert r["other"] == [], case
        assert r["memory"] > 0 and r["normal"] == 1, case


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer keeps freed memory in quarantine")
def test_a_huge_address_leaves_no_scratch_memory_behind():
    # One 10-million-character address used to leave its working buffers
    # (well over 100 MiB) attached to the thread for good.
    rc, out, err = run_python("""
        import gc
        from scrivane_contract import cnpj
        def rss_mib():
            with open("/proc/self/statm") as f:
                return int(f.read().split()[1]) * 4096 / 2**20
        registro = {"endereco": {"logradouro": "RUA DAS FLORES", "numero": "10"}}
        cnpj.comparar_enderecos("Rua das Flores 10", registro)
        before = rss_mib()
        big = "Rua das Flores — " + "ção " * 2_500_000
        normalizado = cnpj._normalizar_endereco(big)
        resultado = cnpj.comparar_enderecos(big, registro)
        del big, normalizado, resultado
        gc.collect()
        # Hand memory the allocator merely caches back to the system, so that
        # only buffers still held count.
        import ctypes
        ctypes.CDLL(None).malloc_trim(0)
        print(rss_mib() - before)
    """)
    assert rc == 0, f"{describe(rc)}\n{err[-2000:]}"
    assert float(out) < 16


@pytest.mark.parametrize("module", ["keywords", "cnpj", "checker"])
def test_isolated_subinterpreters_are_refused_with_import_error(module):
    _interpreters = pytest.importorskip("_interpreters")
    interp = _interpreters.create("isolated")
    try:
        failure = _interpreters.exec(interp, f"import scrivane_contract.{module}")
    finally:
        _interpreters.destroy(interp)
    assert failure.type.__name__ == "ImportError"
    assert failure.msg == f"module scrivane_contract.{module} does not support loading in subinterpreters"
