"""``scrivane-contract servir``: the web page and the HTTP API."""

from __future__ import annotations

import argparse
import ipaddress
import os
import re
import sys

from . import SAIDA_FALHA, SAIDA_USO

ENV_REGISTRO = "SCRIVANE_REGISTRO"


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


def _positivo(texto: str) -> int:
    try:
        n = int(texto)
    except ValueError:
        raise argparse.ArgumentTypeError(f"número inteiro esperado: {texto!r}") from None
    if n < 1:
        raise argparse.ArgumentTypeError("deve ser pelo menos 1")
    return n


def _nao_negativo(texto: str) -> int:
    n = _positivo(texto) if texto.strip() != "0" else 0
    return n


def _minutos(texto: str) -> float:
    try:
        n = float(texto.replace(",", "."))
    except ValueError:
        raise argparse.ArgumentTypeError(f"número esperado: {texto!r}") from None
    if n <= 0:
        raise argparse.ArgumentTypeError("a retenção deve ser positiva")
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
    p.add_argument("--trabalhadores", type=_positivo, default=4, metavar="N",
                   help="verificações simultâneas (padrão: 4)")
    p.add_argument("--fila", type=_nao_negativo, default=100, metavar="N",
                   help="verificações aguardando além das em andamento; acima disso, 503 (padrão: 100)")
    p.add_argument("--retencao", type=_minutos, default=60.0, metavar="MINUTOS",
                   help="por quanto tempo os resultados ficam disponíveis (padrão: 60)")
    p.add_argument("--tamanho-maximo", type=_tamanho, default=20 * 1024 * 1024, metavar="TAMANHO",
                   help="tamanho máximo do PDF enviado, ex.: 20MB (padrão: 20MB)")
    p.add_argument("--provedor", choices=("openai", "azure"), default=None,
                   help="provedor do modelo (padrão: decidido pelas variáveis de ambiente)")
    p.add_argument("--modelo", default=os.environ.get("SCRIVANE_MODELO") or "gpt-4o",
                   help="modelo usado na extração (padrão: gpt-4o ou SCRIVANE_MODELO)")
    p.add_argument("--openai-api-key", default=None, help="chave da OpenAI (padrão: OPENAI_API_KEY)")
    p.add_argument("--azure-api-key", default=None, help="chave do Azure OpenAI (padrão: AZURE_API_KEY)")
    p.add_argument("--azure-endpoint", default=None, help="endpoint do Azure OpenAI (padrão: AZURE_API_ENDPOINT)")
    p.add_argument("--azure-deployment", default=None,
                   help="deployment do Azure OpenAI (padrão: AZURE_DEPLOYMENT_NAME)")
    p.add_argument("--registro", default=os.environ.get(ENV_REGISTRO) or None, metavar="URL",
                   help="servidor de cadastro de CNPJ com os mesmos protocolos dos serviços públicos "
                        f"(padrão: {ENV_REGISTRO} ou os serviços públicos)")
    p.set_defaults(executar=executar)


def apontar_registro(url: str) -> None:
    """Points the registry URL constants of ``scrivane_contract.cnpj`` at ``url`` (process-wide)."""
    from scrivane_contract import cnpj

    raiz = url.rstrip("/")
    cnpj.BRASIL_API_URL = raiz + "/api/cnpj/v1/{cnpj}"
    cnpj.RECEITA_WS_URL = raiz + "/v1/cnpj/{cnpj}"
    cnpj.CASADOSDADOS_API = raiz + "/v2/public/cnpj/search"


def _credenciais(args: argparse.Namespace) -> dict:
    return {
        "openai_api_key": args.openai_api_key,
        "provider": args.provedor,
        "azure_api_key": args.azure_api_key,
        "azure_endpoint": args.azure_endpoint,
        "azure_deployment": args.azure_deployment,
        "model": args.modelo,
    }


def _local(host: str) -> bool:
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def executar(args: argparse.Namespace) -> int:
    try:
        import uvicorn

        from scrivane_contract.web.app import ENV_TOKEN, criar_app
    except ImportError as exc:
        print(f"O serviço web precisa do extra 'web': pip install 'scrivane-contract[web]' ({exc.name} ausente).",
              file=sys.stderr)
        return SAIDA_USO
    from scrivane_contract.checker import ContractChecker

    credenciais = _credenciais(args)
    try:
        ContractChecker(**credenciais, verbose=False)  # fails fast on missing keys
    except (ValueError, TypeError) as exc:
        print(str(exc), file=sys.stderr)
        return SAIDA_USO
    if args.registro:
        apontar_registro(args.registro)
    token = os.environ.get(ENV_TOKEN) or None
    if not token and not _local(args.host):
        print(f"Atenção: servindo em {args.host} sem {ENV_TOKEN}; qualquer pessoa na rede poderá usar a API.",
              file=sys.stderr)

    def criar_verificador():
        return ContractChecker(**credenciais, verbose=False).verificar

    app = criar_app(criar_verificador, trabalhadores=args.trabalhadores, limite_fila=args.fila,
                    retencao_minutos=args.retencao, tamanho_maximo=args.tamanho_maximo, token=token)
    endereco = f"[{args.host}]" if ":" in args.host else args.host
    print(f"scrivane-contract: página em http://{endereco}:{args.porta}/ · API em /docs", file=sys.stderr)
    try:
        uvicorn.run(app, host=args.host, port=args.porta, log_level="warning", server_header=False)
    except OSError as exc:  # port in use, address not available
        print(f"Não foi possível servir em {args.host}:{args.porta}: {exc.strerror or exc}", file=sys.stderr)
        return SAIDA_FALHA
    return 0
