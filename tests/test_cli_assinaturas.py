"""`verificar` with digitally signed contracts: the signatures section, the
`assinaturas_digitais` JSON key, the warnings under the summary, and
--exigir-assinaturas-validas; the real engine and registry over local servers."""

from __future__ import annotations

import json

import pytest
from registry_server import empresa_exemplo
from signed_pdfs import (AutoridadeTeste, acrescentar_pagina, assinar, com_sobreposicao_oculta, pdf_com_camada_oculta,
                         pdf_texto, revelar_camada, revelar_sobreposicao, trocar_texto)
from test_cli import ACME, ACME_F, env, llm, reg, responder, rodar  # noqa: F401

CPF_MARIA = "52998224725"
CPF_JOAO = "11144477735"


@pytest.fixture(scope="module")
def ca(tmp_path_factory):
    ca = AutoridadeTeste()
    ca.raizes = ca.gravar_raiz(tmp_path_factory.mktemp("raizes"))
    ca.maria = ca.pessoa("MARIA DA SILVA", CPF_MARIA)
    ca.joao = ca.pessoa("JOAO PEREIRA", CPF_JOAO)
    return ca


@pytest.fixture
def qsa_com_cpfs(reg):  # noqa: F811
    """ACME's partners with their masked CPFs: Maria's matches her certificate, João's does not."""
    cnpj, brasil, receita = empresa_exemplo(ACME)
    brasil["qsa"][0]["cnpj_cpf_do_socio"] = "***982247**"
    brasil["qsa"][1]["cnpj_cpf_do_socio"] = "***000111**"
    reg.add_company(cnpj, brasil, receita)
    return reg


def contrato_assinado(ca, pasta, nome, *assinantes, alterar=False):
    linhas = (f"CONTRATO {nome}", f"CONTRATANTE: ACME COMERCIO DE TESTES LTDA, CNPJ {ACME_F}",
              "Assinam: Maria da Silva e João Pereira")
    data = pdf_texto(*linhas)
    for i, assinante in enumerate(assinantes, 1):
        data = assinar(data, assinante, f"Assinatura{i}")
    if alterar:
        data = trocar_texto(data, *linhas, "VALOR: R$ 9.000.000,00")
    path = pasta / nome
    path.write_bytes(data)
    return path


def test_one_signed_contract_shows_levels_identity_and_the_final_verdict(ca, llm, qsa_com_cpfs, tmp_path, capsys):  # noqa: F811
    pdf = contrato_assinado(ca, tmp_path, "a.pdf", ca.maria, ca.joao, alterar=True)
    responder(llm, "a.pdf", "Maria da Silva")
    codigo, out, err = rodar(capsys, "verificar", "--registro", qsa_com_cpfs.url, "--raizes", ca.raizes, pdf)
    assert (codigo, err) == (1, ""), out  # an invalid signature rejects the contract by default
    # The library's own report stays as it is.
    assert "RESULTADO FINAL: APROVADO" in out
    secao = out[out.index("RESULTADO FINAL: APROVADO"):].split("ASSINATURAS DIGITAIS", 1)[1]
    linhas = [l.strip() for l in secao.splitlines() if l.strip()]
    motivo = "conteúdo alterado depois da assinatura (página(s) 1)"
    assert linhas[1] == "2 assinatura(s) digital(is): 2 inválida, 1 com CPF divergente do QSA"
    assert linhas[2:4] == ["1. MARIA DA SILVA (campo Assinatura1): inválida", motivo]
    assert linhas[4].startswith("CPF 529.982.247-25 · emitido por AC Raiz de Teste · assinada em ")
    assert "QSA: identidade confirmada" in linhas
    assert "⚠️  CONTEÚDO ALTERADO após a assinatura (página(s) 1)" in linhas
    assert "QSA: CPF divergente do QSA" in linhas
    assert linhas[-4:] == [
        f"⚠️  ASSINATURA INVÁLIDA de MARIA DA SILVA (campo Assinatura1): {motivo}",
        f"⚠️  ASSINATURA INVÁLIDA de JOAO PEREIRA (campo Assinatura2): {motivo}",
        "⚠️  CPF do certificado de JOAO PEREIRA (campo Assinatura2) difere do CPF de JOAO PEREIRA no QSA",
        f"🚫 VEREDITO FINAL: REPROVADO (assinatura digital inválida: MARIA DA SILVA, {motivo}; JOAO PEREIRA, "
        f"{motivo}; CPF do certificado divergente do QSA: JOAO PEREIRA, JOAO PEREIRA consta no QSA de "
        "ACME COMERCIO DE TESTES LTDA com CPF ***000111**)",
    ]

    responder(llm, "a.pdf", "Maria da Silva")
    codigo, out, _ = rodar(capsys, "verificar", "--registro", qsa_com_cpfs.url, "--raizes", ca.raizes,
                           "--ignorar-assinaturas", pdf)
    assert codigo == 0 and "VEREDITO FINAL" not in out
    assert f"ASSINATURA INVÁLIDA de MARIA DA SILVA (campo Assinatura1): {motivo}" in out


def test_untrusted_certificate_is_a_warning_not_a_rejection(ca, llm, qsa_com_cpfs, tmp_path, capsys):  # noqa: F811
    pdf = contrato_assinado(ca, tmp_path, "w.pdf", ca.maria)
    responder(llm, "w.pdf", "Maria da Silva")
    # Without --raizes the test CA is unknown.
    codigo, out, err = rodar(capsys, "verificar", "--json", "--registro", qsa_com_cpfs.url, pdf)
    assert (codigo, err) == (0, "")
    objeto = json.loads(out)
    assert (objeto["veredito"], objeto["motivo_veredito"]) == ("APROVADO", None)
    (maria,) = objeto["assinaturas_digitais"]["assinaturas"]
    assert (maria["nivel"], maria["motivo"]) == ("íntegra, certificado não reconhecido",
                                                 "AC desconhecida: a cadeia não chega a uma raiz confiável")
    assert objeto["assinaturas_digitais"]["avisos"] == [
        "Certificado de MARIA DA SILVA (campo Assinatura1) não reconhecido: AC desconhecida: a cadeia não chega "
        "a uma raiz confiável"]
    # Demanding valid signatures, it rejects, and says why.
    responder(llm, "w.pdf", "Maria da Silva")
    codigo, out, _ = rodar(capsys, "verificar", "--json", "--exigir-assinaturas-validas", "--registro",
                           qsa_com_cpfs.url, pdf)
    objeto = json.loads(out)
    assert (codigo, objeto["veredito"]) == (1, "REPROVADO")
    assert objeto["motivo_veredito"].startswith("assinatura digital não confirmada (--exigir-assinaturas-validas): "
                                                "MARIA DA SILVA, íntegra, certificado não reconhecido: ")


def test_json_puts_the_signatures_beside_the_result(ca, llm, qsa_com_cpfs, tmp_path, capsys):  # noqa: F811
    pdf = contrato_assinado(ca, tmp_path, "j.pdf", ca.maria)
    sem = tmp_path / "sem.pdf"
    sem.write_bytes(pdf_texto("CONTRATO sem.pdf", f"CONTRATANTE: ACME COMERCIO DE TESTES LTDA, CNPJ {ACME_F}",
                              "Assina: Maria da Silva"))
    responder(llm, "j.pdf", "Maria da Silva")
    responder(llm, "sem.pdf", "Maria da Silva")
    codigo, out, err = rodar(capsys, "verificar", "--json", "--registro", qsa_com_cpfs.url, "--raizes", ca.raizes,
                             "--exigir-assinaturas-validas", pdf, sem)
    assert (codigo, err) == (0, "")  # no signature at all is not an invalid one
    assinado, sem_assinatura = (json.loads(l) for l in out.splitlines())
    assert list(assinado) == ["id", "arquivo", "sha256", "verificado_em", "provedor", "modelo", "registro",
                              "resultado", "procedencia", "assinaturas_digitais", "veredito", "motivo_veredito",
                              "avisos", "aviso", "segundos", "erro"]
    assert assinado["resultado"]["resultado_final"] == assinado["veredito"] == "APROVADO"
    digitais = assinado["assinaturas_digitais"]
    assert (digitais["total"], digitais["validas"], digitais["alertas"]) == (1, True, [])
    (maria,) = digitais["assinaturas"]
    assert (maria["cpf"], maria["icp_brasil"], maria["signatario_extraido"], maria["identidade"]) == (
        CPF_MARIA, True, "Maria da Silva", "identidade confirmada")
    assert maria["socio_qsa"] == {"empresa": "ACME COMERCIO DE TESTES LTDA", "cnpj": ACME_F, "nome": "MARIA DA SILVA",
                                  "qualificacao": "Sócio-Administrador", "cpf_mascarado": "***982247**"}
    assert sem_assinatura["assinaturas_digitais"]["resumo"] == "nenhuma assinatura digital no documento"

    codigo, out, _ = rodar(capsys, "verificar", "--json", "--sem-assinaturas", "--registro", qsa_com_cpfs.url, pdf)
    assert json.loads(out)["assinaturas_digitais"] is None


def test_summary_marks_the_broken_contract_and_lists_its_warnings(ca, env, llm, reg, tmp_path, capsys):  # noqa: F811
    env.setenv("COLUMNS", "200")
    bom = contrato_assinado(ca, tmp_path, "bom.pdf", ca.maria)
    mexido = contrato_assinado(ca, tmp_path, "mexido.pdf", ca.maria, alterar=True)
    responder(llm, "bom.pdf", "Maria da Silva")
    responder(llm, "mexido.pdf", "Maria da Silva")
    codigo, out, err = rodar(capsys, "verificar", "--silencioso", "--exigir-assinaturas-validas",
                             "--registro", reg.url, "--raizes", ca.raizes, bom, mexido)
    assert (codigo, err) == (1, "")
    linhas = out.splitlines()
    (linha_bom,) = [l for l in linhas if str(bom) in l and "│" in l]
    (linha_mexido,) = [l for l in linhas if str(mexido) in l and "│" in l]
    assert "APROVADO" in linha_bom and "1 válida(s) e confiável(is)" in linha_bom
    assert "REPROVADO (assinaturas)" in linha_mexido and "1/1 inválida(s)" in linha_mexido
    assert (f"⚠️  {mexido}: ASSINATURA INVÁLIDA de MARIA DA SILVA (campo Assinatura1): conteúdo alterado depois "
            "da assinatura (página(s) 1)") in linhas
    assert linhas[-1].startswith("2 contrato(s): 1 aprovado(s), 1 reprovado(s), 0 pendente(s)")


@pytest.mark.parametrize("args, mensagem", [
    (["verificar", "--raizes", "nao/existe"], "raízes não encontradas: nao/existe"),
    (["verificar", "--sem-assinaturas", "--exigir-assinaturas-validas"],
     "--exigir-assinaturas-validas não combina com --sem-assinaturas"),
    (["verificar", "--ignorar-assinaturas", "--exigir-assinaturas-validas"],
     "--ignorar-assinaturas não combina com --exigir-assinaturas-validas"),
    (["servir", "--raizes", "nao/existe"], "raízes não encontradas: nao/existe"),
])
def test_signature_options_usage_errors(env, tmp_path, capsys, args, mensagem):  # noqa: F811
    pdf = tmp_path / "x.pdf"
    pdf.write_bytes(pdf_texto("CONTRATO"))
    codigo, out, err = rodar(capsys, *args, *([pdf] if args[0] == "verificar" else []))
    assert (codigo, out, err) == (3, "", f"scrivane-contract: erro: {mensagem}\n")


MULTA = "Multa de R$ 900.000,00 por dia"
# Each way of changing what a reader sees after signing: (make the PDF from the first page's lines, pages).
ATAQUES = {
    "camada oculta ligada no catálogo": (lambda ca, linhas: revelar_camada(assinar(
        pdf_com_camada_oculta(MULTA, indireta=False, linhas=linhas), ca.maria, "Assinatura1")), [2]),
    "camada oculta ligada em objeto próprio": (lambda ca, linhas: revelar_camada(assinar(
        pdf_com_camada_oculta(MULTA, indireta=True, linhas=linhas), ca.maria, "Assinatura1")), [2]),
    "aparência de anotação revelada": (lambda ca, linhas: revelar_sobreposicao(assinar(
        com_sobreposicao_oculta(pdf_texto(*linhas), MULTA), ca.maria, "Assinatura1")), [1]),
    "texto trocado": (lambda ca, linhas: trocar_texto(assinar(pdf_texto(*linhas), ca.maria, "Assinatura1"),
                                                     *linhas, MULTA), [1]),
    "página acrescentada": (lambda ca, linhas: acrescentar_pagina(assinar(pdf_texto(*linhas), ca.maria,
                                                                          "Assinatura1"), MULTA), [2]),
}


@pytest.mark.parametrize("ataque", list(ATAQUES))
def test_every_visible_change_after_signing_rejects_the_contract(ca, llm, qsa_com_cpfs, tmp_path, capsys, ataque):  # noqa: F811
    fazer, paginas = ATAQUES[ataque]
    pdf = tmp_path / "ataque.pdf"
    pdf.write_bytes(fazer(ca, ("CONTRATO ataque.pdf", f"CONTRATANTE: ACME COMERCIO DE TESTES LTDA, CNPJ {ACME_F}",
                               "Assina: Maria da Silva")))
    responder(llm, "ataque.pdf", "Maria da Silva")
    codigo, out, err = rodar(capsys, "verificar", "--json", "--registro", qsa_com_cpfs.url, "--raizes", ca.raizes, pdf)
    objeto = json.loads(out)
    assert (codigo, err, objeto["resultado"]["resultado_final"], objeto["veredito"]) == (1, "", "APROVADO", "REPROVADO")
    (maria,) = objeto["assinaturas_digitais"]["assinaturas"]
    assert (maria["nivel"], maria["alteracao"], maria["paginas_alteradas"]) == ("inválida", "conteúdo alterado", paginas)
    assert objeto["motivo_veredito"] == f"assinatura digital inválida: MARIA DA SILVA, {maria['motivo']}"


def test_a_certificate_cpf_the_qsa_contradicts_rejects_the_contract(ca, llm, qsa_com_cpfs, tmp_path, capsys):  # noqa: F811
    pdf = contrato_assinado(ca, tmp_path, "cpf.pdf", ca.joao)
    motivo = ("CPF do certificado divergente do QSA: JOAO PEREIRA, JOAO PEREIRA consta no QSA de "
              "ACME COMERCIO DE TESTES LTDA com CPF ***000111**")
    for opcoes, esperado in (([], (1, "REPROVADO", motivo)), (["--exigir-assinaturas-validas"], (1, "REPROVADO", motivo)),
                             (["--ignorar-assinaturas"], (0, "APROVADO", None))):
        responder(llm, "cpf.pdf", "João Pereira")
        codigo, out, err = rodar(capsys, "verificar", "--json", *opcoes, "--registro", qsa_com_cpfs.url,
                                 "--raizes", ca.raizes, pdf)
        objeto = json.loads(out)
        assert (codigo, objeto["veredito"], objeto["motivo_veredito"]) == esperado, opcoes
        digitais = objeto["assinaturas_digitais"]
        # The signature itself is sound; the identity is not.
        assert digitais["resumo"] == "1 assinatura(s) digital(is): 1 válida e confiável, 1 com CPF divergente do QSA"
        assert digitais["alertas"] == [
            "CPF do certificado de JOAO PEREIRA (campo Assinatura1) difere do CPF de JOAO PEREIRA no QSA"]


def test_a_gov_br_signature_is_trusted_without_roots_and_its_cpf_checked(llm, qsa_com_cpfs, tmp_path, capsys,  # noqa: F811
                                                                        monkeypatch):
    import scrivane.signatures as sig

    govbr = AutoridadeTeste("AC Final do Governo de Teste", organizacao="Gov-Br")
    monkeypatch.setattr(sig, "_cadeia_govbr", lambda: ((govbr.raiz_asn1(),), ()))
    maria = govbr.pessoa("MARIA DA SILVA", CPF_MARIA, so_assinatura_digital=True)
    pdf = contrato_assinado(govbr, tmp_path, "gov.pdf", maria)
    responder(llm, "gov.pdf", "Maria da Silva")
    codigo, out, _ = rodar(capsys, "verificar", "--registro", qsa_com_cpfs.url, pdf)
    assert codigo == 0
    assert "Nível legal: assinatura eletrônica avançada (gov.br, Lei 14.063/2020)" in out
    responder(llm, "gov.pdf", "Maria da Silva")
    codigo, out, _ = rodar(capsys, "verificar", "--json", "--registro", qsa_com_cpfs.url, pdf)
    objeto = json.loads(out)
    (a,) = objeto["assinaturas_digitais"]["assinaturas"]
    assert (codigo, objeto["veredito"]) == (0, "APROVADO")
    assert (a["nivel"], a["nivel_legal"], a["identidade"]) == ("válida e confiável", "avançada", "identidade confirmada")
