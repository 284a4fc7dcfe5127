"""A network that lies: each way of not reaching the registry is recognised, named and not retried.

Real local sockets play each part: a closed port, a listener whose queue is full (a connection
that never completes), a server that accepts and never answers, a proxy that answers 407 or 502,
a proxy on a closed port, a TLS server whose certificate nobody trusts.  A name that does not
resolve is the one case played by patching the resolver (no query may leave the machine)."""

from __future__ import annotations

import datetime as dt
import json
import socket
import ssl
import sys
import threading
from pathlib import Path

import pytest
import requests
from registro_helpers import porta_livre

from scrivane_contract import cnpj
from scrivane_contract.registro.consultas import DICA_SEM_ACESSO, DISJUNTOR, FALHAS, tipo_de_falha
from scrivane_contract.registro.sessao import criar_sessao_resiliente
from test_cli import env, rodar  # noqa: F401

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tools"))
import gerar_exemplos  # noqa: E402


class Escuta:
    """A listening socket on 127.0.0.1 that answers each connection with ``resposta`` (None: nothing,
    the connection stays open), in a thread; ``conexoes`` counts the accepted connections."""

    def __init__(self, resposta: bytes | None = None, contexto: ssl.SSLContext | None = None) -> None:
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(16)
        self.porta = self.sock.getsockname()[1]
        self.resposta = resposta
        self.contexto = contexto
        self.conexoes = 0
        self.abertas: list[socket.socket] = []
        self._fim = threading.Event()
        threading.Thread(target=self._aceitar, daemon=True).start()

    def _aceitar(self) -> None:
        while not self._fim.is_set():
            try:
                con, _ = self.sock.accept()
            except OSError:
                return
            self.conexoes += 1
            self.abertas.append(con)
            threading.Thread(target=self._atender, args=(con,), daemon=True).start()

    def _atender(self, con: socket.socket) -> None:
        try:
            if self.contexto is not None:
                con = self.contexto.wrap_socket(con, server_side=True)
            con.recv(65536)
            if self.resposta is not None:
                con.sendall(self.resposta)
        except OSError:
            pass

    def fechar(self) -> None:
        self._fim.set()
        self.sock.close()
        for c in self.abertas:
            c.close()


@pytest.fixture
def escutas():
    abertas: list[Escuta] = []

    def abrir(*args, **kw) -> Escuta:
        e = Escuta(*args, **kw)
        abertas.append(e)
        return e

    yield abrir
    for e in abertas:
        e.fechar()


def contexto_autoassinado(pasta: Path) -> ssl.SSLContext:
    """A server context with a self-signed certificate for 127.0.0.1 (as an intercepting proxy shows)."""
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.x509.oid import NameOID

    chave = ec.generate_private_key(ec.SECP256R1())
    nome = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "Proxy Intermediario")])
    agora = dt.datetime.now(dt.timezone.utc)
    import ipaddress

    cert = (x509.CertificateBuilder().subject_name(nome).issuer_name(nome).public_key(chave.public_key())
            .serial_number(x509.random_serial_number()).not_valid_before(agora - dt.timedelta(days=1))
            .not_valid_after(agora + dt.timedelta(days=1))
            .add_extension(x509.SubjectAlternativeName([x509.IPAddress(ipaddress.ip_address("127.0.0.1"))]),
                           critical=False)
            .sign(chave, hashes.SHA256()))
    (pasta / "cert.pem").write_bytes(cert.public_bytes(serialization.Encoding.PEM))
    (pasta / "chave.pem").write_bytes(chave.private_bytes(serialization.Encoding.PEM,
                                                          serialization.PrivateFormat.PKCS8,
                                                          serialization.NoEncryption()))
    contexto = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    contexto.load_cert_chain(pasta / "cert.pem", pasta / "chave.pem")
    return contexto


def fila_cheia() -> tuple[socket.socket, list[socket.socket], int]:
    """A listener that never accepts, its queue filled: a new connection is never completed."""
    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    sock.listen(0)
    porta = sock.getsockname()[1]
    presas = []
    for _ in range(8):  # fill the accept queue (and the SYN queue behind it)
        c = socket.socket()
        c.setblocking(False)
        c.connect_ex(("127.0.0.1", porta))
        presas.append(c)
    return sock, presas, porta


RESPOSTA_407 = (b"HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic realm=\"x\"\r\n"
                b"Content-Length: 0\r\nConnection: close\r\n\r\n")
RESPOSTA_502 = b"HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"
# A name under .invalid: never resolved here, since the proxy is asked to connect to it.
ALVO = "https://registro.invalid/api/cnpj/v1/64628897000185"


def pedir(sessao: requests.Session, url: str, **kw) -> BaseException:
    with pytest.raises(requests.exceptions.RequestException) as e:
        sessao.get(url, timeout=kw.pop("timeout", (2, 2)), **kw)
    return e.value


@pytest.fixture
def disjuntor_limpo(env):  # noqa: F811
    env.setenv("NO_PROXY", "")
    for nome in ("HTTPS_PROXY", "https_proxy", "HTTP_PROXY", "http_proxy", "ALL_PROXY", "all_proxy"):
        env.delenv(nome, raising=False)
    DISJUNTOR.reiniciar()
    yield
    DISJUNTOR.reiniciar()


def sessao_de_teste() -> requests.Session:
    return criar_sessao_resiliente(sem_cache=True, urls={})


def porta_livre_com(digitos: str) -> int:
    """A free port whose number holds ``digitos`` (a status code an error message must not be read from)."""
    for porta in range(1024, 65536):
        if digitos in str(porta) and porta > 10000:
            with socket.socket() as s:
                try:
                    s.bind(("127.0.0.1", porta))
                except OSError:
                    continue
                return porta
    raise AssertionError(f"nenhuma porta livre com {digitos}")


@pytest.mark.parametrize("digitos", ["407", "502"])
def test_a_refused_proxy_is_named_and_tried_once(disjuntor_limpo, digitos):
    sessao = sessao_de_teste()
    # The proxy's port is in the error message: its digits are not the proxy's answer.
    proxy = f"http://127.0.0.1:{porta_livre_com(digitos)}"
    erro = pedir(sessao, ALVO, proxies={"https": proxy})
    assert tipo_de_falha(erro) == "proxy_inacessivel"
    # The breaker refuses the next lookup at once, without a new connection.
    with pytest.raises(requests.exceptions.ConnectionError, match="sem acesso a registro.invalid"):
        sessao.get(ALVO.replace("185", "186"), proxies={"https": proxy}, timeout=2)
    assert DISJUNTOR.tentativas == {"registro.invalid": 1}


@pytest.mark.parametrize("resposta, tipo", [(RESPOSTA_407, "proxy_autenticacao"), (RESPOSTA_502, "proxy_erro")])
def test_a_proxy_that_refuses_the_tunnel_is_named_and_not_retried(disjuntor_limpo, escutas, resposta, tipo):
    proxy = escutas(resposta)
    erro = pedir(sessao_de_teste(), ALVO, proxies={"https": f"http://127.0.0.1:{proxy.porta}"})
    assert tipo_de_falha(erro) == tipo
    assert proxy.conexoes == 1  # no back-off retries
    assert DISJUNTOR.houve_falha()


def test_a_407_to_a_plain_http_request_through_the_proxy_opens_the_breaker(disjuntor_limpo, escutas):
    proxy = escutas(RESPOSTA_407)
    url = "http://registro.invalid/api/cnpj/v1/64628897000185"
    erro = pedir(sessao_de_teste(), url, proxies={"http": f"http://127.0.0.1:{proxy.porta}"})
    assert tipo_de_falha(erro) == "proxy_autenticacao" and DISJUNTOR.houve_falha()


def test_an_untrusted_certificate_is_named_as_tls(disjuntor_limpo, escutas, tmp_path):
    servidor = escutas(b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}", contexto=contexto_autoassinado(tmp_path))
    erro = pedir(sessao_de_teste(), f"https://127.0.0.1:{servidor.porta}/api/cnpj/v1/1")
    assert tipo_de_falha(erro) == "tls"
    assert servidor.conexoes == 1


def test_a_connection_that_never_completes_is_a_connect_time_out_and_opens_the_breaker(disjuntor_limpo):
    sock, presas, porta = fila_cheia()
    try:
        erro = pedir(sessao_de_teste(), f"http://127.0.0.1:{porta}/api/cnpj/v1/1", timeout=(0.5, 2))
    finally:
        for c in presas:
            c.close()
        sock.close()
    assert tipo_de_falha(erro) == "tempo_conexao"
    assert DISJUNTOR.houve_falha() and DISJUNTOR.tentativas == {f"127.0.0.1:{porta}": 1}


def test_a_server_that_accepts_and_never_answers_is_there_and_keeps_its_retries(disjuntor_limpo, escutas):
    servidor = escutas(None)
    erro = pedir(sessao_de_teste(), f"http://127.0.0.1:{servidor.porta}/api/cnpj/v1/1", timeout=(2, 0.3))
    assert "Read timed out" in str(erro) and tipo_de_falha(erro) is None
    assert not DISJUNTOR.houve_falha()


def test_a_name_that_does_not_resolve_is_named_as_dns(disjuntor_limpo, monkeypatch):
    def sem_nome(host, *args, **kw):
        raise socket.gaierror(socket.EAI_NONAME, "Name or service not known")

    monkeypatch.setattr(socket, "getaddrinfo", sem_nome)
    erro = pedir(sessao_de_teste(), ALVO)
    assert tipo_de_falha(erro) == "dns"


@pytest.fixture
def lote(tmp_path):
    modelo = tmp_path / "modelo.pdf"
    gerar_exemplos.escrever_pdf(modelo, gerar_exemplos.APROVADO)
    arquivos = [tmp_path / f"c{i}.pdf" for i in range(6)]
    for arquivo in arquivos:
        arquivo.write_bytes(modelo.read_bytes())
    return arquivos


def test_a_batch_behind_a_refused_proxy_asks_each_host_once_and_gives_the_hint(disjuntor_limpo, env, lote,  # noqa: F811
                                                                                capsys):
    porta = porta_livre()
    env.setenv("HTTPS_PROXY", f"http://127.0.0.1:{porta}")
    for nome, caminho in (("BRASIL_API_URL", "/api/cnpj/v1/{cnpj}"), ("RECEITA_WS_URL", "/v1/cnpj/{cnpj}"),
                          ("CASADOSDADOS_API", "/v2/public/cnpj/search")):
        env.setattr(cnpj, nome, f"https://{nome.lower().replace('_', '-')}.invalid{caminho}")
    codigo, out, err = rodar(capsys, "verificar", "--json", "--provedor", "local", "--sem-cache", *lote)
    objetos = [json.loads(linha) for linha in out.splitlines()]
    assert codigo == 2 and len(objetos) == 6
    assert all(o["avisos"] == [DICA_SEM_ACESSO] for o in objetos)
    assert set(DISJUNTOR.tentativas.values()) == {1}  # one probe per host
    assert err.count(FALHAS["proxy_inacessivel"]) == len(DISJUNTOR.tentativas)
    assert err.count(DICA_SEM_ACESSO) == 1


def test_offline_runs_do_not_say_the_registry_was_unavailable(disjuntor_limpo, env, lote, capsys):  # noqa: F811
    codigo, out, err = rodar(capsys, "verificar", "--offline", "--provedor", "local", lote[0])
    assert codigo == 2
    assert "⚠️ Receita Federal indisponível" not in out
    assert "⚠️ Receita Federal não consultada (modo offline)" in out
