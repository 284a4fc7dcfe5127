"""Contracts of the shapes real ones take, read end to end from generated PDFs: a descriptor clause
between a party's name and its CNPJ, a public body without CNPJ beside a company, a rank before a
representative's name, party boxes and "Representada por:", a natural person as a party, a CNPJ
with wrong check digits after a name, signature blocks side by side, and the contract decision."""

import acuracia
import pytest
from pdfs import write_laid_out_pdf, write_text_pdf
from scans import write_scanned_pdf

from scrivane import ocr, read_document
from scrivane.local_extractor import extrair

FECHO = "\nE, por estarem justas e acordadas, as partes assinam o presente contrato.\nCampinas, 10 de março de 2025.\n"

# id, page text, expected companies {(legal name, CNPJ, role)}, expected signatories {(name, CPF, company)}
FORMAS = [
    ("cláusula descritiva entre o nome e o CNPJ",
     "TERMO DE COLABORAÇÃO Nº 5/2025\nO INSTITUTO DE PREVIDÊNCIA DO MUNICÍPIO DE CAMPINAS, entidade autárquica com "
     "personalidade jurídica de direito público, inscrita no Cadastro Nacional de Pessoas Jurídicas CNPJ nº "
     "11.222.333/0001-81, com sede na Rua A, 10, neste ato representado por seu Presidente, JOÃO CARLOS MENDES, "
     "brasileiro, inscrito no CPF sob o nº 123.456.789-09, doravante denominado CONTRATANTE, e a ASSOCIAÇÃO AMIGOS "
     "DO BAIRRO, associação sem fins econômicos, fundada em 12/03/1990, com sede na Rua B, 20, inscrita no CNPJ sob "
     "o nº 12.345.678/0001-95, neste ato representada por sua Presidente, MARIA HELENA SOUZA, brasileira, inscrita "
     "no CPF sob o nº 987.654.321-00, doravante denominada CONTRATADA, resolvem celebrar o presente termo." + FECHO,
     {("INSTITUTO DE PREVIDÊNCIA DO MUNICÍPIO DE CAMPINAS", "11.222.333/0001-81", "CONTRATANTE"),
      ("ASSOCIAÇÃO AMIGOS DO BAIRRO", "12.345.678/0001-95", "CONTRATADA")},
     {("JOÃO CARLOS MENDES", "123.456.789-09", "INSTITUTO DE PREVIDÊNCIA DO MUNICÍPIO DE CAMPINAS"),
      ("MARIA HELENA SOUZA", "987.654.321-00", "ASSOCIAÇÃO AMIGOS DO BAIRRO")}),
    ("descritores longos, com um nome próprio, entre o nome e o CNPJ",
     "CONTRATO Nº 5/2025\nO SERVIÇO AUTÔNOMO DE ÁGUA E ESGOTO DE ITAPIRA, entidade autárquica municipal com "
     "personalidade jurídica de direito público e autonomia administrativa, instituída por lei lavrada no 2º Tabelião "
     "de Notas, inscrita no Cadastro Nacional de Pessoas Jurídicas CNPJ nº 11.222.333/0001-81, doravante denominado "
     "CONTRATANTE, e a FUNDAÇÃO EDUCACIONAL DE BARRETOS, entidade de direito privado sem fins lucrativos, fundada em "
     "10 de maio de 1998, com sede na Rua das Flores, 20, Centro, Barretos/SP, inscrita no CNPJ/MF sob o nº "
     "12.345.678/0001-95, doravante denominada CONTRATADA, resolvem celebrar o presente contrato." + FECHO,
     {("SERVIÇO AUTÔNOMO DE ÁGUA E ESGOTO DE ITAPIRA", "11.222.333/0001-81", "CONTRATANTE"),
      ("FUNDAÇÃO EDUCACIONAL DE BARRETOS", "12.345.678/0001-95", "CONTRATADA")}, set()),
    ("nome empresarial e NIRE antes do CNPJ",
     "CONTRATO DE PRESTAÇÃO DE SERVIÇOS\nDe um lado, sociedade limitada de nome empresarial DELTA ENGENHARIA LTDA, "
     "registrada na Junta Comercial do Estado de São Paulo sob o NIRE 35.222.333.444, com sede na Rua C, 30, "
     "devidamente inscrita no Cadastro Nacional de Pessoa Jurídica/MF sob o nº 11.222.333/0001-81, doravante "
     "denominada CONTRATADA, e de outro lado a empresa OMEGA COMÉRCIO LTDA, inscrita no CNPJ sob o nº "
     "12.345.678/0001-95, doravante denominada CONTRATANTE, têm entre si justo e contratado o que segue." + FECHO,
     {("DELTA ENGENHARIA LTDA", "11.222.333/0001-81", "CONTRATADA"),
      ("OMEGA COMÉRCIO LTDA", "12.345.678/0001-95", "CONTRATANTE")}, set()),
    ("alteração contratual: o sócio, depois a sociedade de nome empresarial, NIRE, sede e CNPJ",
     "ALTERAÇÃO CONTRATUAL DA SOCIEDADE DELTA ENGENHARIA LTDA\nCARLOS EDUARDO RAMOS, nacionalidade BRASILEIRA, nascido em "
     "15/03/1984, CASADO, EMPRESARIO, CPF nº 123.456.789-09, residente e domiciliado na RUA A, 10, BELÉM, PA, CEP "
     "66635110, BRASIL.\nSócio da sociedade limitada de nome empresarial DELTA ENGENHARIA LTDA, registrada legalmente por "
     "contrato social devidamente arquivado nesta Junta Comercial do Estado do Pará, sob NIRE nº 15201683787, com sede "
     "Avenida Central, 3986, Belém, PA, CEP 66065217, devidamente inscrita no Cadastro Nacional de Pessoa Jurídica/MF sob "
     "o nº 11.222.333/0001-81, delibera ajustar a presente alteração contratual mediante as cláusulas seguintes:\n"
     "CLÁUSULA PRIMEIRA – A sociedade passa a ter sede em Belém.\nCLÁUSULA SEGUNDA – Ficam mantidas as demais cláusulas."
     + FECHO,
     {("DELTA ENGENHARIA LTDA", "11.222.333/0001-81", "SOCIEDADE")},
     {("CARLOS EDUARDO RAMOS", "123.456.789-09", "DELTA ENGENHARIA LTDA")}),
    ("a União sem CNPJ no título e no preâmbulo, posto antes do nome",
     "CONTRATO Nº 59/2024\nCONTRATO DE PRESTAÇÃO DE SERVIÇOS QUE FAZEM ENTRE SI A UNIÃO, POR INTERMÉDIO DO 9º "
     "GRUPAMENTO LOGÍSTICO, E A EMPRESA SIGMA SERVIÇOS LTDA, CNPJ Nº 12.345.678/0001-95.\nA UNIÃO, por intermédio "
     "do 9º Grupamento Logístico, com sede na Av. Duque de Caxias, 1000, Campo Grande/MS, neste ato representada "
     "pelo Ordenador de Despesas, Coronel PM RODRIGO DA SILVA ALVES, inscrito no CPF sob nº 123.456.789-09, "
     "doravante denominada CONTRATANTE, e a empresa SIGMA SERVIÇOS LTDA, inscrita no CNPJ sob o nº "
     "12.345.678/0001-95, sediada na Rua D, 40, doravante designada CONTRATADA, neste ato representada pelo Sr. "
     "PAULO ROBERTO LIMA, portador do CPF nº 987.654.321-00, resolvem celebrar o presente Termo de Contrato." + FECHO,
     {("UNIÃO", None, "CONTRATANTE"), ("SIGMA SERVIÇOS LTDA", "12.345.678/0001-95", "CONTRATADA")},
     {("RODRIGO DA SILVA ALVES", "123.456.789-09", "UNIÃO"),
      ("PAULO ROBERTO LIMA", "987.654.321-00", "SIGMA SERVIÇOS LTDA")}),
    ("órgão sem CNPJ e postos antes dos representantes",
     "CONTRATO DE LOCAÇÃO\nA CAIXA BENEFICENTE DA POLÍCIA MILITAR, com sede na Rua E, 50, neste ato representada "
     "pelo seu Superintendente, Coronel PM ANTÔNIO CARLOS FERREIRA, brasileiro, inscrito no CPF sob nº "
     "123.456.789-09, doravante denominada LOCADORA, e a empresa KAPPA OBRAS LTDA, inscrita no CNPJ sob o nº "
     "55.566.677/0001-83, com sede na Rua F, 60, doravante denominada LOCATÁRIA, neste ato representada pelo "
     "Tenente-Coronel R1 JOSÉ AUGUSTO NUNES, inscrito no CPF sob nº 987.654.321-00, resolvem celebrar o presente "
     "contrato." + FECHO,
     {("CAIXA BENEFICENTE DA POLÍCIA MILITAR", None, "LOCADORA"),
      ("KAPPA OBRAS LTDA", "55.566.677/0001-83", "LOCATÁRIA")},
     {("ANTÔNIO CARLOS FERREIRA", "123.456.789-09", "CAIXA BENEFICENTE DA POLÍCIA MILITAR"),
      ("JOSÉ AUGUSTO NUNES", "987.654.321-00", "KAPPA OBRAS LTDA")}),
    ("Representada por: numa linha e em três",
     "CONTRATO DE PRESTAÇÃO DE SERVIÇOS\nCONTRATANTE: ALFA SERVIÇOS LTDA, inscrita no CNPJ sob o nº "
     "11.222.333/0001-81, com sede na Rua G, 70.\nRepresentada por: ANA PAULA FERREIRA GOMES CPF: 123.456.789-09\n"
     "CONTRATADA: BETA COMÉRCIO LTDA, inscrita no CNPJ sob o nº 12.345.678/0001-95, com sede na Rua H, 80.\n"
     "Representada por:\nMARCOS VINICIUS TEIXEIRA\nCPF: 987.654.321-00\nAs partes resolvem celebrar o presente "
     "contrato." + FECHO,
     {("ALFA SERVIÇOS LTDA", "11.222.333/0001-81", "CONTRATANTE"),
      ("BETA COMÉRCIO LTDA", "12.345.678/0001-95", "CONTRATADA")},
     {("ANA PAULA FERREIRA GOMES", "123.456.789-09", "ALFA SERVIÇOS LTDA"),
      ("MARCOS VINICIUS TEIXEIRA", "987.654.321-00", "BETA COMÉRCIO LTDA")}),
    ("caixas das partes sob o papel, pessoa física com CPF",
     "Contrato de Prestação de Serviços de Desenvolvimento\nCONTRATADO\nAndrey Ricardo Santos Galdino\n"
     "CPF: 123.456.789-09\nPrestador Autônomo de Serviços de TI\nCONTRATANTE\nLuz Celulares\n"
     "CNPJ: 12.345.678/0001-95\nRepr. legal: Igor Araújo da Silva\nAs partes acima identificadas celebram o "
     "presente contrato." + FECHO + "Andrey Ricardo Santos Galdino\nContratado — Prestador de Serviços\n"
     "CPF: 123.456.789-09\nIgor Araújo da Silva\nContratante — Luz Celulares\nCNPJ: 12.345.678/0001-95\n",
     {("Luz Celulares", "12.345.678/0001-95", "CONTRATANTE")},
     {("Andrey Ricardo Santos Galdino", "123.456.789-09", None), ("Igor Araújo da Silva", None, "Luz Celulares")}),
    ("papel antes do nome da pessoa e Nome: no bloco de assinaturas",
     "CONTRATO DE LOCAÇÃO\nO LOCADOR, CARLOS EDUARDO RAMOS, brasileiro, inscrito no CPF sob o nº 123.456.789-09, e a "
     "LOCATÁRIA, GAMA COMÉRCIO LTDA, inscrita no CNPJ sob o nº 12.345.678/0001-95, representada por sua sócia LÚCIA "
     "MARIA COSTA, inscrita no CPF sob o nº 987.654.321-00, resolvem celebrar o presente contrato." + FECHO
     + "LOCADOR:\nNome: CARLOS EDUARDO RAMOS\nAssinatura: ____________________\nLOCATÁRIA:\n"
       "Nome: LÚCIA MARIA COSTA\nAssinatura: ____________________\n",
     {("GAMA COMÉRCIO LTDA", "12.345.678/0001-95", "LOCATÁRIA")},
     {("CARLOS EDUARDO RAMOS", "123.456.789-09", None),
      ("LÚCIA MARIA COSTA", "987.654.321-00", "GAMA COMÉRCIO LTDA")}),
    ("CNPJ com dígitos errados depois do nome",
     "CONTRATO DE LOCAÇÃO\nLOCADORA: Imobiliaria Horizonte CNPJ: 12.345.678/0001-00, com sede na Rua J, 100.\n"
     "LOCATÁRIO: PEDRO HENRIQUE SALES, brasileiro, inscrito no CPF sob o nº 123.456.789-09.\nAs partes resolvem "
     "celebrar o presente contrato." + FECHO,
     {("Imobiliaria Horizonte", "12.345.678/0001-00", "LOCADORA")},
     {("PEDRO HENRIQUE SALES", "123.456.789-09", None)}),
    ("CNPJ com dígitos errados logo depois do nome, no preâmbulo",
     "CONTRATO DE LOCAÇÃO\nPelo presente instrumento, Imobiliária Horizonte CNPJ: 12.345.678/0001-00, com sede na Rua "
     "J, 100, doravante denominada LOCADORA, e GAMA COMÉRCIO LTDA CNPJ nº 11.222.333/0001-81, doravante denominada "
     "LOCATÁRIA, têm entre si justo e contratado." + FECHO,
     {("Imobiliária Horizonte", "12.345.678/0001-00", "LOCADORA"),
      ("GAMA COMÉRCIO LTDA", "11.222.333/0001-81", "LOCATÁRIA")}, set()),
    ("quadro de partes: o órgão público depois da empresa, cada um com a sua linha de CNPJ",
     "TERMO ADITIVO Nº 2/2025\nCONTRATADA: ACME SERVIÇOS LTDA\nCNPJ: 12.345.678/0001-95\nCONTRATANTE: MUNICÍPIO DE XIS\n"
     "CNPJ: 11.222.333/0001-81\nLOCADOR: CARLOS EDUARDO RAMOS\nCPF: 123.456.789-09\nAs partes resolvem celebrar o "
     "presente termo aditivo." + FECHO,
     {("ACME SERVIÇOS LTDA", "12.345.678/0001-95", "CONTRATADA"), ("MUNICÍPIO DE XIS", "11.222.333/0001-81", "CONTRATANTE")},
     {("CARLOS EDUARDO RAMOS", "123.456.789-09", None)}),
    ("empresa qualificada numa cláusula, sem papel, não é parte",
     "CONTRATO DE PRESTAÇÃO DE SERVIÇOS\nACME SERVIÇOS LTDA, inscrita no CNPJ sob o nº 11.222.333/0001-81, doravante "
     "denominada CONTRATADA, e BETA INDÚSTRIA S.A., inscrita no CNPJ sob o nº 12.345.678/0001-95, doravante denominada "
     "CONTRATANTE, resolvem celebrar o presente.\nCLÁUSULA PRIMEIRA – DO OBJETO\nManutenção.\nCLÁUSULA SEGUNDA – DO "
     "SEGURO\nA CONTRATADA manterá seguro junto à PORTO FORTE COMPANHIA DE SEGUROS GERAIS, inscrita no CNPJ sob o nº "
     "55.566.677/0001-83, durante a vigência." + FECHO,
     {("ACME SERVIÇOS LTDA", "11.222.333/0001-81", "CONTRATADA"),
      ("BETA INDÚSTRIA S.A.", "12.345.678/0001-95", "CONTRATANTE")}, set()),
    ("nomes em maiúsculas e minúsculas com 'em', 'para', 'nas'",
     "CONTRATO Nº 12/2025\nO Centro de Treinamento da Marinha em Natal (CTMN), com sede na Rua D, 4, inscrito no CNPJ "
     "sob o nº 11.222.333/0001-81, doravante denominado CONTRATANTE, e a Escola de Idiomas para Todos Ltda., inscrita no "
     "CNPJ sob o nº 12.345.678/0001-95, doravante denominada CONTRATADA, e o Sindicato dos Trabalhadores nas Indústrias "
     "de Xis, inscrito no CNPJ sob o nº 55.566.677/0001-83, doravante denominado INTERVENIENTE, resolvem celebrar o "
     "presente contrato." + FECHO,
     {("Centro de Treinamento da Marinha em Natal (CTMN)", "11.222.333/0001-81", "CONTRATANTE"),
      ("Escola de Idiomas para Todos Ltda.", "12.345.678/0001-95", "CONTRATADA"),
      ("Sindicato dos Trabalhadores nas Indústrias de Xis", "55.566.677/0001-83", "INTERVENIENTE")}, set()),
    ("nome partido numa linha curta em maiúsculas",
     "CONTRATO Nº 4/2025\nO CONSÓRCIO INTERMUNICIPAL DE SAÚDE\nDO VALE DO RIBEIRA, inscrito no CNPJ sob o nº "
     "11.222.333/0001-81, doravante CONTRATANTE, e a empresa\nDELTA ENGENHARIA E CONSTRUÇÕES\nLTDA, inscrita no CNPJ sob "
     "o nº 12.345.678/0001-95, doravante CONTRATADA, celebram o presente." + FECHO,
     {("CONSÓRCIO INTERMUNICIPAL DE SAÚDE DO VALE DO RIBEIRA", "11.222.333/0001-81", "CONTRATANTE"),
      ("DELTA ENGENHARIA E CONSTRUÇÕES LTDA", "12.345.678/0001-95", "CONTRATADA")}, set()),
    ("empresa sem CNPJ no texto, e a seguinte introduzida por ', e X'",
     "CONTRATO DE PRESTAÇÃO DE SERVIÇOS\nALFA TECNOLOGIA LTDA, com sede na Rua A, 1, neste ato representada por seu "
     "diretor, e BETA SOLUÇÕES LTDA, inscrita no CNPJ sob o nº 12.345.678/0001-95, neste ato representada por sua sócia, "
     "têm entre si justo e contratado." + FECHO,
     {("ALFA TECNOLOGIA LTDA", None, None), ("BETA SOLUÇÕES LTDA", "12.345.678/0001-95", None)}, set()),
    # (the body before, with no role and no CNPJ of its own beside parties with roles, is only mentioned)
    ("registro de outra forma: CGC, ou só 'inscrita no Ministério da Fazenda', sem o CNPJ ir para a parte anterior",
     "CONTRATO DE LOCAÇÃO\nA CAIXA BENEFICENTE DA POLÍCIA MILITAR, com sede na Rua E, 50, neste ato representada pelo "
     "Superintendente, e a empresa KAPPA OBRAS LTDA inscrita no Ministério da Fazenda sob o nº 55.566.677/0001-83, "
     "doravante denominada LOCATÁRIA, e GAMA COMÉRCIO LTDA, inscrita no CGC/MF sob o nº 11.222.333/0001-81, doravante "
     "denominada FIADORA, resolvem celebrar o presente contrato." + FECHO,
     {("KAPPA OBRAS LTDA", "55.566.677/0001-83", "LOCATÁRIA"),
      ("GAMA COMÉRCIO LTDA", "11.222.333/0001-81", "FIADORA")}, set()),
    ("CNPJ com letras lidas pelo OCR no lugar de dígitos: emendado só se os dígitos verificadores conferem",
     "CONTRATO DE PRESTAÇÃO DE SERVIÇOS\nKAPPA OBRAS LTDA, inscrita no CNPJ sob o nº 55.566.677/OOO1-83, doravante "
     "denominada CONTRATADA, e GAMA COMÉRCIO LTDA, inscrita no CNPJ sob o nº 11.222.333/OOO1-8l, doravante denominada "
     "CONTRATANTE, e BETA SERVIÇOS LTDA, inscrita no CNPJ sob o nº 12.345.678/OOO1-96, doravante denominada "
     "INTERVENIENTE, resolvem celebrar o presente contrato." + FECHO,
     {("KAPPA OBRAS LTDA", "55.566.677/0001-83", "CONTRATADA"), ("GAMA COMÉRCIO LTDA", "11.222.333/0001-81", "CONTRATANTE"),
      ("BETA SERVIÇOS LTDA", None, "INTERVENIENTE")}, set()),
    ("modelo com nomes de preencher: XXXX, traços, Fulano de Tal",
     "CONTRATO DE PRESTAÇÃO DE SERVIÇOS\nXXXXXXXXXXXX LTDA, inscrita no CNPJ sob o nº XX.XXX.XXX/XXXX-XX, doravante "
     "denominada CONTRATADA, e FULANO DE TAL, brasileiro, inscrito no CPF sob o nº 000.000.000-00, doravante denominado "
     "CONTRATANTE, e EMPRESA ____________ LTDA, inscrita no CNPJ sob o nº ________, doravante denominada FIADORA, têm "
     "entre si justo e contratado." + FECHO, set(), set()),
    ("'empresa' que é parte do nome, e 'a empresa' que só diz o tipo de parte",
     "CONTRATO Nº 4/2025\nA EMPRESA MUNICIPAL DE URBANIZAÇÃO DE XIS – EMURX, empresa pública municipal, inscrita no CNPJ "
     "sob o nº 11.222.333/0001-81, doravante CONTRATANTE, e a empresa SIGMA SERVIÇOS LTDA, inscrita no CNPJ sob o nº "
     "12.345.678/0001-95, doravante CONTRATADA, e a EMPRESA DE TURISMO DE XIS S/A, inscrita no CNPJ sob o nº "
     "55.566.677/0001-83, doravante INTERVENIENTE, celebram o presente." + FECHO,
     {("EMPRESA MUNICIPAL DE URBANIZAÇÃO DE XIS – EMURX", "11.222.333/0001-81", "CONTRATANTE"),
      ("SIGMA SERVIÇOS LTDA", "12.345.678/0001-95", "CONTRATADA"),
      ("EMPRESA DE TURISMO DE XIS S/A", "55.566.677/0001-83", "INTERVENIENTE")}, set()),
    ("nome fantasia entre parênteses; 'LTDA. - ME' no fim do nome",
     "CONTRATO DE SERVIÇOS\nCONTRATADA: ACME TECNOLOGIA LTDA (ACME TECH), inscrita no CNPJ sob o nº 12.345.678/0001-95.\n"
     "CONTRATANTE: GAMA COMÉRCIO LTDA. - ME, inscrita no CNPJ sob o nº 11.222.333/0001-81.\nAs partes resolvem "
     "celebrar o presente." + FECHO,
     {("ACME TECNOLOGIA LTDA", "12.345.678/0001-95", "CONTRATADA"),
      ("GAMA COMÉRCIO LTDA. - ME", "11.222.333/0001-81", "CONTRATANTE")}, set()),
    ("órgãos sem CNPJ: Poder Judiciário, Marinha",
     "CONVÊNIO Nº 3/2025\nO PODER JUDICIÁRIO DO ESTADO DE XIS, por intermédio do Tribunal de Justiça, com sede na Praça A, "
     "1, doravante CONTRATANTE, e a MARINHA DO BRASIL, por intermédio do Centro de Intendência, doravante denominada "
     "CONVENENTE, e a empresa ACME SERVIÇOS LTDA, inscrita no CNPJ sob o nº 12.345.678/0001-95, doravante denominada "
     "INTERVENIENTE, resolvem celebrar o presente." + FECHO,
     {("PODER JUDICIÁRIO DO ESTADO DE XIS", None, "CONTRATANTE"), ("MARINHA DO BRASIL", None, "CONVENENTE"),
      ("ACME SERVIÇOS LTDA", "12.345.678/0001-95", "INTERVENIENTE")}, set()),
    ("registro dito de outros modos, sem papel: 'cadastrada no CNPJ sob o nº', 'titular do CNPJ nº'",
     "CONTRATO Nº 3/2025\nACME SERVIÇOS GERAIS EIRELI, cadastrada no CNPJ sob o nº 12.345.678/0001-95, e BETA COMÉRCIO "
     "LTDA, titular do CNPJ nº 11.222.333/0001-81, resolvem celebrar o presente." + FECHO,
     {("ACME SERVIÇOS GERAIS EIRELI", "12.345.678/0001-95", None), ("BETA COMÉRCIO LTDA", "11.222.333/0001-81", None)},
     set()),
    ("nome com vírgulas de enumeração",
     "CONTRATO Nº 3/2025\nO INSTITUTO FEDERAL DE EDUCAÇÃO, CIÊNCIA E TECNOLOGIA DE SÃO PAULO, autarquia federal, inscrito "
     "no CNPJ sob o nº 11.222.333/0001-81, doravante CONTRATANTE, e a Secretaria Municipal de Esporte, Lazer e Juventude, "
     "inscrita no CNPJ sob o nº 12.345.678/0001-95, doravante denominada CONVENENTE, resolvem celebrar o presente." + FECHO,
     {("INSTITUTO FEDERAL DE EDUCAÇÃO, CIÊNCIA E TECNOLOGIA DE SÃO PAULO", "11.222.333/0001-81", "CONTRATANTE"),
      ("Secretaria Municipal de Esporte, Lazer e Juventude", "12.345.678/0001-95", "CONVENENTE")}, set()),
    ("quadro de duas colunas lido sem os dois-pontos: 'Razão Social ACME LTDA' / 'CNPJ 12...'",
     "CONTRATO DE PRESTAÇÃO DE SERVIÇOS\nCONTRATADA\nRazão Social ACME SERVIÇOS LTDA\nCNPJ 12.345.678/0001-95\n"
     "Endereço Rua A, 1\nCONTRATANTE\nRAZÃO SOCIAL BETA COMÉRCIO LTDA\nCNPJ 11.222.333/0001-81\nAs partes resolvem "
     "celebrar o presente." + FECHO,
     {("ACME SERVIÇOS LTDA", "12.345.678/0001-95", "CONTRATADA"), ("BETA COMÉRCIO LTDA", "11.222.333/0001-81", "CONTRATANTE")},
     set()),
    ("traços dobrados pelo OCR, posto colado ao nome, rótulo antes do nome, carimbo digital",
     "CONTRATO Nº 12/2025\nA UNIÃO, por intermédio do 3º Batalhão de Engenharia, neste ato representada pelo "
     "Ordenador de Despesas, doravante denominada CONTRATANTE, e a empresa OMEGA REFRIGERAÇÃO LTDA, inscrita no CNPJ "
     "sob o nº 12.345.678/0001-95, doravante denominada CONTRATADA, resolvem celebrar o presente contrato." + FECHO
     + "CONTRATANTE\nDocumento assinado digitalmente\nVerifique em https://validar.exemplo.br\n"
       "HEITOR BRANDÃO DE MELO -— Tenente-Coronel R1\nOrdenador de Despesas do 3º Batalhão\nCONTRATADA\n"
       "REPRESENTANTE OMEGA – SELMA REGINA VIANA COSTA\nTESTEMUNHAS\nOTÁVIO BRAGA FALCÃO-3º Sgt\n"
       "CPF: 111.444.777-35\n",
     {("UNIÃO", None, "CONTRATANTE"), ("OMEGA REFRIGERAÇÃO LTDA", "12.345.678/0001-95", "CONTRATADA")},
     {("HEITOR BRANDÃO DE MELO", None, "UNIÃO"), ("SELMA REGINA VIANA COSTA", None, "OMEGA REFRIGERAÇÃO LTDA"),
      ("OTÁVIO BRAGA FALCÃO", "111.444.777-35", None)}),
    ("representantes em caixa mista depois do cargo, por intermédio do diretor",
     "CONTRATO Nº 5/2025\nA empresa ALFA SERVIÇOS LTDA, inscrita no CNPJ sob o nº 11.222.333/0001-81, por intermédio "
     "do seu Diretor, o Sr. João Carlos Mendes, doravante denominada CONTRATANTE, e a empresa BETA COMÉRCIO LTDA, "
     "inscrita no CNPJ sob o nº 12.345.678/0001-95, neste ato representada pelo seu procurador, Paulo Roberto Lima, "
     "conforme procuração anexa, doravante denominada CONTRATADA, e o MUNICÍPIO DE SANTA LUZIA, inscrito no CNPJ sob "
     "o nº 55.566.677/0001-83, neste ato representado pela Secretaria Municipal de Educação, Cultura e Esporte, "
     "doravante denominado INTERVENIENTE, resolvem celebrar o presente contrato." + FECHO,
     {("ALFA SERVIÇOS LTDA", "11.222.333/0001-81", "CONTRATANTE"),
      ("BETA COMÉRCIO LTDA", "12.345.678/0001-95", "CONTRATADA"),
      ("MUNICÍPIO DE SANTA LUZIA", "55.566.677/0001-83", "INTERVENIENTE")},
     {("João Carlos Mendes", None, "ALFA SERVIÇOS LTDA"), ("Paulo Roberto Lima", None, "BETA COMÉRCIO LTDA")}),
    ("parte que assina só com o prenome, na linha do papel",
     "CONTRATO DE LOCAÇÃO DE SALÃO\nO SINDICATO DOS MUNICIPÁRIOS DE GUAÍBA, inscrito no CNPJ sob o nº "
     "11.222.333/0001-81, doravante denominado LOCADOR, e o LOCATÁRIO abaixo assinado resolvem celebrar o presente "
     "contrato." + FECHO + "_________________ _________________\nLOCATÁRIO: Carlos\n_________________\nLOCADOR\n",
     {("SINDICATO DOS MUNICIPÁRIOS DE GUAÍBA", "11.222.333/0001-81", "LOCADOR")}, {("Carlos", None, None)}),
]


# Lines of a letterhead or a case file that read almost as a name: an acronym, a case-file number, a department.
NAO_SAO_NOMES = ["CASA CIVIL CVL-PRO-2025/00829", "ASSESSORIA TÉCNICA CPL-PRO", "ASSESSORIA COMERCIAL",
                 "Procuradoria Geral"]


@pytest.mark.parametrize("linha", NAO_SAO_NOMES)
def test_what_does_not_read_as_a_name_is_no_signer(tmp_path, linha):
    texto = ("CONTRATO DE PRESTAÇÃO DE SERVIÇOS\nA empresa ALFA SERVIÇOS LTDA, inscrita no CNPJ sob o nº "
             "11.222.333/0001-81, doravante denominada CONTRATANTE, e a empresa BETA COMÉRCIO LTDA, inscrita no CNPJ "
             "sob o nº 12.345.678/0001-95, doravante denominada CONTRATADA, resolvem celebrar o presente contrato."
             + FECHO + f"{linha}\n______________________________\nMARCOS VINICIUS TEIXEIRA\nSócio – BETA COMÉRCIO LTDA\n"
             f"______________________________\n{linha}\nDiretor\n")
    documento = read_document(write_text_pdf(tmp_path / "c.pdf", acuracia.quebrar([texto], 100)))
    lido = extrair(documento.pages, layout=documento.layout)
    assert [(s["nome_signatario"], s["empresa_representada"]) for s in lido["assinaturas"]] == [
        ("MARCOS VINICIUS TEIXEIRA", "BETA COMÉRCIO LTDA")]


@pytest.mark.parametrize("texto, empresas, assinaturas", [f[1:] for f in FORMAS], ids=[f[0] for f in FORMAS])
def test_party_and_signature_shapes(tmp_path, texto, empresas, assinaturas):
    documento = read_document(write_text_pdf(tmp_path / "c.pdf", acuracia.quebrar([texto], 100)))
    lido = extrair(documento.pages, layout=documento.layout)
    assert lido["eh_contrato"] is True
    assert {(e["razao_social"], e["cnpj"], e["papel_no_contrato"]) for e in lido["empresas"]} == empresas
    assert {(s["nome_signatario"], s["cpf"], s["empresa_representada"]) for s in lido["assinaturas"]} == assinaturas


def test_signature_blocks_side_by_side_are_read_as_two(tmp_path):
    preambulo = [
        "CONTRATO DE PRESTAÇÃO DE SERVIÇOS",
        "A empresa ALFA SERVIÇOS LTDA, inscrita no CNPJ sob o nº 11.222.333/0001-81, doravante",
        "denominada CONTRATANTE, e a empresa BETA COMÉRCIO LTDA, inscrita no CNPJ sob o",
        "nº 12.345.678/0001-95, doravante denominada CONTRATADA, resolvem celebrar o presente contrato.",
        "CLÁUSULA PRIMEIRA – DO OBJETO", "O objeto é a manutenção.",
        "E, por estarem justas e acordadas, as partes assinam o presente contrato.", "Campinas, 10 de março de 2025.",
    ]
    itens = [(60, 80 + 14 * i, linha) for i, linha in enumerate(preambulo)]
    for x, linhas in ((60, ["______________________________", "RODRIGO DA SILVA ALVES – Cel PM",
                            "Diretor – ALFA SERVIÇOS LTDA"]),
                      (330, ["______________________________", "MARCOS VINICIUS TEIXEIRA",
                             "Sócio – BETA COMÉRCIO LTDA"])):
        itens += [(x, 260 + 14 * i, linha) for i, linha in enumerate(linhas)]
    itens.append((60, 330, "Testemunhas:"))
    for x, linhas in ((60, ["ANA PAULA GOMES – 3º Sgt", "CPF: 111.444.777-35"]),
                      (330, ["3º Sgt JOSÉ CARLOS NUNES — S Ten", "CPF: 222.555.888-40"])):
        itens += [(x, 360 + 14 * i, linha) for i, linha in enumerate(linhas)]
    documento = read_document(write_laid_out_pdf(tmp_path / "c.pdf", [itens]))
    lido = extrair(documento.pages, layout=documento.layout)
    assert {(s["nome_signatario"], s["cpf"], s["empresa_representada"], s["tipo_assinatura"])
            for s in lido["assinaturas"]} == {
        ("RODRIGO DA SILVA ALVES", None, "ALFA SERVIÇOS LTDA", "representante"),
        ("MARCOS VINICIUS TEIXEIRA", None, "BETA COMÉRCIO LTDA", "representante"),
        ("ANA PAULA GOMES", "111.444.777-35", None, "testemunha"),
        ("JOSÉ CARLOS NUNES", "222.555.888-40", None, "testemunha"),
    }


PREAMBULO = ("CONTRATO DE PRESTAÇÃO DE SERVIÇOS\nA empresa ALFA SERVIÇOS LTDA, inscrita no CNPJ sob o nº "
             "11.222.333/0001-81, doravante denominada CONTRATANTE, e a empresa BETA COMÉRCIO LTDA, inscrita no CNPJ "
             "sob o nº 12.345.678/0001-95, doravante denominada CONTRATADA, resolvem celebrar o presente contrato.\n"
             "CLÁUSULA PRIMEIRA – DO OBJETO\nO objeto é a manutenção.\n"
             "E, por estarem justas e acordadas, as partes assinam o presente contrato.\n")
ALFA, BETA = "ALFA SERVIÇOS LTDA", "BETA COMÉRCIO LTDA"
REGUA = "______________________________"


@pytest.mark.parametrize("bloco, esperadas", [
    # names in mixed case with no rule, the position and the company under each
    ("Campinas, 10 de março de 2025.\nJoana Prado Siqueira\nDiretora – ALFA SERVIÇOS LTDA\nRui Tavares Bastos\n"
     "Sócio – BETA COMÉRCIO LTDA\n", {("Joana Prado Siqueira", None, ALFA), ("Rui Tavares Bastos", None, BETA)}),
    # the name typed above the rule, the role under it
    (f"Campinas, 10 de março de 2025.\nJoana Prado Siqueira\n{REGUA}\nCONTRATANTE\nRui Tavares Bastos\n{REGUA}\n"
     "CONTRATADA\n", {("Joana Prado Siqueira", None, ALFA), ("Rui Tavares Bastos", None, BETA)}),
    # the company under the rule and "p/" before the one who signs for it
    (f"Campinas, 10 de março de 2025.\n{REGUA}\nALFA SERVIÇOS LTDA\np/ Joana Prado Siqueira\n{REGUA}\n"
     "BETA COMÉRCIO LTDA\np/ Rui Tavares Bastos\n", {("Joana Prado Siqueira", None, ALFA), ("Rui Tavares Bastos", None, BETA)}),
    # the name and the role on one line; the place and the date after a dash
    (f"Campinas — SP, 10 de março de 2025.\n{REGUA}\nJOANA PRADO SIQUEIRA – CONTRATANTE\n{REGUA}\n"
     "RUI TAVARES BASTOS – CONTRATADA\n", {("JOANA PRADO SIQUEIRA", None, ALFA), ("RUI TAVARES BASTOS", None, BETA)}),
    # the name on the rule's own line; witnesses numbered, each with the CPF on the line
    (f"Campinas, 10 de março de 2025.\nJOANA PRADO SIQUEIRA {REGUA}\nTestemunhas:\n"
     "1) Caio Mendes Duarte – CPF 111.444.777-35\n2) Vera Lúcia Antunes – CPF 222.555.888-40\n",
     {("JOANA PRADO SIQUEIRA", None, None), ("Caio Mendes Duarte", "111.444.777-35", None),
      ("Vera Lúcia Antunes", "222.555.888-40", None)}),
    # no role or company under the signers: one signer per party, in the order the parties are qualified
    (f"Campinas, 10 de março de 2025.\n{REGUA}\nJOANA PRADO SIQUEIRA\nDiretora\n{REGUA}\nRUI TAVARES BASTOS\nSócio\n",
     {("JOANA PRADO SIQUEIRA", None, ALFA), ("RUI TAVARES BASTOS", None, BETA)}),
    # ... the witnesses apart, announced as "1ª TESTEMUNHA:"
    (f"Campinas, 10 de março de 2025.\n{REGUA}\nJOANA PRADO SIQUEIRA\nDiretora\n{REGUA}\nRUI TAVARES BASTOS\nSócio\n"
     f"1ª TESTEMUNHA: {REGUA}\nNome: Caio Mendes Duarte\nCPF: 111.444.777-35\n2ª TESTEMUNHA: {REGUA}\n"
     "Nome: Vera Lúcia Antunes\nCPF: 222.555.888-40\n",
     {("JOANA PRADO SIQUEIRA", None, ALFA), ("RUI TAVARES BASTOS", None, BETA),
      ("Caio Mendes Duarte", "111.444.777-35", None), ("Vera Lúcia Antunes", "222.555.888-40", None)}),
    # ... but not when the signers outnumber the parties
    (f"Campinas, 10 de março de 2025.\n{REGUA}\nJOANA PRADO SIQUEIRA\nDiretora\n{REGUA}\nRUI TAVARES BASTOS\nSócio\n"
     f"{REGUA}\nCAIO MENDES DUARTE\nGerente\n",
     {("JOANA PRADO SIQUEIRA", None, None), ("RUI TAVARES BASTOS", None, None), ("CAIO MENDES DUARTE", None, None)}),
    # a label with the first words of a party's name over its signers ("PELA ALFA:")
    (f"Campinas, 10 de março de 2025.\nPELA ALFA:\n{REGUA}\nJOANA PRADO SIQUEIRA\nDiretora\n{REGUA}\n"
     f"CAIO MENDES DUARTE\nGerente\nPELA BETA:\n{REGUA}\nRUI TAVARES BASTOS\nSócio\n",
     {("JOANA PRADO SIQUEIRA", None, ALFA), ("CAIO MENDES DUARTE", None, ALFA), ("RUI TAVARES BASTOS", None, BETA)}),
    # a name a signature covered the end of is not reported; a short surname in capitals is one
    (f"Campinas, 10 de março de 2025.\n{REGUA}\nJOANA PRADO AN\nDiretora – ALFA SERVIÇOS LTDA\n{REGUA}\n"
     "RUI TAVARES DE SÁ\nSócio – BETA COMÉRCIO LTDA\n", {("RUI TAVARES DE SÁ", None, BETA)}),
    # the name in parentheses after the rule, an honorific before the name
    (f"Campinas, 10 de março de 2025.\nCONTRATANTE: {REGUA} (JOANA PRADO SIQUEIRA)\n"
     f"CONTRATADA: {REGUA}\nSr. Rui Tavares Bastos\nSócio – BETA COMÉRCIO LTDA\n",
     {("JOANA PRADO SIQUEIRA", None, ALFA), ("Rui Tavares Bastos", None, BETA)}),
    # two blocks' names run into one line over two CPFs: no name of both is made up
    ("Campinas, 10 de março de 2025.\nJOANA PRADO SIQUEIRA RUI TAVARES BASTOS\n"
     "CPF: 111.444.777-35 CPF: 222.555.888-40\n", set()),
    # what OCR reads of a signature's stroke around the typed names
    (f"Campinas, 10 de março de 2025.\n{REGUA}\n=— JOANA PRADO SIQUEIRA ae\nDiretora – ALFA SERVIÇOS LTDA\n{REGUA}\n"
     "Rd RUI TAVARES BASTOS |\nSócio – BETA COMÉRCIO LTDA\n",
     {("JOANA PRADO SIQUEIRA", None, ALFA), ("RUI TAVARES BASTOS", None, BETA)}),
], ids=["nomes sem linha", "nome acima da linha", "empresa e p/ nome", "nome e papel numa linha",
        "nome na linha e testemunhas numeradas", "pela ordem das partes", "pela ordem, testemunhas ordinais",
        "mais assinantes que partes",
        "rótulo com o nome da parte", "nome cortado e sobrenome curto", "nome entre parênteses e Sr.",
        "nomes de dois blocos numa linha",
        "traços da assinatura em volta do nome"])
def test_signature_block_shapes(tmp_path, bloco, esperadas):
    documento = read_document(write_text_pdf(tmp_path / "c.pdf", acuracia.quebrar([PREAMBULO + bloco], 100)))
    lido = extrair(documento.pages, layout=documento.layout)
    assert {(s["nome_signatario"], s["cpf"], s["empresa_representada"]) for s in lido["assinaturas"]} == esperadas


def test_natural_persons_sign_over_their_cpf_and_role(tmp_path):
    """"NOME" / "CPF: ..." / "CONTRATANTE": the role closes the block above it (it is not the box of the
    next name), and with no company of that role it is the person's own."""
    texto = ("CONTRATO DE PRESTAÇÃO DE SERVIÇOS\nAs partes abaixo qualificadas celebram o presente contrato de "
             "prestação de serviços de pintura.\nCLÁUSULA PRIMEIRA – DO OBJETO\nPintura da casa.\nCLÁUSULA SEGUNDA – "
             "DO PREÇO\nR$ 900,00." + FECHO + "RENATA DIAS MOURA\nCPF: 123.456.789-09\nCONTRATANTE\n"
             "CARLOS EDUARDO RAMOS\nCPF: 987.654.321-00\nCONTRATADO\n")
    documento = read_document(write_text_pdf(tmp_path / "c.pdf", acuracia.quebrar([texto], 100)))
    lido = extrair(documento.pages, layout=documento.layout)
    assert {(s["nome_signatario"], s["cpf"], s["cargo"], s["empresa_representada"]) for s in lido["assinaturas"]} == {
        ("RENATA DIAS MOURA", "123.456.789-09", "Contratante", None),
        ("CARLOS EDUARDO RAMOS", "987.654.321-00", "Contratado", None)}


def test_a_name_a_signature_garbled_is_the_qualified_person(tmp_path):
    """A signature drawn over the typed name leaves OCR a word misread or the first letters gone: the
    signer is the person the preamble qualified, not another one."""
    texto = ("CONTRATO DE PRESTAÇÃO DE SERVIÇOS\nA empresa ALFA SERVIÇOS LTDA, inscrita no CNPJ sob o nº "
             "11.222.333/0001-81, neste ato representada por sua diretora, JOANA PRADO SIQUEIRA, inscrita no CPF sob o "
             "nº 123.456.789-09, doravante denominada CONTRATANTE, e a empresa BETA COMÉRCIO LTDA, inscrita no CNPJ sob "
             "o nº 12.345.678/0001-95, neste ato representada por seu sócio, RUI TAVARES BASTOS, inscrito no CPF sob o "
             "nº 987.654.321-00, doravante denominada CONTRATADA, resolvem celebrar o presente contrato." + FECHO
             + f"{REGUA}\nJOANA PRADO ARRÍEIRA\nDiretora\n{REGUA}\nTAVARES BASTOS\nSócio\n")
    documento = read_document(write_text_pdf(tmp_path / "c.pdf", acuracia.quebrar([texto], 100)))
    lido = extrair(documento.pages, layout=documento.layout)
    assert {(s["nome_signatario"], s["cpf"], s["empresa_representada"]) for s in lido["assinaturas"]} == {
        ("JOANA PRADO SIQUEIRA", "123.456.789-09", ALFA), ("RUI TAVARES BASTOS", "987.654.321-00", BETA)}


def test_the_contracts_signers_before_an_annex_signed_on_its_own(tmp_path):
    """The contract's signature block is read even when an annex with its own date and signer follows;
    among the witnesses, a scribble read as a name in mixed case, with nothing to attest it, is not one."""
    texto = (PREAMBULO + f"Campinas, 10 de março de 2025.\n{REGUA}\nJOANA PRADO SIQUEIRA\nCONTRATANTE\n{REGUA}\n"
             f"RUI TAVARES BASTOS\nCONTRATADA\nTESTEMUNHAS:\nHormiê Cegancita Gomes\nMpTR.: 43/300450-0\n{REGUA}\n"
             "Caio Mendes Duarte\nCPF: 111.444.777-35\nANEXO I – DECLARAÇÃO\nA empresa declara, para os devidos fins, que "
             "não emprega menores de dezoito anos em trabalho noturno, perigoso ou insalubre, nem menores de dezesseis "
             f"anos.\nCampinas, 10 de março de 2025.\n{REGUA}\nRUI TAVARES BASTOS\nSócio – BETA COMÉRCIO LTDA\n")
    documento = read_document(write_text_pdf(tmp_path / "c.pdf", acuracia.quebrar([texto], 100)))
    lido = extrair(documento.pages, layout=documento.layout)
    assert {(s["nome_signatario"], s["cpf"], s["empresa_representada"]) for s in lido["assinaturas"]} == {
        ("JOANA PRADO SIQUEIRA", None, ALFA), ("RUI TAVARES BASTOS", None, BETA),
        ("Caio Mendes Duarte", "111.444.777-35", None)}


def test_a_signing_services_log_names_the_signers(tmp_path):
    """A contract signed on a signing service ends with its log: who signed, with the CPF given."""
    log = ("Registro de assinaturas\nDatas e horários em GMT -03:00 Brasília\n"
           "10 mar 2025, 09:58:20 Documento número 4411 criado por Operador Silva. Email: op@exemplo.com.\n"
           "10 mar 2025, 10:05:44 JOANA PRADO SIQUEIRA assinou como contratante. Pontos de autenticação: Token via "
           "E-mail. CPF informado: 123.456.789-09. IP: 10.0.0.1.\n"
           "10 mar 2025, 10:07:12 Rui Tavares Bastos assinou como contratado. Pontos de autenticação: Token via SMS. "
           "CPF informado: 987.654.321-00. IP: 10.0.0.2.\n")
    documento = read_document(write_text_pdf(tmp_path / "c.pdf", acuracia.quebrar([PREAMBULO, log], 100)))
    lido = extrair(documento.pages, layout=documento.layout)
    assert {(s["nome_signatario"], s["cpf"]) for s in lido["assinaturas"]} == {
        ("JOANA PRADO SIQUEIRA", "123.456.789-09"), ("Rui Tavares Bastos", "987.654.321-00")}


COLUNAS_SEM_REGUA = {
    # names in mixed case over a position and a company, witnesses by "Nome:" and "CPF:"
    "nome, cargo e empresa": ([[REGUA, "Joana Prado Siqueira", "Diretora", ALFA], [REGUA, "Rui Tavares Bastos", "Sócio", BETA]],
                              [["Testemunhas:", REGUA, "Nome: Caio Mendes Duarte", "CPF: 111.444.777-35"],
                               ["", REGUA, "Nome: Vera Lúcia Antunes", "CPF: 222.555.888-40"]]),
    # the names above the rules, the roles under them
    "nome acima da linha": ([["Joana Prado Siqueira", REGUA, "CONTRATANTE"], ["Rui Tavares Bastos", REGUA, "CONTRATADA"]],),
}


SEM_OCR = pytest.mark.skipif(ocr.unavailable_reason() is not None, reason="sem OCR")


@pytest.mark.parametrize("digitalizado", [None, pytest.param("reto", marks=SEM_OCR), pytest.param("torto", marks=SEM_OCR)],
                         ids=["texto", "digitalizado", "digitalizado torto e com ruído"])
@pytest.mark.parametrize("forma", list(COLUNAS_SEM_REGUA))
def test_signature_blocks_in_columns_scanned(tmp_path, forma, digitalizado):
    """Blocks side by side on a scan: the OCR drops the rules, so a block's name, position and role
    come as bands of the page one under the other, and each column is read down whole, also when
    the page was fed in slightly tilted."""
    preambulo = acuracia.quebrar([PREAMBULO + "Campinas, 10 de março de 2025."], 90)[0].splitlines()
    itens = [(60, 80 + 14 * i, l) for i, l in enumerate(preambulo)]
    y = 270
    for faixa in COLUNAS_SEM_REGUA[forma]:
        for coluna, linhas in enumerate(faixa):
            itens += [(60 + 250 * coluna, y + 14 * i, l) for i, l in enumerate(linhas) if l]
        y += 14 * max(len(c) for c in faixa) + 28
    pdf = write_laid_out_pdf(tmp_path / "c.pdf", [itens], size=10)
    if digitalizado:
        # a cheap scanner's page: noise, a slight blur and a tilt of about a degree
        pdf = write_scanned_pdf(tmp_path / "scan.pdf", pdf, noisy=(0,) if digitalizado == "torto" else ())
    documento = read_document(pdf)
    assert bool(documento.ocr_pages) is bool(digitalizado)
    lido = extrair(documento.pages, layout=documento.layout)
    esperadas = {("Joana Prado Siqueira", None, ALFA), ("Rui Tavares Bastos", None, BETA)}
    if forma == "nome, cargo e empresa":
        esperadas |= {("Caio Mendes Duarte", "111.444.777-35", None), ("Vera Lúcia Antunes", "222.555.888-40", None)}
    assert {(s["nome_signatario"], s["cpf"], s["empresa_representada"]) for s in lido["assinaturas"]} == esperadas


QUALIFICACAO = ("A empresa ACME SERVIÇOS LTDA, inscrita no CNPJ sob o nº 11.222.333/0001-81, na qualidade de "
                "CONTRATADA do contrato nº 5/2024, representada por JOÃO PEDRO ALMEIDA, inscrito no CPF sob o nº "
                "123.456.789-09.")


@pytest.mark.parametrize("texto, contrato", [
    # a blank template: a contract, with no party to report
    ("CONTRATO DE LOCAÇÃO DE IMÓVEL\nPelo presente instrumento, as partes [NOME], inscrita no CNPJ sob o nº [ ], "
     "e [NOME], inscrito no CPF sob o nº [ ], têm entre si justo e contratado:\nCLÁUSULA PRIMEIRA – DO OBJETO\n"
     "O imóvel.\nCLÁUSULA SEGUNDA – DO PRAZO\nDoze meses.", True),
    # a contract between private persons
    ("CONTRATO DE COMPRA E VENDA\nPelo presente instrumento, RENATA DIAS MOURA, brasileira, inscrita no CPF sob o nº "
     "123.456.789-09, doravante denominada VENDEDORA, e CARLOS EDUARDO RAMOS, brasileiro, inscrito no CPF sob o nº "
     "987.654.321-00, doravante denominado COMPRADOR, têm entre si justo e contratado o que segue." + FECHO, True),
    # what cites a contract is not one: an extract, a notice, a memo, a certificate
    ("EXTRATO DO TERMO ADITIVO Nº 3/2025\nPartes: a União e ACME SERVIÇOS LTDA.\n" + QUALIFICACAO
     + "\nCLÁUSULA PRIMEIRA – prorrogação.", False),
    ("AVISO DE LICITAÇÃO\nPregão Eletrônico nº 12/2025. " + QUALIFICACAO, False),
    ("MEMORANDO Nº 44/2025\nAssunto: renovação. " + QUALIFICACAO + " As partes celebram aditivo.", False),
    ("CERTIDÃO\nCertificamos que " + QUALIFICACAO, False),
    # no title, one contract formula ("na qualidade de") and a qualified party: not enough
    ("Campinas, 3 de março de 2025.\n" + QUALIFICACAO, False),
    # a template whose title follows "Minuta de", with clauses numbered by ordinals and no party filled in
    ("Minuta de Contrato de Locação Residencial\nLOCADOR: ____________, inscrito no CPF sob o nº ______.\nAs partes "
     "ajustam a locação.\n1ª) O prazo é de doze meses.\n2ª) O aluguel é de R$ ____.", True),
    # a template without a title: preamble formulas, clauses and signature lines, no party filled in
    ("Pelo presente instrumento particular, de um lado ____________, doravante denominado LOCADOR, e de outro "
     "____________, doravante denominado LOCATÁRIO, têm entre si justo e contratado:\nCLÁUSULA PRIMEIRA – O prazo é de "
     "doze meses.\nCLÁUSULA SEGUNDA – O aluguel é de R$ ____.\n____________________\nLOCADOR\n____________________\n"
     "LOCATÁRIO", True),
    # a gazette's page: its acts come before the extract of an aditivo
    ("DIÁRIO OFICIAL DO MUNICÍPIO DE XIS\nPORTARIA Nº 12/2025\nNomeia servidor.\nEXTRATO DO PRIMEIRO TERMO ADITIVO\n"
     + QUALIFICACAO + " As partes celebram e resolvem prorrogar.", False),
    # a contract's title that names its published summary
    ("1º TERMO ADITIVO AO CONTRATO Nº 45/2024 – EXTRATO\n" + QUALIFICACAO + " As partes celebram e resolvem prorrogar.",
     False),
    # what the opening does: certifies, acknowledges a payment, appoints an attorney; a memo's subject line
    ("Justiça do Trabalho\nCertifica-se que " + QUALIFICACAO + " As partes celebram e resolvem.", False),
    ("Recebi de " + QUALIFICACAO + " a importância de R$ 1.500,00 referente ao contrato celebrado entre as partes, que "
     "resolvem quitar.", False),
    ("INSTRUMENTO PARTICULAR DE PROCURAÇÃO\nOUTORGANTE: ____________, inscrito no CPF sob o nº ______.\nPelo presente "
     "instrumento, o outorgante nomeia e constitui seu bastante procurador o OUTORGADO, com poderes para representá-lo.",
     False),
    ("SOLICITAÇÃO DE RENOVAÇÃO CONTRATUAL\n" + QUALIFICACAO + " As partes celebram e resolvem renovar.", False),
    ("TERMO DE JUSTIFICATIVA\n" + QUALIFICACAO + " As partes celebram e resolvem renovar.", False),
    ("De: Departamento de Compras\nPara: Procuradoria\nAssunto: renovação do contrato nº 5/2024\n" + QUALIFICACAO
     + " As partes celebram e resolvem renovar.", False),
])
def test_contract_decision_by_what_the_document_is(tmp_path, texto, contrato):
    documento = read_document(write_text_pdf(tmp_path / "d.pdf", acuracia.quebrar([texto], 100)))
    lido = extrair(documento.pages, layout=documento.layout)
    assert lido["eh_contrato"] is contrato
    if not contrato:
        assert lido["empresas"] == [] and lido["assinaturas"] == []


def test_a_signers_name_over_a_cnpj_line_is_not_a_company(tmp_path):
    """Under a signature line, the signer's name over the company's CNPJ: the CNPJ is not given to the
    person's name (the registry would check the wrong party)."""
    texto = ("CONTRATO DE PRESTAÇÃO DE SERVIÇOS\nA empresa ACME SERVIÇOS LTDA, com sede na Rua A, 1, doravante denominada "
             "CONTRATADA, resolvem celebrar o presente." + FECHO + "____________________\nJOÃO PEDRO ALMEIDA\n"
             "11.222.333/0001-81\n____________________\nMARIA SOUZA LIMA\nCNPJ: 12.345.678/0001-95\n")
    documento = read_document(write_text_pdf(tmp_path / "c.pdf", [texto]))
    lido = extrair(documento.pages, layout=documento.layout)
    assert {(e["razao_social"], e["cnpj"]) for e in lido["empresas"]} == {("ACME SERVIÇOS LTDA", None)}
    assert {"JOÃO PEDRO ALMEIDA", "MARIA SOUZA LIMA"} <= {s["nome_signatario"] for s in lido["assinaturas"]}


@pytest.mark.parametrize("texto", [
    "", "Cláusula primeira do objeto", "____", "___", "CPF: 123", "xcpf", "cpfs", "RG 12.345", "cargo e órgão",
    "Testemunhas:", "TESTEMUNHA", "contestemunha", "Assinatura", "assinaturas", "CNPJ/MF", "Nome : Ana", "nome Ana",
    "renome:", "Nome_:", "aſſinatura", "Aſſinatura digital", "rg̃", "İrg", "ASSİNATURA", "ı cnpj", "cpf_", "_cpf",
    "1cpf", "cpf1", "Órgão RG\n", "nome\n:", "e-mail/nome:",
])
def test_the_signature_signal_reads_as_the_full_search(texto):
    """The page's quick test of a signer's signal agrees with the one search over the whole text."""
    from scrivane.local_extractor import disposicao

    for t in (texto, texto.upper(), texto.title(), " " + texto + " "):
        assert disposicao._tem_sinal(t) == (disposicao._SINAL_ASSINATURA.search(t) is not None), t
