"""The parties: companies qualified in the preamble, in a summary table, or named in articles of association."""

from __future__ import annotations

import re
from typing import Optional

from .tabelas import (
    NAO_NOMES,
    ORGAOS_PUBLICOS, CEP_RE, CNPJ_RE, CPF_RE, _ENTRE_PARTES, _FIM_SEGMENTO, _MARCADOR_EMPRESA,
    _NOME_TOKEN, _PAPEL, _PAPEL_ANTES, _SEPARADOR, _PAPEL_CANONICO, _PAPEL_DEPOIS, _ROTULO_PAPEL, _dobrar,
)
from .texto import (
    _representante_nomeado, _Empresa, _Pessoa, _cargo_limpo, _nome_antes, _parece_empresa,
    _parece_pessoa, _sem_papel, _separar_cargo,
)


# A role the table does not know, given in capitals after "doravante denominada" ("COOPERADA").
_PAPEL_NOMEADO = re.compile(
    r"\b(?:doravante|a seguir|adiante)\s+(?:simplesmente\s+)?(?:denominad|designad|chamad)[ao]s?(?:\s*\([ao]s?\))?"
    r"\s+(?:simplesmente\s+)?(?:como\s+)?(?:[ao]\s+)?[\"'“‘]?([A-ZÀ-Ý]{4,}(?:\s+[A-ZÀ-Ý]{4,})?)\b(?![a-zà-ÿ])")


def _papel_em(dobrado: str, inicio: int, fim: int, texto: Optional[str] = None) -> tuple[Optional[str], int]:
    m = _PAPEL_DEPOIS.search(dobrado, inicio, fim)
    if m:
        return _PAPEL_CANONICO[m.group(1)], m.end()
    if texto is not None and (m := _PAPEL_NOMEADO.search(texto, inicio, fim)):
        if not any(_dobrar(p) in NAO_NOMES for p in m.group(1).split()):  # a template's "NOME" is no role
            return m.group(1), m.end()
    return None, -1


def _papel_rotulo(dobrado: str, inicio_nome: int) -> Optional[str]:
    m = _PAPEL_ANTES.search(dobrado[max(0, inicio_nome - 40):inicio_nome])
    return _PAPEL_CANONICO[next(g for g in m.groups() if g)] if m else None


_SEDE = re.compile(
    r"(?:com\s+)?(?:sede|endereco|estabelecid[ao]|domiciliad[ao]|residente e domiciliad[ao]|residente)"
    r"(?:\s+social)?(?:\s+e\s+foro)?\s*(?:na|no|em|a|à|:)\s+"
)
# Where an address ends when no CEP closes it.
_FIM_ENDERECO = re.compile(r",\s*(?:inscrit|neste ato|doravante|representad|cnpj|c\.n\.p\.j|por meio|nos termos|"
                           r"portador|cpf|e-mail|telefone)|;|\(\s*cnpj")


def _endereco(texto: str, dobrado: str, inicio: int, fim: int) -> Optional[str]:
    m = _SEDE.search(dobrado, inicio, fim)
    if not m:
        return None
    cep = CEP_RE.search(dobrado, m.end(), fim)
    corte = _FIM_ENDERECO.search(dobrado, m.end(), fim)
    if cep and (not corte or cep.start() < corte.start()):
        final = cep.end()
    elif corte:
        final = corte.start()
    else:
        return None
    valor = texto[m.end():final].strip(" ,.;")
    return valor or None


def _com_enumeracao(texto: str, inicio: int, nome: str) -> tuple[int, str]:
    """A name whose words enumerate with commas ("INSTITUTO FEDERAL DE EDUCAÇÃO, CIÊNCIA E TECNOLOGIA
    DE SÃO PAULO", "Secretaria Municipal de Esporte, Lazer e Juventude"), read whole: the run before
    the comma joins when the run after it has the enumeration's "e" and the whole reads as a body's
    or a company's name."""
    for _ in range(3):
        if not nome or not re.search(r"\s[eE]\s", nome) or not re.search(r"[A-ZÀ-Ý][\wÀ-ÿ]*,\s*$", texto[:inicio]):
            break
        virgula = texto.rfind(",", 0, inicio)
        inicio2, antes = _nome_antes(texto, virgula)
        junto = f"{antes}, {nome}"
        if not antes or not (_parece_empresa(antes) or ORGAOS_PUBLICOS.match(_dobrar(_sem_papel(antes)))):
            break
        inicio, nome = inicio2, junto
    return inicio, nome


def _nome_empresa_antes(texto: str, fim: int) -> tuple[int, str]:
    """The company name before a qualification marker; skips one short lower-case descriptor
    ("BANCO X S.A., instituição financeira, inscrita no CNPJ")."""
    inicio, nome = _com_enumeracao(texto, *_nome_antes(texto, fim))
    if nome and not _nome_valido(nome):
        nome = ""
    if nome and not (_parece_empresa(nome) or ORGAOS_PUBLICOS.match(_dobrar(_sem_papel(nome)))):
        # A proper name inside a descriptor clause ("instituída no 2º Tabelião de Notas", "Centro,
        # Barretos/SP") is no party's: the party's name opens the clause.
        inicio2, nome2 = _nome_no_inicio_da_oracao(texto, fim)
        if nome2 and inicio2 < inicio:
            return inicio2, _sem_papel(nome2)
    if not nome:
        virgula = texto.rfind(",", max(0, fim - 60), fim)
        if virgula > 0 and re.fullmatch(r"[\sa-zà-ÿ-]+", texto[virgula + 1:fim]):
            inicio, nome = _com_enumeracao(texto, *_nome_antes(texto, virgula))
    if not nome:
        # "X S.A., registrada na ANS sob o nº 41.234-5, inscrita no CNPJ": up to two clauses
        # back, a name that reads as a company's.
        corte = fim
        for _ in range(2):
            corte = texto.rfind(",", max(0, fim - 120), corte)
            if corte <= 0 or "¶" in texto[corte:fim] or ";" in texto[corte:fim]:
                break
            inicio2, nome2 = _nome_antes(texto, corte)
            if nome2 and _parece_empresa(nome2):
                inicio, nome = inicio2, nome2
                break
    if not nome:
        inicio, nome = _nome_no_inicio_da_oracao(texto, fim)
    return inicio, _sem_papel(nome)


# Where a party's clause starts: a heading's or a sentence's end, a semicolon, a label's colon, the
# previous party's role ("doravante denominada CONTRATANTE,"), or the next party's introduction
# ("..., e a", "de outro lado,", "entre").
_INICIO_ORACAO = re.compile(
    r"¶|;|:(?!\s*\d)|(?:\d|[a-zà-ÿ]{3}|[A-ZÀ-Ý]{4})\.\s"
    r"|\b(?:doravante|a seguir|adiante)\s+(?:simplesmente\s+)?(?:denominad|designad|chamad)[ao]s?(?:\s*\([ao]s?\))?"
    r"\s+(?:simplesmente\s+)?[\"“]?[A-ZÀ-Ý]+[\"”]?\s*,?"
    r"|\b(?:de um|de outro|por outro)\s+lado\s*,?|(?:^|,|\s)e,?\s+(?=(?:a|o|as|os)\s)|\bentre\s+(?=(?:a|o|as|os)\s)"
    r"|\bpelo presente instrumento(?:\s+particular)?\s*,?", re.I)
# The kind of party and its legal form said before its name ("sociedade limitada de nome empresarial X").
_ANTES_DO_NOME_DA_PARTE = re.compile(
    r"^\s*(?:\S+\s+){0,6}?(?:(?:sob\s+)?(?:o|a)\s+)?(?:nome empresarial|denomina[cç][aã]o social"
    r"|raz[aã]o social|firma)\s*(?:de\s+|:\s*)?(?=[A-ZÀ-Ý])")


def _nome_no_inicio_da_oracao(texto: str, fim: int) -> tuple[int, str]:
    """The party's name at the start of the clause whose registration begins at ``fim``, over
    descriptor clauses in lower case between them ("X, entidade autárquica com personalidade
    jurídica de direito público, fundada em ..., com sede ..., inscrita no CNPJ")."""
    janela = max(0, fim - 400)
    inicio = janela
    for m in _INICIO_ORACAO.finditer(texto, janela, fim):
        inicio = m.end()
    if inicio == janela and janela > 0:
        return fim, ""  # no clause start within reach
    oracao = texto[inicio:fim]
    if re.search(r"representad|\bcpf\b|portador", _dobrar(oracao)):
        return fim, ""  # a person's qualification lies between
    if m := _ANTES_DO_NOME_DA_PARTE.match(oracao):
        deslocamento = m.end()
    else:
        deslocamento = re.match(r"[\s,]*(?:e,?\s+)?(?:(?:a|o|as|os)\s+)?(?:(?:empresa|sociedade|entidade|associa[cç][aã]o|"
                                r"institui[cç][aã]o|organiza[cç][aã]o)\s+)?", oracao).end()
    # The name run: words in capitals or capitalised, with their connectors, up to the first comma.
    m = re.match(r"[A-ZÀ-Ý0-9][\wÀ-ÿ'’.&/-]*(?:\s+(?:[A-ZÀ-Ý0-9][\wÀ-ÿ'’.&/-]*|\([A-ZÀ-Ý][\wÀ-ÿ.&-]+\)|d[aeo]s?|e|em|"
                 r"n[ao]s?|aos?|para|&|[-–—]))*?(?=(?:\s*\([^()]{1,60}\))?\s*,\s*[a-zà-ÿ]"
                 r"|\s+(?:inscrit|com sede|sediad|estabelecid|pessoa jur))",
                 texto[inicio + deslocamento:fim + 40])  # (the marker's words too: the name may end right there)
    if m and inicio + deslocamento + m.end() > fim:
        m = None
    if not m:
        return fim, ""
    nome = _sem_papel(m.group().strip())
    if not nome or not _nome_valido(nome) or not (
            _parece_empresa(nome) or ORGAOS_PUBLICOS.match(_dobrar(nome))
            or (len(nome.split()) >= 2 and nome == nome.upper())):
        return fim, ""
    comeco = inicio + deslocamento + m.start()
    return comeco, m.group().strip()


_NOME_EMPRESARIAL = re.compile(
    r"(?:nome empresarial|denomina[cç][aã]o social|raz[aã]o social|denomina[cç][aã]o|firma)\s*(?:de\s+|:\s*)?"
    r"(?=[A-ZÀ-Ý])", re.I)


def _empresa_nomeada(texto: str, dobrado: str) -> Optional[_Empresa]:
    """The company of articles of association that has no CNPJ yet ("sob o nome empresarial X")."""
    m = _NOME_EMPRESARIAL.search(texto)
    if not m:
        return None
    tokens = []
    for t in re.finditer(r"\S+", texto[m.end():m.end() + 200]):
        palavra = t.group()
        if not _NOME_TOKEN.match(palavra.rstrip(",;.")) or (palavra[0].islower() and palavra not in ("de", "da", "do", "e", "&")):
            break
        tokens.append(palavra)
        if re.search(r"[,;]$", palavra):
            break
    while tokens and _dobrar(tokens[-1].rstrip(",;")) in {"de", "da", "do", "das", "dos", "e", "&"}:
        tokens.pop()
    nome = " ".join(tokens).rstrip(",;")
    if not nome or not _parece_empresa(nome):
        return None
    fim = _FIM_SEGMENTO.search(dobrado, m.end() + len(nome))
    empresa = _Empresa(inicio=m.end(), marcador=m.end() + len(nome), fim=fim.start() if fim else len(texto),
                       razao_social=nome)
    empresa.endereco = _endereco(texto, dobrado, empresa.marcador, min(empresa.fim, empresa.marcador + 400))
    return empresa


def _nome_valido(nome: str) -> bool:
    palavras = nome.split()
    if any(re.fullmatch(r"[\[(]?(?:[Xx]{3,}|_{2,}|\.{3,})[\])]?[.,;]?", p) for p in palavras):
        return False  # a template's blank ("XXXXXXXX LTDA", "EMPRESA ________ LTDA")
    if not ORGAOS_PUBLICOS.match(_dobrar(nome)) and all(
            _dobrar(p).strip(".,;:[]") in NAO_NOMES or _dobrar(p) in {"da", "de", "do", "e"} for p in palavras):
        return False  # a template's blank ("[NOME]", "RAZÃO SOCIAL") is no name
    return (bool(re.search(r"[A-Za-zÀ-ÿ]{2}", nome)) and _dobrar(palavras[0]) not in {"cpf", "rg", "cep", "cnpj", "n", "nº"}
            and not any(re.fullmatch(r"[\d.,/-]{3,}", p) for p in palavras[:-1])
            # an individual entrepreneur's business name ends with the owner's CPF
            and (not re.fullmatch(r"[\d.,/-]{3,}", palavras[-1]) or (len(palavras) >= 3 and len(re.sub(r"\D", "", palavras[-1])) == 11)))


# A CNPJ written after its label with a digit missing or extra ("CNPJ sob o nº01276868/001-81"):
# kept as written, for the registry check to judge.
_CNPJ_ROTULADO = re.compile(r"c\.?n\.?p\.?j(?:/mf)?[^\d\n;]{0,40}?(\d[\d.\s/-]{9,22}\d)", re.I)


# A CNPJ as OCR misreads its digits ("11.222.333/OOO1-8l"): letters that look like digits.
_CNPJ_OCR = re.compile(r"c\.?n\.?p\.?j(?:/mf)?[^\d\n;]{0,40}?([\dOoIlS|][\dOoIlS|.,\s/-]{12,22}[\dOoIlS|])", re.I)
_DIGITOS_OCR = str.maketrans("OoIl|S", "001115")


def _cnpj_valido(digitos: str) -> bool:
    if len(digitos) != 14 or len(set(digitos)) == 1:
        return False
    for n in (12, 13):
        pesos = list(range(n - 7, 1, -1)) + list(range(9, 1, -1))
        resto = sum(int(d) * p for d, p in zip(digitos, pesos)) % 11
        if int(digitos[n]) != (0 if resto < 2 else 11 - resto):
            return False
    return True


def _cnpj_escrito(texto: str, inicio: int, fim: int) -> Optional[str]:
    m = _CNPJ_ROTULADO.search(texto, inicio, fim)
    if not m or "/" not in m.group(1):
        # Letters read for digits are mended only when the check digits then agree.
        ocr = _CNPJ_OCR.search(texto, inicio, fim)
        if ocr and re.search(r"[A-Za-z|]", ocr.group(1)):
            numero = re.sub(r"\s", "", ocr.group(1)).translate(_DIGITOS_OCR)
            if (c := CNPJ_RE.fullmatch(numero)) and _cnpj_valido(re.sub(r"\D", "", c.group())):
                return c.group().replace(",", ".")
        return None
    numero = re.sub(r"\s", "", m.group(1))
    return numero if 12 <= len(re.sub(r"\D", "", numero)) <= 15 else None


def _empresas_em_linhas(linhas: list[str]) -> list[_Empresa]:
    """Companies laid out as a form or a letterhead: a name on its own line over a line with only
    its CNPJ ("VITOR WILLIAN MACIEL DA SILVA" / "49.189.084/0001-42")."""
    empresas: list[_Empresa] = []
    for n in range(1, len(linhas)):
        m = re.fullmatch(r"(?:c\.?n\.?p\.?j(?:/mf)?\s*(?:n[º°o.]\s*)?:?\s*)?(" + CNPJ_RE.pattern + r")\.?", linhas[n].strip(), re.I)
        nome = _ROTULO_DE_NOME.sub("", linhas[n - 1].strip(" .;:"))
        if not m or re.search(r"\d|:", nome) or not 2 <= len(nome.split()) <= 10:
            continue
        if not all(_NOME_TOKEN.match(p) for p in nome.split()) or re.search(_PAPEL, _dobrar(nome)):
            continue
        if n >= 2 and _SEPARADOR.search(linhas[n - 2]) and _parece_pessoa(nome):
            continue  # the signer's name under a signature line, over the company's CNPJ: not the company's name
        empresas.append(_Empresa(inicio=n, marcador=n, fim=n, razao_social=nome, cnpj=m.group(1).replace(" ", "")))
    return empresas


# "..., e a sociedade X", "e o MUNICÍPIO": the next party introduced.
_NOVA_PARTE = re.compile(r"(?:,|\s)e,?\s+(?:¶\s+)?(?:a|o|as|os)\s+(?:¶\s+)?(?:(?:sociedade|empresa|associacao|fundacao|"
                         r"cooperativa|companhia|entidade|instituicao)\s+)?(?:¶\s+)?$|,\s*e,?\s+(?:¶\s+)?$")


# A name run in capitals that opens with the next party's introduction ("E A EMPRESA X LTDA").
_OUTRA_PARTE = re.compile(
    r"(?i:[,;]\s*e,?\s+(?:de outro lado,?\s+)?(?:a|o|as|os)\s+(?P<nome>)(?:(?:empresa|sociedade|associa[çc][ãa]o|funda[çc][ãa]o|"
    r"cooperativa|companhia|entidade|institui[çc][ãa]o|organiza[çc][ãa]o da sociedade civil)\s+)?)"
    r"(?!(?:CONTRAT|LOCA|Sr|Sra|Dr|Dra|SR|SRA|DR|DRA)\b)(?=[A-ZÀ-Ý][A-ZÀ-Ý]|[A-ZÀ-Ý][a-zà-ÿ]+\s+[A-ZÀ-Ý])"
    r"|,\s*e,?\s+(?=[A-ZÀ-Ý]{3,}(?:\s+(?:D[AEO]S?|E|&))?\s+[A-ZÀ-Ý]{2,})")
_FIM_FRASE = re.compile(r"(?:\d|[a-zà-ÿ]{3}|[A-ZÀ-Ý]{4})\.\s+[A-ZÀ-Ý]")
_TITULO_ANTES = re.compile(r"¶\s*$")
_NOVA_PARTE_NO_NOME = re.compile(r"[\s,]e,?\s+(?:a|o|as|os)\s+\S")


def _plausivel(e: _Empresa, texto: str, dobrado: str) -> bool:
    """Whether a name found before a qualification marker reads as a party's (a company's name, a
    public body, or one given a CNPJ before the next party), so that the markers after it belong
    to its qualification."""
    if _parece_empresa(e.razao_social) or ORGAOS_PUBLICOS.match(_dobrar(e.razao_social)):
        return True
    proxima = _ENTRE_PARTES.search(dobrado, e.marcador + 1, e.marcador + 1500)
    return bool(CNPJ_RE.search(texto, e.marcador, proxima.start() if proxima else e.marcador + 1500))


def _empresas_qualificadas(texto: str, dobrado: str) -> list[_Empresa]:
    achadas: list[_Empresa] = []
    fim_marcador = 0  # where the last accepted marker ends
    for m in _MARCADOR_EMPRESA.finditer(dobrado):
        inicio, nome = _nome_empresa_antes(texto, m.start())
        if rotulo := _ROTULO_DE_NOME.match(nome):
            inicio, nome = inicio + rotulo.end(), nome[rotulo.end():]
        if not nome or not _nome_valido(nome) or (achadas and achadas[-1].inicio <= inicio <= achadas[-1].marcador):
            continue
        if achadas and achadas[-1].marcador < inicio and _plausivel(achadas[-1], texto, dobrado) and not (
            _ENTRE_PARTES.search(dobrado, fim_marcador, inicio)
            or _ROTULO_PAPEL.search(dobrado, achadas[-1].marcador, inicio + 1)
            # the previous party was given its role, or the name is introduced as the next one
            or _PAPEL_DEPOIS.search(dobrado, fim_marcador, inicio)
            or _NOVA_PARTE.search(dobrado, max(0, inicio - 40), inicio)
            or _NOVA_PARTE_NO_NOME.search(dobrado, max(0, inicio - 4), inicio + 8)
            # a sentence ended after the last qualification (a heading's, then the preamble's)
            or _FIM_FRASE.search(texto, fim_marcador, inicio + 1) or _TITULO_ANTES.search(texto, fim_marcador, inicio)
            or _papel_rotulo(dobrado, inicio)
        ):
            continue  # a second marker of the same qualification ("..., CEP ..., inscrita no CNPJ")
        achadas.append(_Empresa(inicio=inicio, marcador=m.start(), fim=len(texto), razao_social=nome))
        fim_marcador = m.end()
    empresas: list[_Empresa] = []
    for i, e in enumerate(achadas):
        proximo = achadas[i + 1].inicio if i + 1 < len(achadas) else len(texto)
        fim_m = _FIM_SEGMENTO.search(dobrado, e.marcador, proximo)
        e.fim = fim_m.start() if fim_m else min(proximo, e.marcador + 1500)
        rotulo = _ROTULO_PAPEL.search(dobrado, e.marcador, e.fim)
        e.fim = rotulo.start() if rotulo else e.fim
        # Another party introduced by name ends this one's qualification, whatever was not recognised
        # in between: its CNPJ and role are not this party's.
        for outra in _OUTRA_PARTE.finditer(texto, e.marcador, e.fim):
            depois = outra.start("nome") if outra.group("nome") is not None else outra.end()
            nome_outra = re.match(r"[^,;(]*", texto[depois:depois + 150]).group().strip()
            if not _parece_pessoa(nome_outra):  # a second representative ("..., e BEATRIZ ...") goes on
                e.fim = outra.start()
                break
        e.alcance = e.fim
        e.papel, fim_papel = _papel_em(dobrado, e.marcador, e.fim, texto)
        if e.papel:
            e.fim = fim_papel
        e.papel = _papel_rotulo(dobrado, e.inicio) or e.papel
        # (from the name on: a name read at its clause's start has its CNPJ before the marker found)
        cnpj = CNPJ_RE.search(texto, e.inicio, e.fim)
        e.cnpj = cnpj.group().replace(" ", "").replace(",", ".") if cnpj else _cnpj_escrito(texto, e.inicio, e.fim)
        trecho_pj = re.search(r"pessoa juridica|sociedade|companhia|cnpj", dobrado[e.marcador:e.fim])
        # A public body is a party when a role is given to it or it is said to act through someone.
        publico = ORGAOS_PUBLICOS.match(_dobrar(e.razao_social)) and (
            e.papel or re.search(r"denominad|designad|representad", dobrado[e.marcador:e.alcance]))
        # A party with a role whose qualification speaks of its CNPJ is a company, even when
        # the number is missing or mistyped.
        if not (e.cnpj or (trecho_pj and (_parece_empresa(e.razao_social) or e.papel)) or publico
                or (_parece_empresa(e.razao_social)
                    and (e.papel or re.search(r"representad", dobrado[e.marcador:e.alcance])))):
            continue
        fantasia = re.compile(r"nome fantasia\s*:?\s*[\"“]?([^\"”,;]+)").search(dobrado, e.marcador, e.fim)
        if fantasia:
            e.nome_fantasia = texto[fantasia.start(1):fantasia.end(1)].strip() or None
        e.endereco = _endereco(texto, dobrado, e.marcador, e.fim)
        empresas.append(e)
    return empresas


_CNPJ_NA_LINHA = re.compile(r"^(.*?)\s*[–—-]?\s*\bc\.?n\.?p\.?j(?:/mf)?\b\s*(?:n[º°o.]\s*)?:?\s*(" + CNPJ_RE.pattern + r")\s*$",
                            re.I)
_CPF_NA_LINHA = re.compile(r"^c\.?p\.?f\.?(?:/mf)?\s*(?:n[º°o.]\s*)?:?\s*(" + CPF_RE.pattern + r")\s*$", re.I)


# A name's label left without its colon by a table's cells ("Razão Social ACME LTDA").
_ROTULO_DE_NOME = re.compile(r"^(?i:raz[aã]o social|nome empresarial|denomina[cç][aã]o social)\s*:?\s*")


# A role alone on its line, its label, or a role that opens the line (lines of a summary table).
_PAPEL_NA_LINHA = re.compile(_PAPEL + r"\s*(?:[:–—-]|$)")
_SO_PAPEL_NUMERADO = re.compile(r"(?:\d+[.)]?\s*)?(?:d[ao]s?\s+)?" + _PAPEL + r"\s*:?")
_SO_PAPEL_NUMERO = re.compile(r"(?:\d+[.)]?\s*)?" + _PAPEL + r"\s*:?")
_PAPEL_ROTULO = re.compile(_PAPEL + r"\s*:\s*")


def _parte_em_caixa(linhas: list[str], n: int) -> Optional[tuple[str, Optional[str], bool]]:
    """The party boxed under a role line at ``n``: (name, CNPJ or CPF, whether a person)."""
    linha = linhas[n].strip(" .;")
    # a label left without its colon by a table's cells ("Razão Social ACME LTDA") is not the name
    linha = _ROTULO_DE_NOME.sub("", linha)
    seguinte = linhas[n + 1].strip() if n + 1 < len(linhas) else ""
    if m := _CNPJ_NA_LINHA.match(linha):
        nome = m.group(1).strip(" ,;–—-")
        if nome and _nome_valido(nome) and all(_NOME_TOKEN.match(p) for p in nome.split()):
            return nome, m.group(2).replace(" ", ""), False
        return None
    if not 1 <= len(linha.split()) <= 12 or not all(_NOME_TOKEN.match(p) for p in linha.split()):
        return None
    if not _nome_valido(linha) or _PAPEL_NA_LINHA.match(_dobrar(linha)) or ":" in linha:
        return None
    if m := _CNPJ_NA_LINHA.match(seguinte):
        if not m.group(1).strip():
            return linha, m.group(2).replace(" ", ""), False
    if (m := _CPF_NA_LINHA.match(seguinte)) and _parece_pessoa(linha):
        return linha, m.group(1), True
    return None


_ROTULOS_QUADRO = {
    # (a table's two cells may come out as one line without the colon: "Razão Social ACME LTDA")
    "razao": re.compile(r"^(?:(?i:raz[aã]o social|nome empresarial|denomina[cç][aã]o social)\s*(?::\s*|\s+(?=[A-ZÀ-Ý]))"
                        r"|(?i:empresa)\s*:\s*)(.+)$"),
    "cnpj": re.compile(r"^(?:cnpj(?:/mf)?|c\.n\.p\.j\.?)\s*(?:n[º°o.]\s*)?:?\s*(.+)$", re.I),
    "endereco": re.compile(r"^(?:endere[cç]o(?: da sede)?|sede)\s*:\s*(.+)$", re.I),
    "fantasia": re.compile(r"^nome fantasia\s*:\s*(.+)$", re.I),
    "assinatura": re.compile(r"^(?:assinaturas?|assinado por|signat[aá]rios)\s*:\s*(.+)$", re.I),
    "representante": re.compile(r"^(?:representantes?(?: legal| legais)?|repr\.?(?: legal)?|representad[ao] por"
                                r"|signat[aá]rio)\s*:\s*(.+)$", re.I),
}


def _quadro_resumo(linhas: list[str]) -> tuple[list[_Empresa], list[_Pessoa]]:
    """Parties given as labelled lines ("Razão Social: ...", "CNPJ: ...")."""
    empresas: list[_Empresa] = []
    pessoas: list[_Pessoa] = []
    atual: Optional[_Empresa] = None
    papel: Optional[str] = None
    linha_papel = -2
    for n, linha in enumerate(linhas):
        dobrada = _dobrar(linha)
        so_papel = _SO_PAPEL_NUMERADO.fullmatch(dobrada)
        if so_papel:
            papel, linha_papel = _PAPEL_CANONICO[so_papel.group(1)], n
            if n >= 2 and (_CPF_NA_LINHA.match(linhas[n - 1].strip()) or _CNPJ_NA_LINHA.match(linhas[n - 1].strip())):
                linha_papel = -2  # "NOME" / "CPF: ..." / "CONTRATANTE": the role closes the box above it
            continue
        if re.fullmatch(r"(?:representad[ao] por|repr\.?(?: legal)?|representantes?(?: legal)?)\s*:?", dobrada) and atual:
            # "Representada por:" over the name, the CPF on the line after it
            linha = linha.rstrip(" :") + ": " + " ".join(linhas[n + 1:n + 3])
            dobrada = _dobrar(linha)
        if papel and n == linha_papel + 1 and (caixa := _parte_em_caixa(linhas, n)):
            # A party's box under its role: "CONTRATANTE" / "ACME LTDA" / "CNPJ: ..." (or the name and
            # "– CNPJ ..." on one line), a natural person's "NOME" / "CPF: ...".
            nome, numero, pessoa = caixa
            if pessoa:
                pessoas.append(_Pessoa(nome=nome, cpf=numero, tipo="parte", cargo=_cargo_limpo(papel.title()),
                                       origem=n))
                atual = None
            else:
                atual = _Empresa(inicio=n, marcador=n, fim=n, razao_social=nome, cnpj=numero, papel=papel)
                empresas.append(atual)
            papel = None
            continue
        if (m := _ROTULOS_QUADRO["razao"].match(linha)) or (
                # "Nome: X" under a role, with a CNPJ line right after: a company's name
                (m := re.match(r"^nome\s*:\s*(.+)$", linha, re.I)) and papel
                and any(_ROTULOS_QUADRO["cnpj"].match(x) and CNPJ_RE.search(x) for x in linhas[n + 1:n + 3])):
            atual = _Empresa(inicio=n, marcador=n, fim=n, razao_social=m.group(1).strip(" .;"), papel=papel)
            empresas.append(atual)
            papel = None
        elif papel and (m := re.match(r"^nome\s*:\s*(.+)$", linha, re.I)):
            # "Nome: X" under a role, with a CPF line right after: a natural person as the party
            nome = m.group(1).strip(" .;")
            cpf = next((c for x in linhas[n + 1:n + 3] if (c := _CPF_NA_LINHA.match(x.strip()))), None)
            if cpf and _parece_pessoa(nome):
                pessoas.append(_Pessoa(nome=nome, cpf=cpf.group(1), tipo="parte", cargo=_cargo_limpo(papel.title()),
                                       origem=n))
                papel = None
            atual = None  # another party's box: the labels under it are not the last company's
        elif m := _PAPEL_ROTULO.match(dobrada):
            # "CONTRATADA: BETA SERVIÇOS LTDA." – a party named on its role's line.
            nome = re.split(r",|\s\(", linha[m.end():])[0].strip(" ;.")
            # "Imobiliária X CNPJ: 12.345.678/0001-00": the name, and the CNPJ as written (its check
            # digits are the registry check's to judge)
            partes_cnpj = re.split(r"\s*[–-]?\s*\bc\.?n\.?p\.?j(?:/mf)?\b\s*(?:n[º°o.]\s*)?:?\s*", nome, maxsplit=1,
                                   flags=re.I)
            cnpj_escrito = CNPJ_RE.match(partes_cnpj[1]) if len(partes_cnpj) == 2 else None
            if cnpj_escrito:
                nome = partes_cnpj[0].strip(" ;.–-")
            # a clause ("Pessoa física ou jurídica que adere aos serviços") is no name
            if ((_parece_empresa(nome) or cnpj_escrito or ORGAOS_PUBLICOS.match(_dobrar(nome))) and _nome_valido(nome)
                    and all(_NOME_TOKEN.match(p) for p in nome.split())):
                atual = _Empresa(inicio=n, marcador=n, fim=n, razao_social=nome, papel=_PAPEL_CANONICO[m.group(1)],
                                 cnpj=cnpj_escrito.group().replace(" ", "") if cnpj_escrito else None)
                empresas.append(atual)
            else:
                atual = None  # another party's line (a person's): the labels after it are not the last company's
                seguinte = linhas[n + 1].strip() if n + 1 < len(linhas) else ""
                resto = linha[m.end():].strip()[len(nome):]
                cpf = _CPF_NA_LINHA.match(re.sub(r"^\s*[,;–—-]\s*", "", resto)) if resto.strip() else _CPF_NA_LINHA.match(seguinte)
                if cpf and _parece_pessoa(nome):
                    # a natural person as a party ("LOCADOR: FULANO" over "CPF: ..."): the CPF is theirs
                    pessoas.append(_Pessoa(nome=nome, cpf=cpf.group(1), tipo="parte",
                                           cargo=_cargo_limpo(_PAPEL_CANONICO[m.group(1)].title()), origem=n))
        elif m := _ROTULOS_QUADRO["assinatura"].match(linha):
            for parte in re.split(r";|\s+e\s+(?=[A-ZÀ-Ý])", m.group(1)):
                nome = re.split(r",|\s[–-]\s|\(", parte)[0].strip()
                cargo = re.search(r"\(([^)]+)\)", parte)
                cpf = CPF_RE.search(parte)
                if _parece_pessoa(nome):
                    pessoas.append(_Pessoa(nome=nome, cargo=_cargo_limpo(cargo.group(1)) if cargo else None,
                                           cpf=cpf.group() if cpf else None, origem=n))
        elif atual is None:
            continue
        elif m := _ROTULOS_QUADRO["cnpj"].match(linha):
            c = CNPJ_RE.search(m.group(1))
            atual.cnpj = c.group().replace(" ", "").replace(",", ".") if c else atual.cnpj
        elif m := _ROTULOS_QUADRO["endereco"].match(linha):
            endereco = m.group(1).strip(" .;")
            # A long address wraps: the next lines go on until a label or a role.
            for seguinte in linhas[n + 1:n + 3]:
                if re.match(r"^[\wÀ-ÿ /]{2,30}:", seguinte) or _SO_PAPEL_NUMERO.fullmatch(_dobrar(seguinte)):
                    break
                endereco += " " + seguinte.strip(" .;")
            atual.endereco = endereco
        elif m := _ROTULOS_QUADRO["fantasia"].match(linha):
            atual.nome_fantasia = m.group(1).strip(" .;")
        elif re.match(r"(?:neste ato\s*,?\s*)?representad[ao]\b", dobrada) and not _ROTULOS_QUADRO["representante"].match(linha):
            # "Representada neste ato, por seu representante legal, o(a) Sr(a) FULANO."
            achado = _representante_nomeado(re.sub(r"^\S+\s+(?:neste ato\s*,?\s*)?", "", linha))
            if achado:
                pessoas.append(_Pessoa(nome=achado[2], cargo=_cargo_limpo(achado[3] or ""), empresa=atual,
                                       tipo="representante", origem=n))
        elif m := _ROTULOS_QUADRO["representante"].match(linha):
            for parte in re.split(r"\s+e\s+(?=[A-ZÀ-Ý])|;", m.group(1)):
                nome = re.split(r",|\s[–-]\s|\(|\s+(?=(?:CPF|RG|CNH)\b)", parte)[0].strip()
                nome, cargo = _separar_cargo(nome)
                if not _parece_pessoa(nome):
                    continue
                cpf = CPF_RE.search(parte)
                resto = re.sub(r"cpf\S*\s*(?:n[º°o.]\s*)?:?\s*" + CPF_RE.pattern, "", parte[len(nome):], flags=re.I)
                cargo = cargo or next((c.strip() for c in re.split(r",|\s[–-]\s", resto) if c.strip()
                                       and not re.search(r"\d|cpf|rg\b|brasileir", _dobrar(c))), "")
                pessoas.append(_Pessoa(nome=nome, cargo=_cargo_limpo(cargo), cpf=cpf.group() if cpf else None,
                                       empresa=atual, tipo="representante", origem=n))
    return [e for e in empresas if e.cnpj or _parece_empresa(e.razao_social)
            or (e.papel and ORGAOS_PUBLICOS.match(_dobrar(e.razao_social)))], pessoas
