"""``scrivane-contract servir``: the web page and the HTTP API."""

from __future__ import annotations

import argparse
import ipaddress
import os
import re
import signal
import sys
import threading

from . import SAIDA_FALHA, ErroDeUso, erro, inteiro_positivo
from . import assinaturas as digitais_cli
from .opcoes import (
    abrir_historico,
    adicionar_opcao_registro,
    adicionar_opcoes_historico,
    adicionar_opcoes_leitura,
    adicionar_opcoes_motor,
    aplicar_leitura,
    aplicar_registro,
    argumentos_checker,
    mostrar_avisos,
    valor_registro,
    verificar_credenciais,
)


def _tamanho(texto: str) -> int:
    """Bytes from "20", "20MB", "512KB" or "1048576B" (a bare number is in MB)."""
    m = re.fullmatch(r"\s*(\d+(?:[.,]\d+)?)\s*(b|kb|k|mb|m|gb|g)?\s*", texto, re.IGNORECASE)
    if not m:
        raise argparse.ArgumentTypeError(f"tamanho inválido: {texto!r} (ex.: 20MB, 512KB)")
    numero = float(m.group(1).replace(",", "."))
    unidade = (m.group(2) or "mb").lower()[0]
    fator = {"b": 1, "k": 1024, "m": 1024 ** 2, "g": 1024 ** 3}[unidade]
    valor = int(numero * fator)
    if valor < 1:
        raise argparse.ArgumentTypeError("o tamanho máximo deve ser positivo")
    return valor


def _nao_negativo(texto: str) -> int:
    return 0 if texto.strip() == "0" else inteiro_positivo(texto)


def _minutos(texto: str) -> float:
    try:
        n = float(texto.replace(",", "."))
    except ValueError:
        raise argparse.ArgumentTypeError(f"número esperado: {texto!r}") from None
    if n <= 0:
        raise argparse.ArgumentTypeError("a retenção deve ser positiva")
    return n


def _segundos_positivos(texto: str) -> float:
    try:
        n = float(texto.replace(",", "."))
    except ValueError:
        raise argparse.ArgumentTypeError(f"número esperado: {texto!r}") from None
    if n <= 0:
        raise argparse.ArgumentTypeError("o tempo deve ser positivo")
    return n


def configurar(subparsers: argparse._SubParsersAction) -> None:
    p = subparsers.add_parser(
        "servir",
        help="inicia a página web e a API HTTP de verificação",
        description="Inicia um serviço web com uma página para enviar contratos e uma API JSON "
                    "(documentação em /docs). Com SCRIVANE_API_TOKEN definido, a API exige "
                    "'Authorization: Bearer <token>'.",
    )
    p.add_argument("--host", default="127.0.0.1", help="endereço de escuta (padrão: 127.0.0.1)")
    p.add_argument("--porta", type=int, default=8000, help="porta de escuta (padrão: 8000)")
    p.add_argument("--trabalhadores", type=inteiro_positivo, default=4, metavar="N",
                   help="verificações simultâneas (padrão: 4)")
    p.add_argument("--fila", type=_nao_negativo, default=100, metavar="N",
                   help="verificações aguardando além das em andamento; acima disso, 503 (padrão: 100)")
    p.add_argument("--retencao", type=_minutos, default=60.0, metavar="MINUTOS",
                   help="por quanto tempo os resultados ficam disponíveis (padrão: 60)")
    p.add_argument("--tamanho-maximo", type=_tamanho, default=20 * 1024 * 1024, metavar="TAMANHO",
                   help="tamanho máximo do PDF enviado, ex.: 20MB (padrão: 20MB)")
    p.add_argument("--nome-servidor", action="append", default=[], metavar="NOME",
                   help="outro nome pelo qual o serviço é acessado (cabeçalho Host), além de 127.0.0.1, localhost "
                        "e o de --host; pode ser repetida. Pedidos com outro nome recebem 421")
    p.add_argument("--tempo-envio", type=_segundos_positivos, default=120.0, metavar="SEGUNDOS",
                   help="tempo para o arquivo de um envio chegar; depois, 408 (padrão: 120). Os cabeçalhos de "
                        "cada pedido têm 10 segundos")
    p.add_argument("--envios-por-cliente", type=_nao_negativo, default=8, metavar="N",
                   help="envios simultâneos de um mesmo endereço; acima disso, 429 (padrão: 8; 0: sem limite)")
    adicionar_opcoes_motor(p)
    adicionar_opcoes_leitura(p)
    adicionar_opcao_registro(p)
    digitais_cli.adicionar_opcoes(p, exigir=False)
    grupo = p.add_argument_group(
        "histórico e fila", "Os envios (até o fim de cada verificação) e os resultados ficam no histórico: "
                            "um reinício não perde nada. Com o histórico em PostgreSQL, as verificações vão para "
                            "uma fila compartilhada: vários 'servir' e 'trabalhador' em várias máquinas a atendem "
                            "(veja 'scrivane-contract fila').")
    adicionar_opcoes_historico(grupo)
    grupo.add_argument("--sem-trabalhadores", action="store_true",
                       help="só a página e a API; as verificações ficam para 'scrivane-contract trabalhador' "
                            "(precisa do histórico em PostgreSQL)")
    p.set_defaults(executar=executar)


def _local(host: str) -> bool:
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def nomes_aceitos(host: str, extras: list[str]) -> list[str]:
    """The Host names the service answers to: the local ones, the listening address, the extra names
    (and this machine's name when listening on every interface)."""
    from scrivane_contract.web.app import HOSTS_LOCAIS

    nomes = [*HOSTS_LOCAIS, host, *extras]
    if host in ("0.0.0.0", "::", ""):
        import socket

        nomes += [socket.gethostname(), socket.getfqdn()]
    return list(dict.fromkeys(n.strip().lower() for n in nomes if n and n.strip()))


class _Encerrado(Exception):
    """SIGTERM arrived: the service stops as it does on Ctrl-C."""


def _ao_sigterm(_sinal: int, _quadro: object) -> None:
    raise _Encerrado


def executar(args: argparse.Namespace) -> int:
    opcoes_assinaturas = digitais_cli.opcoes(args)
    kwargs = argumentos_checker(args)
    kwargs["verbose"] = False  # workers print nothing; results go through the API
    verificar_credenciais(kwargs)
    registro = aplicar_registro(valor_registro(args), args)
    aplicar_leitura(args)
    try:
        import uvicorn

        from scrivane_contract.web.app import ENV_TOKEN, criar_app
    except ImportError as exc:
        raise ErroDeUso(f"o serviço web precisa do extra 'web': pip install 'scrivane-contract[web]' "
                        f"({exc.name} ausente)") from None
    from scrivane_contract.checker import ContractChecker

    checker = ContractChecker(**kwargs)  # fails now, not at the first upload
    if getattr(checker, "provider", None) != "local":
        import openai  # noqa: F401  (the engine's model client, loaded now rather than by the first upload)
    mostrar_avisos()
    if args.sem_trabalhadores and args.sem_historico:
        raise ErroDeUso("--sem-trabalhadores precisa do histórico (a fila fica nele): tire --sem-historico")
    from .registro import porta_ocupada

    # Before the history, the queue and its workers start: a busy port stops here, in a sentence.
    ocupada = porta_ocupada(args.host, args.porta)
    if ocupada:
        erro(ocupada)
        return SAIDA_FALHA
    historico = abrir_historico(args, obrigatorio=bool(args.sem_trabalhadores))
    if args.sem_trabalhadores and historico is not None and historico.sqlite:
        historico.fechar()
        raise ErroDeUso("--sem-trabalhadores precisa do histórico em PostgreSQL (--historico postgresql://...): "
                        "num arquivo SQLite só este processo verifica")
    token = os.environ.get(ENV_TOKEN) or None
    if not token and not _local(args.host):
        print(f"scrivane-contract: aviso: servindo em {args.host} sem {ENV_TOKEN}; "
              "qualquer pessoa na rede poderá usar a API. Defina um token antes de expor o serviço.",
              file=sys.stderr)

    def criar_verificador():
        return ContractChecker(**kwargs).verificar

    app = criar_app(criar_verificador, trabalhadores=args.trabalhadores, limite_fila=args.fila,
                    retencao_minutos=args.retencao, tamanho_maximo=args.tamanho_maximo, token=token,
                    conferir_assinaturas=opcoes_assinaturas is not None, **(opcoes_assinaturas or {}),
                    informacoes={"provedor": checker.provider or kwargs.get("provider"),
                                 "modelo": None if checker.provider == "local" else checker.model,
                                 "registro": registro},
                    historico=historico, com_trabalhadores=not args.sem_trabalhadores,
                    ignorar_assinaturas=bool(getattr(args, "ignorar_assinaturas", False)),
                    hosts=nomes_aceitos(args.host, args.nome_servidor), tempo_envio=args.tempo_envio,
                    envios_por_cliente=args.envios_por_cliente)
    endereco = f"[{args.host}]" if ":" in args.host else args.host
    print(f"scrivane-contract: página em http://{endereco}:{args.porta}/ · API em /docs", file=sys.stderr)
    if historico is not None:
        print(f"scrivane-contract: histórico{'' if historico.sqlite else ' e fila'} em {historico.descricao}"
              + (" (sem trabalhadores neste processo)" if args.sem_trabalhadores else ""), file=sys.stderr)
    from scrivane_contract.web.protocolo import protocolo_com_prazo

    # A service manager stops us with SIGTERM: uvicorn stops serving, the queue closes and its
    # temporary folder goes, then uvicorn raises the signal again, which lands here.
    principal = threading.current_thread() is threading.main_thread()
    anterior = signal.signal(signal.SIGTERM, _ao_sigterm) if principal else None
    try:
        uvicorn.run(app, host=args.host, port=args.porta, log_level="warning", server_header=False,
                    http=protocolo_com_prazo(), use_colors=False)
    except _Encerrado:
        print("scrivane-contract: encerrado (SIGTERM).", file=sys.stderr, flush=True)
    except OSError as exc:  # port in use, address not available
        erro(f"não foi possível servir em {args.host}:{args.porta}: {exc.strerror or exc}")
        return SAIDA_FALHA
    finally:
        if principal:
            signal.signal(signal.SIGTERM, anterior)
    return 0
