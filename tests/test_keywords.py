"""scrivane_contract.keywords: classifier cases, argument handling, late binding,
agreement with the plain-Python twin and with the interpreter's Unicode data."""

import hashlib
import inspect
import pydoc
import sys
import unicodedata

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import reference_keywords as ref
from scrivane_contract import keywords


@pytest.fixture
def kw(monkeypatch):
    """The module, with its tables restored after the test."""
    monkeypatch.setattr(keywords, "KEYWORDS_VALIDACAO", list(keywords.KEYWORDS_VALIDACAO))
    monkeypatch.setattr(keywords, "KEYWORDS_EXCLUSAO", list(keywords.KEYWORDS_EXCLUSAO))
    monkeypatch.setattr(keywords, "MIN_KEYWORDS", keywords.MIN_KEYWORDS)
    return keywords


class TestTables:
    def test_tables_match_the_documented_entries_in_order(self):
        assert keywords.KEYWORDS_VALIDACAO == ref.KEYWORDS_VALIDACAO
        assert len(keywords.KEYWORDS_VALIDACAO) == 38
        assert keywords.KEYWORDS_EXCLUSAO == ref.KEYWORDS_EXCLUSAO
        assert len(keywords.KEYWORDS_EXCLUSAO) == 9
        assert keywords.MIN_KEYWORDS == 3 and type(keywords.MIN_KEYWORDS) is int

    def test_tables_are_plain_mutable_lists(self):
        assert type(keywords.KEYWORDS_VALIDACAO) is list
        assert type(keywords.KEYWORDS_EXCLUSAO) is list

    def test_module_docstring(self):
        assert keywords.__doc__ == "Keywords para validação de documentos como contratos."


class TestClassifier:
    @pytest.mark.parametrize(
        "texto, esperado",
        [
            ("", (False, 0, [])),
            ("    ", (False, 0, [])),
            ("Emitida a Nota Fiscal", (False, 0, ["EXCLUSÃO: nota fiscal"])),
            ("Pregao Eletronico; contrato, cláusula, foro", (False, 0, ["EXCLUSÃO: pregão eletrônico"])),
            ("há fatura e boleto aqui", (False, 0, ["EXCLUSÃO: boleto"])),
            ("CONTRATO DE PRESTAÇÃO DE SERVIÇOS", (False, 1, ["contrato"])),
            (
                "Cláusula primeira: o objeto deste contrato",
                (True, 4, ["contrato", "cláusula", "clausula", "objeto"]),
            ),
            ("contrato firmado; foro", (True, 3, ["contrato", "foro", "firmado"])),
            ("contrato e foro", (False, 2, ["contrato", "foro"])),
            ("A PRESTADORA", (False, 2, ["prestador", "prestadora"])),
            ("neste  ato representada", (False, 0, [])),
            ("ICP-Brasil", (False, 1, ["icp-brasil"])),
            ("os recibos anexos", (False, 0, ["EXCLUSÃO: recibo"])),
            ("VIGÊNCIA e Obrigações e RESCISÃO", (True, 6, ["vigência", "vigencia", "obrigações", "obrigacoes", "rescisão", "rescisao"])),
            ("neste ato representada", (False, 1, ["neste ato representada"])),
        ],
    )
    def test_documented_cases(self, texto, esperado):
        assert keywords.validar_documento_contrato(texto) == esperado

    def test_result_shape_and_types(self):
        eh, n, lista = keywords.validar_documento_contrato("contrato, objeto, foro")
        assert type(eh) is bool and type(n) is int and type(lista) is list
        # the found entries are the table's own objects, as written there
        assert all(any(x is y for y in keywords.KEYWORDS_VALIDACAO) for x in lista)

    def test_long_text_uses_the_same_rules(self):
        filler = "lorem ipsum dolor sit amet " * 2000
        texto = filler + "CLÁUSULA" + filler + "objeto do Contrato" + filler
        assert keywords.validar_documento_contrato(texto) == (
            True, 4, ["contrato", "cláusula", "clausula", "objeto"])
        assert keywords.validar_documento_contrato(filler + "nota fiscal") == (
            False, 0, ["EXCLUSÃO: nota fiscal"])

    def test_normalizar_texto_cases(self):
        assert keywords.normalizar_texto("Cláusula Décima — Vigência") == "clausula decima — vigencia"
        assert keywords.normalizar_texto("") == ""
        assert keywords.normalizar_texto("  A\tB\n") == "  a\tb\n"  # whitespace untouched
        assert keywords.normalizar_texto("ΟΔΟΣ Σ") == "οδος σ"  # final sigma
        assert keywords.normalizar_texto("한국 ＡＢＣ１２") == unicodedata.normalize("NFD", "한국") + " ａｂｃ１２"


class TestArguments:
    @pytest.mark.parametrize("func", ["normalizar_texto", "validar_documento_contrato"])
    @pytest.mark.parametrize("valor, nome", [(None, "NoneType"), (1, "int"), (b"x", "bytes"), (["a"], "list")])
    def test_non_str_is_refused_with_exact_message(self, func, valor, nome):
        with pytest.raises(TypeError) as e:
            getattr(keywords, func)(valor)
        assert str(e.value) == f"Argument 'texto' has incorrect type (expected str, got {nome})"

    @pytest.mark.parametrize("func", ["normalizar_texto", "validar_documento_contrato"])
    def test_str_subclass_is_refused(self, func):
        class Texto(str):
            pass

        with pytest.raises(TypeError, match=r"expected str, got Texto"):
            getattr(keywords, func)(Texto("contrato"))

    @pytest.mark.parametrize("func", ["normalizar_texto", "validar_documento_contrato"])
    def test_argument_count_and_keywords(self, func):
        f = getattr(keywords, func)
        assert f(texto="Foro") == f("Foro")
        cases = [
            ((), {}, f"{func}() missing 1 required positional argument: 'texto'"),
            (("a", "b"), {}, f"{func}() takes 1 positional argument but 2 were given"),
            ((), {"text": "a"}, f"{func}() got an unexpected keyword argument 'text'"),
            (("a",), {"texto": "b"}, f"{func}() got multiple values for argument 'texto'"),
        ]
        for args, kwargs, msg in cases:
            with pytest.raises(TypeError) as e:
                f(*args, **kwargs)
            assert str(e.value) == msg


class TestIntrospection:
    def test_metadata(self):
        n, v = keywords.normalizar_texto, keywords.validar_documento_contrato
        assert n.__name__ == n.__qualname__ == "normalizar_texto"
        assert v.__module__ == n.__module__ == "scrivane_contract.keywords"
        assert n.__doc__ == "Normaliza texto removendo acentos e convertendo para minúsculas."
        assert v.__doc__.splitlines()[0] == "Valida se um documento é um contrato com base nas keywords."
        assert inspect.cleandoc(v.__doc__).split("\n")[2:] == [
            "Args:",
            "    texto: Texto do documento",
            "",
            "Returns:",
            "    Tuple com:",
            "    - bool: Se é um contrato válido",
            "    - int: Quantidade de keywords encontradas",
            "    - list: Keywords encontradas",
        ]
        assert n.__annotations__ == {"texto": "str", "return": "str"}
        assert v.__annotations__ == {"texto": "str", "return": "Tuple[bool, int, list]"}

    def test_signature_and_help(self):
        f = keywords.validar_documento_contrato
        assert str(inspect.signature(f)) == "(texto)"
        assert inspect.isroutine(f)
        text = pydoc.render_doc(f, renderer=pydoc.plaintext)
        assert "validar_documento_contrato(texto)" in text
        assert "Quantidade de keywords encontradas" in text

    def test_binds_as_a_method(self):
        class Holder:
            normaliza = keywords.normalizar_texto

        assert Holder.normaliza is keywords.normalizar_texto
        with pytest.raises(TypeError, match=r"expected str, got Holder"):
            Holder().normaliza()


class TestLateBinding:
    def test_appended_contract_term_counts(self, kw):
        kw.KEYWORDS_VALIDACAO.append("Anexo Único")
        assert kw.validar_documento_contrato("contrato; anexo unico; foro") == (
            True, 3, ["contrato", "foro", "Anexo Único"])

    def test_replaced_exclusion_table(self, kw):
        kw.KEYWORDS_EXCLUSAO = ["minuta"]
        assert kw.validar_documento_contrato("Nota fiscal do contrato") == (False, 1, ["contrato"])
        assert kw.validar_documento_contrato("MINUTA de contrato") == (False, 0, ["EXCLUSÃO: minuta"])

    def test_rebound_minimum(self, kw):
        kw.MIN_KEYWORDS = 1
        assert kw.validar_documento_contrato("contrato") == (True, 1, ["contrato"])
        kw.MIN_KEYWORDS = 2.5
        assert kw.validar_documento_contrato("contrato e foro")[0] is False

    def test_rebound_normalizer_is_used_for_text_and_entries(self, kw, monkeypatch):
        calls = []

        def upper(t):
            calls.append(t)
            return t.upper()

        monkeypatch.setattr(kw, "normalizar_texto", upper)
        assert kw.validar_documento_contrato("CONTRATO foro OBJETO") == (True, 3, ["contrato", "objeto", "foro"])
        assert calls[0] == "CONTRATO foro OBJETO"
        assert calls[1:10] == ref.KEYWORDS_EXCLUSAO

    def test_deleted_table_raises_name_error(self, kw, monkeypatch):
        monkeypatch.delattr(kw, "KEYWORDS_VALIDACAO")
        with pytest.raises(NameError, match="KEYWORDS_VALIDACAO"):
            kw.validar_documento_contrato("contrato")
        # an exclusion match decides before the missing table is needed
        assert kw.validar_documento_contrato("boleto") == (False, 0, ["EXCLUSÃO: boleto"])

    def test_non_str_entry_is_refused_only_when_reached(self, kw):
        kw.KEYWORDS_EXCLUSAO = ["boleto", 7]
        assert kw.validar_documento_contrato("boleto") == (False, 0, ["EXCLUSÃO: boleto"])
        with pytest.raises(TypeError, match=r"Argument 'texto' has incorrect type \(expected str, got int\)"):
            kw.validar_documento_contrato("contrato")

    def test_tables_may_be_any_iterable(self, kw):
        kw.KEYWORDS_VALIDACAO = ("foro", "objeto")
        assert kw.validar_documento_contrato("Foro e objeto") == (False, 2, ["foro", "objeto"])


# Text drawn from what contracts and their neighbours hold: ASCII, accented
# Portuguese, combining marks, Greek (final sigma), Hangul, fullwidth digits,
# unusual whitespace, and the keywords themselves.
_pieces = st.sampled_from(
    ref.KEYWORDS_VALIDACAO + ref.KEYWORDS_EXCLUSAO
    + ["CLÁUSULA", "Ação", "São João", "ΟΔΟΣ", "Σ", "ς", "ΣΑ", "한국어", "１２３", "İ", "ǅ", "ẞ", "ﬃ",
       "\u0301", "\u0327", "\u0345", "\u00a0", "\u2003", "\u3000", "\n", "\t", " ", "-", "º", "ª"]
)
_chars = st.characters(codec="utf-8")
_text = st.lists(st.one_of(_pieces, st.text(_chars, max_size=4)), max_size=25).map("".join)


class TestAgainstReference:
    @settings(max_examples=400, deadline=None)
    @given(_text)
    def test_normalizar_texto(self, texto):
        assert keywords.normalizar_texto(texto) == ref.normalizar_texto(texto)

    @settings(max_examples=400, deadline=None)
    @given(_text)
    def test_validar_documento_contrato(self, texto):
        assert keywords.validar_documento_contrato(texto) == ref.validar_documento_contrato(texto)

    @settings(max_examples=60, deadline=None)
    @given(st.lists(_pieces, min_size=300, max_size=600).map(" ".join))
    def test_validar_on_long_texts(self, texto):
        assert keywords.validar_documento_contrato(texto) == ref.validar_documento_contrato(texto)

    def test_every_code_point_folds_like_the_interpreter(self):
        ours, theirs = hashlib.sha256(), hashlib.sha256()
        mismatches = []
        for cp in range(sys.maxunicode + 1):
            ch = chr(cp)
            a, b = keywords.normalizar_texto(ch), ref.normalizar_texto(ch)
            ours.update(a.encode("utf-8", "surrogatepass"))
            theirs.update(b.encode("utf-8", "surrogatepass"))
            if a != b and len(mismatches) < 5:
                mismatches.append(hex(cp))
        assert mismatches == []
        assert ours.hexdigest() == theirs.hexdigest()

    def test_canonical_order_and_sigma_contexts(self):
        samples = [
            "\U0001d165\u034f\U0001d16d",  # kept non-starters either side of a dropped starter
            "\U0001d16d\U0001d165",        # kept non-starters reordered by class
            "a\u0345Σ", "Σ\u0345a", "AΣ'", "A'Σ'b", "Σ", "ΑΣ ΑΣ.", "ΑΣ\u0301", "\u1e9eΣ",
            "\u0130Σ", "\uac00\u0301", "\ud800Σ",
        ]
        for s in samples:
            assert keywords.normalizar_texto(s) == ref.normalizar_texto(s), repr(s)


def _rss_kib():
    with open("/proc/self/statm") as fh:
        return int(fh.read().split()[1]) * 4


class TestResources:
    def test_no_reference_leaks(self):
        texto = "Contrato de prestação; cláusula; foro; ΟΔΟΣ; 한국" * 10
        entries = list(keywords.KEYWORDS_VALIDACAO)
        before = sys.getrefcount(texto), [sys.getrefcount(e) for e in entries]
        for _ in range(2000):
            keywords.validar_documento_contrato(texto)
            keywords.normalizar_texto(texto)
        assert (sys.getrefcount(texto), [sys.getrefcount(e) for e in entries]) == before

    def test_long_loop_does_not_grow_memory(self):
        textos = ["Contrato de prestação de serviços, cláusula, foro " * 50,
                  "ΟΔΟΣ 한국 contrato nota fiscal " * 50, "x"]
        for _ in range(3000):
            for t in textos:
                keywords.validar_documento_contrato(t)
        start = _rss_kib()
        for _ in range(30000):
            for t in textos:
                keywords.validar_documento_contrato(t)
                keywords.normalizar_texto(t)
        assert _rss_kib() - start < 2048


def test_functions_pickle_and_copy_by_reference():
    import copy
    import pickle

    f = keywords.validar_documento_contrato
    assert pickle.loads(pickle.dumps(f)) is f
    assert copy.deepcopy(f) is f
