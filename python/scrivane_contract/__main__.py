from scrivane_contract.cli import principal

principal()
