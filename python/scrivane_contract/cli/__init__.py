"""Linha de comando ``scrivane-contract``.

Each command lives in a module of this package that defines two functions:
``configurar(subparsers)`` adds its parser (cheap: argparse only, so that
``--help`` stays fast) and binds ``executar`` with ``set_defaults``;
``executar(args) -> int`` runs the command, importing the heavy pieces
(engine, openai, pydantic, rich) only then.  Options shared by several
commands live in ``opcoes``.

A command reports a usage problem found after parsing (a missing path,
missing credentials, a bad ``--registro``) by raising ``ErroDeUso``: ``main``
prints it as one line on standard error and exits with ``SAIDA_USO``.
"""

from __future__ import annotations

import argparse
import contextlib
import gc
import importlib
import os
import sys
import threading
from typing import Iterator, Optional

# Command modules, in the order ``--help`` lists them.
COMANDOS: tuple[str, ...] = ("verificar", "cnpj", "buscar", "classificar", "registro", "servir", "historico", "monitorar",
                                "trabalhador", "fila")

# Exit statuses shared by the commands.
SAIDA_APROVADO = 0
SAIDA_REPROVADO = 1
SAIDA_PENDENTE = 2
SAIDA_USO = 3
SAIDA_FALHA = 4
SAIDA_INTERROMPIDO = 130

PROG = "scrivane-contract"


class ErroDeUso(Exception):
    """Uso incorreto do comando: a mensagem vai em uma linha para stderr, saída 3."""


def erro(mensagem: str) -> None:
    """Imprime uma linha de erro em stderr, com o nome do programa."""
    print(f"{PROG}: erro: {mensagem}", file=sys.stderr, flush=True)


def aviso(mensagem: str) -> None:
    """Imprime uma linha de aviso em stderr, com o nome do programa."""
    print(f"{PROG}: aviso: {mensagem}", file=sys.stderr, flush=True)


# argparse's own texts (usage, help headings, its error messages) in Portuguese.
_TRADUCOES = {
    "usage: ": "uso: ",
    "options": "opções",
    "positional arguments": "argumentos posicionais",
    "subcommands": "comandos",
    "%(heading)s:": "%(heading)s:",
    "show this help message and exit": "mostra esta ajuda e sai",
    "show program's version number and exit": "mostra a versão do programa e sai",
    "%(prog)s: error: %(message)s\n": "%(prog)s: erro: %(message)s\n",
    "%(prog)s: warning: %(message)s\n": "%(prog)s: aviso: %(message)s\n",
    "the following arguments are required: %s": "argumentos obrigatórios ausentes: %s",
    "unrecognized arguments: %s": "argumentos não reconhecidos: %s",
    "invalid choice: %(value)r (choose from %(choices)s)": "opção inválida: %(value)r (escolha entre %(choices)s)",
    "argument %(argument_name)s: %(message)s": "argumento %(argument_name)s: %(message)s",
    "expected one argument": "esperado um valor",
    "expected at least one argument": "esperado ao menos um valor",
    "expected at most one argument": "esperado no máximo um valor",
    "invalid %(type)s value: %(value)r": "valor inválido (%(type)s): %(value)r",
    "ambiguous option: %(option)s could match %(matches)s": "opção ambígua: %(option)s pode ser %(matches)s",
    "not allowed with argument %s": "não permitido junto com o argumento %s",
    "one of the arguments %s is required": "um dos argumentos %s é obrigatório",
    "ignored explicit argument %r": "valor explícito ignorado: %r",
    " (default: %(default)s)": " (padrão: %(default)s)",
    "can't open '%(filename)s': %(error)s": "não foi possível abrir '%(filename)s': %(error)s",
}


@contextlib.contextmanager
def _argparse_em_portugues() -> Iterator[None]:
    # argparse looks its texts up through its module-level ``_`` at each use;
    # swap it only while this command builds and parses, then put it back.
    original = argparse._  # type: ignore[attr-defined]
    argparse._ = lambda texto: _TRADUCOES.get(texto, original(texto))  # type: ignore[attr-defined]
    try:
        yield
    finally:
        argparse._ = original  # type: ignore[attr-defined]


def _versao() -> str:
    from scrivane_contract import __version__

    return __version__


def inteiro_positivo(texto: str) -> int:
    """Tipo de argumento: inteiro maior que zero."""
    try:
        valor = int(texto)
    except ValueError:
        raise argparse.ArgumentTypeError(f"esperado um inteiro positivo, não {texto!r}") from None
    if valor < 1:
        raise argparse.ArgumentTypeError(f"esperado um inteiro positivo, não {texto!r}")
    return valor


def criar_parser(somente: Optional[str] = None) -> argparse.ArgumentParser:
    """Monta o parser com todos os comandos (ou só com o comando ``somente``)."""
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Verifica a legitimidade de contratos brasileiros.",
        epilog=(
            "Códigos de saída: 0 aprovado, 1 reprovado, 2 pendente, 3 erro de uso "
            "(argumentos, caminho inexistente, credenciais ausentes), 4 falha, 130 interrompido. "
            "Use 'scrivane-contract COMANDO --help' para a ajuda de cada comando."
        ),
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {_versao()}")
    sub = parser.add_subparsers(dest="comando", metavar="COMANDO", required=True, title="comandos")
    for nome in (somente,) if somente in COMANDOS else COMANDOS:
        importlib.import_module(f"{__name__}.{nome}").configurar(sub)
    return parser


def _sair_ja_se_preciso(codigo: int) -> None:
    # After Ctrl-C, threads still blocked in HTTP calls (our verification
    # workers, the engine's own pool, which the interpreter joins at exit even
    # when daemonic) would hold the exit until their time-outs.  Everything
    # finished is already written and flushed, so leave at once.
    vivas = [t for t in threading.enumerate() if t is not threading.current_thread()]
    if vivas and threading.current_thread() is threading.main_thread():
        # No atexit handler runs after os._exit: the reader's private folder goes now.
        leitor = sys.modules.get("scrivane.isolation")
        if leitor is not None:
            with contextlib.suppress(Exception):
                leitor.remove_private_folder()
        with contextlib.suppress(Exception):
            sys.stdout.flush()
        with contextlib.suppress(Exception):
            sys.stderr.flush()
        os._exit(codigo)


class Interrompido(KeyboardInterrupt):
    """Ctrl-C, with what it left unfinished (printed after "Interrompido: ")."""


def main(argv: Optional[list[str]] = None) -> int:
    """Ponto de entrada do comando; devolve o código de saída."""
    pedido = (sys.argv[1:] if argv is None else argv)[:1]
    with _argparse_em_portugues():
        # A command named first needs only its own parser (the others' modules are not loaded).
        parser = criar_parser(pedido[0] if pedido else None)
        try:
            args = parser.parse_args(argv)
        except SystemExit as exc:  # argparse: --help/--version give 0, usage errors 2
            return SAIDA_USO if exc.code not in (0, None) else 0
    _requests_sob_demanda()
    estado = _estado_cnpj()
    from scrivane_contract._controles import terminal_seguro

    # Everything this command prints (registry fields, file names, messages) passes the one sanitiser.
    with terminal_seguro():
        return _executar(args, estado)


def _executar(args: argparse.Namespace, estado: dict) -> int:
    try:
        if args.comando != "verificar":  # verificar: once its first contract is done (it loads the engine)
            partida_concluida()
        return args.executar(args)
    except ErroDeUso as exc:
        erro(str(exc))
        return SAIDA_USO
    except KeyboardInterrupt as exc:
        # A command may say what was left unfinished (see ``Interrompido``).
        print(f"Interrompido: {exc}" if str(exc) else "Interrompido.", file=sys.stderr, flush=True)
        _sair_ja_se_preciso(SAIDA_INTERROMPIDO)
        return SAIDA_INTERROMPIDO
    except BrokenPipeError:
        # The reader of our output went away (``| head``): not an error of ours.
        with contextlib.suppress(Exception):
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
        return SAIDA_FALHA
    except Exception as exc:
        if not type(exc).__module__.startswith("sqlalchemy"):
            raise
        # The history (or the queue in it) failed midway: one sentence, never the SQL.
        from scrivane_contract.historico.banco import motivo_banco

        erro(f"histórico inacessível: {motivo_banco(exc)}")
        return SAIDA_FALHA
    finally:
        _restaurar_cnpj(estado)
        from scrivane_contract.cli.opcoes import restaurar_leitura

        restaurar_leitura()


def _requests_sob_demanda() -> None:
    # The cnpj module binds `requests` when it is imported, and every command
    # imports it; a command whose lookups are answered by the local registry
    # never sends a request.  Until one is sent, `requests` (and urllib3) stays
    # unloaded: the module object is the interpreter's lazy one, loaded on its
    # first attribute access.
    if "requests" in sys.modules:
        return
    import importlib.util

    spec = importlib.util.find_spec("requests")
    if spec is None or spec.loader is None:
        return
    spec.loader = importlib.util.LazyLoader(spec.loader)
    modulo = importlib.util.module_from_spec(spec)
    sys.modules["requests"] = modulo
    spec.loader.exec_module(modulo)


# What a command may rebind in the cnpj module (--registro, the polite client);
# put back afterwards, so that calling main() in-process leaves no trace.
_NOMES_CNPJ = ("requests", "BRASIL_API_URL", "RECEITA_WS_URL", "CASADOSDADOS_API")


def _estado_cnpj() -> dict:
    from scrivane_contract import cnpj

    return {nome: getattr(cnpj, nome) for nome in _NOMES_CNPJ if hasattr(cnpj, nome)}


def _restaurar_cnpj(estado: dict) -> None:
    from scrivane_contract import cnpj

    for nome, valor in estado.items():
        setattr(cnpj, nome, valor)


# Set by ``principal`` while the cyclic garbage collector waits for the command's modules to load.
_coleta_adiada = False


def partida_concluida() -> None:
    """O programa carregou o que o comando usa: o coletor de lixo, adiado por ``principal``, volta a rodar.

    Os objetos criados até aqui (módulos, classes, tabelas) vivem tanto quanto o
    processo: ficam fora das coletas (``gc.freeze``).  Sem efeito fora de ``principal``.
    """
    global _coleta_adiada
    if _coleta_adiada:
        _coleta_adiada = False
        gc.freeze()
        gc.enable()


def principal() -> None:
    """Entrada do programa instalado (``scrivane-contract`` e ``python -m scrivane_contract``)."""
    global _coleta_adiada
    # Loading the modules (the engine, pydantic's models, the rules' patterns) only makes objects
    # that live as long as the process, and the collector would walk them again and again:
    # it waits until they are loaded (partida_concluida).
    if gc.isenabled():
        gc.disable()
        _coleta_adiada = True
    # pydantic serves only the program's own records here: no pydantic plugin is looked for (a
    # read of every installed package's metadata at the first model) unless the variable says which.
    os.environ.setdefault("PYDANTIC_DISABLE_PLUGINS", "__all__")
    # A normal exit: atexit handlers and finalizers (temporary folders of the
    # web service, SQLite connections, the HTTP cache) must run.
    sys.exit(main())
