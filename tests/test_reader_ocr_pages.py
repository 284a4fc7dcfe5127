"""Which pages the reader sends to OCR, decided by what each page shows against what its text layer
says, and why: PDFs built here as scanners, case-file systems and layout programs write them."""

import pytest
from pdfs import write_text_pdf
from scans import add_logo, add_text_lines, merge_pdfs, write_curves_pdf, write_scanned_pdf

from scrivane import read_document
from scrivane import ocr
from scrivane.document import PaginaOCR

CONTRATO = """CONTRATO DE PRESTAÇÃO DE SERVIÇOS DE LIMPEZA
CONTRATANTE: ACME COMERCIO DE TESTES LTDA, inscrita no CNPJ sob o nº 11.222.333/0001-81,
com sede na Av. Paulista, 1000, Bela Vista, São Paulo/SP, CEP 01310-100, neste ato
representada por sua sócia administradora MARIA DA SILVA, CPF 123.456.789-00.
CONTRATADA: BETA SERVIÇOS GERAIS LTDA, inscrita no CNPJ sob o nº 99.888.777/0001-66.
CLÁUSULA PRIMEIRA - DO OBJETO: limpeza diária das dependências da CONTRATANTE.
CLÁUSULA SEGUNDA - DA VIGÊNCIA: doze meses contados da assinatura deste contrato.
CLÁUSULA TERCEIRA - DO VALOR: R$ 1.000,00 (mil reais) por mês, pagos até o quinto dia útil."""

# The authentication a case-file system prints on every page of a scanned copy: over 300
# characters, more than the "few words" a page of text is told apart from.
CARIMBO = [
    "HBTCAP202500574",
    "Autenticado com senha por FULANA DE TAL DA SILVA - ASSISTENTE ADMINISTRATIVO II / 51409 - 20/08/2025 às 15:42:27.",
    "Documento Nº: 11699398-6696 - consulta à autenticidade em",
    "https://acesso.processo.exemplo/sigaex/public/app/autenticar?n=11699398-6696",
    "Assinado com senha por BELTRANO DE SOUZA - AGENTE DE ADMINISTRACAO / 51409 - 20/08/2025 às 15:43:01.",
]
# A scanner's own OCR gone wrong: broken words, letters run into digits and marks.
OCR_RUIM = ["C0NTRAT0 d3 pr3st4ção d serv1ços e1 l1mp3za q ACME C0M3RC10 d3 T3ST3S LTD4 1nscr1ta n0 CNPJ",
            "s0b o n 1l.2Z2.3E3/0O01-8l c0m s3d3 n4 Av P4ul1sta l000 B3la V1sta S4o Paul0 SP C3P 0l3l0 l00",
            "n3st3 at0 r3pr3s3ntada p0r sua s0c1a adm1n1stradora MAR1A DA S1LVA CPF l23.4S6.789 00 x z k",
            "C0NTRATADA B3TA S3RV1Ç0S G3RA1S LTDA 1nscr1ta n0 CNPJ s0b 0 n 99.888.777/000l 66 j w y q",
            "CLAUSULA PR1M3lRA D0 0BJ3T0 l1mp3za d1ar1a das d3p3nd3nc1as da C0NTRATANT3 ; v b n m"]


@pytest.fixture
def texto_pdf(tmp_path):
    return write_text_pdf(tmp_path / "texto.pdf", [CONTRATO])


@pytest.fixture
def digitalizado(tmp_path, texto_pdf):
    return write_scanned_pdf(tmp_path / "digitalizado.pdf", texto_pdf)


def test_an_ordinary_text_page_is_not_ocrd(texto_pdf):
    doc = read_document(texto_pdf, ocr=False)
    assert doc.unread_pages == () and doc.ocr_pages == ()


def test_a_logo_over_a_page_of_text_is_not_ocrd(tmp_path, texto_pdf):
    com_logo = add_logo(tmp_path / "timbrado.pdf", texto_pdf)
    doc = read_document(com_logo, ocr=False)
    assert doc.unread_pages == () and "11.222.333/0001-81" in doc.pages[0]


def test_a_scan_under_a_long_stamp_is_ocrd_for_the_stamp(tmp_path, digitalizado):
    carimbado = add_text_lines(tmp_path / "carimbado.pdf", digitalizado, CARIMBO)
    doc = read_document(carimbado, ocr=False)
    assert len("".join(doc.pages[0].split())) > 300  # a long text layer, all of it stamp
    assert [(int(p), p.motivo) for p in doc.unread_pages] == [(0, "carimbo")]


def test_a_scan_with_no_text_layer_is_ocrd(digitalizado):
    from scrivane import EmptyDocumentError

    with pytest.raises(EmptyDocumentError):
        read_document(digitalizado, ocr=False)


def test_text_drawn_as_curves_is_ocrd(tmp_path, texto_pdf):
    curvas = write_curves_pdf(tmp_path / "curvas.pdf", [CONTRATO])
    misto = merge_pdfs(tmp_path / "misto.pdf", texto_pdf, curvas)
    doc = read_document(misto, ocr=False)
    assert doc.pages[1].strip() == ""
    assert [(int(p), p.motivo) for p in doc.unread_pages] == [(1, "curvas")]


def test_a_scan_whose_own_ocr_is_broken_is_ocrd_again(tmp_path, digitalizado):
    camada = add_text_lines(tmp_path / "ocr_ruim.pdf", digitalizado, OCR_RUIM * 3, invisible=True, top=780, size=9)
    doc = read_document(camada, ocr=False)
    assert [(int(p), p.motivo) for p in doc.unread_pages] == [(0, "ocr_ruim")]


def test_a_scan_whose_own_ocr_is_good_is_not_ocrd_again(tmp_path, digitalizado):
    camada = add_text_lines(tmp_path / "ocr_bom.pdf", digitalizado, CONTRATO.split("\n"), invisible=True, top=780, size=9)
    doc = read_document(camada, ocr=False)
    assert doc.unread_pages == () and "ACME COMERCIO" in doc.pages[0]


def test_running_headers_and_footers_do_not_count_as_a_page_text(tmp_path, texto_pdf):
    # Four scanned pages, each under the same header and footer lines of a case-file system.
    paginas = [write_scanned_pdf(tmp_path / f"s{i}.pdf", texto_pdf) for i in range(4)]
    cabecalho = ["TERMO DE CONTRATO Nº 2503133/2025 – ASSOCIAÇÃO DOS MEMBROS DO MINISTÉRIO PÚBLICO",
                 "PROCESSO CVL-PRO-2025/00829 – SECRETARIA MUNICIPAL DA CASA CIVIL DO RIO DE JANEIRO",
                 "ANEXO I – PROPOSTA DE PATROCÍNIO E PLANO DE TRABALHO APRESENTADO PELO PATROCINADO"]
    marcadas = [add_text_lines(tmp_path / f"m{i}.pdf", p, [f"{i + 1} de 4"] + cabecalho, top=820)
                for i, p in enumerate(paginas)]
    doc = read_document(merge_pdfs(tmp_path / "anexos.pdf", *marcadas), ocr=False)
    assert [(int(p), p.motivo) for p in doc.unread_pages] == [(i, "carimbo") for i in range(4)]


def test_the_reason_survives_a_trip_between_processes():
    import pickle

    pagina = pickle.loads(pickle.dumps(PaginaOCR(3, "curvas")))
    assert (pagina, pagina.motivo, pagina + 1) == (3, "curvas", 4)


needs_ocr = pytest.mark.skipif(ocr.unavailable_reason() is not None,
                               reason=f"OCR indisponível: {ocr.unavailable_reason()}")


@needs_ocr
def test_the_stamped_scan_is_read_and_the_stamp_kept(tmp_path, digitalizado):
    carimbado = add_text_lines(tmp_path / "carimbado.pdf", digitalizado, CARIMBO)
    doc = read_document(carimbado)
    assert [(int(p), p.motivo) for p in doc.ocr_pages] == [(0, "carimbo")] and doc.unread_pages == ()
    assert "11.222.333/0001-81" in doc.pages[0] and "MARIA DA SILVA" in doc.pages[0]
    assert "Autenticado com senha por FULANA DE TAL DA SILVA" in doc.pages[0]  # joined, not replaced


@needs_ocr
def test_text_drawn_as_curves_is_read(tmp_path):
    doc = read_document(write_curves_pdf(tmp_path / "curvas.pdf", [CONTRATO]))
    assert [(int(p), p.motivo) for p in doc.ocr_pages] == [(0, "curvas")]
    # The test font has no accented letters: the words and numbers without them are read.
    for trecho in ("ACME COMERCIO DE TESTES LTDA", "11.222.333/0001-81", "99.888.777/0001-66", "MARIA DA SILVA"):
        assert trecho in doc.pages[0]


@needs_ocr
def test_a_broken_ocr_layer_is_replaced_by_the_new_reading(tmp_path, digitalizado):
    camada = add_text_lines(tmp_path / "ocr_ruim.pdf", digitalizado, OCR_RUIM * 3, invisible=True, top=780, size=9)
    doc = read_document(camada)
    assert [(int(p), p.motivo) for p in doc.ocr_pages] == [(0, "ocr_ruim")]
    assert "11.222.333/0001-81" in doc.pages[0] and "C0NTRAT0" not in doc.pages[0]


@needs_ocr
def test_the_engine_reports_which_pages_went_to_ocr_and_why(tmp_path, digitalizado, capsys):
    from scrivane import Question, QuestionConfig, Scrivane
    from scrivane_contract.models import ExtracaoEmpresas

    carimbado = add_text_lines(tmp_path / "carimbado.pdf", digitalizado, CARIMBO)
    assinaturas = write_text_pdf(tmp_path / "assinaturas.pdf", [
        "CLÁUSULA QUARTA - DO FORO: fica eleito o foro da comarca de São Paulo/SP.\n"
        "E, por estarem justas e contratadas, as partes assinam o presente instrumento.\n"
        "São Paulo, 1º de março de 2024.\nMARIA DA SILVA - sócia administradora - ACME COMERCIO DE TESTES LTDA"])
    misto = merge_pdfs(tmp_path / "misto.pdf", assinaturas, carimbado)
    engine = Scrivane(provider="local", verbose=True)
    engine.add_question(Question(config=QuestionConfig(id="empresas", name="Empresas", tag="empresas"),
                                 system_prompt="s", user_prompt="{texto}", response_model=ExtracaoEmpresas))
    run = engine.process(misto)
    assert [(int(p), p.motivo) for p in run.ocr_pages] == [(1, "carimbo")]
    linha = next(l for l in capsys.readouterr().out.splitlines() if l.startswith("🔎 OCR: página(s) 2 lida(s) por OCR ("))
    assert linha.endswith("; carimbo: 2)")
    cnpjs = {e["cnpj"] for e in run.get_result("empresas").raw_result["empresas"]}
    assert "11.222.333/0001-81" in cnpjs
