"""Verificação de legitimidade de contratos brasileiros.

Módulos:
- ``scrivane_contract.checker``: ``ContractChecker`` e ``verificar_contrato``;
- ``scrivane_contract.cnpj``: utilidades de CNPJ, consultas à Receita Federal,
  busca por nome e comparação de endereços;
- ``scrivane_contract.keywords``: classificação de documentos por palavras-chave.

Os submódulos são carregados sob demanda (``import scrivane_contract.cnpj``).
"""

__version__ = "0.1.0"
