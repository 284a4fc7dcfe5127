"""Verificação de legitimidade de contratos brasileiros.

Módulos:
- ``scrivane_contract.checker``: ``ContractChecker`` e ``verificar_contrato``;
- ``scrivane_contract.cnpj``: utilidades de CNPJ, consultas à Receita Federal,
  busca por nome e comparação de endereços;
- ``scrivane_contract.keywords``: classificação de documentos por palavras-chave.

Os submódulos são carregados sob demanda (``import scrivane_contract.cnpj``).
"""

import logging

__version__ = "0.1.0"

# The package logs through `logging` (logger "scrivane_contract" and its
# children) and shows nothing unless the program configures logging.
logging.getLogger(__name__).addHandler(logging.NullHandler())
