"""`make demo`: the three examples verified offline, through the command line and a local registry.

Runs tools/demo.py, the recipe of `make demo`, with this interpreter (the
package as installed for the tests), in a clean environment: no keys, no
provider, no registry configured.
"""

import os
import re
import subprocess
import sys
from pathlib import Path


RAIZ = Path(__file__).resolve().parent.parent


def test_demo_verifies_the_three_examples_offline(tmp_path):
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("OPENAI_", "AZURE_", "SCRIVANE_")) and k.lower() not in ("http_proxy", "https_proxy")}
    # The user's data folder (where the history is kept by default): the demo must leave it untouched.
    env["XDG_DATA_HOME"] = str(tmp_path / "dados")
    # Any attempt to reach a public host fails fast instead of hanging.
    env["HTTPS_PROXY"] = env["HTTP_PROXY"] = "http://127.0.0.1:9"
    processo = subprocess.run([sys.executable, str(RAIZ / "tools" / "demo.py")], env=env, cwd=RAIZ,
                              capture_output=True, text=True, timeout=120)
    saida = processo.stdout
    assert processo.returncode == 0, processo.stderr
    # The package's own registry, loaded from the examples' JSONL, answered the lookups.
    assert "(scrivane-contract registro servir)" in saida.splitlines()[0], processo.stderr
    finais = re.findall(r"RESULTADO FINAL: (\w+)", saida)
    assert finais == ["APROVADO", "PENDENTE", "REPROVADO"]
    assert "• Situação Cadastral - SOL NASCENTE EMBALAGENS LTDA" in saida
    # The pending example: the lessor's former address; its witness is only noted.
    assert "• Endereço - ATRIUM EMPREENDIMENTOS IMOBILIARIOS S.A." in saida
    assert "   ℹ️ Sílvio Augusto Brandão" in saida and "Não foi possível verificar" not in saida
    assert saida.count("➖ Testemunha: Testemunha: assina sem representar empresa") == 3
    assert "3 contrato(s): 1 aprovado(s), 1 reprovado(s), 1 pendente(s); 0 tokens, US$ 0,0000" in saida
    # The report's own lines keep their fixed form; the table says what its time measures.
    assert saida.count("   Custo: $0.0000") == 3 and "Tempo total: a verificação inteira" in saida
    for nome in ("contrato_aprovado.pdf", "contrato_pendente.pdf", "contrato_reprovado.pdf"):
        assert f"exemplos/{nome}" in saida
    assert not (tmp_path / "dados").exists()
    assert saida.splitlines()[-1].startswith(
        "Demonstração concluída: cada exemplo teve o veredito esperado (APROVADO, PENDENTE, REPROVADO).")
