"""Engine set-up: _init_scrivane and the three questions of _setup_questions."""

import pytest
from checker_helpers import checker, lines, no_env_keys, quiet  # noqa: F401

import scrivane
import scrivane_contract.checker as checker_mod
from scrivane_contract import models

SYSTEM_EMPRESAS = "\n".join([
    "Você é um especialista em análise de contratos brasileiros.",
    "Extraia TODAS as empresas mencionadas com CNPJ, razão social e papel no contrato.",
    "",
    "REGRAS:",
    "1. CNPJ deve ter 14 dígitos (com ou sem formatação)",
    "2. Identifique claramente: contratante (quem paga) vs contratada (quem presta serviço)",
    "3. Extraia TODAS as empresas, incluindo intervenientes e fiadoras",
])
USER_EMPRESAS = "\n".join([
    "Analise o contrato e extraia todas as empresas:", "", "{texto}", "",
    "Para cada empresa extraia: CNPJ, razão social, nome fantasia, endereço e papel no contrato.",
])
SYSTEM_ASSINATURAS = "\n".join([
    "Você é um especialista em análise de contratos.",
    "Extraia TODAS as pessoas físicas que assinaram ou são representantes.",
    "",
    "ONDE PROCURAR:",
    "1. Bloco de assinaturas no final",
    "2. Cláusula de representação legal",
    "3. Qualificação das partes",
    "4. Cláusula de NOTIFICAÇÕES",
    "5. Assinaturas digitais",
    "6. Testemunhas",
])
USER_ASSINATURAS = "\n".join([
    "Extraia todas as pessoas físicas mencionadas como representantes:", "", "{texto}", "",
    "Para cada pessoa extraia: nome completo, cargo, CPF (se houver), empresa que representa.",
])
SYSTEM_DADOS = "Você é um especialista em análise de contratos.\nExtraia os dados gerais do contrato."
USER_DADOS = "\n".join([
    "Extraia os dados gerais do contrato:", "", "{texto}", "",
    "Extraia: tipo de contrato, objeto, data, vigência, valor, foro.",
])

EXPECTED = [
    ("empresas", "Empresas do Contrato", "empresas", SYSTEM_EMPRESAS, USER_EMPRESAS,
     ["cnpj", "contratante", "contratada", "inscrita", "razão social", "ltda", "s/a"], models.ExtracaoEmpresas),
    ("assinaturas", "Assinaturas do Contrato", "assinaturas", SYSTEM_ASSINATURAS, USER_ASSINATURAS,
     ["assinatura", "assinado", "certificado", "representante", "testemunha", "cpf"], models.ExtracaoAssinaturas),
    ("dados_contrato", "Dados do Contrato", "dados_contrato", SYSTEM_DADOS, USER_DADOS,
     ["contrato", "objeto", "vigência", "valor", "cláusula", "foro"], models.ExtracaoDadosContrato),
]


def shape(question):
    c = question.config
    return (c.id, c.name, c.tag, question.system_prompt, question.user_prompt, question.keywords,
            question.response_model)


class Engine:
    """Stands in for scrivane.Scrivane: keeps its keyword arguments and questions."""

    built = []
    fail_on = None

    def __init__(self, **kwargs):
        self.kwargs = kwargs
        self.questions = []
        Engine.built.append(self)

    def add_question(self, q):
        if len(self.questions) + 1 == Engine.fail_on:
            raise ValueError("pergunta recusada")
        self.questions.append(q)
        return "ignored"


@pytest.fixture
def engine(monkeypatch):
    Engine.built, Engine.fail_on = [], None
    monkeypatch.setattr(scrivane, "Scrivane", Engine)
    return Engine


class TestPrompts:
    def test_lengths(self):
        texts = [SYSTEM_EMPRESAS, USER_EMPRESAS, SYSTEM_ASSINATURAS, USER_ASSINATURAS, SYSTEM_DADOS, USER_DADOS]
        assert [len(t) for t in texts] == [355, 149, 295, 164, 84, 110]
        assert [len(t.encode()) for t in texts] == [363, 151, 308, 165, 87, 111]

    def test_real_engine_gets_three_questions_unfilled(self, checker):
        assert checker._init_scrivane() is True
        engine = checker._client
        assert type(engine) is scrivane.Scrivane
        assert (engine.model, engine.verbose) == ("gpt-4o", True)
        assert [shape(q) for q in engine.questions] == EXPECTED


class TestInit:
    def test_success_once(self, checker, engine, capsys):
        checker.model = "gpt-x"
        assert checker._init_scrivane() is True
        assert checker._scrivane_available is True and checker._client is engine.built[0]
        assert engine.built[0].kwargs == {"provider": "openai", "openai_api_key": "sk-test", "model": "gpt-x",
                                          "verbose": True}
        assert [shape(q) for q in engine.built[0].questions] == EXPECTED
        assert checker._init_scrivane() is True and len(engine.built) == 1
        assert capsys.readouterr().out == ""

    def test_model_and_verbose_override_the_map(self, quiet, engine, monkeypatch):
        given = {"provider": "openai", "model": "x", "verbose": "y", "extra": 1}
        monkeypatch.setattr(quiet._auth, "get_scrivane_kwargs", lambda: given)
        assert quiet._init_scrivane() is True
        assert engine.built[0].kwargs == {"provider": "openai", "model": "gpt-4o", "verbose": False, "extra": 1}
        assert given["model"] == "gpt-4o"  # written into that very map

    def test_unavailable_library(self, checker, engine, monkeypatch, capsys):
        calls = []
        monkeypatch.setattr(type(checker._auth), "is_scrivane_available", property(lambda s: calls.append(1) or 0))
        assert checker._init_scrivane() is False
        assert checker._init_scrivane() is False
        assert calls == [1] and engine.built == []
        assert lines(capsys) == ["⚠️ Scrivane não disponível. Instale com: pip install scrivane"]

    @pytest.mark.parametrize("breakage, message", [
        ("engine", "Erro ao inicializar Scrivane: motor quebrado"),
        ("class", "Erro ao inicializar Scrivane: cannot import name 'Scrivane' from 'scrivane' ({file})"),
        ("map", "Erro ao inicializar Scrivane: list indices must be integers or slices, not str"),
        ("not-a-mapping", "Erro ao inicializar Scrivane: test_checker_questions.Engine() argument after ** "
                          "must be a mapping, not Weird"),
    ])
    def test_failures_are_logged_and_stored(self, checker, engine, monkeypatch, capsys, breakage, message):
        kwargs_calls = []
        real = checker._auth.get_scrivane_kwargs

        def kwargs():
            kwargs_calls.append(1)
            return real()
        monkeypatch.setattr(checker._auth, "get_scrivane_kwargs", kwargs)
        if breakage == "engine":
            def broken(**kw):
                raise RuntimeError("motor quebrado")
            monkeypatch.setattr(scrivane, "Scrivane", broken)
        elif breakage == "class":
            monkeypatch.delattr(scrivane, "Scrivane")
        elif breakage == "map":
            monkeypatch.setattr(checker._auth, "get_scrivane_kwargs", lambda: kwargs_calls.append(1) or [])
        else:
            class Weird(int):
                def __setitem__(self, k, v):
                    pass
            monkeypatch.setattr(checker._auth, "get_scrivane_kwargs", lambda: kwargs_calls.append(1) or Weird())
        assert checker._init_scrivane() is False
        assert checker._init_scrivane() is False
        assert kwargs_calls == ([] if breakage == "class" else [1]) and checker._scrivane_available is False
        assert lines(capsys) == ["❌ " + message.format(file=scrivane.__file__)]

    def test_second_question_refused(self, checker, engine, capsys):
        engine.fail_on = 2
        assert checker._init_scrivane() is False
        assert checker._client is engine.built[0]
        assert [q.config.id for q in checker._client.questions] == ["empresas"]
        assert lines(capsys) == ["❌ Erro ao inicializar Scrivane: pergunta recusada"]

    def test_interrupts_and_availability_errors_pass_through(self, checker, monkeypatch):
        def interrupted(**kw):
            raise KeyboardInterrupt
        monkeypatch.setattr(scrivane, "Scrivane", interrupted)
        with pytest.raises(KeyboardInterrupt):
            checker._init_scrivane()
        assert checker._scrivane_available is None

        def broken(self):
            raise OSError("sem disco")
        monkeypatch.setattr(type(checker._auth), "is_scrivane_available", property(broken))
        with pytest.raises(OSError, match="sem disco"):
            checker._init_scrivane()
        assert checker._scrivane_available is None

    def test_stored_outcome_is_returned_unchanged(self, checker):
        checker._scrivane_available = "já decidido"
        assert checker._init_scrivane() == "já decidido"

    def test_response_models_read_from_the_module(self, checker, engine, monkeypatch):
        class Outra(models.ExtracaoEmpresas):
            pass
        monkeypatch.setattr(checker_mod, "ExtracaoEmpresas", Outra)
        checker._init_scrivane()
        assert engine.built[0].questions[0].response_model is Outra

    def test_setup_without_engine_fails_plainly(self, checker):
        with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'add_question'"):
            checker._setup_questions()
