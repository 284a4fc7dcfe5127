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
_KEY_USAGE_CA = x509.KeyUsage(
    digital_signature=False, content_commitment=False, key_encipherment=False, data_encipherment=False,
    key_agreement=False, key_cert_sign=True, crl_sign=True, encipher_only=False, decipher_only=False)


def _name(cn: str) -> x509.Name:
    return x509.Name([
        x509.NameAttribute(NameOID.COUNTRY_NAME, "BR"),
        x509.NameAttribute(NameOID.ORGANIZATION_NAME, "ICP-Brasil"),
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
    key: ec.EllipticCurvePrivateKey
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

    def __init__(self, nome: str = "AC Raiz de Teste"):
        self.now = datetime.datetime.now(datetime.timezone.utc)
        self.key = ec.generate_private_key(ec.SECP256R1())
        self.cert = (
            x509.CertificateBuilder().subject_name(_name(nome)).issuer_name(_name(nome))
            .public_key(self.key.public_key()).serial_number(x509.random_serial_number())
            .not_valid_before(self.now - datetime.timedelta(days=30))
            .not_valid_after(self.now + datetime.timedelta(days=3650))
            .add_extension(x509.BasicConstraints(ca=True, path_length=None), critical=True)
            .add_extension(_KEY_USAGE_CA, critical=True)
            .sign(self.key, hashes.SHA256())
        )

    def emitir(self, cn: str, alt_names: list[x509.GeneralName], *, dias: int = 365,
               inicio_dias: int = -1, lcr_url: str | None = None) -> Assinante:
        key = ec.generate_private_key(ec.SECP256R1())
        builder = (
            x509.CertificateBuilder().subject_name(_name(cn)).issuer_name(self.cert.subject)
            .public_key(key.public_key()).serial_number(x509.random_serial_number())
            .not_valid_before(self.now + datetime.timedelta(days=inicio_dias))
            .not_valid_after(self.now + datetime.timedelta(days=inicio_dias + dias))
            .add_extension(_KEY_USAGE_SIGNER, critical=True)
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


def assinar(pdf: bytes, assinante: Assinante, campo: str, carimbador=None,
            relogio: datetime.datetime | None = None) -> bytes:
    """``pdf`` with one more signature, in an incremental update (time-stamped by ``carimbador``;
    ``relogio``: the time the signer's computer declares instead of now)."""
    from unittest import mock

    from pyhanko.sign.signers import pdf_signer

    class _Relogio(datetime.datetime):
        @classmethod
        def now(cls, tz=None):
            return relogio

    writer = IncrementalPdfFileWriter(io.BytesIO(pdf))
    with warnings.catch_warnings(), mock.patch.object(pdf_signer, "datetime", _Relogio if relogio else datetime.datetime):
        warnings.simplefilter("ignore")
        out = signers.sign_pdf(writer, signers.PdfSignatureMetadata(field_name=campo), signer=assinante.signer(),
                               timestamper=carimbador)
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
