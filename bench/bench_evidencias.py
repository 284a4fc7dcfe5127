"""Benchmark of the evidence: does every value the local reader reports show where it was read, and
what does finding it cost?

Three sets of documents: the demo's examples (exemplos/), the invented accuracy set of
tests/acuracia/ (each text laid out as a PDF here, paragraphs wrapped as a PDF lays them out) and,
when the folder is there, the real documents of ``../shared/realdocs/pdfs`` (read in place, never
copied; or the folder given as the first argument, or SCRIVANE_DOCUMENTOS_REAIS).

For each document the local provider reads it (through the engine, as ``verificar --provedor
local`` does) and every value it reports (CNPJ, company name; signatory's name, CPF, role,
company and its CNPJ) is checked: an evidence entry for it, on a page of the document whose text
holds the value, whose passage holds it (digits compared without punctuation, names folded) and,
on a PDF, whose box lies inside the page.  Also a cloud model (the tests' local OpenAI-compatible
server) that answers with one CNPJ digit changed and an invented signatory: both must be flagged,
and the contract must not be "APROVADO".

Cost: whole verifications (``ContractChecker.verificar`` with the local provider against the
tests' local registry server) with the evidence found and, as the baseline in alternate rounds of
the same run, with the step that finds it turned off; the evidence step's own time against the
baseline verification's (target <= 5 %), and the ratio of the two verifications.

Run with ``.venv/bin/python bench/bench_evidencias.py [FOLDER]``.
"""

from __future__ import annotations

import os
import re
import sys
import tempfile
import time
import unicodedata
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))
sys.path.insert(0, str(HERE))

import _common  # noqa: E402,F401  (a throw-away history)
import acuracia  # noqa: E402
from pdfs import write_text_pdf  # noqa: E402
from web_helpers import exemplos, registro_exemplos  # noqa: E402

from scrivane import engine as _engine  # noqa: E402
from scrivane import grounding  # noqa: E402
from scrivane_contract.checker import ContractChecker  # noqa: E402

CAMPOS = {"empresas": ("cnpj", "razao_social"),
          "assinaturas": ("nome_signatario", "cpf", "cargo", "empresa_representada", "cnpj_empresa")}
NUMEROS = ("cnpj", "cpf", "cnpj_empresa")
META_PARCELA = 0.05
LINHAS_POR_PAGINA = 55


def pasta_reais() -> Path | None:
    candidatas = [sys.argv[1] if len(sys.argv) > 1 else None, os.environ.get("SCRIVANE_DOCUMENTOS_REAIS"),
                  HERE.parent.parent / "shared" / "realdocs", HERE.parent.parent.parent / "shared" / "realdocs"]
    return next((Path(c) / "pdfs" for c in candidatas if c and (Path(c) / "pdfs").is_dir()), None)


def _dobrar(texto: str) -> str:
    texto = unicodedata.normalize("NFD", str(texto).lower())
    return "".join(re.findall(r"[a-z0-9]", "".join(c for c in texto if unicodedata.category(c) != "Mn")))


def _palavras(texto: str) -> list[str]:
    texto = unicodedata.normalize("NFD", str(texto).lower())
    return re.findall(r"[a-z0-9]+", "".join(c for c in texto if unicodedata.category(c) != "Mn"))


def contem(texto: str, campo: str, valor: str) -> bool:
    """The text holds the value: digits compared without punctuation; names folded, a word broken at a
    line end counted whole; a role's words may be inflected ("sócio" in "sócios" or "sócia")."""
    if campo in NUMEROS:
        return re.sub(r"\D", "", valor) in re.sub(r"\D", "", texto)
    if _dobrar(valor) in _dobrar(texto):
        return True
    if campo != "cargo":
        return False
    alvo, palavras = _palavras(valor), _palavras(texto)
    return any(all(_flexao(a, p) for a, p in zip(alvo, palavras[i:i + len(alvo)]))
               for i in range(len(palavras) - len(alvo) + 1))


def _flexao(alvo: str, palavra: str) -> bool:
    """The word is the value's word, maybe inflected: in number ("sócios") or, for a word ending in
    "o", in gender ("sócia")."""
    if len(palavra) - len(alvo) > 3:
        return False
    if alvo.endswith("o") and len(alvo) > 2 and palavra.startswith(alvo[:-1] + "a"):
        return True
    return palavra.startswith(alvo)


def acuracia_em_pdf(pasta: Path) -> list[Path]:
    """The accuracy set's texts as PDFs: wrapped at 65 columns (capitals included, a line fits the
    page), at most 55 lines a page."""
    saida = []
    for caso in acuracia.casos():
        paginas = []
        for pagina in acuracia.quebrar(caso.paginas, 65):
            linhas = pagina.split("\n")
            paginas += ["\n".join(linhas[i:i + LINHAS_POR_PAGINA]) for i in range(0, max(len(linhas), 1), LINHAS_POR_PAGINA)]
        saida.append(write_text_pdf(pasta / f"{caso.nome}.pdf", paginas))
    return saida


class Placar:
    def __init__(self) -> None:
        self.valores = self.ok = 0
        self.falhas: list[str] = []
        self.documentos = 0

    def conferir(self, nome: str, run, tamanhos: dict[int, tuple[float, float]], textos: list[str]) -> None:
        self.documentos += 1
        for pergunta, campos in CAMPOS.items():
            resposta = run.get_result(pergunta)
            for item in (resposta.raw_result.get(pergunta) or []) if resposta else []:
                for campo in campos:
                    valor = item.get(campo)
                    if not isinstance(valor, str) or not valor.strip() or (campo in NUMEROS and len(re.sub(r"\D", "", valor)) < 8):
                        continue
                    self.valores += 1
                    problema = self._problema(item, campo, valor, tamanhos, textos)
                    if problema is None:
                        self.ok += 1
                    else:
                        self.falhas.append(f"{nome}: {campo} {valor!r}: {problema}")

    @staticmethod
    def _problema(item, campo, valor, tamanhos, textos):
        evidencias = [e for e in item.get("evidencias") or [] if e.get("campo") == campo]
        if not evidencias:
            return "sem evidência"
        e = evidencias[0]
        if not 1 <= e["pagina"] <= len(textos):
            return f"página {e['pagina']} inexistente"
        if not contem(e["trecho"], campo, valor):
            return f"trecho sem o valor: {e['trecho'][:80]!r}"
        if not contem(textos[e["pagina"] - 1], campo, valor):
            return f"a página {e['pagina']} não tem o valor"
        if e["pagina"] in tamanhos:
            largura, altura = tamanhos[e["pagina"]]
            x0, y0, x1, y1 = e["caixa"] or (-1, -1, -1, -1)
            if not (0 <= x0 < x1 <= largura + 0.5 and 0 <= y0 < y1 <= altura + 0.5):
                return f"caixa {e['caixa']} fora da página {largura:.0f}x{altura:.0f}"
        return None

    def imprimir(self, rotulo: str) -> None:
        parcela = self.ok / self.valores if self.valores else 1.0
        print(f"{rotulo:<34} {self.documentos:3d} documento(s)  {self.valores:4d} valor(es)  "
              f"com evidência correta {self.ok:4d}  ({parcela:6.1%})")
        for falha in self.falhas[:12]:
            print(f"    - {falha}")
        if len(self.falhas) > 12:
            print(f"    ... e mais {len(self.falhas) - 12}")


def _motor():
    chk = ContractChecker(provider="local", verbose=False)
    assert chk._init_scrivane()
    return chk._client


def cobertura(rotulo: str, arquivos: list[Path]) -> None:
    """Coverage over ``arquivos``, and the share of the engine's own time (reading, OCR, extraction and
    evidence, no registry) spent finding the evidence: a harsher share than a whole verification's."""
    motor = _motor()
    placar = Placar()
    lidos = []
    original = _engine.read_isolated

    def lendo(*args, **kwargs):
        documento = original(*args, **kwargs)
        lidos.append(documento)
        return documento

    evidencias = total = 0.0
    maior = (0.0, "")
    _engine.read_isolated = lendo
    try:
        for arquivo in arquivos:
            run = motor.process(str(arquivo))
            documento = lidos.pop()
            tamanhos = {p.numero: (p.largura, p.altura) for p in documento.layout}
            placar.conferir(arquivo.name, run, tamanhos, list(documento.pages))
            evidencias += run.grounding_seconds
            total += run.total_metrics.time_seconds
            if run.total_metrics.time_seconds > 0:
                maior = max(maior, (run.grounding_seconds / run.total_metrics.time_seconds, arquivo.name))
    finally:
        _engine.read_isolated = original
    placar.imprimir(rotulo)
    print(f"{'':<34} evidências: {evidencias * 1e3:.1f} ms de {total * 1e3:.1f} ms do motor "
          f"({evidencias / total if total else 0:.2%}; maior num documento: {maior[0]:.2%}, {maior[1]})")


def custo(arquivos: list[Path], rodadas: int = 11) -> None:
    """Whole verifications without the evidence step (the baseline) and with it, in alternate rounds of
    the same run; the evidence step's own seconds are timed inside the verifications that take it."""
    gasto = [0.0]
    original = _engine.Scrivane.__dict__["_ground"]  # the staticmethod itself, put back as it was
    funcao = original.__func__

    def medido(document, questions, results):
        t0 = time.perf_counter()
        funcao(document, questions, results)
        gasto[0] += time.perf_counter() - t0

    def verificar_todos(chk, etapa) -> float:
        _engine.Scrivane._ground = staticmethod(etapa)
        try:
            t0 = time.perf_counter()
            for arquivo in arquivos:
                chk.verificar(arquivo)
            return time.perf_counter() - t0
        finally:
            _engine.Scrivane._ground = original

    with registro_exemplos():
        chk = ContractChecker(provider="local", verbose=False)
        verificar_todos(chk, funcao)  # warm: reader workers started, pages cached by the OS
        sem: list[float] = []
        com: list[float] = []
        parcelas: list[float] = []
        for _ in range(rodadas):
            sem.append(verificar_todos(chk, lambda document, questions, results: None))
            gasto[0] = 0.0
            com.append(verificar_todos(chk, medido))
            parcelas.append(gasto[0] / sem[-1])
    parcelas.sort()
    parcela = parcelas[len(parcelas) // 2]
    por = len(arquivos)
    print(f"{'verificações sem evidências (baseline)':<52} {min(sem) * 1e3 / por:8.2f} ms por contrato")
    print(f"{'verificações com evidências':<52} {min(com) * 1e3 / por:8.2f} ms por contrato   "
          f"ratio {min(com) / min(sem):5.3f}x")
    print(f"{'parcela: evidências / verificação sem elas':<52} {parcela:8.2%}   "
          f"(mediana de {rodadas} rodadas, de {parcelas[0]:.2%} a {parcelas[-1]:.2%}; meta <= {META_PARCELA:.0%}: "
          f"{'cumprida' if parcela <= META_PARCELA else 'NÃO cumprida'})")


def modelo_na_nuvem() -> None:
    """A mistyped CNPJ and an invented signatory from the model: flagged, and no approval."""
    from openai_server import OpenAIServer, Reply
    from registry_server import RegistryServer, empresa_exemplo

    from scrivane_contract import cnpj

    with tempfile.TemporaryDirectory() as pasta, OpenAIServer() as llm, RegistryServer() as registro:
        pdf = write_text_pdf(Path(pasta) / "c.pdf", [
            "CONTRATO DE PRESTAÇÃO DE SERVIÇOS\nCONTRATANTE: ACME COMERCIO DE TESTES LTDA, CNPJ 11.222.333/0001-81,\n"
            "neste ato representada por sua sócia MARIA DA SILVA, CPF 529.982.247-25."])
        registro.add_company(*empresa_exemplo("11222333000181"))
        llm.script("TODAS as empresas", Reply.json({"empresas": [{
            "cnpj": "11.222.333/0001-82", "razao_social": "ACME COMERCIO DE TESTES LTDA", "trecho": None}]}))
        llm.script("TODAS as pessoas", Reply.json({"assinaturas": [
            {"nome_signatario": "Maria da Silva", "cnpj_empresa": "11.222.333/0001-81", "cargo": "Sócia"},
            {"nome_signatario": "João Pereira", "cnpj_empresa": "11.222.333/0001-81", "cargo": "Sócio"}]}))
        llm.script("dados gerais", Reply.json({}))
        antes = (cnpj.BRASIL_API_URL, cnpj.RECEITA_WS_URL, cnpj.CASADOSDADOS_API, os.environ.get("OPENAI_BASE_URL"))
        cnpj.BRASIL_API_URL, cnpj.RECEITA_WS_URL, cnpj.CASADOSDADOS_API = (
            registro.brasil_api_url, registro.receita_ws_url, registro.casadosdados_url)
        os.environ["OPENAI_BASE_URL"] = llm.base_url
        try:
            r = ContractChecker(openai_api_key="sk-bench", verbose=False).verificar(pdf)
        finally:
            cnpj.BRASIL_API_URL, cnpj.RECEITA_WS_URL, cnpj.CASADOSDADOS_API = antes[:3]
            if antes[3] is None:
                os.environ.pop("OPENAI_BASE_URL", None)
            else:
                os.environ["OPENAI_BASE_URL"] = antes[3]
    marcas = [c["mensagem"] for reg in r["empresas"] + r["assinaturas"] for c in reg["campos"] if c["campo"] == "Evidência"]
    cnpj_marcado = any("lido diferente" in m for m in marcas)
    inventado = any("João Pereira" in m and grounding.NAO_ENCONTRADO in m for m in marcas)
    print(f"modelo com um dígito do CNPJ trocado e um signatário inventado: resultado {r['resultado_final']}; "
          f"CNPJ marcado: {'sim' if cnpj_marcado else 'NÃO'}; signatário marcado: {'sim' if inventado else 'NÃO'}")
    for m in marcas:
        print(f"    ⚠️ {m}")


def main() -> None:
    print("Evidências do leitor local: cada valor com página, trecho que o contém e caixa dentro da página")
    exemplos_pdf = list(exemplos().values())
    cobertura("exemplos/", exemplos_pdf)
    with tempfile.TemporaryDirectory() as pasta:
        cobertura("tests/acuracia (em PDF)", acuracia_em_pdf(Path(pasta)))
    reais = pasta_reais()
    if reais is not None:
        cobertura(f"{reais.parent.name}/pdfs", sorted(reais.glob("*.pdf")))
    else:
        print("documentos reais: pasta não encontrada (../shared/realdocs); pulado")
    print()
    modelo_na_nuvem()
    print()
    print("Custo das evidências numa verificação (exemplos/, provedor local, registro local)")
    custo(exemplos_pdf)


if __name__ == "__main__":
    main()
