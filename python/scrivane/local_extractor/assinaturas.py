"""The signature block, the witnesses and the digital-signature stamps."""

from __future__ import annotations

import re
from typing import Optional, Sequence

from .tabelas import (
    CARIMBOS_DIGITAIS, NAO_NOMES, POSTOS,
    _CARIMBOS_CERTIFICADO,
    CPF_RE, _CARIMBOS, _CARIMBO_CERTIFICADO, _NOME_PESSOA, _CPF_DO_CERTIFICADO, _DATA_EXTENSO, _PAPEL,
    _PAPEL_CANONICO, _SEPARADOR, _dobrar,
)
from .texto import (
    _titulo, _mesma_pessoa, _Empresa, _Pessoa, _cargo_limpo, _chave_nome, _mesmo_nome, _parece_empresa,
    _palavra_de_nome, _parece_pessoa,
)


def _inicio_assinaturas(linhas: list[str]) -> int:
    for i in range(len(linhas) - 1, -1, -1):
        d = _dobrar(linhas[i])
        if _DATA_EXTENSO.search(d) and re.match(r"^[a-z][a-z .'/-]*(?:/[a-z]{2})?\s*[,–-]", d):
            return i + 1
        if _FECHO.search(d):
            return i + 1
    seps = [i for i, l in enumerate(linhas) if _SEPARADOR.search(l)]
    return seps[0] if seps else len(linhas)


# What closes a contract before its signatures.
_FECHO = re.compile(r"por estarem (?:assim )?(?:justa|de acordo)|e,? por assim|assinam o presente|firmam o presente"
                    r"|na data da (?:ultima )?assinatura|vai assinad[ao]|depois de lid[ao] e achad[ao]")
# Lines in a signature block that are no signer: signing tools' marks.
_RUIDO_ASSINATURA = re.compile(r"^(?:documento\s+)?(?:assinado|assinatura)\s+(?:digital|eletronic)|^assinado de forma digital"
                               r"|^verifique em\b|^a conformidade com a assinatura"
                               r"|digital+y signed|^dados\s*:|^date\s*:|^data\s*:\s*\d|icp-brasil|autenticado com senha"
                               r"|^local e data|^[a-z][a-z .'/-]*[,–—-]\s*\d{1,2}º?(?:\s+de\s|\s*[/.]\s*\d)"
                               r"|\b\d{1,2}º?\s+de\s+[a-zç]+\s+de\s+\d{4}")  # a place and a date
# A row of role labels over the signatures ("Pelo Contratante: Pela Contratada:", "CONTRATADO CONTRATANTE").
_ROTULOS_LINHA = re.compile(r"((?:pel[ao]|p/)\s*)?(?:(?:pel[ao]\s+|p/\s*)?" + _PAPEL + r"\s*:?\s*){1,3}")
# Words of a position or an identity document, under a signer's typed name.
_CARGO_ASSINATURA = re.compile(
    r"\b(?:diretor|diretora|president|socio|socia|administrador|gerente|procurador|coordenador|secretari|"
    r"subsecretari|prefeit|ordenador|capitao|coronel|cel\b|tenente|major|general|comandante|chefe|"
    r"superintendente|representante|titular|tesoureir|assessor|analista|assistente|contador|advogad|oab|"
    r"matricula|mat\.|cpf|rg\b|identidade|empresari|proprietari|responsavel|testemunha)")


# A role's label and a single word after it, on a signature line.
# "Pela CONTRATANTE: NAME" opening a line, and a role alone ("Pela CONTRATADA:").
_POR_PAPEL = re.compile(r"^(?:pel[ao]|p/)\s*" + _PAPEL + r"\s*:?\s+")
_SO_PAPEL = re.compile(r"(?:pel[ao]\s+|p/\s*)?" + _PAPEL + r"\s*:?")
_SO_PRENOME = re.compile(r"^(?:pel[ao]\s+)?" + _PAPEL + r"\s*:\s*([a-zà-ÿ]+)\s*$")


def _empresa_da_linha(linha: str, empresas: list[_Empresa]) -> Optional[_Empresa]:
    dobrada = _dobrar(linha)
    for e in empresas:
        if _chave_nome(e.razao_social) and _chave_nome(e.razao_social) in _chave_nome(linha):
            return e
        if e.cnpj and re.sub(r"\D", "", e.cnpj) in re.sub(r"\D", "", linha):
            return e
    papel = re.search(_PAPEL, dobrada)
    if papel:
        canonico = _PAPEL_CANONICO[papel.group(1)]
        return next((e for e in empresas if e.papel == canonico), None)
    if m := re.match(r"^\s*(?:pel[ao]|p/)\s+(.+?)\s*:?\s*$", linha, re.I):
        # "PELO MUNICÍPIO:", "Pela Associação": the first words of one party's name
        inicio = _chave_nome(m.group(1))
        achadas = [e for e in empresas if inicio and f"{_chave_nome(e.razao_social)} ".startswith(inicio + " ")]
        return achadas[0] if len(achadas) == 1 else None
    return None


# Where a typed signature line is cut into its parts: a dash with a space on either side (OCR
# doubles it: "NOME -— Posto"), a dash glued before a grade ("NOME-3º Sgt"), a comma.
_TRACO = re.compile(r"\s+[–—-]+\s*|\s*[–—-]+\s+|(?<=[^\W\d_])[–—-]+(?=\d{1,2}\s*[º°ª]\s*[A-Za-z])|,")
# What a label before the name on a signature line is ("REPRESENTANTE BANCO X – FULANO", "Pela CONTRATADA – FULANO").
_ROTULO_ANTES_DO_NOME = re.compile(r"^(?:representante|testemunha|pel[ao]\b|p/|procurador|socio|diretor|"
                                   r"gerente|presidente|administrador)|" + _PAPEL)


def _partes_linha(linha: str) -> list[str]:
    return [p.strip() for p in _TRACO.split(linha) if p.strip()]


def _nome_e_cargo(linha: str) -> Optional[tuple[str, Optional[str]]]:
    """The person's name on a typed signature line and what the line says beside it: the name first
    ("RODRIGO DA SILVA ALVES – Cel R1", "3º Sgt FULANO DE TAL"), or after a label
    ("REPRESENTANTE BANCO X – FULANO DE TAL")."""
    # A witness's number ("1) FULANO") or "p/" (for the company above) before the name.
    linha = re.sub(r"^\s*(?:\d{1,2}\s*[.)ºª°-]\s*|\(\d{1,2}\)\s*|p/\s*|pp\.?\s+)", "", linha)
    partes = _partes_linha(linha)
    while partes and all(_rabisco(t) for t in partes[0].split()):
        partes.pop(0)  # a signature's stroke before a dash ("=— MARIA SILVA")
    if not partes:
        return None
    # "(FULANO DE TAL)" under a rule; an honorific before the name ("Sr. FULANO", "Dra. FULANA")
    nome = re.sub(r"\s*\(.*", "", re.sub(r"^\((.+)\)$", r"\1", partes[0]))
    nome = re.sub(r"^(?:Sra?|Dra?|Senhora?|Prof[aª]?)\.?(?:ª|\(a\))?\s+", "", nome)
    palavras = nome.split()
    if not _parece_pessoa(nome) and palavras and _dobrar(palavras[0]) in POSTOS:
        while palavras and _dobrar(palavras[0]) in POSTOS:
            palavras.pop(0)  # a rank before the name ("3º Sgt FULANO DE TAL")
        nome = " ".join(palavras)
    nome = _sem_rabiscos(nome)
    if _parece_pessoa(nome) and not _cortado(nome):
        resto = [p for p in partes[1:] if not re.search(r"cpf|\brg\b|\d{3}", _dobrar(p))]
        return nome, (resto[0] if resto else None)
    if len(partes) == 2 and _ROTULO_ANTES_DO_NOME.match(_dobrar(partes[0])) and _parece_pessoa(partes[1]):
        return partes[1], partes[0]
    return None


def _rabisco(token: str) -> bool:
    """What OCR reads of a signature's stroke beside a typed name in capitals: a mark, a letter, two or
    three letters not in capitals ("ae", "Rd")."""
    letras = re.sub(r"[^A-Za-zÀ-ÿ]", "", token)
    return len(letras) <= 1 and token != "E" or (len(letras) <= 3 and not token.isupper())


def _sem_rabiscos(nome: str) -> str:
    """A typed name in capitals with the marks a signature left around it cut off (". MARIA SILVA ae")."""
    palavras = nome.split()
    while palavras and _rabisco(palavras[0]):
        palavras.pop(0)
    while palavras and _rabisco(palavras[-1]):
        palavras.pop()
    nucleo = " ".join(palavras)
    return nucleo if len(palavras) >= 2 and nucleo.isupper() else nome


# Short words a surname may be; another word of two letters ending a name is what is left of one
# a signature covered ("VERA LÚCIA AN").
_SOBRENOMES_CURTOS = frozenset(("sa", "li", "xu", "lu", "jr", "wu", "le", "ma", "ho"))


def _cortado(nome: str) -> bool:
    ultima = _dobrar(nome.split()[-1]).strip(".")
    return len(ultima) <= 2 and ultima not in _SOBRENOMES_CURTOS and ultima not in ("e",)


def _nome_digitado(linha: str) -> Optional[str]:
    """The person's name on a typed signature line (see ``_nome_e_cargo``)."""
    achado = _nome_e_cargo(linha)
    return achado[0] if achado else None


def _atesta_assinatura(linha: str, empresas: list[_Empresa], forte: bool = False) -> bool:
    """Whether a line under a typed name says who signs: a position, a document number, a company.
    ``forte``: only a party's role, a CPF or a party's name will do (under a name in mixed case,
    which a sentence's words can look like)."""
    dobrada = _dobrar(linha)
    if len(linha) > 70:
        return False
    empresa = any(_chave_nome(e.razao_social) and _chave_nome(e.razao_social) in _chave_nome(linha) for e in empresas)
    papel = len(linha) <= 40 and re.search(_PAPEL, dobrada)
    if forte:
        return bool(empresa or (re.search(_PAPEL, dobrada) and empresas) or re.match(r"^c\.?p\.?f\b", dobrada))
    return bool(_CARGO_ASSINATURA.search(dobrada) or papel or empresa)


def _so_linha(linha: str) -> bool:
    """A signature rule alone on its line."""
    return bool(_SEPARADOR.search(linha)) and not re.search(r"[A-Za-zÀ-ÿ]", _SEPARADOR.sub("", linha))


def _sem_nomes_juntados(bloco: list[str]) -> list[str]:
    """The block without the rows where two blocks side by side ran their names into one line (the
    row under it holds two CPFs): which words are whose cannot be told, and one name of both is false."""
    saida = list(bloco)
    for k in range(len(bloco) - 1):
        seguinte = _dobrar(bloco[k + 1])
        if (len(bloco[k].split()) >= 4 and not re.match(r"(?i)nome\s*:", bloco[k]) and not _SEPARADOR.search(bloco[k])
                and (len(re.findall(r"\bcpf\b", seguinte)) >= 2 or len(CPF_RE.findall(bloco[k + 1])) >= 2)):
            saida[k] = ""
    return [l for l in saida if l]


def _nomes_sob_as_linhas(bloco: list[str]) -> list[str]:
    """The block with each typed name under its signature rule.  Some blocks type the name above the
    rule and the role under it ("MARIA SILVA" / "______" / "CONTRATANTE"): seen at the first rule
    (a name right above it and none right under it), each name above a rule is moved under it."""
    regras = [i for i, l in enumerate(bloco) if _so_linha(l)]
    if not regras or regras[0] == 0:
        return bloco
    i = regras[0]
    seguinte = bloco[i + 1] if i + 1 < len(bloco) else ""
    if not _nome_digitado(bloco[i - 1]) or _nome_digitado(seguinte):
        return bloco
    bloco = list(bloco)
    for i in regras:
        if i > 0 and _nome_digitado(bloco[i - 1]) and not _so_linha(bloco[i - 1]):
            bloco[i - 1], bloco[i] = bloco[i], bloco[i - 1]
    return bloco


def _regioes_assinaturas(linhas: list[str]) -> list[tuple[int, int]]:
    """Where signatures are read: after the last closing or place-and-date line, and, when annexes
    signed on their own follow the contract, right after the contract's own closing too (up to the
    next closing or the next paragraph of prose, at most ``LINHAS_BLOCO`` lines)."""
    fim_texto = _inicio_assinaturas(linhas)
    regioes = [(fim_texto, len(linhas))]
    # (a closing formula in the preamble, "firmam o presente", has the clauses right after it)
    primeiro = next((i for i, l in enumerate(linhas[:fim_texto]) if _FECHO.search(_dobrar(l))
                     and not any(re.match(r"\W*clausula\b", _dobrar(x)) for x in linhas[i + 1:i + 6])), None)
    if primeiro is not None and primeiro + 1 < fim_texto - 1:
        inicio = primeiro + 1
        while inicio < fim_texto and _LINHA_DE_DATA.match(d := _dobrar(linhas[inicio])) and _DATA_EXTENSO.search(d):
            inicio += 1
        fim = inicio
        while (fim < min(fim_texto, inicio + LINHAS_BLOCO) and not _FECHO.search(_dobrar(linhas[fim]))
               and not _PROSA.search(linhas[fim]) and not re.match(r"anexo\b|apendice\b", _dobrar(linhas[fim]))):
            fim += 1
        if fim > inicio:
            regioes.insert(0, (inicio, fim))
    return regioes


# How far the contract's own signatures go, and a line of prose (an annex's text goes on).
LINHAS_BLOCO = 30
_PROSA = re.compile(r"(?:\b[a-zà-ÿ]{2,}\b[\s,;]+){7}")
_LINHA_DE_DATA = re.compile(r"^[a-z][a-z .'/-]*(?:/[a-z]{2})?\s*[,–-]")


def _bloco_assinaturas(linhas: list[str], empresas: list[_Empresa],
                       conhecidas: Sequence[_Pessoa] = ()) -> list[_Pessoa]:
    pessoas: list[_Pessoa] = []
    for inicio, fim in _regioes_assinaturas(linhas):
        for p in _ler_bloco(_sem_nomes_juntados(_nomes_sob_as_linhas(linhas[inicio:fim])), empresas, conhecidas):
            _juntar(pessoas, p)
    return pessoas


def _ler_bloco(bloco: list[str], empresas: list[_Empresa], conhecidas: Sequence[_Pessoa]) -> list[_Pessoa]:
    pessoas: list[_Pessoa] = []
    grupos: list[tuple[list[str], bool, Optional[_Empresa], bool]] = []
    testemunha = False
    pendente: Optional[_Empresa] = None
    # Companies announced by a row of labels ("Pelo Contratante: Pela Contratada:"), in order.
    fila: list[Optional[_Empresa]] = []
    atual: Optional[list[str]] = None
    com_nome = False  # the open group already holds a typed name
    for k, linha in enumerate(bloco):
        dobrada = _dobrar(linha)
        if _RUIDO_ASSINATURA.search(dobrada):
            continue
        if re.match(r"^(?:\d\s*[ªºa°.]?\s*)?testemunhas?\b", dobrada):
            testemunha, atual, pendente, fila = True, None, None, []
            # "Testemunha 1: ...", "1ª TESTEMUNHA: ..."
            linha = re.sub(r"^(?:\d\s*[ªºa°.]?\s*)?\S+\s*(?:n[º°o.]?\s*)?(?:\d+\s*)?[:.)–-]?\s*", "", linha)
            if not linha:
                continue
            dobrada = _dobrar(linha)
        if rotulos := _ROTULOS_LINHA.fullmatch(dobrada):
            papeis = re.findall(_PAPEL, dobrada)
            if len(papeis) >= 2:
                fila = [_empresa_da_linha(p, empresas) for p in papeis]
                atual, com_nome = None, False
                continue
        if ((m := _SO_PRENOME.match(dobrada)) and (prenome := linha[m.start(2):m.end(2)])[:1].isupper()
                and _palavra_de_nome(prenome) and len(prenome) >= 3 and m.group(2) not in NAO_NOMES):
            # "LOCATÁRIO: Carlos": a party signing with a first name alone, on its role's line
            empresa = _empresa_da_linha(m.group(1), empresas)
            pessoas.append(_Pessoa(nome=prenome, empresa=empresa, tipo="testemunha" if testemunha else None, fonte=2,
                                   cargo=None if empresa else _cargo_limpo(linha[m.start(1):m.end(1)].title())))
            atual, com_nome = None, False
            continue
        if (m := _POR_PAPEL.match(dobrada)) and linha[m.end():m.end() + 1].isupper():
            # "Pela Contratante RODRIGO DA SILVA ALVES – Cel R1": the label and the name on one line.
            if _nome_digitado(linha[m.end():]):
                atual, com_nome = [linha[m.end():]], True
                grupos.append((atual, testemunha, _empresa_da_linha(m.group(1), empresas), False))
                continue
        lado_a_lado = bool(grupos) and grupos[-1][0] is atual and grupos[-1][3]
        if (re.match(r"^nome\s*:\s*[A-ZÀ-Ý]", linha, re.I) and not _SEPARADOR.search(linha) and not lado_a_lado
                and (atual is None or com_nome or any(re.match(r"^nome\s*:", x, re.I) for x in atual))):
            # "Nome: FULANO" opens a signer's block where no rule did (a scan's OCR drops the rules).
            atual, com_nome = [linha], True
            grupos.append((atual, testemunha, fila.pop(0) if fila else pendente, False))
            pendente = None
            continue
        nome = None if _SEPARADOR.search(linha) else _nome_digitado(linha)
        if nome and (atual is None or com_nome):
            seguinte, depois = (bloco[k + 1:k + 3] + ["", ""])[:2]
            misto = nome != nome.upper()
            # A typed name is a signer's when a label announced it, when it stands among the
            # witnesses, when a position or a company is written under it, or when the
            # parties' qualification named the same person.  A name in mixed case needs a party's
            # role or name, or a CPF, under it (under its position: "Diretora" / "ALFA LTDA").
            anterior = bloco[k - 1] if k else ""
            # Among the witnesses, a name needs a rule over it, a position or a number under it, or
            # one beside it (what a scribble or a letterhead leaves reads as a name); one in capitals
            # may also stand over another witness's name or end the document.
            testemunha_vista = testemunha and (_SEPARADOR.search(anterior) or len(_partes_linha(linha)) > 1
                                               or _atesta_assinatura(seguinte, empresas) or CPF_RE.search(seguinte)
                                               or (not misto and (not seguinte or _nome_digitado(seguinte))))
            if (fila or testemunha_vista or _atesta_assinatura(seguinte, empresas, forte=misto)
                    or (misto and _atesta_assinatura(seguinte, empresas) and _atesta_assinatura(depois, empresas, True))
                    or any(_mesmo_nome(nome, p.nome) for p in conhecidas)):
                atual, com_nome = [linha], True
                grupos.append((atual, testemunha, fila.pop(0) if fila else pendente, False))
                pendente = None
                continue
        if nome and atual is not None:
            com_nome = True
        if len(_SEPARADOR.findall(linha)) >= 2 and not re.search(r"[A-Za-zÀ-ÿ]{3}", _SEPARADOR.sub("", linha)):
            # Signatures side by side: their lines come out of the PDF joined ("Maria Silva João
            # Souza"), so only labelled names are read from them ("Nome: A Nome: B").
            atual = []
            grupos.append((atual, testemunha, None, True))
            continue
        if _SEPARADOR.search(linha):
            for parte in _SEPARADOR.split(linha)[1:] or [""]:
                atual = [parte.strip(" :")] if parte.strip(" :") else []
                com_nome = bool(atual and _nome_digitado(atual[0]))
                grupos.append((atual, testemunha, fila.pop(0) if fila else pendente, False))
            antes = _SEPARADOR.split(linha)[0].strip(" :")
            if antes and not re.fullmatch(r"\d+[.)]?", antes):
                e = _empresa_da_linha(antes, empresas)
                if e:
                    grupos[-1] = (atual, testemunha, e, False)
                elif not atual and _nome_digitado(antes):
                    atual.append(antes)  # "MARIA SILVA ________": the name on the rule's own line
                    com_nome = True
            continue
        if (atual and grupos and re.fullmatch(_PAPEL, dobrada) and grupos[-1][2] is None
                and any(_nome_digitado(x) for x in atual)):
            # A bare role under a signer's name ("MARIA SILVA" / "CONTRATADA") names the signer's party,
            # or, when no company has that role, is the natural person's own role.
            if (e := _empresa_da_linha(linha, empresas)) is not None:
                grupos[-1] = (atual, testemunha, e, grupos[-1][3])
            else:
                atual.append(_titulo(linha))
            continue
        # "PELO MUNICÍPIO:": a label naming a party over the next block
        rotulo_parte = bool(re.fullmatch(r"(?:pel[ao]|p/)\s+[^:]{2,60}:", dobrada)) and _empresa_da_linha(linha, empresas)
        if atual is None or rotulo_parte or (_SO_PAPEL.fullmatch(dobrada) and atual):
            papel = re.search(_PAPEL, dobrada)
            if (papel or rotulo_parte) and len(dobrada) < 40:
                pendente = _empresa_da_linha(linha, empresas)
                atual, com_nome = (None, False) if rotulo_parte else (atual, com_nome)
            continue
        atual.append(linha)
    for grupo, eh_testemunha, empresa, colunas in grupos:
        if colunas:
            nomes = [n.strip(" ,;–-") for l in grupo for n in re.findall(r"\bNome\s*:\s*(.+?)(?=\s+Nome\s*:|\s+CPF\b|$)",
                                                                         l, re.I)]
            cpfs = [c.group() for l in grupo if re.match(r"^\s*CPF", l, re.I) for c in CPF_RE.finditer(l)]
            for i, nome in enumerate(n for n in nomes if _parece_pessoa(n)):
                cpf = cpfs[i] if len(cpfs) == len(nomes) else None
                pessoas.append(_Pessoa(nome=nome, cargo="Testemunha" if eh_testemunha else None, cpf=cpf,
                                       tipo="testemunha" if eh_testemunha else None, fonte=2))
            continue
        nome: Optional[str] = None
        cargo: Optional[str] = None
        cpf: Optional[str] = None
        for linha in grupo:
            dobrada = _dobrar(linha)
            if c := CPF_RE.search(linha):
                cpf = cpf or c.group()
            if m := re.match(r"^nome\s*:\s*(.+)$", linha, re.I):
                partes = re.split(r"\s+(?:cpf|rg|nome\s*:)", m.group(1), flags=re.I)
                escrito = partes[0].strip(" ,;–-")
                if _parece_pessoa(escrito) or (_palavra_de_nome(escrito) and escrito[:1].isupper() and len(escrito) >= 3
                                               and _dobrar(escrito) not in NAO_NOMES):
                    nome = nome or escrito
                continue
            if m := re.match(r"^(?:cargo|fun[cç][aã]o|qualidade)\s*:\s*(.+)$", linha, re.I):
                cargo = m.group(1).strip()
                continue
            if re.match(r"^(?:cpf|rg|data|e-?mail)\b", dobrada):
                continue
            if nome is None and (digitado := _nome_e_cargo(linha)) and not any(
                    _mesmo_nome(digitado[0], x.razao_social) or _mesmo_nome(digitado[0], x.nome_fantasia or "")
                    for x in empresas):
                # The name, and beside it a position, a role or a company ("MARIA SILVA – CONTRATANTE").
                nome, ao_lado = digitado
                e = _empresa_da_linha(linha.replace(nome, " ", 1), empresas) if not eh_testemunha else None
                if e is not None:
                    empresa = e
                    if ao_lado and _empresa_da_linha(ao_lado, empresas) is e:
                        ao_lado = None
                cargo = cargo or ao_lado
                continue
            e = _empresa_da_linha(linha, empresas) if not eh_testemunha else None
            nomeia = e is not None and any(_chave_nome(x.razao_social) in _chave_nome(linha) for x in empresas)
            if e is not None and (nomeia or _parece_empresa(linha) or re.match(r"^(?:p/|pel[ao]\b|representando)", dobrada)):
                empresa = e  # the company written under the line wins over a label above the block
                continue
            if e is not None and re.search(_PAPEL, dobrada):
                empresa = empresa or e
                continue
            if nome is not None and cargo is None and not _parece_empresa(linha) and not re.search(r"\d", linha):
                cargo = linha.strip()
        if not nome:
            continue
        if eh_testemunha:
            pessoas.append(_Pessoa(nome=nome, cargo="Testemunha", cpf=cpf, tipo="testemunha", fonte=2))
        else:
            pessoas.append(_Pessoa(nome=nome, cargo=_cargo_limpo(cargo or ""), cpf=cpf, empresa=empresa,
                                   tipo="representante" if empresa else None, fonte=2))
    return pessoas


_INICIO_CARIMBO = re.compile("|".join(CARIMBOS_DIGITAIS))
_ASSINOU = re.compile(r"(" + _NOME_PESSOA + r")[ \t]+assinou\b$")
_CPF_DO_LOG = re.compile(r"\bCPF(?:\s+informado)?\s*(?:n[º°o.]\s*)?:?\s*(" + CPF_RE.pattern + ")")


def _carimbos(texto_bruto: str) -> list[tuple[str, Optional[str]]]:
    achados: list[tuple[str, Optional[str]]] = []

    def anota(nome: str, cpf: Optional[str]) -> None:
        nome = " ".join(re.split(r"\s+(?:em|CPF|no dia|[Dd]ata|[Dd]ados)\b", nome)[0].split())
        if _parece_pessoa(nome) and not any(_mesmo_nome(nome, n) for n, _ in achados):
            achados.append((nome, cpf))

    # One pass finds where stamps begin; each stamp's pattern is then tried there only.
    for inicio in _INICIO_CARIMBO.finditer(texto_bruto):
        for padrao in _CARIMBOS_CERTIFICADO + _CARIMBOS:
            if m := padrao.match(texto_bruto, inicio.start()):
                anota(m.group(1), m.group(2))
    # A signing service's log: "10 mar 2025, 10:05:44 FULANO DE TAL assinou como parte. ... CPF informado: ..."
    for a in re.finditer(r"[ \t]assinou\b", texto_bruto):
        if not (m := _ASSINOU.search(texto_bruto, max(0, a.start() - 120), a.end())):
            continue
        palavras = m.group(1).split()
        while len(palavras) > 2 and not _parece_pessoa(" ".join(palavras)):
            palavras.pop(0)  # words of the log before the name ("Documento", "Operador")
        cpf = _CPF_DO_LOG.search(texto_bruto, m.end(), m.end() + 300)
        anota(" ".join(palavras), cpf.group(1) if cpf and "assinou" not in texto_bruto[m.end():cpf.start()] else None)
    # The ICP-Brasil certificate name, "NOME COMPLETO:12345678900".
    for m in _CPF_DO_CERTIFICADO.finditer(texto_bruto):
        nome = _CARIMBO_CERTIFICADO.search(texto_bruto, max(0, m.start() - 80), m.start())
        if nome:
            anota(nome.group(1), m.group(1))
    return achados


def _empresas_pela_ordem(assinantes: list[_Pessoa], empresas: list[_Empresa], pessoas: list[_Pessoa]) -> None:
    """Signers whose block names no party, given the parties no one else signs for, in order: only
    when the block has one signer per party (witnesses apart), as parties sign in the order the
    preamble qualifies them."""
    vistos: list[_Pessoa] = []
    for p in assinantes:
        if p.tipo != "testemunha" and all(p is not v for v in vistos):
            vistos.append(p)
    if not empresas or len(vistos) != len(empresas):
        return
    # A signer under a role that is no company's (a natural person's "LOCATÁRIO") signs for no party here.
    if any(p.empresa is None and re.search(_PAPEL, _dobrar(p.cargo or "")) for p in vistos):
        return
    livres = [p for p in vistos if p.empresa is None and p.tipo is None]
    representadas = {id(p.empresa) for p in pessoas if p.empresa is not None}
    sem_assinante = [e for e in empresas if id(e) not in representadas]
    if livres and len(livres) == len(sem_assinante) and all(p.empresa is not None or any(p is l for l in livres) for p in vistos):
        for p, e in zip(livres, sem_assinante):
            p.empresa, p.tipo = e, "representante"


def _juntar(pessoas: list[_Pessoa], outra: _Pessoa) -> _Pessoa:
    """Adds ``outra`` to ``pessoas``, or merges it into the record of the same person; returns the record."""
    for p in pessoas:
        if _mesma_pessoa(p.nome, p.cpf, outra.nome, outra.cpf):
            # The name as the parties are qualified wins over a signature line or a stamp.
            if outra.fonte > p.fonte or (outra.fonte == p.fonte and len(outra.nome) > len(p.nome)):
                p.nome, p.fonte = outra.nome, outra.fonte
            p.cargo = p.cargo or outra.cargo
            p.cpf = p.cpf or outra.cpf
            p.empresa = p.empresa or outra.empresa
            if outra.tipo in ("digital", "testemunha") or p.tipo is None:
                p.tipo = outra.tipo if p.tipo != "testemunha" else p.tipo
            return p
    pessoas.append(outra)
    return outra
