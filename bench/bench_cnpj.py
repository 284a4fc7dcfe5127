"""CNPJ utilities, address comparison and lookup overhead against the
plain-Python twin (regular expressions from `re`) and a bare requests.get."""

import re

from _common import best_of, report

import reference_cnpj as ref
import requests
from registry_server import RegistryServer, empresa_exemplo
from scrivane_contract import cnpj

NUMERO = "12.345.678/0001-99"
REGISTRO = {
    "endereco": {
        "logradouro": "AV PAULISTA", "numero": "1000", "complemento": "ANDAR 5", "bairro": "BELA VISTA",
        "cidade": "SAO PAULO", "uf": "SP", "cep": "01310100",
    },
}
ENDERECOS = [
    "Av. Paulista, 1000 - Bela Vista, São Paulo/SP, CEP 01310-100",
    "Av Paulista 1000, Bela Vista, São Paulo",
    "Rua Nossa Senhora da Penha, nº 25, Sala 3",
]


def utilities():
    print("cnpj: number utilities and address comparison (per call)")
    for nome, target in [("limpar_cnpj", 8), ("validar_cnpj", 8), ("formatar_cnpj", 8)]:
        ours, base = getattr(cnpj, nome), getattr(ref, nome)
        assert ours(NUMERO) == base(NUMERO)
        b = best_of(lambda: base(NUMERO), repeat=7, number=20000)
        o = best_of(lambda: ours(NUMERO), repeat=7, number=20000)
        report(f"{nome}({NUMERO!r})", b, o, target)
    # the digits-only rule alone, without the alphanumeric check, as a floor
    b = best_of(lambda: re.sub(r"\D", "", NUMERO), repeat=7, number=20000)
    o = best_of(lambda: cnpj.limpar_cnpj(NUMERO), repeat=7, number=20000)
    report("limpar_cnpj vs bare re.sub(r'\\D', '', s)", b, o)
    for i, endereco in enumerate(ENDERECOS, 1):
        assert cnpj._normalizar_endereco(endereco) == ref._normalizar_endereco(endereco)
        b = best_of(lambda: ref._normalizar_endereco(endereco), repeat=7, number=2000)
        o = best_of(lambda: cnpj._normalizar_endereco(endereco), repeat=7, number=2000)
        report(f"_normalizar_endereco (address {i})", b, o, 15)
    for i, endereco in enumerate(ENDERECOS[:2], 1):
        assert cnpj.comparar_enderecos(endereco, REGISTRO) == ref.comparar_enderecos(endereco, REGISTRO)
        b = best_of(lambda: ref.comparar_enderecos(endereco, REGISTRO), repeat=7, number=1000)
        o = best_of(lambda: cnpj.comparar_enderecos(endereco, REGISTRO), repeat=7, number=1000)
        report(f"comparar_enderecos (address {i})", b, o, 15)


def lookup():
    print("cnpj: lookup against the local registry server (per call)")
    numero, brasil, receita = empresa_exemplo()
    with RegistryServer() as server:
        server.add_company(numero, brasil, receita)
        cnpj.BRASIL_API_URL = server.brasil_api_url
        url = server.brasil_api_url.replace("{cnpj}", numero)

        def bare():
            r = requests.get(url, timeout=10)
            assert r.status_code == 200
            r.json()

        def ours():
            assert cnpj.consultar_cnpj(numero) is not None

        ours()
        bare()
        # interleaved rounds, so both see the same machine state
        b = o = float("inf")
        for _ in range(5):
            b = min(b, best_of(bare, repeat=3, number=40))
            o = min(o, best_of(ours, repeat=3, number=40))
        overhead = o - b
        print(f"{'consultar_cnpj vs bare requests.get + json()':<52} baseline {b * 1e3:9.3f} ms  "
              f"ours {o * 1e3:9.3f} ms  overhead {overhead * 1e3:7.3f} ms  "
              f"(target <= 1 ms: {'met' if overhead <= 1e-3 else 'NOT met'})")


class _Answer:
    def __init__(self, status, body):
        self.status_code, self._body = status, body

    def json(self):
        return self._body


class _InstantRequests:
    """Stands in for `requests`: every GET gets the same answer at once."""

    def __init__(self, status, body):
        self.answer = _Answer(status, body)

    def get(self, url, **kwargs):
        return self.answer


def detailed():
    print("cnpj: detailed lookups against the plain ones (services answering at once, no HTTP)")
    numero, brasil, _ = empresa_exemplo()
    saved = cnpj.requests
    try:
        for label, fake in [("found", _InstantRequests(200, brasil)),
                            ("429 at both services", _InstantRequests(429, {"message": "Too many requests"}))]:
            cnpj.requests = fake
            assert cnpj.consultar_cnpj_detalhado(numero)[0] == cnpj.consultar_cnpj(numero)
            b = o = float("inf")
            for _ in range(7):  # interleaved rounds, so both see the same machine state
                b = min(b, best_of(lambda: cnpj.consultar_cnpj(numero), repeat=3, number=1000))
                o = min(o, best_of(lambda: cnpj.consultar_cnpj_detalhado(numero), repeat=3, number=1000))
            report(f"detailed vs plain lookup ({label})", b, o)
    finally:
        cnpj.requests = saved
    numerico = {"endereco": dict(REGISTRO["endereco"], numero=1000, cep=1310100)}
    b = best_of(lambda: ref.comparar_enderecos(ENDERECOS[0], numerico), repeat=7, number=2000)
    o = best_of(lambda: cnpj.comparar_enderecos(ENDERECOS[0], numerico), repeat=7, number=2000)
    report("comparar_enderecos, numeric numero and cep", b, o)


def adversarial():
    print("cnpj: address containment on periodic text, 'a'*n+'b' against 'a'*2n (per call)")
    ours = {}
    for n in (100_000, 200_000, 400_000, 1_000_000):
        contrato = "a" * n + "b"
        dados = {"endereco": {"logradouro": "a" * (2 * n)}}
        assert cnpj.comparar_enderecos(contrato, dados) == ref.comparar_enderecos(contrato, dados)
        b = best_of(lambda: ref.comparar_enderecos(contrato, dados), repeat=3)
        o = best_of(lambda: cnpj.comparar_enderecos(contrato, dados), repeat=15)
        ours[n] = o
        report(f"comparar_enderecos, n = {n:,}", b, o, 1)
    growth = ours[1_000_000] / ours[100_000]
    print(f"{'growth of ours, n x10 (100k -> 1M)':<52} x{growth:.1f}  (target <= x12: "
          f"{'met' if growth <= 12 else 'NOT met'})")


def main():
    utilities()
    print()
    lookup()
    print()
    detailed()
    print()
    adversarial()


if __name__ == "__main__":
    main()
