"""The signature block, the witnesses and the digital-signature stamps."""

from __future__ import annotations

import re
from collections import Counter
from dataclasses import dataclass
from typing import Any, Optional, Sequence

from .tabelas import CPF_RE, _CARIMBOS, _CARIMBO_CERTIFICADO, _CPF_DO_CERTIFICADO, _DATA_EXTENSO, _PAPEL, _PAPEL_CANONICO, _SEPARADOR, _dobrar
from .texto import _Empresa, _Pessoa, _cargo_limpo, _chave_nome, _mesmo_nome, _parece_empresa, _parece_pessoa


def _inicio_assinaturas(linhas: list[str]) -> int:
    for i in range(len(linhas) - 1, -1, -1):
        d = _dobrar(linhas[i])
        if _DATA_EXTENSO.search(d) and re.match(r"^[a-z][a-z .'/-]*(?:/[a-z]{2})?\s*[,–-]", d):
            return i + 1
        if re.search(r"por estarem (?:assim )?(?:justa|de acordo)|e,? por assim|assinam o presente", d):
            return i + 1
    seps = [i for i, l in enumerate(linhas) if _SEPARADOR.search(l)]
    return seps[0] if seps else len(linhas)


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
    return None


def _bloco_assinaturas(linhas: list[str], empresas: list[_Empresa]) -> list[_Pessoa]:
    pessoas: list[_Pessoa] = []
    inicio = _inicio_assinaturas(linhas)
    grupos: list[tuple[list[str], bool, Optional[_Empresa], bool]] = []
    testemunha = False
    pendente: Optional[_Empresa] = None
    atual: Optional[list[str]] = None
    for linha in linhas[inicio:]:
        dobrada = _dobrar(linha)
        if re.match(r"^testemunhas?\b", dobrada):
            testemunha, atual, pendente = True, None, None
            linha = re.sub(r"^\S+\s*:?\s*", "", linha)
            if not linha:
                continue
            dobrada = _dobrar(linha)
        if len(_SEPARADOR.findall(linha)) >= 2 and not re.search(r"[A-Za-zÀ-ÿ]{3}", _SEPARADOR.sub("", linha)):
            # Signatures side by side: their lines come out of the PDF joined ("Maria Silva João
            # Souza"), so only labelled names are read from them ("Nome: A Nome: B").
            atual = []
            grupos.append((atual, testemunha, None, True))
            continue
        if _SEPARADOR.search(linha):
            for parte in _SEPARADOR.split(linha)[1:] or [""]:
                atual = [parte.strip(" :")] if parte.strip(" :") else []
                grupos.append((atual, testemunha, pendente, False))
            antes = _SEPARADOR.split(linha)[0].strip(" :")
            if antes and not re.fullmatch(r"\d+[.)]?", antes):
                e = _empresa_da_linha(antes, empresas)
                if e:
                    grupos[-1] = (atual, testemunha, e, False)
            continue
        if atual is None or (re.fullmatch(r"(?:pel[ao]\s+|p/\s*)?" + _PAPEL + r"\s*:?", dobrada) and atual):
            papel = re.search(_PAPEL, dobrada)
            if papel and len(dobrada) < 40:
                pendente = _empresa_da_linha(linha, empresas)
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
                nome = nome or partes[0].strip(" ,;–-")
                continue
            if m := re.match(r"^(?:cargo|fun[cç][aã]o|qualidade)\s*:\s*(.+)$", linha, re.I):
                cargo = m.group(1).strip()
                continue
            if re.match(r"^(?:cpf|rg|data|e-?mail)\b", dobrada):
                continue
            e = _empresa_da_linha(linha, empresas) if not eh_testemunha else None
            nomeia = e is not None and any(_chave_nome(x.razao_social) in _chave_nome(linha) for x in empresas)
            if e is not None and (nomeia or _parece_empresa(linha) or re.match(r"^(?:p/|pel[ao]\b|representando)", dobrada)):
                empresa = e  # the company written under the line wins over a label above the block
                continue
            if e is not None and re.search(_PAPEL, dobrada):
                empresa = empresa or e
                continue
            partes = [p.strip() for p in re.split(r"\s[–-]\s|,", linha) if p.strip()]
            if partes and nome is None and _parece_pessoa(re.sub(r"\s*\(.*", "", partes[0])):
                nome = re.sub(r"\s*\(.*", "", partes[0])
                resto = [p for p in partes[1:] if not re.search(r"cpf|\d", _dobrar(p))]
                cargo = cargo or (resto[0] if resto else None)
            elif nome is not None and cargo is None and not _parece_empresa(linha) and not re.search(r"\d", linha):
                cargo = linha.strip()
        if not nome:
            continue
        if eh_testemunha:
            pessoas.append(_Pessoa(nome=nome, cargo="Testemunha", cpf=cpf, tipo="testemunha", fonte=2))
        else:
            pessoas.append(_Pessoa(nome=nome, cargo=_cargo_limpo(cargo or ""), cpf=cpf, empresa=empresa,
                                   tipo="representante" if empresa else None, fonte=2))
    return pessoas


def _carimbos(texto_bruto: str) -> list[tuple[str, Optional[str]]]:
    achados: list[tuple[str, Optional[str]]] = []

    def anota(nome: str, cpf: Optional[str]) -> None:
        nome = re.split(r"\s+(?:em|CPF|no dia|data)\b", nome)[0].strip()
        if _parece_pessoa(nome) and not any(_mesmo_nome(nome, n) for n, _ in achados):
            achados.append((nome, cpf))

    for padrao in _CARIMBOS:
        for m in padrao.finditer(texto_bruto):
            anota(m.group(1), m.group(2))
    # The ICP-Brasil certificate name, "NOME COMPLETO:12345678900".
    for m in _CPF_DO_CERTIFICADO.finditer(texto_bruto):
        nome = _CARIMBO_CERTIFICADO.search(texto_bruto, max(0, m.start() - 80), m.start())
        if nome:
            anota(nome.group(1), m.group(1))
    return achados


def _juntar(pessoas: list[_Pessoa], outra: _Pessoa) -> None:
    for p in pessoas:
        if _mesmo_nome(p.nome, outra.nome):
            # The name as the parties are qualified wins over a signature line or a stamp.
            if outra.fonte > p.fonte or (outra.fonte == p.fonte and len(outra.nome) > len(p.nome)):
                p.nome, p.fonte = outra.nome, outra.fonte
            p.cargo = p.cargo or outra.cargo
            p.cpf = p.cpf or outra.cpf
            p.empresa = p.empresa or outra.empresa
            if outra.tipo in ("digital", "testemunha") or p.tipo is None:
                p.tipo = outra.tipo if p.tipo != "testemunha" else p.tipo
            return
    pessoas.append(outra)
