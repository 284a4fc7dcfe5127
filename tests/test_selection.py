"""Page selection by keyword: the C++ keyword counts against the pure-Python reference (same pages,
same text) over generated documents, odd Unicode included."""

import unicodedata

import pytest
import reference_selection as ref
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from scrivane import selection
from scrivane.selection import page_hits, select_pages

WORDS = ["contrato", "CONTRATANTE", "Cláusula", "vigência", "VIGÊNCIA", "razão social", "Ltda", "s/a", "CNPJ",
         "assinatura", "assinado", "foro", "São Paulo", "ação", "Straße", "µ", "ΣΑΣ", "ﬁm", "İ", "ǰ", "\u0301",
         "\U0001D165\U0001D16D", "ꭰ", "—", "“aspas”", "\ufffe", " ", "\n"]
KEYWORDS = [["cnpj", "contratante", "contratada", "inscrita", "razão social", "ltda", "s/a"],
            ["assinatura", "assinado", "certificado", "representante", "testemunha", "cpf"],
            ["contrato", "objeto", "vigência", "valor", "cláusula", "foro"],
            ["strasse", "ss", "μ", "σας", "fim", "i", "j", "Ꭰ", "aa", "a a"]]

def shape(s):
    return s.text, s.pages, s.total_pages, s.narrowed, s.truncated


page_text = st.lists(st.one_of(st.sampled_from(WORDS), st.text(max_size=6)), max_size=40).map(" ".join)


def test_the_built_module_is_used():
    # Otherwise every comparison below would check the reference against itself.
    assert selection._keyword_hits is not None


@pytest.mark.parametrize("keywords", KEYWORDS, ids=["empresas", "assinaturas", "dados", "unicode"])
def test_counts_over_every_latin1_and_sampled_code_points(keywords):
    folded = [k for k in (ref.fold(k).strip() for k in keywords) if k]
    pages = [chr(c) * 3 + " " + "".join(keywords) for c in range(256)]
    pages += ["".join(chr(c) for c in range(start, start + 512) if not 0xD800 <= c < 0xE000) + " ".join(keywords)
              for start in range(0x100, 0x30000, 0x1F3)]
    assert page_hits(pages, folded) == [ref._hits(p, folded) for p in pages]


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(pages=st.lists(page_text, min_size=1, max_size=30), which=st.integers(0, len(KEYWORDS) - 1),
       extra=st.lists(st.text(min_size=1, max_size=4), max_size=2), budget=st.integers(0, 400))
def test_same_pages_and_text_as_the_reference(pages, which, extra, budget):
    keywords = KEYWORDS[which] + extra
    assert shape(select_pages(pages, keywords, budget)) == shape(ref.select_pages(pages, keywords, budget))


def test_long_document_narrowed_like_the_reference():
    pages = [f"Página {i}: " + ("cláusula de vigência " if i % 7 == 0 else "texto comum ") * 200
             + ("CNPJ 11.222.333/0001-81 CONTRATANTE" if i % 13 == 0 else "") for i in range(300)]
    pages[150] = unicodedata.normalize("NFD", pages[150]) + " Straße ΣΑΣ"
    for keywords in KEYWORDS:
        ours, theirs = select_pages(pages, keywords, 20_000), ref.select_pages(pages, keywords, 20_000)
        assert ours.narrowed and shape(ours) == shape(theirs)


@pytest.mark.parametrize("pages, keywords, error", [
    (["a"], [""], ValueError),
    (["a", 3], ["a"], TypeError),
    (["a"], [b"a"], TypeError),
])
def test_bad_input_to_the_counter(pages, keywords, error):
    with pytest.raises(error):
        selection._keyword_hits(pages, keywords)
