"""Three contracts that come out "APROVADO", "REPROVADO" and "PENDENTE" through the real
engine (local OpenAI-compatible server) and the real registry lookups (local registry server).

Each contract's text carries its own company; the model server answers by the
company named in the prompt, the registry server knows the three companies.
Used by the web tests and the web benchmark.
"""

from __future__ import annotations

import os
import signal
import socket
import subprocess
import threading
import time
from contextlib import contextmanager
from pathlib import Path
from typing import Any, Iterator

import pdfs
from openai_server import OpenAIServer, Reply
from registry_server import RegistryServer, empresa_exemplo

ENDERECO = "Av. Paulista, 1000 - Bela Vista, São Paulo/SP, CEP 01310-100"
DADOS = {"tipo_contrato": "Prestação de serviços", "objeto": "Limpeza e conservação predial",
         "data_assinatura": "2026-03-02", "vigencia": "12 meses", "valor": "R$ 12.000,00 mensais",
         "foro": "São Paulo/SP"}

# verdict -> (marker in the text, CNPJ, name written in the contract, registry name, situation, signatory)
CASOS = {
    "APROVADO": ("ALFA", "11222333000181", "ALFA COMERCIO DE TESTES LTDA", "ALFA COMERCIO DE TESTES LTDA",
                 "ATIVA", "Maria da Silva"),
    "REPROVADO": ("BRAVO", "99888777000166", "BRAVO SERVICOS LTDA", "BRAVO SERVICOS LTDA",
                  "BAIXADA", "Pedro Intruso"),
    "PENDENTE": ("CHARLIE", "33444555000199", "CHARLIE CONSULTORIA LTDA", "ZETA PARTICIPACOES SA",
                 "ATIVA", "Maria da Silva"),
}


def texto_contrato(veredito: str) -> str:
    marca, cnpj, nome, _, _, pessoa = CASOS[veredito]
    f = f"{cnpj[:2]}.{cnpj[2:5]}.{cnpj[5:8]}/{cnpj[8:12]}-{cnpj[12:]}"
    return (f"CONTRATO DE PRESTAÇÃO DE SERVIÇOS ({marca})\n"
            f"CONTRATANTE: {nome}, CNPJ {f},\n"
            f"com sede na {ENDERECO}.\n"
            "Objeto: limpeza e conservação predial. Vigência: 12 meses.\n"
            "Valor: R$ 12.000,00 mensais. Foro: São Paulo/SP.\n"
            f"Assinaturas: {pessoa.upper()} (sócia), representante.")


def escrever_contratos(pasta: Path) -> dict[str, Path]:
    """The three contract PDFs in ``pasta``, by expected verdict."""
    pasta.mkdir(parents=True, exist_ok=True)
    return {v: pdfs.write_text_pdf(pasta / f"contrato-{v.lower()}.pdf", [texto_contrato(v)]) for v in CASOS}


def _roteiro(llm: OpenAIServer, delay: float) -> None:
    for veredito, (marca, cnpj, nome, _, _, pessoa) in CASOS.items():
        def tem(pergunta, marca=marca):
            def corresponde(body):
                texto = _texto(body)
                return pergunta in texto and f"({marca})" in texto
            return corresponde

        empresa = {"cnpj": cnpj, "razao_social": nome, "nome_fantasia": None, "endereco": ENDERECO,
                   "papel_no_contrato": "contratante"}
        assinatura = {"nome_signatario": pessoa, "cargo": "Sócia", "cpf": None, "empresa_representada": nome,
                      "cnpj_empresa": cnpj, "tipo_assinatura": "digital"}
        llm.script(tem("TODAS as empresas"), Reply.json({"empresas": [empresa]}, delay=delay))
        llm.script(tem("TODAS as pessoas"), Reply.json({"assinaturas": [assinatura]}, delay=delay))
        llm.script(tem("dados gerais"), Reply.json(DADOS, delay=delay))


def _texto(body) -> str:
    from openai_server import _prompt_text

    return _prompt_text(body)


def _cadastrar(registro: RegistryServer) -> None:
    for _, cnpj, _, razao, situacao, _ in CASOS.values():
        cnpj_, brasil, receita = empresa_exemplo(cnpj, razao)
        brasil["descricao_situacao_cadastral"] = situacao
        receita["situacao"] = situacao
        registro.add_company(cnpj_, brasil, receita)


@contextmanager
def servidores_locais(delay: float = 0.0) -> Iterator[tuple[OpenAIServer, RegistryServer]]:
    """Model and registry servers answering the three contracts; the cnpj module and
    ``OPENAI_BASE_URL`` point at them while the block runs (restored after)."""
    from scrivane_contract import cnpj

    with OpenAIServer() as llm, RegistryServer() as registro:
        _roteiro(llm, delay)
        _cadastrar(registro)
        antes = (cnpj.BRASIL_API_URL, cnpj.RECEITA_WS_URL, cnpj.CASADOSDADOS_API)
        env = {k: os.environ.get(k) for k in ("OPENAI_BASE_URL", "NO_PROXY")}
        cnpj.BRASIL_API_URL, cnpj.RECEITA_WS_URL, cnpj.CASADOSDADOS_API = (
            registro.brasil_api_url, registro.receita_ws_url, registro.casadosdados_url)
        os.environ["OPENAI_BASE_URL"] = llm.base_url
        os.environ["NO_PROXY"] = "127.0.0.1,localhost"
        try:
            yield llm, registro
        finally:
            cnpj.BRASIL_API_URL, cnpj.RECEITA_WS_URL, cnpj.CASADOSDADOS_API = antes
            for k, v in env.items():
                if v is None:
                    os.environ.pop(k, None)
                else:
                    os.environ[k] = v


EXEMPLOS = Path(__file__).resolve().parent.parent / "exemplos"


def exemplos() -> dict[str, Path]:
    """The example contracts of exemplos/, by the verdict each gives with the local provider."""
    return {v: EXEMPLOS / f"contrato_{v.lower()}.pdf" for v in ("APROVADO", "REPROVADO", "PENDENTE")}


@contextmanager
def registro_exemplos() -> Iterator[RegistryServer]:
    """The registry server loaded with exemplos/registro.jsonl; the cnpj module points at it meanwhile."""
    import json

    from scrivane_contract import cnpj

    with RegistryServer() as registro:
        for linha in (EXEMPLOS / "registro.jsonl").read_text(encoding="utf-8").splitlines():
            if linha.strip():
                dados = json.loads(linha)
                registro.add_company(dados["cnpj"], dados, None)
        antes = (cnpj.BRASIL_API_URL, cnpj.RECEITA_WS_URL, cnpj.CASADOSDADOS_API)
        cnpj.BRASIL_API_URL, cnpj.RECEITA_WS_URL, cnpj.CASADOSDADOS_API = (
            registro.brasil_api_url, registro.receita_ws_url, registro.casadosdados_url)
        try:
            yield registro
        finally:
            cnpj.BRASIL_API_URL, cnpj.RECEITA_WS_URL, cnpj.CASADOSDADOS_API = antes


def porta_livre() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def esperar(condicao, limite: float = 60.0, o_que: str = "a condição esperada", log: Path | None = None):
    """Polls ``condicao`` until it gives a true value, which is returned; at the deadline, fails
    loudly with what did not happen (and the end of ``log``)."""
    fim = time.monotonic() + limite
    while time.monotonic() < fim:
        valor = condicao()
        if valor:
            return valor
        time.sleep(0.05)
    detalhe = log.read_text(errors="replace")[-3000:] if log is not None and log.exists() else ""
    raise AssertionError(f"{o_que}: não aconteceu em {limite:.0f} s\n{detalhe}")


def encerrar(*procs: subprocess.Popen, sinal: int = signal.SIGINT, limite: float = 60.0) -> None:
    """Sends ``sinal`` to the processes still running, waits for them; kills those that hang."""
    for p in procs:
        if p.poll() is None:
            p.send_signal(sinal)
    for p in procs:
        try:
            p.wait(limite)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()


def esperar_servico(base: str, processo: subprocess.Popen, limite: float = 60.0) -> None:
    """Waits until the service started as ``processo`` answers ``GET base/saude`` with 200; fails (with the
    process's standard error) when the process ends first, or when ``limite`` seconds pass."""
    import httpx

    fim = time.monotonic() + limite
    while True:
        if processo.poll() is not None:
            erro = processo.stderr.read() if processo.stderr else ""
            raise AssertionError(f"o serviço terminou antes de atender (código {processo.returncode}): {erro}")
        try:
            if httpx.get(base + "/saude", timeout=1).status_code == 200:
                return
        except httpx.TransportError:
            pass
        if time.monotonic() >= fim:
            raise AssertionError(f"o serviço não atendeu {base}/saude em {limite:g} s")
        time.sleep(0.05)


def servir_em_fio(servidor: Any, limite: float = 30.0) -> threading.Thread:
    """Runs a ``uvicorn.Server`` in a daemon thread and returns once it serves; fails when it stops
    first (a port taken, say) or does not start within ``limite`` seconds."""
    fio = threading.Thread(target=servidor.run, daemon=True, name="servidor-teste")
    fio.start()
    fim = time.monotonic() + limite
    while not servidor.started:
        if not fio.is_alive():
            raise AssertionError("o servidor parou antes de atender")
        if time.monotonic() >= fim:
            servidor.should_exit = True
            raise AssertionError(f"o servidor não começou a atender em {limite:g} s")
        fio.join(0.02)
    return fio
