"""Hostile documents cost one job, never the process: reader processes with limits, several at once,
text without control characters (down to the terminal), private temporary files swept after a crash."""

from __future__ import annotations

import json
import os
import re
import signal
import subprocess
import sys
import threading
from pathlib import Path

import pytest

import hostile_pdfs as h
from pdfs import write_text_pdf
from scrivane import isolation, ocr
from scrivane.document import DocumentError, DocumentLimitError, read_document, strip_controls
from scrivane.isolation import Limits, ReaderPool
from test_cli import env, reg, rodar  # noqa: F401  (fixtures)
from web_helpers import esperar as _esperar

MiB = 1024 * 1024
needs_ocr = pytest.mark.skipif(ocr.unavailable_reason() is not None,
                               reason=f"OCR indisponível: {ocr.unavailable_reason()}")


@pytest.fixture
def pool(tmp_path):
    # A low memory limit keeps the bomb cheap; the folder is the test's own, to see what is left in it.
    folder = tmp_path / "privada"
    folder.mkdir(mode=0o700)
    with ReaderPool(workers=2, limits=Limits(memory=512 * MiB, seconds=60, pages=2000), folder=folder) as p:
        yield p


@pytest.fixture
def ordinario(tmp_path):
    return write_text_pdf(tmp_path / "ordinario.pdf", ["CONTRATANTE: ACME COMERCIO DE TESTES LTDA", "Assinaturas"])


def restos(pasta: Path) -> list[Path]:
    return [p for p in pasta.rglob("*") if p.is_file()]


class TestLimits:
    def test_a_decompression_bomb_fails_alone_and_the_next_document_is_read(self, pool, tmp_path, ordinario):
        bomba = h.gravar(tmp_path / "bomba.pdf", h.bomba(16, 64))  # 17 KB that inflate to 1 GiB
        assert bomba.stat().st_size < 64 * 1024
        with pytest.raises(DocumentLimitError) as info:
            pool.read(bomba)
        assert str(info.value).startswith("documento excede o limite de memória ao ler a página 1 (limite 512 MiB)")
        assert str(info.value).endswith("bomba.pdf")
        assert pool.read(ordinario).pages[0].startswith("CONTRATANTE: ACME")
        pool.close()
        assert restos(pool.folder) == []

    def test_a_repeated_page_tree_is_refused_by_its_page_count(self, pool, tmp_path):
        arvore = h.gravar(tmp_path / "arvore.pdf", h.arvore_repetida(200_000))
        esperado = "documento excede o limite de páginas (200.000 páginas; limite 2.000)"
        with pytest.raises(DocumentLimitError, match=r"^" + re.escape(esperado)):
            pool.read(arvore)
        with pytest.raises(DocumentLimitError, match=r"^" + re.escape(esperado)):
            read_document(arvore, max_pages=2000)  # the same limit in the caller's process

    def test_cpu_time_is_limited_per_document_and_names_the_page(self, tmp_path, ordinario):
        arvore = h.gravar(tmp_path / "arvore.pdf", h.arvore_repetida(200_000))
        limites = Limits(memory=1024 * MiB, seconds=1, pages=10 ** 6)
        with ReaderPool(workers=1, limits=limites, folder=tmp_path) as lento:
            with pytest.raises(DocumentLimitError,
                               match=r"^documento excede o limite de tempo ao ler a página \d+ \(limite 1 s de CPU\)"):
                lento.read(arvore)
            # the next document gets a worker of its own, with a fresh budget
            assert lento.read(ordinario).pages[1] == "Assinaturas"

    def test_render_scale_keeps_every_page_under_the_pixel_cap(self):
        for largura, altura in [(595, 842), (14_400 * 72, 14_400 * 72), (14_400 * 72, 10), (1e9, 1e9)]:
            escala = ocr.render_scale(largura, altura)
            assert largura * escala * altura * escala <= ocr.MAX_RENDER_PIXELS * 1.0001
        assert ocr.render_scale(595, 842) == ocr.OCR_DPI / 72  # an ordinary page keeps its resolution

    @needs_ocr
    def test_a_page_miles_wide_is_read_at_a_lower_resolution(self, pool, tmp_path):
        gigante = h.gravar(tmp_path / "gigante.pdf", h.pagina_gigante(14_400))
        try:
            doc = pool.read(gigante, ocr=True)
            assert doc.ocr_pages == (0,)
        except DocumentError as exc:  # the grey square holds no words
            assert "o OCR não reconheceu texto" in str(exc)
        pool.close()
        assert restos(pool.folder) == []

    def test_documents_are_read_in_parallel(self, tmp_path):
        # Two slow documents at once: two workers are busy at the same moment.
        arvore = h.gravar(tmp_path / "arvore.pdf", h.arvore_repetida(30_000))
        with ReaderPool(workers=2, limits=Limits(pages=10 ** 6), folder=tmp_path) as dois:
            threads = [threading.Thread(target=dois.read, args=(arvore,)) for _ in range(2)]
            for t in threads:
                t.start()
            try:
                _esperar(lambda: len(dois.busy_pids()) == 2)
            finally:
                for t in threads:
                    t.join(120)
            assert not any(t.is_alive() for t in threads)


class TestControlCharacters:
    @pytest.mark.parametrize("hostil", [
        "\x1b]52;c;Y2xpcGJvYXJk\x07",  # OSC 52: writes to the clipboard
        "\x1b[1A\x1b[2K",  # cursor up, erase the line
        "\x9b31m",  # C1 control sequence introducer
        "\x00\x08\x7f\x85",  # NUL, backspace, DEL, NEL
        "\r",
    ], ids=["osc52", "cursor", "c1", "nul-del", "cr"])
    def test_the_reader_drops_c0_and_c1_controls_but_keeps_lines_and_tabs(self, pool, tmp_path, hostil):
        pdf = h.gravar(tmp_path / "controle.pdf", h.com_controles(["CONTRATANTE ", hostil, "ACME\tLTDA"]))
        (pagina,) = pool.read(pdf).pages
        assert "CONTRATANTE" in pagina and "ACME\tLTDA" in pagina
        assert not [c for c in pagina if (ord(c) < 0x20 and c not in "\n\t") or 0x7F <= ord(c) < 0xA0]
        texto = tmp_path / "controle.txt"
        conteudo = f"CONTRATANTE {hostil.replace(chr(0), '')} ACME\tLTDA\nfim"  # a NUL makes a file binary
        texto.write_text(conteudo, encoding="utf-8")
        assert read_document(texto).pages == (strip_controls(conteudo),)

    def test_log_escaping_keeps_one_line(self):
        assert isolation.escape_for_log("a\nb\x1b[2K\u202ec ção ✅") == "a\\x0ab\\x1b[2K\\u202ec ção ✅"


class TestWorkers:
    def test_a_killed_worker_fails_its_document_and_leaves_nothing(self, pool, tmp_path, ordinario):
        arvore = h.gravar(tmp_path / "arvore.pdf", h.arvore_repetida(200_000))
        lento = ReaderPool(workers=1, limits=Limits(pages=10 ** 6), folder=pool.folder)
        erros = []

        def ler():
            try:
                lento.read(arvore)
            except DocumentError as exc:
                erros.append(exc)

        t = threading.Thread(target=ler)
        t.start()
        (pid,) = _esperar(lento.busy_pids)
        _esperar(lambda: h.paginas_comecadas(pid) >= 10)  # well into the document
        os.kill(pid, signal.SIGKILL)
        t.join(60)
        assert not t.is_alive()
        # The document fails, named, with the page its reader died on.
        assert len(erros) == 1 and "arvore.pdf" in str(erros[0]) and "ao ler a página" in str(erros[0])
        assert lento.read(ordinario).pages[0].startswith("CONTRATANTE")
        lento.close()
        assert restos(pool.folder) == []

    def test_an_idle_worker_killed_from_outside_costs_no_job(self, pool, ordinario):
        pool.warm(2)
        ociosos = list(pool._idle)
        assert ociosos
        for w in ociosos:
            os.kill(w.proc.pid, signal.SIGKILL)
        for w in ociosos:  # dead for sure before the pool next looks at them
            assert w.proc.wait(timeout=30) == -signal.SIGKILL
        assert pool.read(ordinario).pages[1] == "Assinaturas"

    def test_stale_private_folders_are_swept_only_when_their_process_is_gone(self, tmp_path):
        morto = subprocess.Popen([sys.executable, "-c", "pass"])
        morto.wait()
        velha = tmp_path / f"scrivane-leitura-{morto.pid}-abc"
        (velha / "leitor-x").mkdir(parents=True)
        (velha / "leitor-x" / "pagina-1.pgm").write_bytes(b"P5")
        viva = tmp_path / f"scrivane-web-{os.getppid()}-def"
        viva.mkdir()
        outra = tmp_path / "scrivane-ocr-antiga"
        outra.mkdir()
        assert isolation.sweep_stale_folders(tmp_path) == [velha]
        assert not velha.exists() and viva.exists() and outra.exists()





class TestCommandLine:
    @pytest.mark.parametrize("formato", ["pdf", "txt"])
    def test_a_hostile_text_never_reaches_the_terminal(self, reg, tmp_path, capsys, formato):
        # Whole sequences on a line of their own; bare controls inside the names and numbers.
        linhas = ["CONTRATO DE PRESTAÇÃO DE SERVIÇOS", "\x1b]52;c;Y2xpcGJvYXJk\x07\x1b[1A\x1b[2K\x9b2J",
                  "CONTRATANTE: ACME COMERCIO\x1b DE TESTES\x07 LTDA, pessoa jurídica de direito privado, "
                  "inscrita no CNPJ sob o nº 11.222.333/0001-81\x9b, com sede na Av. Paulista, 1000, São Paulo/SP, "
                  "neste ato representada por sua sócia Maria\x08 da Silva.",
                  "Assinam: Maria da Silva\x7f, sócia administradora"]
        if formato == "pdf":
            arquivo = h.gravar(tmp_path / "hostil.pdf", h.com_controles([linha + "\n" for linha in linhas]))
        else:
            arquivo = tmp_path / "hostil.txt"
            arquivo.write_text("\n".join(linhas) + "\n", encoding="utf-8")
        codigo, out, err = rodar(capsys, "verificar", "--provedor", "local", "--registro", reg.url, arquivo)
        assert "RESULTADO FINAL" in out and codigo in (0, 1, 2)
        if formato == "txt":  # the local rules find the company in plain lines
            assert "ACME COMERCIO DE TESTES LTDA" in out
        assert not [c for c in out + err if (ord(c) < 0x20 and c not in "\n\t") or 0x7F <= ord(c) < 0xA0]

    def test_the_page_limit_option_fails_that_contract_alone(self, reg, tmp_path, capsys):
        arvore = h.gravar(tmp_path / "arvore.pdf", h.arvore_repetida(20))
        ok = h.gravar(tmp_path / "ok.pdf", h.texto_simples(["CONTRATO", "CONTRATANTE: ACME COMERCIO DE TESTES LTDA",
                                                            "CNPJ 11.222.333/0001-81"]))
        codigo, out, err = rodar(capsys, "verificar", "--provedor", "local", "--registro", reg.url,
                                 "--limite-paginas", "10", "--json", arvore, ok)
        linhas = [json.loads(l) for l in out.splitlines()]
        assert codigo == 4
        assert linhas[0]["erro"] == f"documento excede o limite de páginas (20 páginas; limite 10): {arvore}"
        assert linhas[1]["erro"] is None and linhas[1]["resultado"] is not None


@pytest.mark.parametrize("texto, esperado", [
    ("2GiB", 2 * 1024 ** 3), ("512MiB", 512 * MiB), ("512M", 512 * MiB), ("1,5G", 1536 * MiB), ("2048", 2048 * MiB),
    ("300 mb", 300 * MiB), ("0", ValueError), ("muito", ValueError), ("-1G", ValueError),
])
def test_memory_limits_read_as_people_write_them(texto, esperado, monkeypatch):
    if esperado is ValueError:
        with pytest.raises(ValueError, match="tamanho inválido"):
            isolation.parse_size(texto)
    else:
        assert isolation.parse_size(texto) == esperado
        monkeypatch.setenv(isolation.ENV_MEMORY, texto)
        monkeypatch.setenv(isolation.ENV_TIME, "30")
        monkeypatch.setenv("SCRIVANE_LIMITE_PAGINAS", "50")
        assert isolation.Limits.from_env() == Limits(memory=esperado, seconds=30.0, pages=50)
