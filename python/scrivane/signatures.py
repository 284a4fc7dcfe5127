"""Digital signatures of a PDF: who signed, whether each signature is intact,
whether the document changed after it, and whether the certificate chains to
a trusted root (ICP-Brasil's by default).

    from scrivane.signatures import ler_assinaturas

    for assinatura in ler_assinaturas("contrato.pdf"):
        assinatura.nome, assinatura.cpf, assinatura.integra, assinatura.achados

Validation is pyHanko's (signature, difference analysis of the incremental
updates) with pyhanko-certvalidator for the chain.  Both come with the
``assinaturas`` extra, as does certifi-icpbr, the source of the ICP-Brasil
roots.  Revocation is not checked unless asked for, since it needs the
network.  A signature that cannot be read becomes an entry whose ``ilegivel``
says why; reading one never raises for a bad signature.
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


@dataclass
class AssinaturaDigital:
    """Uma assinatura digital do PDF, com o que se pôde verificar dela.

    ``integra``: a assinatura criptográfica confere com os bytes assinados;
    ``modificado_apos_assinatura``: atualizações posteriores mudaram o conteúdo
    (``None`` quando não foi possível analisar); ``icp_brasil``: o certificado
    encadeia até uma raiz confiável (as da ICP-Brasil, ou as informadas);
    ``ilegivel``: motivo, quando a assinatura não pôde ser lida.
    """

    campo: str
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
    modificado_apos_assinatura: Optional[bool] = None
    cobre_documento: Optional[bool] = None
    icp_brasil: Optional[bool] = None
    problema_certificado: Optional[str] = None
    ilegivel: Optional[str] = None
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
        """Legível, íntegra, cobrindo o documento e sem alteração de conteúdo depois dela."""
        return (
            self.ilegivel is None
            and self.integra is True
            and self.cobre_documento is True
            and self.modificado_apos_assinatura is False
        )

    def como_dict(self) -> dict[str, Any]:
        """Mapa simples (chaves em português), pronto para JSON, com ``pessoa``,
        ``cpf_pessoa`` e ``valida`` ao fim."""
        return dict(asdict(self), pessoa=self.pessoa, cpf_pessoa=self.cpf_pessoa, valida=self.valida)


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
            found["cnpj"] = _digits(text.strip(), 0, 14)
        elif oid == OID_RESPONSAVEL:
            found["cpf_responsavel"] = _digits(text, 8, 11)
        elif oid == OID_NOME_RESPONSAVEL:
            found["nome_responsavel"] = text.strip() or None
    if not (found["cpf"] or found["cnpj"]):
        cn = _common_name(cert) or ""
        match = re.search(r":(\d{11}|\d{14})\s*$", cn)
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
    icp = [c for c in certs if "ICP-Brasil" in (c.subject.native.get("organization_name") or "")]
    roots = tuple(c for c in icp if _is_self_signed(c))
    intermediates = tuple(c for c in icp if not _is_self_signed(c))
    return roots, intermediates


def carregar_raizes(origem: str | os.PathLike[str] | None = None) -> tuple[list[Any], list[Any]]:
    """(raízes confiáveis, intermediárias) para validar cadeias.

    Sem ``origem``: as raízes ICP-Brasil do pacote certifi-icpbr, com as
    autoridades intermediárias que ele traz.  Com ``origem``: os certificados
    (PEM ou DER) do arquivo, ou dos arquivos .pem, .crt, .cer e .der da pasta;
    todos valem como raízes.
    """
    if origem is None:
        roots, intermediates = _raizes_icp_brasil()
        return list(roots), list(intermediates)
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
    "NO_CERTIFICATE_CHAIN_FOUND": "a cadeia não chega a uma raiz confiável",
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
    "CRYPTO_CONSTRAINTS_FAILURE": "algoritmo criptográfico não aceito",
    "CRYPTO_CONSTRAINTS_FAILURE_NO_POE": "algoritmo criptográfico não aceito",
    "SIG_CONSTRAINTS_FAILURE": "o uso do certificado não permite assinar documentos",
    "NO_SIGNING_CERTIFICATE_FOUND": "certificado do assinante ausente",
}


def _iso(moment: Optional[_dt.datetime]) -> Optional[str]:
    if moment is None:
        return None
    if moment.tzinfo is None:
        moment = moment.replace(tzinfo=_dt.timezone.utc)
    return moment.isoformat()


def _reason(exc: BaseException) -> str:
    text = str(exc).strip().splitlines()[0] if str(exc).strip() else ""
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__


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
            # Needed by _describe: a failure to import them must not pass for
            # an unreadable signature.
            from pyhanko.sign.diff_analysis import ModificationLevel  # noqa: F401
            from pyhanko.sign.validation.status import SignatureCoverageLevel  # noqa: F401
    except ImportError as exc:
        raise AssinaturasIndisponiveisError(
            "verificação de assinaturas digitais indisponível: instale scrivane-contract[assinaturas]"
        ) from exc
    return PdfFileReader, enumerate_sig_fields, validate_pdf_signature, EmbeddedPdfSignature, ValidationContext


def _fill_signer(assinatura: AssinaturaDigital, cert: Any) -> None:
    assinatura.nome_certificado = _common_name(cert)
    # ICP-Brasil common names end with ":" and the holder's CPF or CNPJ.
    cn = assinatura.nome_certificado or ""
    assinatura.nome = re.sub(r":\d{11}(\d{3})?\s*$", "", cn).strip() or None
    assinatura.emissor = _issuer_name(cert)
    for key, value in dados_icp_brasil(cert).items():
        setattr(assinatura, key, value)


_EXPIRY = ("EXPIRED", "OUT_OF_BOUNDS_NO_POE", "OUT_OF_BOUNDS_NOT_REVOKED")


def _validate_at_signing_time(assinatura: AssinaturaDigital, embedded: Any, validate: Any, context: Any,
                              roots_label: str) -> None:
    """A certificate that has expired since: check the chain at the signing time.

    Old contracts are the common case.  With a trusted time stamp the signing
    time is proven; without one it is only what the signer's computer said,
    which the finding makes plain.
    """
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        status = validate(embedded, signer_validation_context=context, skip_diff=True)
    if not status.trusted:
        return
    assinatura.icp_brasil = True
    expired = f"certificado não reconhecido como {roots_label}: {assinatura.problema_certificado}"
    if assinatura.carimbo_do_tempo:
        assinatura.problema_certificado = None
        finding = (f"certificado encadeado a uma raiz {roots_label}, válido na data do carimbo do tempo "
                   "(expirou depois)")
    else:
        assinatura.problema_certificado = "válido só na data declarada pelo assinante (sem carimbo do tempo)"
        finding = (f"certificado encadeado a uma raiz {roots_label}, já expirado: válido na data declarada "
                   "pelo assinante, que não é comprovada (sem carimbo do tempo)")
    assinatura.achados = [finding if a == expired else a for a in assinatura.achados]


def _describe(assinatura: AssinaturaDigital, status: Any, roots_label: str, revocation: bool = False) -> None:
    """Fill the verdict fields and the findings from pyHanko's status."""
    from pyhanko.sign.diff_analysis import ModificationLevel
    from pyhanko.sign.validation.status import SignatureCoverageLevel

    achados = assinatura.achados
    assinatura.integra = bool(status.intact and status.valid)
    if not assinatura.integra:
        # The signed bytes no longer match: nothing else about this signature
        # (who, the chain, later updates) can be relied on.
        achados.append("ASSINATURA VIOLADA: os bytes assinados foram alterados depois da assinatura"
                       if not status.intact else "ASSINATURA VIOLADA: a assinatura criptográfica não confere")
        assinatura.modificado_apos_assinatura = True
        assinatura.cobre_documento = None
        assinatura.problema_certificado = "não avaliado: assinatura violada"
        return
    achados.append("assinatura íntegra")

    coverage = status.coverage
    assinatura.cobre_documento = coverage in (SignatureCoverageLevel.ENTIRE_FILE,
                                             SignatureCoverageLevel.ENTIRE_REVISION)
    level = status.modification_level
    if not assinatura.cobre_documento:
        assinatura.modificado_apos_assinatura = None
        achados.append("a assinatura não cobre todo o documento assinado")
    elif coverage == SignatureCoverageLevel.ENTIRE_FILE:
        assinatura.modificado_apos_assinatura = False
        achados.append("documento sem alterações após a assinatura")
    elif level is None:
        assinatura.modificado_apos_assinatura = None
        achados.append("não foi possível analisar as alterações feitas após a assinatura")
    elif level == ModificationLevel.OTHER or status.docmdp_ok is False:
        assinatura.modificado_apos_assinatura = True
        achados.append("DOCUMENTO ALTERADO após a assinatura: atualização posterior muda o conteúdo")
    else:
        assinatura.modificado_apos_assinatura = False
        achados.append("após a assinatura, apenas acréscimos permitidos "
                       "(outras assinaturas, carimbos do tempo ou preenchimento de formulário)")

    assinatura.icp_brasil = bool(status.trusted)
    if status.trusted:
        achados.append(f"certificado encadeado a uma raiz {roots_label}")
    else:
        indic = getattr(status.trust_problem_indic, "name", None)
        problem = _TRUST_PROBLEMS.get(indic or "", "cadeia de certificação não validada")
        if revocation and indic in ("CERTIFICATE_CHAIN_GENERAL_FAILURE", "TRY_LATER"):
            # With revocation required, this is what a certificate whose
            # revocation status could not be had (no CRL/OCSP, or no answer) gets.
            problem = "situação de revogação não confirmada (LCR/OCSP ausente ou inacessível)"
        assinatura.problema_certificado = problem
        achados.append(f"certificado não reconhecido como {roots_label}: {problem}")
    if assinatura.cpf and not cpf_valido(assinatura.cpf):
        achados.append(f"CPF do certificado com dígitos verificadores inválidos: {assinatura.cpf}")


def ler_assinaturas(
    caminho: str | os.PathLike[str],
    *,
    raizes: str | os.PathLike[str] | None = None,
    verificar_revogacao: bool = False,
) -> list[AssinaturaDigital]:
    """Assinaturas digitais do PDF em ``caminho``, na ordem em que foram feitas.

    ``raizes``: arquivo ou pasta com as raízes confiáveis (padrão: as da
    ICP-Brasil).  ``verificar_revogacao``: consulta LCR/OCSP pela rede.  Um PDF
    sem assinaturas dá a lista vazia; uma assinatura ilegível dá um item com
    ``ilegivel`` preenchido.  Levanta ``FileNotFoundError`` se o arquivo não
    existe, ``scrivane.DocumentError`` se o PDF não pode ser lido, e
    ``AssinaturasIndisponiveisError`` sem o pyHanko instalado.
    """
    from .document import DocumentError

    path = Path(caminho)
    data = path.read_bytes()
    if b"%PDF-" not in data[:1024]:
        return []  # only PDFs carry embedded signatures
    PdfFileReader, enumerate_sig_fields, validate, EmbeddedPdfSignature, ValidationContext = _import_pyhanko()
    roots, intermediates = carregar_raizes(raizes)
    roots_label = "ICP-Brasil" if raizes is None else "confiável"

    import io

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

    found: list[tuple[int, int, AssinaturaDigital]] = []
    for index, (name, sig_obj, sig_field) in enumerate(fields):
        assinatura = AssinaturaDigital(campo=str(name))
        revision = 1 << 30
        stage = "dicionário de assinatura malformado"
        try:
            sig_dict = sig_obj.get_object()
            if sig_dict.get("/Type") == "/DocTimeStamp":
                continue  # a document time stamp is no one's signature
            embedded = EmbeddedPdfSignature(reader, sig_field, name)
            revision = embedded.signed_revision
            stage = "certificado em formato desconhecido"
            _fill_signer(assinatura, embedded.signer_cert)
            stage = "formato ou algoritmo não suportado"
            context = ValidationContext(**context_args)
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                status = validate(embedded, signer_validation_context=context)
            tst = status.timestamp_validity
            if tst is not None and tst.intact and tst.valid and tst.trusted:
                moment = tst.timestamp
                assinatura.carimbo_do_tempo = True
            else:
                moment = status.signer_reported_dt
            assinatura.data_assinatura = _iso(moment)
            _describe(assinatura, status, roots_label, bool(verificar_revogacao))
            if (assinatura.integra and not status.trusted and moment is not None
                    and getattr(status.trust_problem_indic, "name", "") in _EXPIRY):
                _validate_at_signing_time(assinatura, embedded, validate, ValidationContext(
                    **context_args, moment=moment), roots_label)
        except Exception as exc:  # bad input of any kind: a finding, never a stop
            assinatura.ilegivel = f"{stage} ({_reason(exc)})"
            assinatura.achados = [f"assinatura ilegível: {assinatura.ilegivel}"]
            assinatura.integra = None
            assinatura.modificado_apos_assinatura = None
        found.append((revision, index, assinatura))
    found.sort(key=lambda item: (item[0], item[1]))
    return [assinatura for _, _, assinatura in found]


def resumo(assinaturas: Iterable[AssinaturaDigital]) -> str:
    """Uma linha: quantas assinaturas, e se há problema."""
    lista = list(assinaturas)
    if not lista:
        return "nenhuma assinatura digital no documento"
    invalidas = [a for a in lista if not a.valida]
    if not invalidas:
        return f"{len(lista)} assinatura(s) digital(is), todas válidas"
    return f"{len(lista)} assinatura(s) digital(is), {len(invalidas)} com problema"
