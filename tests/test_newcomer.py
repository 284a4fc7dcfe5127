"""What a newcomer meets in the first hour: ordinary files imported whatever their encoding,
reading failures in Portuguese naming the uploaded file, a non-contract said to be one, the
report read the Brazilian way, and the small command-line answers that point to the fix."""

from __future__ import annotations

import json
import socket
import time
from pathlib import Path

import pikepdf
import pytest
from fastapi.testclient import TestClient
from pdfs import write_text_pdf
from registro_helpers import comando, porta_livre
from registry_server import empresa_exemplo

from scrivane_contract.checker import ContractChecker
from scrivane_contract.cli import main
from scrivane_contract.registro.consulta import RegistroLocal
from scrivane_contract.web import criar_app, pagina_relatorio

RAZAO = "CONFECÇÕES SÃO JOÃO LTDA"
FANTASIA = "Águia “Ouro” – Fábrica"  # curly quotes and the dash exist in cp1252, not in Latin-1


@pytest.fixture(autouse=True)
def _disjuntor_limpo():
    """The failures these offline runs meet must not make later tests' reports say "sem acesso"."""
    yield
    from scrivane_contract.registro.consultas import DISJUNTOR

    DISJUNTOR.reiniciar()


def rodar(capsys, *args):
    codigo = main(list(args))
    saida = capsys.readouterr()
    return codigo, saida.out, saida.err


# -- registry import of ordinary files --------------------------------------------------------


def _registro(cnpj="11222333000181", razao=RAZAO, fantasia="CONFECCOES SAO JOAO"):
    _, brasil, _ = empresa_exemplo(cnpj, razao)
    brasil["nome_fantasia"] = fantasia
    return brasil


@pytest.mark.parametrize("codificacao, bom, fantasia", [
    ("utf-8", b"", FANTASIA),
    ("utf-8", b"\xef\xbb\xbf", FANTASIA),  # Notepad's and Excel's "UTF-8 com BOM"
    ("latin-1", b"", "Águia Ouro Fábrica"),
    ("cp1252", b"", FANTASIA),  # Excel's "CSV/Texto" on Windows in Brazil
    ("utf-16", b"", FANTASIA),  # Excel's "Texto Unicode" (the codec writes the BOM)
])
def test_jsonl_import_reads_the_file_in_the_encoding_it_was_saved(tmp_path, capsys, codificacao, bom, fantasia):
    registros = [_registro(fantasia=fantasia), _registro("45997418000153", "PÃES & CIA LTDA", "Padaria Pão")]
    texto = "\r\n".join(json.dumps(r, ensure_ascii=False) for r in registros) + "\r\n"
    arquivo = tmp_path / "lista.jsonl"
    arquivo.write_bytes(bom + texto.encode(codificacao))
    banco = tmp_path / "registro.sqlite3"
    codigo, out, err = rodar(capsys, "registro", "importar", "--jsonl", str(arquivo), "--banco", str(banco))
    assert (codigo, err) == (0, "") and "Traceback" not in out
    assert "Linhas ignoradas: 0" in out and "extras" in out
    registro = RegistroLocal(banco)
    primeiro = registro.brasilapi("11222333000181")
    assert (primeiro["razao_social"], primeiro["nome_fantasia"]) == (RAZAO, fantasia)
    assert registro.brasilapi("45997418000153")["razao_social"] == "PÃES & CIA LTDA"


def test_a_json_string_may_hold_a_line_separator(tmp_path, capsys):
    arquivo = tmp_path / "lista.jsonl"
    arquivo.write_text(json.dumps(_registro(fantasia="A\u2028B\x85C"), ensure_ascii=False) + "\n", encoding="utf-8")
    banco = tmp_path / "registro.sqlite3"
    codigo, out, _ = rodar(capsys, "registro", "importar", "--jsonl", str(arquivo), "--banco", str(banco))
    assert codigo == 0 and "Linhas ignoradas: 0" in out
    assert RegistroLocal(banco).brasilapi("11222333000181")["nome_fantasia"] == "A\u2028B\x85C"


# -- reading failures, in Portuguese, naming the file -----------------------------------------


@pytest.fixture
def sem_rede(monkeypatch):
    for nome in ("OPENAI_API_KEY", "AZURE_API_KEY", "SCRIVANE_API_TOKEN", "SCRIVANE_PROVEDOR", "SCRIVANE_PROVIDER",
                 "SCRIVANE_REGISTRO"):
        monkeypatch.delenv(nome, raising=False)
    # A lookup that tried a public host would fail at once.
    monkeypatch.setenv("HTTPS_PROXY", "http://127.0.0.1:9")
    monkeypatch.setenv("HTTP_PROXY", "http://127.0.0.1:9")


def _protegido(tmp_path):
    aberto = write_text_pdf(tmp_path / "aberto.pdf", ["CONTRATO DE PRESTAÇÃO DE SERVIÇOS"])
    with pikepdf.open(aberto) as pdf:
        pdf.save(tmp_path / "protegido.pdf", encryption=pikepdf.Encryption(user="segredo", owner="dono"))
    return (tmp_path / "protegido.pdf").read_bytes()


CORROMPIDO = b"%PDF-1.7\n% um PDF cortado no meio do envio\n1 0 obj << /Type /Cat"


def _aguardar(cliente, ident):
    fim = time.monotonic() + 60
    while time.monotonic() < fim:
        estado = cliente.get(f"/api/verificacoes/{ident}").json()
        if estado["estado"] in ("concluida", "falhou"):
            return estado
        time.sleep(0.02)
    raise AssertionError(estado)


def test_the_page_names_the_uploaded_file_and_says_what_is_wrong_in_portuguese(sem_rede, tmp_path):
    app = criar_app(lambda: ContractChecker(provider="local", verbose=False).verificar, token=None,
                    conferir_assinaturas=False)
    casos = [
        ("Contrato Março.pdf", CORROMPIDO, "Contrato Março.pdf: o arquivo não é um PDF válido ou está corrompido"),
        ("assinado.pdf", _protegido(tmp_path), "assinado.pdf: o arquivo está protegido por senha"),
    ]
    with TestClient(app) as cliente:
        for nome, conteudo, esperado in casos:
            r = cliente.post("/api/verificacoes", files={"arquivo": (nome, conteudo, "application/pdf")})
            estado = _aguardar(cliente, r.json()["id"])
            assert estado["estado"] == "falhou"
            assert estado["erro"].startswith(esperado), estado["erro"]
            pasta = str(app.state.fila.pasta)
            assert pasta not in estado["erro"] and "scrivane-web" not in estado["erro"]
            assert "PDFium" not in estado["erro"] and "Failed" not in estado["erro"]


def test_the_command_line_says_it_in_portuguese_too(sem_rede, tmp_path, capsys):
    ruim = tmp_path / "ruim.pdf"
    ruim.write_bytes(CORROMPIDO)
    codigo, out, err = rodar(capsys, "verificar", "--provedor", "local", str(ruim))
    assert codigo == 4
    assert err.strip().endswith(f"{ruim}: o arquivo não é um PDF válido ou está corrompido")
    assert "PDFium" not in out + err


@pytest.mark.parametrize("texto, esperado", [
    ("PDF ilegível: /tmp/scrivane-web-x/a1.pdf (Failed to load document (PDFium: Data format error).)",
     "Contrato.pdf: o arquivo não é um PDF válido ou está corrompido"),
    ("Failed to load document (PDFium: Unsupported security scheme error).",
     "Contrato.pdf: o arquivo usa uma proteção (criptografia) que não conseguimos abrir"),
    ("PDF ilegível: /tmp/scrivane-web-x/a1.pdf (Failed to load page (PDFium: Page not found or content error).)",
     "Contrato.pdf: o arquivo tem páginas corrompidas ou incompletas"),
    ("PDF protegido por senha: /tmp/scrivane-web-x/a1.pdf (remova a senha para que o documento possa ser lido)",
     "Contrato.pdf: o arquivo está protegido por senha"),
    ("Nenhum texto encontrado no documento: /tmp/scrivane-web-x/a1.pdf (PDF sem camada de texto, ou arquivo vazio)",
     "Nenhum texto encontrado no documento: Contrato.pdf (PDF sem camada de texto, ou arquivo vazio)"),
])
def test_reading_failures_read_in_portuguese_with_the_name_the_person_knows(texto, esperado):
    from scrivane_contract.erros_leitura import mensagem_leitura

    mensagem = mensagem_leitura(texto, "Contrato.pdf", "/tmp/scrivane-web-x/a1.pdf")
    assert mensagem.startswith(esperado) and "/tmp" not in mensagem and "PDFium" not in mensagem


# -- not a contract ---------------------------------------------------------------------------

NOTA_FISCAL = """\
PREFEITURA DO MUNICÍPIO DE SÃO PAULO
NOTA FISCAL DE SERVIÇOS ELETRÔNICA - NFS-e
Número da Nota: 00004512    Data e Hora de Emissão: 29/10/2026 14:32:10
Código de Verificação: A1B2-C3D4
PRESTADOR DE SERVIÇOS
Razão Social: LUMINA VAREJO DE ELETRODOMESTICOS LTDA
CPF/CNPJ: 11.222.333/0001-81    Inscrição Municipal: 1.234.567-8
Endereço: AV PAULISTA, 1000 - BELA VISTA - CEP 01310-100    Município: São Paulo    UF: SP
TOMADOR DE SERVIÇOS
Nome/Razão Social: SOL NASCENTE EMBALAGENS LTDA
CPF/CNPJ: 45.997.418/0001-53
Endereço: RUA DAS FLORES, 200 - CENTRO - CEP 13010-000    Município: Campinas    UF: SP
DISCRIMINAÇÃO DOS SERVIÇOS
Manutenção preventiva de refrigeradores industriais - outubro/2026
VALOR TOTAL DO SERVIÇO = R$ 4.850,00
Base de Cálculo (R$) 4.850,00    Alíquota (%) 2,00    Valor do ISS (R$) 97,00
OUTRAS INFORMAÇÕES
(1) Esta NFS-e foi emitida com respaldo na Lei nº 14.097/2005.
(2) Documento emitido por ME ou EPP optante pelo Simples Nacional."""


@pytest.fixture
def nota(tmp_path):
    return write_text_pdf(tmp_path / "nota-fiscal-4512.pdf", [NOTA_FISCAL])


def test_an_invoice_is_said_not_to_look_like_a_contract_on_the_command_line(sem_rede, nota, tmp_path, capsys):
    codigo, out, err = rodar(capsys, "verificar", "--provedor", "local", "--sem-assinaturas", str(nota))
    assert codigo == 2 and "RESULTADO FINAL: PENDENTE" in out
    assert "⚠️ Atenção: o documento não parece um contrato" in out

    contrato = write_text_pdf(tmp_path / "contrato.pdf", [
        "CONTRATO DE PRESTAÇÃO DE SERVIÇOS\nCláusula primeira - do objeto: as partes contratante e contratada "
        "celebram o presente contrato.\nCláusula segunda - da vigência e do foro."])
    codigo, out, err = rodar(capsys, "verificar", "--provedor", "local", "--sem-assinaturas", "--json",
                             str(nota), str(contrato))
    objetos = [json.loads(linha) for linha in out.splitlines()]
    assert objetos[0]["aviso"] == "o documento não parece um contrato"
    assert objetos[1]["aviso"] is None  # nothing extracted either, but its words are a contract's

    codigo, out, err = rodar(capsys, "verificar", "--provedor", "local", "--sem-assinaturas", str(nota),
                             str(contrato))
    assert "PENDENTE (não parece" in out  # the table may fold the cell
    assert "2 contrato(s): 0 aprovado(s), 0 reprovado(s), 2 pendente(s), 1 não parece(m) contrato" in out


MODELO_EM_BRANCO = ("CONTRATO DE PRESTAÇÃO DE SERVIÇOS\nCONTRATANTE: ______________________, inscrita no CNPJ sob o nº "
                    "__.___.___/____-__, com sede na ______________.\nCONTRATADA: ______________________, inscrita no "
                    "CNPJ sob o nº __.___.___/____-__.\nAs partes resolvem celebrar o presente contrato.\nCLÁUSULA "
                    "PRIMEIRA – DO OBJETO\nA prestação dos serviços descritos no anexo.\nCLÁUSULA SEGUNDA – DA "
                    "VIGÊNCIA\nDoze meses.\n______________________\nCONTRATANTE\n______________________\nCONTRATADA")
EXTRATO = ("EXTRATO DO PRIMEIRO TERMO ADITIVO AO CONTRATO Nº 12/2026\nContratante: Prefeitura Municipal de Aurora. "
           "Contratada: ACME SERVIÇOS LTDA. Objeto: prorrogação da vigência do contrato de prestação de serviços de "
           "limpeza por doze meses, conforme a cláusula primeira do termo aditivo. Valor: R$ 120.000,00. "
           "Assinatura: 2 de março de 2026.")


def test_the_note_follows_what_the_document_is_as_classificar_decides(sem_rede, tmp_path, capsys):
    """A blank template is a contract with nobody in it; a gazette extract citing a contract, whose words
    are a contract's, is not one."""
    from scrivane_contract.keywords import validar_documento_contrato

    modelo = write_text_pdf(tmp_path / "modelo.pdf", [MODELO_EM_BRANCO])
    extrato = write_text_pdf(tmp_path / "extrato.pdf", [EXTRATO])
    assert validar_documento_contrato(EXTRATO)[0]  # the keywords alone would take it for one
    codigo, out, err = rodar(capsys, "verificar", "--provedor", "local", "--sem-assinaturas", "--json",
                             str(modelo), str(extrato))
    objetos = {Path(o["arquivo"]).name: o for o in map(json.loads, out.splitlines())}
    assert objetos["modelo.pdf"]["resultado"]["empresas"] == [] and objetos["modelo.pdf"]["aviso"] is None
    assert objetos["extrato.pdf"]["aviso"] == "o documento não parece um contrato"
    codigo, out, err = rodar(capsys, "classificar", "--json", str(modelo), str(extrato))
    assert [json.loads(l)["eh_contrato"] for l in out.splitlines()] == [True, False]


def test_an_invoice_is_said_not_to_look_like_a_contract_on_the_page(sem_rede, nota):
    app = criar_app(lambda: ContractChecker(provider="local", verbose=False).verificar, token=None,
                    conferir_assinaturas=False)
    with TestClient(app) as cliente:
        r = cliente.post("/api/verificacoes", files={"arquivo": (nota.name, nota.read_bytes(), "application/pdf")})
        estado = _aguardar(cliente, r.json()["id"])
        assert (estado["estado"], estado["aviso"]) == ("concluida", "o documento não parece um contrato")
        assert estado["segundos"] > 0
        html = cliente.get(f"/api/verificacoes/{estado['id']}/relatorio?fragmento=true").text
    assert "O documento não parece um contrato." in html
    # Nothing was read: the page does not claim that no problem was found.
    assert "Nenhum problema encontrado" not in html and "Nada foi conferido" in html


def test_the_report_reads_dates_and_elapsed_time_the_brazilian_way():
    resultado = {"resultado_final": "APROVADO", "justificativa": "ok", "campos_aprovados": [],
                 "campos_reprovados": [], "campos_pendentes": [], "empresas": [], "assinaturas": [],
                 "dados_contrato": {"data_assinatura": "2026-10-29", "vigencia": "2026-11-01 a 2027-10-31"},
                 "metricas": {"tokens": 0, "custo_usd": 0.0, "tempo_segundos": 0.02}}
    html = pagina_relatorio(resultado, "c.pdf", duracao=40.2)
    assert "29/10/2026" in html and "01/11/2026 a 31/10/2027" in html and "2026-10-29" not in html
    assert "<dd>40 s</dd>" in html and "0,0 s" not in html
    assert "<dd>2 min 05 s</dd>" in pagina_relatorio(resultado, "c.pdf", duracao=125)
    assert "<dd>0,0 s</dd>" in pagina_relatorio(resultado, "c.pdf")  # the extraction's own, when alone


# -- small command-line answers --------------------------------------------------------------


@pytest.fixture
def banco_local(tmp_path):
    """A local registry with one active and one closed company of similar names."""
    ativa = _registro("11222333000181", "SOL POENTE COMERCIO LTDA", "SOL POENTE")
    baixada = _registro("45997418000153", "SOL NASCENTE EMBALAGENS LTDA", "SOL NASCENTE")
    baixada["descricao_situacao_cadastral"] = "BAIXADA"
    baixada["situacao_cadastral"] = 8
    arquivo = tmp_path / "lista.jsonl"
    arquivo.write_text("\n".join(json.dumps(r, ensure_ascii=False) for r in (ativa, baixada)), encoding="utf-8")
    banco = tmp_path / "registro.sqlite3"
    assert main(["registro", "importar", "--jsonl", str(arquivo), "--banco", str(banco)]) == 0
    return f"sqlite:{banco}"


# The local registry alone: a company it lacks is not looked up on the public services.
SO_LOCAL = ("--offline",)


def test_buscar_finds_a_closed_company_and_says_it_is_not_active(banco_local, capsys):
    capsys.readouterr()
    codigo, out, err = rodar(capsys, "buscar", "SOL NASCENTE EMBALAGENS", "--registro", banco_local, *SO_LOCAL)
    assert codigo == 0, err
    assert json.loads(out)["razao_social"] == "SOL NASCENTE EMBALAGENS LTDA"
    assert "nenhuma empresa ativa com esse nome" in err and "BAIXADA" in err
    codigo, out, err = rodar(capsys, "buscar", "SOL POENTE", "--registro", banco_local, *SO_LOCAL)
    assert codigo == 0 and "aviso" not in err  # the active one, as before
    codigo, out, err = rodar(capsys, "buscar", "LUA MINGUANTE", "--registro", banco_local, *SO_LOCAL)
    assert codigo != 0 and "empresa não encontrada: LUA MINGUANTE" in err  # offline: 4, not a definite miss


def test_buscar_refuses_an_unknown_state_and_flags_a_cnpj_of_another_company(banco_local, capsys):
    capsys.readouterr()
    codigo, out, err = rodar(capsys, "buscar", "SOL POENTE", "--uf", "XX", "--registro", banco_local, *SO_LOCAL)
    assert (codigo, out) == (3, "") and "UF inválida: 'XX'" in err
    codigo, out, err = rodar(capsys, "buscar", "SOL POENTE", "--uf", "sp", "--registro", banco_local, *SO_LOCAL)
    assert codigo == 0
    codigo, out, err = rodar(capsys, "buscar", "PADARIA ESTRELA", "--cnpj", "11.222.333/0001-81", "--json",
                             "--registro", banco_local, *SO_LOCAL)
    objeto = json.loads(out)
    assert codigo == 0 and objeto["dados"]["razao_social"] == "SOL POENTE COMERCIO LTDA"
    assert "cujo nome não confere com 'PADARIA ESTRELA'" in objeto["aviso"] and "não confere" in err
    codigo, out, err = rodar(capsys, "buscar", "Sol Poente Comércio", "--cnpj", "11222333000181",
                             "--registro", banco_local, *SO_LOCAL)
    assert codigo == 0 and "aviso" not in err


def test_registro_answers_point_to_the_fix(tmp_path, capsys):
    codigo, out, err = rodar(capsys, "registro", "info", "--banco", str(tmp_path / "nada.sqlite3"))
    assert codigo == 3 and "registro importar --jsonl ARQUIVO" in err
    for mes in ("2024-13", "abc"):
        codigo, out, err = rodar(capsys, "registro", "baixar", "--mes", mes, "--destino", str(tmp_path))
        assert codigo == 3 and f"mês inválido: '{mes}' (use AAAA-MM" in err
    # No network: a refused connection, said in Portuguese.
    codigo, out, err = rodar(capsys, "registro", "baixar", "--url", f"http://127.0.0.1:{porta_livre()}",
                             "--destino", str(tmp_path))
    assert codigo == 4 and "sem conexão com http://127.0.0.1:" in err and "Errno" not in err
    for acao in ("info", "baixar", "servir"):
        codigo, out, _ = rodar(capsys, "registro", acao, "--help")
        descricao = out.split("\n\n")[1]
        assert codigo == 0 and not descricao.startswith(("opções", "options")), out


def test_a_busy_port_is_said_in_portuguese(sem_rede, banco_local, tmp_path, capsys):
    with socket.socket() as ocupante:
        ocupante.bind(("127.0.0.1", 0))
        ocupante.listen()
        porta = ocupante.getsockname()[1]
        banco = banco_local.removeprefix("sqlite:")
        r = comando("registro", "servir", "--banco", banco, "--porta", str(porta), timeout=60)
        assert r.returncode == 4 and f"a porta {porta} já está em uso em 127.0.0.1" in r.stderr
        assert "--porta" in r.stderr and "Errno" not in r.stderr
        r = comando("servir", "--provedor", "local", "--porta", str(porta), "--sem-assinaturas", timeout=60)
        assert r.returncode == 4 and f"a porta {porta} já está em uso" in r.stderr and "Errno" not in r.stderr
