"""The extraction engine against a local OpenAI-compatible server, over real HTTP."""

import json
import threading
from concurrent.futures import ThreadPoolExecutor

import openai
import pytest
from openai_server import OpenAIServer, Reply
from pdfs import write_text_pdf

from scrivane import DocumentError, EmptyDocumentError, Question, QuestionConfig, Scrivane, read_document
from scrivane.pricing import PRICES_PER_MILLION
from scrivane.schema import strict_json_schema
from scrivane.selection import estimate_tokens, select_pages
from scrivane_contract.models import (
    AssinaturaExtraida,
    EmpresaExtraida,
    ExtracaoAssinaturas,
    ExtracaoDadosContrato,
    ExtracaoEmpresas,
)

SYSTEM = {
    "empresas": "Você é um especialista em análise de contratos brasileiros.\nExtraia TODAS as empresas.",
    "assinaturas": "Você é um especialista em análise de contratos.\nExtraia TODAS as pessoas físicas.",
    "dados_contrato": "Você é um especialista em análise de contratos.\nExtraia os dados gerais do contrato.",
}
USER = {
    "empresas": "Analise o contrato e extraia todas as empresas:\n\n{texto}\n\nPara cada empresa extraia: CNPJ.",
    "assinaturas": "Extraia todas as pessoas físicas:\n\n{texto}\n\nPara cada pessoa extraia: nome.",
    "dados_contrato": "Extraia os dados gerais do contrato:\n\n{texto}\n\nExtraia: tipo, objeto.",
}
KEYWORDS = {
    "empresas": ["cnpj", "contratante", "razão social"],
    "assinaturas": ["assinatura", "representante", "cpf"],
    "dados_contrato": ["objeto", "vigência", "foro"],
}
MODELS = {"empresas": ExtracaoEmpresas, "assinaturas": ExtracaoAssinaturas, "dados_contrato": ExtracaoDadosContrato}
# A text unique to each question's request, to script the server by.
MATCH = {"empresas": "TODAS as empresas", "assinaturas": "TODAS as pessoas", "dados_contrato": "dados gerais"}

EMPRESA = {"cnpj": "11.222.333/0001-81", "razao_social": "ACME LTDA", "nome_fantasia": None,
           "endereco": "Rua A, 1, São Paulo/SP", "papel_no_contrato": "contratante"}
ASSINATURA = {"nome_signatario": "Ana Souza", "cargo": "Diretora", "cpf": None, "empresa_representada": "ACME LTDA",
              "cnpj_empresa": "11.222.333/0001-81", "tipo_assinatura": "digital"}
DADOS = {"tipo_contrato": "Prestação de serviços", "objeto": "Limpeza", "data_assinatura": "2024-03-01",
         "vigencia": "12 meses", "valor": "R$ 1.000,00", "foro": "São Paulo/SP"}
ANSWERS = {"empresas": {"empresas": [EMPRESA]}, "assinaturas": {"assinaturas": [ASSINATURA]}, "dados_contrato": DADOS}

CONTRATO = (
    "CONTRATO DE PRESTAÇÃO DE SERVIÇOS {cláusula}\n"
    "CONTRATANTE: ACME LTDA, CNPJ 11.222.333/0001-81, razão social ACME LTDA.\n"
    "Objeto: limpeza. Vigência: 12 meses. O marcador {texto} aparece no próprio contrato.\n"
    "Assinatura: Ana Souza, representante, CPF 123.456.789-00."
)


def as_asked(raw):
    """An answer map without what the engine adds to each item after the model answered (its evidence)."""
    return {k: [{f: x for f, x in i.items() if f not in ("trecho", "evidencias", "divergencias")} for i in v]
            if isinstance(v, list) else v for k, v in raw.items()}


def question(qid):
    return Question(
        config=QuestionConfig(id=qid, name=qid.title(), tag=qid),
        system_prompt=SYSTEM[qid],
        user_prompt=USER[qid],
        keywords=list(KEYWORDS[qid]),
        response_model=MODELS[qid],
    )


@pytest.fixture
def server(monkeypatch):
    monkeypatch.delenv("OPENAI_BASE_URL", raising=False)
    with OpenAIServer() as srv:
        yield srv


@pytest.fixture
def contrato(tmp_path):
    path = tmp_path / "contrato.txt"
    path.write_text(CONTRATO, encoding="utf-8")
    return path


def engine_for(server, qids=("empresas", "assinaturas", "dados_contrato"), **kwargs):
    kwargs.setdefault("openai_api_key", "sk-test")
    engine = Scrivane(base_url=server.base_url, **kwargs)
    for qid in qids:
        engine.add_question(question(qid))
    return engine


def script_answers(server, delay=0.0, **usage):
    for qid, answer in ANSWERS.items():
        server.script(MATCH[qid], Reply.json(answer, delay=delay, **usage))


class TestRequests:
    def test_prompts_and_schema_the_server_receives(self, server, contrato):
        script_answers(server)
        run = engine_for(server).process(str(contrato))
        assert len(server.requests) == 3
        for qid in ANSWERS:
            (req,) = server.requests_matching(MATCH[qid])
            assert req.method == "POST" and req.path == "/v1/chat/completions"
            assert req.headers["authorization"] == "Bearer sk-test"
            body = req.body
            assert body["model"] == "gpt-4o"
            system, user = body["messages"]
            assert system == {"role": "system", "content": SYSTEM[qid]}
            # the text goes in place of the placeholder; braces in the contract
            # (including a literal "{texto}") stay as they are
            assert user == {"role": "user", "content": USER[qid].replace("{texto}", CONTRATO)}
            fmt = body["response_format"]
            assert fmt["type"] == "json_schema"
            assert fmt["json_schema"]["strict"] is True
            assert fmt["json_schema"]["schema"] == strict_json_schema(MODELS[qid])
            assert as_asked(run.get_result(qid).raw_result) == ANSWERS[qid]

    def test_answers_feed_the_extracted_records(self, server, contrato):
        extra = {"empresas": [{**EMPRESA, "capital": "1000"}], "comentario": "x"}
        server.script(MATCH["empresas"], Reply.json(extra))
        server.script(MATCH["assinaturas"], Reply.json(ANSWERS["assinaturas"]))
        run = engine_for(server, qids=("empresas", "assinaturas")).process(contrato)
        empresas = run.get_result("empresas").raw_result
        assert as_asked(empresas) == {"empresas": [EMPRESA]}  # keys outside the schema are dropped
        assert [EmpresaExtraida(**m).cnpj for m in empresas.get("empresas", [])] == ["11.222.333/0001-81"]
        (assinatura,) = run.get_result("assinaturas").raw_result["assinaturas"]
        assert AssinaturaExtraida(**assinatura).nome_signatario == "Ana Souza"
        assert run.get_result("desconhecida") is None

    def test_azure_url_shape(self, server, contrato):
        server.script(None, Reply.json(DADOS))
        engine = Scrivane(provider="azure", azure_api_key="az-key", azure_endpoint=server.url,
                          azure_deployment="minha-implantacao", azure_api_version="2024-02-15-preview")
        engine.add_question(question("dados_contrato"))
        run = engine.process(contrato)
        (req,) = server.requests
        assert req.path == "/openai/deployments/minha-implantacao/chat/completions"
        assert req.query == {"api-version": ["2024-02-15-preview"]}
        assert req.headers["api-key"] == "az-key"
        assert "authorization" not in req.headers
        assert run.get_result("dados_contrato").raw_result == DADOS

    def test_service_refusing_strict_schemas_gets_json_mode(self, server, contrato):
        # Older Azure API versions answer 400 to a json_schema response format.
        refused = Reply.error(400, message="response_format value as json_schema is enabled only for "
                                           "api versions 2024-08-01-preview and later")
        server.script(lambda body: body["response_format"]["type"] == "json_schema", refused)
        server.script(None, Reply.json(DADOS))
        engine = Scrivane(provider="azure", azure_api_key="az-key", azure_endpoint=server.url,
                          azure_deployment="dep", azure_api_version="2024-02-15-preview")
        engine.add_question(question("dados_contrato"))
        assert engine.process(contrato).get_result("dados_contrato").raw_result == DADOS
        assert engine.process(contrato).get_result("dados_contrato").raw_result == DADOS
        formats = [r.body["response_format"]["type"] for r in server.requests]
        assert formats == ["json_schema", "json_object", "json_object"]  # switched once, for good
        system = server.requests[1].body["messages"][0]["content"]
        assert system.startswith(SYSTEM["dados_contrato"])
        assert json.dumps(strict_json_schema(ExtracaoDadosContrato), ensure_ascii=False) in system

    def test_other_bad_requests_are_raised(self, server, contrato):
        server.script(None, Reply.error(400, message="maximum context length exceeded"))
        with pytest.raises(openai.BadRequestError):
            engine_for(server, qids=("dados_contrato",)).process(contrato)
        assert len(server.requests) == 1

    def test_base_url_from_environment(self, server, contrato, monkeypatch):
        monkeypatch.setenv("OPENAI_BASE_URL", server.base_url)
        server.script(None, Reply.json(DADOS))
        engine = Scrivane(openai_api_key="sk-env-url", model="gpt-4o-mini")
        engine.add_question(question("dados_contrato"))
        assert engine.process(contrato).get_result("dados_contrato").raw_result == DADOS
        assert server.requests[0].body["model"] == "gpt-4o-mini"


class TestConcurrency:
    def test_three_slow_questions_take_about_one_answer(self, server, contrato):
        # No answer comes before all three questions were asked: asked one after another, the
        # first would wait for the others forever (the server answers it with an error).
        todas = _Contagem(3)
        for qid, answer in ANSWERS.items():
            # Only a question's first request counts: a retry must not open the gate.
            server.script(MATCH[qid], Reply.json(answer, delay=0.5, after=todas, opens=todas),
                          Reply.json(answer, after=todas))
        engine = engine_for(server)
        run = engine.process(contrato)
        assert len(server.requests) == 3 and todas.is_set()
        assert all(run.get_result(q) is not None for q in ANSWERS)
        assert run.total_metrics.time_seconds >= 0.5


class _Contagem(threading.Event):
    """An event set by the n-th call of ``set``."""

    def __init__(self, n: int) -> None:
        super().__init__()
        self._faltam = n
        self._trava = threading.Lock()

    def set(self) -> None:
        with self._trava:
            self._faltam -= 1
            if self._faltam > 0:
                return
        super().set()


class TestBadAnswers:
    @pytest.mark.parametrize(
        "bad",
        [Reply.refusal("Não posso ajudar."), Reply.text("isto não é JSON"), Reply.json({"empresas": "abc"}),
         Reply.text(None)],
        ids=["refusal", "not-json", "wrong-shape", "empty"],
    )
    def test_asked_once_more_then_answered(self, server, contrato, bad):
        server.script(MATCH["empresas"], bad, Reply.json(ANSWERS["empresas"]))
        run = engine_for(server, qids=("empresas",)).process(contrato)
        answer = run.get_result("empresas")
        assert as_asked(answer.raw_result) == ANSWERS["empresas"]
        assert answer.attempts == 2
        assert len(server.requests) == 2
        assert server.requests[0].body == server.requests[1].body

    @pytest.mark.parametrize("bad", [Reply.refusal(), Reply.text("{quebrado")], ids=["refusal", "invalid"])
    def test_second_failure_leaves_no_answer_and_the_run_goes_on(self, server, contrato, bad):
        server.script(MATCH["empresas"], bad)
        server.script(MATCH["dados_contrato"], Reply.json(DADOS))
        run = engine_for(server, qids=("empresas", "dados_contrato")).process(contrato)
        assert run.get_result("empresas") is None
        assert "empresas" in run.failures
        assert run.get_result("dados_contrato").raw_result == DADOS
        assert len(server.requests_matching(MATCH["empresas"])) == 2  # asked once more, not again

    def test_rate_limit_then_success(self, server, contrato):
        server.script(MATCH["dados_contrato"], Reply.error(429), Reply.json(DADOS))
        run = engine_for(server, qids=("dados_contrato",)).process(contrato)
        assert run.get_result("dados_contrato").raw_result == DADOS
        assert len(server.requests) == 2

    def test_service_error_is_raised_not_hidden(self, server, contrato):
        server.script(None, Reply.error(401, message="Incorrect API key"))
        with pytest.raises(openai.AuthenticationError):
            engine_for(server).process(contrato)


class TestMetrics:
    def test_tokens_and_cost_summed_over_every_call(self, server, contrato):
        server.script(MATCH["empresas"], Reply.refusal(prompt_tokens=1000, completion_tokens=10),
                      Reply.json(ANSWERS["empresas"], prompt_tokens=1000, completion_tokens=200))
        server.script(MATCH["assinaturas"], Reply.json(ANSWERS["assinaturas"], prompt_tokens=3000, completion_tokens=300))
        server.script(MATCH["dados_contrato"], Reply.text("ruim", prompt_tokens=500, completion_tokens=5))
        run = engine_for(server, model="gpt-4o").process(contrato)
        m = run.total_metrics
        assert (m.input_tokens, m.output_tokens) == (1000 + 1000 + 3000 + 500 + 500, 10 + 200 + 300 + 5 + 5)
        assert m.tokens == 6520 and isinstance(m.tokens, int)
        price_in, price_out = PRICES_PER_MILLION["gpt-4o"]
        assert m.cost_usd == pytest.approx((6000 * price_in + 520 * price_out) / 1e6)
        assert m.calls == 5
        assert run.get_result("empresas").metrics.tokens == 1000 + 10 + 1000 + 200

    @pytest.mark.parametrize(
        "model, usd_per_million_input",
        [
            ("gpt-4o-mini-2024-07-18", PRICES_PER_MILLION["gpt-4o-mini"][0]),  # a snapshot takes its family's price
            ("gpt-3.5-turbo-0125", PRICES_PER_MILLION["gpt-3.5-turbo"][0]),
            ("gpt-4o-2024-05-13", 5.00),  # a snapshot priced apart from its family
            ("o1-mini", 0.0),  # a different model, not a snapshot of "o1": missing from the table
            ("gpt-4o-audio-preview", 0.0),
        ],
    )
    def test_model_name_to_price(self, server, contrato, model, usd_per_million_input):
        server.script(None, Reply.json(DADOS, prompt_tokens=1_000_000, completion_tokens=0))
        run = engine_for(server, qids=("dados_contrato",), model=model).process(contrato)
        assert run.total_metrics.cost_usd == pytest.approx(usd_per_million_input)

    def test_unpriced_model_costs_nothing_and_says_so_once(self, server, contrato, capsys):
        script_answers(server)
        engine = engine_for(server, model="modelo-local", verbose=True)
        run = engine.process(contrato)
        engine.process(contrato)
        assert run.total_metrics.cost_usd == 0.0 and run.total_metrics.tokens == 360
        out = capsys.readouterr().out
        assert out.count("modelo-local") == 1 and "0.0" in out


class TestOutput:
    def test_silent_unless_verbose(self, server, contrato, capsys):
        script_answers(server)
        engine_for(server).process(contrato)
        assert capsys.readouterr() == ("", "")
        engine_for(server, verbose=True).process(contrato)
        out = capsys.readouterr().out
        assert "contrato.txt" in out and "Extração concluída" in out
        assert "sk-test" not in out


def _filler(page_no, chars=2000):
    words = f"cláusula genérica {page_no} sem termos relevantes. "
    return (words * (chars // len(words) + 1))[:chars]


class TestLongDocuments:
    def test_keyword_pages_and_neighbours_are_sent(self, server, tmp_path, capsys):
        pages = [_filler(i) for i in range(20)]
        pages[11] = "A CONTRATANTE, inscrita no CNPJ sob o nº 11.222.333/0001-81. " + _filler(11, 1500)
        path = write_text_pdf(tmp_path / "longo.pdf", pages)
        server.script(None, Reply.json(ANSWERS["empresas"]))
        engine = engine_for(server, qids=("empresas",), max_context_tokens=6000, verbose=True)
        run = engine.process(path)
        sent = server.requests[0].body["messages"][1]["content"]
        answer = run.get_result("empresas")
        assert answer.narrowed
        assert {10, 11, 12} <= set(answer.pages) and len(answer.pages) < 20
        assert "[Página 12]" in sent and "11.222.333/0001-81" in sent
        assert "omitida" in sent  # the model is told text was left out
        assert estimate_tokens(sent) < 6000
        out = capsys.readouterr().out
        assert "20 páginas" in out and "11, 12, 13" in out

    def test_short_document_is_sent_whole(self, server, tmp_path):
        pages = ["Primeira página do contrato.", "Segunda página, com acentuação: ção, ã, é.", "Terceira."]
        path = write_text_pdf(tmp_path / "curto.pdf", pages)
        server.script(None, Reply.json(DADOS))
        run = engine_for(server, qids=("dados_contrato",)).process(path)
        sent = server.requests[0].body["messages"][1]["content"]
        for text in pages:
            assert text in sent
        assert "omitida" not in sent and "[Página" not in sent
        assert run.get_result("dados_contrato").pages == (0, 1, 2)

    def test_selection_matches_keywords_without_case_or_accents(self):
        pages = [_filler(i, 400) for i in range(10)]
        pages[3] = "CLÁUSULA DE VIGÊNCIA: doze meses. " + _filler(3, 300)
        pages[8] = "Foro da comarca de São Paulo. vigencia repetida: VIGENCIA vigência. " + _filler(8, 300)
        selection = select_pages(pages, ["vigencia", "FORO"], budget_tokens=400)
        assert selection.narrowed
        assert 8 in selection.pages  # most hits first
        assert estimate_tokens(selection.text) <= 400
        wide = select_pages(pages, ["vigencia", "FORO"], budget_tokens=700)
        assert {3, 8} <= set(wide.pages) and estimate_tokens(wide.text) <= 700

    def test_single_page_larger_than_budget_is_cut_and_marked(self):
        pages = [_filler(0, 10_000), "CNPJ " + _filler(1, 10_000)]
        selection = select_pages(pages, ["cnpj"], budget_tokens=500)
        assert selection.truncated and selection.pages == (1,)
        assert "cortado" in selection.text and estimate_tokens(selection.text) <= 500


class TestDocuments:
    def test_pdf_text_page_by_page(self, tmp_path):
        pages = ["Página um: CONTRATANTE ACME", "Página dois\ncom duas linhas", "Três: São João, ação, {chaves}"]
        doc = read_document(write_text_pdf(tmp_path / "c.pdf", pages))
        assert [p.strip() for p in doc.pages] == pages

    def test_pdf_without_text_is_a_clear_error(self, server, tmp_path):
        path = write_text_pdf(tmp_path / "digitalizado.pdf", ["", ""])
        with pytest.raises(EmptyDocumentError, match="digitalizado.pdf"):
            engine_for(server).process(path)
        assert server.requests == []
        assert issubclass(EmptyDocumentError, ValueError)

    @pytest.mark.parametrize(
        "name, data, error",
        [
            ("vazio.txt", b"  \n\n ", EmptyDocumentError),
            # binary files are not read as Latin-1 noise and sent to the model
            ("contrato.docx", b"PK\x03\x04\x14\x00\x06\x00\x08\x00\x00\x00!\x00word/document.xml", DocumentError),
            ("digitalizado.jpg", b"\xff\xd8\xff\xe0\x00\x10JFIF\x00\x01\x01\x00\x00\x01", DocumentError),
        ],
        ids=["empty-text", "docx", "jpeg"],
    )
    def test_file_without_readable_text_is_a_clear_error(self, tmp_path, name, data, error):
        path = tmp_path / name
        path.write_bytes(data)
        with pytest.raises(error, match=name.replace(".", r"\.")):
            read_document(path)

    def test_text_in_utf16_and_pdf_with_preamble(self, tmp_path):
        path = tmp_path / "c.txt"
        path.write_text("CONTRATANTE: ação", encoding="utf-16")
        assert read_document(path).pages == ("CONTRATANTE: ação",)
        pdf = write_text_pdf(tmp_path / "c.pdf", ["Página um: CONTRATANTE ACME"])
        preamble = tmp_path / "anexo"  # no .pdf suffix; readers allow bytes before the header
        preamble.write_bytes(b"X-Mailer: anexo\n" + pdf.read_bytes())
        assert [p.strip() for p in read_document(preamble).pages] == ["Página um: CONTRATANTE ACME"]

    def test_pdfs_read_from_several_threads_at_once(self, tmp_path):
        # pdfium is not thread-safe: unguarded, this crashes the interpreter.
        pages = [f"Página {i}: CONTRATANTE ACME LTDA, cláusula {i}." for i in range(12)]
        paths = [write_text_pdf(tmp_path / f"c{i}.pdf", pages) for i in range(4)]
        with ThreadPoolExecutor(max_workers=4) as pool:
            results = list(pool.map(lambda p: [read_document(p).pages for _ in range(10)], paths))
        assert all(pages_read == read_document(paths[0]).pages for batch in results for pages_read in batch)

    def test_text_file_pages_at_form_feeds(self, tmp_path):
        path = tmp_path / "c.txt"
        path.write_bytes("um\fdois\fação".encode("latin-1"))
        assert read_document(path).pages == ("um", "dois", "ação")

    def test_long_text_without_blank_lines_is_cut_into_blocks(self, tmp_path):
        lines = [f"Cláusula {i}: " + "texto " * 50 for i in range(40)]
        path = tmp_path / "convertido.txt"
        path.write_text("\n".join(lines), encoding="utf-8")
        pages = read_document(path).pages
        assert len(pages) > 1 and max(map(len, pages)) <= 4000
        assert "".join(pages) == "\n".join(lines)

    def test_missing_file(self, tmp_path):
        with pytest.raises(FileNotFoundError):
            read_document(tmp_path / "nada.pdf")


class TestConstruction:
    def test_unknown_keyword_is_a_type_error(self):
        with pytest.raises(TypeError):
            Scrivane(openai_api_key="sk", temperatura=0)

    def test_bad_provider(self):
        with pytest.raises(ValueError, match="provider"):
            Scrivane(provider="outro", openai_api_key="sk")

    def test_question_validation(self, server):
        engine = engine_for(server, qids=("empresas",))
        with pytest.raises(ValueError, match="empresas"):
            engine.add_question(question("empresas"))
        with pytest.raises(TypeError):
            engine.add_question("empresas")
        with pytest.raises(TypeError):
            Question(config=QuestionConfig(id="x", name="x", tag="x"), system_prompt="s", user_prompt="u",
                     keywords=[], response_model=dict)
        assert [q.id for q in engine.questions] == ["empresas"]

    def test_prompt_without_placeholder_gets_the_text_appended(self, server, contrato):
        server.script(None, Reply.json(DADOS))
        engine = engine_for(server, qids=())
        engine.add_question(Question(config=QuestionConfig(id="d", name="d", tag="d"), system_prompt="s",
                                     user_prompt="Dados do contrato a seguir.", keywords=[],
                                     response_model=ExtracaoDadosContrato))
        engine.process(contrato)
        assert server.requests[0].body["messages"][1]["content"] == "Dados do contrato a seguir.\n\n" + CONTRATO

    def test_braces_in_the_prompt_are_kept(self, server, contrato):
        server.script(None, Reply.json(DADOS))
        engine = engine_for(server, qids=())
        prompt = 'Responda como {"tipo_contrato": "..."} sobre {texto} e nada mais ({outro}).'
        engine.add_question(Question(config=QuestionConfig(id="d", name="d", tag="d"), system_prompt="s",
                                     user_prompt=prompt, keywords=[], response_model=ExtracaoDadosContrato))
        engine.process(contrato)
        assert server.requests[0].body["messages"][1]["content"] == prompt.replace("{texto}", CONTRATO)
