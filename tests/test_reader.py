"""Every page read: scanned pages by OCR, signature stamps and form fields, words split at line ends,
password-protected files; through the real reader, Tesseract and the engine against the local
OpenAI-compatible server."""

import hashlib
import logging
import sys

import pytest
from checker_helpers import no_env_keys  # noqa: F401
from openai_server import OpenAIServer, Reply
from pdfs import write_text_pdf
from registry_server import empresa_exemplo, registry  # noqa: F401
from scans import add_footer, add_stamp_and_field, cer, merge_pdfs, protect, write_scanned_pdf

from scrivane import DocumentError, EmptyDocumentError, Question, QuestionConfig, Scrivane, read_document
from scrivane import ocr
from scrivane_contract.models import ExtracaoAssinaturas

PAGINA_1 = """CONTRATO DE PRESTAÇÃO DE SERVIÇOS DE LIMPEZA
CONTRATANTE: ACME COMERCIO DE TESTES LTDA, inscrita no CNPJ sob o nº 11.222.333/0001-81,
com sede na Av. Paulista, 1000, Bela Vista, São Paulo/SP, CEP 01310-100, neste ato
representada por sua sócia administradora MARIA DA SILVA, CPF 123.456.789-00.
CONTRATADA: BETA SERVIÇOS GERAIS LTDA, inscrita no CNPJ sob o nº 99.888.777/0001-66.
CLÁUSULA PRIMEIRA - DO OBJETO: limpeza diária das dependências da CONTRATANTE.
CLÁUSULA SEGUNDA - DA VIGÊNCIA: doze meses contados da assinatura deste contrato.
CLÁUSULA TERCEIRA - DO VALOR: R$ 1.000,00 (mil reais) por mês, pagos até o quinto dia útil."""
PAGINA_2 = """CLÁUSULA QUARTA - DO FORO: fica eleito o foro da comarca de São Paulo/SP.
E, por estarem justas e contratadas, as partes assinam o presente instrumento.
São Paulo, 1º de março de 2024.
MARIA DA SILVA - sócia administradora - ACME COMERCIO DE TESTES LTDA
JOÃO PEREIRA - diretor - BETA SERVIÇOS GERAIS LTDA
Testemunhas: Ana Souza, CPF 987.654.321-00; Carlos Lima, CPF 111.222.333-44."""

CARIMBO = "Documento assinado digitalmente conforme MP 2.200-2/2001, código 7F3A-91C2"

needs_ocr = pytest.mark.skipif(ocr.unavailable_reason() is not None,
                               reason=f"OCR indisponível: {ocr.unavailable_reason()}")


def sha(path):
    return hashlib.sha256(path.read_bytes()).hexdigest()


def render_bytes(path):
    import pypdfium2 as pdfium

    pdf = pdfium.PdfDocument(str(path))
    images = []
    try:
        for index in range(len(pdf)):
            page = pdf[index]
            images.append(page.render(scale=1, grayscale=True).to_pil().tobytes())
            page.close()
    finally:
        pdf.close()
    return images


@pytest.fixture
def digital(tmp_path):
    return write_text_pdf(tmp_path / "digital.pdf", [PAGINA_1, PAGINA_2])


@pytest.fixture
def server(monkeypatch):
    monkeypatch.delenv("OPENAI_BASE_URL", raising=False)
    with OpenAIServer() as srv:
        srv.script("pessoas", Reply.json({"assinaturas": []}))
        yield srv


def engine(server, **kwargs):
    e = Scrivane(openai_api_key="sk-test", base_url=server.base_url, max_retries=0, **kwargs)
    e.add_question(Question(config=QuestionConfig(id="assinaturas", name="Assinaturas", tag="assinaturas"),
                            system_prompt="Extraia as pessoas.", user_prompt="{texto}",
                            keywords=["assinatura"], response_model=ExtracaoAssinaturas))
    return e


@needs_ocr
class TestScannedPages:
    def test_scanned_contract_read_within_the_error_rate(self, tmp_path, digital):
        # page 1 as a flatbed gives it, page 2 noisy, specked, blurred and rotated
        scan = write_scanned_pdf(tmp_path / "digitalizado.pdf", digital, noisy={1})
        doc = read_document(scan)
        assert doc.ocr_pages == (0, 1) and doc.unread_pages == () and doc.ocr_seconds > 0
        assert cer(doc.pages[0], PAGINA_1) <= 0.01
        assert cer(doc.pages[1], PAGINA_2) <= 0.03

    def test_scanned_signature_page_inside_a_digital_contract(self, tmp_path, digital, server, capsys):
        signatures = write_scanned_pdf(tmp_path / "assinaturas.pdf",
                                       write_text_pdf(tmp_path / "p2.pdf", [PAGINA_2]), noisy={0})
        # the signing service's line is the scanned page's only text layer
        signatures = add_footer(tmp_path / "carimbada.pdf", signatures, CARIMBO)
        mixed = merge_pdfs(tmp_path / "misto.pdf", write_text_pdf(tmp_path / "p1.pdf", [PAGINA_1]), signatures)
        before = sha(mixed)
        run = engine(server, verbose=True).process(mixed)
        assert (run.page_count, run.ocr_pages, run.unread_pages) == (2, (1,), ())
        assert 0 < run.ocr_seconds <= run.total_metrics.time_seconds
        prompt = server.requests[0].prompt_text
        assert "11.222.333/0001-81" in prompt and "JOÃO PEREIRA" in prompt and "987.654.321-00" in prompt
        assert CARIMBO in prompt
        assert any(line.startswith("🔎 OCR: página(s) 2 lida(s) por OCR (") for line in capsys.readouterr().out.splitlines())
        assert sha(mixed) == before

    def test_a_number_read_by_ocr_keeps_its_space_before_the_next_word(self, tmp_path):
        texto = ("CONTRATANTE: MARIA DA SILVA, CPF 123.456.789-01 residente na Rua das Flores, 10,\n"
                 "sócia de ACME COMERCIO DE TESTES LTDA, CNPJ 11.222.333/0001-81 com sede em São Paulo/SP.")
        scan = write_scanned_pdf(tmp_path / "digitalizado.pdf", write_text_pdf(tmp_path / "t.pdf", [texto]))
        doc = read_document(scan)
        assert doc.ocr_pages == (0,)
        assert "CPF 123.456.789-01 residente" in doc.pages[0]
        assert "CNPJ 11.222.333/0001-81 com sede" in doc.pages[0]

    def test_an_invisible_stamp_on_a_scanned_page_is_kept_beside_the_ocr_text(self, tmp_path):
        scan = write_scanned_pdf(tmp_path / "digitalizado.pdf", write_text_pdf(tmp_path / "p2.pdf", [PAGINA_2]))
        carimbada = add_footer(tmp_path / "carimbada.pdf", scan, CARIMBO, invisible=True)
        # The stamp lives in the text layer only: the page looks exactly as the bare scan, so OCR
        # cannot read it back.
        assert render_bytes(carimbada) == render_bytes(scan)
        doc = read_document(carimbada)
        assert doc.ocr_pages == (0,)
        assert CARIMBO in doc.pages[0]
        assert "JOÃO PEREIRA - diretor" in doc.pages[0]

    def test_tesseract_failing_on_a_page_is_a_document_error(self, tmp_path, monkeypatch):
        scan = write_scanned_pdf(tmp_path / "digitalizado.pdf", write_text_pdf(tmp_path / "t.pdf", ["x", PAGINA_2]))
        monkeypatch.setattr(ocr, "OCR_CONFIG", "--psm 99")  # Tesseract refuses it and exits
        with pytest.raises(DocumentError, match=r"^OCR falhou na página 1: .*digitalizado\.pdf$"):
            read_document(scan)


def hide_ocr(how, monkeypatch):
    if how == "sem pytesseract":
        monkeypatch.setitem(sys.modules, "pytesseract", None)
        return {}, "OCR indisponível: o extra ocr não está instalado (falta pytesseract)"
    if how == "sem Pillow":
        monkeypatch.setitem(sys.modules, "PIL", None)
        monkeypatch.setitem(sys.modules, "PIL.Image", None)
        return {}, "OCR indisponível: o extra ocr não está instalado (falta Pillow)"
    if how == "sem tesseract":
        pytesseract = pytest.importorskip("pytesseract")
        monkeypatch.setattr(pytesseract.pytesseract, "tesseract_cmd", "/nao/existe/tesseract")
        return {}, "programa tesseract não encontrado"
    if how == "SCRIVANE_OCR=0":
        monkeypatch.setenv("SCRIVANE_OCR", "0")
        return {}, "OCR desligado por SCRIVANE_OCR=0"
    return {"ocr": False}, "OCR não usado nesta leitura (ocr=False)"


@pytest.mark.parametrize("how", ["sem pytesseract", "sem Pillow", "sem tesseract", "SCRIVANE_OCR=0", "ocr=False"])
class TestWithoutOCR:
    def test_scanned_document_is_a_clear_error(self, tmp_path, how, monkeypatch, server):
        scan = write_scanned_pdf(tmp_path / "digitalizado.pdf", write_text_pdf(tmp_path / "t.pdf", [PAGINA_2]))
        kwargs, reason = hide_ocr(how, monkeypatch)
        with pytest.raises(EmptyDocumentError) as info:
            engine(server, **kwargs).process(scan)
        message = str(info.value)
        assert "digitalizado.pdf" in message and reason in message
        if "OCR indisponível" in reason or "tesseract" in reason:
            assert "pip install 'scrivane-contract[ocr]'" in message and "tesseract-ocr-por" in message
        assert server.requests == []

    def test_text_pages_read_and_the_rest_reported(self, tmp_path, how, monkeypatch, server, capsys, caplog):
        scan = write_scanned_pdf(tmp_path / "s.pdf", write_text_pdf(tmp_path / "t.pdf", [PAGINA_2]))
        mixed = merge_pdfs(tmp_path / "misto.pdf", write_text_pdf(tmp_path / "p1.pdf", [PAGINA_1]), scan)
        kwargs, reason = hide_ocr(how, monkeypatch)
        with caplog.at_level(logging.WARNING, logger="scrivane"):
            run = engine(server, verbose=True, **kwargs).process(mixed)
        assert (run.ocr_pages, run.unread_pages) == ((), (1,))
        assert "11.222.333/0001-81" in server.requests[0].prompt_text
        warned = [r.getMessage() for r in caplog.records if r.name == "scrivane"]
        assert len(warned) == 1 and "misto.pdf: página(s) 2 digitalizada(s) não lida(s)" in warned[0]
        assert reason in warned[0]
        said = [line for line in capsys.readouterr().out.splitlines() if line.startswith("⚠️ Página(s) 2 digitalizada(s) não lida(s): ")]
        assert len(said) == 1 and reason in said[0]


class TestTextLayer:
    def test_words_split_at_line_ends_are_joined(self, tmp_path, server):
        lines = ["A CONTRA-", "TANTE e a contra-", "tada assinam; o guarda-", "-chuva fica; linha com fim-",
                 " de frase."]
        path = write_text_pdf(tmp_path / "hifen.pdf", ["\n".join(lines)])
        (page,) = read_document(path).pages
        assert "\ufffe" not in page
        assert page.split("\n") == ["A CONTRATANTE e a contratada assinam; o guarda-chuva fica; linha com fim-",
                                    " de frase."]
        # the joined word is found by keyword once the document is narrowed
        pages = [("outra página " * 300)] * 6 + ["\n".join(lines)] + [("outra página " * 300)] * 6
        big = write_text_pdf(tmp_path / "longo.pdf", pages)
        e = engine(server, max_context_tokens=4_000)
        e.questions[0].keywords = ["contratante"]
        assert e.process(big).get_result("assinaturas").pages[0:3] == (5, 6, 7)

    def test_signature_stamp_and_form_field_are_read_without_touching_the_file(self, tmp_path, digital):
        stamp = ["Assinado de forma digital por MARIA DA SILVA:12345678900",
                 "Dados: 2024.03.01 10:15:42 -03'00'"]
        path = add_stamp_and_field(tmp_path / "assinado.pdf", digital, stamp, "JOAO PEREIRA")
        before = sha(path)
        doc = read_document(path)
        assert doc.pages[0].strip() == PAGINA_1
        assert doc.pages[1].split("\n")[-3:] == stamp + ["JOAO PEREIRA"]
        assert sha(path) == before

    @pytest.mark.parametrize("user_password", ["segredo", ""])
    def test_password_protected_pdf(self, tmp_path, digital, user_password):
        path = protect(tmp_path / "protegido.pdf", digital, user_password)
        before = sha(path)
        if user_password:
            with pytest.raises(DocumentError, match=r"^PDF protegido por senha: .*protegido\.pdf"):
                read_document(path)
        else:  # only an owner password: readable, as every viewer reads it
            assert [p.strip() for p in read_document(path).pages] == [PAGINA_1, PAGINA_2]
        assert sha(path) == before


def prompt_of(body):
    return "\n".join(m.get("content") or "" for m in body.get("messages", []) if isinstance(m.get("content"), str))


@needs_ocr
def test_scanned_contract_verified_like_its_digital_original(tmp_path, digital, registry, monkeypatch, no_env_keys):
    from scrivane_contract.checker import ContractChecker

    registry.add_company(*empresa_exemplo("11222333000181"))
    # the signature page went through the scanner upside down
    scan = write_scanned_pdf(tmp_path / "digitalizado.pdf", digital, noisy={0, 1}, turned={1: 180}, seed=5)
    # The model "reads" the contract: it gives the right answer only when the prompt holds the facts
    # the answer comes from, and an empty one otherwise.
    facts = ("11.222.333/0001-81", "ACME COMERCIO DE TESTES LTDA", "Av. Paulista, 1000", "MARIA DA SILVA",
             "JOÃO PEREIRA - diretor")
    answers = {
        "TODAS as empresas": {"empresas": [{
            "cnpj": "11.222.333/0001-81", "razao_social": "ACME COMERCIO DE TESTES LTDA", "nome_fantasia": None,
            "endereco": "Av. Paulista, 1000 - Bela Vista, São Paulo/SP, CEP 01310-100",
            "papel_no_contrato": "contratante"}]},
        "TODAS as pessoas": {"assinaturas": [{
            "nome_signatario": "Maria da Silva", "cargo": "Sócia", "cpf": None,
            "empresa_representada": "ACME COMERCIO DE TESTES LTDA", "cnpj_empresa": "11.222.333/0001-81",
            "tipo_assinatura": "manuscrita"}]},
        "dados gerais": {"tipo_contrato": "Prestação de serviços", "objeto": "Limpeza", "data_assinatura": None,
                         "vigencia": "12 meses", "valor": "R$ 1.000,00", "foro": "São Paulo/SP"},
    }
    with OpenAIServer() as llm:
        monkeypatch.setenv("OPENAI_BASE_URL", llm.base_url)
        for marker, answer in answers.items():
            llm.script(lambda body, m=marker: m in prompt_of(body) and all(f in prompt_of(body) for f in facts),
                       Reply.json(answer))
        digital_result, scanned_result = (ContractChecker(openai_api_key="sk-test", verbose=False).verificar(p)
                                          for p in (digital, scan))
    assert digital_result["resultado_final"] == "APROVADO"

    def sem_caixas(registros):
        # Where a value was read differs between the scan and its original only by the boxes and
        # the OCR's line order; each has its evidence on the same page.
        return [{**r, "evidencias": sorted((e["campo"], e["pagina"]) for e in r["evidencias"])} for r in registros]

    for key in ("resultado_final", "justificativa", "campos_aprovados", "campos_reprovados", "campos_pendentes",
                "dados_contrato"):
        assert scanned_result[key] == digital_result[key], key
    for key in ("empresas", "assinaturas"):
        assert sem_caixas(scanned_result[key]) == sem_caixas(digital_result[key]), key
