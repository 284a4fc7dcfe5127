"""Where each extracted value was read, and what happens to a value the document does not hold.

Contracts are PDFs laid out here (a party's name hyphenated at a line end, a signatory's name
broken over two lines, two signature blocks side by side); the cloud model is the local
OpenAI-compatible server and the registry the local registry server, over real HTTP.
"""

from __future__ import annotations

import io
import json
import re
import unicodedata

import pytest
from checker_helpers import lines, no_env_keys  # noqa: F401
from openai_server import OpenAIServer, Reply
from pdfs import write_laid_out_pdf
from registry_server import empresa_exemplo, registry  # noqa: F401
from web_helpers import exemplos, registro_exemplos

from scrivane import read_document
from scrivane.grounding import LIDO_DIFERENTE, NAO_ENCONTRADO, Indice
from scrivane_contract.checker import ContractChecker
from scrivane_contract.cli import main

ACME = "11222333000181"
ACME_F = "11.222.333/0001-81"
LARGURA, ALTURA = 595.0, 842.0

PAGINA_1 = [
    (50, 60, "CONTRATO DE PRESTAÇÃO DE SERVIÇOS"),
    (50, 90, "CONTRATANTE: ACME COMERCIO DE TES-"),
    (50, 104, f"TES LTDA, inscrita no CNPJ sob o nº {ACME_F}, neste ato"),
    (50, 118, "representada por sua sócia administradora MARIA DA"),
    (50, 132, "SILVA, inscrita no CPF sob o nº 529.982.247-25."),
    (50, 160, "CONTRATADA: BETA SERVICOS LTDA, CNPJ 99.888.777/0001-66."),
    (50, 174, "INTERVENIENTE: GAMA LTDA, CNPJ 33,444.555/0001-99 (vírgula lida pelo OCR)."),
]
PAGINA_2 = [
    (50, 100, "Objeto: limpeza. Foro: São Paulo/SP."),
    (50, 300, "______________________"), (330, 300, "______________________"),
    (50, 314, "MARIA DA SILVA"), (330, 314, "Ana Souza"),
    (50, 328, "ACME COMERCIO DE TESTES LTDA"), (330, 328, "Testemunha"),
]


@pytest.fixture
def contrato(tmp_path):
    return write_laid_out_pdf(tmp_path / "contrato.pdf", [PAGINA_1, PAGINA_2])


def _dobrar(texto):
    texto = unicodedata.normalize("NFD", str(texto).lower())
    return " ".join(re.findall(r"[a-z0-9]+", "".join(c for c in texto if unicodedata.category(c) != "Mn")))


def contem(trecho, campo, valor):
    """The passage holds the value: digits compared without punctuation, names folded (a word broken
    at a line end counts whole)."""
    if campo in ("cnpj", "cpf", "cnpj_empresa"):
        return re.sub(r"\D", "", valor) in re.sub(r"\D", "", trecho)
    return _dobrar(valor).replace(" ", "") in _dobrar(trecho).replace(" ", "")


def conferir_evidencias(registro, valores, paginas):
    """Each value has an evidence entry on a real page, whose passage holds it and whose box lies inside the page."""
    por_campo = {e["campo"]: e for e in registro["evidencias"]}
    for campo, valor in valores.items():
        e = por_campo[campo]
        assert 1 <= e["pagina"] <= paginas, e
        assert contem(e["trecho"], campo, valor), (campo, valor, e["trecho"])
        assert len(e["trecho"]) <= 220
        x0, y0, x1, y1 = e["caixa"]
        assert 0 <= x0 < x1 <= LARGURA and 0 <= y0 < y1 <= ALTURA, e


class TestLocating:
    @pytest.mark.parametrize("valor, tipo, esperado", [
        ("ACME COMERCIO DE TESTES LTDA", "nome", (1, "ACME")),  # hyphenated at the line end: first occurrence
        ("Maria da Silva", "nome", (1, "MARIA")),  # broken over two lines, other case
        ("MARlA DA SILVA", "nome", (1, "MARIA")),  # OCR noise in the value
        ("Ana Souza", "nome", (2, "Ana")),  # the right-hand block of two side by side
        ("Roberto Inventado", "nome", None),
        ("Beta", "nome", (1, "BETA")),
        ("Bet", "nome", None),  # short values must be whole words
        (ACME, "numero", (1, ACME_F + ",")),
        ("529.982.247-25", "numero", (1, "529.982.247-25.")),
        ("11.222.333/0001-82", "numero", (LIDO_DIFERENTE, ACME)),
        ("99.888.777/0001-60", "numero", (LIDO_DIFERENTE, "99888777000166")),
        ("44.555.666/0001-77", "numero", None),
        ("33.444.555/0001-99", "numero", (1, "33,444.555/0001-99")),
        ("22.233.300/0181-00", "numero", None),  # a run of the CNPJ's digits across its groups is not it
    ])
    def test_values_in_the_page_words(self, contrato, valor, tipo, esperado):
        indice = Indice(read_document(contrato))
        if tipo == "numero":
            achado, parecido = indice.achar_numero(valor)
            if esperado and esperado[0] == LIDO_DIFERENTE:
                assert achado is None and parecido is not None and parecido[1] == esperado[1]
                return
            assert parecido is None
        else:
            achado = indice.achar_nome(valor)
        if esperado is None:
            assert achado is None
            return
        pagina, primeira = esperado
        assert (achado.pagina.numero, achado.pagina.palavras[achado.primeira]) == (pagina, primeira)

    @pytest.mark.parametrize("cargo, esperado", [
        ("Sócio", "sócia"),  # a role is read in either gender
        ("Sócia Administradora", "sócia"),
        ("Sócio Gerente", None),
        ("Administrador", "administradora"),
        ("Procurador", None),
    ])
    def test_a_role_is_found_inflected(self, contrato, cargo, esperado):
        achado = Indice(read_document(contrato)).achar_nome(cargo, flexionado=True)
        assert (achado and achado.pagina.palavras[achado.primeira]) == esperado

    @pytest.mark.parametrize("dobrado, esperado", [
        ("acme ltda,\ncnpj 11.222.333/0001-81 ", (["acme", "ltda", "cnpj", "11", "222", "333", "0001", "81"],
                                                 [0, 1, 2, 3, 3, 3, 3, 3],
                                                 [0, 5, 10, 15, 18, 22, 26, 31],
                                                 [4, 9, 14, 17, 21, 25, 30, 33],
                                                 "acme ltda cnpj 11 222 333 0001 81")),
        ("-- (a)b\nx ", (["a", "b", "x"], [1, 1, 2], [0, 2, 4], [1, 3, 5], "a b x")),  # a word of no token counts
        ("", ([], [], [], [], "")),
        ("a\u0394b c\n", (["a", "b", "c"], [0, 0, 1], [0, 2, 4], [1, 3, 5], "a b c")),  # a wider string kind
    ])
    def test_tokens_of_folded_words_carry_their_word(self, dobrado, esperado):
        from scrivane import grounding

        assert grounding._tokens_de_palavras(dobrado) == esperado
        if grounding._tokens_c is not None:
            assert grounding._tokens_c(dobrado) == esperado

    @pytest.mark.parametrize("palavras, fim_de_linha, esperado", [
        (["Acme", "Ltda,", "CNPJ", "11.222"], [False, True, False, True],
         ("Acme Ltda,\nCNPJ 11.222\n", [0, 5, 11, 16, 23])),
        (["sócia", "\u0394x", "fim"], [True], ("sócia\n\u0394x fim ", [0, 6, 9, 13])),  # a line left open
        ([], [], ("", [0])),
    ])
    def test_words_joined_with_where_each_starts(self, palavras, fim_de_linha, esperado):
        from scrivane import grounding

        assert grounding._juntar(palavras, fim_de_linha) == esperado
        if grounding._juntar_c is not None:
            assert grounding._juntar_c(palavras, fim_de_linha) == esperado

    @pytest.mark.parametrize("linhas, juntados", [
        ([["o", "contra-"], ["tante", "paga"]], ["contratante"]),  # a hyphen ends the line
        ([["o", "contra"], ["tante", "e", "a"], ["contratante"]], ["contratante"]),  # whole elsewhere
        ([["o", "contra"], ["tante", "paga"]], []),  # whole nowhere: two words
        ([["in-"], ["ter-"], ["net"]], ["inter"]),  # a word so joined does not join the next line
        ([["inter-"], ["net", "e"], ["uma", "inter"], ["net"]], ["internet", "internet"]),  # whole as broken
        ([["cnpj", "n-"], ["123", "x"]], []),  # the next line opens with no letter
        ([["CONTRA-"], ["TANTE:"]], ["contratante"]),
        ([["fim", "sem-"]], []),  # the last line
    ])
    def test_words_broken_at_a_line_end_are_joined_alike_in_python_and_cpp(self, linhas, juntados):
        from scrivane import grounding

        palavras = [p for linha in linhas for p in linha]
        fins = [k == len(linha) - 1 for linha in linhas for k in range(len(linha))]
        junto, _ = grounding._juntar(palavras, fins)
        partes, palavra, *_ = grounding._tokens_de_palavras(grounding._dobrar(junto))
        pagina = grounding._Pagina(1, palavras, [None] * len(palavras), fins, texto=None)
        juntar = pagina._hifens(list(partes), list(palavra))
        assert [partes[t] + partes[t + 1] for t in juntar] == juntados
        if grounding._hifens_c is not None:
            assert grounding._hifens_c(list(partes), list(palavra), palavras, fins) == juntar

    def test_the_built_tokenizer_gives_the_pythons_tokens(self, contrato, monkeypatch):
        from scrivane import grounding

        if grounding._tokens_c is None:
            pytest.skip("scrivane._palavras não compilado")
        documento = read_document(contrato)

        def indice(pagina):
            return (pagina.norm, pagina.palavra_do_token, pagina.palavra_final_do_token, pagina.inicio_token,
                    pagina.fim_token, pagina._junto, pagina.acumulado)

        construido = [indice(Indice(documento).pagina(k)) for k in range(2)]
        monkeypatch.setattr(grounding, "_tokens_c", None)
        monkeypatch.setattr(grounding, "_juntar_c", None)
        monkeypatch.setattr(grounding, "_hifens_c", None)
        assert [indice(Indice(documento).pagina(k)) for k in range(2)] == construido
        assert "acme comercio de testes ltda" in construido[0][0]  # the hyphenated name whole

    def test_the_models_passage_places_a_repeated_value(self, contrato):
        indice = Indice(read_document(contrato))
        perto = indice.localizar_trecho("MARIA DA SILVA ACME COMERCIO DE TESTES LTDA Ana Souza Testemunha")
        assert perto.pagina.numero == 2
        assert indice.achar_nome("ACME COMERCIO DE TESTES LTDA", perto).pagina.numero == 2
        assert indice.achar_nome("ACME COMERCIO DE TESTES LTDA").pagina.numero == 1  # without it, the first

    def test_a_text_file_gives_passages_without_boxes(self, tmp_path):
        arquivo = tmp_path / "c.txt"
        arquivo.write_text("CONTRATANTE: ACME LTDA, CNPJ 11.222.333/0001-81.\fAssina: Maria da Silva", encoding="utf-8")
        indice = Indice(read_document(arquivo))
        [e] = indice.evidencias([("nome_signatario", indice.achar_nome("Maria da Silva"))])
        assert e == {"campo": "nome_signatario", "pagina": 2, "trecho": "Assina: Maria da Silva", "caixa": None}


@pytest.fixture
def llm(monkeypatch, no_env_keys):  # noqa: F811
    with OpenAIServer() as server:
        monkeypatch.setenv("OPENAI_BASE_URL", server.base_url)
        yield server


def _pessoa(nome, cpf=None, cargo="Sócia", cnpj=None, trecho=None, tipo="manuscrita"):
    return {"nome_signatario": nome, "cargo": cargo, "cpf": cpf, "empresa_representada": None,
            "cnpj_empresa": cnpj, "tipo_assinatura": tipo, "trecho": trecho}


class TestCloudModel:
    def _responder(self, llm, cnpj, extra):
        llm.script("TODAS as empresas", Reply.json({"empresas": [{
            "cnpj": cnpj, "razao_social": "ACME COMERCIO DE TESTES LTDA", "nome_fantasia": None, "endereco": None,
            "papel_no_contrato": "contratante",
            "trecho": f"CONTRATANTE: ACME COMERCIO DE TESTES LTDA, inscrita no CNPJ sob o nº {cnpj}"}]}))
        llm.script("TODAS as pessoas", Reply.json({"assinaturas": [
            _pessoa("Maria da Silva", "529.982.247-25", cnpj=ACME_F,
                    trecho="representada por sua sócia administradora MARIA DA SILVA, inscrita no CPF"),
            _pessoa("Ana Souza", cargo="Testemunha", tipo="testemunha", trecho="Ana Souza Testemunha"),
            *extra]}))
        llm.script("dados gerais", Reply.json({"tipo_contrato": "Prestação de serviços"}))

    def test_a_mistyped_cnpj_and_an_invented_signatory_are_flagged_and_never_approve(self, llm, registry, contrato):
        registry.add_company(*empresa_exemplo(ACME))
        # João Pereira is a partner of ACME in the registry: checked as if the contract named him, he
        # would be approved; the contract does not name him.
        self._responder(llm, "11.222.333/0001-82", [_pessoa("João Pereira", cargo="Sócio", cnpj=ACME_F,
                                                            trecho="neste ato representada por João Pereira")])
        chk = ContractChecker(openai_api_key="sk-test", verbose=False)
        r = chk.verificar(contrato)
        assert r["resultado_final"] == "PENDENTE"
        assert r["campos_reprovados"] == []
        assert r["campos_pendentes"] == ["Evidência - ACME COMERCIO DE TESTES LTDA", "Evidência - João Pereira"]
        empresa, maria, ana, joao = r["empresas"][0], *r["assinaturas"]
        evidencia_cnpj = [c for c in empresa["campos"] if c["campo"] == "Evidência"]
        assert [(c["status"], c["valor_contrato"], c["valor_receita"], c["mensagem"]) for c in evidencia_cnpj] == [
            ("pendente", "11.222.333/0001-82", ACME_F,
             f"CNPJ 11.222.333/0001-82 {LIDO_DIFERENTE}: o documento traz {ACME_F}")]
        assert joao["campos"][-1]["mensagem"] == f"Signatário João Pereira {NAO_ENCONTRADO}"
        assert joao["problemas"] == [f"Signatário João Pereira {NAO_ENCONTRADO}"] and joao["evidencias"] != []
        # What the document does say has its evidence: the CNPJ's entry points at the document's own digits.
        conferir_evidencias(empresa, {"cnpj": ACME_F, "razao_social": "ACME COMERCIO DE TESTES LTDA"}, 2)
        conferir_evidencias(maria, {"nome_signatario": "Maria da Silva", "cpf": "529.982.247-25",
                                    "cnpj_empresa": ACME_F}, 2)
        conferir_evidencias(ana, {"nome_signatario": "Ana Souza"}, 2)
        assert {e["pagina"] for e in ana["evidencias"]} == {2}
        assert [c["campo"] for c in maria["campos"]] == ["Poder de Assinatura"]
        # The model was asked for the passage of each item.
        pedido = llm.requests_matching("TODAS as empresas")[0].body
        esquema = pedido["response_format"]["json_schema"]["schema"]["$defs"]["EmpresaExtraida"]
        assert "trecho" in esquema["required"] and "evidencias" not in esquema["properties"]

        # The plain-Python twin of the pipeline carries the same findings.
        import reference_checker as ref
        twin = ref.RefChecker(chk._client, verbose=False).verificar(contrato)
        twin.pop("metricas"), r.pop("metricas")
        assert twin == r

    def test_what_the_document_says_is_approved_with_its_evidence(self, llm, registry, contrato, capsys):
        registry.add_company(*empresa_exemplo(ACME))
        self._responder(llm, ACME_F, [])
        r = ContractChecker(openai_api_key="sk-test", verbose=True).verificar(contrato)
        assert (r["resultado_final"], r["campos_pendentes"]) == ("APROVADO", [])
        assert all(e["evidencias"] for e in r["empresas"] + r["assinaturas"])
        # The library's report has no line of its own about evidence.
        assert not any("Evidência" in linha or "trecho" in linha for linha in lines(capsys))


def test_local_reader_json_gives_every_company_and_signatory_its_evidence(contrato, capsys):
    arquivos = [*exemplos().values(), contrato]
    with registro_exemplos():
        codigo = main(["verificar", "--provedor", "local", "--json", "--sem-historico", *map(str, arquivos)])
    saidas = [json.loads(l) for l in capsys.readouterr().out.splitlines() if l.startswith("{")]
    assert codigo in (0, 1, 2) and len(saidas) == len(arquivos)
    vistos = 0
    for v in saidas:
        registros = v["resultado"]["empresas"] + v["resultado"]["assinaturas"]
        assert registros, v["arquivo"]
        for reg in registros:
            valores = {k: reg.get(k) for k in ("cnpj", "razao_social_contrato", "nome_signatario", "cargo",
                                                "empresa_representada", "cnpj_empresa") if reg.get(k)}
            valores = {("razao_social" if k == "razao_social_contrato" else k): x for k, x in valores.items()}
            if "razao_social_receita" in reg and reg.get("cnpj_buscado_por_nome"):
                valores.pop("cnpj", None)  # found by name: the registry's number, not the contract's
            conferir_evidencias(reg, {k: x for k, x in valores.items()
                                      if any(e["campo"] == k for e in reg["evidencias"]) or k != "cargo"}, 2)
            assert not [c for c in reg["campos"] if c["campo"] == "Evidência"]
            vistos += 1
    assert vistos >= 12


class TestPageImage:
    @pytest.fixture
    def cliente(self):
        from fastapi.testclient import TestClient

        from scrivane_contract.web import criar_app

        app = criar_app(lambda: (lambda caminho: {}), trabalhadores=1, token=None)
        with TestClient(app) as c:
            yield c, app

    def test_a_page_drawn_at_screen_resolution_and_nothing_kept(self, cliente, contrato):
        from PIL import Image

        c, app = cliente
        r = c.post("/api/paginas?pagina=2&escala=2", files={"arquivo": ("c.pdf", contrato.read_bytes(), "application/pdf")})
        assert r.status_code == 200 and r.headers["content-type"] == "image/png"
        assert (r.headers["x-largura-pontos"], r.headers["x-altura-pontos"]) == ("595.00", "842.00")
        imagem = Image.open(io.BytesIO(r.content)).convert("L")
        assert imagem.size == (1190, 1684)
        # Ink where "Ana Souza" is printed (x 330, baseline 314), none in the empty margin.
        assert imagem.crop((660, 608, 760, 632)).getextrema()[0] < 100
        assert imagem.crop((10, 10, 90, 90)).getextrema()[0] > 200
        assert list(app.state.fila.pasta.iterdir()) == []

    @pytest.mark.parametrize("pagina, corpo, status, mensagem", [
        (3, None, 404, "Página inexistente: o documento tem 2 página(s); não há a página 3."),
        (1, b"apenas texto", 415, "Formato não suportado"),
        (1, b"\x89PNG\r\n\x1a\n" + bytes(64), 415, "não é um PDF"),  # a photo is verified, not drawn
    ])
    def test_refusals(self, cliente, contrato, pagina, corpo, status, mensagem):
        c, app = cliente
        r = c.post(f"/api/paginas?pagina={pagina}",
                   files={"arquivo": ("c.pdf", corpo or contrato.read_bytes(), "application/pdf")})
        assert r.status_code == status and mensagem in r.json()["detail"]
        assert list(app.state.fila.pasta.iterdir()) == []
