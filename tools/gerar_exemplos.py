"""Generates exemplos/: three fictional contracts (PDF) and the registry data of their companies.

    python tools/gerar_exemplos.py [--destino exemplos]

The companies, people and numbers are invented (the CNPJs and CPFs have valid
check digits but belong to no one).  Checked against the registry data
written beside them, with the local provider, the contracts give:

* contrato_aprovado.pdf  – both companies active, signatories in their QSA, two witnesses: "APROVADO";
* contrato_pendente.pdf  – the lessor's address in the contract is its former seat, not the
  one the registry holds (someone must check it): "PENDENTE";
* contrato_reprovado.pdf – the supplier's registration is "BAIXADA": "REPROVADO".

registro.jsonl holds one company per line in the BrasilAPI answer shape,
the import format of ``scrivane-contract registro importar --jsonl``.
"""

from __future__ import annotations

import argparse
import ctypes
import json
import textwrap
from pathlib import Path

import pypdfium2 as pdfium
import pypdfium2.raw as pdfium_c

RAIZ = Path(__file__).resolve().parent.parent

# -- the registry data ---------------------------------------------------------


def _socio(nome: str, cpf: str, qualificacao: str, codigo: int, entrada: str) -> dict:
    digitos = cpf.replace(".", "").replace("-", "")
    return {
        "identificador_de_socio": 2,
        "nome_socio": nome,
        "cnpj_cpf_do_socio": f"***{digitos[3:9]}**",
        "codigo_qualificacao_socio": codigo,
        "qualificacao_socio": qualificacao,
        "data_entrada_sociedade": entrada,
        "codigo_pais": None,
        "pais": None,
        "cpf_representante_legal": "***000000**",
        "nome_representante_legal": "",
        "codigo_qualificacao_representante_legal": 0,
        "qualificacao_representante_legal": "Não informada",
        "codigo_faixa_etaria": 5,
        "faixa_etaria": "Entre 41 a 50 anos",
    }


def _empresa(cnpj, razao, fantasia, situacao, data_situacao, abertura, natureza, cod_natureza, porte, capital,
             tipo_logradouro, logradouro, numero, complemento, bairro, cep, uf, municipio, cod_ibge, cnae, qsa):
    codigo_situacao = {"ATIVA": 2, "BAIXADA": 8}[situacao]
    return {
        "cnpj": cnpj,
        "identificador_matriz_filial": 1,
        "descricao_identificador_matriz_filial": "MATRIZ",
        "nome_fantasia": fantasia,
        "situacao_cadastral": codigo_situacao,
        "descricao_situacao_cadastral": situacao,
        "data_situacao_cadastral": data_situacao,
        "motivo_situacao_cadastral": 0 if situacao == "ATIVA" else 1,
        "descricao_motivo_situacao_cadastral": "SEM MOTIVO" if situacao == "ATIVA" else "EXTINCAO POR ENCERRAMENTO LIQUIDACAO VOLUNTARIA",
        "nome_cidade_no_exterior": "",
        "codigo_pais": None,
        "pais": None,
        "data_inicio_atividade": abertura,
        "cnae_fiscal": cnae[0],
        "cnae_fiscal_descricao": cnae[1],
        "descricao_tipo_de_logradouro": tipo_logradouro,
        "logradouro": logradouro,
        "numero": numero,
        "complemento": complemento,
        "bairro": bairro,
        "cep": cep,
        "uf": uf,
        "codigo_municipio": None,
        "codigo_municipio_ibge": cod_ibge,
        "municipio": municipio,
        "ddd_telefone_1": "",
        "ddd_telefone_2": "",
        "ddd_fax": "",
        "email": None,
        "situacao_especial": "",
        "data_situacao_especial": None,
        "opcao_pelo_simples": False,
        "data_opcao_pelo_simples": None,
        "data_exclusao_do_simples": None,
        "opcao_pelo_mei": False,
        "data_opcao_pelo_mei": None,
        "data_exclusao_do_mei": None,
        "razao_social": razao,
        "codigo_natureza_juridica": cod_natureza,
        "natureza_juridica": natureza,
        "qualificacao_do_responsavel": 49,
        "capital_social": capital,
        "codigo_porte": {"DEMAIS": 5, "EMPRESA DE PEQUENO PORTE": 3}[porte],
        "porte": porte,
        "ente_federativo_responsavel": "",
        "qsa": qsa,
        "cnaes_secundarios": [],
        "regime_tributario": [],
    }


LUMINA = _empresa(
    "64628897000185", "LUMINA VAREJO DE ELETRODOMESTICOS LTDA", "LUMINA CASA", "ATIVA", "2012-05-17", "2012-05-17",
    "Sociedade Empresária Limitada", 2062, "DEMAIS", 2500000.0, "AVENIDA", "DOS ESTADOS", "4500", "GALPAO 3",
    "SANTA MARIA", "09015030", "SP", "SANTO ANDRE", 3547809,
    (4753900, "Comércio varejista especializado de eletrodomésticos e equipamentos de áudio e vídeo"),
    [_socio("RENATA OLIVEIRA PRADO", "082.619.958-52", "Sócio-Administrador", 49, "2012-05-17"),
     _socio("MARCOS VINICIUS PRADO", "116.957.220-00", "Sócio", 22, "2012-05-17")],
)
NORDICA = _empresa(
    "51402614000130", "NORDICA SISTEMAS DE INFORMACAO LTDA", "NORDICA", "ATIVA", "2016-09-02", "2016-09-02",
    "Sociedade Empresária Limitada", 2062, "EMPRESA DE PEQUENO PORTE", 300000.0, "RUA", "FUNCHAL", "411",
    "CONJ 62", "VILA OLIMPIA", "04551060", "SP", "SAO PAULO", 3550308,
    (6201501, "Desenvolvimento de programas de computador sob encomenda"),
    [_socio("HENRIQUE LUND CARVALHO", "225.428.211-51", "Sócio-Administrador", 49, "2016-09-02")],
)
ATRIUM = _empresa(
    "01419314000196", "ATRIUM EMPREENDIMENTOS IMOBILIARIOS S.A.", "ATRIUM", "ATIVA", "2005-03-11", "2005-03-11",
    "Sociedade Anônima Fechada", 2054, "DEMAIS", 18000000.0, "AVENIDA", "PEREIRA BARRETO", "1479",
    "SALA 1201", "BAETA NEVES", "09751000", "SP", "SAO BERNARDO DO CAMPO", 3548708,
    (6810202, "Aluguel de imóveis próprios"),
    [_socio("CLAUDIA REGINA FONTANA", "415.618.365-32", "Diretor", 10, "2019-04-30"),
     _socio("EDUARDO SEIXAS MOURAO", "461.073.587-30", "Presidente", 16, "2019-04-30")],
)
SOL_NASCENTE = _empresa(
    "17058649000166", "SOL NASCENTE EMBALAGENS LTDA", "SOL NASCENTE", "BAIXADA", "2023-08-14", "2009-11-23",
    "Sociedade Empresária Limitada", 2062, "EMPRESA DE PEQUENO PORTE", 150000.0, "RUA", "GIOVANNI BATTISTA PIRELLI",
    "880", "", "HOMERO THON", "09111340", "SP", "SANTO ANDRE", 3547809,
    (2222600, "Fabricação de embalagens de material plástico"),
    [_socio("JOAO BATISTA FERRAZ", "355.706.360-72", "Sócio-Administrador", 49, "2009-11-23")],
)
REGISTRO = [LUMINA, NORDICA, ATRIUM, SOL_NASCENTE]

# -- the contracts ---------------------------------------------------------------

LUMINA_QUALIFICACAO = (
    "LUMINA VAREJO DE ELETRODOMÉSTICOS LTDA, pessoa jurídica de direito privado, inscrita no CNPJ sob o nº "
    "64.628.897/0001-85, com sede na Avenida dos Estados, nº 4.500, Galpão 3, Santa Maria, Santo André/SP, "
    "CEP 09015-030, neste ato representada por sua sócia administradora RENATA OLIVEIRA PRADO, brasileira, "
    "casada, administradora de empresas, inscrita no CPF sob o nº 082.619.958-52"
)

APROVADO = {
    "titulo": "CONTRATO DE PRESTAÇÃO DE SERVIÇOS DE TECNOLOGIA DA INFORMAÇÃO",
    "cabecalho": "Contrato nº 2025/014 – Lumina / Nórdica",
    "corpo": [
        f"Pelo presente instrumento particular, de um lado, {LUMINA_QUALIFICACAO}, doravante denominada "
        "CONTRATANTE; e, de outro lado, NÓRDICA SISTEMAS DE INFORMAÇÃO LTDA, pessoa jurídica de direito "
        "privado, inscrita no CNPJ sob o nº 51.402.614/0001-30, com sede na Rua Funchal, nº 411, conjunto 62, "
        "Vila Olímpia, São Paulo/SP, CEP 04551-060, neste ato representada por seu sócio administrador "
        "HENRIQUE LUND CARVALHO, brasileiro, solteiro, engenheiro de computação, inscrito no CPF sob o nº "
        "225.428.211-51, doravante denominada CONTRATADA; têm entre si justo e contratado o que segue.",
        "",
        "CLÁUSULA PRIMEIRA – DO OBJETO",
        "1.1. O presente contrato tem por objeto a manutenção evolutiva e corretiva do sistema de vendas das "
        "lojas da CONTRATANTE, com atendimento em dias úteis, das 8h às 20h, conforme o Anexo I.",
        "",
        "CLÁUSULA SEGUNDA – DO PREÇO E DO PAGAMENTO",
        "2.1. A CONTRATANTE pagará à CONTRATADA o valor de R$ 38.000,00 (trinta e oito mil reais) mensais, "
        "até o décimo dia útil do mês seguinte ao da prestação dos serviços, mediante nota fiscal.",
        "2.2. O valor será reajustado a cada 12 (doze) meses pela variação do IPCA.",
        "",
        "CLÁUSULA TERCEIRA – DA VIGÊNCIA",
        "3.1. O prazo de vigência é de 24 (vinte e quatro) meses, contados da data de assinatura.",
        "",
        "CLÁUSULA QUARTA – DA CONFIDENCIALIDADE E DA PROTEÇÃO DE DADOS",
        "4.1. A CONTRATADA tratará os dados pessoais a que tiver acesso somente para executar este contrato, "
        "observada a Lei nº 13.709/2018.",
        "",
        "CLÁUSULA QUINTA – DO FORO",
        "5.1. Fica eleito o foro da Comarca de Santo André/SP para dirimir as questões oriundas deste contrato.",
        "",
        "E, por estarem assim justas e contratadas, as partes assinam o presente em 2 (duas) vias de igual teor.",
        "",
        "Santo André, 6 de janeiro de 2025.",
        "",
        "______________________________________",
        "LUMINA VAREJO DE ELETRODOMÉSTICOS LTDA",
        "Nome: Renata Oliveira Prado",
        "Cargo: Sócia Administradora",
        "",
        "______________________________________",
        "NÓRDICA SISTEMAS DE INFORMAÇÃO LTDA",
        "Nome: Henrique Lund Carvalho",
        "Cargo: Sócio Administrador",
        "",
        "Testemunhas:",
        "______________________________________",
        "Nome: Patrícia Gomes Andrade",
        "CPF: 318.402.957-06",
        "",
        "______________________________________",
        "Nome: Otávio Ramos Teixeira",
        "CPF: 207.551.846-20",
    ],
    # Signed by hand: the PDFs carry no digital signature, so no stamp text either.
    "carimbos": [],
}

PENDENTE = {
    "titulo": "CONTRATO DE LOCAÇÃO NÃO RESIDENCIAL",
    "cabecalho": "Locação – Av. Pereira Barreto, 1.479, loja 4",
    "corpo": [
        "LOCADORA: ATRIUM EMPREENDIMENTOS IMOBILIÁRIOS S.A., sociedade anônima, inscrita no CNPJ sob o nº "
        "01.419.314/0001-96, com sede na Rua Marechal Deodoro, nº 2.260, 3º andar, Centro, São "
        "Bernardo do Campo/SP, CEP 09710-201, neste ato representada por sua diretora CLÁUDIA REGINA FONTANA, "
        "brasileira, divorciada, economista, inscrita no CPF sob o nº 415.618.365-32.",
        "",
        f"LOCATÁRIA: {LUMINA_QUALIFICACAO}.",
        "",
        "As partes acima qualificadas resolvem celebrar o presente contrato de locação, que se regerá pelas "
        "cláusulas seguintes e pela Lei nº 8.245/1991.",
        "",
        "CLÁUSULA PRIMEIRA – DO OBJETO",
        "1.1. O presente contrato tem por objeto a locação da loja nº 4 do térreo do edifício situado na "
        "Avenida Pereira Barreto, nº 1.479, para a instalação de uma loja de eletrodomésticos da LOCATÁRIA.",
        "",
        "CLÁUSULA SEGUNDA – DO ALUGUEL",
        "2.1. O aluguel mensal é de R$ 21.500,00 (vinte e um mil e quinhentos reais), pago até o dia 5 de cada "
        "mês e reajustado anualmente pelo IGP-M.",
        "",
        "CLÁUSULA TERCEIRA – DO PRAZO",
        "3.1. A locação vigorará pelo prazo de 60 (sessenta) meses, a partir de 1º de março de 2025.",
        "",
        "CLÁUSULA QUARTA – DO FORO",
        "4.1. Fica eleito o foro da Comarca de São Bernardo do Campo/SP.",
        "",
        "São Bernardo do Campo, 14 de fevereiro de 2025.",
        "",
        "______________________________________",
        "ATRIUM EMPREENDIMENTOS IMOBILIÁRIOS S.A.",
        "Cláudia Regina Fontana – Diretora",
        "",
        "______________________________________",
        "LUMINA VAREJO DE ELETRODOMÉSTICOS LTDA",
        "Renata Oliveira Prado – Sócia Administradora",
        "",
        "Testemunhas:",
        "______________________________________",
        "Nome: Sílvio Augusto Brandão",
        "CPF: 536.630.626-43",
    ],
    "carimbos": [],
}

REPROVADO = {
    "titulo": "CONTRATO DE FORNECIMENTO DE EMBALAGENS",
    "cabecalho": "Fornecimento nº 77/2025",
    "corpo": [
        f"CONTRATANTE: {LUMINA_QUALIFICACAO}.",
        "",
        "FORNECEDORA: SOL NASCENTE EMBALAGENS LTDA, pessoa jurídica de direito privado, inscrita no CNPJ sob o "
        "nº 17.058.649/0001-66, com sede na Rua Giovanni Battista Pirelli, nº 880, Homero Thon, Santo "
        "André/SP, CEP 09111-340, neste ato representada por seu sócio administrador JOÃO BATISTA FERRAZ, "
        "brasileiro, casado, empresário, inscrito no CPF sob o nº 355.706.360-72.",
        "",
        "Têm entre si justo e contratado o fornecimento de embalagens, nos termos seguintes.",
        "",
        "CLÁUSULA PRIMEIRA – DO OBJETO",
        "1.1. O presente contrato tem por objeto o fornecimento mensal de 40.000 (quarenta mil) caixas de "
        "papelão ondulado e 15.000 (quinze mil) sacos plásticos personalizados para as lojas da CONTRATANTE.",
        "",
        "CLÁUSULA SEGUNDA – DO PREÇO",
        "2.1. O preço do fornecimento é de R$ 64.800,00 (sessenta e quatro mil e oitocentos reais) mensais.",
        "",
        "CLÁUSULA TERCEIRA – DA VIGÊNCIA",
        "3.1. O prazo de vigência é de 12 (doze) meses.",
        "",
        "CLÁUSULA QUARTA – DO FORO",
        "4.1. Fica eleito o foro da Comarca de Santo André/SP.",
        "",
        "Santo André, 3 de março de 2025.",
        "",
        "______________________________________",
        "LUMINA VAREJO DE ELETRODOMÉSTICOS LTDA",
        "Renata Oliveira Prado",
        "",
        "______________________________________",
        "SOL NASCENTE EMBALAGENS LTDA",
        "João Batista Ferraz",
    ],
    "carimbos": [],
}

CONTRATOS = {"contrato_aprovado.pdf": APROVADO, "contrato_pendente.pdf": PENDENTE,
             "contrato_reprovado.pdf": REPROVADO}

# -- a text PDF laid out as a word processor would -------------------------------

LARGURA, ALTURA, MARGEM = 595, 842, 56
COLUNAS = 92  # characters per line at 10 pt Helvetica in the text width
LINHAS_POR_PAGINA = 52


def _linhas(contrato: dict) -> list[str]:
    linhas = [contrato["titulo"], ""]
    for paragrafo in contrato["corpo"]:
        linhas += textwrap.wrap(paragrafo, COLUNAS) if paragrafo else [""]
    if contrato["carimbos"]:
        linhas += [""] + contrato["carimbos"]
    return linhas


def _texto(doc, pagina, texto: str, x: float, y: float, tamanho: float) -> None:
    obj = pdfium_c.FPDFPageObj_NewTextObj(doc.raw, b"Helvetica", ctypes.c_float(tamanho))
    codificado = (texto + "\x00").encode("utf-16-le")
    buffer = ctypes.create_string_buffer(codificado, len(codificado))
    pdfium_c.FPDFText_SetText(obj, ctypes.cast(buffer, ctypes.POINTER(pdfium_c.FPDF_WCHAR)))
    pdfium_c.FPDFPageObj_Transform(obj, 1, 0, 0, 1, x, y)
    pdfium_c.FPDFPage_InsertObject(pagina.raw, obj)


def escrever_pdf(destino: Path, contrato: dict) -> None:
    linhas = _linhas(contrato)
    paginas = [linhas[i:i + LINHAS_POR_PAGINA] for i in range(0, len(linhas), LINHAS_POR_PAGINA)]
    doc = pdfium.PdfDocument.new()
    for n, conteudo in enumerate(paginas, 1):
        pagina = doc.new_page(LARGURA, ALTURA)
        _texto(doc, pagina, contrato["cabecalho"], MARGEM, ALTURA - 36, 8)
        for i, linha in enumerate(conteudo):
            if linha:
                _texto(doc, pagina, linha, MARGEM, ALTURA - 70 - 14 * i, 10)
        _texto(doc, pagina, f"Página {n} de {len(paginas)}", LARGURA - MARGEM - 60, 30, 8)
        pdfium_c.FPDFPage_GenerateContent(pagina.raw)
        pagina.close()
    doc.save(str(destino))
    doc.close()


def gerar(destino: Path) -> list[Path]:
    """Escreve os três contratos e ``registro.jsonl`` em ``destino``; devolve os arquivos escritos."""
    destino.mkdir(parents=True, exist_ok=True)
    escritos = []
    for nome, contrato in CONTRATOS.items():
        escrever_pdf(destino / nome, contrato)
        escritos.append(destino / nome)
    jsonl = destino / "registro.jsonl"
    jsonl.write_text("".join(json.dumps(e, ensure_ascii=False) + "\n" for e in REGISTRO), encoding="utf-8")
    escritos.append(jsonl)
    return escritos


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description="Gera os contratos de exemplo e os dados de registro deles.")
    parser.add_argument("--destino", type=Path, default=RAIZ / "exemplos", help="pasta de saída (padrão: exemplos/)")
    args = parser.parse_args(argv)
    for caminho in gerar(args.destino):
        print(caminho)


if __name__ == "__main__":
    main()
