"""Benchmarks of the digital signature check, on a PDF signed twice (made here
with a test CA, trusted through the roots option).

1. Bare pyHanko (read the signatures, validate each against the same roots:
   the floor the library allows) versus ``ler_assinaturas`` (ours).
2. The extraction of the same contract (the engine's three questions, each
   answered after 0.5 s by a local OpenAI-compatible server, asked
   concurrently) as baseline, versus the whole signature check with its QSA
   cross-check (``verificar_assinaturas_digitais``): how small a share of a
   verification the signatures add.

3. The table of findings of each kind of test PDF (one signer, two signers,
   a certification then an approval, a company certificate, a comment added,
   a change after signing, a hidden overlay revealed, altered bytes, a
   malformed signature, an unknown CA, no signature).

Each figure is the minimum of several repeats, all measured in this run.
Run with ``python bench/bench_signatures.py`` once the package is installed.
"""

from __future__ import annotations

import io
import sys
import tempfile
import time
import warnings
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))  # test CA and signed PDFs, the local servers

from openai_server import OpenAIServer, Reply  # noqa: E402
from pdfs import write_text_pdf  # noqa: E402
from signed_pdfs import (AutoridadeTeste, adulterar, anotar, assinar, assinar_com, com_sobreposicao_oculta,  # noqa: E402
                         pdf_texto, revelar_sobreposicao, trocar_texto)

from scrivane import Question, QuestionConfig, Scrivane  # noqa: E402
from scrivane.signatures import carregar_raizes, ler_assinaturas  # noqa: E402
from scrivane_contract.assinaturas_digitais import verificar_assinaturas_digitais  # noqa: E402
from scrivane_contract.models import ExtracaoAssinaturas, ExtracaoDadosContrato, ExtracaoEmpresas  # noqa: E402

REPEATS = 7
ANSWER_DELAY = 0.5
QUESTIONS = [
    ("empresas", "Extraia as empresas.", ExtracaoEmpresas, {"empresas": []}),
    ("assinaturas", "Extraia as assinaturas.", ExtracaoAssinaturas, {"assinaturas": []}),
    ("dados_contrato", "Extraia os dados gerais.", ExtracaoDadosContrato, {}),
]
SOCIO = {"nome": "MARIA DA SILVA", "qualificacao": "Sócio-Administrador", "cnpj_cpf_do_socio": "***982247**",
         "nome_representante": "", "cpf_representante": "***000000**"}
RESULTADO = {"empresas": [{"cnpj": "11.222.333/0001-81", "razao_social_receita": "ACME COMERCIO LTDA",
                           "socios": [SOCIO]}],
             "assinaturas": [{"nome_signatario": "Maria da Silva"}, {"nome_signatario": "João Pereira"}]}


def best_of(repeats, fn):
    times = []
    for _ in range(repeats):
        started = time.perf_counter()
        fn()
        times.append(time.perf_counter() - started)
    return min(times)


def row(name: str, baseline: float, ours: float, unit: str) -> None:
    print(f"{name:<52} baseline {baseline * 1e3:9.1f} m{unit:<3} ours {ours * 1e3:9.1f} m{unit:<3} "
          f"ratio {baseline / ours:7.2f}x")


def signed_pdf(tmp: Path, pages: int = 1) -> tuple[Path, Path]:
    ca = AutoridadeTeste()
    if pages == 1:
        pdf = pdf_texto("CONTRATO DE PRESTACAO DE SERVICOS", "CONTRATANTE: ACME COMERCIO LTDA")
    else:
        line = "Cláusula {n}: a CONTRATADA prestará os serviços descritos no objeto deste contrato, linha {k}."
        write_text_pdf(tmp / "texto.pdf", ["\n".join(line.format(n=n + 1, k=k) for k in range(45))
                                           for n in range(pages)])
        pdf = (tmp / "texto.pdf").read_bytes()
    pdf = assinar(pdf, ca.pessoa("MARIA DA SILVA", "52998224725"), "Assinatura1")
    pdf = assinar(pdf, ca.pessoa("JOAO PEREIRA", "11144477735"), "Assinatura2")
    path = tmp / f"contrato-{pages}p-2-assinaturas.pdf"
    path.write_bytes(pdf)
    return path, ca.gravar_raiz(tmp / f"raizes-{pages}p")


def bare_pyhanko(path: Path, roots: list) -> list:
    from pyhanko.pdf_utils.reader import PdfFileReader
    from pyhanko.sign.validation import validate_pdf_signature
    from pyhanko_certvalidator import ValidationContext

    reader = PdfFileReader(io.BytesIO(path.read_bytes()), strict=False)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return [validate_pdf_signature(s, ValidationContext(trust_roots=roots)).bottom_line
                for s in reader.embedded_signatures]


def findings_table(tmp: Path) -> None:
    ca = AutoridadeTeste()
    raizes = ca.gravar_raiz(tmp / "raizes-tabela")
    maria = ca.pessoa("MARIA DA SILVA", "52998224725")
    joao = ca.pessoa("JOAO PEREIRA", "11144477735")
    acme = ca.empresa("ACME COMERCIO LTDA", "11222333000181", "JOAO PEREIRA", "11144477735")
    base = pdf_texto("CONTRATO DE PRESTACAO DE SERVICOS", "VALOR: R$ 1.000,00")
    um = assinar(base, maria, "Assinatura1")
    dois = assinar(um, joao, "Assinatura2")
    cut = dois.rindex(b"/ByteRange")
    pdfs = {
        "sem assinatura": (base, raizes),
        "um assinante": (um, raizes),
        "dois assinantes": (dois, raizes),
        "certificado de empresa": (assinar(base, acme, "Assinatura1"), raizes),
        "certificação e aprovação": (assinar_com(assinar_com(base, maria.signer(), "Assinatura1", certificar=True,
                                                             caixa=(50, 100, 250, 150)),
                                                 joao.signer(), "Assinatura2", caixa=(300, 100, 500, 150)), raizes),
        "comentário depois": (anotar(dois, "visto"), raizes),
        "alterado depois": (trocar_texto(um, "CONTRATO", "VALOR: R$ 9.000,00"), raizes),
        "sobreposição revelada": (revelar_sobreposicao(assinar(com_sobreposicao_oculta(base, "VALOR: R$ 9.000,00"),
                                                               maria, "Assinatura1")), raizes),
        "bytes adulterados": (adulterar(um, b"1.000,00", b"9.000,00"), raizes),
        "2a sem /ByteRange": (dois[:cut] + b"/ByteRangX" + dois[cut + 10:], raizes),
        "AC desconhecida": (um, None),
    }
    print()
    print("| PDF | campo | assinante | CPF/CNPJ | íntegra | depois dela | pyHanko | nível | motivo |")
    print("|---|---|---|---|---|---|---|---|---|")
    for nome, (data, roots) in pdfs.items():
        path = tmp / "tabela.pdf"
        path.write_bytes(data)
        assinaturas = ler_assinaturas(path, raizes=roots)
        if not assinaturas:
            print(f"| {nome} | - | - | - | - | - | - | - | nenhuma assinatura digital no documento |")
        for a in assinaturas:
            doc = a.cpf_pessoa or "-"
            if a.cnpj:
                doc = f"{doc} / {a.cnpj}"
            print(f"| {nome} | {a.campo} | {a.pessoa or '-'} | {doc} | {a.integra} | {a.alteracao} | "
                  f"{a.modificacao_pyhanko} | {a.nivel} | {a.motivo or a.ilegivel or ''} |")


def main() -> None:
    with tempfile.TemporaryDirectory() as tmp:
        path, raizes = signed_pdf(Path(tmp))
        roots, _ = carregar_raizes(raizes)
        assert bare_pyhanko(path, roots) == [True, True]
        assert [a.nivel for a in ler_assinaturas(path, raizes=raizes)] == ["válida e confiável"] * 2
        baseline = best_of(REPEATS, lambda: bare_pyhanko(path, roots))
        ours = best_of(REPEATS, lambda: ler_assinaturas(path, raizes=raizes))
        row("2 signatures: bare pyHanko vs ler_assinaturas", baseline, ours, "s")
        grande, raizes_grande = signed_pdf(Path(tmp), pages=50)
        roots_grande, _ = carregar_raizes(raizes_grande)
        baseline = best_of(5, lambda: bare_pyhanko(grande, roots_grande))
        ours = best_of(5, lambda: ler_assinaturas(grande, raizes=raizes_grande))
        row("2 signatures, 50 pages: bare pyHanko vs ours", baseline, ours, "s")

        digitais = verificar_assinaturas_digitais(path, RESULTADO, raizes=raizes, consultar_socios=None)
        assert digitais["assinaturas"][0]["identidade"] == "identidade confirmada"
        check = best_of(REPEATS, lambda: verificar_assinaturas_digitais(path, RESULTADO, raizes=raizes,
                                                                         consultar_socios=None))
        with OpenAIServer() as server:
            for _qid, system, _model, answer in QUESTIONS:
                server.script(system, Reply.json(answer, delay=ANSWER_DELAY))
            engine = Scrivane(openai_api_key="bench", base_url=server.base_url)
            for qid, system, model, _answer in QUESTIONS:
                engine.add_question(Question(config=QuestionConfig(id=qid, name=qid, tag=qid), system_prompt=system,
                                             user_prompt="{texto}", keywords=[], response_model=model))
            engine.process(path)  # warm connections up
            extraction = best_of(3, lambda: engine.process(path))
            extraction_grande = best_of(3, lambda: engine.process(grande))
        row(f"extraction ({ANSWER_DELAY}s answers) vs signature check + QSA", extraction, check, "s")
        print(f"signature check = {check / extraction:.1%} of the extraction's time")
        ours_grande = best_of(5, lambda: ler_assinaturas(grande, raizes=raizes_grande))
        row("50 pages: extraction vs ler_assinaturas", extraction_grande, ours_grande, "s")
        print(f"50 pages: signature check = {ours_grande / extraction_grande:.1%} of the extraction's time")
        findings_table(Path(tmp))


if __name__ == "__main__":
    main()
