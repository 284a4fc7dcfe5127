import sys

from scrivane_contract.cli import main

sys.exit(main())
