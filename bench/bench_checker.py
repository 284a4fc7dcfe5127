"""A contract of 5 companies and 5 signatories through ContractChecker.verificar.

1. Registry traffic, with the real cnpj module against the local registry
   server: one lookup per company with a valid CNPJ, none while signatures
   are validated.
2. Time of verificar outside the engine and the HTTP exchanges: a fake engine
   answers at once and the registry functions hand back prepared records;
   against the plain-Python twin of the pipeline (tests/reference_checker.py).
"""

import contextlib
import io
import os
import tempfile
from dataclasses import dataclass

from _common import best_of, fmt, report

import reference_checker as ref
import scrivane_contract.checker as checker_mod
from registry_server import RegistryServer, empresa_exemplo
from scrivane_contract import cnpj
from scrivane_contract.checker import ContractChecker

NAMES = ["ACME COMERCIO DE TESTES LTDA", "BETA SERVICOS GERAIS LTDA", "GAMA ENGENHARIA SA",
         "DELTA LOGISTICA EIRELI", "EPSILON TECNOLOGIA LTDA"]
CNPJS = ["11222333000181", "22333444000192", "33444555000103", "44555666000114", "55666777000125"]
PEOPLE = [("MARIA DA SILVA", 0), ("JOAO PEREIRA", 1), ("Ana Costa", 2), ("Pedro Alves", 3), ("Rita Gomes", 4)]


@dataclass
class Metrics:
    tokens: int = 4200
    cost_usd: float = 0.021
    time_seconds: float = 3.5


class Answer:
    def __init__(self, raw):
        self.raw_result = raw


class Run:
    def __init__(self, answers):
        self.answers = answers
        self.total_metrics = Metrics()

    def get_result(self, qid):
        return self.answers.get(qid)


class Engine:
    def __init__(self):
        empresas = [{"cnpj": f"{c[:2]}.{c[2:5]}.{c[5:8]}/{c[8:12]}-{c[12:]}", "razao_social": n.title(),
                     "endereco": "Av. Paulista, 1000 - Bela Vista, São Paulo/SP, CEP 01310-100",
                     "papel_no_contrato": "contratante" if i == 0 else "contratada"}
                    for i, (c, n) in enumerate(zip(CNPJS, NAMES))]
        assinaturas = [{"nome_signatario": p, "cargo": "Sócio", "cnpj_empresa": CNPJS[i] if i % 2 == 0 else None,
                        "empresa_representada": NAMES[i].lower(), "tipo_assinatura": "digital"} for p, i in PEOPLE]
        self.run = Run({"empresas": Answer({"empresas": empresas}), "assinaturas": Answer({"assinaturas": assinaturas}),
                        "dados_contrato": Answer({"objeto": "Serviços", "valor": "R$ 10.000,00"})})

    def process(self, path):
        return self.run


def registry_records():
    records = {}
    for i, (c, n) in enumerate(zip(CNPJS, NAMES)):
        _, brasil, _ = empresa_exemplo(c, n)
        brasil["qsa"][1]["nome_socio"] = PEOPLE[i][0].upper() if i > 1 else brasil["qsa"][1]["nome_socio"]
        records[c] = brasil
    return records


def checker(verbose=False):
    chk = ContractChecker(openai_api_key="sk-bench", verbose=verbose)
    chk._client = Engine()
    chk._scrivane_available = True
    return chk


def traffic(path):
    with RegistryServer() as server:
        for c, brasil in registry_records().items():
            server.add_company(c, brasil, None)
        saved = {k: getattr(cnpj, k) for k in ("BRASIL_API_URL", "RECEITA_WS_URL", "CASADOSDADOS_API")}
        cnpj.BRASIL_API_URL, cnpj.RECEITA_WS_URL = server.brasil_api_url, server.receita_ws_url
        cnpj.CASADOSDADOS_API = server.casadosdados_url
        try:
            chk = checker()
            during = []
            validate = chk._validar_assinaturas

            def counted(assinaturas, cache):
                before = len(server.requests)
                out = validate(assinaturas, cache)
                during.append(len(server.requests) - before)
                return out
            chk._validar_assinaturas = counted
            result = chk.verificar(path)
            routes = [r.route for r in server.requests]
            t = best_of(lambda: chk.verificar(path), repeat=5)
        finally:
            for k, v in saved.items():
                setattr(cnpj, k, v)
    print(f"registry requests for one contract: {len(routes)} ({', '.join(sorted(set(routes)))}); "
          f"expected {len(CNPJS)}; during signature validation: {during[0]}")
    print(f"result {result['resultado_final']}: {result['justificativa']}; "
          f"verificar with local HTTP: {fmt(t)}")


def cpu(path):
    records = registry_records()
    prepared = {c: cnpj_record(c, records[c]) for c in CNPJS}

    def consultar(c):
        return prepared.get(c)

    def buscar(nome):
        return None
    fast = {"consultar_cnpj": consultar, "buscar_cnpj_por_nome": buscar}
    saved = {k: getattr(checker_mod, k) for k in fast}
    for k, v in fast.items():
        setattr(checker_mod, k, v)
    ref.use(**fast)
    try:
        ours_quiet, base_quiet = checker(), ref.RefChecker(Engine(), verbose=False)
        assert ours_quiet.verificar(path) == base_quiet.verificar(path)
        b = best_of(lambda: base_quiet.verificar(path), repeat=15, number=20)
        o = best_of(lambda: ours_quiet.verificar(path), repeat=15, number=20)
        report("verificar, 5 companies + 5 signatories, quiet", b, o)
        loud = checker(verbose=True)
        with contextlib.redirect_stdout(io.StringIO()):
            o_loud = best_of(lambda: loud.verificar(path), repeat=15, number=20)
        print(f"{'verificar, same contract, verbose (lines + report)':<52} ours {fmt(o_loud)}")
        worst = max(o, o_loud)
        print(f"target < 5 ms outside the engine and HTTP: {'met' if worst < 5e-3 else 'NOT met'} ({fmt(worst).strip()})")
    finally:
        for k, v in saved.items():
            setattr(checker_mod, k, v)


def cnpj_record(c, brasil):
    """The DadosReceita the lookup builds from a BrasilAPI answer."""
    end = {k: brasil.get(s, "") for k, s in (("logradouro", "logradouro"), ("numero", "numero"),
                                              ("complemento", "complemento"), ("bairro", "bairro"),
                                              ("cidade", "municipio"), ("uf", "uf"), ("cep", "cep"))}
    return {"fonte": "BrasilAPI", "cnpj": cnpj.formatar_cnpj(c), "razao_social": brasil["razao_social"],
            "nome_fantasia": brasil["nome_fantasia"], "situacao": brasil["descricao_situacao_cadastral"],
            "data_situacao": "", "data_abertura": "", "natureza_juridica": "", "porte": "", "capital_social": 0,
            "endereco": end, "email": "",
            "socios": [{"nome": s["nome_socio"], "qualificacao": s["qualificacao_socio"], "data_entrada": "",
                        "cpf_representante": "", "nome_representante": s["nome_representante_legal"],
                        "qualificacao_representante": s["qualificacao_representante_legal"]} for s in brasil["qsa"]]}


def main():
    os.environ.setdefault("NO_PROXY", "127.0.0.1,localhost")
    print("checker")
    with tempfile.NamedTemporaryFile(suffix=".pdf") as f:
        traffic(f.name)
        cpu(f.name)


if __name__ == "__main__":
    main()
