"""Digitally signed PDFs made on the spot: a test certification authority,
signer certificates carrying ICP-Brasil-style otherName fields, and PDFs signed
with pyHanko (then changed, or tampered with, as a test needs).

    ca = AutoridadeTeste()
    maria = ca.pessoa("MARIA DA SILVA", "52998224725")
    pdf = assinar(pdf_texto("CONTRATO ..."), maria, "Assinatura1")
    ca.gravar_raiz(tmp_path / "raizes")        # trust it through the roots option
"""

from __future__ import annotations

import datetime
import io
import warnings
from dataclasses import dataclass
from pathlib import Path

from asn1crypto import core as a1core
from asn1crypto import keys as a1keys
from asn1crypto import x509 as a1x509
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import NameOID

with warnings.catch_warnings():
    warnings.simplefilter("ignore")
    from pyhanko.pdf_utils import generic
    from pyhanko.pdf_utils.incremental_writer import IncrementalPdfFileWriter
    from pyhanko.pdf_utils.writer import PdfFileWriter
    from pyhanko.sign import signers

_KEY_USAGE_SIGNER = x509.KeyUsage(
    digital_signature=True, content_commitment=True, key_encipherment=False, data_encipherment=False,
    key_agreement=False, key_cert_sign=False, crl_sign=False, encipher_only=False, decipher_only=False)
_KEY_USAGE_DIGITAL = x509.KeyUsage(
    digital_signature=True, content_commitment=False, key_encipherment=False, data_encipherment=False,
    key_agreement=False, key_cert_sign=False, crl_sign=False, encipher_only=False, decipher_only=False)
_KEY_USAGE_CA = x509.KeyUsage(
    digital_signature=False, content_commitment=False, key_encipherment=False, data_encipherment=False,
    key_agreement=False, key_cert_sign=True, crl_sign=True, encipher_only=False, decipher_only=False)


def _name(cn: str, organizacao: str = "ICP-Brasil") -> x509.Name:
    return x509.Name([
        x509.NameAttribute(NameOID.COUNTRY_NAME, "BR"),
        x509.NameAttribute(NameOID.ORGANIZATION_NAME, organizacao),
        x509.NameAttribute(NameOID.COMMON_NAME, cn),
    ])


def other_name(oid: str, text: str, kind=a1core.OctetString) -> x509.OtherName:
    """An otherName as ICP-Brasil issuers write it (an OCTET STRING by default)."""
    value = text.encode("latin-1") if kind is a1core.OctetString else text
    return x509.OtherName(x509.ObjectIdentifier(oid), kind(value).dump())


def dados_pessoa(cpf: str, nascimento: str = "01021980") -> str:
    """The 51-character person block: birth date, CPF, NIS, RG, issuer and state."""
    return nascimento + cpf + "0" * 11 + "123456789".rjust(15, "0") + "SSPSP "


@dataclass
class Assinante:
    cert: x509.Certificate
    key: "ec.EllipticCurvePrivateKey"
    ca: x509.Certificate

    def signer(self) -> signers.SimpleSigner:
        from pyhanko_certvalidator.registry import SimpleCertificateStore

        der = self.cert.public_bytes(serialization.Encoding.DER)
        key_der = self.key.private_bytes(serialization.Encoding.DER, serialization.PrivateFormat.PKCS8,
                                         serialization.NoEncryption())
        ca_der = self.ca.public_bytes(serialization.Encoding.DER)
        return signers.SimpleSigner(
            signing_cert=a1x509.Certificate.load(der), signing_key=a1keys.PrivateKeyInfo.load(key_der),
            cert_registry=SimpleCertificateStore.from_certs([a1x509.Certificate.load(ca_der)]))


class AutoridadeTeste:
    """A self-signed test CA that issues signer certificates."""

    def __init__(self, nome: str = "AC Raiz de Teste", organizacao: str = "ICP-Brasil"):
        self.now = datetime.datetime.now(datetime.timezone.utc)
        self.organizacao = organizacao
        self.key = ec.generate_private_key(ec.SECP256R1())
        self.cert = (
            x509.CertificateBuilder().subject_name(_name(nome, organizacao)).issuer_name(_name(nome, organizacao))
            .public_key(self.key.public_key()).serial_number(x509.random_serial_number())
            .not_valid_before(self.now - datetime.timedelta(days=30))
            .not_valid_after(self.now + datetime.timedelta(days=3650))
            .add_extension(x509.BasicConstraints(ca=True, path_length=None), critical=True)
            .add_extension(_KEY_USAGE_CA, critical=True)
            .sign(self.key, hashes.SHA256())
        )

    def emitir(self, cn: str, alt_names: list[x509.GeneralName], *, dias: int = 365,
               inicio_dias: int = -1, lcr_url: str | None = None, chave=None,
               so_assinatura_digital: bool = False) -> Assinante:
        """A signer certificate (``so_assinatura_digital``: digitalSignature without nonRepudiation,
        as gov.br issues them)."""
        key = chave or ec.generate_private_key(ec.SECP256R1())
        builder = (
            x509.CertificateBuilder().subject_name(_name(cn, self.organizacao)).issuer_name(self.cert.subject)
            .public_key(key.public_key()).serial_number(x509.random_serial_number())
            .not_valid_before(self.now + datetime.timedelta(days=inicio_dias))
            .not_valid_after(self.now + datetime.timedelta(days=inicio_dias + dias))
            .add_extension(_KEY_USAGE_DIGITAL if so_assinatura_digital else _KEY_USAGE_SIGNER, critical=True)
        )
        if alt_names:
            builder = builder.add_extension(x509.SubjectAlternativeName(alt_names), critical=False)
        if lcr_url:
            builder = builder.add_extension(x509.CRLDistributionPoints([x509.DistributionPoint(
                full_name=[x509.UniformResourceIdentifier(lcr_url)], relative_name=None, reasons=None,
                crl_issuer=None)]), critical=False)
        return Assinante(builder.sign(self.key, hashes.SHA256()), key, self.cert)

    def lcr(self, *revogados: Assinante) -> bytes:
        """A DER certificate revocation list revoking ``revogados``."""
        builder = (x509.CertificateRevocationListBuilder().issuer_name(self.cert.subject)
                   .last_update(self.now - datetime.timedelta(hours=1))
                   .next_update(self.now + datetime.timedelta(days=7)))
        for assinante in revogados:
            builder = builder.add_revoked_certificate(
                x509.RevokedCertificateBuilder().serial_number(assinante.cert.serial_number)
                .revocation_date(self.now - datetime.timedelta(minutes=30)).build())
        return builder.sign(self.key, hashes.SHA256()).public_bytes(serialization.Encoding.DER)

    def carimbador(self, momento: datetime.datetime):
        """A time-stamp authority of this CA whose tokens all say ``momento``."""
        from cryptography.hazmat.primitives.asymmetric import rsa
        from pyhanko.sign.timestamps.dummy_client import DummyTimeStamper

        key = rsa.generate_private_key(public_exponent=65537, key_size=2048)  # pyHanko's test TSA signs with RSA
        cert = (
            x509.CertificateBuilder().subject_name(_name("ACT de Teste")).issuer_name(self.cert.subject)
            .public_key(key.public_key()).serial_number(x509.random_serial_number())
            .not_valid_before(self.now - datetime.timedelta(days=29)).not_valid_after(self.now + datetime.timedelta(days=365))
            .add_extension(x509.ExtendedKeyUsage([x509.oid.ExtendedKeyUsageOID.TIME_STAMPING]), critical=True)
            .sign(self.key, hashes.SHA256())
        )
        der = cert.public_bytes(serialization.Encoding.DER)
        key_der = key.private_bytes(serialization.Encoding.DER, serialization.PrivateFormat.PKCS8,
                                    serialization.NoEncryption())
        return DummyTimeStamper(tsa_cert=a1x509.Certificate.load(der), tsa_key=a1keys.PrivateKeyInfo.load(key_der),
                                fixed_dt=momento)

    def pessoa(self, nome: str, cpf: str, **kw) -> Assinante:
        """An e-CPF-like certificate: CN "NOME:CPF" and the person block (``lcr_url``: its CRL)."""
        return self.emitir(f"{nome}:{cpf}", [other_name("2.16.76.1.3.1", dados_pessoa(cpf)),
                                             x509.RFC822Name("assinante@example.com")], **kw)

    def empresa(self, razao: str, cnpj: str, responsavel: str, cpf_responsavel: str) -> Assinante:
        """An e-CNPJ-like certificate: responsible person's name and data, and the company CNPJ."""
        return self.emitir(f"{razao}:{cnpj}", [
            other_name("2.16.76.1.3.4", dados_pessoa(cpf_responsavel)),
            other_name("2.16.76.1.3.2", responsavel),
            other_name("2.16.76.1.3.3", cnpj),
        ])

    def raiz_asn1(self):
        """The root as pyHanko reads it (an ``asn1crypto`` certificate)."""
        return a1x509.Certificate.load(self.cert.public_bytes(serialization.Encoding.DER))

    def gravar_raiz(self, pasta: Path) -> Path:
        pasta.mkdir(parents=True, exist_ok=True)
        (pasta / "raiz.pem").write_bytes(self.cert.public_bytes(serialization.Encoding.PEM))
        return pasta


def pdf_texto(*linhas: str) -> bytes:
    """A one-page PDF whose content stream is plain (uncompressed) text."""
    writer = PdfFileWriter()
    font = writer.add_object(generic.DictionaryObject({
        generic.pdf_name("/Type"): generic.pdf_name("/Font"),
        generic.pdf_name("/Subtype"): generic.pdf_name("/Type1"),
        generic.pdf_name("/BaseFont"): generic.pdf_name("/Helvetica"),
    }))
    page = generic.DictionaryObject({
        generic.pdf_name("/Type"): generic.pdf_name("/Page"),
        generic.pdf_name("/MediaBox"): generic.ArrayObject([generic.NumberObject(n) for n in (0, 0, 595, 842)]),
        generic.pdf_name("/Contents"): writer.add_object(generic.StreamObject(stream_data=_content(linhas))),
        generic.pdf_name("/Resources"): generic.DictionaryObject({
            generic.pdf_name("/Font"): generic.DictionaryObject({generic.pdf_name("/F1"): font})}),
    })
    writer.insert_page(page)
    out = io.BytesIO()
    writer.write(out)
    return out.getvalue()


def _content(linhas) -> bytes:
    parts = [b"BT /F1 11 Tf 14 TL 50 800 Td"]
    for linha in linhas:
        escaped = linha.replace("\\", "\\\\").replace("(", "\\(").replace(")", "\\)")
        parts.append(b"(" + escaped.encode("latin-1") + b") '")
    parts.append(b"ET")
    return b"\n".join(parts)


def politica_declarada(oid: str):
    """The signed attributes that declare the signature policy ``oid`` (its hash left as zeros)."""
    from pyhanko.sign.ades.api import CAdESSignedAttrSpec
    from pyhanko.sign.ades.cades_asn1 import SignaturePolicyIdentifier

    return CAdESSignedAttrSpec(signature_policy_identifier=SignaturePolicyIdentifier({"signature_policy_id": {
        "sig_policy_id": oid,
        "sig_policy_hash": {"digest_algorithm": {"algorithm": "sha256"}, "digest": bytes(32)}}}))


def assinar(pdf: bytes, assinante: Assinante, campo: str, carimbador=None,
            relogio: datetime.datetime | None = None, politica: str | None = None) -> bytes:
    """``pdf`` with one more signature, in an incremental update (time-stamped by ``carimbador``;
    ``relogio``: the time the signer's computer declares instead of now; ``politica``: the OID of
    the signature policy it declares)."""
    from unittest import mock

    from pyhanko.sign.signers import pdf_signer

    class _Relogio(datetime.datetime):
        @classmethod
        def now(cls, tz=None):
            return relogio

    writer = IncrementalPdfFileWriter(io.BytesIO(pdf))
    with warnings.catch_warnings(), mock.patch.object(pdf_signer, "datetime", _Relogio if relogio else datetime.datetime):
        warnings.simplefilter("ignore")
        meta = signers.PdfSignatureMetadata(
            field_name=campo, cades_signed_attr_spec=politica_declarada(politica) if politica else None)
        out = signers.sign_pdf(writer, meta, signer=assinante.signer(), timestamper=carimbador)
    return out.getvalue()


def trocar_texto(pdf: bytes, *linhas: str) -> bytes:
    """An incremental update that replaces the first page's text (the signed bytes stay as they were)."""
    writer = IncrementalPdfFileWriter(io.BytesIO(pdf))
    page = writer.root["/Pages"]["/Kids"][0]
    page["/Contents"] = writer.add_object(generic.StreamObject(stream_data=_content(linhas)))
    writer.update_container(page)
    out = io.BytesIO()
    writer.write(out)
    return out.getvalue()


def adulterar(pdf: bytes, antes: bytes, depois: bytes) -> bytes:
    """The same file with signed bytes replaced in place (same length: the byte ranges still fit)."""
    assert len(antes) == len(depois) and pdf.count(antes) >= 1
    return pdf.replace(antes, depois, 1)


def trocar_no_cms(pdf: bytes, antes: bytes, depois: bytes, vezes: int = 1) -> bytes:
    """Replace bytes inside the last signature's CMS blob (its /Contents hex string), same length;
    ``vezes=-1`` replaces every occurrence."""
    import re

    assert len(antes) == len(depois)
    match = list(re.finditer(rb"/Contents\s*<([0-9a-fA-F]+)>", pdf))[-1]
    der = bytes.fromhex(match.group(1).decode())
    assert antes in der, "bytes not found in the signature"
    novo = der.replace(antes, depois, vezes).hex().encode()
    return pdf[:match.start(1)] + novo + pdf[match.end(1):]


def cms_da_ultima(pdf: bytes) -> bytes:
    import re

    match = list(re.finditer(rb"/Contents\s*<([0-9a-fA-F]+)>", pdf))[-1]
    return bytes.fromhex(match.group(1).decode())


# --------------------------------------------------------------------------
# More ways to sign, and to change a document after it was signed


def assinar_com(pdf: bytes, signer, campo: str, *, certificar: bool = False, caixa=None, md: str | None = None,
                campo_existente: bool = False) -> bytes:
    """``pdf`` signed by ``signer`` (a pyHanko signer) in an incremental update.

    ``certificar``: a certification signature that lets forms be filled and
    others sign; ``caixa``: (x1, y1, x2, y2) of a visible signature box on the
    first page (a new field); ``md``: the digest algorithm."""
    from pyhanko.sign import fields
    from pyhanko.sign.fields import MDPPerm

    meta = signers.PdfSignatureMetadata(
        field_name=campo, md_algorithm=md, certify=certificar,
        docmdp_permissions=MDPPerm.FILL_FORMS if certificar else None) if certificar else \
        signers.PdfSignatureMetadata(field_name=campo, md_algorithm=md)
    spec = None if caixa is None or campo_existente else fields.SigFieldSpec(campo, box=caixa, on_page=0)
    writer = IncrementalPdfFileWriter(io.BytesIO(pdf))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        out = signers.PdfSigner(meta, signer=signer, new_field_spec=spec).sign_pdf(writer)
    return out.getvalue()


def campo_de_assinatura(pdf: bytes, campo: str, caixa) -> bytes:
    """An empty signature field with a visible box on the first page (signed later)."""
    from pyhanko.sign import fields

    writer = IncrementalPdfFileWriter(io.BytesIO(pdf))
    fields.append_signature_field(writer, fields.SigFieldSpec(campo, box=caixa, on_page=0))
    out = io.BytesIO()
    writer.write(out)
    return out.getvalue()


def _aparencia(writer, largura: float, altura: float, conteudo: bytes):
    font = generic.DictionaryObject({
        generic.pdf_name("/Type"): generic.pdf_name("/Font"),
        generic.pdf_name("/Subtype"): generic.pdf_name("/Type1"),
        generic.pdf_name("/BaseFont"): generic.pdf_name("/Helvetica"),
    })
    stream = generic.StreamObject({
        generic.pdf_name("/Type"): generic.pdf_name("/XObject"),
        generic.pdf_name("/Subtype"): generic.pdf_name("/Form"),
        generic.pdf_name("/BBox"): generic.ArrayObject([generic.FloatObject(v) for v in (0, 0, largura, altura)]),
        generic.pdf_name("/Resources"): generic.DictionaryObject({
            generic.pdf_name("/Font"): generic.DictionaryObject({generic.pdf_name("/F1"): font})}),
    }, stream_data=conteudo)
    return writer.add_object(stream)


def _texto_pdf(texto: str) -> bytes:
    return texto.replace("\\", "\\\\").replace("(", "\\(").replace(")", "\\)").encode("latin-1")


def _anotacao(writer, subtipo: str, caixa, conteudo: bytes, flags: int, **extra):
    x1, y1, x2, y2 = caixa
    annot = generic.DictionaryObject({
        generic.pdf_name("/Type"): generic.pdf_name("/Annot"),
        generic.pdf_name("/Subtype"): generic.pdf_name(subtipo),
        generic.pdf_name("/Rect"): generic.ArrayObject([generic.FloatObject(v) for v in caixa]),
        generic.pdf_name("/F"): generic.NumberObject(flags),
        generic.pdf_name("/AP"): generic.DictionaryObject({
            generic.pdf_name("/N"): _aparencia(writer, x2 - x1, y2 - y1, conteudo)}),
        **extra,
    })
    return writer.add_object(annot)


def _na_pagina(writer, ref) -> None:
    page = writer.root["/Pages"]["/Kids"][0].get_object()
    annots = page.get("/Annots")
    if annots is None:
        page[generic.pdf_name("/Annots")] = generic.ArrayObject([ref])
    else:
        annots.get_object().append(ref)
    writer.update_container(page)


def _escrever(writer) -> bytes:
    out = io.BytesIO()
    writer.write(out)
    return out.getvalue()


def anotar(pdf: bytes, texto: str, caixa=(300, 700, 550, 740)) -> bytes:
    """An incremental update that only adds a comment (a /FreeText annotation) to the first page."""
    writer = IncrementalPdfFileWriter(io.BytesIO(pdf))
    conteudo = b"BT /F1 10 Tf 4 12 Td (" + _texto_pdf(texto) + b") Tj ET"
    ref = _anotacao(writer, "/FreeText", caixa, conteudo, 4,
                    **{"/Contents": generic.TextStringObject(texto),
                       "/DA": generic.TextStringObject("/Helv 10 Tf 0 g")})
    _na_pagina(writer, ref)
    return _escrever(writer)


def com_sobreposicao_oculta(pdf: bytes, texto: str, caixa=(45, 770, 400, 815)) -> bytes:
    """A hidden annotation over the first lines: an opaque white box with ``texto`` (made before signing)."""
    writer = IncrementalPdfFileWriter(io.BytesIO(pdf))
    x1, y1, x2, y2 = caixa
    conteudo = (b"1 1 1 rg 0 0 %d %d re f 0 0 0 rg BT /F1 11 Tf 5 %d Td (" % (x2 - x1, y2 - y1, (y2 - y1) - 16)
                + _texto_pdf(texto) + b") Tj ET")
    ref = _anotacao(writer, "/Square", caixa, conteudo, 2)  # 2: hidden
    _na_pagina(writer, ref)
    return _escrever(writer)


def revelar_sobreposicao(pdf: bytes) -> bytes:
    """After signing: the hidden annotation is made visible (only its flags change)."""
    writer = IncrementalPdfFileWriter(io.BytesIO(pdf))
    page = writer.root["/Pages"]["/Kids"][0].get_object()
    for ref in page["/Annots"]:
        annot = ref.get_object()
        if annot.get("/Subtype") == "/Square":
            annot[generic.pdf_name("/F")] = generic.NumberObject(4)
            writer.update_container(annot)
    return _escrever(writer)


def com_campo_de_texto(pdf: bytes, nome: str, caixa=(50, 600, 300, 620)) -> bytes:
    """An empty text field on the first page (filled after signing by ``preencher_campo``)."""
    writer = IncrementalPdfFileWriter(io.BytesIO(pdf))
    x1, y1, x2, y2 = caixa
    page = writer.root["/Pages"]["/Kids"][0]
    ref = _anotacao(writer, "/Widget", caixa, b"", 4, **{
        "/FT": generic.pdf_name("/Tx"), "/T": generic.TextStringObject(nome),
        "/V": generic.TextStringObject(""), "/P": page,
        "/DA": generic.TextStringObject("/Helv 10 Tf 0 g")})
    _na_pagina(writer, ref)
    form = writer.root.get("/AcroForm")
    if form is None:
        writer.root[generic.pdf_name("/AcroForm")] = writer.add_object(generic.DictionaryObject({
            generic.pdf_name("/Fields"): generic.ArrayObject([ref])}))
        writer.update_root()
    else:
        form.get_object()["/Fields"].append(ref)
        writer.update_container(form)
    return _escrever(writer)


def preencher_campo(pdf: bytes, nome: str, valor: str) -> bytes:
    """An incremental update that fills the text field ``nome`` (value and appearance)."""
    writer = IncrementalPdfFileWriter(io.BytesIO(pdf))
    for ref in writer.root["/AcroForm"]["/Fields"]:
        campo = ref.get_object()
        if str(campo.get("/T")) == nome:
            x1, y1, x2, y2 = [float(v) for v in campo["/Rect"]]
            campo[generic.pdf_name("/V")] = generic.TextStringObject(valor)
            campo[generic.pdf_name("/AP")] = generic.DictionaryObject({generic.pdf_name("/N"): _aparencia(
                writer, x2 - x1, y2 - y1, b"BT /F1 10 Tf 2 5 Td (" + _texto_pdf(valor) + b") Tj ET")})
            writer.update_container(campo)
    return _escrever(writer)


def carimbar_documento(pdf: bytes, carimbador) -> bytes:
    """A document time stamp (/Type /DocTimeStamp, SubFilter ETSI.RFC3161) in an incremental update."""
    writer = IncrementalPdfFileWriter(io.BytesIO(pdf))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return signers.PdfTimeStamper(carimbador).timestamp_pdf(writer, "sha256").getvalue()


def refazer_ultima(pdf: bytes, trocas, fazer_cms) -> bytes:
    """The last signature's dictionary edited (same-length ``trocas``), then its /Contents
    filled again with ``fazer_cms(bytes covered by its /ByteRange)``."""
    import re

    m = list(re.finditer(rb"/ByteRange\s*\[\s*(\d+)\s+(\d+)\s+(\d+)\s+(\d+)\s*\]", pdf))[-1]
    a, b, c, d = (int(x) for x in m.groups())
    for antes, depois in trocas:
        assert len(antes) == len(depois)
        cut = pdf.rindex(antes)
        pdf = pdf[:cut] + depois + pdf[cut + len(antes):]
    der = fazer_cms(pdf[a:a + b] + pdf[c:c + d])
    espaco = c - (a + b) - 2
    hexa = der.hex().encode()
    assert len(hexa) <= espaco
    return pdf[:a + b + 1] + hexa.ljust(espaco, b"0") + pdf[c - 1:]


def como_pkcs7_sha1(pdf: bytes, assinante: "Assinante") -> bytes:
    """The last signature made again as ``adbe.pkcs7.sha1``: the CMS carries and signs the
    SHA-1 digest of the signed ranges."""
    import asyncio
    import hashlib

    def cms(dados: bytes) -> bytes:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            info = asyncio.run(assinante.signer().async_sign_general_data(
                hashlib.sha1(dados).digest(), "sha1", detached=False))
        return info.dump()

    return refazer_ultima(pdf, [(b"/adbe.pkcs7.detached", b"/adbe.pkcs7.sha1    ")], cms)


def como_carimbo_tipo(pdf: bytes, carimbador, tipo: bytes | None) -> bytes:
    """The last document time stamp made again with /Type ``tipo`` (None: no /Type at all)."""
    import asyncio
    import hashlib

    novo = b"/Type /Sig" if tipo == b"/Sig" else b""
    troca = (b"/Type /DocTimeStamp", novo.ljust(len(b"/Type /DocTimeStamp"), b" "))

    def cms(dados: bytes) -> bytes:
        return asyncio.run(carimbador.async_timestamp(hashlib.sha256(dados).digest(), "sha256")).dump()

    return refazer_ultima(pdf, [troca], cms)


def signer_mecanismo(assinante: "Assinante", oid: str, assinar_bruto):
    """A signer that declares the signature mechanism ``oid`` and signs with ``assinar_bruto(dados)``
    (for mechanisms pyHanko can neither make nor check)."""
    from asn1crypto import algos

    base = assinante.signer()

    class Mecanismo(signers.SimpleSigner):
        async def async_sign_raw(self, data, digest_algorithm, dry_run=False):
            return assinar_bruto(data)

    return Mecanismo(signing_cert=base.signing_cert, signing_key=base.signing_key, cert_registry=base.cert_registry,
                     signature_mechanism=algos.SignedDigestAlgorithm({"algorithm": oid}))


def signer_ecdsa_simples(assinante: "Assinante"):
    """Plain ECDSA (r || s, the BSI format) with SHA-256."""
    from cryptography.hazmat.primitives.asymmetric.utils import decode_dss_signature

    def bruto(data: bytes) -> bytes:
        r, s = decode_dss_signature(assinante.key.sign(data, ec.ECDSA(hashes.SHA256())))
        n = (assinante.key.curve.key_size + 7) // 8
        return r.to_bytes(n, "big") + s.to_bytes(n, "big")

    return signer_mecanismo(assinante, "0.4.0.127.0.7.1.1.4.1.3", bruto)


def signer_ecdsa_sha3(assinante: "Assinante"):
    """ECDSA with SHA3-256 (a DER signature; the mechanism's OID is one pyHanko does not know)."""
    return signer_mecanismo(assinante, "2.16.840.1.101.3.4.3.10",
                            lambda data: assinante.key.sign(data, ec.ECDSA(hashes.SHA3_256())))


def signer_rsa_sha3(assinante: "Assinante"):
    """RSA (PKCS#1 v1.5) with SHA3-256; ``assinante`` must hold an RSA key."""
    from cryptography.hazmat.primitives.asymmetric import padding

    return signer_mecanismo(assinante, "2.16.840.1.101.3.4.3.14",
                            lambda data: assinante.key.sign(data, padding.PKCS1v15(), hashes.SHA3_256()))


def acrescentar_pagina(pdf: bytes, *linhas: str) -> bytes:
    """An incremental update that appends a page with ``linhas`` (sharing the first page's resources)."""
    writer = IncrementalPdfFileWriter(io.BytesIO(pdf))
    primeira = writer.root["/Pages"]["/Kids"][0].get_object()
    page = generic.DictionaryObject({
        generic.pdf_name("/Type"): generic.pdf_name("/Page"),
        generic.pdf_name("/MediaBox"): primeira["/MediaBox"],
        generic.pdf_name("/Contents"): writer.add_object(generic.StreamObject(stream_data=_content(linhas))),
        generic.pdf_name("/Resources"): primeira["/Resources"],
    })
    writer.insert_page(page)
    return _escrever(writer)


def trocar_valor_da_assinatura(pdf: bytes, n: int = 16) -> bytes:
    """The last signature with ``n`` bytes of its CMS signature value inverted: the signed bytes and
    their digest stay as they were, only the cryptographic signature no longer matches them."""
    from asn1crypto import cms

    info = cms.ContentInfo.load(cms_da_ultima(pdf))
    valor = info["content"]["signer_infos"][0]["signature"].native
    # Past the DER header of the (r, s) pair, inside r: the value keeps its shape.
    trecho = valor[8:8 + n]
    assert len(trecho) == n
    return trocar_no_cms(pdf, trecho, bytes(b ^ 0xFF for b in trecho))


def com_certificado(pdf: bytes, assinante: "Assinante") -> tuple[bytes, int]:
    """``pdf`` with the signer's certificate as a string object (for ``como_x509_rsa_sha1``); and its number."""
    writer = IncrementalPdfFileWriter(io.BytesIO(pdf))
    ref = writer.add_object(generic.ByteStringObject(assinante.cert.public_bytes(serialization.Encoding.DER)))
    return _escrever(writer), ref.idnum


def como_x509_rsa_sha1(pdf: bytes, assinante: "Assinante", numero_cert: int) -> bytes:
    """The last signature made again in the old ``adbe.x509.rsa_sha1`` format: a bare RSA
    (PKCS#1 v1.5, SHA-1) signature of the signed ranges, the certificate in /Cert (object
    ``numero_cert``, in place of the signing time); ``assinante`` holds an RSA key."""
    import re

    from cryptography.hazmat.primitives.asymmetric import padding

    cut = pdf.rindex(b"/ByteRange")
    data_m = re.search(rb"/M \([^)]*\)", pdf[cut:cut + 2000]).group(0)
    cert = f"/Cert {numero_cert} 0 R".encode().ljust(len(data_m), b" ")

    def assinar_bruto(dados: bytes) -> bytes:
        from asn1crypto import core

        return core.OctetString(assinante.key.sign(dados, padding.PKCS1v15(), hashes.SHA1())).dump()

    return refazer_ultima(pdf, [(b"/adbe.pkcs7.detached", b"/adbe.x509.rsa_sha1 "), (data_m, cert)], assinar_bruto)


def trocar_fonte(pdf: bytes, fonte: str = "/Courier") -> bytes:
    """An incremental update that rewrites only the first page's font object (the page itself untouched)."""
    writer = IncrementalPdfFileWriter(io.BytesIO(pdf))
    page = writer.root["/Pages"]["/Kids"][0].get_object()
    ref = page["/Resources"].raw_get("/Font").raw_get("/F1")
    font = ref.get_object()
    font[generic.pdf_name("/BaseFont")] = generic.pdf_name(fonte)
    writer.mark_update(ref)
    return _escrever(writer)


def pdf_com_camada_oculta(texto_oculto: str, *, indireta: bool,
                          linhas=("CONTRATO DE PRESTACAO DE SERVICOS", "CONTRATANTE: ACME COMERCIO LTDA",
                                  "VALOR: R$ 1.000,00")) -> bytes:
    """A two-page contract (``linhas`` on the first page) whose second page carries ``texto_oculto`` in an
    optional-content group that is hidden by default (``indireta``: the catalog's /OCProperties is an
    object of its own)."""
    writer = PdfFileWriter()
    font = writer.add_object(generic.DictionaryObject({
        generic.pdf_name("/Type"): generic.pdf_name("/Font"),
        generic.pdf_name("/Subtype"): generic.pdf_name("/Type1"),
        generic.pdf_name("/BaseFont"): generic.pdf_name("/Helvetica"),
    }))
    ocg = writer.add_object(generic.DictionaryObject({
        generic.pdf_name("/Type"): generic.pdf_name("/OCG"),
        generic.pdf_name("/Name"): generic.TextStringObject("Clausula penal"),
    }))
    paginas = [
        (list(linhas), None),
        (["CLAUSULA 5 - DAS PENALIDADES", "As partes nada devem por atraso."], texto_oculto),
    ]
    for linhas, oculto in paginas:
        conteudo = _content(linhas)
        recursos = generic.DictionaryObject({
            generic.pdf_name("/Font"): generic.DictionaryObject({generic.pdf_name("/F1"): font})})
        if oculto is not None:
            conteudo += (b"\n/OC /Camada BDC BT /F1 14 Tf 50 700 Td (" + _texto_pdf(oculto) + b") Tj ET EMC")
            recursos[generic.pdf_name("/Properties")] = generic.DictionaryObject({generic.pdf_name("/Camada"): ocg})
        writer.insert_page(generic.DictionaryObject({
            generic.pdf_name("/Type"): generic.pdf_name("/Page"),
            generic.pdf_name("/MediaBox"): generic.ArrayObject([generic.NumberObject(n) for n in (0, 0, 595, 842)]),
            generic.pdf_name("/Contents"): writer.add_object(generic.StreamObject(stream_data=conteudo)),
            generic.pdf_name("/Resources"): recursos,
        }))
    propriedades = generic.DictionaryObject({
        generic.pdf_name("/OCGs"): generic.ArrayObject([ocg]),
        generic.pdf_name("/D"): generic.DictionaryObject({
            generic.pdf_name("/Order"): generic.ArrayObject([ocg]),
            generic.pdf_name("/ON"): generic.ArrayObject(),
            generic.pdf_name("/OFF"): generic.ArrayObject([ocg]),
        }),
    })
    writer.root[generic.pdf_name("/OCProperties")] = writer.add_object(propriedades) if indireta else propriedades
    return _escrever(writer)


def revelar_camada(pdf: bytes) -> bytes:
    """After signing: an update that only switches the hidden optional-content groups on (the catalog's
    /OCProperties, rewritten where it lives: in the catalog, or its own object)."""
    writer = IncrementalPdfFileWriter(io.BytesIO(pdf))
    bruto = writer.root.raw_get("/OCProperties")
    propriedades = bruto.get_object()
    padrao = propriedades["/D"]
    padrao[generic.pdf_name("/ON")] = generic.ArrayObject(list(propriedades["/OCGs"]))
    padrao[generic.pdf_name("/OFF")] = generic.ArrayObject()
    if isinstance(bruto, generic.IndirectObject):
        writer.mark_update(bruto)
    else:
        writer.update_root()
    return _escrever(writer)


def carimbar_imagem(pdf: bytes, caixa=(350, 60, 550, 120)) -> bytes:
    """After signing: a /Stamp annotation whose appearance draws a signature-like scribble on the first page."""
    writer = IncrementalPdfFileWriter(io.BytesIO(pdf))
    ref = _anotacao(writer, "/Stamp", caixa, b"0 0 1 RG 2 w 5 10 m 40 50 l 80 5 l 120 55 l 190 20 l S", 4)
    _na_pagina(writer, ref)
    return _escrever(writer)


def redesenhar_assinaturas(pdf: bytes, texto: str) -> bytes:
    """After signing: every visible signature box on the first page is redrawn to show ``texto``
    (only the widgets' appearances change; the signatures stay as they were)."""
    writer = IncrementalPdfFileWriter(io.BytesIO(pdf))
    page = writer.root["/Pages"]["/Kids"][0].get_object()
    for ref in page.get("/Annots") or ():
        widget = ref.get_object()
        if widget.get("/FT") != "/Sig":
            continue
        x1, y1, x2, y2 = [float(v) for v in widget["/Rect"]]
        widget["/AP"][generic.pdf_name("/N")] = _aparencia(
            writer, x2 - x1, y2 - y1, b"BT /F1 12 Tf 5 20 Td (" + _texto_pdf(texto) + b") Tj ET")
        writer.mark_update(ref)
    return _escrever(writer)


def redesenhar_aparencia(pdf: bytes, campo: str, texto: str) -> bytes:
    """An incremental update that rewrites, in place (same object number), the appearance stream of the
    visible signature ``campo``: its box now shows ``texto`` (another signer's name, say)."""
    writer = IncrementalPdfFileWriter(io.BytesIO(pdf))
    for ref in writer.root["/AcroForm"]["/Fields"]:
        widget = ref.get_object()
        if str(widget.get("/T")) != campo:
            continue
        ap = widget["/AP"].raw_get("/N")
        x1, y1, x2, y2 = [float(v) for v in widget["/Rect"]]
        novo = generic.StreamObject({
            generic.pdf_name("/Type"): generic.pdf_name("/XObject"),
            generic.pdf_name("/Subtype"): generic.pdf_name("/Form"),
            generic.pdf_name("/BBox"): generic.ArrayObject([generic.FloatObject(v) for v in (0, 0, x2 - x1, y2 - y1)]),
            generic.pdf_name("/Resources"): generic.DictionaryObject({
                generic.pdf_name("/Font"): generic.DictionaryObject({generic.pdf_name("/F1"): generic.DictionaryObject({
                    generic.pdf_name("/Type"): generic.pdf_name("/Font"),
                    generic.pdf_name("/Subtype"): generic.pdf_name("/Type1"),
                    generic.pdf_name("/BaseFont"): generic.pdf_name("/Helvetica")})})}),
        }, stream_data=b"1 1 1 rg 0 0 %d %d re f 0 0 0 rg BT /F1 12 Tf 4 %d Td (" % (x2 - x1, y2 - y1, (y2 - y1) / 2)
                       + _texto_pdf(texto) + b") Tj ET")
        writer.mark_update(ap)
        writer.objects[(ap.generation, ap.idnum)] = novo
        return _escrever(writer)
    raise KeyError(campo)
