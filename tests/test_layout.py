"""The page as laid out: words with their boxes, lines, blocks and columns, taken while the reader reads."""

import pickle

import pytest

from pdfs import write_laid_out_pdf, write_text_pdf
from scrivane import read_document
from scrivane.layout import layout_do_documento, ler_layout, palavras_tesseract

ASSINATURAS = [
    (60, 100, "CLÁUSULA DÉCIMA – DO FORO"),
    (60, 116, "Fica eleito o foro da Comarca de Campinas para dirimir as dúvidas deste contrato."),
    (60, 200, "______________________________"),
    (330, 200, "______________________________"),
    (60, 214, "ANA PAULA FERREIRA GOMES"),
    (330, 214, "MARCOS VINICIUS TEIXEIRA"),
    (60, 228, "CPF: 123.456.789-09"),
    (330, 228, "CPF: 987.654.321-00"),
    (60, 242, "Diretora – ALFA SERVIÇOS LTDA"),
    (330, 242, "Sócio – BETA COMÉRCIO LTDA"),
]


def test_two_signature_blocks_side_by_side_are_read_as_two_columns(tmp_path):
    pdf = write_laid_out_pdf(tmp_path / "c.pdf", [ASSINATURAS])
    doc = read_document(pdf)
    # The text stream runs the two blocks into one line; the layout keeps them apart.
    assert "ANA PAULA FERREIRA GOMES MARCOS" in " ".join(doc.pages[0].split())
    (pagina,) = layout_do_documento(doc)
    assert (pagina.numero, pagina.largura, pagina.altura, pagina.ocr) == (1, 595, 842, False)
    textos = [b.texto for b in pagina.blocos]
    assert textos == [
        "CLÁUSULA DÉCIMA – DO FORO\nFica eleito o foro da Comarca de Campinas para dirimir as dúvidas deste contrato.",
        "______________________________\nANA PAULA FERREIRA GOMES\nCPF: 123.456.789-09\nDiretora – ALFA SERVIÇOS LTDA",
        "______________________________\nMARCOS VINICIUS TEIXEIRA\nCPF: 987.654.321-00\nSócio – BETA COMÉRCIO LTDA",
    ]
    assert [b.coluna for b in pagina.blocos] == [0, 0, 1]
    # Each word knows its box, in points from the top-left corner: the baseline lies inside it.
    marcos = next(p for p in pagina.palavras if p.texto == "MARCOS")
    assert 329 <= marcos.x0 < marcos.x1 < 420 and marcos.y0 < 214 < marcos.y1 and marcos.altura < 16
    assert [p.texto for p in pagina.palavras_em(320, 205, 595, 235)] == ["MARCOS", "VINICIUS", "TEIXEIRA", "CPF:",
                                                                         "987.654.321-00"]
    # The layout travels with the document (a reader process hands it over pickled).
    copia = pickle.loads(pickle.dumps(doc))
    assert [b.texto for b in copia.layout[0].blocos] == textos


@pytest.mark.parametrize("linhas", [["CONTRATO DE LOCAÇÃO", "", "Entre as partes abaixo."], []])
def test_every_page_has_its_layout_and_text_files_have_none(tmp_path, linhas):
    pdf = write_text_pdf(tmp_path / "c.pdf", ["\n".join(linhas), "CLÁUSULA PRIMEIRA – DO OBJETO"])
    paginas = ler_layout(pdf)
    assert [p.numero for p in paginas] == [1, 2]
    assert [l.texto for l in paginas[0].linhas] == [l for l in linhas if l]
    assert [l.texto for l in paginas[1].linhas] == ["CLÁUSULA PRIMEIRA – DO OBJETO"]
    texto = tmp_path / "c.txt"
    texto.write_text("CONTRATO\nCLÁUSULA PRIMEIRA", encoding="utf-8")
    assert layout_do_documento(read_document(texto)) == ()


def test_tesseract_word_boxes_are_converted_to_points():
    tsv = ("level\tpage_num\tblock_num\tpar_num\tline_num\tword_num\tleft\ttop\twidth\theight\tconf\ttext\n"
           "1\t1\t0\t0\t0\t0\t0\t0\t2480\t3508\t-1\t\n"
           "5\t1\t1\t1\t1\t1\t250\t400\t500\t50\t96.5\tCONTRATO\n"
           "5\t1\t1\t1\t1\t2\t800\t400\t100\t50\t91.0\t \n")
    (palavra,) = palavras_tesseract(tsv, 300 / 72)
    assert palavra.texto == "CONTRATO"
    assert [round(v, 6) for v in (palavra.x0, palavra.y0, palavra.x1, palavra.y1)] == [60, 96, 180, 108]


HIFENIZADA = [
    (60, 90, "CONTRATANTE: ACME COMERCIO DE TES-"),
    (60, 104, "TES LTDA, inscrita no CNPJ sob o nº 11.222.333/0001-81, neste"),
    (60, 118, "ato representada por MARIA DA SILVA, CPF 529.982.247-25."),
    (60, 132, "a b c – “entre aspas” nº 1º R$ 10,00"),
]


@pytest.mark.parametrize("pagina", [ASSINATURAS, HIFENIZADA], ids=["colunas", "hifenizada"])
def test_words_measured_in_one_call_are_the_words_measured_one_by_one(tmp_path, monkeypatch, pagina):
    """The built module measures each page in one call; the words, their boxes and the line ends
    are the ones the Python measurement gives, to the last bit."""
    from scrivane import layout

    if layout._medir is None:
        pytest.skip("scrivane._palavras não compilado")
    pdf = write_laid_out_pdf(tmp_path / "c.pdf", [pagina, pagina[::-1]])
    uma_chamada = read_document(pdf).layout
    monkeypatch.setattr(layout, "_medir", None)
    uma_a_uma = read_document(pdf).layout
    assert [type(p._montar).__name__ for p in uma_chamada] == ["_MedidasC"] * 2
    for nova, antiga in zip(uma_chamada, uma_a_uma):
        assert nova._montar.montar() == antiga._montar.montar()
        assert nova.palavras_em_ordem()[1:] == antiga.palavras_em_ordem()[1:]
    fins = uma_chamada[0].palavras_em_ordem()[1]
    assert sum(fins) == len({y for _, y, _ in pagina}) and fins[-1]  # one line end per printed row
    assert pickle.loads(pickle.dumps(uma_chamada[1])).palavras == uma_chamada[1].palavras


def _linhas(palavras, fins):
    linhas, linha = [], []
    for p, fim in zip(palavras, fins):
        linha.append(p.texto)
        if fim:
            linhas.append(" ".join(linha))
            linha = []
    return linhas


def test_words_come_in_the_texts_order_until_the_page_is_grouped(tmp_path):
    """Grounding reads a page's words in the order of its text (the reader's own) with the text's line
    ends; once the page has been grouped into blocks (its text was read from them), in the blocks' order."""
    (pagina,) = read_document(write_laid_out_pdf(tmp_path / "c.pdf", [ASSINATURAS])).layout
    palavras, fins, do_texto = pagina.palavras_em_ordem()
    assert do_texto and _linhas(palavras, fins)[3] == "ANA PAULA FERREIRA GOMES MARCOS VINICIUS TEIXEIRA"
    pagina.blocos
    palavras, fins, do_texto = pagina.palavras_em_ordem()
    assert not do_texto and _linhas(palavras, fins)[3:5] == ["ANA PAULA FERREIRA GOMES", "CPF: 123.456.789-09"]
