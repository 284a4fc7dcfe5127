"""Digital signatures of a PDF: who signed, whether each signature is intact,
what a reader sees changed after it, and whether the certificate chains to a
trusted root (ICP-Brasil's and gov.br's by default), with the legal level
that root gives it.

    from scrivane.signatures import ler_assinaturas

    for assinatura in ler_assinaturas("contrato.pdf"):
        assinatura.nome, assinatura.cpf, assinatura.nivel, assinatura.motivo

Validation is pyHanko's, with pyhanko-certvalidator for the chain; what
changed after each signature is judged by comparing the pages of the signed
revision with the final file (``scrivane.signature_changes``), pyHanko's own
difference analysis kept as a second opinion.  Formats pyHanko does not take
(``adbe.pkcs7.sha1``, ``adbe.x509.rsa_sha1``, document time stamps whatever
their /Type) are checked here with its pieces.  All of it comes with the
``assinaturas`` extra, as does certifi-icpbr, the source of the ICP-Brasil
roots; the retired roots and the gov.br chain ship with this package.  Revocation is not checked
unless asked for, since it needs the network.  A signature that cannot be
read becomes an entry whose ``ilegivel`` says why; reading one never raises
for a bad signature.
"""

from __future__ import annotations

import datetime as _dt
import functools
import logging
import os
import re
import warnings
from dataclasses import asdict, dataclass, field
from pathlib import Path
from typing import Any, Iterable, Optional

__all__ = [
    "AssinaturaDigital",
    "NIVEL_VALIDA",
    "NIVEL_NAO_RECONHECIDO",
    "NIVEL_INVALIDA",
    "NIVEL_NAO_VERIFICADA",
    "NIVEL_LEGAL_QUALIFICADA",
    "NIVEL_LEGAL_AVANCADA",
    "TIPO_ASSINATURA",
    "TIPO_CARIMBO",
    "AssinaturasIndisponiveisError",
    "dados_icp_brasil",
    "carregar_raizes",
    "cpf_valido",
    "ler_assinaturas",
    "resumo",
    "OID_PESSOA_FISICA",
    "OID_NOME_RESPONSAVEL",
    "OID_CNPJ",
    "OID_RESPONSAVEL",
]

# ICP-Brasil otherName fields of the subject alternative name.
OID_PESSOA_FISICA = "2.16.76.1.3.1"  # birth date (8), CPF (11), NIS (11), RG (15), issuer + UF (6)
OID_NOME_RESPONSAVEL = "2.16.76.1.3.2"  # name of the person responsible for a company certificate
OID_CNPJ = "2.16.76.1.3.3"  # company CNPJ (14)
OID_RESPONSAVEL = "2.16.76.1.3.4"  # responsible person's data, laid out like OID_PESSOA_FISICA

# pyHanko logs a traceback when a difference analysis finds a suspicious
# change; that change is reported as a finding here, so the library stays
# quiet unless the application configures logging itself.
logging.getLogger("pyhanko").addHandler(logging.NullHandler())
logging.getLogger("pyhanko_certvalidator").addHandler(logging.NullHandler())


class AssinaturasIndisponiveisError(ImportError):
    """Falta o pyHanko ou as raízes ICP-Brasil (extra ``assinaturas``): as assinaturas não podem ser conferidas."""


NIVEL_VALIDA = "válida e confiável"
NIVEL_NAO_RECONHECIDO = "íntegra, certificado não reconhecido"
NIVEL_INVALIDA = "inválida"
NIVEL_NAO_VERIFICADA = "não verificada"

NIVEL_LEGAL_QUALIFICADA = "qualificada"
NIVEL_LEGAL_AVANCADA = "avançada"

TIPO_ASSINATURA = "assinatura"
TIPO_CARIMBO = "carimbo de tempo do documento"


@dataclass
class AssinaturaDigital:
    """Uma assinatura digital do PDF (ou um carimbo de tempo do documento), com o que se pôde verificar dela.

    ``tipo``: "assinatura" ou "carimbo de tempo do documento";
    ``integra``: os bytes assinados não mudaram (``None`` quando não foi
    possível ler); ``algoritmo_nao_suportado``: "algoritmo não suportado: …"
    quando a assinatura não pôde ser conferida (nem violada, nem válida);
    ``alteracao``: o que mudou depois dela, para quem lê ("nada mudou",
    "apenas assinaturas, carimbos de tempo ou dados de validação
    acrescentados", "campos de formulário preenchidos", "anotações
    acrescentadas" ou "conteúdo alterado"), com ``paginas_alteradas``
    e ``imagens_acrescentadas`` (páginas onde um carimbo, traço ou imagem
    foi posto depois dela);
    ``modificacao_pyhanko``: a segunda opinião (o nível de modificação da
    análise de diferenças do pyHanko); ``modificado_apos_assinatura``: o
    conteúdo mudou depois dela; ``icp_brasil``: o certificado encadeia até
    uma raiz confiável (as da ICP-Brasil e a do gov.br, ou as informadas)
    na data da assinatura; ``nivel_legal``: "qualificada" (cadeia
    ICP-Brasil), "avançada" (cadeia do gov.br, Lei 14.063/2020) ou ``None``
    (qualquer outra, ou nenhuma); ``politica``: a política de assinatura
    ICP-Brasil declarada ("AD-RB", "AD-RT", "AD-RV", "AD-RC" ou "AD-RA"),
    com ``politica_oid`` e ``politica_atendida`` (a assinatura traz o que a
    política exige: carimbo do tempo da assinatura a partir da AD-RT, dados
    de validação a partir da AD-RV, carimbo de arquivamento na AD-RA); ``nivel``: "válida e confiável", "íntegra, certificado não
    reconhecido", "inválida" ou "não verificada", com o ``motivo``;
    ``ilegivel``: motivo, quando a assinatura não pôde ser lida.
    """

    campo: str
    tipo: str = TIPO_ASSINATURA
    nome: Optional[str] = None
    nome_certificado: Optional[str] = None
    cpf: Optional[str] = None
    cnpj: Optional[str] = None
    nome_responsavel: Optional[str] = None
    cpf_responsavel: Optional[str] = None
    emissor: Optional[str] = None
    data_assinatura: Optional[str] = None
    carimbo_do_tempo: bool = False
    integra: Optional[bool] = None
    algoritmo_nao_suportado: Optional[str] = None
    alteracao: Optional[str] = None
    paginas_alteradas: list[int] = field(default_factory=list)
    sobreposicao: bool = False
    imagens_acrescentadas: list[int] = field(default_factory=list)
    modificacao_pyhanko: Optional[str] = None
    modificado_apos_assinatura: Optional[bool] = None
    cobre_documento: Optional[bool] = None
    icp_brasil: Optional[bool] = None
    nivel_legal: Optional[str] = None
    politica: Optional[str] = None
    politica_oid: Optional[str] = None
    politica_atendida: Optional[bool] = None
    problema_certificado: Optional[str] = None
    ilegivel: Optional[str] = None
    nivel: str = NIVEL_NAO_VERIFICADA
    motivo: Optional[str] = None
    achados: list[str] = field(default_factory=list)

    @property
    def pessoa(self) -> Optional[str]:
        """Nome da pessoa que assinou: o titular, ou o responsável de um certificado de empresa."""
        return self.nome_responsavel if self.cnpj and self.nome_responsavel else self.nome

    @property
    def cpf_pessoa(self) -> Optional[str]:
        """CPF da pessoa que assinou (titular, ou responsável de um certificado de empresa)."""
        return self.cpf or self.cpf_responsavel

    @property
    def valida(self) -> bool:
        """Válida e confiável: íntegra, sem alteração de conteúdo depois dela, certificado reconhecido."""
        return self.nivel == NIVEL_VALIDA

    @property
    def invalida(self) -> bool:
        """Violada, ou com o conteúdo alterado depois dela."""
        return self.nivel == NIVEL_INVALIDA

    def como_dict(self) -> dict[str, Any]:
        """Mapa simples (chaves em português), pronto para JSON, com ``pessoa``,
        ``cpf_pessoa``, ``valida`` e ``invalida`` ao fim."""
        return dict(asdict(self), pessoa=self.pessoa, cpf_pessoa=self.cpf_pessoa, valida=self.valida,
                    invalida=self.invalida)


# --------------------------------------------------------------------------
# ICP-Brasil certificate fields


def _text_of(value: Any) -> str:
    """Text of an otherName value, whatever string type the issuer chose
    (OCTET STRING, PrintableString, UTF8String, IA5String...)."""
    native = value.parsed.native
    if isinstance(native, bytes):
        native = native.decode("latin-1")
    if not isinstance(native, str):
        raise ValueError("otherName sem texto")
    return native


def _digits(text: str, start: int, length: int) -> Optional[str]:
    piece = text[start:start + length]
    if len(piece) != length or not piece.isdigit() or set(piece) == {"0"}:
        return None
    return piece


def _cnpj(text: str) -> Optional[str]:
    """A CNPJ of 14 characters: digits, or the alphanumeric form (12 of [0-9A-Z], two check digits)."""
    piece = text[:14].upper()
    if not re.fullmatch(r"[0-9A-Z]{12}\d{2}", piece) or set(piece) == {"0"}:
        return None
    return piece


def dados_icp_brasil(cert: Any) -> dict[str, Optional[str]]:
    """Campos ICP-Brasil de um certificado (``asn1crypto.x509.Certificate``).

    Devolve ``cpf`` (titular, OID 2.16.76.1.3.1), ``cnpj`` (2.16.76.1.3.3),
    ``cpf_responsavel`` (2.16.76.1.3.4) e ``nome_responsavel`` (2.16.76.1.3.2);
    ``None`` para o que o certificado não traz.  Sem campos ICP-Brasil, um nome
    comum no formato "NOME:12345678909" ainda dá o CPF (ou o CNPJ).
    """
    found: dict[str, Optional[str]] = {"cpf": None, "cnpj": None, "cpf_responsavel": None, "nome_responsavel": None}
    try:
        san = cert.subject_alt_name_value
    except Exception:
        san = None
    for general_name in san or ():
        if general_name.name != "other_name":
            continue
        try:
            oid = general_name.chosen["type_id"].dotted
            text = _text_of(general_name.chosen["value"])
        except Exception:
            continue
        if oid == OID_PESSOA_FISICA:
            found["cpf"] = _digits(text, 8, 11)
        elif oid == OID_CNPJ:
            found["cnpj"] = _cnpj(text.strip())
        elif oid == OID_RESPONSAVEL:
            found["cpf_responsavel"] = _digits(text, 8, 11)
        elif oid == OID_NOME_RESPONSAVEL:
            found["nome_responsavel"] = text.strip() or None
    if not (found["cpf"] or found["cnpj"]):
        cn = _common_name(cert) or ""
        match = re.search(r":(\d{11}|[0-9A-Z]{12}\d{2})\s*$", cn)
        if match:
            found["cpf" if len(match.group(1)) == 11 else "cnpj"] = match.group(1)
    return found


def _common_name(cert: Any) -> Optional[str]:
    try:
        value = cert.subject.native.get("common_name")
    except Exception:
        return None
    if isinstance(value, list):
        value = value[-1] if value else None
    return value or None


def _issuer_name(cert: Any) -> Optional[str]:
    try:
        native = cert.issuer.native
    except Exception:
        return None
    value = native.get("common_name") or native.get("organizational_unit_name") or native.get("organization_name")
    if isinstance(value, list):
        value = value[-1] if value else None
    return value or None


def cpf_valido(cpf: str) -> bool:
    """Os dígitos verificadores de um CPF de 11 dígitos conferem."""
    if len(cpf) != 11 or not cpf.isdigit() or len(set(cpf)) == 1:
        return False
    numbers = [int(c) for c in cpf]
    for size in (9, 10):
        total = sum(n * w for n, w in zip(numbers[:size], range(size + 1, 1, -1)))
        if numbers[size] != (total * 10 % 11) % 10:
            return False
    return True


# --------------------------------------------------------------------------
# Trust roots


def _load_certs(data: bytes) -> list[Any]:
    from asn1crypto import pem, x509

    if pem.detect(data):
        return [x509.Certificate.load(der) for kind, _, der in pem.unarmor(data, multiple=True)
                if kind == "CERTIFICATE"]
    return [x509.Certificate.load(data)]


def _is_self_signed(cert: Any) -> bool:
    return cert.subject == cert.issuer


RAIZES_RETIRADAS = "raizes_icp_brasil_retiradas.pem"


@functools.lru_cache(maxsize=1)
def _raizes_icp_brasil() -> tuple[tuple[Any, ...], tuple[Any, ...]]:
    try:
        import certifi_icpbr
    except ImportError as exc:
        raise AssinaturasIndisponiveisError(
            "raízes ICP-Brasil indisponíveis: instale scrivane-contract[assinaturas] "
            "ou informe uma pasta de raízes"
        ) from exc
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        certs = _load_certs(Path(certifi_icpbr.where()).read_bytes())
        # The retired roots (v1, v2) and their authorities, shipped with this
        # package (their source is written at the top of the file).
        certs += _load_certs((Path(__file__).with_name(RAIZES_RETIRADAS)).read_bytes())
    icp = [c for c in certs if "ICP-Brasil" in (c.subject.native.get("organization_name") or "")]
    for c in icp:
        _analisar_tudo(c)
    roots = tuple(c for c in icp if _is_self_signed(c))
    intermediates = tuple(c for c in icp if not _is_self_signed(c))
    return roots, intermediates


RAIZES_GOVBR = "raizes_govbr.pem"


@functools.lru_cache(maxsize=1)
def _cadeia_govbr() -> tuple[tuple[Any, ...], tuple[Any, ...]]:
    """(root, intermediates) of the gov.br advanced-signature chain, shipped with this package."""
    certs = _load_certs((Path(__file__).with_name(RAIZES_GOVBR)).read_bytes())
    for c in certs:
        _analisar_tudo(c)
    return tuple(c for c in certs if _is_self_signed(c)), tuple(c for c in certs if not _is_self_signed(c))


def _nivel_legal_da_raiz(raiz: Any) -> Optional[str]:
    """"qualificada" for an ICP-Brasil root, "avançada" for gov.br's, None for any other."""
    if raiz is None:
        return None
    try:
        digest = raiz.sha256
    except Exception:
        return None
    if any(digest == c.sha256 for c in _cadeia_govbr()[0]):
        return NIVEL_LEGAL_AVANCADA
    try:
        icp = _raizes_icp_brasil()[0]
    except AssinaturasIndisponiveisError:
        icp = ()
    if any(digest == c.sha256 for c in icp):
        return NIVEL_LEGAL_QUALIFICADA
    return None


def _emitido_pelo_govbr(cert: Any) -> bool:
    """The certificate was issued by one of gov.br's authorities (by name and key)."""
    try:
        raiz, intermediarias = _cadeia_govbr()
        emissores = raiz + intermediarias
        aki = cert.authority_key_identifier
        return any(cert.issuer == c.subject and (aki is None or aki == c.key_identifier) for c in emissores)
    except Exception:
        return False


def _restricoes_de_uso(cert: Any) -> Any:
    """The key usage a signer's certificate must carry, by its chain's own policy.

    ICP-Brasil signing certificates carry nonRepudiation (pyHanko's default
    rule); gov.br issues its citizens' certificates with digitalSignature only."""
    from pyhanko.sign.validation.settings import KeyUsageConstraints

    if _emitido_pelo_govbr(cert):
        return KeyUsageConstraints(key_usage={"digital_signature", "non_repudiation"})
    return KeyUsageConstraints(key_usage={"non_repudiation"})


_REGISTROS: dict[tuple[bytes, ...], Any] = {}


def _registro_base(certs: list[Any]) -> Any:
    """The registry of ``certs``, built once (never changed afterwards: only copied)."""
    from pyhanko_certvalidator.registry import CertificateRegistry

    chave = tuple(c.sha256 for c in certs)
    base = _REGISTROS.get(chave)
    if base is None:
        base = CertificateRegistry.build(certs)
        if len(_REGISTROS) >= 4:
            _REGISTROS.clear()
        _REGISTROS[chave] = base
    return base


def _registro_de(certs: list[Any]) -> Any:
    """A certificate registry holding ``certs``: a copy of one built once for
    the same authorities (registering them is most of a new validation
    context's cost).  ``None`` when the registry cannot be copied."""
    from collections import defaultdict

    from pyhanko_certvalidator.registry import CertificateRegistry

    try:
        base = _registro_base(certs)
        novo = CertificateRegistry()
        novo.certs = dict(base.certs)
        for nome in ("_subject_map", "_key_identifier_map", "_key_hash_map"):
            setattr(novo, nome, defaultdict(list, {k: list(v) for k, v in getattr(base, nome).items()}))
        return novo
    except Exception:
        return None


def _analisar_tudo(cert: Any) -> None:
    """Parses every part of a certificate now.

    asn1crypto parses lazily, and two threads parsing the same part at once
    break it; these certificates are shared by every reading (worker threads
    of the web service, ``verificar --paralelo``), so nothing may be left for
    later.  What is read afterwards is only cached values.
    """
    cert.native
    for nome in ("key_identifier", "authority_key_identifier", "issuer_serial", "sha256", "sha1", "self_signed",
                 "self_issued", "ca", "max_path_length", "key_usage_value", "extended_key_usage_value",
                 "crl_distribution_points", "ocsp_urls", "valid_domains", "policies_value",
                 "basic_constraints_value", "name_constraints_value"):
        try:
            getattr(cert, nome)
        except Exception:
            pass
    for nome in (cert.subject, cert.issuer):
        nome.hashable, nome.human_friendly, nome.sha256  # noqa: B018
    cert.public_key.native, cert.public_key.sha256  # noqa: B018


def carregar_raizes(origem: str | os.PathLike[str] | None = None) -> tuple[list[Any], list[Any]]:
    """(raízes confiáveis, intermediárias) para validar cadeias.

    Sem ``origem``: as raízes ICP-Brasil do pacote certifi-icpbr, com as
    autoridades intermediárias que ele traz, mais as raízes retiradas (v1 e
    v2) e suas autoridades, e a cadeia da assinatura avançada do gov.br (raiz
    e intermediárias), que acompanham este pacote.  Com ``origem``: os
    certificados (PEM ou DER) do arquivo, ou dos arquivos .pem, .crt, .cer e
    .der da pasta; todos valem como raízes.
    """
    if origem is None:
        roots, intermediates = _raizes_icp_brasil()
        govbr, govbr_intermediates = _cadeia_govbr()
        return list(roots) + list(govbr), list(intermediates) + list(govbr_intermediates)
    path = Path(origem)
    if path.is_dir():
        files = sorted(p for p in path.iterdir() if p.suffix.lower() in (".pem", ".crt", ".cer", ".der"))
    elif path.is_file():
        files = [path]
    else:
        raise FileNotFoundError(f"Raízes não encontradas: {path}")
    roots: list[Any] = []
    for file in files:
        try:
            roots.extend(_load_certs(file.read_bytes()))
        except Exception as exc:
            raise ValueError(f"Certificado ilegível em {file}: {exc}") from exc
    if not roots:
        raise ValueError(f"Nenhum certificado em {path}")
    return roots, []


# --------------------------------------------------------------------------
# Reading and validating


_TRUST_PROBLEMS = {
    "NO_CERTIFICATE_CHAIN_FOUND": "AC desconhecida: a cadeia não chega a uma raiz confiável",
    "EXPIRED": "certificado expirado",
    "OUT_OF_BOUNDS_NO_POE": "certificado fora do prazo de validade",
    "OUT_OF_BOUNDS_NOT_REVOKED": "certificado fora do prazo de validade",
    "NOT_YET_VALID": "certificado ainda não válido",
    "REVOKED": "certificado revogado",
    "REVOKED_NO_POE": "certificado revogado",
    "REVOKED_CA_NO_POE": "certificado de autoridade da cadeia revogado",
    "TRY_LATER": "situação de revogação indisponível",
    "REVOCATION_OUT_OF_BOUNDS_NO_POE": "informação de revogação desatualizada",
    "CHAIN_CONSTRAINTS_FAILURE": "cadeia de certificação inválida",
    "CERTIFICATE_CHAIN_GENERAL_FAILURE": "cadeia de certificação inválida",
    "CRYPTO_CONSTRAINTS_FAILURE": "algoritmo criptográfico recusado",
    "CRYPTO_CONSTRAINTS_FAILURE_NO_POE": "algoritmo criptográfico recusado",
    "SIG_CONSTRAINTS_FAILURE": "o uso do certificado não permite assinar documentos",
    "NO_SIGNING_CERTIFICATE_FOUND": "certificado do assinante ausente",
}

# Signature mechanisms pyHanko cannot check, by OID, as people know them.
_MECANISMOS = {
    "0.4.0.127.0.7.1.1.4.1.1": "ECDSA simples (BSI) com SHA-1",
    "0.4.0.127.0.7.1.1.4.1.2": "ECDSA simples (BSI) com SHA-224",
    "0.4.0.127.0.7.1.1.4.1.3": "ECDSA simples (BSI) com SHA-256",
    "0.4.0.127.0.7.1.1.4.1.4": "ECDSA simples (BSI) com SHA-384",
    "0.4.0.127.0.7.1.1.4.1.5": "ECDSA simples (BSI) com SHA-512",
    "0.4.0.127.0.7.1.1.4.1.8": "ECDSA simples (BSI) com SHA3-224",
    "0.4.0.127.0.7.1.1.4.1.9": "ECDSA simples (BSI) com SHA3-256",
    "0.4.0.127.0.7.1.1.4.1.10": "ECDSA simples (BSI) com SHA3-384",
    "0.4.0.127.0.7.1.1.4.1.11": "ECDSA simples (BSI) com SHA3-512",
    "2.16.840.1.101.3.4.3.9": "ECDSA com SHA3-224",
    "2.16.840.1.101.3.4.3.10": "ECDSA com SHA3-256",
    "2.16.840.1.101.3.4.3.11": "ECDSA com SHA3-384",
    "2.16.840.1.101.3.4.3.12": "ECDSA com SHA3-512",
    "2.16.840.1.101.3.4.3.13": "RSA com SHA3-224",
    "2.16.840.1.101.3.4.3.14": "RSA com SHA3-256",
    "2.16.840.1.101.3.4.3.15": "RSA com SHA3-384",
    "2.16.840.1.101.3.4.3.16": "RSA com SHA3-512",
}

_EXPIRY = ("EXPIRED", "OUT_OF_BOUNDS_NO_POE", "OUT_OF_BOUNDS_NOT_REVOKED")
_CRYPTO = ("CRYPTO_CONSTRAINTS_FAILURE", "CRYPTO_CONSTRAINTS_FAILURE_NO_POE")


def _iso(moment: Optional[_dt.datetime]) -> Optional[str]:
    if moment is None:
        return None
    if moment.tzinfo is None:
        moment = moment.replace(tzinfo=_dt.timezone.utc)
    return moment.isoformat()


def _reason(exc: BaseException) -> str:
    text = str(exc).strip().splitlines()[0] if str(exc).strip() else ""
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__


_HEX_INSTALADO = False
_NAO_HEX = re.compile(rb"[^0-9a-fA-F \t\n\r\f\x00]")


def _acelerar_leitura_hex() -> None:
    """Installs a faster reader of PDF hex strings in pyHanko, with the same results.

    pyHanko reads a hex string one byte at a time in Python; a signature's
    /Contents is tens of kilobytes of hex, read again for every revision that
    holds it, and that reading is most of the time a validation takes.  This
    one finds the closing '>' and converts the whole string at once; anything
    it does not take as is (a comment, a character that is neither hex nor
    blank, a string that does not end) goes to pyHanko's own reader, which
    raises as it always did.
    """
    import binascii

    from pyhanko.pdf_utils import generic

    global _HEX_INSTALADO
    if _HEX_INSTALADO:
        return
    _HEX_INSTALADO = True
    original = generic.read_hex_string_from_stream

    def ler(stream: Any) -> Any:
        inicio = stream.tell()
        partes: list[bytes] = []
        while True:
            bloco = stream.read(1 << 16)
            if not bloco:
                break
            fim = bloco.find(b">")
            if fim < 0:
                partes.append(bloco)
                continue
            partes.append(bloco[:fim])
            conteudo = b"".join(partes)
            if conteudo[:1] != b"<" or _NAO_HEX.search(conteudo, 1):
                break
            stream.seek(inicio + len(conteudo) + 1)
            digitos = conteudo[1:].translate(None, b" \t\n\r\f\x00")
            return generic.pdf_string(binascii.unhexlify(digitos + b"0" * (len(digitos) % 2)))
        stream.seek(inicio)
        return original(stream)

    ler.original = original  # type: ignore[attr-defined]
    generic.read_hex_string_from_stream = ler


def _import_pyhanko():
    try:
        with warnings.catch_warnings():
            # cryptography warns about DSA while pyHanko imports it.
            warnings.simplefilter("ignore")
            from pyhanko.pdf_utils.reader import PdfFileReader
            from pyhanko.sign.fields import enumerate_sig_fields
            from pyhanko.sign.validation import validate_pdf_signature
            from pyhanko.sign.validation.pdf_embedded import EmbeddedPdfSignature
            from pyhanko_certvalidator import ValidationContext
            # Needed further on: a failure to import them must not pass for
            # an unreadable signature.
            from pyhanko.sign.diff_analysis import ModificationLevel  # noqa: F401
            from pyhanko.sign.validation import generic_cms  # noqa: F401
            from pyhanko.sign.validation.status import SignatureCoverageLevel  # noqa: F401
            from pyhanko_certvalidator.sig_validate import DefaultSignatureValidator  # noqa: F401
    except ImportError as exc:
        raise AssinaturasIndisponiveisError(
            "verificação de assinaturas digitais indisponível: instale scrivane-contract[assinaturas]"
        ) from exc
    _acelerar_leitura_hex()
    return PdfFileReader, enumerate_sig_fields, validate_pdf_signature, EmbeddedPdfSignature, ValidationContext


def _politica_de_diferencas() -> Any:
    """pyHanko's own difference policy, whose failure is noted (``falha``)
    instead of raised: the signature is then validated once, not twice."""
    from pyhanko.sign.diff_analysis import DEFAULT_DIFF_POLICY
    from pyhanko.sign.diff_analysis.policy_api import DiffPolicy, SuspiciousModification

    class Politica(DiffPolicy):
        def __init__(self) -> None:
            self.falha: Optional[BaseException] = None

        def apply(self, *args: Any, **kw: Any) -> Any:
            return DEFAULT_DIFF_POLICY.apply(*args, **kw)

        def review_file(self, *args: Any, **kw: Any) -> Any:
            try:
                return DEFAULT_DIFF_POLICY.review_file(*args, **kw)
            except Exception as exc:
                self.falha = exc
                return SuspiciousModification("análise de diferenças falhou")

    return Politica()


# ICP-Brasil signature policies (PBAD), by the branch of their OID under
# 2.16.76.1.7.1: CAdES 1-5, XAdES 6-10, PAdES 11-14 (PAdES has no AD-RV).
OID_POLITICAS = "2.16.76.1.7.1."
_POLITICAS = {1: "AD-RB", 2: "AD-RT", 3: "AD-RV", 4: "AD-RC", 5: "AD-RA",
              6: "AD-RB", 7: "AD-RT", 8: "AD-RV", 9: "AD-RC", 10: "AD-RA",
              11: "AD-RB", 12: "AD-RT", 13: "AD-RC", 14: "AD-RA"}
_ATRIBUTO_POLITICA = "1.2.840.113549.1.9.16.2.15"
_CARIMBO_DA_ASSINATURA = "1.2.840.113549.1.9.16.2.14"
_REFERENCIAS = ("1.2.840.113549.1.9.16.2.21", "1.2.840.113549.1.9.16.2.22")  # certificate, revocation refs
_VALORES = ("1.2.840.113549.1.9.16.2.23", "1.2.840.113549.1.9.16.2.24")  # certificate, revocation values
_ARQUIVAMENTO = ("1.2.840.113549.1.9.16.2.27", "0.4.0.1733.2.4")  # archive time stamps (v2, v3)


def _tipos(atributos: Any) -> set[str]:
    try:
        return {a["type"].dotted for a in atributos or ()}
    except Exception:
        return set()


def _ler_politica(assinatura: AssinaturaDigital, signer_info: Any) -> None:
    """``politica`` and ``politica_oid`` of a signature that declares an ICP-Brasil policy."""
    from pyhanko.sign.ades.cades_asn1 import SignaturePolicyIdentifier

    try:
        atributos = signer_info["signed_attrs"]
        valor = next(a["values"][0] for a in atributos if a["type"].dotted == _ATRIBUTO_POLITICA)
        oid = SignaturePolicyIdentifier.load(valor.dump()).chosen["sig_policy_id"].dotted
    except Exception:
        return
    if not oid.startswith(OID_POLITICAS):
        return
    try:
        ramo = int(oid[len(OID_POLITICAS):].split(".")[0])
    except ValueError:
        return
    if ramo in _POLITICAS:
        assinatura.politica, assinatura.politica_oid = _POLITICAS[ramo], oid


def _julgar_politica(assinatura: AssinaturaDigital, signer_info: Any, dss: bool, carimbo_depois: bool) -> None:
    """Whether the signature carries what its declared policy requires, as a finding."""
    if assinatura.politica is None:
        return
    try:
        nao_assinados = _tipos(signer_info["unsigned_attrs"])
    except Exception:
        nao_assinados = set()
    faltas = []
    nivel = ("AD-RB", "AD-RT", "AD-RV", "AD-RC", "AD-RA").index(assinatura.politica)
    if nivel >= 1 and _CARIMBO_DA_ASSINATURA not in nao_assinados:
        faltas.append("o carimbo do tempo da assinatura")
    if nivel >= 2 and not (dss or set(_REFERENCIAS) <= nao_assinados or set(_VALORES) <= nao_assinados):
        faltas.append("os dados de validação (certificados e revogação)")
    if nivel >= 4 and not (carimbo_depois or nao_assinados & set(_ARQUIVAMENTO)):
        faltas.append("o carimbo do tempo de arquivamento")
    assinatura.politica_atendida = not faltas
    texto = f"política de assinatura ICP-Brasil {assinatura.politica} ({assinatura.politica_oid}): "
    if not faltas:
        texto += "traz o que a política exige"
    else:
        texto += ("falta " if len(faltas) == 1 else "faltam ") + " e ".join([", ".join(faltas[:-1])] * (len(faltas) > 1)
                                                                          + faltas[-1:])
    assinatura.achados.append(texto)


def _fill_signer(assinatura: AssinaturaDigital, cert: Any) -> None:
    assinatura.nome_certificado = _common_name(cert)
    # ICP-Brasil common names end with ":" and the holder's CPF or CNPJ.
    cn = assinatura.nome_certificado or ""
    assinatura.nome = re.sub(r":(\d{11}|[0-9A-Z]{12}\d{2})\s*$", "", cn).strip() or None
    assinatura.emissor = _issuer_name(cert)
    for key, value in dados_icp_brasil(cert).items():
        setattr(assinatura, key, value)


def _verificador():
    """A signature validator that notes the mechanisms it could not check.

    pyHanko reports a signature whose algorithm it does not know exactly as
    one that does not verify; this one tells them apart (``nao_suportados``
    maps the signature bytes to what was not supported)."""
    from cryptography.exceptions import UnsupportedAlgorithm
    from pyhanko_certvalidator.errors import AlgorithmNotSupported, DSAParametersUnavailable
    from pyhanko_certvalidator.sig_validate import DefaultSignatureValidator

    class Verificador(DefaultSignatureValidator):
        def __init__(self) -> None:
            self.nao_suportados: dict[bytes, str] = {}

        def validate_signature(self, signature, signed_data, public_key_info, signature_algorithm, *args, **kw):
            sha3 = _SHA3.get(signature_algorithm["algorithm"].dotted)
            if sha3 is not None:
                # The OID names the hash, which asn1crypto does not know:
                # pyHanko would check with the CMS digest instead.
                return _verificar_sha3(sha3, signature, signed_data, public_key_info, kw.get("context") or (
                    args[0] if args else None))
            try:
                return super().validate_signature(signature, signed_data, public_key_info, signature_algorithm,
                                                  *args, **kw)
            except (AlgorithmNotSupported, DSAParametersUnavailable) as exc:
                self.nao_suportados[bytes(signature)] = _mecanismo(signature_algorithm, public_key_info, exc)
                raise
            except (UnsupportedAlgorithm, NotImplementedError, ValueError, TypeError, KeyError,
                    AssertionError) as exc:
                self.nao_suportados[bytes(signature)] = _mecanismo(signature_algorithm, public_key_info, exc)
                raise AlgorithmNotSupported(str(exc)) from exc

    return Verificador()


_SHA3 = {
    "2.16.840.1.101.3.4.3.9": ("ecdsa", "SHA3_224"), "2.16.840.1.101.3.4.3.10": ("ecdsa", "SHA3_256"),
    "2.16.840.1.101.3.4.3.11": ("ecdsa", "SHA3_384"), "2.16.840.1.101.3.4.3.12": ("ecdsa", "SHA3_512"),
    "2.16.840.1.101.3.4.3.13": ("rsa", "SHA3_224"), "2.16.840.1.101.3.4.3.14": ("rsa", "SHA3_256"),
    "2.16.840.1.101.3.4.3.15": ("rsa", "SHA3_384"), "2.16.840.1.101.3.4.3.16": ("rsa", "SHA3_512"),
}


def _verificar_sha3(mecanismo: tuple[str, str], signature: bytes, signed_data: bytes, public_key_info: Any,
                    context: Any) -> None:
    """ECDSA or RSA (PKCS#1 v1.5) with a SHA-3 hash; raises ``InvalidSignature`` when it does not verify."""
    from cryptography.hazmat.primitives import hashes
    from cryptography.hazmat.primitives.asymmetric import ec, padding, utils
    from cryptography.hazmat.primitives.serialization import load_der_public_key

    tipo, nome = mecanismo
    digest = getattr(hashes, nome)()
    if context is not None and getattr(context, "prehashed", False):
        digest = utils.Prehashed(digest)
    chave = load_der_public_key(public_key_info.dump())
    if tipo == "ecdsa":
        chave.verify(signature, signed_data, ec.ECDSA(digest))
    else:
        chave.verify(signature, signed_data, padding.PKCS1v15(), digest)


def _mecanismo(signature_algorithm: Any, public_key_info: Any, exc: BaseException) -> str:
    oid = signature_algorithm["algorithm"].dotted
    nome = _MECANISMOS.get(oid)
    if nome is None:
        try:
            nome = signature_algorithm["algorithm"].native
        except Exception:
            nome = oid
        try:
            curva = public_key_info.curve[1] if public_key_info.algorithm == "ec" else None
        except Exception:
            curva = None
        if curva:
            nome = f"{nome}, curva {curva}"
    return str(nome)


class _Status:
    """The fields of pyHanko's status this module reads, for the paths pyHanko does not take itself."""

    def __init__(self, **kw: Any) -> None:
        self.intact = kw.get("intact")
        self.valid = kw.get("valid")
        self.trust_problem_indic = kw.get("trust_problem_indic")
        self.coverage = kw.get("coverage")
        self.modification_level = kw.get("modification_level")
        self.docmdp_ok = kw.get("docmdp_ok")
        self.timestamp_validity = kw.get("timestamp_validity")
        self.signer_reported_dt = kw.get("signer_reported_dt")
        self.md_algorithm = kw.get("md_algorithm")
        self.timestamp = kw.get("timestamp")
        self.validation_path = kw.get("validation_path")

    @property
    def trusted(self) -> bool:
        return bool(self.intact and self.valid and self.trust_problem_indic is None)


def _rodar(coro: Any) -> Any:
    import asyncio

    return asyncio.run(coro)


def _validar_carimbo(embedded: Any, context: Any) -> _Status:
    """A document time stamp, whatever its /Type says (pyHanko wants /DocTimeStamp)."""
    from pyhanko.sign.validation import generic_cms

    embedded.compute_integrity_info(skip_diff=True)
    kwargs = _rodar(generic_cms.validate_tst_signed_data(embedded.signed_data, context, embedded.compute_digest))
    return _Status(**kwargs, coverage=embedded.coverage)


def _validar_pkcs7_sha1(embedded: Any, context: Any, data: bytes, uso: Any) -> _Status:
    """An ``adbe.pkcs7.sha1`` signature: the SHA-1 digest of the signed ranges
    travels inside the CMS, which signs it."""
    import hashlib

    from pyhanko.sign.validation import generic_cms
    from pyhanko.sign.validation.status import PdfSignatureStatus

    embedded.compute_integrity_info(skip_diff=True)
    content = embedded.signed_data["encap_content_info"]["content"]
    encapsulado = bytes(content.native) if content.native is not None else b""
    sha1 = hashlib.sha1()
    faixas = [int(x) for x in embedded.byte_range]
    for start, length in zip(faixas[0::2], faixas[1::2]):
        sha1.update(data[start:start + length])
    kwargs = _rodar(generic_cms.cms_basic_validation(
        embedded.signed_data, raw_digest=None, validation_context=context, status_kwargs={},
        key_usage_settings=PdfSignatureStatus.default_usage_constraints(uso)))
    if encapsulado != sha1.digest():
        kwargs["intact"] = False
    try:
        signing_time = generic_cms.find_unique_cms_attribute(embedded.signer_info["signed_attrs"], "signing_time")
        kwargs["signer_reported_dt"] = signing_time.native
    except Exception:
        kwargs["signer_reported_dt"] = embedded.self_reported_timestamp
    kwargs.setdefault("md_algorithm", "sha1")
    return _Status(**kwargs, coverage=embedded.coverage)


def _validar_x509_rsa_sha1(sig_dict: Any, data: bytes) -> tuple[_Status, Any]:
    """The old ``adbe.x509.rsa_sha1`` format: a bare RSA signature (PKCS#1) of
    the signed ranges, the certificate beside it in /Cert."""
    from asn1crypto import core, x509
    from cryptography.exceptions import InvalidSignature
    from cryptography.hazmat.primitives import hashes
    from cryptography.hazmat.primitives.asymmetric import padding
    from cryptography.hazmat.primitives.serialization import load_der_public_key
    from pyhanko.pdf_utils import generic

    certs = sig_dict["/Cert"]
    certs = list(certs) if isinstance(certs, generic.ArrayObject) else [certs]
    cert = x509.Certificate.load(bytes(certs[0].original_bytes if hasattr(certs[0], "original_bytes") else certs[0]))
    contents = sig_dict.raw_get("/Contents")
    raw = contents.original_bytes
    # The DER OCTET STRING, followed by the zeros that pad /Contents (ignored when loading).
    assinatura = core.OctetString.load(raw).native
    byte_range = [int(x) for x in sig_dict["/ByteRange"]]
    dados = b"".join(data[s:s + n] for s, n in zip(byte_range[0::2], byte_range[1::2]))
    try:
        load_der_public_key(cert.public_key.dump()).verify(assinatura, dados, padding.PKCS1v15(), hashes.SHA1())
        ok = True
    except InvalidSignature:
        ok = False
    fim = byte_range[-2] + byte_range[-1]
    from pyhanko.sign.validation.status import SignatureCoverageLevel

    coverage = (SignatureCoverageLevel.ENTIRE_FILE if fim >= len(data)
                else SignatureCoverageLevel.ENTIRE_REVISION)
    # SHA-1 is refused today: the chain is judged as for any refused digest.
    return _Status(intact=ok, valid=ok, trust_problem_indic=_Indicacao("CRYPTO_CONSTRAINTS_FAILURE"),
                   coverage=coverage, md_algorithm="sha1", signer_reported_dt=_data_pdf(sig_dict.get("/M"))), cert


class _Indicacao:
    """Stands for one of pyHanko's trust problem indications (only its name is read)."""

    def __init__(self, name: str) -> None:
        self.name = name


def _data_pdf(valor: Any) -> Optional[_dt.datetime]:
    if valor is None:
        return None
    try:
        from pyhanko.pdf_utils.misc import parse_pdf_date

        return parse_pdf_date(str(valor))
    except Exception:
        return None


def _confianca_na_data(assinatura: AssinaturaDigital, cert: Any, other_certs: list[Any], context_args: dict,
                       moment: Optional[_dt.datetime], aceitar_tudo: bool = False) -> Any:
    """The validation path by which the signer's certificate chains to a trusted
    root at ``moment``, its key usage judged as at validation time (``None``
    when it does not; ``aceitar_tudo``: with any algorithm, SHA-1 included)."""
    from pyhanko_certvalidator import CertificateValidator, ValidationContext

    args = dict(context_args)
    if moment is not None:
        args["moment"] = moment
    if aceitar_tudo:
        from pyhanko_certvalidator.policy_decl import AcceptAllAlgorithms

        args["algorithm_usage_policy"] = AcceptAllAlgorithms()
    # Only the authorities the certificate can chain through: registering
    # every trusted one again is the main cost of a new context.
    todas = list(args.get("other_certs") or []) + list(other_certs)
    roots, intermediates = _ancestrais(cert, list(args.get("trust_roots") or []), todas)
    if roots:
        args["trust_roots"], args["other_certs"] = roots, intermediates
    else:
        args["other_certs"] = todas  # names encoded otherwise: let the validator look at all of them
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            validator = CertificateValidator(cert, intermediate_certs=list(other_certs),
                                             validation_context=ValidationContext(**args))
            caminho = _rodar(validator.async_validate_path())
            _restricoes_de_uso(cert).validate(cert)
        return caminho
    except Exception:
        return None


def _ancestrais(cert: Any, roots: list[Any], pool: list[Any]) -> tuple[list[Any], list[Any]]:
    """(roots, intermediates) among the given ones whose subject can issue ``cert`` or one of its issuers."""
    nomes = {_nome(cert.issuer)}
    intermediarias: list[Any] = []
    restantes = list(pool)
    mudou = True
    while mudou:
        mudou = False
        for c in list(restantes):
            if _nome(c.subject) in nomes:
                intermediarias.append(c)
                restantes.remove(c)
                nomes.add(_nome(c.issuer))
                mudou = True
    return [r for r in roots if _nome(r.subject) in nomes], intermediarias


def _nome(nome: Any) -> bytes:
    """A name by its encoding (asn1crypto keeps its digest; the normalised form is computed anew
    on every call).  Authorities copy their subject into what they issue byte for byte."""
    return nome.sha256


def _raiz_do_caminho(caminho: Any) -> Any:
    try:
        return caminho.trust_anchor.authority.certificate
    except Exception:
        return None


_ROTULOS = {NIVEL_LEGAL_QUALIFICADA: "ICP-Brasil", NIVEL_LEGAL_AVANCADA: "do gov.br"}


def _descrever_confianca(assinatura: AssinaturaDigital, status: Any, cert: Any, other_certs: list[Any],
                         context_args: dict, moment: Optional[_dt.datetime], roots_label: str,
                         revocation: bool) -> None:
    """``icp_brasil``, ``nivel_legal``, ``problema_certificado`` and the finding about the chain."""
    achados = assinatura.achados
    if status.trusted:
        assinatura.icp_brasil = True
        assinatura.nivel_legal = _nivel_legal_da_raiz(_raiz_do_caminho(getattr(status, "validation_path", None)))
        achados.append(f"certificado encadeado a uma raiz {_ROTULOS.get(assinatura.nivel_legal, 'confiável')}")
        return
    indic = getattr(status.trust_problem_indic, "name", None)
    problem = _TRUST_PROBLEMS.get(indic or "", "cadeia de certificação não validada")
    if revocation and indic in ("CERTIFICATE_CHAIN_GENERAL_FAILURE", "TRY_LATER"):
        # With revocation required, this is what a certificate whose
        # revocation status could not be had (no CRL/OCSP, or no answer) gets.
        problem = "situação de revogação não confirmada (LCR/OCSP ausente ou inacessível)"
    assinatura.icp_brasil = False
    caminho = (_confianca_na_data(assinatura, cert, other_certs, context_args, moment)
               if indic in _EXPIRY and moment is not None else None)
    if caminho is not None:
        # Expired since, or under a root retired since: judged at the signing time.
        assinatura.icp_brasil = True
        assinatura.nivel_legal = _nivel_legal_da_raiz(_raiz_do_caminho(caminho))
        roots_label = _ROTULOS.get(assinatura.nivel_legal, "confiável")
        if assinatura.carimbo_do_tempo:
            achados.append(f"certificado encadeado a uma raiz {roots_label}, válido na data do carimbo do tempo "
                           "(expirou depois)")
            return
        assinatura.problema_certificado = "válido só na data declarada pelo assinante (sem carimbo do tempo)"
        achados.append(f"certificado encadeado a uma raiz {roots_label}, já expirado: válido na data declarada "
                       "pelo assinante, que não é comprovada (sem carimbo do tempo)")
        return
    if indic in _CRYPTO or (indic is None and not status.valid):
        md = (getattr(status, "md_algorithm", None) or "").lower()
        if _confianca_na_data(assinatura, cert, other_certs, context_args, moment, aceitar_tudo=True) is not None:
            problem = (f"cadeia {roots_label}, mas o resumo SHA-1 é hoje recusado" if md == "sha1"
                       else f"cadeia {roots_label}, mas com algoritmo criptográfico hoje recusado")
        elif md == "sha1":
            problem = "resumo SHA-1 recusado"
    assinatura.problema_certificado = problem
    achados.append(f"certificado não reconhecido como {roots_label}: {problem}")


def _nivel(assinatura: AssinaturaDigital) -> None:
    """The plain level and its reason."""
    from .signature_changes import CONTEUDO_ALTERADO

    if assinatura.ilegivel is not None:
        assinatura.nivel, assinatura.motivo = NIVEL_NAO_VERIFICADA, f"assinatura ilegível: {assinatura.ilegivel}"
    elif assinatura.integra is False:
        assinatura.nivel = NIVEL_INVALIDA
        assinatura.motivo = ("assinatura violada: a assinatura criptográfica não confere"
                             if "ASSINATURA VIOLADA: a assinatura criptográfica não confere" in assinatura.achados
                             else "assinatura violada: os bytes assinados foram alterados depois da assinatura")
    elif assinatura.algoritmo_nao_suportado:
        assinatura.nivel, assinatura.motivo = NIVEL_NAO_VERIFICADA, assinatura.algoritmo_nao_suportado
    elif assinatura.cobre_documento is False:
        assinatura.nivel, assinatura.motivo = NIVEL_INVALIDA, "a assinatura não cobre todo o documento assinado"
    elif assinatura.alteracao == CONTEUDO_ALTERADO:
        paginas = ", ".join(map(str, assinatura.paginas_alteradas))
        onde = f" (página(s) {paginas})" if paginas else ""
        assinatura.nivel = NIVEL_INVALIDA
        assinatura.motivo = ("sobreposição oculta revelada depois da assinatura (ataque de sombra)" + onde
                             if assinatura.sobreposicao else f"conteúdo alterado depois da assinatura{onde}")
    elif assinatura.alteracao is None:
        assinatura.nivel = NIVEL_NAO_VERIFICADA
        assinatura.motivo = "não foi possível analisar as alterações feitas após a assinatura"
    elif assinatura.icp_brasil and not assinatura.problema_certificado:
        assinatura.nivel, assinatura.motivo = NIVEL_VALIDA, None
    else:
        assinatura.nivel = NIVEL_NAO_RECONHECIDO
        assinatura.motivo = assinatura.problema_certificado or "cadeia de certificação não validada"


def _descrever_alteracao(assinatura: AssinaturaDigital, alteracoes: Any) -> None:
    from .signature_changes import CONTEUDO_ALTERADO, NADA_MUDOU

    assinatura.alteracao = alteracoes.veredito
    assinatura.paginas_alteradas = list(alteracoes.paginas)
    assinatura.sobreposicao = bool(alteracoes.sobreposicao)
    assinatura.imagens_acrescentadas = list(alteracoes.imagens)
    assinatura.modificado_apos_assinatura = alteracoes.veredito == CONTEUDO_ALTERADO
    if alteracoes.veredito == CONTEUDO_ALTERADO:
        paginas = ", ".join(map(str, alteracoes.paginas))
        texto = "SOBREPOSIÇÃO OCULTA REVELADA" if alteracoes.sobreposicao else "CONTEÚDO ALTERADO"
        assinatura.achados.append(f"{texto} após a assinatura" + (f" (página(s) {paginas})" if paginas else ""))
    elif alteracoes.veredito == NADA_MUDOU:
        assinatura.achados.append("depois da assinatura: nada mudou")
    else:
        assinatura.achados.append(f"depois da assinatura: {alteracoes.veredito}")
    assinatura.achados.extend(alteracoes.detalhes)


def _por_nivel_pyhanko(level: Any) -> Optional[str]:
    """pyHanko's modification level, read as one of the five answers (when the comparison could not run)."""
    from .signature_changes import (ANOTACOES_ACRESCENTADAS, APENAS_ASSINATURAS, CAMPOS_PREENCHIDOS,
                                    CONTEUDO_ALTERADO, NADA_MUDOU)

    return {"NONE": NADA_MUDOU, "LTA_UPDATES": APENAS_ASSINATURAS, "FORM_FILLING": CAMPOS_PREENCHIDOS,
            "ANNOTATIONS": ANOTACOES_ACRESCENTADAS, "OTHER": CONTEUDO_ALTERADO}.get(getattr(level, "name", ""))


def ler_assinaturas(
    caminho: str | os.PathLike[str],
    *,
    raizes: str | os.PathLike[str] | None = None,
    verificar_revogacao: bool = False,
) -> list[AssinaturaDigital]:
    """Assinaturas digitais do PDF em ``caminho`` (e carimbos de tempo do documento), na ordem em que foram feitas.

    ``raizes``: arquivo ou pasta com mais raízes confiáveis, além das da
    ICP-Brasil (as atuais e as retiradas) e da do gov.br, por exemplo a AC de
    uma empresa.  ``verificar_revogacao``: consulta
    LCR/OCSP pela rede.  Um PDF sem assinaturas dá a lista vazia; uma
    assinatura ilegível dá um item com ``ilegivel`` preenchido.  Levanta
    ``FileNotFoundError`` se o arquivo não existe, ``scrivane.DocumentError``
    se o PDF não pode ser lido, e ``AssinaturasIndisponiveisError`` sem o
    pyHanko instalado.
    """
    from .document import DocumentError

    path = Path(caminho)
    data = path.read_bytes()
    if b"%PDF-" not in data[:1024]:
        if data[:1024].lstrip().startswith(b"%") or b"/ByteRange" in data:
            raise DocumentError(f"PDF ilegível: {path} (sem o cabeçalho %PDF)")
        return []  # only PDFs carry embedded signatures
    PdfFileReader, enumerate_sig_fields, validate, EmbeddedPdfSignature, ValidationContext = _import_pyhanko()
    roots, intermediates = carregar_raizes(raizes)
    roots_label = "ICP-Brasil ou gov.br" if raizes is None else "confiável"
    if raizes is not None:
        # The given roots come on top of ICP-Brasil's (gov.br's root, a company's own CA).
        try:
            icp, icp_intermediates = carregar_raizes()
        except AssinaturasIndisponiveisError:
            icp, icp_intermediates = [], []
        roots, intermediates = roots + icp, intermediates + icp_intermediates

    import io

    from .signature_changes import ComparadorRevisoes

    try:
        reader = PdfFileReader(io.BytesIO(data), strict=False)
        if reader.encrypted:
            reader.decrypt("")
        fields = list(enumerate_sig_fields(reader, filled_status=True))
    except Exception as exc:
        raise DocumentError(f"PDF ilegível: {path} ({_reason(exc)})") from exc

    context_args: dict[str, Any] = {
        "trust_roots": roots,
        "other_certs": intermediates,
        "allow_fetching": bool(verificar_revogacao),
    }
    if verificar_revogacao:
        context_args["revocation_mode"] = "require"

    comparador = ComparadorRevisoes(reader, data)
    compartilhado: list[Any] = []

    def contexto() -> tuple[Any, Any]:
        """One validation context for the file's signatures (registering the
        authorities is its main cost); the validator notes by signature value."""
        if not compartilhado:
            verificador = _verificador()
            args = dict(context_args)
            registro = None if verificar_revogacao else _registro_de(args["other_certs"])
            if registro is not None:
                args["certificate_registry"] = registro
                del args["other_certs"]
            compartilhado.extend([verificador, ValidationContext(**args, signature_validator=verificador)])
        return compartilhado[0], compartilhado[1]

    found: list[tuple[int, int, AssinaturaDigital]] = []
    try:
        for index, (name, sig_obj, sig_field) in enumerate(fields):
            assinatura = AssinaturaDigital(campo=str(name))
            revision = 1 << 30
            try:
                revision = _ler_uma(assinatura, reader, data, name, sig_obj, sig_field, EmbeddedPdfSignature,
                                    validate, contexto, context_args, roots_label,
                                    bool(verificar_revogacao), comparador)
            except Exception as exc:  # bad input of any kind: a finding, never a stop
                etapa = getattr(exc, "etapa", "dicionário de assinatura malformado")
                _log.debug("assinatura %s ilegível (%s): %s", name, etapa, _reason(exc))
                assinatura.ilegivel = f"{etapa}: {_O_QUE_FAZER.get(etapa, _PECA_O_ORIGINAL)}"
                assinatura.achados = [f"assinatura ilegível: {assinatura.ilegivel}"]
                assinatura.integra = None
                assinatura.modificado_apos_assinatura = None
                assinatura.alteracao = None
            _nivel(assinatura)
            found.append((revision, index, assinatura))
    finally:
        comparador.fechar()
    found.sort(key=lambda item: (item[0], item[1]))
    dss = "/DSS" in reader.root
    for revision, _, assinatura in found:
        signer_info = assinatura.__dict__.pop("_signer_info", None)
        if assinatura.politica is not None and assinatura.ilegivel is None and assinatura.integra:
            carimbo_depois = any(r > revision and a.tipo == TIPO_CARIMBO for r, _, a in found)
            _julgar_politica(assinatura, signer_info, dss, carimbo_depois)
    return [assinatura for _, _, assinatura in found]


_log = logging.getLogger(__name__)

_VALIDADOR_ITI = "confira a assinatura no Validador ITI (validar.iti.gov.br)"
_PECA_O_ORIGINAL = f"peça a quem enviou o PDF original, como saiu do sistema de assinatura, ou {_VALIDADOR_ITI}"

# What the reader can do about a signature that could not be read, by the stage that failed.
_O_QUE_FAZER = {
    "dicionário de assinatura malformado": "o campo da assinatura está incompleto ou corrompido; " + _PECA_O_ORIGINAL,
    "formato antigo adbe.x509.rsa_sha1 ilegível": "formato antigo, dos primeiros programas de assinatura; "
                                                  + _PECA_O_ORIGINAL,
    "certificado em formato desconhecido": "o certificado do assinante embutido no PDF está corrompido; "
                                           + _PECA_O_ORIGINAL,
    "formato ou algoritmo não suportado": "esta assinatura usa um formato que este programa não confere; "
                                          + _VALIDADOR_ITI,
    "dados de data ilegíveis": "a data ou o carimbo do tempo da assinatura está corrompido; " + _PECA_O_ORIGINAL,
    "comparação das revisões falhou": "não foi possível ler as versões do documento; " + _PECA_O_ORIGINAL,
    "cadeia de certificação ilegível": "um certificado da cadeia está corrompido; " + _VALIDADOR_ITI,
}


class _Etapa:
    """Names the stage a failure happened in (the reason an unreadable signature gets)."""

    def __init__(self) -> None:
        self.nome = "dicionário de assinatura malformado"

    def __call__(self, nome: str) -> None:
        self.nome = nome


def _ler_uma(assinatura: AssinaturaDigital, reader: Any, data: bytes, name: str, sig_obj: Any, sig_field: Any,
             EmbeddedPdfSignature: Any, validate: Any, contexto: Any, context_args: dict,
             roots_label: str, revocation: bool, comparador: Any) -> int:
    """Reads and judges one signature; returns the revision it signed."""
    etapa = _Etapa()
    try:
        return _ler_uma_etapas(assinatura, reader, data, name, sig_obj, sig_field, EmbeddedPdfSignature, validate,
                               contexto, context_args, roots_label, revocation, comparador, etapa)
    except Exception as exc:
        exc.etapa = etapa.nome  # type: ignore[attr-defined]
        raise


def _ler_uma_etapas(assinatura, reader, data, name, sig_obj, sig_field, EmbeddedPdfSignature, validate,
                    contexto, context_args, roots_label, revocation, comparador, etapa) -> int:
    from pyhanko.sign.validation.status import SignatureCoverageLevel

    sig_dict = sig_obj.get_object()
    subfilter = sig_dict.get("/SubFilter")
    carimbo = subfilter == "/ETSI.RFC3161" or sig_dict.get("/Type") == "/DocTimeStamp"
    if carimbo:
        assinatura.tipo = TIPO_CARIMBO
    other_certs: list[Any] = []
    revision = 1 << 30
    if subfilter == "/adbe.x509.rsa_sha1":
        etapa("formato antigo adbe.x509.rsa_sha1 ilegível")
        status, cert = _validar_x509_rsa_sha1(sig_dict, data)
        ref = sig_field.get_object().raw_get("/V")
        revision = reader.xrefs.get_last_change(ref.reference)
        fim = int(sig_dict["/ByteRange"][-2]) + int(sig_dict["/ByteRange"][-1])
        _fill_signer(assinatura, cert)
        assinatura.achados.append("formato antigo adbe.x509.rsa_sha1 (RSA com SHA-1, sem CMS)")
        embedded = None
    else:
        embedded = EmbeddedPdfSignature(reader, sig_field, name)
        revision = embedded.signed_revision
        fim = int(embedded.byte_range[-2]) + int(embedded.byte_range[-1])
        etapa("certificado em formato desconhecido")
        cert = embedded.signer_cert
        other_certs = list(embedded.other_embedded_certs)
        _fill_signer(assinatura, cert)
    etapa("formato ou algoritmo não suportado")
    verificador, context = contexto() if embedded is not None else (None, None)
    if embedded is None:
        pass
    elif carimbo:
        status = _validar_carimbo(embedded, context)
    elif subfilter == "/adbe.pkcs7.sha1":
        status = _validar_pkcs7_sha1(embedded, context, data, _restricoes_de_uso(cert))
    else:
        uso = _restricoes_de_uso(cert)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            politica = _politica_de_diferencas()
            try:
                status = validate(embedded, signer_validation_context=context, key_usage_settings=uso,
                                  diff_policy=politica)
                assinatura.modificacao_pyhanko = (
                    f"análise de diferenças falhou ({_reason(politica.falha)})" if politica.falha is not None
                    else getattr(status.modification_level, "name", None))
            except Exception as exc:
                # The difference analysis failed: validate without it; what
                # changed is judged by the comparison below.
                assinatura.modificacao_pyhanko = f"análise de diferenças falhou ({_reason(exc)})"
                embedded = EmbeddedPdfSignature(reader, sig_field, name)
                status = validate(embedded, signer_validation_context=context, skip_diff=True,
                                  key_usage_settings=uso)
    if embedded is not None and not carimbo:
        _ler_politica(assinatura, embedded.signer_info)
        # Kept until the policy is judged, once every signature (and any later
        # document time stamp) is read; taken off before the list is returned.
        assinatura._signer_info = embedded.signer_info  # type: ignore[attr-defined]
    signature_bytes = (bytes(embedded.signer_info["signature"].native) if embedded is not None else b"")
    nao_suportado = verificador.nao_suportados.get(signature_bytes) if verificador is not None else None
    if subfilter == "/adbe.x509.rsa_sha1" and not status.intact:
        nao_suportado = None
    etapa("dados de data ilegíveis")
    if carimbo:
        moment = getattr(status, "timestamp", None)
        assinatura.carimbo_do_tempo = True
    else:
        tst = status.timestamp_validity
        if tst is not None and tst.intact and tst.valid and tst.trusted:
            moment = tst.timestamp
            assinatura.carimbo_do_tempo = True
        else:
            moment = status.signer_reported_dt
    assinatura.data_assinatura = _iso(moment)

    etapa("comparação das revisões falhou")
    achados = assinatura.achados
    assinatura.integra = bool(status.intact)
    if not status.intact:
        # The signed bytes no longer match: nothing else about this signature
        # (who, the chain, later updates) can be relied on.
        achados.append("ASSINATURA VIOLADA: os bytes assinados foram alterados depois da assinatura")
        assinatura.modificado_apos_assinatura = True
        assinatura.problema_certificado = "não avaliado: assinatura violada"
        return revision
    if nao_suportado:
        assinatura.algoritmo_nao_suportado = f"algoritmo não suportado: {nao_suportado}"
        achados.append(f"os bytes assinados estão intactos, mas a assinatura não pôde ser conferida: "
                       f"{assinatura.algoritmo_nao_suportado}")
    elif not status.valid:
        # The digest matches, but the signature over it does not verify: the
        # signature is broken, the document itself was not modified.
        assinatura.integra = False
        assinatura.modificado_apos_assinatura = False
        achados.append("ASSINATURA VIOLADA: a assinatura criptográfica não confere")
        assinatura.problema_certificado = "não avaliado: assinatura violada"
        return revision
    else:
        achados.append("carimbo de tempo íntegro" if carimbo else "assinatura íntegra")

    coverage = status.coverage
    assinatura.cobre_documento = coverage in (SignatureCoverageLevel.ENTIRE_FILE,
                                             SignatureCoverageLevel.ENTIRE_REVISION)
    if not assinatura.cobre_documento:
        achados.append("a assinatura não cobre todo o documento assinado")
    else:
        try:
            alteracoes = comparador.comparar(revision, fim)
        except Exception as exc:
            nivel = _por_nivel_pyhanko(getattr(status, "modification_level", None))
            _log.debug("comparação das revisões de %s falhou: %s", name, _reason(exc))
            achados.append("não foi possível comparar a revisão assinada com o arquivo final")
            if nivel is not None:
                from .signature_changes import Alteracoes

                alteracoes = Alteracoes(nivel, detalhes=["segundo a análise de diferenças do pyHanko"])
            else:
                alteracoes = None
        if alteracoes is not None:
            _descrever_alteracao(assinatura, alteracoes)

    if nao_suportado:
        return revision
    etapa("cadeia de certificação ilegível")
    _descrever_confianca(assinatura, status, cert, other_certs, context_args, moment, roots_label, revocation)
    if assinatura.cpf and not cpf_valido(assinatura.cpf):
        achados.append(f"CPF do certificado com dígitos verificadores inválidos: {assinatura.cpf}")
    return revision


def resumo(assinaturas: Iterable[AssinaturaDigital], cpfs_divergentes: int = 0) -> str:
    """Uma linha: quantas assinaturas, e em que nível.

    ``cpfs_divergentes``: quantas têm o CPF do certificado contradito pelo
    quadro de sócios (então nunca "todas válidas e confiáveis")."""
    lista = list(assinaturas)
    if not lista:
        return "nenhuma assinatura digital no documento"
    assinaturas_ = [a for a in lista if a.tipo == TIPO_ASSINATURA]
    carimbos = len(lista) - len(assinaturas_)
    partes = []
    contagem = {n: sum(1 for a in lista if a.nivel == n)
                for n in (NIVEL_VALIDA, NIVEL_NAO_RECONHECIDO, NIVEL_INVALIDA, NIVEL_NAO_VERIFICADA)}
    if contagem[NIVEL_VALIDA] == len(lista) and not cpfs_divergentes:
        partes.append("todas válidas e confiáveis")
    else:
        for nivel, n in contagem.items():
            if n:
                partes.append(f"{n} {nivel}")
    if cpfs_divergentes:
        partes.append(f"{cpfs_divergentes} com CPF divergente do QSA")
    cabeca = f"{len(assinaturas_)} assinatura(s) digital(is)"
    if carimbos:
        cabeca += f" e {carimbos} carimbo(s) de tempo do documento"
    return f"{cabeca}: " + ", ".join(partes)
