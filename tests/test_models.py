"""Record types: what the checker builds, what it reads back, and the answer schemas."""

import typing

import pytest
from pydantic import BaseModel, Field, ValidationError

from scrivane.schema import strict_json_schema
from scrivane_contract.models import (
    AssinaturaExtraida,
    AssinaturaVerificada,
    CampoVerificado,
    ClassificacaoLegitimidade,
    EmpresaExtraida,
    EmpresaVerificada,
    ExtracaoAssinaturas,
    ExtracaoDadosContrato,
    ExtracaoEmpresas,
)

ALL_RECORDS = [
    EmpresaExtraida,
    ExtracaoEmpresas,
    AssinaturaExtraida,
    ExtracaoAssinaturas,
    ExtracaoDadosContrato,
    CampoVerificado,
    EmpresaVerificada,
    AssinaturaVerificada,
    ClassificacaoLegitimidade,
]


class _Anexo(BaseModel):
    """An answer shape whose field names are also JSON Schema keywords."""

    title: typing.Optional[str] = Field(default=None, description="Título do anexo do contrato")
    default: typing.Optional[str] = Field(default=None, description="Cláusula de inadimplemento do contrato")


def _text_fields(model: type[BaseModel]) -> list[str]:
    return [name for name, f in model.model_fields.items() if f.annotation == typing.Optional[str]]


class TestExtractedRecords:
    def test_answer_lists_hold_exactly_the_keys_of_the_extracted_records(self):
        empresas = ExtracaoEmpresas(empresas=[{"cnpj": "11.222.333/0001-81", "razao_social": "ACME LTDA"}])
        assinaturas = ExtracaoAssinaturas(assinaturas=[{"nome_signatario": "Ana"}])
        for answer, key, record in ((empresas, "empresas", EmpresaExtraida), (assinaturas, "assinaturas", AssinaturaExtraida)):
            dumped = answer.model_dump()
            (item,) = dumped[key]
            assert set(item) == set(record.model_fields)
            # the checker builds the record back from the map, by keyword
            assert record(**item).model_dump() == item

    def test_checker_reads_the_documented_names(self):
        e = EmpresaExtraida(cnpj="1", razao_social="R", nome_fantasia="F", endereco="E", papel_no_contrato="contratante")
        assert (e.cnpj, e.razao_social, e.papel_no_contrato, e.endereco) == ("1", "R", "contratante", "E")
        a = AssinaturaExtraida(nome_signatario="N", cargo="C", empresa_representada="R", cnpj_empresa="1",
                               tipo_assinatura="digital", cpf="123")
        assert (a.nome_signatario, a.cargo, a.empresa_representada, a.cnpj_empresa, a.tipo_assinatura) == (
            "N", "C", "R", "1", "digital")

    def test_unknown_keys_and_missing_keys_from_the_model(self):
        e = EmpresaExtraida(cnpj=None, capital_social="10.000", inventado=[1, 2])
        assert e.model_dump() == {k: [] if k in ("evidencias", "divergencias") else None
                                  for k in EmpresaExtraida.model_fields}
        assert not hasattr(e, "inventado")

    def test_number_written_where_text_is_expected_becomes_text(self):
        assert EmpresaExtraida(cnpj=11222333000181).cnpj == "11222333000181"

    def test_contract_data_covers_type_object_date_term_value_and_venue(self):
        fields = set(ExtracaoDadosContrato.model_fields)
        assert {"tipo_contrato", "objeto", "vigencia", "valor", "foro"} <= fields
        assert any("data" in f for f in fields)
        assert ExtracaoDadosContrato().model_dump() == {f: None for f in fields}

    @pytest.mark.parametrize("model", [ExtracaoEmpresas, ExtracaoAssinaturas, ExtracaoDadosContrato, _Anexo])
    def test_answer_schemas_are_strict_and_described_in_portuguese(self, model):
        schema = strict_json_schema(model)
        assert list(schema["properties"]) == list(model.model_fields)  # every field is asked for
        objects = [schema, *schema.get("$defs", {}).values()]
        for obj in objects:
            assert obj["additionalProperties"] is False
            assert obj["required"] == list(obj["properties"])
            for name, prop in obj["properties"].items():
                assert "default" not in prop
                assert prop.get("description"), name
        text_props = [p for obj in objects for p in obj["properties"].values() if "anyOf" in p]
        assert text_props and all({"type": "null"} in p["anyOf"] for p in text_props)
        described = " ".join(p["description"] for obj in objects for p in obj["properties"].values())
        assert "contrato" in described or "empresa" in described


class TestVerifiedField:
    @pytest.mark.parametrize(
        "status, emoji",
        [("aprovado", "✅"), ("reprovado", "❌"), ("pendente", "⚠️"), ("nao_verificado", "➖"), ("outro", "❓"), (None, "❓")],
    )
    def test_emoji_follows_status(self, status, emoji):
        campo = CampoVerificado(campo="CNPJ", status=status, mensagem="m")
        assert campo.emoji == emoji
        assert campo.model_dump()["emoji"] == emoji

    def test_emoji_follows_a_status_changed_later_and_dump_round_trips(self):
        campo = CampoVerificado(campo="CNPJ", status="pendente", mensagem="m", valor_receita="x")
        campo.status = "aprovado"
        assert campo.emoji == "✅"
        dumped = campo.model_dump()
        assert CampoVerificado(**dumped) == campo
        assert dumped["valor_contrato"] is None


class TestVerifiedRecords:
    def test_company_not_found_short_form_gets_defaults(self):
        campo = CampoVerificado(campo="CNPJ", status="reprovado", mensagem="CNPJ não encontrado na Receita Federal",
                                valor_contrato="(não informado)", valor_receita=None)
        e = EmpresaVerificada(cnpj="", razao_social_contrato=None, papel_no_contrato=None,
                              campos=[campo], problemas=["CNPJ não encontrado"])
        assert e.campos[0] is campo
        assert (e.cnpj_encontrado, e.cnpj_buscado_por_nome, e.empresa_ativa, e.razao_social_confere) == (False,) * 4
        assert e.razao_social_receita is None and e.socios == []
        dumped = e.model_dump()
        assert isinstance(dumped["campos"][0], dict) and dumped["campos"][0]["emoji"] == "❌"
        assert dumped["problemas"] == ["CNPJ não encontrado"]

    def test_partner_records_keep_any_keys_and_nulls(self):
        socios = [{"nome": "ANA", "qualificacao": None, "cpf_representante": None, "data_entrada": "2020-01-01"}, {}]
        e = EmpresaVerificada(cnpj="11222333000181", socios=socios, cnpj_encontrado=True, empresa_ativa=True)
        assert e.model_dump()["socios"] == socios

    def test_unidentified_signatory_short_form(self):
        a = AssinaturaVerificada(
            nome_signatario="(não identificado)", tipo_assinatura=None,
            campos=[CampoVerificado(campo="Identificação", status="nao_verificado", mensagem="Signatário não identificado")],
            problemas=["Signatário não identificado"],
        )
        assert a.tem_poder_assinatura is False and a.qualificacao_qsa is None and a.cargo is None
        assert a.model_dump()["campos"][0]["emoji"] == "➖"

    def test_wrong_types_are_refused(self):
        with pytest.raises(ValidationError):
            EmpresaVerificada(campos=["não é um campo"])
        with pytest.raises(ValidationError):
            AssinaturaVerificada(problemas="texto solto")
        with pytest.raises(ValidationError):
            EmpresaVerificada(socios=["não é um mapa"])

    @pytest.mark.parametrize("model", ALL_RECORDS, ids=lambda m: m.__name__)
    def test_every_text_field_accepts_none_and_everything_has_a_default(self, model):
        empty = model()
        for name in _text_fields(model):
            assert getattr(model(**{name: None}), name) is None
            assert getattr(empty, name) is None
        # model_dump is a plain map, one entry per field
        assert set(model.model_fields) <= set(empty.model_dump())
