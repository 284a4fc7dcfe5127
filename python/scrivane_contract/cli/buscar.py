"""Comando ``buscar``: uma empresa pelo nome (e, se houver, pelo CNPJ)."""

from __future__ import annotations

import argparse
import os
from typing import Any, Optional

from scrivane_contract.cli import SAIDA_FALHA, SAIDA_REPROVADO, ErroDeUso, aviso, erro
from scrivane_contract.cli.opcoes import (
    ENV_OPENAI_API_KEY,
    adicionar_opcao_registro,
    aplicar_registro,
    json_indentado,
    json_linha,
    valor_registro,
)

EPILOGO = """\
exemplos:
  scrivane-contract buscar "ACME COMERCIO" --uf SP
  scrivane-contract buscar "ACME COMERCIO" --cnpj 11.222.333/0001-81 --json
  scrivane-contract buscar "Padaria Pão Quente" --usar-ia

A chave "_metodo_busca" do registro diz como a empresa foi achada: "cnpj_direto",
"api_nome" ou "ai_web_search".  Sem empresa ativa com o nome, a busca é refeita em
todas as situações cadastrais (baixada, inapta, suspensa), com um aviso.

códigos de saída: 0 encontrada; 1 não encontrada; 3 erro de uso; 4 Receita Federal
indisponível (nada achado e alguma consulta ficou sem resposta).
"""


# The 27 federative units.
UFS = frozenset("AC AL AM AP BA CE DF ES GO MA MG MS MT PA PB PE PI PR RJ RN RO RR RS SC SE SP TO".split())

# Words that do not tell one company from another.
_GENERICAS = frozenset("ltda limitada sa s/a s.a me epp eireli cia companhia e de da do das dos".split())


def _palavras(texto: str) -> list[str]:
    import re
    import unicodedata

    sem_acento = "".join(c for c in unicodedata.normalize("NFD", texto.casefold())
                         if unicodedata.category(c) != "Mn")
    return [p for p in re.findall(r"\w+", sem_acento) if p not in _GENERICAS]


def nomes_conferem(nome: str, dados: dict) -> bool:
    """Se ``nome`` é o da empresa de ``dados`` (razão social ou nome fantasia), sem acentos,
    caixa e palavras como LTDA; tolera pequenas diferenças de grafia."""
    from difflib import SequenceMatcher

    procuradas = _palavras(nome)
    if not procuradas:
        return True
    for campo in ("razao_social", "nome_fantasia", "nome", "fantasia"):
        palavras = _palavras(str(dados.get(campo) or ""))
        if not palavras:
            continue
        if all(any(SequenceMatcher(None, p, q).ratio() >= 0.8 for q in palavras) for p in procuradas):
            return True
        if SequenceMatcher(None, " ".join(procuradas), " ".join(palavras)).ratio() >= 0.8:
            return True
    return False


def configurar(subparsers: Any) -> None:
    parser = subparsers.add_parser(
        "buscar",
        help="busca uma empresa pelo nome (e pelo CNPJ, se dado)",
        description=(
            "Busca a empresa por todas as estratégias, nesta ordem: o CNPJ (se dado), o nome "
            "na Casa dos Dados (empresas ativas), com --usar-ia uma busca na web por IA e, por "
            "fim, o nome entre as empresas de qualquer situação (baixadas, inaptas...). "
            "Imprime o registro da Receita Federal como JSON indentado."
        ),
        epilog=EPILOGO,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("nome", metavar="NOME", help="nome ou razão social da empresa")
    parser.add_argument("--uf", metavar="UF", help="sigla do estado, para filtrar a busca por nome")
    parser.add_argument("--cnpj", metavar="CNPJ", help="CNPJ, tentado antes do nome")
    parser.add_argument(
        "--usar-ia", "--usar-ai",
        dest="usar_ai",
        action="store_true",
        help=f"se nada for achado, busca o CNPJ na web com um modelo de IA da OpenAI (requer {ENV_OPENAI_API_KEY}; "
             "--usar-ai também vale)",
    )
    parser.add_argument("--json", action="store_true", help="o resultado em uma linha JSON")
    adicionar_opcao_registro(parser)
    parser.set_defaults(executar=executar)


def executar(args: argparse.Namespace) -> int:
    chave = os.environ.get(ENV_OPENAI_API_KEY) or None
    if args.usar_ai and not chave:
        raise ErroDeUso(f"--usar-ia precisa da chave da OpenAI: defina {ENV_OPENAI_API_KEY}")
    if not args.nome.strip():
        raise ErroDeUso("o nome da empresa está vazio")
    if args.uf is not None:
        uf = args.uf.strip().upper()
        if uf not in UFS:
            raise ErroDeUso(f"UF inválida: {args.uf!r} (use a sigla de um estado, por exemplo SP, RJ ou MG)")
        args.uf = uf
    aplicar_registro(valor_registro(args), args)
    from scrivane_contract import cnpj as modulo

    avisos: list[str] = []
    if hasattr(modulo, "consultar_cnpj_detalhado") and hasattr(modulo, "buscar_cnpj_por_nome_detalhado"):
        dados, indisponivel = _buscar_detalhado(modulo, args.cnpj or None, args.nome, args.uf or None,
                                                args.usar_ai, chave)
        # With --offline a local miss reads as unanswered; the local registry may still know a closed one.
        if dados is None and (not indisponivel or getattr(args, "offline", False)):
            dados, indisponivel = _buscar_qualquer_situacao(modulo, args.nome, args.uf or None)
        # The local registry answers a search of active companies with one in another
        # situation when it holds no active one: said as the search of every situation says it.
        situacao = str((dados or {}).get("descricao_situacao_cadastral") or (dados or {}).get("situacao") or "")
        if dados is not None and dados.get("_metodo_busca") == "api_nome" and "ATIVA" not in situacao.upper():
            avisos.append(f"nenhuma empresa ativa com esse nome; encontrada {dados.get('razao_social')} "
                          f"com situação cadastral {situacao or 'não ativa'}")
    else:
        dados, indisponivel = modulo.buscar_empresa_completo(
            cnpj=args.cnpj or None,
            nome=args.nome,
            uf=args.uf or None,
            usar_ai_search=args.usar_ai,
            openai_api_key=chave,
        ), False
    if dados is None:
        from scrivane_contract.cli.cnpj import dica_sem_acesso, motivo_indisponivel

        motivo = motivo_indisponivel(modulo) if indisponivel else None
        if motivo:
            mensagem = f"empresa não encontrada: {args.nome} ({motivo})"
        elif indisponivel:
            mensagem = f"empresa não encontrada: {args.nome} (Receita Federal indisponível; tente mais tarde)"
        else:
            mensagem = f"empresa não encontrada: {args.nome}"
        erro(mensagem)
        if indisponivel:
            dica_sem_acesso()
        if args.json:
            print(json_linha({"nome": args.nome, "erro": mensagem}), flush=True)
        return SAIDA_FALHA if indisponivel else SAIDA_REPROVADO
    if dados.get("_metodo_busca") == "cnpj_direto" and not nomes_conferem(args.nome, dados):
        avisos.append(f"o CNPJ {dados.get('cnpj')} é de {dados.get('razao_social')}, cujo nome não confere "
                      f"com {args.nome!r}")
    for texto in avisos:
        aviso(texto)
    if args.json:
        objeto = {"nome": args.nome, "dados": dados}
        if avisos:
            objeto["aviso"] = "; ".join(avisos)
        print(json_linha(objeto), flush=True)
    else:
        print(json_indentado(dados), flush=True)
    return 0


def _buscar_detalhado(modulo: Any, cnpj: Optional[str], nome: str, uf: Optional[str], usar_ai: bool,
                      chave: Optional[str]) -> tuple[Optional[dict], bool]:
    """``buscar_empresa_completo`` step by step through the detailed lookups.

    Same strategies, requests and marks, in the same order; it also tells
    whether a lookup that found nothing had no answer from the registry, so
    that "not found" and "registry unavailable" exit differently.
    """
    indisponivel = False
    if cnpj:
        limpo = modulo.limpar_cnpj(cnpj)
        if modulo.validar_cnpj(limpo):
            dados, situacao = modulo.consultar_cnpj_detalhado(limpo)
            if dados is not None:
                dados["_metodo_busca"] = "cnpj_direto"
                return dados, False
            indisponivel |= situacao == "indisponivel"
    if nome:
        dados, situacao = modulo.buscar_cnpj_por_nome_detalhado(nome, uf)
        if dados is not None:
            dados["_metodo_busca"] = "api_nome"
            return dados, False
        indisponivel |= situacao == "indisponivel"
        if usar_ai and chave:
            try:
                from scrivane_contract.ai_search import buscar_cnpj_via_ai

                achado = buscar_cnpj_via_ai(nome, chave)
                if achado:
                    dados, situacao = modulo.consultar_cnpj_detalhado(achado)
                    if dados is not None:
                        dados["_metodo_busca"] = "ai_web_search"
                        dados["_cnpj_buscado_por_ai"] = True
                        return dados, False
                    indisponivel |= situacao == "indisponivel"
            except ImportError:
                pass
    return None, indisponivel


def _buscar_qualquer_situacao(modulo: Any, nome: str, uf: Optional[str]) -> tuple[Optional[dict], bool]:
    """The name search again, without the "active only" filter: a closed company is what a user
    most often wants to learn about.  Same service, same request shape, one filter less."""
    if len(nome) < 3:
        return None, False
    consulta: dict[str, Any] = {"termo": [nome]}
    if uf:
        consulta["uf"] = [uf]
    corpo = {"query": consulta, "range_query": {}, "extras": {}, "page": 1}
    try:
        resposta = modulo.requests.post(modulo.CASADOSDADOS_API, json=corpo, timeout=15,
                                        headers={"Content-Type": "application/json", "Accept": "application/json"})
        if resposta.status_code != 200:
            return None, True
        achados = ((resposta.json() or {}).get("data") or {}).get("cnpj") or []
        numero = achados[0].get("cnpj") if achados and isinstance(achados[0], dict) else None
    except Exception:  # network, a body that is not JSON
        return None, True
    if not numero:
        return None, False
    dados, situacao = modulo.consultar_cnpj_detalhado(str(numero))
    if dados is None:
        return None, situacao == "indisponivel"
    dados["busca_por_nome"] = True
    dados["termo_busca"] = nome
    dados["_metodo_busca"] = "api_nome"
    return dados, False
