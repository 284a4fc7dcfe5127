"""Assinaturas digitais de um contrato, cruzadas com o que a verificação achou.

Cada assinatura digital do PDF (lida por ``scrivane.signatures``) é comparada
com os signatários extraídos do contrato (pelo nome, com a mesma regra de
comparação de nomes do verificador) e, quando o certificado é ICP-Brasil e traz
o CPF, com o quadro de sócios (QSA) das empresas do contrato: um sócio (ou
representante legal) de mesmo nome cujo CPF mascarado ``***XXXXXX**`` mostra os
mesmos seis dígitos que as posições 4 a 9 do CPF do certificado tem a
"identidade confirmada"; o mesmo nome com outros dígitos é sinalizado.

    from scrivane_contract.assinaturas_digitais import verificar_assinaturas_digitais

    resultado = verificar_contrato("contrato.pdf")
    digitais = verificar_assinaturas_digitais("contrato.pdf", resultado)
    digitais["assinaturas"][0]["identidade"], digitais["alertas"]

O ``ResultadoVerificacao`` e o relatório impresso não mudam: este é um
resultado à parte.
"""

from __future__ import annotations

import os
import re
import unicodedata
from typing import Any, Callable, Iterable, Optional

__all__ = [
    "IDENTIDADE_CONFIRMADA",
    "IDENTIDADE_DIVERGENTE",
    "IDENTIDADE_SEM_CPF",
    "IDENTIDADE_FORA_DO_QSA",
    "IDENTIDADE_NAO_VERIFICADA",
    "normalizar_nome",
    "comparar_nomes",
    "digitos_visiveis",
    "consultar_cpfs_socios",
    "completar_cpfs_socios",
    "cruzar_assinaturas",
    "verificar_assinaturas_digitais",
]

IDENTIDADE_CONFIRMADA = "identidade confirmada"
IDENTIDADE_DIVERGENTE = "CPF divergente do QSA"
IDENTIDADE_SEM_CPF = "consta no QSA, sem CPF para comparar"
IDENTIDADE_FORA_DO_QSA = "não consta no QSA"
IDENTIDADE_NAO_VERIFICADA = "não verificada"

ConsultaSocios = Callable[[str], Optional[list[dict[str, Any]]]]


# --------------------------------------------------------------------------
# Names: the checker's rule (NFD, nonspacing marks dropped, lower case, outer
# blanks stripped; containment, else two shared words of 3+ characters).


def normalizar_nome(texto: str) -> str:
    """Forma de comparação de um nome: sem acentos, minúsculas, sem brancos nas pontas."""
    if not texto:
        return ""
    sem_marcas = "".join(c for c in unicodedata.normalize("NFD", texto) if unicodedata.category(c) != "Mn")
    return sem_marcas.lower().strip()


def comparar_nomes(nome1: str, nome2: str) -> bool:
    """Os dois nomes denotam a mesma parte (a regra do verificador de contratos)."""
    n1, n2 = normalizar_nome(nome1), normalizar_nome(nome2)
    if not n1 or not n2:
        return False
    if n1 in n2 or n2 in n1:
        return True
    palavras1 = {p for p in n1.split() if len(p) > 2}
    palavras2 = {p for p in n2.split() if len(p) > 2}
    return len(palavras1 & palavras2) >= 2


# --------------------------------------------------------------------------
# CPFs


def digitos_visiveis(cpf: Any) -> Optional[str]:
    """Os seis dígitos que o CPF mascarado ``***XXXXXX**`` mostra (posições 4 a 9).

    Aceita também um CPF completo (com ou sem pontuação).  ``None`` quando não
    há CPF: vazio, ``***000000**`` (sem representante), um CNPJ.
    """
    if not isinstance(cpf, str):
        return None
    texto = cpf.strip()
    mascarado = re.fullmatch(r"\*{3}\.?(\d{3})\.?(\d{3})-?\*{2}", texto)
    if mascarado:
        digitos = mascarado.group(1) + mascarado.group(2)
    else:
        so_digitos = re.sub(r"[.\-\s]", "", texto)
        if not re.fullmatch(r"\d{11}", so_digitos):
            return None
        digitos = so_digitos[3:9]
    return None if digitos == "000000" else digitos


def _mascarar(cpf: str) -> str:
    return f"***{cpf[3:9]}**"


def consultar_cpfs_socios(cnpj: str) -> Optional[list[dict[str, Any]]]:
    """O QSA da empresa como a BrasilAPI o publica, com os CPFs mascarados dos sócios.

    O registro normalizado (``consultar_cnpj``) não guarda o CPF do sócio; esta
    consulta o busca pelo mesmo caminho que ``scrivane_contract.cnpj`` usa (o
    nome ``requests`` do módulo e ``BRASIL_API_URL``, que ``--registro``
    redireciona para o registro local, um banco SQLite ou um servidor).  O
    CNPJ pode ser alfanumérico.  ``None`` em qualquer falha.
    """
    from scrivane_contract import cnpj as cnpj_mod

    limpo = _cnpj_limpo(cnpj)
    if len(limpo) != 14:
        return None
    try:
        # The same path as the lookups: the cnpj module's ``requests`` name
        # (the local registry answers through it) and its URL.
        resposta = cnpj_mod.requests.get(cnpj_mod.BRASIL_API_URL.replace("{cnpj}", limpo),
                                         timeout=cnpj_mod.REQUEST_TIMEOUT)
        if resposta.status_code != 200:
            return None
        qsa = resposta.json().get("qsa")
        return [s for s in qsa if isinstance(s, dict)] if isinstance(qsa, list) else None
    except Exception:
        return None


def completar_cpfs_socios(empresas: Iterable[dict[str, Any]], consultar: ConsultaSocios = consultar_cpfs_socios) -> None:
    """Acrescenta ``cnpj_cpf_do_socio`` aos sócios que não o têm, uma consulta por empresa.

    Sócios são casados pelo nome exato (normalizado); o representante legal
    ganha ``cpf_representante`` quando está vazio.
    """
    for empresa in empresas:
        socios = empresa.get("socios") or []
        if not socios or all(digitos_visiveis(s.get("cnpj_cpf_do_socio")) for s in socios if isinstance(s, dict)):
            continue
        qsa = consultar(str(empresa.get("cnpj") or ""))
        if not qsa:
            continue
        por_nome = {normalizar_nome(str(s.get("nome_socio") or "")): s for s in qsa}
        for socio in socios:
            if not isinstance(socio, dict):
                continue
            fonte = por_nome.get(normalizar_nome(str(socio.get("nome") or "")))
            if fonte is None:
                continue
            socio.setdefault("cnpj_cpf_do_socio", fonte.get("cnpj_cpf_do_socio") or "")
            if not socio.get("cpf_representante"):
                socio["cpf_representante"] = fonte.get("cpf_representante_legal") or ""


# --------------------------------------------------------------------------
# The cross-check


def _nome_empresa(empresa: dict[str, Any]) -> str:
    for chave in ("razao_social_receita", "razao_social", "razao_social_contrato", "cnpj"):
        if empresa.get(chave):
            return str(empresa[chave])
    return "(empresa sem nome)"


def _cnpj_limpo(valor: Any) -> str:
    """The 14 characters of a CNPJ, digits or the alphanumeric form, without the mask."""
    return re.sub(r"[^0-9A-Za-z]", "", valor).upper() if isinstance(valor, str) else ""


def _candidatos_qsa(pessoa: str, empresas: list[dict[str, Any]]) -> list[dict[str, Any]]:
    """Every partner (or partner's legal representative) whose name matches, in QSA order."""
    achados = []
    for empresa in empresas:
        for socio in empresa.get("socios") or []:
            if not isinstance(socio, dict):
                continue
            nome = socio.get("nome")
            if isinstance(nome, str) and comparar_nomes(pessoa, nome):
                achados.append({"empresa": _nome_empresa(empresa), "cnpj": empresa.get("cnpj") or "",
                                "nome": nome, "qualificacao": socio.get("qualificacao") or "",
                                "cpf_mascarado": socio.get("cnpj_cpf_do_socio") or ""})
            rep = socio.get("nome_representante")
            if isinstance(rep, str) and rep and comparar_nomes(pessoa, rep):
                achados.append({"empresa": _nome_empresa(empresa), "cnpj": empresa.get("cnpj") or "",
                                "nome": rep, "qualificacao": socio.get("qualificacao_representante") or "",
                                "cpf_mascarado": socio.get("cpf_representante") or ""})
    return achados


def _identidade(assinatura: Any, empresas: list[dict[str, Any]]) -> tuple[str, Optional[dict[str, Any]], list[str]]:
    """(identity verdict, the QSA entry it rests on, findings) of one digital signer."""
    pessoa, cpf = assinatura.pessoa, assinatura.cpf_pessoa
    if assinatura.integra is not True or getattr(assinatura, "algoritmo_nao_suportado", None):
        return IDENTIDADE_NAO_VERIFICADA, None, []
    if not assinatura.icp_brasil:
        return IDENTIDADE_NAO_VERIFICADA, None, [
            "identidade não verificada no QSA: certificado não reconhecido como ICP-Brasil ou gov.br"]
    if not pessoa:
        return IDENTIDADE_NAO_VERIFICADA, None, ["identidade não verificada no QSA: certificado sem nome"]
    if not cpf:
        return IDENTIDADE_NAO_VERIFICADA, None, ["identidade não verificada no QSA: certificado sem CPF"]
    if not empresas:
        return IDENTIDADE_NAO_VERIFICADA, None, [
            "identidade não verificada no QSA: nenhuma empresa do contrato encontrada na Receita Federal"]
    candidatos = _candidatos_qsa(pessoa, empresas)
    if not candidatos:
        return IDENTIDADE_FORA_DO_QSA, None, [f"{pessoa} não consta no QSA das empresas do contrato"]
    visivel = cpf[3:9]
    for c in candidatos:
        if digitos_visiveis(c["cpf_mascarado"]) == visivel:
            return IDENTIDADE_CONFIRMADA, c, [
                f"identidade confirmada: {c['nome']} ({c['qualificacao'] or 'QSA'}) de {c['empresa']}, "
                f"CPF {_mascarar(cpf)} confere com o certificado"]
    for c in candidatos:
        if digitos_visiveis(c["cpf_mascarado"]):
            return IDENTIDADE_DIVERGENTE, c, [
                f"CPF DIVERGENTE: {c['nome']} consta no QSA de {c['empresa']} com CPF {c['cpf_mascarado']}, "
                f"mas o certificado traz {_mascarar(cpf)}"]
    c = candidatos[0]
    return IDENTIDADE_SEM_CPF, c, [f"{c['nome']} consta no QSA de {c['empresa']}, sem CPF para comparar"]


def cruzar_assinaturas(
    assinaturas: Iterable[Any],
    signatarios: Iterable[dict[str, Any]] = (),
    empresas: Iterable[dict[str, Any]] = (),
) -> list[dict[str, Any]]:
    """Cada assinatura digital como mapa, com o cruzamento e os achados dele.

    ``assinaturas``: itens ``AssinaturaDigital``; ``signatarios``: os signatários
    extraídos (mapas com ``nome_signatario``, como em ``resultado["assinaturas"]``);
    ``empresas``: as empresas verificadas (mapas com ``cnpj``, a razão social e
    ``socios``, como em ``resultado["empresas"]``), cujos sócios podem trazer
    ``cnpj_cpf_do_socio`` (ver ``completar_cpfs_socios``).  Acrescenta a cada
    assinatura ``signatario_extraido``, ``empresa_do_certificado``,
    ``identidade`` e ``socio_qsa``.
    """
    signatarios = [s for s in signatarios if isinstance(s, dict)]
    empresas = [e for e in empresas if isinstance(e, dict)]
    saida = []
    for assinatura in assinaturas:
        item = assinatura.como_dict()
        achados: list[str] = item["achados"]
        item.update(signatario_extraido=None, empresa_do_certificado=None, identidade=IDENTIDADE_NAO_VERIFICADA,
                    socio_qsa=None)
        if assinatura.ilegivel is None and assinatura.pessoa and getattr(assinatura, "tipo", "assinatura") == "assinatura":
            pessoa = assinatura.pessoa
            for s in signatarios:
                nome = s.get("nome_signatario")
                if isinstance(nome, str) and nome != "N/A" and comparar_nomes(pessoa, nome):
                    item["signatario_extraido"] = nome
                    break
            if item["signatario_extraido"]:
                achados.append(f"assinante confere com o signatário extraído do contrato: {item['signatario_extraido']}")
            elif signatarios:
                achados.append(f"{pessoa} não está entre os signatários extraídos do contrato")
            if assinatura.cnpj:
                empresa = next((e for e in empresas if _cnpj_limpo(e.get("cnpj")) == assinatura.cnpj), None)
                if empresa is not None:
                    item["empresa_do_certificado"] = _nome_empresa(empresa)
                    achados.append(f"certificado da empresa {_nome_empresa(empresa)}, parte do contrato")
                elif empresas:
                    achados.append(f"certificado de empresa que não é parte do contrato (CNPJ {assinatura.cnpj})")
            identidade, socio, mais = _identidade(assinatura, empresas)
            item["identidade"], item["socio_qsa"] = identidade, socio
            achados.extend(mais)
        saida.append(item)
    return saida


def _rotulo(item: dict[str, Any]) -> str:
    quem = item.get("pessoa") or item.get("nome") or "assinante não identificado"
    if item.get("tipo") == "carimbo de tempo do documento":
        return f"carimbo de tempo do documento de {quem} (campo {item['campo']})"
    return f"{quem} (campo {item['campo']})"


def _alertas(itens: list[dict[str, Any]]) -> list[str]:
    """What rejects the contract: an invalid signature, or a certificate CPF the QSA contradicts."""
    alertas = []
    for item in itens:
        rotulo = _rotulo(item)
        if item.get("nivel") == "inválida":
            alertas.append(f"ASSINATURA INVÁLIDA de {rotulo}: {item.get('motivo')}")
        if item["identidade"] == IDENTIDADE_DIVERGENTE:
            alertas.append(f"CPF do certificado de {rotulo} difere do CPF de {item['socio_qsa']['nome']} no QSA")
    return alertas


def _avisos(itens: list[dict[str, Any]]) -> list[str]:
    """What only warns: a signature that could not be checked, a certificate not recognised, a stamp or
    an image put on a page after the last signature."""
    avisos = []
    ultima = next((i for i in reversed(itens) if not i["ilegivel"] and i.get("alteracao")), None)
    for pagina in (ultima or {}).get("imagens_acrescentadas") or []:
        avisos.append(f"Atenção: carimbo ou imagem acrescentado na página {pagina} depois da última assinatura "
                      "(não faz parte do que foi assinado)")
    for item in itens:
        rotulo = _rotulo(item)
        if item["ilegivel"]:
            avisos.append(f"Assinatura ilegível de {rotulo}: {item['ilegivel']}")
        elif item.get("nivel") == "não verificada":
            avisos.append(f"Assinatura de {rotulo} não conferida: {item.get('motivo')}")
        elif item.get("nivel") == "íntegra, certificado não reconhecido":
            avisos.append(f"Certificado de {rotulo} não reconhecido: {item.get('motivo')}")
    return avisos


def verificar_assinaturas_digitais(
    caminho: str | os.PathLike[str],
    resultado: Optional[dict[str, Any]] = None,
    *,
    raizes: str | os.PathLike[str] | None = None,
    verificar_revogacao: bool = False,
    consultar_socios: Optional[ConsultaSocios] = consultar_cpfs_socios,
    lidas: Optional[Callable[[], list[Any]]] = None,
) -> dict[str, Any]:
    """As assinaturas digitais do contrato em ``caminho``, cruzadas com ``resultado``.

    ``resultado``: o ``ResultadoVerificacao`` do mesmo contrato (ou ``None``:
    sem cruzamento).  ``raizes``: arquivo ou pasta de raízes confiáveis (padrão:
    ICP-Brasil).  ``verificar_revogacao``: consulta LCR/OCSP pela rede.
    ``consultar_socios``: busca os CPFs mascarados dos sócios por CNPJ (``None``:
    usar só os que ``resultado`` já traz).  ``lidas``: função que devolve as
    assinaturas já lidas com ``scrivane.signatures.ler_assinaturas`` (por
    exemplo o ``result`` de uma leitura feita enquanto o motor extraía); seus
    erros valem como erros de leitura.

    Devolve um mapa: ``total``, ``validas`` (todas "válida e confiável"),
    ``invalidas`` (quantas "inválida": violadas, ou com o conteúdo alterado
    depois), ``resumo`` (uma linha), ``alertas`` (o que reprova o contrato:
    assinatura inválida, CPF do certificado divergente do QSA), ``avisos`` (assinatura não
    conferida, certificado não reconhecido), ``assinaturas`` (um mapa por
    assinatura ou carimbo de tempo do documento, na ordem em que foram feitos,
    com ``nivel`` e ``motivo``) e ``erro`` (motivo, quando as assinaturas não
    puderam ser lidas).  Nunca levanta exceção por causa do PDF.
    """
    saida: dict[str, Any] = {"total": 0, "validas": True, "invalidas": 0, "resumo": "", "alertas": [],
                             "avisos": [], "assinaturas": [], "erro": None}
    try:
        from scrivane.signatures import ler_assinaturas, resumo

        if lidas is not None:
            assinaturas = lidas()
        else:
            assinaturas = ler_assinaturas(caminho, raizes=raizes, verificar_revogacao=verificar_revogacao)
    except Exception as exc:  # missing pyHanko or engine, unreadable PDF or file, bad roots
        from scrivane_contract.erros_leitura import traduzir_pdfium

        motivo = traduzir_pdfium(str(exc))
        saida.update(validas=False, resumo=f"assinaturas digitais não verificadas: {motivo}", erro=motivo)
        return saida
    resultado = resultado or {}
    empresas = [dict(e, socios=[dict(s) for s in e.get("socios") or [] if isinstance(s, dict)])
                for e in resultado.get("empresas") or [] if isinstance(e, dict)]
    if consultar_socios is not None and any(a.icp_brasil and a.integra and a.cpf_pessoa for a in assinaturas):
        completar_cpfs_socios(empresas, consultar_socios)
    itens = cruzar_assinaturas(assinaturas, resultado.get("assinaturas") or [], empresas)
    saida.update(total=len(itens), validas=all(a.valida for a in assinaturas),
                 invalidas=sum(1 for a in assinaturas if a.invalida),
                 resumo=resumo(assinaturas, sum(1 for i in itens if i["identidade"] == IDENTIDADE_DIVERGENTE)),
                 alertas=_alertas(itens), avisos=_avisos(itens), assinaturas=itens)
    return saida
