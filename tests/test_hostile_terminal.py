"""Hostile registry records and hostile file names never reach the terminal raw.

Every command that prints registry fields, file names, history rows or monitoring alerts runs
in-process against a local registry server whose records carry escape sequences (window title,
screen clear, a disguised hyperlink, hidden and reversed text) and a 1 MB company name; the
contracts have file names made of the same.  Nothing printed may hold a character a terminal
interprets, and no line may carry the whole 1 MB name; the JSON keeps the full values."""

from __future__ import annotations

import copy
import json
import sys
from pathlib import Path

import pytest
from registry_server import RegistryServer

from scrivane_contract._controles import LIMITE_LINHA, TerminalSeguro, json_sem_controles
from test_cli import env, rodar  # noqa: F401

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tools"))
import gerar_exemplos  # noqa: E402

# A window title, a screen clear, an OSC 8 hyperlink under innocent text, hidden text, a
# right-to-left override, a C1 control sequence, a bell and a backspace.
VENENO = ("\x1b]0;janela trocada\x07\x1b[2J\x1b]8;;http://malicioso.example/\x1b\\clique\x1b]8;;\x1b\\"
          "\x1b[8mOCULTO\x1b[0m\u202eOTADIVNI\u202c\x9b31m\x07\x08")
GRANDE = "Z" * 1_000_000
LUMINA, NORDICA = "64628897000185", "51402614000130"


def registro_hostil(situacao: str = "ATIVA") -> dict[str, dict]:
    por_cnpj = {e["cnpj"]: copy.deepcopy(e) for e in gerar_exemplos.REGISTRO}
    lumina = por_cnpj[LUMINA]
    lumina["razao_social"] = lumina["razao_social"] + VENENO + GRANDE
    lumina["descricao_situacao_cadastral"] = situacao + VENENO
    lumina["logradouro"] = lumina["logradouro"] + VENENO
    for socio in lumina["qsa"]:
        socio["qualificacao_socio"] = socio["qualificacao_socio"] + VENENO
    return por_cnpj


def servir(servidor: RegistryServer, situacao: str = "ATIVA") -> None:
    for numero, dados in registro_hostil(situacao).items():
        servidor.add_company(numero, dados, None)


def limpo(texto: str, *, linhas_curtas: bool = True) -> None:
    """Fails naming the first character a terminal would interpret, or the first overlong line."""
    for i, ch in enumerate(texto):
        assert ch.isprintable() or ch == "\n", f"caractere {ch!r} na saída: ...{texto[max(0, i - 40):i + 10]!r}"
    if linhas_curtas:
        maior = max((len(l) for l in texto.splitlines()), default=0)
        assert maior <= LIMITE_LINHA + 40, f"linha de {maior} caracteres"
        assert "Z" * 1000 not in texto


@pytest.fixture
def cenario(env, tmp_path):  # noqa: F811
    pasta = tmp_path / "contratos"
    pasta.mkdir()
    nomes = [f"contrato{VENENO.replace(chr(8), '').replace('/', '_')}.pdf", "normal.pdf"]
    arquivos = []
    for nome in nomes:
        destino = pasta / nome
        gerar_exemplos.escrever_pdf(destino, gerar_exemplos.APROVADO)
        arquivos.append(destino)
    env.setenv("SCRIVANE_HISTORICO", str(tmp_path / "historico.sqlite3"))
    with RegistryServer() as servidor:
        servir(servidor)
        yield servidor, arquivos


def test_every_printing_command_shows_hostile_registry_text_and_file_names_escaped_and_cut(cenario, capsys):
    servidor, arquivos = cenario
    base = ["--provedor", "local", "--registro", servidor.url, "--sem-cache"]

    # One contract: the library's progress lines and report, the provenance lines, the history warning.
    codigo, out, err = rodar(capsys, "verificar", *base, arquivos[0])
    assert codigo in (0, 1, 2), err
    limpo(out)
    limpo(err)
    assert "LUMINA VAREJO" in out and "\\x1b]0;janela trocada" in out  # shown, made visible
    assert "(linha cortada)" in out or "caracteres)" in out

    # The same file again: "já foi verificado" names it; then a batch with its summary table,
    # the reports of each, and the JSON lines, which keep the whole name.
    for extra in ([], ["--relatorios"]):
        codigo, out, err = rodar(capsys, "verificar", *base, *extra, *arquivos)
        limpo(out)
        limpo(err)
        assert "já foi verificado" in err
    codigo, out, err = rodar(capsys, "verificar", *base, "--json", *arquivos)
    limpo(out, linhas_curtas=False)
    limpo(err)
    objetos = [json.loads(linha) for linha in out.splitlines()]
    razoes = [e["razao_social_receita"] for o in objetos for e in o["resultado"]["empresas"]
              if e["cnpj"].replace(".", "").replace("/", "").replace("-", "") == LUMINA]
    assert razoes and all(r.endswith(VENENO + GRANDE) for r in razoes)
    assert objetos[0]["arquivo"].endswith(arquivos[0].name)

    # The history: its listing and one stored report, printed again from what was stored.
    codigo, out, err = rodar(capsys, "historico")
    assert codigo == 0, err
    limpo(out)
    limpo(err)
    assert "contrato\\x1b]0;janela" in out
    ident = objetos[0]["id"]
    codigo, out, err = rodar(capsys, "historico", "mostrar", ident)
    limpo(out)
    limpo(err)
    assert "LUMINA VAREJO" in out

    # The registry changes (hostile again): monitoring prints the alerts.
    servir(servidor, situacao="BAIXADA")
    codigo, out, err = rodar(capsys, "monitorar", "--registro", servidor.url, "--sem-cache")
    assert codigo == 1, err
    limpo(out)
    limpo(err)
    assert "BAIXADA" in out and "janela trocada" in out

    # The registry lookup commands print JSON: escaped, whole.
    codigo, out, err = rodar(capsys, "cnpj", "--registro", servidor.url, "--sem-cache", LUMINA)
    limpo(out, linhas_curtas=False)
    assert json.loads(out)["razao_social"].endswith(VENENO + GRANDE)


def test_a_missing_hostile_file_name_is_escaped_in_the_usage_error(env, capsys):  # noqa: F811
    codigo, out, err = rodar(capsys, "verificar", "--provedor", "local", f"sumido{VENENO}.pdf")
    assert codigo == 3
    limpo(err)
    assert "Arquivo não encontrado: sumido\\x1b]0;janela" in err


def test_the_stream_guard_keeps_lines_and_tabs_and_cuts_long_lines(capsys):
    import io

    destino = io.StringIO()
    fluxo = TerminalSeguro(destino, limite_linha=10)
    fluxo.write("curta\tok\n0123456789ABCDEF")
    fluxo.write("GHI\nfim\x1b[0m\n")
    assert destino.getvalue() == "curta\tok\n0123456789… (linha cortada)\nfim\\x1b[0m\n"


def test_json_keeps_its_meaning_and_loses_its_controls():
    valor = {"nome": "A\x9b31m\u202eB\U000e0001C\u2028D", "n": 1}
    texto = json_sem_controles(json.dumps(valor, ensure_ascii=False))
    assert texto.isprintable() and json.loads(texto) == valor
