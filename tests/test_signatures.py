"""Reading a PDF's digital signatures: signer identity from ICP-Brasil certificate
fields, integrity, changes after signing, chain to the trusted roots, and bad
input turned into findings."""

from __future__ import annotations

import datetime
import subprocess
import sys
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest
from asn1crypto import core as a1core
from asn1crypto import x509 as a1x509
from cryptography.hazmat.primitives import serialization
from signed_pdfs import (AutoridadeTeste, adulterar, assinar, cms_da_ultima, dados_pessoa, other_name, pdf_texto,
                         trocar_no_cms, trocar_texto, trocar_valor_da_assinatura)

from scrivane import DocumentError
from scrivane.signatures import carregar_raizes, cpf_valido, dados_icp_brasil, ler_assinaturas

CPF_MARIA = "52998224725"
CPF_JOAO = "11144477735"
CNPJ_ACME = "11222333000181"


@pytest.fixture(scope="module")
def material(tmp_path_factory):
    """The test CA (trusted through a roots folder), three signers and the signed PDFs."""
    pasta = tmp_path_factory.mktemp("assinaturas")
    ca = AutoridadeTeste()
    maria = ca.pessoa("MARIA DA SILVA", CPF_MARIA)
    joao = ca.pessoa("JOÃO PEREIRA", CPF_JOAO)
    acme = ca.empresa("ACME COMERCIO LTDA", CNPJ_ACME, "JOAO PEREIRA", CPF_JOAO)
    base = pdf_texto("CONTRATO DE PRESTACAO DE SERVICOS", "VALOR: R$ 1.000,00")
    um = assinar(base, maria, "Assinatura1")
    pdfs = {
        "sem_assinatura": base,
        "um_assinante": um,
        "dois_assinantes": assinar(um, joao, "Assinatura2"),
        "empresa": assinar(base, acme, "AssinaturaEmpresa"),
        "alterado_depois": trocar_texto(um, "CONTRATO DE PRESTACAO DE SERVICOS", "VALOR: R$ 9.000,00"),
        "bytes_adulterados": adulterar(um, b"1.000,00", b"9.000,00"),
        "assinatura_trocada": trocar_valor_da_assinatura(um),
    }
    paths = {}
    for nome, data in pdfs.items():
        paths[nome] = pasta / f"{nome}.pdf"
        paths[nome].write_bytes(data)
    return {"ca": ca, "raizes": ca.gravar_raiz(pasta / "raizes"), "pdfs": pdfs, "paths": paths,
            "pasta": pasta, "joao": joao}


# (pdf, per signature: campo, person, CPF, CNPJ, integra, modificado_apos_assinatura, valida)
CASOS = [
    ("sem_assinatura", []),
    ("um_assinante", [("Assinatura1", "MARIA DA SILVA", CPF_MARIA, None, True, False, True)]),
    ("dois_assinantes", [("Assinatura1", "MARIA DA SILVA", CPF_MARIA, None, True, False, True),
                         ("Assinatura2", "JOÃO PEREIRA", CPF_JOAO, None, True, False, True)]),
    ("empresa", [("AssinaturaEmpresa", "JOAO PEREIRA", CPF_JOAO, CNPJ_ACME, True, False, True)]),
    ("alterado_depois", [("Assinatura1", "MARIA DA SILVA", CPF_MARIA, None, True, True, False)]),
    ("bytes_adulterados", [("Assinatura1", "MARIA DA SILVA", CPF_MARIA, None, False, True, False)]),
    # Signed bytes intact, 16 bytes of the CMS signature value flipped.
    ("assinatura_trocada", [("Assinatura1", "MARIA DA SILVA", CPF_MARIA, None, False, False, False)]),
]


@pytest.mark.parametrize("nome, esperado", CASOS, ids=[c[0] for c in CASOS])
def test_each_signed_pdf_reports_who_signed_and_what_happened_after(material, nome, esperado):
    assinaturas = ler_assinaturas(material["paths"][nome], raizes=material["raizes"])
    got = [(a.campo, a.pessoa, a.cpf_pessoa, a.cnpj, a.integra, a.modificado_apos_assinatura, a.valida)
           for a in assinaturas]
    assert got == esperado
    for a in assinaturas:
        assert a.ilegivel is None and a.data_assinatura
        # A broken signature says nothing trustworthy about the chain.
        assert a.icp_brasil is (True if a.integra else None)


def test_findings_name_the_change_and_the_broken_signature(material):
    (alterado,) = ler_assinaturas(material["paths"]["alterado_depois"], raizes=material["raizes"])
    assert alterado.achados[0] == "assinatura íntegra"
    assert "CONTEÚDO ALTERADO após a assinatura (página(s) 1)" in alterado.achados
    assert (alterado.alteracao, alterado.paginas_alteradas, alterado.nivel) == ("conteúdo alterado", [1], "inválida")
    assert alterado.motivo == "conteúdo alterado depois da assinatura (página(s) 1)"
    (adulterado,) = ler_assinaturas(material["paths"]["bytes_adulterados"], raizes=material["raizes"])
    assert adulterado.achados == ["ASSINATURA VIOLADA: os bytes assinados foram alterados depois da assinatura"]
    assert adulterado.nivel == "inválida"
    (trocada,) = ler_assinaturas(material["paths"]["assinatura_trocada"], raizes=material["raizes"])
    assert trocada.achados == ["ASSINATURA VIOLADA: a assinatura criptográfica não confere"]
    assert (trocada.nivel, trocada.motivo) == ("inválida", "assinatura violada: a assinatura criptográfica não confere")
    primeira, segunda = ler_assinaturas(material["paths"]["dois_assinantes"], raizes=material["raizes"])
    assert primeira.achados[1] == ("depois da assinatura: apenas assinaturas, carimbos de tempo ou dados de "
                                   "validação acrescentados")
    assert segunda.achados[1] == "depois da assinatura: nada mudou"


def test_default_roots_are_icp_brasil_and_do_not_trust_the_test_ca(material):
    roots, intermediates = carregar_raizes()
    names = {r.subject.native["common_name"] for r in roots}
    assert "Autoridade Certificadora Raiz Brasileira v5" in names
    # ICP-Brasil's, and the gov.br chain beside them (another hierarchy: Gov-Br).
    assert {r.subject.native.get("organization_name") for r in roots + intermediates} == {"ICP-Brasil", "Gov-Br"}
    assert "Autoridade Certificadora Raiz do Governo Federal do Brasil v1" in names
    assert intermediates and all(c.subject != c.issuer for c in intermediates)
    # The retired roots (v1, v2) ship with the package.
    assert {"Autoridade Certificadora Raiz Brasileira v1", "Autoridade Certificadora Raiz Brasileira v2"} <= names
    (a,) = ler_assinaturas(material["paths"]["um_assinante"])
    # An unknown chain: intact, but neither valid nor invalid.
    assert a.integra and a.icp_brasil is False and a.valida is False and a.invalida is False
    assert (a.nivel, a.motivo) == ("íntegra, certificado não reconhecido",
                                   "AC desconhecida: a cadeia não chega a uma raiz confiável")
    assert a.problema_certificado == "AC desconhecida: a cadeia não chega a uma raiz confiável"
    assert ("certificado não reconhecido como ICP-Brasil ou gov.br: AC desconhecida: a cadeia não chega a uma raiz confiável"
            in a.achados)


def test_roots_option_takes_a_file_or_a_folder_and_refuses_a_bad_one(material, tmp_path):
    arquivo = material["raizes"] / "raiz.pem"
    assert [a.icp_brasil for a in ler_assinaturas(material["paths"]["um_assinante"], raizes=arquivo)] == [True]
    # Another CA's root does not vouch for our signer.
    outra = AutoridadeTeste("Outra AC").gravar_raiz(tmp_path / "outra")
    assert [a.icp_brasil for a in ler_assinaturas(material["paths"]["um_assinante"], raizes=outra)] == [False]
    with pytest.raises(FileNotFoundError):
        carregar_raizes(tmp_path / "nada")
    (tmp_path / "vazia").mkdir()
    with pytest.raises(ValueError, match="Nenhum certificado"):
        carregar_raizes(tmp_path / "vazia")
    (tmp_path / "ruim").mkdir()
    (tmp_path / "ruim" / "x.pem").write_bytes(b"-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n")
    with pytest.raises(ValueError, match="Certificado ilegível"):
        carregar_raizes(tmp_path / "ruim")


def _cert(assinante):
    return a1x509.Certificate.load(assinante.cert.public_bytes(serialization.Encoding.DER))


@pytest.mark.parametrize("kind", [a1core.OctetString, a1core.PrintableString, a1core.UTF8String, a1core.IA5String])
def test_icp_brasil_fields_in_any_string_type(kind):
    ca = AutoridadeTeste()
    pessoa = ca.emitir("FULANA DE TAL", [other_name("2.16.76.1.3.1", dados_pessoa(CPF_MARIA), kind)])
    empresa = ca.emitir("ACME:" + CNPJ_ACME, [other_name("2.16.76.1.3.3", CNPJ_ACME, kind),
                                              other_name("2.16.76.1.3.4", dados_pessoa(CPF_JOAO), kind),
                                              other_name("2.16.76.1.3.2", "JOAO PEREIRA", kind)])
    assert dados_icp_brasil(_cert(pessoa)) == {"cpf": CPF_MARIA, "cnpj": None, "cpf_responsavel": None,
                                               "nome_responsavel": None}
    assert dados_icp_brasil(_cert(empresa)) == {"cpf": None, "cnpj": CNPJ_ACME, "cpf_responsavel": CPF_JOAO,
                                                "nome_responsavel": "JOAO PEREIRA"}


@pytest.mark.parametrize("cn, alt, esperado", [
    ("FULANO:" + CPF_MARIA, [], {"cpf": CPF_MARIA}),                  # no otherName: the CN suffix
    ("EMPRESA:" + CNPJ_ACME, [], {"cnpj": CNPJ_ACME}),
    ("FULANO", [], {}),                                               # nothing to read
    ("FULANO", [("2.16.76.1.3.1", "0" * 51)], {}),                    # a zeroed CPF is no CPF
    ("FULANO", [("2.16.76.1.3.1", "0102")], {}),                      # too short
    ("FULANO", [("1.2.3.4", dados_pessoa(CPF_MARIA))], {}),           # someone else's OID
])
def test_icp_brasil_fields_fallbacks_and_bad_values(cn, alt, esperado):
    ca = AutoridadeTeste()
    cert = _cert(ca.emitir(cn, [other_name(oid, text) for oid, text in alt]))
    got = {k: v for k, v in dados_icp_brasil(cert).items() if v is not None}
    assert got == esperado


def test_cpf_check_digits_flag_a_bad_certificate_cpf(material, tmp_path):
    assert cpf_valido(CPF_MARIA) and cpf_valido(CPF_JOAO)
    assert not cpf_valido("52998224724") and not cpf_valido("11111111111") and not cpf_valido("123")
    ruim = material["ca"].pessoa("FULANO", "52998224724")
    path = tmp_path / "cpf.pdf"
    path.write_bytes(assinar(pdf_texto("CONTRATO"), ruim, "A"))
    (a,) = ler_assinaturas(path, raizes=material["raizes"])
    assert "CPF do certificado com dígitos verificadores inválidos: 52998224724" in a.achados


def _mangle(pdf: bytes, antes: bytes, depois: bytes) -> bytes:
    """Replace the last occurrence (the last signature's dictionary), same length."""
    cut = pdf.rindex(antes)
    return pdf[:cut] + depois + pdf[cut + len(antes):]


def _bad_inputs(material):
    dois = material["pdfs"]["dois_assinantes"]
    cert_der = material["joao"].cert.public_bytes(serialization.Encoding.DER)
    sha256 = bytes.fromhex("0609608648016503040201")
    return {
        "sem ByteRange": (_mangle(dois, b"/ByteRange", b"/ByteRangX"), "dicionário de assinatura malformado"),
        "SubFilter desconhecido": (_mangle(dois, b"/adbe.pkcs7.detached", b"/adbe.x509.rsa_sha1x"),
                                   "formato ou algoritmo não suportado"),
        "certificado corrompido": (trocar_no_cms(dois, cert_der[4:40], b"\0" * 36),
                                   "certificado em formato desconhecido"),
        "algoritmo desconhecido": (trocar_no_cms(dois, sha256, sha256[:-1] + b"\x63", -1),
                                   "formato ou algoritmo não suportado"),
        "conteúdo não CMS": (trocar_no_cms(dois, cms_da_ultima(dois)[:20], b"\x01" * 20),
                             "dicionário de assinatura malformado"),
    }


@pytest.mark.parametrize("caso", ["sem ByteRange", "SubFilter desconhecido", "certificado corrompido",
                                  "algoritmo desconhecido", "conteúdo não CMS"])
def test_bad_signature_gives_a_finding_and_the_others_still_read(material, tmp_path, caso):
    data, motivo = _bad_inputs(material)[caso]
    path = tmp_path / "ruim.pdf"
    path.write_bytes(data)
    assinaturas = ler_assinaturas(path, raizes=material["raizes"])
    assert [a.campo for a in assinaturas] == ["Assinatura1", "Assinatura2"]
    boa, ruim = assinaturas
    assert boa.valida and boa.pessoa == "MARIA DA SILVA"
    assert not ruim.valida and ruim.integra is None
    assert ruim.achados == [f"assinatura ilegível: {ruim.ilegivel}"]
    # The stage that failed and what the reader can do, never a Python error.
    assert ruim.ilegivel.startswith(motivo + ": ") and "Error" not in ruim.ilegivel
    assert "validar.iti.gov.br" in ruim.ilegivel


def test_files_without_signatures_and_unreadable_pdfs(material, tmp_path):
    texto = tmp_path / "contrato.txt"
    texto.write_text("CONTRATO assinado à mão", encoding="utf-8")
    assert ler_assinaturas(texto) == []
    quebrado = tmp_path / "quebrado.pdf"
    quebrado.write_bytes(b"%PDF-1.7\n" + b"lixo" * 50)
    with pytest.raises(DocumentError, match="PDF ilegível"):
        ler_assinaturas(quebrado)
    with pytest.raises(FileNotFoundError):
        ler_assinaturas(tmp_path / "nao_existe.pdf")
    # Signed bytes behind something that is not a PDF header: said plainly, not "no signatures".
    sem_cabecalho = tmp_path / "sem_cabecalho.pdf"
    sem_cabecalho.write_bytes(b"%XYZ" + material["pdfs"]["um_assinante"][4:])
    with pytest.raises(DocumentError, match=r"PDF ilegível: .* \(sem o cabeçalho %PDF\)"):
        ler_assinaturas(sem_cabecalho)


def test_reading_prints_nothing_even_for_a_suspicious_update(material):
    # In a fresh interpreter without logging set up (pytest installs its own
    # handlers): pyHanko's traceback of the suspicious update, and the
    # deprecation warnings of its imports, must not reach the terminal.
    code = ("import sys; from scrivane.signatures import ler_assinaturas; "
            "r = ler_assinaturas(sys.argv[1], raizes=sys.argv[2]); assert r[0].modificado_apos_assinatura")
    proc = subprocess.run([sys.executable, "-c", code, str(material["paths"]["alterado_depois"]),
                           str(material["raizes"])], capture_output=True, text=True, timeout=120)
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, "", "")


class _LcrHandler(BaseHTTPRequestHandler):
    lcr = b""
    pedidos = 0

    def do_GET(self):
        type(self).pedidos += 1
        self.send_response(200)
        self.send_header("Content-Type", "application/pkix-crl")
        self.send_header("Content-Length", str(len(self.lcr)))
        self.end_headers()
        self.wfile.write(self.lcr)

    def log_message(self, *args):
        pass


def test_revocation_is_checked_only_on_request(tmp_path, monkeypatch):
    monkeypatch.setenv("NO_PROXY", "127.0.0.1,localhost")
    ca = AutoridadeTeste()
    raizes = ca.gravar_raiz(tmp_path / "raizes")
    server = ThreadingHTTPServer(("127.0.0.1", 0), _LcrHandler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        url = f"http://127.0.0.1:{server.server_address[1]}/ac.crl"
        revogada = ca.pessoa("ANA REVOGADA", CPF_MARIA, lcr_url=url)
        boa = ca.pessoa("BIA EM DIA", CPF_JOAO, lcr_url=url)
        _LcrHandler.lcr = ca.lcr(revogada)
        path = tmp_path / "c.pdf"
        path.write_bytes(assinar(assinar(pdf_texto("CONTRATO"), revogada, "A1"), boa, "A2"))
        sem_lcr = tmp_path / "s.pdf"
        sem_lcr.write_bytes(assinar(pdf_texto("CONTRATO"), ca.pessoa("CIDA", CPF_MARIA), "A1"))

        def chain(p, **kw):
            return [(a.icp_brasil, a.problema_certificado) for a in ler_assinaturas(p, raizes=raizes, **kw)]

        # Off by default: nothing fetched, both trusted.
        assert chain(path) == [(True, None), (True, None)]
        assert _LcrHandler.pedidos == 0
        assert chain(path, verificar_revogacao=True) == [(False, "certificado revogado"), (True, None)]
        # Asked for, a certificate without revocation information is not vouched for.
        assert chain(sem_lcr, verificar_revogacao=True) == [
            (False, "situação de revogação não confirmada (LCR/OCSP ausente ou inacessível)")]
    finally:
        server.shutdown()
        server.server_close()


def test_certificate_expired_since_signing_is_judged_at_the_time_stamp(tmp_path):
    ca = AutoridadeTeste()
    raizes = ca.gravar_raiz(tmp_path / "raizes")
    expirado = ca.pessoa("VELHO CONTRATO", CPF_MARIA, inicio_dias=-20, dias=10)  # expired ten days ago
    quando = ca.now - datetime.timedelta(days=15)
    carimbado = tmp_path / "carimbado.pdf"
    carimbado.write_bytes(assinar(pdf_texto("CONTRATO"), expirado, "A", ca.carimbador(quando)))
    sem_carimbo = tmp_path / "sem_carimbo.pdf"
    sem_carimbo.write_bytes(assinar(pdf_texto("CONTRATO"), expirado, "A"))

    (a,) = ler_assinaturas(carimbado, raizes=raizes)
    assert (a.carimbo_do_tempo, a.icp_brasil, a.problema_certificado, a.valida) == (True, True, None, True)
    assert datetime.datetime.fromisoformat(a.data_assinatura) == quando
    assert "válido na data do carimbo do tempo (expirou depois)" in a.achados[-1]
    # Signed (by the computer's clock) after the expiry, with nothing to prove otherwise.
    (b,) = ler_assinaturas(sem_carimbo, raizes=raizes)
    assert (b.carimbo_do_tempo, b.icp_brasil, b.problema_certificado) == (
        False, False, "certificado fora do prazo de validade")
    # Declared within the validity, but only declared: accepted, and said to be unproven.
    declarado = tmp_path / "declarado.pdf"
    declarado.write_bytes(assinar(pdf_texto("CONTRATO"), expirado, "A", relogio=quando))
    (c,) = ler_assinaturas(declarado, raizes=raizes)
    assert (c.carimbo_do_tempo, c.icp_brasil, datetime.datetime.fromisoformat(c.data_assinatura)) == (
        False, True, quando.replace(microsecond=0))
    assert c.problema_certificado == "válido só na data declarada pelo assinante (sem carimbo do tempo)"
    assert "que não é comprovada (sem carimbo do tempo)" in c.achados[-1]


def test_the_shipped_gov_br_chain_is_the_one_whose_provenance_is_written(material):
    import hashlib

    roots, intermediates = carregar_raizes()
    govbr = {c.subject.native["common_name"]: hashlib.sha256(c.dump()).hexdigest()
             for c in roots + intermediates if c.subject.native.get("organization_name") == "Gov-Br"}
    assert govbr == {
        "Autoridade Certificadora Raiz do Governo Federal do Brasil v1":
            "163bd003bc0df2beab88174b6d5b450b6e1dc973a64b2dc2a33218544f49ef4e",
        "AC Intermediaria do Governo Federal do Brasil v1":
            "c96f8b6de022119717dfd2aeb6334e98036aaeb5c3818b4d84be1d267926d2e7",
        "AC Final do Governo Federal do Brasil v1":
            "96bb5c41859fc51d88f305517be641d9ef4a5d601b1bb2352e7161e97ff8b852",
    }


@pytest.fixture
def hierarquias(monkeypatch):
    """A test gov.br and a test ICP-Brasil authority, standing in for the shipped roots (no --raizes)."""
    import scrivane.signatures as sig

    govbr = AutoridadeTeste("AC Final do Governo de Teste", organizacao="Gov-Br")
    icp = AutoridadeTeste("AC Raiz ICP de Teste")
    roots, intermediates = sig._raizes_icp_brasil()
    monkeypatch.setattr(sig, "_cadeia_govbr", lambda: ((govbr.raiz_asn1(),), ()))
    monkeypatch.setattr(sig, "_raizes_icp_brasil", lambda: (roots + (icp.raiz_asn1(),), intermediates))
    return govbr, icp


def test_each_chain_is_judged_by_its_own_key_usage_now_and_at_the_signing_time(hierarquias, tmp_path):
    govbr, icp = hierarquias
    quando = govbr.now - datetime.timedelta(days=15)

    def ler(ca, nome, **kw):
        expirado = kw.pop("expirado", False)
        assinante = ca.pessoa(nome, CPF_MARIA, **(dict(inicio_dias=-20, dias=10) if expirado else {}), **kw)
        path = tmp_path / f"{nome}.pdf"
        path.write_bytes(assinar(pdf_texto("CONTRATO"), assinante, "A", relogio=quando if expirado else None))
        (a,) = ler_assinaturas(path)
        return a

    # gov.br issues digitalSignature only: trusted now, and at the declared time once expired.
    atual = ler(govbr, "CIDADAO ATUAL", so_assinatura_digital=True)
    assert (atual.nivel, atual.nivel_legal, atual.cpf) == ("válida e confiável", "avançada", CPF_MARIA)
    assert "certificado encadeado a uma raiz do gov.br" in atual.achados
    vencido = ler(govbr, "CIDADAO VENCIDO", so_assinatura_digital=True, expirado=True)
    assert (vencido.icp_brasil, vencido.nivel_legal, vencido.problema_certificado) == (
        True, "avançada", "válido só na data declarada pelo assinante (sem carimbo do tempo)")
    # ICP-Brasil signing certificates carry nonRepudiation: qualified; without it, refused at both times.
    qualificada = ler(icp, "TITULAR ICP")
    assert (qualificada.nivel, qualificada.nivel_legal) == ("válida e confiável", "qualificada")
    assert "certificado encadeado a uma raiz ICP-Brasil" in qualificada.achados
    for a in (ler(icp, "SEM NAO REPUDIO", so_assinatura_digital=True),
              ler(icp, "SEM NAO REPUDIO VENCIDO", so_assinatura_digital=True, expirado=True)):
        assert (a.icp_brasil, a.nivel_legal, a.nivel) == (False, None, "íntegra, certificado não reconhecido")
    # Any other root the user trusts: valid, with no legal level.
    outra = AutoridadeTeste()
    path = tmp_path / "outra.pdf"
    path.write_bytes(assinar(pdf_texto("CONTRATO"), outra.pessoa("OUTRA", CPF_MARIA), "A"))
    (a,) = ler_assinaturas(path, raizes=outra.gravar_raiz(tmp_path / "outra"))
    assert (a.nivel, a.nivel_legal, a.como_dict()["nivel_legal"]) == ("válida e confiável", None, None)


@pytest.mark.parametrize("oid, carimbo, esperado", [
    ("2.16.76.1.7.1.11.1.3", False, ("AD-RB", True, "traz o que a política exige")),
    ("2.16.76.1.7.1.12.1.3", False, ("AD-RT", False, "falta o carimbo do tempo da assinatura")),
    ("2.16.76.1.7.1.12.1.3", True, ("AD-RT", True, "traz o que a política exige")),
    ("2.16.76.1.7.1.14.1.1", True, ("AD-RA", False, "faltam os dados de validação (certificados e revogação) e "
                                                    "o carimbo do tempo de arquivamento")),
    ("2.16.76.1.7.1.3.2.2", True, ("AD-RV", False, "falta os dados de validação (certificados e revogação)")),
    # Not an ICP-Brasil policy: nothing said.
    ("1.3.6.1.4.1.99999.1", False, (None, None, None)),
])
def test_the_declared_icp_brasil_policy_is_named_and_checked(material, tmp_path, oid, carimbo, esperado):
    ca = material["ca"]
    path = tmp_path / "politica.pdf"
    path.write_bytes(assinar(pdf_texto("CONTRATO"), ca.pessoa("MARIA DA SILVA", CPF_MARIA), "A",
                             ca.carimbador(ca.now) if carimbo else None, politica=oid))
    (a,) = ler_assinaturas(path, raizes=material["raizes"])
    sigla, atendida, texto = esperado
    assert (a.politica, a.politica_atendida, a.valida) == (sigla, atendida, True)
    assert a.como_dict()["politica_oid"] == (oid if sigla else None)
    declaradas = [x for x in a.achados if x.startswith("política de assinatura")]
    assert declaradas == ([f"política de assinatura ICP-Brasil {sigla} ({oid}): {texto}"] if sigla else [])


@pytest.mark.parametrize("texto", [
    b"<48656C6C6F>", b"<48 65\n6c\r\n6C\t6F>", b"<4>", b"<>", b"<486>", b"<" + b"0a" * 70000 + b">",
    b"<48%comentario\n65>",  # a comment: pyHanko's own reader takes it
    b"<48zz>", b"<4865",  # not hex, never closed: pyHanko's errors
])
def test_the_fast_hex_string_reader_reads_what_pyhankos_reads(texto):
    import io

    from pyhanko.pdf_utils import generic

    import scrivane.signatures as sig

    sig._acelerar_leitura_hex()
    rapido = generic.read_hex_string_from_stream
    original = rapido.original
    resultados = []
    for ler in (original, rapido):
        stream = io.BytesIO(b"lixo " + texto + b" /Depois")
        stream.seek(5)
        try:
            valor = ler(stream)
            resultados.append((type(valor), bytes(valor.original_bytes), stream.read()))
        except Exception as exc:
            resultados.append((type(exc), None, None))
    assert resultados[0] == resultados[1]
