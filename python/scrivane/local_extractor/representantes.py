"""The people qualified in the text: representatives of a company, or parties themselves."""

from __future__ import annotations

import re
from typing import Optional

from .tabelas import CPF_RE, REPRESENTACAO, _FIM_SEGMENTO, _MARCADOR_PESSOA, _ROTULO_PAPEL, _dobrar
from .texto import (
    _cargo_antes,
    _mesmo_nome, _representante_nomeado, _Empresa, _Pessoa, _cargo_limpo, _nome_antes,
    _parece_pessoa, _sem_papel, _separar_cargo, _titulo,
)
from .partes import _papel_em, _papel_rotulo


def _representa(e: _Empresa, inicio: int, dobrado: str) -> bool:
    """Whether the person named at ``inicio`` is introduced as ``e``'s representative: after the
    company's qualification opens and before it ends, with a representation phrase between (after
    the role, when the role is written before the representatives)."""
    if not e.marcador < inicio <= max(e.fim, e.alcance):
        return False
    desde = e.fim if inicio > e.fim else e.marcador
    return bool(re.search(REPRESENTACAO, dobrado[desde:inicio])) and not _ROTULO_PAPEL.search(dobrado, e.marcador, inicio)


def _representantes_nomeados(texto: str, dobrado: str, empresas: list[_Empresa], pessoas: list[_Pessoa]) -> None:
    """Representatives named with no qualification of their own ("representado pelo Capitão de
    Fragata (IM) FULANO, Ordenador de Despesa"), added to ``pessoas``."""
    for e in empresas:
        fim = max(e.fim, e.alcance)
        if fim <= e.marcador:
            continue
        for r in re.finditer(REPRESENTACAO, dobrado[e.marcador:fim]):
            depois = dobrado[e.marcador + r.end():e.marcador + r.end() + 60]
            if not r.group().startswith(("represent", "neste ato")) and not re.match(r"\s*(?:seu|sua|seus|suas)\s", depois):
                continue  # "por meio da SECRETARIA ...": an organ acting, not a person ("do seu Diretor": a person)
            inicio = e.marcador + r.end()
            corte = re.compile(r";|¶|\bdoravante\b").search(dobrado, inicio, min(fim, inicio + 250))
            trecho = texto[inicio:corte.start() if corte else min(fim, inicio + 250)]
            achado = _representante_nomeado(trecho)
            if not achado:
                continue
            onde, _, nome, cargo = achado
            if any(_mesmo_nome(nome, p.nome) or inicio <= p.origem <= inicio + len(trecho) for p in pessoas):
                continue
            pessoas.append(_Pessoa(nome=nome, cargo=_cargo_limpo(cargo or ""), empresa=e, tipo="representante",
                                   origem=inicio + onde))


def _pessoas_qualificadas(texto: str, dobrado: str, empresas: list[_Empresa], societario: bool) -> list[_Pessoa]:
    pessoas: list[_Pessoa] = []
    marcadores: list[int] = []
    cargo_plural = ""
    for m in _MARCADOR_PESSOA.finditer(dobrado):
        inicio, nome = _nome_antes(texto, m.start())
        nome, cargo = _separar_cargo(_sem_papel(nome))
        if not _parece_pessoa(nome):
            # "FULANO, Diretor Financeiro, brasileiro": the position sits between name and qualification.
            virgula = texto.rfind(",", max(0, m.start() - 60), inicio)
            if virgula < 0 or not re.fullmatch(r"[\sA-Za-zÀ-ÿ-]+", texto[virgula + 1:m.start()]):
                continue
            inicio2, nome2 = _nome_antes(texto, virgula)
            nome2, _ = _separar_cargo(_sem_papel(nome2))
            if not _parece_pessoa(nome2):
                continue
            cargo, nome, inicio = texto[virgula + 1:m.start()].strip(), nome2, inicio2
        if pessoas and inicio <= pessoas[-1].origem:
            continue
        empresa = next((e for e in empresas if _representa(e, inicio, dobrado)), None)
        papel: Optional[str] = None
        if empresa is None:
            # A person's own qualification is short: look no further than this for its end.
            limite = min(len(texto), m.start() + 2000)
            fim_m = _FIM_SEGMENTO.search(dobrado, m.start(), limite)
            rotulo = _ROTULO_PAPEL.search(dobrado, m.start(), limite)
            proxima = next((e.inicio for e in empresas if e.inicio > m.start()), limite)
            fim = min(fim_m.start() if fim_m else limite, rotulo.start() if rotulo else limite, proxima)
            papel, _ = _papel_em(dobrado, m.start(), fim)
            papel = _papel_rotulo(dobrado, inicio) or papel
            if papel is None and societario and empresas:
                empresa, cargo = empresas[0], cargo or "Sócio"
            elif papel is None:
                continue
        else:
            # The position precedes the name: "por seu sócio administrador FULANO", "e sua diretora FULANA".
            antes = texto[max(empresa.marcador, inicio - 80):inicio]
            frase = re.search(r".*(?:\bpor|\bpel[oa]s?|,|\be)\s+((?:(?:seu|sua|seus|suas|o|a)\s+)?[^,;]*?)\s*,?\s*$",
                              antes, re.S)
            if not cargo and frase and not re.search(r"\d", frase.group(1)):
                cargo = frase.group(1)
            if not _cargo_limpo(cargo or ""):
                cargo = _cargo_antes(antes) or cargo
            if cargo and _dobrar(cargo.split()[-1]) in ("socios", "diretores", "administradores", "procuradores"):
                cargo_plural = cargo
            elif not cargo and cargo_plural:
                cargo = cargo_plural
        pessoas.append(_Pessoa(nome=nome, cargo=_cargo_limpo(cargo) or (_titulo(papel) if papel else None),
                               empresa=empresa, tipo="representante" if empresa else "parte", origem=inicio))
        marcadores.append(m.start())
    _representantes_nomeados(texto, dobrado, empresas, pessoas)
    # Each one's CPF lies between their qualification and the next person or party.
    limites = sorted({p.origem for p in pessoas} | {e.inicio for e in empresas} | {len(texto)})
    for p, marcador in zip(pessoas, marcadores):
        fim = next(x for x in limites if x > marcador)
        cpf = CPF_RE.search(texto, marcador, fim)
        p.cpf = cpf.group() if cpf else None
    return pessoas
