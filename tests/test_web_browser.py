"""A person verifies contracts from the browser: headless Chromium (the distribution's package)
driven by Playwright, against the service on 127.0.0.1 with the real checker reading the
example contracts of exemplos/ with the local provider, and the local registry server loaded
with their registry data.

Screenshots of the result page go to build/capturas/.
"""

from __future__ import annotations

import base64
import json
import os
import re
import shutil
import socket
from pathlib import Path

import pypdfium2 as pdfium
import pytest
import uvicorn
from web_helpers import exemplos, registro_exemplos, servir_em_fio

from scrivane_contract.checker import ContractChecker
from scrivane_contract.historico import Historico
from scrivane_contract.web import criar_app

CHROMIUM = os.environ.get("SCRIVANE_CHROMIUM") or shutil.which("chromium") or shutil.which("chromium-browser")
CAPTURAS = Path(__file__).resolve().parent.parent / "build" / "capturas"
TOKEN = "token-do-navegador"

if not CHROMIUM and not os.environ.get("CI"):
    pytest.skip("Chromium not installed (apt-get install chromium)", allow_module_level=True)

sync_api = pytest.importorskip("playwright.sync_api")


def _porta_livre() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture(scope="module")
def servico(tmp_path_factory):
    contratos = exemplos()
    historico = Historico(str(tmp_path_factory.mktemp("historico-navegador") / "historico.sqlite3"))
    with registro_exemplos():
        app = criar_app(lambda: ContractChecker(provider="local", verbose=False).verificar,
                        trabalhadores=2, token=TOKEN, historico=historico)
        porta = _porta_livre()
        servidor = uvicorn.Server(uvicorn.Config(app, host="127.0.0.1", port=porta, log_level="warning"))
        fio = servir_em_fio(servidor)
        try:
            yield f"http://127.0.0.1:{porta}", contratos, app
        finally:
            servidor.should_exit = True
            fio.join(10)
            historico.fechar()


@pytest.fixture(scope="module")
def navegador():
    with sync_api.sync_playwright() as p:
        browser = p.chromium.launch(executable_path=CHROMIUM, args=["--no-sandbox"])
        yield browser
        browser.close()


def soltar(pagina, caminho: Path) -> None:
    """Drops the file on the page's drop zone, as a drag from the desktop does."""
    pagina.evaluate("""([nome, b64]) => {
        const bytes = Uint8Array.from(atob(b64), (c) => c.charCodeAt(0));
        const dados = new DataTransfer();
        dados.items.add(new File([bytes], nome, { type: "application/pdf" }));
        const zona = document.getElementById("form-envio");
        for (const tipo of ["dragenter", "dragover", "drop"]) {
            zona.dispatchEvent(new DragEvent(tipo, { dataTransfer: dados, bubbles: true, cancelable: true }));
        }
    }""", [caminho.name, base64.b64encode(caminho.read_bytes()).decode()])


# Words of the report's table cells drawn on more than one line ("Sócia administrado/ra"); a
# CNPJ or another long code in monospace may be cut, a word may not. Passages quoted from the
# document flow as text does.
PALAVRAS_PARTIDAS = """() => {
    const partidas = [];
    for (const celula of document.querySelectorAll("#relatorio-conteudo td")) {
        const textos = document.createTreeWalker(celula, NodeFilter.SHOW_TEXT);
        for (let no = textos.nextNode(); no; no = textos.nextNode()) {
            if (no.parentElement.closest(".mono, .evidencias")) continue;
            for (const m of no.data.matchAll(/\\S+/g)) {
                const trecho = document.createRange();
                trecho.setStart(no, m.index);
                trecho.setEnd(no, m.index + m[0].length);
                const linhas = new Set([...trecho.getClientRects()].filter((r) => r.width > 0)
                                       .map((r) => Math.round(r.top)));
                if (linhas.size > 1 && m[0].length <= 30) partidas.push(m[0]);
            }
        }
    }
    return partidas;
}"""


def test_contracts_verified_from_the_page(servico, navegador):
    base, contratos, app = servico
    CAPTURAS.mkdir(parents=True, exist_ok=True)
    contexto = navegador.new_context(viewport={"width": 1200, "height": 900}, accept_downloads=True)
    pagina = contexto.new_page()
    erros = []
    pagina.on("console", lambda m: m.type == "error" and erros.append((m.text, m.location)))
    pagina.goto(base + "/")

    # The token is asked once, on arrival.
    pagina.wait_for_selector("#dialogo-token[open]")
    pagina.fill("#campo-token", TOKEN)
    pagina.keyboard.press("Enter")
    pagina.wait_for_selector("#dialogo-token[open]", state="detached")

    for veredito, caminho in contratos.items():
        if veredito == "PENDENTE":
            soltar(pagina, caminho)  # dragged onto the drop zone
        else:
            pagina.set_input_files("#arquivo", str(caminho))
        # The progress panel is shown on upload; a quick job may already have replaced it by the
        # result (its panel hidden with it), so its own hidden attribute gone is what shows it was used.
        pagina.wait_for_selector("#progresso:not([hidden])", state="attached")
        titulo = pagina.wait_for_selector("#resultado:not([hidden]) .veredito__titulo", timeout=30000)
        assert titulo.inner_text() == veredito
        assert pagina.evaluate("document.activeElement.id") == "relatorio-titulo"  # announced to screen readers
        banner = pagina.eval_on_selector(".veredito", "e => getComputedStyle(e).backgroundColor")
        assert banner == {"APROVADO": "rgb(27, 110, 53)", "REPROVADO": "rgb(180, 35, 24)",
                          "PENDENTE": "rgb(240, 180, 41)"}[veredito]
        tabela = pagina.inner_text("#relatorio-conteudo .cartao")
        assert "LUMINA VAREJO DE ELETRODOMESTICOS LTDA" in pagina.inner_text("#relatorio-conteudo")
        assert "Situação Cadastral" in tabela and "Similaridade:" in tabela
        assert pagina.is_hidden("#dialogo-token[open]")
        assert pagina.evaluate(PALAVRAS_PARTIDAS) == []

        with pagina.expect_download() as baixado:
            pagina.click("#baixar-json")
        baixada = json.loads(Path(baixado.value.path()).read_text(encoding="utf-8"))
        # The verification's record, as verificar --json prints it: the signatures beside the result.
        assert (baixada["veredito"], baixada["resultado"]["resultado_final"]) == (veredito, veredito)
        assert "assinaturas_digitais" in baixada and len(baixada["sha256"]) == 64 and "estado" not in baixada
        assert baixado.value.suggested_filename == caminho.stem + "-verificacao.json"
        with pagina.expect_download() as baixado:
            pagina.click("#baixar-html")
        html = Path(baixado.value.path()).read_text(encoding="utf-8")
        assert f'data-resultado="{veredito}"' in html and "<style>" in html and "src=" not in html
        pagina.screenshot(path=str(CAPTURAS / f"resultado-{veredito.lower()}.png"), full_page=True, caret="initial")

        if veredito == "REPROVADO":
            # Printing gives the report alone, on one page.
            pagina.emulate_media(media="print")
            assert pagina.is_hidden(".acoes") and pagina.is_hidden("#envio") and pagina.is_hidden(".topo")
            documento = pdfium.PdfDocument(pagina.pdf(format="A4", print_background=True))
            assert len(documento) == 1
            documento.close()
            pagina.emulate_media(media="screen")

        pagina.click("#outro")
        pagina.wait_for_selector("#envio:not([hidden])")

    # The Histórico page: the three verifications, filtered by verdict, one report opened again.
    pagina.click("footer a[href='/historico']")
    sync_api.expect(pagina.locator("#linhas tr")).to_have_count(3)
    pagina.select_option("select[name=resultado]", "REPROVADO")
    pagina.click("#filtros button")
    sync_api.expect(pagina.locator("#linhas tr")).to_have_count(1)
    pagina.click("#linhas tr")
    assert pagina.wait_for_selector("#resultado:not([hidden]) .veredito__titulo").inner_text() == "REPROVADO"
    assert pagina.is_hidden("#alertas")  # no monitoring run yet
    assert erros == []
    assert list(app.state.fila.pasta.iterdir()) == []
    contexto.close()


def test_phone_width_keyboard_and_refusals(servico, navegador, tmp_path):
    base, contratos, app = servico
    contexto = navegador.new_context(viewport={"width": 390, "height": 844}, is_mobile=True, has_touch=True)
    contexto.add_init_script(f"localStorage.setItem('scrivane-token', {json.dumps(TOKEN)})")
    pagina = contexto.new_page()
    pagina.goto(base + "/")
    assert pagina.is_hidden("#dialogo-token[open]")  # the token kept from before is used
    # Before any result, the result's buttons are not shown (a layout rule must not undo "hidden").
    for botao in ("#baixar-json", "#baixar-html", "#imprimir", "#outro"):
        assert pagina.is_hidden(botao), botao

    # A file that is not a PDF is refused with the server's message.
    falso = tmp_path / "nao-e-pdf.pdf"
    falso.write_text("apenas texto")
    pagina.set_input_files("#arquivo", str(falso))
    assert "Formato não suportado" in pagina.wait_for_selector("#erro:not([hidden])").inner_text()

    # Keyboard: the skip link, then the file input.
    pagina.keyboard.press("Tab")
    assert pagina.evaluate("document.activeElement.className") == "pular"
    pagina.keyboard.press("Tab")
    assert pagina.evaluate("document.activeElement.id") == "arquivo"
    pagina.set_input_files("#arquivo", str(contratos["PENDENTE"]))
    titulo = pagina.wait_for_selector("#resultado:not([hidden]) .veredito__titulo", timeout=30000)
    assert titulo.inner_text() == "PENDENTE"
    assert pagina.evaluate("document.documentElement.scrollWidth") <= 390  # no sideways scrolling
    assert pagina.evaluate(PALAVRAS_PARTIDAS) == []
    assert pagina.is_visible("#baixar-json") and pagina.is_visible("#outro")
    # Dates of the report the Brazilian way.
    texto = pagina.inner_text("#relatorio-conteudo")
    assert not re.search(r"\b\d{4}-\d{2}-\d{2}\b", texto), texto
    pagina.screenshot(path=str(CAPTURAS / "resultado-celular.png"), full_page=True, caret="initial")

    # The Histórico on a phone: each verification a card, every column in sight with its name.
    pagina.goto(base + "/historico")
    pagina.wait_for_selector("#linhas tr")
    celulas = pagina.evaluate("""() => [...document.querySelectorAll('#linhas tr:first-child td')].map(td => ({
        rotulo: getComputedStyle(td, '::before').content, direita: td.getBoundingClientRect().right,
        largura: td.getBoundingClientRect().width}))""")
    assert [c["rotulo"] for c in celulas] == ['"Data"', '"Arquivo"', '"Resultado"', '"Empresas"']
    assert all(0 < c["direita"] <= 390 for c in celulas), celulas
    assert pagina.evaluate("document.documentElement.scrollWidth") <= 390
    contexto.close()


# Where the highlight sits over the page image, in fractions of the image, and how dark the darkest
# pixel of the image under it is (0: black ink, 255: blank paper).
CAIXA_NA_PAGINA = """() => {
    const img = document.getElementById("visor-imagem");
    const r = img.getBoundingClientRect(), c = document.getElementById("visor-caixa").getBoundingClientRect();
    const canvas = document.createElement("canvas");
    canvas.width = img.naturalWidth;
    canvas.height = img.naturalHeight;
    const g = canvas.getContext("2d");
    g.drawImage(img, 0, 0);
    const k = img.naturalWidth / r.width;
    const px = g.getImageData((c.left - r.left) * k, (c.top - r.top) * k, c.width * k, c.height * k).data;
    let escuro = 255;
    for (let i = 0; i < px.length; i += 4) escuro = Math.min(escuro, px[i]);
    return {x0: (c.left - r.left) / r.width, y0: (c.top - r.top) / r.height, x1: (c.right - r.left) / r.width,
            y1: (c.bottom - r.top) / r.height, escuro: escuro, largura: img.naturalWidth};
}"""


def test_a_passage_opens_its_page_with_the_value_highlighted(servico, navegador):
    base, contratos, app = servico
    contexto = navegador.new_context(viewport={"width": 1200, "height": 900})
    contexto.add_init_script(f"localStorage.setItem('scrivane-token', {json.dumps(TOKEN)})")
    pagina = contexto.new_page()
    erros = []
    pagina.on("console", lambda m: m.type == "error" and erros.append((m.text, m.location)))
    pagina.goto(base + "/")
    pagina.set_input_files("#arquivo", str(contratos["APROVADO"]))
    pagina.wait_for_selector("#resultado:not([hidden]) .veredito__titulo", timeout=30000)

    # Every company and signatory shows where it was read; the passages are buttons.
    assert pagina.locator("#relatorio-conteudo .cartao .evidencias").count() == 2
    passagens = pagina.locator("#relatorio-conteudo .evidencia[role=button]")
    assert passagens.count() >= 6
    cnpj = pagina.locator(".cartao .evidencia[role=button]", has_text="64.628.897/0001-85").first
    assert "CNPJ" in cnpj.locator(".evidencia__onde").inner_text()
    x0, y0, x1, y1 = (float(n) for n in cnpj.get_attribute("data-caixa").split(","))
    cnpj.click()
    pagina.wait_for_selector("#dialogo-pagina[open] #visor-caixa:not([hidden])")
    assert pagina.inner_text("#pagina-titulo") == "Página " + cnpj.get_attribute("data-pagina")
    lugar = pagina.evaluate(CAIXA_NA_PAGINA)
    assert lugar["largura"] >= 595 * 1.5 - 1  # drawn at screen resolution, not a thumbnail
    esperado = ((x0 - 2) / 595, (y0 - 2) / 842, (x1 + 2) / 595, (y1 + 2) / 842)
    assert [round(lugar[k], 3) for k in ("x0", "y0", "x1", "y1")] == pytest.approx(esperado, abs=0.004)
    assert lugar["escuro"] < 100  # the box is over printed text
    # The passage holds the company's name too: every value it holds has its box drawn.
    caixas = cnpj.get_attribute("data-caixas").split(";")
    assert len(caixas) == len(cnpj.locator(".evidencia__onde").inner_text().split("·")[0].split(",")) >= 2
    assert pagina.locator("#visor .visor__caixa:not([hidden])").count() == len(caixas)
    pagina.screenshot(path=str(CAPTURAS / "evidencia-na-pagina.png"))

    # Closed, then another passage by keyboard: the page is drawn again only if it is another one.
    pagina.click("#dialogo-pagina button[value=fechar]")
    pagina.wait_for_selector("#dialogo-pagina[open]", state="detached")
    testemunha = pagina.locator(".linha-evidencias .evidencia[role=button][data-pagina='2']").first
    testemunha.focus()
    pagina.keyboard.press("Enter")
    pagina.wait_for_selector("#dialogo-pagina[open] #visor-caixa:not([hidden])")
    assert pagina.inner_text("#pagina-titulo") == "Página 2"
    assert pagina.locator("#visor .visor__caixa:not([hidden])").count() == len(
        (testemunha.get_attribute("data-caixas") or "x").split(";"))  # the other passage's boxes only
    assert pagina.evaluate(CAIXA_NA_PAGINA)["escuro"] < 100
    assert erros == []
    assert list(app.state.fila.pasta.iterdir()) == []
    contexto.close()
