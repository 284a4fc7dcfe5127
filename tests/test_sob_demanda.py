"""A verification loads only what it uses, and answers as it did when it loaded everything.

- the look at a PDF's structure that spares pyHanko: "no signature" only for a
  file that certainly has none (signed files, signatures hidden in object
  streams or behind name escapes, files it cannot parse all go to the full check);
- the same signature section, with or without that look, on the example contracts;
- the SQLite history written without SQLAlchemy holds the same rows as ``Historico``'s;
- a local, signature-less verification from the command line (history on,
  reader isolated) imports neither the model SDK, pyHanko, SQLAlchemy, the web
  stack, PIL, requests, rich nor pdfium (the isolated reader reads);
- the note "o documento não parece um contrato" takes the engine's own reading of
  the file, and reads it again when the file is no longer the one read;
- the signature section written without rich is rich's own text, and rich writes it
  wherever it would write something else;
- the program's garbage collector, held back while the modules load, runs again.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import zlib
from pathlib import Path

import pytest
from signed_pdfs import AutoridadeTeste, assinar, campo_de_assinatura, pdf_texto

from scrivane.signature_scan import may_be_signed
from scrivane_contract.assinaturas_digitais import verificar_assinaturas_digitais
from scrivane_contract.historico import Historico
from scrivane_contract.historico import sqlite as historico_sqlite
from scrivane_contract.verificacao import Verificacao, verificar_arquivo

RAIZ = Path(__file__).resolve().parent.parent
EXEMPLOS = sorted((RAIZ / "exemplos").glob("contrato_*.pdf"))
PESADOS = ("openai", "pyhanko", "pyhanko_certvalidator", "sqlalchemy", "fastapi", "starlette", "uvicorn", "PIL",
           "pytesseract", "urllib3", "charset_normalizer", "jinja2", "rich", "pypdfium2")
# What makes rich style its output or choose its width (the CLI's plain writing steps aside for them).
VARIAVEIS_RICH = ("FORCE_COLOR", "TTY_COMPATIBLE", "COLUMNS", "JUPYTER_COLUMNS")


def _pdf_com_objstm(objetos: bytes, *, filtro: bytes = b"/Filter /FlateDecode", comprimir=zlib.compress,
                    trailer_extra: bytes = b"", startxref_certo: bool = True) -> bytes:
    """A PDF whose form field (object 5) lives in an object stream."""
    corpo = [b"1 0 obj\n<< /Type /Catalog /Pages 2 0 R /AcroForm << /Fields [5 0 R] >> >>\nendobj\n",
             b"2 0 obj\n<< /Type /Pages /Kids [3 0 R] /Count 1 >>\nendobj\n",
             b"3 0 obj\n<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] >>\nendobj\n"]
    cabeca = b"5 0 "
    dados = comprimir(cabeca + objetos)
    corpo.append(b"4 0 obj\n<< /Type /ObjStm /N 1 /First %d %s /Length %d >>\nstream\n"
                 % (len(cabeca), filtro, len(dados)) + dados + b"\nendstream\nendobj\n")
    saida = b"%PDF-1.7\n"
    for parte in corpo:
        saida += parte
    xref = len(saida)
    saida += b"xref\n0 5\n0000000000 65535 f \n" + b"".join(b"0000000000 00000 n \n" for _ in range(4))
    saida += b"trailer\n<< /Size 6 /Root 1 0 R " + trailer_extra + b">>\n"
    return saida + b"startxref\n%d\n%%%%EOF\n" % (xref if startxref_certo else xref + 7)


@pytest.fixture(scope="module")
def assinado():
    ca = AutoridadeTeste()
    return assinar(pdf_texto("CONTRATO assinado digitalmente"), ca.pessoa("MARIA DA SILVA", "52998224725"),
                   "Assinatura1")


@pytest.mark.parametrize("caso, esperado", [
    ("texto", False),
    ("assinado", True),
    ("campo vazio", True),
    ("objstm sem campo de assinatura", False),
    ("objstm com campo de assinatura", True),
    ("objstm com nome escapado", True),
    ("objstm com filtro encadeado", True),
    ("objstm ilegível", True),
    ("objstm num arquivo cifrado", True),
    ("nome escapado fora de objstm", True),
    ("startxref errado", True),
    ("sem cabeçalho", True),
])
def test_the_structure_scan_says_no_signature_only_when_certain(caso, esperado, assinado):
    campo_texto = b"<< /FT /Tx /T (Nome) /V (Maria) >>"
    campo_sig = b"<< /FT /Sig /T (Assinatura1) >>"
    pdf = {
        "texto": lambda: pdf_texto("CONTRATO sem assinatura digital"),
        "assinado": lambda: assinado,
        "campo vazio": lambda: campo_de_assinatura(pdf_texto("CONTRATO"), "Assinatura1", (50, 50, 250, 100)),
        "objstm sem campo de assinatura": lambda: _pdf_com_objstm(campo_texto),
        "objstm com campo de assinatura": lambda: _pdf_com_objstm(campo_sig),
        "objstm com nome escapado": lambda: _pdf_com_objstm(b"<< /FT /S#69g /T (Assinatura1) >>"),
        "objstm com filtro encadeado": lambda: _pdf_com_objstm(
            campo_sig, filtro=b"/Filter [/ASCIIHexDecode /FlateDecode]",
            comprimir=lambda b: zlib.compress(b).hex().encode() + b">"),
        "objstm ilegível": lambda: _pdf_com_objstm(campo_texto, comprimir=lambda b: b"\x00" * 40),
        "objstm num arquivo cifrado": lambda: _pdf_com_objstm(campo_texto, trailer_extra=b"/Encrypt 9 0 R "),
        "nome escapado fora de objstm": lambda: pdf_texto("CONTRATO").replace(
            b"/Type /Catalog", b"/Type /Catalog /AcroForm << /Fields [<< /F#54 /S#69g >>] >>"),
        "startxref errado": lambda: _pdf_com_objstm(campo_texto, startxref_certo=False),
        "sem cabeçalho": lambda: b"%XYZ" + pdf_texto("CONTRATO")[4:],
    }[caso]()
    assert may_be_signed(pdf) is esperado
    if caso == "objstm sem campo de assinatura":  # the scan did read inside the object stream
        assert may_be_signed(pdf.replace(b"/FlateDecode", b"/LZWDecode")) is True


@pytest.mark.parametrize("contrato", EXEMPLOS, ids=lambda p: p.name)
def test_the_signature_section_is_the_full_checks_own(contrato, assinado, tmp_path):
    resultado = {"resultado_final": "APROVADO", "empresas": [], "assinaturas": []}
    opcoes = {"raizes": None, "verificar_revogacao": False}
    rapida = verificar_arquivo(contrato, lambda _c: resultado, assinaturas=opcoes)
    assert rapida.assinaturas_digitais == verificar_assinaturas_digitais(contrato, resultado)
    assert rapida.assinaturas_digitais["resumo"] == "nenhuma assinatura digital no documento"
    # A signed file still gets the full check (its signature is there, judged).
    caminho = tmp_path / "assinado.pdf"
    caminho.write_bytes(assinado)
    digitais = verificar_arquivo(caminho, lambda _c: resultado, assinaturas=opcoes).assinaturas_digitais
    assert digitais["total"] == 1 and digitais["erro"] is None
    assert digitais == verificar_assinaturas_digitais(caminho, resultado)


def _linhas(url: str) -> dict[str, list[tuple]]:
    import sqlite3

    with sqlite3.connect(url) as con:
        return {t: sorted(con.execute(f"SELECT * FROM {t}").fetchall(), key=repr)
                for t in ("verificacoes", "empresas", "signatarios")}


def test_the_sqlite_history_without_sqlalchemy_stores_what_historico_stores(tmp_path):
    empresa = {"cnpj": "11.222.333/0001-81", "cnpj_encontrado": True, "razao_social_receita": "ACME LTDA",
               "razao_social_contrato": "Acme Ltda", "socios": [{"nome": "MARIA DA SILVA", "qualificacao": "Sócia"}],
               "campos": [{"campo": "Situação Cadastral", "valor_receita": "ATIVA"},
                          {"campo": "Endereço", "valor_receita": "AV PAULISTA 1000"}]}
    v = Verificacao(arquivo="pasta/contrato.pdf", sha256="ab" * 32, provedor="local", veredito="APROVADO",
                    resultado={"resultado_final": "APROVADO", "empresas": [empresa],
                               "assinaturas": [{"nome_signatario": "Maria da Silva",
                                                "cnpj_empresa": "11.222.333/0001-81"}]},
                    segundos=0.25, id="abc123")
    completo, leve = tmp_path / "completo.sqlite3", tmp_path / "leve.sqlite3"
    assert historico_sqlite.abrir(str(leve)) is None  # a history still to create is Historico's
    for caminho in (completo, leve):
        Historico(str(caminho)).fechar()
    Historico(str(completo)).guardar(v)
    aberto = historico_sqlite.abrir(str(leve))
    assert aberto is not None and aberto.anteriores(v.sha256) == []
    aberto.guardar(v)
    aberto.guardar(v)  # the same id again replaces, as Historico's does
    aberto.fechar()
    assert _linhas(str(leve)) == _linhas(str(completo))
    assert len(_linhas(str(leve))["signatarios"]) == 1
    # Read back through Historico, and the other way round.
    h = Historico(str(leve))
    assert h.obter("abc123") == Verificacao.de_json(v.como_json())
    assert h.anteriores(v.sha256) == historico_sqlite.abrir(str(completo)).anteriores(v.sha256)
    # A schema of another version is left to Historico (which migrates or refuses).
    import sqlite3

    with sqlite3.connect(leve) as con:
        con.execute("UPDATE esquema_versao SET versao = versao + 1")
    assert historico_sqlite.abrir(str(leve)) is None


def test_a_local_signature_less_verification_loads_nothing_heavy(tmp_path):
    banco = tmp_path / "registro.db"
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("SCRIVANE_", "OPENAI", "AZURE")) and k not in VARIAVEIS_RICH}
    env.update(SCRIVANE_HISTORICO=str(tmp_path / "historico.sqlite3"), XDG_CACHE_HOME=str(tmp_path / "cache"),
               NO_PROXY="127.0.0.1,localhost")
    subprocess.run([sys.executable, "-m", "scrivane_contract", "registro", "importar", "--jsonl",
                    str(RAIZ / "exemplos" / "registro.jsonl"), "--banco", str(banco)],
                   env=env, check=True, capture_output=True)
    argumentos = ["verificar", "--provedor", "local", "--registro", f"sqlite:{banco}", "--offline",
                  str(RAIZ / "exemplos" / "contrato_aprovado.pdf")]
    # The first run creates the history; the second finds it current.
    primeira = subprocess.run([sys.executable, "-m", "scrivane_contract", *argumentos], env=env,
                              capture_output=True, text=True)
    assert primeira.returncode == 0, primeira.stderr
    codigo = (
        "import json, sys\n"
        "from scrivane_contract.cli import main\n"
        f"codigo = main({argumentos!r})\n"
        f"print(json.dumps([codigo, sorted(m for m in {PESADOS!r} if m in sys.modules)]))\n"
    )
    r = subprocess.run([sys.executable, "-c", codigo], env=env, capture_output=True, text=True)
    assert r.returncode == 0, r.stderr
    codigo_saida, carregados = json.loads(r.stdout.splitlines()[-1])
    assert codigo_saida == 0 and "RESULTADO FINAL: APROVADO" in r.stdout
    assert "Nenhuma assinatura digital no documento" in r.stdout
    assert "já foi verificado" in r.stderr  # the history was read and written
    assert carregados == []


CONTRATO = ("CONTRATO DE PRESTAÇÃO DE SERVIÇOS\nCláusula primeira - do objeto: as partes contratante e contratada "
            "celebram o presente contrato.\nCláusula segunda - da vigência e do foro.")
NOTA = ("NOTA FISCAL DE SERVIÇOS ELETRÔNICA - NFS-e\nNúmero da Nota: 00004512\nPRESTADOR DE SERVIÇOS\n"
        "Razão Social: ACME SERVIÇOS LTDA\nVALOR TOTAL DO SERVIÇO = R$ 4.850,00")


@pytest.mark.parametrize("lido, depois, aviso, releituras", [
    ("contrato", None, None, 0),
    ("nota", None, "o documento não parece um contrato", 0),
    ("contrato", "nota", "o documento não parece um contrato", 1),  # replaced after the engine read it
    ("nota", "contrato", None, 1),
])
def test_the_not_a_contract_note_reads_the_file_again_only_when_it_changed(lido, depois, aviso, releituras,
                                                                           tmp_path, monkeypatch):
    from pdfs import write_text_pdf

    import scrivane.document
    from scrivane import Question, QuestionConfig, Scrivane
    from scrivane_contract.models import ExtracaoEmpresas

    textos = {"contrato": CONTRATO, "nota": NOTA}
    caminho = write_text_pdf(tmp_path / "documento.pdf", [textos[lido]])
    motor = Scrivane(provider="local")
    motor.add_question(Question(config=QuestionConfig(id="empresas", name="Empresas", tag="empresas"),
                                system_prompt="", user_prompt="{texto}", response_model=ExtracaoEmpresas))

    def verificar(c):
        motor.process(c)
        if depois is not None:  # another file where the read one was
            os.replace(write_text_pdf(tmp_path / "outro.pdf", [textos[depois]]), caminho)
        return {"resultado_final": "PENDENTE", "empresas": [], "assinaturas": [], "metricas": {}}

    lidos = []
    ler = scrivane.document.read_document
    monkeypatch.setattr(scrivane.document, "read_document",
                        lambda *a, **k: lidos.append(k.get("ocr")) or ler(*a, **k))
    v = verificar_arquivo(caminho, verificar)
    assert v.erro is None and v.aviso == aviso
    assert lidos.count(False) == releituras  # the note's own reading, without OCR


SEM_ASSINATURAS = {"total": 0, "validas": True, "invalidas": 0, "resumo": "nenhuma assinatura digital no documento",
                   "alertas": [], "avisos": [], "assinaturas": [], "erro": None}


@pytest.mark.parametrize("ambiente", [{}, {"COLUMNS": "40"}, {"FORCE_COLOR": "1"}, {"TTY_COMPATIBLE": "1"}],
                         ids=lambda a: ",".join(a) or "arquivo")
def test_the_plain_signature_section_is_rich_s_own_text(ambiente, monkeypatch, capsys):
    import io

    from rich.console import Console

    from scrivane_contract import apresentacao

    for nome in VARIAVEIS_RICH:
        monkeypatch.delenv(nome, raising=False)
    for nome, valor in ambiente.items():
        monkeypatch.setenv(nome, valor)
    v = Verificacao(arquivo="contrato.pdf", resultado={"resultado_final": "APROVADO"}, veredito="APROVADO",
                    assinaturas_digitais=SEM_ASSINATURAS)
    apresentacao.imprimir_assinaturas(v)
    escrito = capsys.readouterr().out
    # What rich writes to this output, in this environment, as console_saida() sets it up.
    esperado = io.StringIO()
    largura = None if ambiente.get("COLUMNS") else 120
    apresentacao.imprimir_secao(SEM_ASSINATURAS, Console(highlight=False, width=largura, file=esperado))
    assert escrito == esperado.getvalue()
    assert (escrito == apresentacao.SECAO_SEM_ASSINATURAS) is (not ambiente)
    assert "Nenhuma assinatura digital no documento" in escrito


@pytest.mark.parametrize("argumentos", [
    ["verificar", "--provedor", "local", "--registro", "local", "--offline", "--sem-historico"],
    ["classificar"],
], ids=lambda a: a[0])
def test_the_collector_held_back_at_start_runs_again(argumentos, tmp_path):
    banco = tmp_path / "registro.db"
    env = {k: v for k, v in os.environ.items() if not k.startswith(("SCRIVANE_", "OPENAI", "AZURE"))}
    env.update(SCRIVANE_BANCO_REGISTRO=str(banco), XDG_CACHE_HOME=str(tmp_path / "cache"))
    subprocess.run([sys.executable, "-m", "scrivane_contract", "registro", "importar", "--jsonl",
                    str(RAIZ / "exemplos" / "registro.jsonl")], env=env, check=True, capture_output=True)
    codigo = (
        "import atexit, gc, sys\n"
        "atexit.register(lambda: print('coletor', gc.isenabled(), gc.get_freeze_count() > 0))\n"
        f"sys.argv = ['scrivane-contract', *{argumentos!r}, {str(EXEMPLOS[0])!r}]\n"
        "from scrivane_contract.cli import principal\n"
        "principal()\n"
    )
    r = subprocess.run([sys.executable, "-c", codigo], env=env, capture_output=True, text=True)
    assert r.returncode in (0, 2), r.stderr
    assert r.stdout.splitlines()[-1] == "coletor True True"
