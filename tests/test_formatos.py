"""The files people have: photos, scans and Word files of a contract read as its PDF is.

The demo's approved contract, as its PDF, as a phone photo (JPEG, turned by its EXIF orientation and
slightly skewed), as a multi-page TIFF scan and as a DOCX made from the example's text (header,
paragraphs, the signature block in a table), verified offline with the local provider against the
examples' registry: the same verdict for each.  Any other file is refused naming what is accepted.
"""

from __future__ import annotations

import json
import sys
from pathlib import Path

import pytest

from scrivane import ocr as _ocr
from scrivane.document import DocumentError, EmptyDocumentError, ocr_progress, read_document
from scrivane_contract.cli import main

RAIZ = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(RAIZ / "tools"))

import gerar_exemplos  # noqa: E402

precisa_ocr = pytest.mark.skipif(_ocr.unavailable_reason() is not None,
                                 reason=f"OCR indisponível: {_ocr.unavailable_reason()}")


def rodar(capsys, *args):
    codigo = main([str(a) for a in args])
    saida = capsys.readouterr()
    return codigo, saida.out, saida.err


@pytest.fixture(scope="module")
def exemplo(tmp_path_factory):
    """The approved example as PDF, JPEG, TIFF and DOCX, and the examples' registry database."""
    pasta = tmp_path_factory.mktemp("formatos")
    gerar_exemplos.gerar(pasta)
    pdf = pasta / "contrato_aprovado.pdf"
    import docx
    import pypdfium2 as pdfium
    from PIL import Image

    documento = pdfium.PdfDocument(str(pdf))
    paginas = [documento[i].render(scale=200 / 72, grayscale=True).to_pil() for i in range(len(documento))]
    documento.close()
    # A photo of both pages laid one under the other, a little askew, stored sideways with the
    # EXIF orientation that turns it upright (as phones do).
    largura, altura = max(p.width for p in paginas), sum(p.height for p in paginas)
    foto = Image.new("L", (largura, altura), 255)
    y = 0
    for p in paginas:
        foto.paste(p, (0, y))
        y += p.height
    foto = foto.rotate(1.5, expand=True, fillcolor=235).transpose(Image.Transpose.ROTATE_90)
    exif = Image.Exif()
    exif[0x0112] = 6  # rotate 90° clockwise to display
    foto.convert("RGB").save(pasta / "foto.jpg", quality=80, exif=exif)
    # A scan: one TIFF page per page.
    paginas[0].save(pasta / "digitalizado.tiff", save_all=True, append_images=paginas[1:], compression="tiff_lzw")
    # The Word file the PDF was printed from.
    contrato = gerar_exemplos.APROVADO
    word = docx.Document()
    word.sections[0].header.paragraphs[0].text = contrato["cabecalho"]
    word.add_paragraph(contrato["titulo"])
    corpo = contrato["corpo"]
    fim = corpo.index("Testemunhas:") - 9  # the two companies' signature lines
    for paragrafo in corpo[:fim]:
        word.add_paragraph(paragrafo)
    tabela = word.add_table(rows=1, cols=2)
    assinaturas = [linha for linha in corpo[fim:fim + 9]]
    for celula, bloco in zip(tabela.rows[0].cells, (assinaturas[:4], assinaturas[5:9])):
        celula.paragraphs[0].text = bloco[0]
        for linha in bloco[1:]:
            celula.add_paragraph(linha)
    for paragrafo in corpo[fim + 9:]:
        word.add_paragraph(paragrafo)
    word.save(pasta / "contrato.docx")
    banco = pasta / "registro.sqlite3"
    assert main(["registro", "importar", "--jsonl", str(pasta / "registro.jsonl"), "--banco", str(banco)]) == 0
    return {"pasta": pasta, "pdf": pdf, "jpeg": pasta / "foto.jpg", "tiff": pasta / "digitalizado.tiff",
            "docx": pasta / "contrato.docx", "registro": f"sqlite:{banco}"}


def verificar(capsys, exemplo, *arquivos, extra=()):
    codigo, out, err = rodar(capsys, "verificar", "--provedor", "local", "--offline", "--json", "--paralelo", "2",
                             "--registro", exemplo["registro"], *extra, *arquivos)
    return codigo, [json.loads(linha) for linha in out.splitlines()], err


def test_a_docx_of_the_approved_contract_reads_as_its_pdf(exemplo, capsys):
    texto = read_document(exemplo["docx"]).text
    # Body, the table's cells, and the header.
    assert "Nome: Henrique Lund Carvalho" in texto and "Contrato nº 2025/014" in texto
    assert texto.index("LUMINA VAREJO DE ELETRODOMÉSTICOS LTDA\nNome: Renata") < texto.index("Testemunhas:")
    codigo, objetos, err = verificar(capsys, exemplo, exemplo["pdf"], exemplo["docx"])
    pdf, word = objetos
    assert pdf["resultado"]["resultado_final"] == "APROVADO", err
    assert word["resultado"]["resultado_final"] == "APROVADO", word
    assert [e["cnpj"] for e in word["resultado"]["empresas"]] == [e["cnpj"] for e in pdf["resultado"]["empresas"]]
    # Only a PDF carries digital signatures: the record says so instead of "none found".
    assert word["assinaturas_digitais"]["resumo"] == \
        "Sem assinaturas digitais: só um PDF as tem, e este arquivo é DOCX."
    assert pdf["assinaturas_digitais"].get("formato") is None


@precisa_ocr
def test_a_photo_and_a_scan_of_the_approved_contract_get_its_verdict_with_progress_per_page(exemplo, capsys):
    lidas = []
    with ocr_progress(lambda feitas, total: lidas.append((feitas, total))):
        assert "HENRIQUE LUND CARVALHO" in read_document(exemplo["tiff"]).text
    assert lidas == [(1, 2), (2, 2)]
    codigo, objetos, err = verificar(capsys, exemplo, exemplo["jpeg"], exemplo["tiff"])
    assert [o["resultado"]["resultado_final"] for o in objetos] == ["APROVADO", "APROVADO"], (err, objetos)
    assert codigo == 0
    # Not a terminal: one line per page read, on standard error.
    linhas = [linha for linha in err.splitlines() if linha.startswith("OCR: ")]
    assert sorted(linhas) == sorted([f"OCR: página 1 de 1 lida ({exemplo['jpeg']})",
                                     f"OCR: página 1 de 2 lida ({exemplo['tiff']})",
                                     f"OCR: página 2 de 2 lida ({exemplo['tiff']})"])
    assert {o["assinaturas_digitais"]["formato"] for o in objetos} == {"JPEG", "TIFF"}
    # An iPhone's HEIC, read through Pillow's HEIF plugin, whatever its name says.
    import pillow_heif
    from PIL import Image

    pillow_heif.register_heif_opener()
    heic = exemplo["pasta"] / "foto-do-iphone.jpg"
    with Image.open(exemplo["tiff"]) as pagina:
        pagina.convert("RGB").save(heic, format="HEIF", quality=90)
    assert heic.read_bytes()[4:12] == b"ftypheic"
    assert "LUMINA VAREJO DE ELETRODOMÉSTICOS LTDA" in read_document(heic).text


@precisa_ocr
def test_a_folder_batch_takes_pdfs_word_files_and_images_and_the_report_names_the_format(exemplo, capsys,
                                                                                         tmp_path):
    pasta = tmp_path / "lote"
    pasta.mkdir()
    for chave in ("pdf", "docx", "jpeg"):
        (pasta / exemplo[chave].name).write_bytes(exemplo[chave].read_bytes())
    (pasta / "notas.txt").write_text("não é contrato", encoding="utf-8")
    (pasta / "~$contrato.docx").write_bytes(b"lock")
    codigo, out, err = rodar(capsys, "verificar", "--provedor", "local", "--offline", "--registro",
                             exemplo["registro"], "--relatorios", pasta)
    assert codigo == 0, err
    assert out.count("RESULTADO FINAL: APROVADO") == 3
    assert "Sem assinaturas digitais: só um PDF as tem, e este arquivo é JPEG." in out
    assert "notas.txt" not in out and "~$" not in out


def test_other_files_are_refused_naming_what_is_accepted(tmp_path, capsys, monkeypatch):
    gif = tmp_path / "contrato.gif"
    gif.write_bytes(b"GIF89a" + b"\0" * 100)
    zipado = tmp_path / "contrato.docx"
    import zipfile

    with zipfile.ZipFile(zipado, "w") as z:
        z.writestr("planilha.xml", "<x/>")
    for arquivo, trecho in ((gif, "formato não suportado"), (zipado, "não é documento do Word")):
        with pytest.raises(DocumentError) as erro:
            read_document(arquivo)
        assert trecho in str(erro.value) and "PDF, DOCX, imagem (JPEG, PNG, TIFF ou HEIC)" in str(erro.value)
    codigo, out, err = rodar(capsys, "verificar", "--provedor", "local", "--offline", gif)
    assert codigo == 4 and "formato não suportado" in err
    # With OCR turned off, a photo says why it has no text, and how to turn OCR on is not in doubt.
    monkeypatch.setenv("SCRIVANE_OCR", "0")
    from PIL import Image

    Image.new("L", (50, 50), 255).save(tmp_path / "foto.png")
    with pytest.raises(EmptyDocumentError, match="só é lido por OCR, e o OCR está desligado"):
        read_document(tmp_path / "foto.png")
    # A folder with no contract at all.
    vazia = tmp_path / "vazia"
    vazia.mkdir()
    codigo, out, err = rodar(capsys, "verificar", "--provedor", "local", vazia)
    assert codigo == 3 and "Nenhum contrato encontrado na pasta" in err


def test_the_page_takes_a_word_file_and_says_it_has_no_digital_signatures(exemplo):
    import time

    from fastapi.testclient import TestClient

    from scrivane_contract.checker import ContractChecker
    from scrivane_contract.registro import usar_registro
    from scrivane_contract.web import criar_app

    app = criar_app(lambda: ContractChecker(provider="local", verbose=False).verificar, token=None)
    tipo = "application/vnd.openxmlformats-officedocument.wordprocessingml.document"
    with usar_registro(exemplo["registro"], online=None), TestClient(app) as cliente:
        r = cliente.post("/api/verificacoes", files={"arquivo": ("Contrato Lumina.docx",
                                                                 exemplo["docx"].read_bytes(), tipo)})
        assert r.status_code == 202, r.text
        fim = time.monotonic() + 120
        while (estado := cliente.get(r.headers["Location"]).json())["estado"] not in ("concluida", "falhou"):
            assert time.monotonic() < fim, estado
            time.sleep(0.05)
        assert estado["resultado"]["resultado_final"] == "APROVADO", estado
        html = cliente.get(f"{r.headers['Location']}/relatorio").text
        assert "só um PDF as tem, e este arquivo é DOCX" in html


@precisa_ocr
def test_the_page_shows_the_pages_read_by_ocr_while_the_verification_runs(exemplo):
    import threading
    import time

    from fastapi.testclient import TestClient

    from scrivane_contract.web import criar_app

    lido, seguir = threading.Event(), threading.Event()

    def verificar(caminho):
        # The reading the engine does, then a pause in which the page is asked how far it went.
        read_document(caminho)
        lido.set()
        assert seguir.wait(60), "the test never let the verification finish"
        return None

    app = criar_app(lambda: verificar, token=None, conferir_assinaturas=False)
    with TestClient(app) as cliente:
        r = cliente.post("/api/verificacoes", files={"arquivo": ("scan.tiff", exemplo["tiff"].read_bytes(),
                                                                 "image/tiff")})
        assert r.status_code == 202, r.text
        assert lido.wait(120)
        estado = cliente.get(r.headers["Location"]).json()
        seguir.set()
        assert (estado["estado"], estado["ocr"]) == ("em_andamento", {"paginas_lidas": 2, "paginas": 2})
        fim = time.monotonic() + 60
        while (estado := cliente.get(r.headers["Location"]).json())["estado"] == "em_andamento":
            assert time.monotonic() < fim
            time.sleep(0.05)
        assert "ocr" not in estado


def _png_declarando(largura: int, altura: int) -> bytes:
    """A PNG whose header declares the given size (its data would never fill it)."""
    import struct
    import zlib

    def bloco(tipo: bytes, dados: bytes) -> bytes:
        return struct.pack(">I", len(dados)) + tipo + dados + struct.pack(">I", zlib.crc32(tipo + dados))

    return (b"\x89PNG\r\n\x1a\n" + bloco(b"IHDR", struct.pack(">IIBBBBB", largura, altura, 8, 0, 0, 0, 0))
            + bloco(b"IDAT", zlib.compress(b"\0" * 64)) + bloco(b"IEND", b""))


def test_images_keep_the_reading_limits_of_pdfs(exemplo, tmp_path):
    from scrivane.document import DocumentLimitError

    enorme = tmp_path / "enorme.png"
    enorme.write_bytes(_png_declarando(200_000, 200_000))
    with pytest.raises(DocumentLimitError, match="imagem grande demais"):
        read_document(enorme)
    with pytest.raises(DocumentLimitError, match="imagem com 2 páginas; limite 1"):
        read_document(exemplo["tiff"], max_pages=1)
    quebrada = tmp_path / "quebrada.jpg"
    quebrada.write_bytes(b"\xff\xd8\xff\xe0" + b"\0" * 50)
    with pytest.raises(DocumentError, match="imagem JPEG ilegível"):
        read_document(quebrada)
