"""Inputs chosen to defeat naive algorithms still get the twin's answers:
periodic addresses for the containment test, and keyword tables rebound to
thousands of patterns over thousands of distinct characters."""

import random

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import reference_cnpj as ref_cnpj
import reference_keywords as ref_kw
from scrivane_contract import cnpj, keywords
from test_hardening import describe, run_python


def registro(logradouro):
    return {"endereco": {"logradouro": logradouro}}


@pytest.mark.parametrize("contrato, receita", [
    ("a" * 300 + "b", "a" * 600),            # periodic: no match, worst case for a naive search
    ("a" * 300 + "b", "a" * 600 + "b"),      # match at the very end
    ("ab" * 200 + "a", "ab" * 500),          # needle with a long border
    ("abaababaab" * 30, "abaababaabaa" * 40),
    ("ção" * 100 + "x", "ção" * 250 + "x"),  # beyond Latin-1
    ("東京" * 200 + "都", "東京" * 500),
])
def test_periodic_addresses(contrato, receita):
    assert cnpj.comparar_enderecos(contrato, registro(receita)) == ref_cnpj.comparar_enderecos(contrato,
                                                                                               registro(receita))
    assert cnpj.comparar_enderecos(receita, registro(contrato)) == ref_cnpj.comparar_enderecos(receita,
                                                                                               registro(contrato))


@settings(max_examples=300, deadline=None)
@given(st.text(alphabet="ab ç", min_size=1, max_size=40), st.text(alphabet="ab ç", min_size=1, max_size=80))
def test_containment_over_a_small_alphabet(contrato, receita):
    assert cnpj.comparar_enderecos(contrato, registro(receita)) == ref_cnpj.comparar_enderecos(contrato,
                                                                                               registro(receita))


def cjk_patterns(n, seed):
    rnd = random.Random(seed)
    chars = [chr(0x4E00 + i) for i in range(3 * n)]
    rnd.shuffle(chars)
    return chars, ["".join(chars[3 * i:3 * i + 3]) for i in range(n)]


@pytest.fixture
def rebound_tables(monkeypatch):
    def bind(validacao, exclusao=()):
        for module in (keywords, ref_kw):
            monkeypatch.setattr(module, "KEYWORDS_VALIDACAO", list(validacao))
            monkeypatch.setattr(module, "KEYWORDS_EXCLUSAO", list(exclusao))
    return bind


@pytest.mark.parametrize("n, seed", [(300, 1), (2500, 2)])
def test_thousands_of_rebound_patterns(rebound_tables, n, seed):
    # 2,500 patterns over 7,500 distinct characters need far more than the
    # full transition table's cell budget; 300 fit in it.
    chars, pats = cjk_patterns(n, seed)
    rnd = random.Random(seed)
    # overlapping patterns too: each one's suffix starts another
    extra = [p[1:] + rnd.choice(chars) for p in pats[:50]]
    rebound_tables(pats + extra, exclusao=["zzz-não-está"])
    text = "".join(rnd.choice(chars) for _ in range(20_000)) + "".join(pats[::5]) + "ab" * 2000
    assert keywords.validar_documento_contrato(text) == ref_kw.validar_documento_contrato(text)
    # an exclusion term found only deep in the text still decides
    rebound_tables(pats, exclusao=[pats[-1] + pats[0]])
    text += pats[-1] + pats[0]
    assert keywords.validar_documento_contrato(text) == ref_kw.validar_documento_contrato(text)


def test_rebound_patterns_use_bounded_memory():
    # 4,000 three-character CJK keywords once took over 2 GiB.
    rc, out, err = run_python("""
        import random, resource
        from scrivane_contract import keywords
        rnd = random.Random(4)
        chars = [chr(0x4E00 + i) for i in range(12_000)]
        rnd.shuffle(chars)
        keywords.KEYWORDS_VALIDACAO = ["".join(chars[3 * i:3 * i + 3]) for i in range(4000)]
        text = "".join(rnd.choice(chars) for _ in range(50_000)) + "".join(keywords.KEYWORDS_VALIDACAO[::9])
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        ok, count, found = keywords.validar_documento_contrato(text)
        after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        print((after - before) / 1024, count)
    """)
    assert rc == 0, f"{describe(rc)}\n{err[-2000:]}"
    grown, count = out.split()
    assert float(grown) < 64 and int(count) > 0
