"""What changed after each signature, judged by what a reader sees, on PDFs
signed here with pyHanko: certification then approval signatures, and every
kind of later update (signatures, time stamps, comments, form filling, text
changes, an added page, a hidden overlay made visible); plus the formats and
algorithms pyHanko does not check by itself."""

from __future__ import annotations

import datetime

import pytest
from cryptography.hazmat.primitives.asymmetric import rsa
from signed_pdfs import (AutoridadeTeste, acrescentar_pagina, adulterar, anotar, assinar, assinar_com,
                         campo_de_assinatura, carimbar_documento, carimbar_imagem, com_campo_de_texto,
                         com_sobreposicao_oculta, como_carimbo_tipo, como_pkcs7_sha1, pdf_com_camada_oculta,
                         pdf_texto, preencher_campo, redesenhar_aparencia, redesenhar_assinaturas, revelar_camada,
                         revelar_sobreposicao,
                         signer_ecdsa_sha3, signer_ecdsa_simples, signer_rsa_sha3, trocar_fonte, trocar_texto)

from scrivane.signatures import ler_assinaturas
from scrivane_contract.assinaturas_digitais import verificar_assinaturas_digitais

NADA = "nada mudou"
SO_ASSINATURAS = "apenas assinaturas, carimbos de tempo ou dados de validação acrescentados"
CAMPOS = "campos de formulário preenchidos"
ANOTACOES = "anotações acrescentadas"
ALTERADO = "conteúdo alterado"
VALIDA = "válida e confiável"
INVALIDA = "inválida"


@pytest.fixture(scope="module")
def ca(tmp_path_factory):
    ca = AutoridadeTeste()
    ca.raizes = ca.gravar_raiz(tmp_path_factory.mktemp("raizes"))
    ca.maria = ca.pessoa("MARIA DA SILVA", "52998224725")
    ca.joao = ca.pessoa("JOAO PEREIRA", "11144477735")
    ca.ana = ca.pessoa("ANA COSTA", "39053344705")
    ca.tsa = ca.carimbador(ca.now)
    return ca


MULTA = "Multa de R$ 900.000,00 por dia"


def _base():
    return pdf_texto("CONTRATO DE PRESTACAO DE SERVICOS", "CONTRATANTE: ACME COMERCIO LTDA", "VALOR: R$ 1.000,00")


def _certificado_e_aprovacoes(ca):
    """Maria certifies (visible box) with an empty field left for João; João signs it; Ana adds her own box."""
    pdf = campo_de_assinatura(_base(), "Joao", (300, 100, 500, 150))
    pdf = assinar_com(pdf, ca.maria.signer(), "Maria", certificar=True, caixa=(50, 100, 250, 150))
    pdf = assinar_com(pdf, ca.joao.signer(), "Joao", caixa=(300, 100, 500, 150), campo_existente=True)
    return assinar_com(pdf, ca.ana.signer(), "Ana", caixa=(50, 200, 250, 250))


def _casos(ca):
    multi = _certificado_e_aprovacoes(ca)
    dois = assinar(assinar(_base(), ca.maria, "Maria"), ca.joao, "Joao")
    return {
        # Several signers, nothing visible changed: never an alteration.
        "certificação e aprovações": (multi, [(SO_ASSINATURAS, []), (SO_ASSINATURAS, []), (NADA, [])]),
        "carimbo de tempo depois": (carimbar_documento(dois, ca.tsa),
                                    [(SO_ASSINATURAS, []), (SO_ASSINATURAS, []), (NADA, [])]),
        "comentário depois": (anotar(multi, "visto pelo jurídico"),
                              [(ANOTACOES, []), (ANOTACOES, []), (ANOTACOES, [])]),
        "campo preenchido depois": (preencher_campo(assinar(com_campo_de_texto(_base(), "Testemunha"), ca.maria,
                                                            "Maria"), "Testemunha", "FULANO DE TAL"),
                                    [(CAMPOS, [])]),
        "sobreposição oculta nunca revelada": (assinar(assinar(com_sobreposicao_oculta(_base(), "VALOR: R$ 9"),
                                                               ca.maria, "Maria"), ca.joao, "Joao"),
                                               [(SO_ASSINATURAS, []), (NADA, [])]),
        # Every content change caught, naming the page.
        "texto trocado depois de todos": (trocar_texto(multi, "CONTRATO", "VALOR: R$ 9.000,00"),
                                          [(ALTERADO, [1]), (ALTERADO, [1]), (ALTERADO, [1])]),
        "texto trocado entre as assinaturas": (
            assinar(trocar_texto(assinar(_base(), ca.maria, "Maria"), "CONTRATO", "VALOR: R$ 9.000,00"),
                    ca.joao, "Joao"),
            [(ALTERADO, [1]), (NADA, [])]),
        "página acrescentada": (acrescentar_pagina(dois, "CLAUSULA EXTRA: multa de R$ 50.000,00"),
                                [(ALTERADO, [2]), (ALTERADO, [2])]),
        "sobreposição oculta revelada": (revelar_sobreposicao(assinar(com_sobreposicao_oculta(
            _base(), "VALOR: R$ 9.000,00"), ca.maria, "Maria")), [(ALTERADO, [1])]),
        "campo novo depois": (com_campo_de_texto(assinar(_base(), ca.maria, "Maria"), "Extra"), [(ANOTACOES, [])]),
        # A clause in a hidden optional-content layer, switched on after signing: only the catalog changed.
        "camada oculta revelada no catálogo": (revelar_camada(assinar(pdf_com_camada_oculta(MULTA, indireta=False),
                                                                      ca.maria, "Maria")), [(ALTERADO, [2])]),
        "camada oculta revelada em objeto próprio": (
            revelar_camada(assinar(pdf_com_camada_oculta(MULTA, indireta=True), ca.maria, "Maria")),
            [(ALTERADO, [2])]),
        "camada oculta nunca revelada": (assinar(assinar(pdf_com_camada_oculta(MULTA, indireta=True), ca.maria,
                                                         "Maria"), ca.joao, "Joao"),
                                         [(SO_ASSINATURAS, []), (NADA, [])]),
        "carimbo de imagem depois": (carimbar_imagem(dois), [(ANOTACOES, []), (ANOTACOES, [])]),
        # A visible signature's box redrawn afterwards to show another name (drawn by the form layer).
        "assinatura visível redesenhada": (redesenhar_assinaturas(assinar_com(_base(), ca.maria.signer(), "Maria",
                                                                              caixa=(50, 100, 250, 150)),
                                                                  "JOAO PEREIRA"), [(ALTERADO, [1])]),
        # Only a resource the page uses is rewritten: same text, other glyphs.
        "fonte trocada": (trocar_fonte(dois), [(ALTERADO, [1]), (ALTERADO, [1])]),
    }


NOMES = ["certificação e aprovações", "carimbo de tempo depois", "comentário depois", "campo preenchido depois",
         "sobreposição oculta nunca revelada", "texto trocado depois de todos", "texto trocado entre as assinaturas",
         "página acrescentada", "sobreposição oculta revelada", "fonte trocada", "campo novo depois",
         "camada oculta revelada no catálogo", "camada oculta revelada em objeto próprio",
         "camada oculta nunca revelada", "carimbo de imagem depois", "assinatura visível redesenhada"]


@pytest.fixture(scope="module")
def casos(ca, tmp_path_factory):
    pasta = tmp_path_factory.mktemp("alteracoes")
    saida = {}
    for nome, (dados, esperado) in _casos(ca).items():
        path = pasta / (nome.replace(" ", "_") + ".pdf")
        path.write_bytes(dados)
        saida[nome] = (path, esperado)
    return saida


@pytest.mark.parametrize("nome", NOMES)
def test_what_changed_after_each_signature(ca, casos, nome):
    path, esperado = casos[nome]
    assinaturas = ler_assinaturas(path, raizes=ca.raizes)
    assert [(a.alteracao, a.paginas_alteradas) for a in assinaturas] == esperado
    for a, (alteracao, _) in zip(assinaturas, esperado):
        assert a.integra is True
        assert a.modificado_apos_assinatura is (alteracao == ALTERADO)
        # Only a content change makes a signature invalid.
        assert a.nivel == (INVALIDA if alteracao == ALTERADO else VALIDA), a.motivo


@pytest.mark.parametrize("nome", ["camada oculta revelada no catálogo", "camada oculta revelada em objeto próprio"])
def test_a_hidden_layer_switched_on_names_the_layer_and_its_state_at_each_end(ca, casos, nome):
    (a,) = ler_assinaturas(casos[nome][0], raizes=ca.raizes)
    assert a.motivo == "conteúdo alterado depois da assinatura (página(s) 2)"
    assert "CONTEÚDO ALTERADO após a assinatura (página(s) 2)" in a.achados
    assert 'camada opcional "Clausula penal": oculta ao assinar, visível no arquivo final' in a.achados
    assert a.modificacao_pyhanko == "OTHER"  # pyHanko agrees


def test_a_stamp_after_signing_is_told_with_its_page(ca, casos):
    for a in ler_assinaturas(casos["carimbo de imagem depois"][0], raizes=ca.raizes):
        assert a.imagens_acrescentadas == [1]
        assert ("ATENÇÃO: carimbo ou imagem acrescentado depois da assinatura na página 1 (não faz parte do que "
                "foi assinado)") in a.achados
    # The summary's warnings say it once, with its page.
    digitais = verificar_assinaturas_digitais(casos["carimbo de imagem depois"][0], raizes=ca.raizes)
    assert digitais["avisos"] == ["Atenção: carimbo ou imagem acrescentado na página 1 depois da última assinatura "
                                  "(não faz parte do que foi assinado)"]
    # A comment is not a stamp.
    (comentado,) = [a for a in ler_assinaturas(casos["comentário depois"][0], raizes=ca.raizes)][-1:]
    assert comentado.imagens_acrescentadas == []


def test_certification_then_approvals_keeps_pyhankos_opinion_beside_ours(ca, casos):
    maria, joao, ana = ler_assinaturas(casos["certificação e aprovações"][0], raizes=ca.raizes)
    # pyHanko objects to the updates after a certification; nothing visible changed.
    assert (maria.modificacao_pyhanko, maria.alteracao) == ("OTHER", SO_ASSINATURAS)
    assert (joao.modificacao_pyhanko, ana.modificacao_pyhanko) == ("FORM_FILLING", "NONE")
    assert maria.como_dict()["modificacao_pyhanko"] == "OTHER"


def test_revealed_overlay_is_named_a_shadow_attack(ca, casos):
    (a,) = ler_assinaturas(casos["sobreposição oculta revelada"][0], raizes=ca.raizes)
    assert a.sobreposicao is True and a.invalida
    assert a.motivo == "sobreposição oculta revelada depois da assinatura (ataque de sombra) (página(s) 1)"
    assert "SOBREPOSIÇÃO OCULTA REVELADA após a assinatura (página(s) 1)" in a.achados
    (b, _) = ler_assinaturas(casos["sobreposição oculta nunca revelada"][0], raizes=ca.raizes)
    assert b.sobreposicao is False


def test_form_filling_names_the_field(ca, casos):
    (a,) = ler_assinaturas(casos["campo preenchido depois"][0], raizes=ca.raizes)
    assert "campos de formulário preenchidos ou mudados depois: Testemunha" in a.achados


def test_when_pyhankos_difference_analysis_raises_the_signature_is_still_validated(ca, casos, monkeypatch):
    from pyhanko.sign.diff_analysis import policies

    def quebra(*args, **kw):
        raise KeyError("objeto ausente do histórico")

    monkeypatch.setattr(policies.StandardDiffPolicy, "review_file", quebra)
    maria, joao, ana = ler_assinaturas(casos["certificação e aprovações"][0], raizes=ca.raizes)
    assert [a.nivel for a in (maria, joao, ana)] == [VALIDA, VALIDA, VALIDA]
    assert maria.modificacao_pyhanko.startswith("análise de diferenças falhou (KeyError")
    assert maria.alteracao == SO_ASSINATURAS
    (alterado, *_) = ler_assinaturas(casos["texto trocado depois de todos"][0], raizes=ca.raizes)
    assert alterado.alteracao == ALTERADO and alterado.nivel == INVALIDA


# -- formats and algorithms ------------------------------------------------------------


def _um(ca, tmp_path, dados):
    path = tmp_path / "x.pdf"
    path.write_bytes(dados)
    return ler_assinaturas(path, raizes=ca.raizes)


@pytest.mark.parametrize("tipo", [None, b"/Sig", b"/DocTimeStamp"])
def test_document_time_stamps_are_listed_as_time_stamps(ca, tmp_path, tipo):
    pdf = carimbar_documento(assinar(_base(), ca.maria, "Maria"), ca.tsa)
    if tipo != b"/DocTimeStamp":
        pdf = como_carimbo_tipo(pdf, ca.tsa, tipo)
    assinatura, carimbo = _um(ca, tmp_path, pdf)
    assert (assinatura.tipo, assinatura.alteracao, assinatura.nivel) == ("assinatura", SO_ASSINATURAS, VALIDA)
    assert (carimbo.tipo, carimbo.integra, carimbo.ilegivel, carimbo.nivel) == (
        "carimbo de tempo do documento", True, None, VALIDA)
    assert carimbo.carimbo_do_tempo and carimbo.data_assinatura
    assert carimbo.achados[0] == "carimbo de tempo íntegro"


def test_sha1_pkcs7_signature_is_verified(ca, tmp_path):
    pdf = como_pkcs7_sha1(assinar(_base(), ca.maria, "Maria"), ca.maria)
    (a,) = _um(ca, tmp_path, pdf)
    assert (a.integra, a.ilegivel, a.alteracao, a.pessoa) == (True, None, NADA, "MARIA DA SILVA")
    # Intact and chained, but SHA-1 is refused today: said plainly, not "unknown CA".
    assert (a.nivel, a.motivo) == ("íntegra, certificado não reconhecido",
                                   "cadeia confiável, mas o resumo SHA-1 é hoje recusado")
    (b,) = _um(ca, tmp_path, adulterar(pdf, b"1.000,00", b"9.000,00"))
    assert (b.integra, b.nivel) == (False, INVALIDA)


def test_unsupported_algorithm_is_neither_violated_nor_valid(ca, tmp_path):
    pdf = assinar_com(_base(), signer_ecdsa_simples(ca.maria), "Maria")
    (a,) = _um(ca, tmp_path, pdf)
    assert (a.integra, a.algoritmo_nao_suportado, a.nivel) == (
        True, "algoritmo não suportado: ECDSA simples (BSI) com SHA-256", "não verificada")
    assert a.motivo == a.algoritmo_nao_suportado and not a.invalida and not a.valida
    assert not any("VIOLADA" in x for x in a.achados)
    (b,) = _um(ca, tmp_path, adulterar(pdf, b"1.000,00", b"9.000,00"))
    assert (b.integra, b.nivel) == (False, INVALIDA)


def test_sha3_signatures_are_checked_with_their_own_hash(ca, tmp_path):
    rsa_ana = ca.emitir("ANA RSA:39053344705", [], chave=rsa.generate_private_key(public_exponent=65537,
                                                                                 key_size=2048))
    for signer in (signer_rsa_sha3(rsa_ana), signer_ecdsa_sha3(ca.maria)):
        pdf = assinar_com(_base(), signer, "A")
        (a,) = _um(ca, tmp_path, pdf)
        assert (a.integra, a.algoritmo_nao_suportado, a.nivel) == (True, None, VALIDA)
        (b,) = _um(ca, tmp_path, adulterar(pdf, b"1.000,00", b"9.000,00"))
        assert b.nivel == INVALIDA


def test_signer_certificate_expired_without_time_stamp_is_a_warning_with_its_reason(tmp_path):
    ca = AutoridadeTeste()
    raizes = ca.gravar_raiz(tmp_path / "r")
    velho = ca.pessoa("VELHO", "52998224725", inicio_dias=-20, dias=10)
    path = tmp_path / "v.pdf"
    path.write_bytes(assinar(_base(), velho, "A", relogio=ca.now - datetime.timedelta(days=15)))
    (a,) = ler_assinaturas(path, raizes=raizes)
    assert (a.nivel, a.motivo) == ("íntegra, certificado não reconhecido",
                                   "válido só na data declarada pelo assinante (sem carimbo do tempo)")


def test_fifty_page_document_renders_only_the_touched_pages(ca, tmp_path, monkeypatch):
    from pdfs import write_text_pdf

    from scrivane import signature_changes

    write_text_pdf(tmp_path / "t.pdf", [f"Cláusula {n}: texto da página {n}." for n in range(1, 51)])
    pdf = assinar(assinar((tmp_path / "t.pdf").read_bytes(), ca.maria, "A1"), ca.joao, "A2")
    vistas = []
    original = signature_changes.ComparadorRevisoes._ver
    monkeypatch.setattr(signature_changes.ComparadorRevisoes, "_ver",
                        lambda self, prefixo, indice, *a, **kw: vistas.append(indice) or original(
                            self, prefixo, indice, *a, **kw))
    primeira, segunda = _um(ca, tmp_path, pdf)
    assert (primeira.alteracao, segunda.alteracao) == (SO_ASSINATURAS, NADA)
    # The second signature's invisible widget sits on page 1: that page alone is looked at.
    assert set(vistas) <= {0}


def test_old_x509_rsa_sha1_signature_is_read_and_checked(ca, tmp_path):
    from signed_pdfs import com_certificado, como_x509_rsa_sha1

    rsa_ana = ca.emitir("ANA RSA:39053344705", [], chave=rsa.generate_private_key(public_exponent=65537,
                                                                                 key_size=2048))
    base, numero = com_certificado(_base(), rsa_ana)
    pdf = como_x509_rsa_sha1(assinar_com(base, rsa_ana.signer(), "Antiga"), rsa_ana, numero)
    (a,) = _um(ca, tmp_path, pdf)
    assert (a.pessoa, a.integra, a.ilegivel, a.alteracao) == ("ANA RSA", True, None, NADA)
    assert a.achados[0] == "formato antigo adbe.x509.rsa_sha1 (RSA com SHA-1, sem CMS)"
    assert (a.nivel, a.motivo) == ("íntegra, certificado não reconhecido",
                                   "cadeia confiável, mas o resumo SHA-1 é hoje recusado")
    (b,) = _um(ca, tmp_path, adulterar(pdf, b"1.000,00", b"9.000,00"))
    assert (b.integra, b.nivel) == (False, INVALIDA)


@pytest.mark.parametrize("depois_assina_joao", [False, True], ids=["só Maria", "Maria e depois João"])
def test_a_signature_box_redrawn_after_signing_is_a_visible_change(ca, tmp_path, depois_assina_joao):
    """Maria's visible signature box is drawn in the revision she signs; a later update rewrites that very
    object (same number) to show another name."""
    pdf = assinar_com(_base(), ca.maria.signer(), "Maria", caixa=(50, 100, 250, 150))
    if depois_assina_joao:
        pdf = assinar(pdf, ca.joao, "Joao")
    path = tmp_path / "redesenhada.pdf"
    path.write_bytes(redesenhar_aparencia(pdf, "Maria", "Assinado digitalmente por JOAO PEREIRA"))
    assinaturas = ler_assinaturas(path, raizes=ca.raizes)
    assert [(a.alteracao, a.paginas_alteradas) for a in assinaturas] == [(ALTERADO, [1])] * len(assinaturas)
    assert len(assinaturas) == 1 + depois_assina_joao
    assert all(a.integra and a.modificado_apos_assinatura and a.nivel == INVALIDA for a in assinaturas)
