"""The printed report: _imprimir_relatorio, line by line."""

import pytest
from checker_helpers import Metrics, checker, lines, no_env_keys  # noqa: F401

from scrivane_contract.checker import ContractChecker
from scrivane_contract.models import AssinaturaVerificada, CampoVerificado, EmpresaVerificada

D = "=" * 60
S = "─" * 60


def report(chk, **kw):
    args = dict(resultado_final="APROVADO", justificativa="Todos os 0 campos verificados foram aprovados",
                campos_aprovados=[], campos_reprovados=[], campos_pendentes=[], empresas=[], assinaturas=[],
                dados_contrato={}, metricas=Metrics(12345, 0.0123456, 12.34))
    args.update(kw)
    return chk._imprimir_relatorio(**args)


def tail():
    return ["", S, "💰 MÉTRICAS", S, "   Tokens: 12,345", "   Custo: $0.0123", "   Tempo: 12.3s", "", D]


class TestLines:
    def test_empty_report(self, checker, capsys):
        assert report(checker) is None
        assert lines(capsys) == [
            "", D, "✅✅✅ RESULTADO FINAL: APROVADO ✅✅✅", D, "   Todos os 0 campos verificados foram aprovados",
            "", S, "📋 CAMPOS VERIFICADOS", S,
            "   ✅ Aprovados: 0", "   ❌ Reprovados: 0", "   ⚠️ Pendentes: 0",
            "", S, "🏢 EMPRESAS (0)", S,
            "", S, "✍️ ASSINATURAS (0)", S,
        ] + tail()

    @pytest.mark.parametrize("resultado, header", [
        ("REPROVADO", "❌❌❌ RESULTADO FINAL: REPROVADO ❌❌❌"),
        ("PENDENTE", "⚠️⚠️⚠️ RESULTADO FINAL: PENDENTE ⚠️⚠️⚠️"),
        ("ERRO", "❓❓❓ RESULTADO FINAL: ERRO ❓❓❓"),
        ("", "❓❓❓ RESULTADO FINAL:  ❓❓❓"),
    ])
    def test_result_header(self, checker, capsys, resultado, header):
        report(checker, resultado_final=resultado)
        assert lines(capsys)[2] == header

    def test_full_report(self, checker, capsys):
        ok = CampoVerificado(campo="CNPJ", status="aprovado", mensagem="CNPJ encontrado")
        bad = CampoVerificado(campo="Situação Cadastral", status="reprovado", mensagem="Empresa BAIXADA")
        pend = CampoVerificado(campo="Razão Social", status="pendente", mensagem="Divergente")
        other = CampoVerificado(campo="Identificação", status="nao_verificado", mensagem="Signatário não identificado")
        empresas = [
            EmpresaVerificada(cnpj="11.222.333/0001-81", razao_social_receita="ACME LTDA", razao_social_contrato="Acme",
                              empresa_ativa=True, campos=[ok, pend]),
            EmpresaVerificada(cnpj="99.888.777/0001-66", razao_social_receita="", razao_social_contrato="Beta",
                              cnpj_buscado_por_nome=True, campos=[bad]),
            EmpresaVerificada(cnpj=None, razao_social_contrato=""),
        ]
        assinaturas = [
            AssinaturaVerificada(nome_signatario="Maria", cargo="Diretora", tem_poder_assinatura=True, campos=[ok]),
            AssinaturaVerificada(nome_signatario="", cargo="", campos=[other]),
            AssinaturaVerificada(nome_signatario=None, cargo=None),
        ]
        report(checker, resultado_final="REPROVADO", justificativa="1 campo(s) reprovado(s)",
               campos_aprovados=["CNPJ - ACME LTDA", 7], campos_reprovados=["Situação Cadastral - Beta"],
               campos_pendentes=["Razão Social - ACME LTDA"], empresas=empresas, assinaturas=assinaturas,
               dados_contrato={"x": 1})
        assert lines(capsys) == [
            "", D, "❌❌❌ RESULTADO FINAL: REPROVADO ❌❌❌", D, "   1 campo(s) reprovado(s)",
            "", S, "📋 CAMPOS VERIFICADOS", S,
            "   ✅ Aprovados: 2", "   ❌ Reprovados: 1", "   ⚠️ Pendentes: 1",
            "", "   ✅ APROVADOS:", "      • CNPJ - ACME LTDA", "      • 7",
            "", "   ❌ REPROVADOS:", "      • Situação Cadastral - Beta",
            "", "   ⚠️ PENDENTES:", "      • Razão Social - ACME LTDA",
            "", S, "🏢 EMPRESAS (3)", S,
            "", "   ✅ ACME LTDA", "      CNPJ: 11.222.333/0001-81",
            "      ✅ CNPJ: CNPJ encontrado", "      ⚠️ Razão Social: Divergente",
            "", "   ❌ Beta", "      CNPJ: 99.888.777/0001-66 (encontrado por busca)",
            "      ❌ Situação Cadastral: Empresa BAIXADA",
            "", "   ❌ N/A", "      CNPJ: N/A",
            "", S, "✍️ ASSINATURAS (3)", S,
            "", "   ✅ Maria", "      Cargo: Diretora", "      ✅ CNPJ: CNPJ encontrado",
            "", "   ❌ ", "      ➖ Identificação: Signatário não identificado",
            "", "   ❌ None",
        ] + tail()

    def test_cnpj_line_written_in_two_pieces(self, checker, monkeypatch):
        import io
        import sys

        class Writes(io.StringIO):
            def __init__(self):
                super().__init__()
                self.parts = []

            def write(self, s):
                self.parts.append(s)
                return super().write(s)
        out = Writes()
        monkeypatch.setattr(sys, "stdout", out)
        report(checker, empresas=[EmpresaVerificada(cnpj="1", cnpj_buscado_por_nome=True)])
        parts = [p for p in out.parts if p]
        i = parts.index("      CNPJ: 1")
        assert parts[i:i + 3] == ["      CNPJ: 1", " (encontrado por busca)", "\n"]


class TestArguments:
    NAMES = ["resultado_final", "justificativa", "campos_aprovados", "campos_reprovados", "campos_pendentes",
             "empresas", "assinaturas", "dados_contrato"]
    EXPECTED = ["str", "str", "list", "list", "list", "list", "list", "dict"]

    @pytest.mark.parametrize("i", range(8))
    def test_exact_types_before_any_output(self, checker, capsys, i):
        wrong = (1, "x")[i >= 2] if i != 7 else []
        with pytest.raises(TypeError) as info:
            report(checker, **{self.NAMES[i]: wrong})
        assert str(info.value) == (f"Argument '{self.NAMES[i]}' has incorrect type "
                                   f"(expected {self.EXPECTED[i]}, got {type(wrong).__name__})")
        with pytest.raises(TypeError, match=f"'{self.NAMES[i]}'.*got NoneType"):
            report(checker, **{self.NAMES[i]: None})
        assert capsys.readouterr().out == ""

    def test_metadata(self):
        f = ContractChecker._imprimir_relatorio
        assert f.__doc__ == "Imprime relatório detalhado."
        assert f.__qualname__ == "ContractChecker._imprimir_relatorio"
        assert f.__annotations__ == {
            "resultado_final": "str", "justificativa": "str", "campos_aprovados": "List[str]",
            "campos_reprovados": "List[str]", "campos_pendentes": "List[str]", "empresas": "List[EmpresaVerificada]",
            "assinaturas": "List[AssinaturaVerificada]", "dados_contrato": "dict"}

    def test_bad_metrics_fail_after_the_printed_lines(self, checker, capsys):
        with pytest.raises(ValueError, match="Cannot specify ',' with 's'"):
            report(checker, metricas=Metrics("muitos", 0.0, 0.0))
        assert lines(capsys)[-4:] == ["", S, "💰 MÉTRICAS", S]
        with pytest.raises(AttributeError, match="cost_usd"):
            report(checker, metricas=type("M", (), {"tokens": 1})())
        assert lines(capsys)[-1] == "   Tokens: 1"
