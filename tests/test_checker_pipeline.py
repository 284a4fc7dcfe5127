"""The verification pipeline: verificar and verificar_contrato, with a fake engine and registry."""

from types import SimpleNamespace

import pytest
from checker_helpers import (FakeEngine, Metrics, checker, dados, lines, no_env_keys, quiet,  # noqa: F401
                             registry_fake, socio, with_engine)

import scrivane
import scrivane_contract.checker as checker_mod
from scrivane_contract.checker import ContractChecker, verificar_contrato

CNPJ = "11222333000181"
HEADER = [" ", "=" * 60, "🔍 VERIFICAÇÃO DE LEGITIMIDADE DE CONTRATO", "📄 Arquivo: contrato.pdf", " " + "=" * 60]
KEYS = ["resultado_final", "justificativa", "campos_aprovados", "campos_reprovados", "campos_pendentes",
        "total_campos", "total_aprovados", "total_reprovados", "total_pendentes", "empresas", "assinaturas",
        "dados_contrato", "metricas"]
DADOS = {"tipo_contrato": "Prestação de serviços", "objeto": "Limpeza"}


@pytest.fixture
def contrato(tmp_path):
    path = tmp_path / "contrato.pdf"
    path.write_bytes(b"%PDF-1.4\n")
    return path


def companies_and_people(registry_fake):
    registry_fake.add(dados(CNPJ, "ACME COMERCIO LTDA", socios=["MARIA DA SILVA"]))
    registry_fake.add(dados("99888777000166", "BETA SERVICOS SA", situacao="BAIXADA"), searchable_as="Beta Ltda")
    empresas = [{"cnpj": "11.222.333/0001-81", "razao_social": "Acme Comércio Ltda", "papel_no_contrato": "contratante"},
                {"cnpj": None, "razao_social": "Beta Ltda", "papel_no_contrato": "contratada", "nome_fantasia": "B"}]
    assinaturas = [{"nome_signatario": "Maria da Silva", "cargo": "Sócia", "cnpj_empresa": CNPJ},
                   {"nome_signatario": "Rui Costa", "empresa_representada": "BETA LTDA"},
                   {"nome_signatario": "N/A"}]
    return FakeEngine(empresas, assinaturas, DADOS)


class TestPipeline:
    def test_missing_file(self, checker, tmp_path, capsys):
        missing = tmp_path / "nada.pdf"
        with pytest.raises(FileNotFoundError) as info:
            checker.verificar(str(missing))
        assert str(info.value) == f"Arquivo não encontrado: {missing}"
        assert capsys.readouterr().out == ""

    def test_unavailable_engine_gives_the_reduced_record(self, checker, contrato, monkeypatch, capsys, caplog):
        monkeypatch.setattr(type(checker._auth), "is_scrivane_available", property(lambda s: False))
        caplog.set_level("WARNING", logger="scrivane_contract.checker")
        for _ in range(2):
            r = checker.verificar(contrato)
            assert r == {"resultado_final": "PENDENTE",
                         "justificativa": "Scrivane não disponível. Instale com: pip install scrivane",
                         "campos_aprovados": [], "campos_reprovados": [],
                         "campos_pendentes": ["Extração de dados não disponível"], "empresas": [], "assinaturas": []}
            assert list(r) == ["resultado_final", "justificativa", "campos_aprovados", "campos_reprovados",
                               "campos_pendentes", "empresas", "assinaturas"]
        assert lines(capsys) == HEADER + ["⚠️ Scrivane não disponível. Instale com: pip install scrivane"] + HEADER
        assert [(r.name, r.levelname, r.getMessage()) for r in caplog.records] == [
            ("scrivane_contract.checker", "WARNING", "Scrivane não disponível. Instale com: pip install scrivane")]

    def test_full_run(self, checker, contrato, registry_fake, capsys):
        engine = with_engine(checker, companies_and_people(registry_fake))
        r = checker.verificar(contrato)
        assert engine.processed == [str(contrato)]
        assert list(r) == KEYS
        assert r["campos_aprovados"] == ["CNPJ - ACME COMERCIO LTDA", "Situação Cadastral - ACME COMERCIO LTDA",
                                         "Razão Social - ACME COMERCIO LTDA", "CNPJ - BETA SERVICOS SA",
                                         "Poder de Assinatura - Maria da Silva"]
        assert r["campos_reprovados"] == ["Situação Cadastral - BETA SERVICOS SA", "Poder de Assinatura - Rui Costa"]
        assert r["campos_pendentes"] == ["Razão Social - BETA SERVICOS SA"]
        assert (r["resultado_final"], r["justificativa"]) == ("REPROVADO", "2 campo(s) reprovado(s)")
        assert [r[k] for k in KEYS[5:9]] == [8, 5, 2, 1]
        assert [e["cnpj"] for e in r["empresas"]] == ["11.222.333/0001-81", "99.888.777/0001-66"]
        assert r["empresas"][1]["cnpj_buscado_por_nome"] is True
        assert [a["nome_signatario"] for a in r["assinaturas"]] == ["Maria da Silva", "Rui Costa", "(não identificado)"]
        assert r["dados_contrato"] is engine.answers["dados_contrato"].raw_result
        assert r["metricas"] == {"tokens": 1234, "custo_usd": 0.0123456, "tempo_segundos": 2.25}
        out = lines(capsys)
        assert out[:22] == HEADER + [
            " ", "📤 Extraindo dados do contrato...", "🏢 Empresas extraídas: 2", "✍️ Assinaturas extraídas: 3",
            " ", "🔍 Validando empresas na Receita Federal...",
            "🏢 ", "--- Verificando: Acme Comércio Ltda ---", "🔍 Consultando CNPJ 11.222.333/0001-81...",
            "🏢 ", "--- Verificando: Beta Ltda ---", "🔎 Buscando por nome: Beta Ltda...", " ✅ Encontrado: 99.888.777/0001-66",
            "✍️ ", "--- Verificando Assinaturas ---", "👤 Verificando: Maria da Silva",
            " ✅ Maria da Silva TEM PODER (Sócio-Administrador)"]
        assert out[22:24] == ["👤 Verificando: Rui Costa", " ❌ Rui Costa NÃO TEM PODER"]
        assert out[24:27] == ["", "=" * 60, "❌❌❌ RESULTADO FINAL: REPROVADO ❌❌❌"]
        assert out[-5:] == ["   Tokens: 1,234", "   Custo: $0.0123", "   Tempo: 2.2s", "", "=" * 60]

    def test_quiet_run_prints_nothing_and_returns_the_same(self, checker, quiet, contrato, registry_fake, capsys):
        with_engine(checker, companies_and_people(registry_fake))
        with_engine(quiet, companies_and_people(registry_fake))
        loud = checker.verificar(contrato)
        assert capsys.readouterr().out.count("RESULTADO FINAL") == 1
        assert quiet.verificar(str(contrato)) == loud
        assert capsys.readouterr().out == ""

    @pytest.mark.parametrize("engine, justificativa", [
        (FakeEngine(), "Extração incompleta: sem resposta para empresas e assinaturas"),
        (FakeEngine([], None, DADOS), "Extração incompleta: sem resposta para assinaturas"),
        (FakeEngine(None, [], DADOS), "Extração incompleta: sem resposta para empresas"),
        (FakeEngine({}, [], {}), "Nenhum campo verificado: nenhuma empresa ou signatário identificado"),
        (FakeEngine([], [{"nome_signatario": "N/A"}], metrics=Metrics(0, 0.0, 0.0)),
         "Nenhum campo verificado: nenhuma empresa ou signatário identificado"),
    ], ids=["no-answers", "no-signatories-answer", "no-companies-answer", "empty-lists", "unidentified-signatory"])
    def test_nothing_verified_is_never_approved(self, quiet, contrato, registry_fake, engine, justificativa):
        with_engine(quiet, engine)
        r = quiet.verificar(contrato)
        assert (r["resultado_final"], r["justificativa"], r["total_campos"]) == ("PENDENTE", justificativa, 0)
        assert list(r) == KEYS and r["campos_pendentes"] == [] and registry_fake.calls == []

    @pytest.mark.parametrize("raw", [{}, None, {"outra_chave": []}])
    def test_an_empty_raw_result_is_a_missing_answer(self, quiet, contrato, registry_fake, raw):
        engine = with_engine(quiet, FakeEngine([], [], DADOS))
        engine.answers["empresas"].raw_result = raw
        r = quiet.verificar(contrato)
        assert r["justificativa"] == ("Nenhum campo verificado: nenhuma empresa ou signatário identificado" if raw
                                      else "Extração incompleta: sem resposta para empresas")

    @pytest.mark.parametrize("cnpj, razao, esperado", [
        (CNPJ, "ACME COMERCIO LTDA", ("PENDENTE", "Extração incompleta: sem resposta para assinaturas")),
        (CNPJ, "Zeta Ltda", ("PENDENTE", "1 campo(s) requer(em) análise manual")),
        ("99888777000166", "Zeta Ltda", ("REPROVADO", "1 campo(s) reprovado(s)")),
    ], ids=["approved-companies-alone", "pending-wins", "rejected-wins"])
    def test_missing_signatories_answer_against_company_fields(self, quiet, contrato, registry_fake, cnpj, razao,
                                                               esperado):
        registry_fake.add(dados(CNPJ, "ACME COMERCIO LTDA"))
        with_engine(quiet, FakeEngine([{"cnpj": cnpj, "razao_social": razao}], None, DADOS))
        r = quiet.verificar(contrato)
        assert (r["resultado_final"], r["justificativa"]) == esperado

    def test_directory_goes_to_the_engine(self, quiet, tmp_path):
        engine = with_engine(quiet, FakeEngine())
        quiet.verificar(tmp_path)
        assert engine.processed == [str(tmp_path)]


def campo(status, nome="X"):
    return SimpleNamespace(campo=nome, status=status)


class TestClassification:
    @pytest.fixture
    def run(self, quiet, contrato, monkeypatch):
        with_engine(quiet, FakeEngine([], []))

        def go(empresas, assinaturas=()):
            monkeypatch.setattr(quiet, "_validar_empresas", lambda e: (list(empresas), {}))
            monkeypatch.setattr(quiet, "_validar_assinaturas", lambda a, c: list(assinaturas))
            monkeypatch.setattr(checker_mod, "ContractChecker", None)  # the pipeline never needs it
            return quiet.verificar(contrato)
        return go

    @staticmethod
    def emp(*campos, receita="R", contrato="C", cnpj="1"):
        return SimpleNamespace(razao_social_receita=receita, razao_social_contrato=contrato, cnpj=cnpj,
                               campos=list(campos), model_dump=lambda: {"e": 1})

    def test_rules(self, run):
        r = run([self.emp(campo("aprovado"), campo("reprovado"), campo("pendente"))])
        assert (r["resultado_final"], r["justificativa"]) == ("REPROVADO", "1 campo(s) reprovado(s)")
        r = run([self.emp(campo("pendente"), campo("aprovado"), campo("pendente"), campo("pendente"))])
        assert (r["resultado_final"], r["justificativa"]) == ("PENDENTE", "3 campo(s) requer(em) análise manual")
        signatario = SimpleNamespace(nome_signatario="Ana", cargo="Sócia", tipo_assinatura=None, campos=[],
                                     model_dump=dict)
        r = run([self.emp(campo("aprovado"), campo("nao_verificado"), campo("Aprovado"), campo(None))], [signatario])
        assert (r["resultado_final"], r["justificativa"]) == ("APROVADO", "Todos os 1 campos verificados foram aprovados")
        assert (r["total_campos"], r["campos_aprovados"]) == (1, ["X - R"])

    @staticmethod
    def sig(nome, cargo=None, tipo=None, *campos):
        return SimpleNamespace(nome_signatario=nome, cargo=cargo, tipo_assinatura=tipo, campos=list(campos),
                               model_dump=dict)

    @pytest.mark.parametrize("assinaturas", [
        (), ((None,),), (("N/A",),), (("(não identificado)",),), (("Ana Souza", "Testemunha"),),
        (("Ana Souza", None, "testemunha"), ("Rui", "TESTEMUNHA 2"))], ids=["none", "null", "n/a", "unidentified",
                                                                          "witness", "witnesses"])
    def test_companies_without_a_signatory_are_pending(self, run, assinaturas):
        r = run([self.emp(campo("aprovado"))], [self.sig(*a) for a in assinaturas])
        assert (r["resultado_final"], r["justificativa"]) == ("PENDENTE", "1 campo(s) requer(em) análise manual")
        assert r["campos_pendentes"] == ["Signatário - nenhum signatário identificado"]
        assert (r["total_campos"], r["total_aprovados"], r["total_pendentes"]) == (2, 1, 1)

    def test_the_no_signatory_entry_leaves_other_verdicts_alone(self, run):
        r = run([self.emp(campo("aprovado"), campo("reprovado"))])
        assert (r["resultado_final"], r["justificativa"], r["campos_pendentes"]) == (
            "REPROVADO", "1 campo(s) reprovado(s)", [])
        r = run([self.emp(campo("pendente"))], [self.sig("Ana", "Testemunha")])
        assert (r["justificativa"], r["campos_pendentes"]) == ("1 campo(s) requer(em) análise manual", ["X - R"])
        r = run([], [self.sig("Ana", "Sócia", None, campo("aprovado"))])  # a signatory and no company
        assert (r["resultado_final"], r["campos_pendentes"]) == ("APROVADO", [])
        r = run([])
        assert r["justificativa"] == "Nenhum campo verificado: nenhuma empresa ou signatário identificado"

    def test_labels(self, run):
        sig = SimpleNamespace(nome_signatario=None, campos=[campo("pendente", "Poder")], model_dump=dict)
        r = run([self.emp(campo("aprovado"), receita=""), self.emp(campo("aprovado"), receita=None, contrato=""),
                 self.emp(campo("aprovado"), receita="", contrato=None, cnpj=""),
                 self.emp(campo("aprovado", 5), receita="", contrato="", cnpj=None)], [sig])
        assert r["campos_aprovados"] == ["X - C", "X - 1", "X - ", "5 - None"]
        assert r["campos_pendentes"] == ["Poder - None"] and r["assinaturas"] == [{}]

    def test_validation_result_must_be_a_pair(self, quiet, contrato, monkeypatch):
        with_engine(quiet, FakeEngine())
        monkeypatch.setattr(quiet, "_validar_empresas", lambda e: ([], {}, 1))
        with pytest.raises(ValueError, match=r"^too many values to unpack \(expected 2\)$"):
            quiet.verificar(contrato)

    def test_report_gets_the_objects(self, checker, contrato, registry_fake, monkeypatch):
        engine = with_engine(checker, companies_and_people(registry_fake))
        seen = []
        monkeypatch.setattr(checker, "_imprimir_relatorio", lambda **kw: seen.append(kw))
        r = checker.verificar(contrato)
        [kw] = seen
        assert list(kw) == ["resultado_final", "justificativa", "campos_aprovados", "campos_reprovados",
                            "campos_pendentes", "empresas", "assinaturas", "dados_contrato", "metricas"]
        assert kw["metricas"] is engine.metrics and kw["dados_contrato"] is r["dados_contrato"]
        assert [e.model_dump() for e in kw["empresas"]] == r["empresas"]

    def test_engine_errors_reach_the_caller(self, quiet, contrato):
        engine = with_engine(quiet, FakeEngine())
        engine.process = lambda path: (_ for _ in ()).throw(TimeoutError("modelo lento"))
        with pytest.raises(TimeoutError, match="modelo lento"):
            quiet.verificar(contrato)
        with_engine(quiet, FakeEngine(empresas=["não é um mapa"]))
        with pytest.raises(TypeError, match=r"^scrivane_contract.models.EmpresaExtraida\(\) argument after \*\* "
                                            r"must be a mapping, not str$"):
            quiet.verificar(contrato)


class TestOneCall:
    def test_builds_a_checker_with_two_arguments(self, contrato, registry_fake, monkeypatch, no_env_keys, capsys):
        engine = companies_and_people(registry_fake)
        monkeypatch.setattr(scrivane, "Scrivane", engine)
        seen = []

        class Recording(ContractChecker):
            def __init__(self, *args, **kw):
                seen.append((args, kw))
                super().__init__(*args, **kw)
        monkeypatch.setattr(checker_mod, "ContractChecker", Recording)
        r = verificar_contrato(contrato, "sk-1")
        assert seen == [((), {"openai_api_key": "sk-1", "verbose": True})]
        assert engine.kwargs == {"provider": "openai", "openai_api_key": "sk-1", "model": "gpt-4o", "verbose": True}
        assert [q.config.id for q in engine.questions] == ["empresas", "assinaturas", "dados_contrato"]
        assert r["resultado_final"] == "REPROVADO"
        assert "❌❌❌ RESULTADO FINAL: REPROVADO ❌❌❌" in lines(capsys)

    def test_errors(self, contrato, no_env_keys):
        with pytest.raises(TypeError, match=r"^Argument 'openai_api_key' has incorrect type \(expected str, got int\)$"):
            verificar_contrato(contrato, 1)
        with pytest.raises(ValueError, match="OpenAI API key não configurada"):
            verificar_contrato(contrato)
        with pytest.raises(FileNotFoundError, match="Arquivo não encontrado: /nao/existe.pdf"):
            verificar_contrato("/nao/existe.pdf", "sk", verbose=0)


class TestTwin:
    """Whole verifications against the plain-Python twin, null registry values included."""

    @pytest.mark.parametrize("variant", ["plain", "nulls", "by-name", "empty-registry", "no-signatories-answer",
                                         "nothing-extracted", "only-a-witness"])
    def test_same_result_and_progress_lines(self, no_env_keys, contrato, registry_fake, capsys, variant):
        import reference_checker as ref
        engine = companies_and_people(registry_fake)
        if variant == "nulls":
            for rec in registry_fake.by_cnpj.values():
                rec.update(situacao=None, razao_social=None)
                rec["socios"] = [socio(None), socio("RUI COSTA", nome_representante=None)]
        elif variant == "by-name":
            registry_fake.by_name["Acme Comércio Ltda"] = registry_fake.by_cnpj.pop(CNPJ)
        elif variant == "empty-registry":
            registry_fake.by_cnpj.clear()
            registry_fake.by_name.clear()
        elif variant == "no-signatories-answer":
            del engine.answers["assinaturas"]
            del engine.answers["empresas"].raw_result["empresas"][1]  # the company left is approved
        elif variant == "only-a-witness":
            engine.answers["assinaturas"].raw_result["assinaturas"] = [{"nome_signatario": "Rui Costa",
                                                                        "cargo": "Testemunha"}]
            del engine.answers["empresas"].raw_result["empresas"][1]
        elif variant == "nothing-extracted":
            engine.answers["empresas"].raw_result["empresas"] = []
            engine.answers["assinaturas"].raw_result["assinaturas"] = []
        ref.use(consultar_cnpj=registry_fake.consultar, buscar_cnpj_por_nome=registry_fake.buscar)
        try:
            ours = ContractChecker(openai_api_key="k", verbose=True)
            with_engine(ours, engine)
            reports = []
            ours._imprimir_relatorio = lambda **kw: reports.append(1)
            got = ours.verificar(contrato)
            ours_lines = lines(capsys)
            expected = ref.RefChecker(engine, verbose=True).verificar(contrato)
            assert got == expected and reports == [1]
            if variant == "no-signatories-answer":
                assert got["justificativa"] == "Extração incompleta: sem resposta para assinaturas"
            if variant == "only-a-witness":
                assert got["campos_pendentes"] == ["Signatário - nenhum signatário identificado"]
            assert ours_lines == lines(capsys)
        finally:
            from scrivane_contract import cnpj
            ref.use(consultar_cnpj=cnpj.consultar_cnpj, buscar_cnpj_por_nome=cnpj.buscar_cnpj_por_nome)
