"""What a reader sees changed in a PDF after each signature.

A signature covers a revision of the file (a prefix of its bytes); later
incremental updates may add signatures, time stamps and validation data, fill
form fields, add annotations, or change what the pages show.  This module
compares the covered revision with the final file as a reader sees it: the
pages (added or removed), each page's text and a low-resolution rendering of
it, and the values of the form fields.

    comparador = ComparadorRevisoes(reader, dados)
    comparador.comparar(revisao, fim)       # -> Alteracoes

Only pages an update can have touched are rendered: a page none of whose
objects (content, resources, annotations and their appearances) was written
again after the revision is the same page.  The annotations added after the
revision (signature widgets, comments), and the widgets of signature fields
signed or form fields filled after it, are left out of both renderings, so
what remains to differ is what the signer saw and signed.  An annotation that
was there when the document was signed and looks different at the end (a
hidden overlay made visible, a field whose appearance was swapped) is a
change of content.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Iterable, Optional

__all__ = [
    "NADA_MUDOU",
    "APENAS_ASSINATURAS",
    "CAMPOS_PREENCHIDOS",
    "ANOTACOES_ACRESCENTADAS",
    "CONTEUDO_ALTERADO",
    "Alteracoes",
    "ComparadorRevisoes",
]

NADA_MUDOU = "nada mudou"
APENAS_ASSINATURAS = "apenas assinaturas, carimbos de tempo ou dados de validação acrescentados"
CAMPOS_PREENCHIDOS = "campos de formulário preenchidos"
ANOTACOES_ACRESCENTADAS = "anotações acrescentadas"
CONTEUDO_ALTERADO = "conteúdo alterado"

# From the mildest to the gravest: the verdict is the gravest found.
_ORDEM = (NADA_MUDOU, APENAS_ASSINATURAS, CAMPOS_PREENCHIDOS, ANOTACOES_ACRESCENTADAS, CONTEUDO_ALTERADO)

# Rendering resolution: enough to see a changed word or a moved line, cheap.
ESCALA = 0.5  # 36 dpi

# Keys not followed when collecting what a page depends on: links back up the
# page or field tree, and links to other pages or outline items.
_NAO_SEGUIR = frozenset({"/Parent", "/P", "/Prev", "/Next", "/First", "/Last", "/Dest", "/D", "/B", "/IRT",
                         "/Popup", "/V", "/Kids"})
_HERDADOS = ("/Resources", "/MediaBox", "/CropBox", "/Rotate")
_MAX_PROFUNDIDADE = 64


@dataclass
class Alteracoes:
    """O que mudou, para quem lê, entre a revisão assinada e o arquivo final.

    ``veredito``: uma das cinco respostas (``NADA_MUDOU`` ... ``CONTEUDO_ALTERADO``);
    ``paginas``: as páginas (contadas a partir de 1) cujo conteúdo mudou,
    foi acrescentado ou removido; ``detalhes``: frases que explicam;
    ``sobreposicao``: uma anotação que já existia ao assinar passou a ser
    vista de outro modo (uma sobreposição oculta revelada); ``imagens``: as
    páginas em que um carimbo, um traço à mão ou uma imagem foi acrescentado
    como anotação depois.
    """

    veredito: str
    paginas: list[int] = field(default_factory=list)
    detalhes: list[str] = field(default_factory=list)
    sobreposicao: bool = False
    imagens: list[int] = field(default_factory=list)

    @property
    def alterado(self) -> bool:
        return self.veredito == CONTEUDO_ALTERADO


def _gravest(a: str, b: str) -> str:
    return a if _ORDEM.index(a) >= _ORDEM.index(b) else b


class _Pagina:
    __slots__ = ("ref", "obj", "ancestrais")

    def __init__(self, ref: Any, obj: Any, ancestrais: list[Any]):
        self.ref, self.obj, self.ancestrais = ref, obj, ancestrais


def _paginas(root: Any) -> list[_Pagina]:
    """The leaf pages of a revision, in order, with their ancestors' references."""
    from pyhanko.pdf_utils import generic

    saida: list[_Pagina] = []
    vistos: set = set()

    def visitar(no_ref: Any, ancestrais: list[Any], profundidade: int) -> None:
        if profundidade > _MAX_PROFUNDIDADE:
            return
        ref = no_ref.reference if isinstance(no_ref, generic.IndirectObject) else None
        if ref is not None:
            if ref in vistos:
                return
            vistos.add(ref)
        no = no_ref.get_object()
        if not isinstance(no, generic.DictionaryObject):
            return
        kids = no.get("/Kids") if "/Kids" in no else None
        if no.get("/Type") == "/Pages" or (kids is not None and no.get("/Type") != "/Page"):
            for kid in kids or ():
                visitar(kid, ancestrais + [(ref, no)], profundidade + 1)
        else:
            saida.append(_Pagina(ref, no, ancestrais))

    visitar(root.raw_get("/Pages"), [], 0)
    return saida


def _campos(root: Any) -> tuple[dict[str, Any], dict[str, bool]]:
    """(value of each non-signature field, signed state of each signature field) by full name."""
    from pyhanko.pdf_utils import generic

    valores: dict[str, Any] = {}
    assinados: dict[str, bool] = {}
    try:
        campos = root["/AcroForm"]["/Fields"]
    except (KeyError, TypeError):
        return valores, assinados
    vistos: set = set()

    def visitar(campo_ref: Any, prefixo: str, tipo: Any, profundidade: int) -> None:
        if profundidade > _MAX_PROFUNDIDADE:
            return
        if isinstance(campo_ref, generic.IndirectObject):
            if campo_ref.reference in vistos:
                return
            vistos.add(campo_ref.reference)
        campo = campo_ref.get_object()
        if not isinstance(campo, generic.DictionaryObject):
            return
        nome = campo.get("/T")
        nome_completo = f"{prefixo}.{nome}" if prefixo and nome is not None else (str(nome) if nome is not None else prefixo)
        tipo = campo.get("/FT", tipo)
        if "/V" in campo or "/T" in campo:
            if tipo == "/Sig":
                assinados[nome_completo] = assinados.get(nome_completo, False) or "/V" in campo
            elif "/V" in campo:
                valores[nome_completo] = _valor(campo.raw_get("/V"))
        for kid in campo.get("/Kids") or ():
            visitar(kid, nome_completo, tipo, profundidade + 1)

    for c in campos or ():
        visitar(c, "", None, 0)
    return valores, assinados


def _valor(valor: Any) -> Any:
    from pyhanko.pdf_utils import generic

    valor = valor.get_object() if isinstance(valor, generic.IndirectObject) else valor
    if isinstance(valor, generic.ArrayObject):
        return tuple(_valor(v) for v in valor)
    if isinstance(valor, generic.StreamObject):
        return bytes(valor.data)
    return str(valor)


def _forma(obj: Any, profundidade: int = 0, pilha: Optional[set] = None, resolver: bool = True) -> Any:
    """A comparable form of a small object graph (indirect objects resolved unless
    ``resolver`` is false, cycles cut)."""
    from pyhanko.pdf_utils import generic

    pilha = set() if pilha is None else pilha
    if profundidade > _MAX_PROFUNDIDADE:
        return ("...",)
    if isinstance(obj, generic.IndirectObject):
        ref = (obj.idnum, obj.generation)
        if ref in pilha or not resolver:
            return ("ref", ref)
        pilha.add(ref)
        try:
            return ("ref", ref, _forma(obj.get_object(), profundidade + 1, pilha))
        except Exception:
            return ("ref", ref, None)
        finally:
            pilha.discard(ref)
    if isinstance(obj, generic.DictionaryObject):
        itens = tuple(sorted((str(k), _forma(obj.raw_get(k), profundidade + 1, pilha, resolver)) for k in obj))
        if isinstance(obj, generic.StreamObject):
            try:
                return ("stream", itens, bytes(obj.data))
            except Exception:
                return ("stream", itens, None)
        return ("dict", itens)
    if isinstance(obj, generic.ArrayObject):
        return ("array", tuple(_forma(v, profundidade + 1, pilha, resolver) for v in obj))
    return (type(obj).__name__, str(obj))


class _CamadasOpcionais:
    """The optional-content configuration of one revision: the groups, and which are shown."""

    def __init__(self, root: Any):
        from pyhanko.pdf_utils import generic

        self.forma: Any = None
        self.grupos: dict[Any, str] = {}  # group reference -> its name
        self.visiveis: set = set()
        try:
            bruto = root.raw_get("/OCProperties") if "/OCProperties" in root else None
        except Exception:
            bruto = None
        if bruto is None:
            return
        self.forma = _forma(bruto)
        try:
            propriedades = bruto.get_object()
            for g in propriedades.get("/OCGs") or ():
                if isinstance(g, generic.IndirectObject):
                    try:
                        nome = str(g.get_object().get("/Name") or "")
                    except Exception:
                        nome = ""
                    self.grupos[g.reference] = nome
            padrao = propriedades.get("/D") or generic.DictionaryObject()
            ligados = {g.reference for g in padrao.get("/ON") or () if isinstance(g, generic.IndirectObject)}
            desligados = {g.reference for g in padrao.get("/OFF") or () if isinstance(g, generic.IndirectObject)}
            base_desligada = padrao.get("/BaseState") == "/OFF"
            self.visiveis = {g for g in self.grupos
                             if g in ligados or (g not in desligados and not base_desligada)}
        except Exception:
            pass

    def diferencas(self, depois: "_CamadasOpcionais") -> list[str]:
        """How each group's state changed, as a reader is told."""
        saida = []
        for ref in sorted(set(self.grupos) | set(depois.grupos), key=lambda r: (r.idnum, r.generation)):
            nome = depois.grupos.get(ref) or self.grupos.get(ref) or f"objeto {ref.idnum}"
            antes = "ausente" if ref not in self.grupos else ("visível" if ref in self.visiveis else "oculta")
            agora = "ausente" if ref not in depois.grupos else ("visível" if ref in depois.visiveis else "oculta")
            if antes != agora:
                saida.append(f"camada opcional \"{nome}\": {antes} ao assinar, {agora} no arquivo final")
        return saida


def _desenho(anotacao: Any) -> bool:
    """A stamp, a freehand drawing, or an annotation whose appearance shows an image (a drawn signature)."""
    from pyhanko.pdf_utils import generic

    if anotacao.get("/Subtype") in ("/Stamp", "/Ink"):
        return True
    try:
        aparencia = anotacao["/AP"]["/N"]
        if isinstance(aparencia, generic.DictionaryObject) and not isinstance(aparencia, generic.StreamObject):
            aparencia = next(iter(aparencia.values())).get_object()
        objetos = aparencia["/Resources"]["/XObject"]
        return any(o.get_object().get("/Subtype") == "/Image" for o in objetos.values())
    except Exception:
        return False


def _campo_do_widget(widget: Any) -> tuple[Any, Optional[str]]:
    """(the field's /FT, the field's object) of a widget annotation, climbing its /Parent chain."""
    from pyhanko.pdf_utils import generic

    no = widget
    for _ in range(_MAX_PROFUNDIDADE):
        if not isinstance(no, generic.DictionaryObject):
            break
        if "/FT" in no:
            return no, no.get("/FT")
        pai = no.raw_get("/Parent") if "/Parent" in no else None
        if pai is None:
            break
        no = pai.get_object()
    return widget, None


class ComparadorRevisoes:
    """Compares revisions of one PDF with the final file (see the module's docstring).

    ``reader``: pyHanko's ``PdfFileReader`` of the file; ``dados``: its bytes.
    Holds the final file's pdfium document and renderings between calls.
    """

    def __init__(self, reader: Any, dados: bytes):
        self.reader = reader
        self.dados = dados
        self._final_paginas: Optional[list[_Pagina]] = None
        self._final_campos: Optional[tuple[dict, dict]] = None
        self._docs: dict[int, Any] = {}
        self._cache: dict[tuple, tuple[str, bytes]] = {}

    # -- structure -------------------------------------------------------------

    def _alteradas_depois(self, revisao: int) -> set:
        xrefs = self.reader.xrefs
        refs: set = set()
        for r in range(revisao + 1, xrefs.total_revisions):
            refs |= set(xrefs.explicit_refs_in_revision(r))
            refs |= set(xrefs.refs_freed_in_revision(r))
        return refs

    def _depende(self, raizes: Iterable[Any], alteradas: set, memo: dict) -> bool:
        """Whether any object reachable from ``raizes`` (final revision) was written after the revision."""
        from pyhanko.pdf_utils import generic

        pilha: set = set()

        def visitar(obj: Any, profundidade: int) -> tuple[bool, bool]:
            # (tainted, complete): an answer that met an object still being
            # explored is not cached.
            if profundidade > _MAX_PROFUNDIDADE * 4:
                return True, False
            if isinstance(obj, generic.IndirectObject):
                ref = obj.reference
                if ref in alteradas:
                    return True, True
                if ref in memo:
                    return memo[ref], True
                if ref in pilha:
                    return False, False
                pilha.add(ref)
                try:
                    alvo = obj.get_object()
                except Exception:
                    return True, True
                tainted, completo = visitar(alvo, profundidade + 1)
                pilha.discard(ref)
                if completo or tainted:
                    memo[ref] = tainted
                return tainted, completo
            completo = True
            if isinstance(obj, generic.DictionaryObject):  # streams too
                for chave in obj:
                    if chave in _NAO_SEGUIR:
                        continue
                    t, c = visitar(obj.raw_get(chave), profundidade + 1)
                    if t:
                        return True, True
                    completo = completo and c
            elif isinstance(obj, generic.ArrayObject):
                for item in obj:
                    t, c = visitar(item, profundidade + 1)
                    if t:
                        return True, True
                    completo = completo and c
            return False, completo

        return any(visitar(r, 0)[0] for r in raizes)

    def _final(self) -> tuple[list[_Pagina], tuple[dict, dict]]:
        if self._final_paginas is None:
            self._final_paginas = _paginas(self.reader.root)
            self._final_campos = _campos(self.reader.root)
        return self._final_paginas, self._final_campos  # type: ignore[return-value]

    def _ref_raiz(self) -> Any:
        try:
            return self.reader.root_ref
        except Exception:
            return None

    def _ref_formulario(self) -> Any:
        from pyhanko.pdf_utils import generic

        try:
            form = self.reader.root.raw_get("/AcroForm")
        except Exception:
            return None
        return form.reference if isinstance(form, generic.IndirectObject) else None

    def _refs_invisiveis(self) -> set:
        """The catalog's and trailer's entries no page shows: metadata, validation data, permissions, /Info."""
        from pyhanko.pdf_utils import generic

        refs: set = set()
        for dono, chaves in ((self.reader.root, ("/Metadata", "/DSS", "/Perms")), (self.reader.trailer, ("/Info",))):
            for chave in chaves:
                try:
                    valor = dono.raw_get(chave)
                except Exception:
                    continue
                if isinstance(valor, generic.IndirectObject):
                    refs.add(valor.reference)
        return refs

    def _existia(self, ref: Any, revisao: int) -> bool:
        """Whether ``ref`` was already in the file at ``revisao`` (rewritten since, not new)."""
        try:
            return self.reader.xrefs.get_introducing_revision(ref) <= revisao
        except Exception:
            return True  # freed, or unknown: assume the worst

    @staticmethod
    def _anotacoes(pagina: _Pagina) -> list[Any]:
        from pyhanko.pdf_utils import generic

        try:
            annots = pagina.obj.get("/Annots")
        except Exception:
            return []
        if not isinstance(annots, generic.ArrayObject):
            return []
        return list(annots)

    # -- comparison ------------------------------------------------------------

    def comparar(self, revisao: int, fim: int) -> Alteracoes:
        """O que mudou entre a revisão ``revisao`` (os primeiros ``fim`` bytes) e o arquivo final."""
        from pyhanko.pdf_utils import generic

        xrefs = self.reader.xrefs
        if revisao >= xrefs.total_revisions - 1 and fim >= len(self.dados.rstrip()):
            return Alteracoes(NADA_MUDOU)
        alteradas = self._alteradas_depois(revisao)
        antigo = self.reader.get_historical_resolver(revisao)
        paginas_antes = _paginas(antigo.root)
        paginas_depois, (valores_depois, assinados_depois) = self._final()
        valores_antes, assinados_antes = _campos(antigo.root)

        veredito = NADA_MUDOU
        detalhes: list[str] = []
        paginas_alteradas: list[int] = []
        sobreposicao = False

        novas_assinaturas = sorted(n for n, v in assinados_depois.items() if v and not assinados_antes.get(n))
        if novas_assinaturas or xrefs.total_revisions - 1 > revisao:
            # Later revisions that show nothing new are signatures, time stamps
            # or validation data (or nothing at all a reader can see).
            veredito = APENAS_ASSINATURAS if novas_assinaturas or "/DSS" in self.reader.root else NADA_MUDOU
        preenchidos = sorted(n for n in set(valores_antes) | set(valores_depois)
                             if valores_antes.get(n) != valores_depois.get(n))
        if preenchidos:
            veredito = _gravest(veredito, CAMPOS_PREENCHIDOS)
            detalhes.append("campos de formulário preenchidos ou mudados depois: " + ", ".join(preenchidos))

        n_antes, n_depois = len(paginas_antes), len(paginas_depois)
        if n_depois > n_antes:
            novas = list(range(n_antes + 1, n_depois + 1))
            paginas_alteradas += novas
            detalhes.append("página(s) acrescentada(s): " + ", ".join(map(str, novas)))
        elif n_antes > n_depois:
            removidas = list(range(n_depois + 1, n_antes + 1))
            paginas_alteradas += removidas
            detalhes.append("página(s) removida(s): " + ", ".join(map(str, removidas)))

        memo: dict = {}
        anotacoes_novas = 0
        imagens: list[int] = []
        # Objects written again after the revision are either new (reachable
        # only through rewritten ones) or rewritten.  When the only rewritten
        # ones are page dictionaries, page tree nodes, the catalog and the
        # form, the pages that changed are those whose dictionary did: no
        # need to walk what every page uses.
        estruturais = {p.ref for p in paginas_depois} | {ref for p in paginas_depois for ref, _ in p.ancestrais}
        estruturais |= {self._ref_raiz(), self._ref_formulario()} | self._refs_invisiveis()
        caminhar = any(ref not in estruturais and self._existia(ref, revisao) for ref in alteradas)
        # The optional-content configuration lives in the catalog, apart from
        # the pages: when it changed, every page that uses a group is seen again.
        forcadas: set[int] = set()
        camadas_antes, camadas_depois = _CamadasOpcionais(antigo.root), _CamadasOpcionais(self.reader.root)
        if camadas_antes.forma != camadas_depois.forma:
            grupos = set(camadas_antes.grupos) | set(camadas_depois.grupos)
            memo_oc: dict = {}
            for i, pagina in enumerate(paginas_depois[:n_antes]):
                raizes_oc = [pagina.obj] + [anc.raw_get(k) for _, anc in pagina.ancestrais for k in _HERDADOS
                                            if k in anc]
                if not grupos or self._depende(raizes_oc, grupos, memo_oc):
                    forcadas.add(i)
            if not forcadas:
                forcadas = set(range(min(n_antes, n_depois)))
            detalhes.extend(camadas_antes.diferencas(camadas_depois))
        for i in range(min(n_antes, n_depois)):
            antes, depois = paginas_antes[i], paginas_depois[i]
            raizes: list[Any] = [depois.obj]
            ancestral_mudou = False
            for ref, anc in depois.ancestrais:
                if ref is not None and ref in alteradas and any(k in anc for k in _HERDADOS):
                    ancestral_mudou = True
                    raizes += [anc.raw_get(k) for k in _HERDADOS if k in anc]
            pagina_mudou = depois.ref is None or depois.ref in alteradas
            if i not in forcadas and antes.ref == depois.ref and not pagina_mudou and not ancestral_mudou and (
                    not caminhar or not self._depende(raizes, alteradas, memo)):
                continue  # nothing this page shows was written again
            # Which annotations to leave out of both renderings.
            refs_antes = [a.reference if isinstance(a, generic.IndirectObject) else None
                          for a in self._anotacoes(antes)]
            conjunto_antes = {r for r in refs_antes if r is not None}
            tirar_antes: list[int] = []
            tirar_depois: list[int] = []
            explicadas: set = set()
            reescritas: set = set()
            refs_depois: set = set()
            for idx, a in enumerate(self._anotacoes(depois)):
                ref = a.reference if isinstance(a, generic.IndirectObject) else None
                refs_depois.add(ref)
                try:
                    obj = a.get_object()
                except Exception:
                    continue
                if not isinstance(obj, generic.DictionaryObject):
                    continue
                campo, tipo = _campo_do_widget(obj) if obj.get("/Subtype") == "/Widget" else (obj, None)
                if ref is None or ref not in conjunto_antes:
                    tirar_depois.append(idx)
                    if tipo == "/Sig":
                        continue  # a new signature's widget: told apart by the signature fields
                    anotacoes_novas += 1  # a comment, a stamp, or a form field added after signing
                    if _desenho(obj):
                        imagens.append(i + 1)
                    continue
                if not self._depende([a], alteradas, memo):
                    continue
                # An annotation that was there and was written again.
                reescritas.add(ref)
                nome = _nome_campo(campo)
                if tipo == "/Sig" and assinados_depois.get(nome) and not assinados_antes.get(nome):
                    explicadas.add(ref)
                elif tipo not in (None, "/Sig") and nome in preenchidos:
                    explicadas.add(ref)
                if ref in explicadas:
                    tirar_depois.append(idx)
            tirar_antes = [idx for idx, r in enumerate(refs_antes) if r in explicadas]
            if (i not in forcadas and antes.ref == depois.ref and not ancestral_mudou
                    and None not in refs_antes and conjunto_antes <= refs_depois
                    and not (reescritas - explicadas)
                    and self._mesma_pagina(antes.obj, depois.obj, alteradas, memo)):
                # Only annotations left out of both renderings were added or
                # written again, and nothing else the page shows: the same page.
                continue
            texto_a, imagem_a = self._ver(prefixo=fim, indice=i, tirar=tirar_antes)
            texto_d, imagem_d = self._ver(prefixo=None, indice=i, tirar=tirar_depois)
            if texto_a != texto_d or imagem_a != imagem_d:
                paginas_alteradas.append(i + 1)
                if texto_a == texto_d:
                    # Same text, different picture: an overlay or an appearance
                    # that was there when signed now shows something else?
                    _, base_a = self._ver(prefixo=fim, indice=i, tirar=tirar_antes, anotacoes=False)
                    _, base_d = self._ver(prefixo=None, indice=i, tirar=tirar_depois, anotacoes=False)
                    if base_a == base_d:
                        sobreposicao = True
                        detalhes.append(f"página {i + 1}: anotação que já existia ao assinar passou a mostrar "
                                        "outra coisa (sobreposição oculta revelada ou aparência trocada)")
                        continue
                detalhes.append(f"página {i + 1}: o que a página mostra mudou"
                                + ("" if texto_a == texto_d else " (texto diferente)"))
        if anotacoes_novas:
            veredito = _gravest(veredito, ANOTACOES_ACRESCENTADAS)
            detalhes.append(f"{anotacoes_novas} anotação(ões) acrescentada(s) depois")
        for pagina in sorted(set(imagens)):
            detalhes.append(f"ATENÇÃO: carimbo ou imagem acrescentado depois da assinatura na página {pagina} "
                            "(não faz parte do que foi assinado)")
        if paginas_alteradas:
            veredito = CONTEUDO_ALTERADO
        elif veredito == NADA_MUDOU and novas_assinaturas:
            veredito = APENAS_ASSINATURAS
        return Alteracoes(veredito, sorted(set(paginas_alteradas)), detalhes, sobreposicao, sorted(set(imagens)))

    def _mesma_pagina(self, antes: Any, depois: Any, alteradas: set, memo: dict) -> bool:
        """Whether a page dictionary shows the same as it did, its annotations aside: the same
        entries, none of them reaching an object written again."""
        chaves = set(antes) - {"/Annots"}
        if chaves != set(depois) - {"/Annots"}:
            return False
        if any(_forma(antes.raw_get(k), resolver=False) != _forma(depois.raw_get(k), resolver=False)
               for k in chaves):
            return False
        return not self._depende([depois.raw_get(k) for k in chaves], alteradas, memo)

    # -- pdfium ----------------------------------------------------------------

    def _abrir(self, prefixo: Optional[int]) -> Any:
        import pypdfium2 as pdfium

        return pdfium.PdfDocument(self.dados if prefixo is None else self.dados[:prefixo])

    def _documento(self, prefixo: Optional[int]) -> Any:
        """The document as of ``prefixo`` bytes (None: the final file), kept open, never changed."""
        chave = -1 if prefixo is None else prefixo
        doc = self._docs.get(chave)
        if doc is None:
            doc = self._docs[chave] = self._abrir(prefixo)
        return doc

    def _ver(self, prefixo: Optional[int], indice: int, tirar: list[int], anotacoes: bool = True) -> tuple[str, bytes]:
        """(text, low-resolution rendering) of one page, without the annotations at ``tirar``.

        pdfium draws no form field (signature boxes included) when it renders
        annotations, so the annotations are drawn into the page first (the
        page flattened) and the page rendered again.  Removing annotations and
        flattening change the document in memory, so that happens on a copy
        opened for this page alone.
        """
        import pypdfium2.raw as pdfium_c

        from .document import _PDFIUM_LOCK

        tirar = sorted(set(tirar)) if anotacoes else []
        chave = (-1 if prefixo is None else prefixo, indice, tuple(tirar), anotacoes)
        if chave in self._cache:
            return self._cache[chave]
        with _PDFIUM_LOCK:
            proprio = self._abrir(prefixo) if anotacoes else None
            doc = proprio if proprio is not None else self._documento(prefixo)
            try:
                pagina = doc[indice]
                try:
                    for idx in reversed(tirar):
                        pdfium_c.FPDFPage_RemoveAnnot(pagina.raw, idx)
                    textpage = pagina.get_textpage()
                    try:
                        texto = textpage.get_text_range()
                    finally:
                        textpage.close()
                    if anotacoes and pdfium_c.FPDFPage_GetAnnotCount(pagina.raw) > 0 and \
                            pdfium_c.FPDFPage_Flatten(pagina.raw, pdfium_c.FLAT_NORMALDISPLAY) == \
                            pdfium_c.FLATTEN_SUCCESS:
                        pagina.close()
                        pagina = doc[indice]
                    bitmap = pagina.render(scale=ESCALA, draw_annots=anotacoes, may_draw_forms=False,
                                           grayscale=True)
                    try:
                        imagem = bytes(bitmap.buffer)
                    finally:
                        bitmap.close()
                finally:
                    pagina.close()
            finally:
                if proprio is not None:
                    proprio.close()
        self._cache[chave] = (texto, imagem)
        return texto, imagem

    def fechar(self) -> None:
        """Fecha os documentos abertos para a comparação."""
        from .document import _PDFIUM_LOCK

        with _PDFIUM_LOCK:
            for doc in self._docs.values():
                doc.close()
        self._docs = {}
        self._cache = {}


def _nome_campo(campo: Any) -> str:
    """Full name of a field (its /T joined up the /Parent chain)."""
    from pyhanko.pdf_utils import generic

    partes: list[str] = []
    no = campo
    for _ in range(_MAX_PROFUNDIDADE):
        if not isinstance(no, generic.DictionaryObject):
            break
        if "/T" in no:
            partes.append(str(no["/T"]))
        if "/Parent" not in no:
            break
        no = no.raw_get("/Parent").get_object()
    return ".".join(reversed(partes))
