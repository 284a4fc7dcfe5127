"""Record types of contract extraction and verification.

Two families live here:

* the answer shapes the extraction engine asks the model for,
  ``ExtracaoEmpresas``, ``ExtracaoAssinaturas``, ``ExtracaoDadosContrato``
  (their docstrings and field descriptions go into the JSON schema the model
  reads, hence Portuguese), and the extracted records built from their maps (``EmpresaExtraida``,
  ``AssinaturaExtraida``);
* the verification records the checker fills in (``CampoVerificado``,
  ``EmpresaVerificada``, ``AssinaturaVerificada``,
  ``ClassificacaoLegitimidade``).

Every text field accepts None, every field not established defaults to
False, None or an empty list, and unknown keys are ignored, so a map
returned by the model (or a ``model_dump`` of a record) can be passed back
as keyword arguments.
"""

from __future__ import annotations

from typing import Any, ClassVar, Optional

from pydantic import BaseModel, ConfigDict, Field, computed_field
from pydantic.json_schema import SkipJsonSchema

__all__ = [
    "EmpresaExtraida",
    "ExtracaoEmpresas",
    "AssinaturaExtraida",
    "ExtracaoAssinaturas",
    "ExtracaoDadosContrato",
    "CampoVerificado",
    "EmpresaVerificada",
    "AssinaturaVerificada",
    "ClassificacaoLegitimidade",
    "STATUS_EMOJI",
]

# What the engine writes beside each extracted item once it has looked for the item's values in the
# document (never asked of the model): where each value was read, and the values the document does not hold.
_EVIDENCIAS = "Onde cada valor foi lido: campo, página (a partir de 1), trecho e caixa [x0, y0, x1, y1] em pontos"
_DIVERGENCIAS = "Valores que o documento não traz, ou traz com outros dígitos"


class _Registro(BaseModel):
    # Numbers written where text is expected (a CNPJ answered as an integer,
    # for instance) become text instead of failing the whole answer.
    model_config = ConfigDict(extra="ignore", coerce_numbers_to_str=True)


# ---------------------------------------------------------------------------
# What the model extracts
# ---------------------------------------------------------------------------


class EmpresaExtraida(_Registro):
    """Empresa mencionada no contrato, como escrita nele."""

    cnpj: Optional[str] = Field(
        default=None,
        description="CNPJ da empresa exatamente como aparece no contrato (14 dígitos, com ou sem formatação); null se ausente",
    )
    razao_social: Optional[str] = Field(
        default=None, description="Razão social (nome empresarial completo); null se ausente"
    )
    nome_fantasia: Optional[str] = Field(
        default=None, description="Nome fantasia, se houver; null caso contrário"
    )
    endereco: Optional[str] = Field(
        default=None,
        description="Endereço completo da sede como escrito no contrato (logradouro, número, bairro, cidade, UF, CEP); null se ausente",
    )
    papel_no_contrato: Optional[str] = Field(
        default=None,
        description="Papel da empresa no contrato: contratante, contratada, interveniente, fiadora etc.; null se não indicado",
    )
    trecho: Optional[str] = Field(
        default=None,
        description="Trecho do contrato copiado literalmente, sem corrigir nada (até 200 caracteres), onde a empresa "
                    "é qualificada com o CNPJ e a razão social; null se não houver",
    )
    evidencias: SkipJsonSchema[list[dict[str, Any]]] = Field(default_factory=list, description=_EVIDENCIAS)
    divergencias: SkipJsonSchema[list[dict[str, Any]]] = Field(default_factory=list, description=_DIVERGENCIAS)

    # The values looked for in the document: label, kind ("numero": compared by digits; "nome"), and
    # whether a value the document does not hold keeps the contract from approval.
    campos_no_documento: ClassVar[dict[str, tuple[str, str, bool]]] = {
        "cnpj": ("CNPJ", "numero", True),
        "razao_social": ("Razão social", "nome", True),
    }


class ExtracaoEmpresas(_Registro):
    """Empresas que são partes do contrato (contratantes, contratadas, intervenientes, fiadoras)."""

    empresas: list[EmpresaExtraida] = Field(
        default_factory=list,
        description="Todas as empresas mencionadas no contrato, na ordem em que aparecem",
    )


class AssinaturaExtraida(_Registro):
    """Pessoa física que assina o contrato ou representa uma das partes."""

    nome_signatario: Optional[str] = Field(
        default=None, description="Nome completo da pessoa física; null se ilegível"
    )
    cargo: Optional[str] = Field(
        default=None,
        description="Cargo ou qualificação (sócio, diretor, procurador, testemunha etc.); null se ausente",
    )
    cpf: Optional[str] = Field(
        default=None, description="CPF da pessoa, se informado; null caso contrário"
    )
    empresa_representada: Optional[str] = Field(
        default=None,
        description="Razão social da empresa que a pessoa representa; null se não representa empresa",
    )
    cnpj_empresa: Optional[str] = Field(
        default=None,
        description="CNPJ da empresa representada, se informado; null caso contrário",
    )
    tipo_assinatura: Optional[str] = Field(
        default=None,
        description="Forma da assinatura: digital, eletrônica, manuscrita, testemunha ou representante; null se não indicada",
    )
    trecho: Optional[str] = Field(
        default=None,
        description="Trecho do contrato copiado literalmente, sem corrigir nada (até 200 caracteres), onde a pessoa "
                    "aparece com o nome (e o CPF, se houver); null se não houver",
    )
    evidencias: SkipJsonSchema[list[dict[str, Any]]] = Field(default_factory=list, description=_EVIDENCIAS)
    divergencias: SkipJsonSchema[list[dict[str, Any]]] = Field(default_factory=list, description=_DIVERGENCIAS)

    campos_no_documento: ClassVar[dict[str, tuple[str, str, bool]]] = {
        "nome_signatario": ("Signatário", "nome", True),
        "cpf": ("CPF", "numero", True),
        "cargo": ("Cargo", "nome", False),
        "empresa_representada": ("Empresa representada", "nome", False),
        "cnpj_empresa": ("CNPJ da empresa representada", "numero", True),
    }


class ExtracaoAssinaturas(_Registro):
    """Signatários, representantes legais e testemunhas do contrato."""

    assinaturas: list[AssinaturaExtraida] = Field(
        default_factory=list,
        description="Todas as pessoas físicas que assinam ou representam as partes",
    )


class ExtracaoDadosContrato(_Registro):
    """Dados gerais do contrato."""

    tipo_contrato: Optional[str] = Field(
        default=None,
        description="Tipo do contrato (prestação de serviços, locação, compra e venda etc.); null se não identificado",
    )
    objeto: Optional[str] = Field(
        default=None, description="Objeto do contrato, resumido em uma ou duas frases; null se ausente"
    )
    data_assinatura: Optional[str] = Field(
        default=None,
        description="Data de assinatura ou celebração, no formato AAAA-MM-DD quando possível; null se ausente",
    )
    vigencia: Optional[str] = Field(
        default=None,
        description="Prazo de vigência (duração ou datas de início e fim) como escrito; null se ausente",
    )
    valor: Optional[str] = Field(
        default=None,
        description="Valor do contrato com moeda e periodicidade, como escrito (ex.: 'R$ 10.000,00 mensais'); null se ausente",
    )
    foro: Optional[str] = Field(
        default=None, description="Foro eleito (comarca/cidade e UF); null se ausente"
    )


# ---------------------------------------------------------------------------
# What the checker establishes
# ---------------------------------------------------------------------------

STATUS_EMOJI: dict[str, str] = {
    "aprovado": "✅",
    "reprovado": "❌",
    "pendente": "⚠️",
    "nao_verificado": "➖",
}
_EMOJI_DESCONHECIDO = "❓"


class CampoVerificado(_Registro):
    """One verified field: what the contract says, what the registry says, and the verdict."""

    campo: Optional[str] = None
    status: Optional[str] = None
    mensagem: Optional[str] = None
    valor_contrato: Optional[str] = None
    valor_receita: Optional[str] = None

    @computed_field  # type: ignore[prop-decorator]
    @property
    def emoji(self) -> str:
        """Mark printed beside the field, following ``status``."""
        return STATUS_EMOJI.get(self.status, _EMOJI_DESCONHECIDO)  # type: ignore[arg-type]


class EmpresaVerificada(_Registro):
    """A contract company after its registry check."""

    cnpj: Optional[str] = None
    razao_social_contrato: Optional[str] = None
    razao_social_receita: Optional[str] = None
    papel_no_contrato: Optional[str] = None
    campos: list[CampoVerificado] = Field(default_factory=list)
    cnpj_encontrado: bool = False
    cnpj_buscado_por_nome: bool = False
    empresa_ativa: bool = False
    razao_social_confere: bool = False
    # Partner records come from outside services as they are: any keys,
    # null values included.
    socios: list[dict[str, Any]] = Field(default_factory=list)
    problemas: list[str] = Field(default_factory=list)
    # Where the contract's values of this company were read (see EmpresaExtraida.evidencias).
    evidencias: list[dict[str, Any]] = Field(default_factory=list)


class AssinaturaVerificada(_Registro):
    """A signatory after the check of signing power against the partner list."""

    nome_signatario: Optional[str] = None
    cargo: Optional[str] = None
    empresa_representada: Optional[str] = None
    cnpj_empresa: Optional[str] = None
    tipo_assinatura: Optional[str] = None
    campos: list[CampoVerificado] = Field(default_factory=list)
    tem_poder_assinatura: bool = False
    qualificacao_qsa: Optional[str] = None
    problemas: list[str] = Field(default_factory=list)
    # Where the contract's values of this signatory were read.
    evidencias: list[dict[str, Any]] = Field(default_factory=list)


class ClassificacaoLegitimidade(_Registro):
    """Outcome of one contract verification."""

    resultado_final: Optional[str] = None
    justificativa: Optional[str] = None
    campos_aprovados: list[str] = Field(default_factory=list)
    campos_reprovados: list[str] = Field(default_factory=list)
    campos_pendentes: list[str] = Field(default_factory=list)
    empresas: list[EmpresaVerificada] = Field(default_factory=list)
    assinaturas: list[AssinaturaVerificada] = Field(default_factory=list)
    dados_contrato: dict[str, Any] = Field(default_factory=dict)
