"""The local registry against bad luck and bad actors: incomplete releases, endless lines,
huge request bodies and forged log lines."""

from __future__ import annotations

import json
import signal
import socket
import sqlite3
import zipfile
from pathlib import Path

import pytest

from registro_helpers import comando, esperar_porta, gerar, iniciar, porta_livre, sem_proxy
from scrivane_contract.registro import RegistroLocal
from test_hardening import describe, run_python


@pytest.fixture(scope="module")
def release(tmp_path_factory):
    pasta = tmp_path_factory.mktemp("release")
    man = gerar(pasta, 200, seed=21, sujeira=False)
    return pasta, man


@pytest.fixture(scope="module")
def importado(release, tmp_path_factory):
    pasta, _ = release
    banco = tmp_path_factory.mktemp("banco") / "registro.sqlite3"
    r = comando("registro", "importar", str(pasta), "--banco", str(banco))
    assert r.returncode == 0, r.stderr
    return banco


def copiar(origem: Path, destino: Path, sem: tuple[str, ...] = ()) -> Path:
    destino.mkdir()
    for p in origem.iterdir():
        if p.name not in sem:
            (destino / p.name).write_bytes(p.read_bytes())
    return destino


def meta(banco: Path) -> dict[str, str]:
    con = sqlite3.connect(banco)
    try:
        return dict(con.execute("SELECT chave, valor FROM meta"))
    finally:
        con.close()


class TestIncompleteRelease:
    @pytest.mark.parametrize("estrago", ["ausente", "ilegivel"])
    def test_a_missing_or_unreadable_file_stops_the_import_and_keeps_the_database(self, release, importado,
                                                                                   tmp_path, estrago):
        pasta, _ = release
        if estrago == "ausente":
            copia = copiar(pasta, tmp_path / "rel", sem=("Socios3.zip", "Estabelecimentos7.zip"))
        else:
            copia = copiar(pasta, tmp_path / "rel")
            (copia / "Socios3.zip").write_bytes(b"isto nao e um zip")
        antes = RegistroLocal(importado).info()
        r = comando("registro", "importar", str(copia), "--banco", str(importado))
        assert r.returncode == 4
        assert "Socios3.zip" in r.stderr and "--parcial" in r.stderr and "banco anterior ficou intacto" in r.stderr
        if estrago == "ausente":
            assert "faltam 2 arquivos da publicação" in r.stderr
        assert RegistroLocal(importado).info() == antes
        assert meta(importado)["parcial"] == "0"
        assert not [p for p in importado.parent.iterdir() if ".importando-" in p.name]

    def test_parcial_imports_what_is_there_and_marks_the_database(self, release, tmp_path):
        pasta, man = release
        copia = copiar(pasta, tmp_path / "rel", sem=("Socios3.zip",))
        (copia / "Empresas2.zip").write_bytes(b"PK\x03\x04 truncado")
        banco = tmp_path / "parcial.sqlite3"
        r = comando("registro", "importar", str(copia), "--banco", str(banco), "--parcial")
        assert r.returncode == 0, r.stderr
        assert "banco parcial; faltam 2 arquivos da publicação" in r.stdout
        m = meta(banco)
        assert m["parcial"] == "1" and sorted(json.loads(m["arquivos_faltando"])) == ["Empresas2.zip", "Socios3.zip"]
        info = RegistroLocal(banco).info()
        assert info["linhas"]["estabelecimentos"] == man.linhas["estabelecimentos"]
        assert 0 < info["linhas"]["socios"] < man.linhas["socios"]


class TestLongLines:
    def test_a_line_past_one_mib_is_counted_as_malformed_and_the_rest_loads(self, release, tmp_path):
        pasta, man = release
        copia = copiar(pasta, tmp_path / "rel")
        alvo = copia / "Paises.zip"
        with zipfile.ZipFile(alvo) as z:
            (info,) = z.infolist()
            dados = z.read(info)
        linhas = dados.rstrip(b"\n").split(b"\n")
        longa = b'"' + b"9" * (3 << 20) + b'";"X"'
        novo = b"\n".join(linhas[:2] + [longa] + linhas[2:]) + b"\n" + b'"' + b"8" * (2 << 20)  # no final line end
        with zipfile.ZipFile(alvo, "w", zipfile.ZIP_DEFLATED) as z:
            z.writestr(info.filename, novo)
        banco = tmp_path / "registro.sqlite3"
        r = comando("registro", "importar", str(copia), "--banco", str(banco))
        assert r.returncode == 0, r.stderr
        log = Path(str(banco) + ".importacao.log").read_text(encoding="utf-8").splitlines()
        longas = [l for l in log if "linha longa demais" in l]
        assert [l.split(":")[:2] for l in longas] == [["Paises.zip", "3"], ["Paises.zip", str(len(linhas) + 2)]]
        assert all(len(l) < 400 for l in longas)  # only the line's start is reported
        assert RegistroLocal(banco).info()["linhas"]["paises"] == man.linhas["paises"]

    def test_an_endless_line_is_never_held_in_memory(self):
        # 256 MiB without a line end, fed as the importer feeds it (1 MiB blocks).
        rc, out, err = run_python("""
            import resource, sqlite3, tempfile, os
            from scrivane_contract import _registro
            from scrivane_contract.registro.banco import ESQUEMA
            caminho = os.path.join(tempfile.mkdtemp(), "b.sqlite3")
            con = sqlite3.connect(caminho); con.executescript(ESQUEMA); con.close()
            carga = _registro.abrir(caminho)
            _registro.iniciar(carga, "Paises")
            _registro.alimentar(carga, b'"1";"BRASIL"\\n')
            bloco = b"x" * (1 << 20)
            antes = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
            for _ in range(256):
                _registro.alimentar(carga, bloco)
            _registro.alimentar(carga, b'\\n"2";"ARGENTINA"\\n')
            ok, ruins, detalhes = _registro.terminar(carga)
            _registro.fechar(carga)
            depois = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
            print((depois - antes) / 1024, ok, ruins, detalhes[0][0], detalhes[0][1], len(detalhes[0][2]))
        """)
        assert rc == 0, f"{describe(rc)}\n{err[-2000:]}"
        crescimento, ok, ruins, linha, *motivo, trecho = out.split()
        assert float(crescimento) < 16 and (ok, ruins, linha) == ("2", "1", "2")
        assert " ".join(motivo) == "linha longa demais (mais de 1 MiB)" and int(trecho) == 160


@pytest.fixture(scope="module")
def servidor(importado):
    porta = porta_livre()
    proc = iniciar("registro", "servir", "--banco", str(importado), "--porta", str(porta), env=sem_proxy())
    try:
        esperar_porta(porta, proc)
        yield proc, porta
    finally:
        if proc.poll() is None:
            proc.kill()
        proc.wait()


def pedir(porta: int, bruto: bytes) -> bytes:
    with socket.create_connection(("127.0.0.1", porta), timeout=10) as s:
        s.sendall(bruto)
        resposta = b""
        while b"\r\n\r\n" not in resposta:
            pedaco = s.recv(65536)
            if not pedaco:
                break
            resposta += pedaco
        return resposta


class TestRegistryServer:
    def test_a_huge_body_is_refused_before_it_is_read(self, servidor):
        _, porta = servidor
        # 300 MiB announced, a few bytes sent: the answer comes without waiting for the rest.
        resposta = pedir(porta, b"POST /v5/public/v1/search HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n"
                                b"Content-Length: 314572800\r\n\r\n{\"query\":")
        assert resposta.startswith(b"HTTP/1.1 413")

    def test_a_chunked_body_past_the_limit_is_refused(self, servidor):
        _, porta = servidor
        pedaco = b"x" * 65536
        corpo = b"".join(b"%x\r\n" % len(pedaco) + pedaco + b"\r\n" for _ in range(3))
        resposta = pedir(porta, b"POST /v5/public/v1/search HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n"
                         + corpo)
        assert resposta.startswith(b"HTTP/1.1 413")

    def test_request_lines_are_escaped_in_the_log(self, servidor):
        proc, porta = servidor
        alvo = "/api/cnpj/v1/1%0a2026-01-01%2000:00:00%20forjada%00%e2%80%ae%22"
        resposta = pedir(porta, f"GET {alvo} HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n".encode())
        assert resposta.startswith(b"HTTP/1.1 4")
        proc.send_signal(signal.SIGINT)
        out, _ = proc.communicate(timeout=20)
        linhas = [l for l in out.splitlines() if "forjada" in l]
        assert len(linhas) == 1
        assert '"GET /api/cnpj/v1/1\\x0a2026-01-01 00:00:00 forjada\\x00\\u202e\\" HTTP/1.1"' in linhas[0]
