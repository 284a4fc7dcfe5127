"""Allocation-failure sweep over the extension modules (run as a script).

For each case and each allocation position k, a forked copy of this process
(the modules imported, nothing called yet) makes every allocation from the
k-th on fail, runs the case, lifts the failure and runs the case again. The
first run must end in MemoryError or a normal result, the second in the
normal result, and no copy may die of a signal. Prints one JSON summary.

usage: fault_sweep.py CASE [CASE...]   (``all`` for every case)
"""

import json
import os
import signal
import sys

import _testcapi

MAX_POSITIONS = 1500


class _Response:
    def __init__(self, data):
        self.status_code = 200
        self._data = data

    def json(self):
        return self._data


class _Requests:
    """Answers the registry services from fixed maps (no network)."""

    def __init__(self, brasil, found_cnpj):
        self.brasil = brasil
        self.found_cnpj = found_cnpj

    def get(self, url, headers=None, timeout=None):
        return _Response(self.brasil)

    def post(self, url, json=None, headers=None, timeout=None):
        return _Response({"data": {"count": 1, "cnpj": [{"cnpj": self.found_cnpj}]}})


def _brasil_answer():
    return {
        "cnpj": "11222333000181", "razao_social": "ACME COMERCIO LTDA", "nome_fantasia": "ACME",
        "descricao_situacao_cadastral": "ATIVA", "data_situacao_cadastral": "2005-11-03",
        "data_inicio_atividade": "2005-11-03", "natureza_juridica": "Sociedade Limitada", "porte": "DEMAIS",
        "capital_social": 100000.0, "logradouro": "AV PAULISTA", "numero": "1000", "complemento": "ANDAR 5",
        "bairro": "BELA VISTA", "municipio": "SAO PAULO", "uf": "SP", "cep": "01310100", "email": "",
        "qsa": [{"nome_socio": "MARIA DA SILVA", "qualificacao_socio": "Sócio-Administrador"}],
    }


LONG_TEXT = ("Contrato de prestação de serviços entre a CONTRATANTE e a CONTRATADA; cláusula primeira. " * 40
             + "Vigência de doze meses; foro da comarca de São Paulo — 東京.")


def _module_cases():
    from scrivane_contract import cnpj, keywords

    cases = {}

    def kw(name, fn):
        cases[name] = fn

    kw("keywords.normalizar_texto", lambda: keywords.normalizar_texto("Cláusula PRIMEIRA — Objeto"))
    kw("keywords.validar_documento_contrato", lambda: keywords.validar_documento_contrato(
        "Contrato entre contratante e contratada; cláusula de foro."))
    kw("keywords.validar_documento_contrato(long)", lambda: keywords.validar_documento_contrato(LONG_TEXT))

    cnpj.requests = _Requests(_brasil_answer(), "11222333000181")
    numero = "11.222.333/0001-81"
    registro = {"endereco": {"logradouro": "AV PAULISTA", "numero": "1000", "bairro": "BELA VISTA",
                             "cidade": "SAO PAULO", "uf": "SP", "cep": "01310100"}}
    kw("cnpj.limpar_cnpj", lambda: cnpj.limpar_cnpj(numero))
    kw("cnpj.validar_cnpj", lambda: cnpj.validar_cnpj(numero))
    kw("cnpj.formatar_cnpj", lambda: cnpj.formatar_cnpj("11222333000181"))
    kw("cnpj.consultar_cnpj", lambda: cnpj.consultar_cnpj(numero))
    kw("cnpj.buscar_cnpj_por_nome", lambda: cnpj.buscar_cnpj_por_nome("ACME COMERCIO", "SP"))
    kw("cnpj.buscar_empresa_completo", lambda: cnpj.buscar_empresa_completo(nome="ACME COMERCIO"))
    kw("cnpj.comparar_enderecos", lambda: cnpj.comparar_enderecos(
        "Av. Paulista, 1000 - Bela Vista, São Paulo/SP, CEP 01310-100", registro))
    kw("cnpj.comparar_enderecos(words)", lambda: cnpj.comparar_enderecos(
        "Rua Augusta 500, Consolação, CEP 01310-100", registro))

    from scrivane_contract.checker import ContractChecker

    for key in ("OPENAI_API_KEY", "AZURE_API_KEY", "AZURE_API_ENDPOINT", "AZURE_DEPLOYMENT_NAME"):
        os.environ.pop(key, None)
    kw("checker.ContractChecker", lambda: type(ContractChecker(openai_api_key="sk-test", verbose=False)).__name__)
    dados = {"socios": [{"nome": "MARIA DA SILVA", "qualificacao": "Sócio-Administrador",
                         "nome_representante": "", "qualificacao_representante": ""}]}

    def checker_calls():
        ck = ContractChecker(openai_api_key="sk-test", verbose=False)
        return (ck.provider, ck.token, ck._comparar_nomes("Maria da Silva", "MARIA DA SILVA"),
                ck._verificar_poder_assinatura("Maria da Silva", dados))

    kw("checker.methods", checker_calls)
    return cases


def _import_cases():
    # The modules they import are loaded and the specs found first, so the
    # sweep covers the extension modules' own creation and initialisation
    # (the import system's path search is not ours to test).
    import _imp
    import importlib.util
    import re  # noqa: F401
    import unicodedata  # noqa: F401

    import requests  # noqa: F401
    import scrivane_contract.auth  # noqa: F401
    import scrivane_contract.cnpj  # noqa: F401  (the checker binds its functions)
    import scrivane_contract.models  # noqa: F401

    def loader(name):
        spec = importlib.util.find_spec(name)

        def run():
            # what the extension loader does, without the import system's
            # bookkeeping around it
            module = _imp.create_dynamic(spec)
            _imp.exec_dynamic(module)
            return sorted(k for k in vars(module) if not k.startswith("__"))
        return run

    return {f"import {m}": loader(m) for m in
            ("scrivane_contract.keywords", "scrivane_contract.cnpj", "scrivane_contract.checker")}


def _run_once(case_fn, position):
    """Fork; the child runs the case with allocation failure from `position` (0: none)."""
    rd, wr = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(rd)
        outcome = "returned"
        try:
            if position:
                _testcapi.set_nomemory(position - 1, 0)  # allocation number `position` on fails
            try:
                first = case_fn()
            finally:
                _testcapi.remove_mem_hooks()
            outcome = "returned " + repr(first)
        except MemoryError:
            outcome = "memory"
        except BaseException as e:  # noqa: BLE001 - reported to the parent
            outcome = "other:" + type(e).__name__
        try:
            again = repr(case_fn())
        except BaseException as e:  # noqa: BLE001
            again = "raised " + type(e).__name__ + ": " + str(e)
        os.write(wr, json.dumps([outcome, again]).encode())
        os._exit(0)
    os.close(wr)
    chunks = []
    while True:
        b = os.read(rd, 65536)
        if not b:
            break
        chunks.append(b)
    os.close(rd)
    _, status = os.waitpid(pid, 0)
    if os.WIFSIGNALED(status):
        return "signal:" + signal.Signals(os.WTERMSIG(status)).name, None
    return tuple(json.loads(b"".join(chunks)))


def sweep(name, case_fn):
    _, expected = _run_once(case_fn, 0)
    # "degraded": a result other than the normal one, as from a lookup that
    # answers None for any error.
    summary = {"runs": 0, "memory": 0, "normal": 0, "degraded": 0, "other": [], "signals": [], "wrong_after": []}
    for position in range(1, MAX_POSITIONS + 1):
        outcome, again = _run_once(case_fn, position)
        summary["runs"] += 1
        if outcome.startswith("signal:"):
            summary["signals"].append([position, outcome])
            continue
        if outcome == "memory":
            summary["memory"] += 1
        elif outcome == "returned " + expected:
            summary["normal"] += 1
        elif outcome.startswith("returned "):
            summary["degraded"] += 1
        else:
            summary["other"].append([position, outcome])
        if again != expected:
            summary["wrong_after"].append([position, again])
        if outcome == "returned " + expected:
            break  # the case needs fewer allocations than this: every later position is the same
    summary["expected"] = expected
    return summary


def main(argv):
    if argv[:1] == ["import"]:
        cases = _import_cases()
    else:
        cases = _module_cases()
    wanted = [c for c in argv if c not in ("import", "all")] or list(cases)
    print(json.dumps({name: sweep(name, cases[name]) for name in wanted}))


if __name__ == "__main__":
    main(sys.argv[1:])
