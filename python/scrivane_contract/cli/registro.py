"""``scrivane-contract registro``: o registro local do CNPJ (importar, info, servir, baixar)."""

from __future__ import annotations

import argparse
import re
import sys
import time

from . import SAIDA_FALHA, SAIDA_USO


def configurar(subparsers) -> None:
    p = subparsers.add_parser(
        "registro", help="registro local do CNPJ: importar, consultar, servir, baixar",
        description="Registro local do CNPJ, construído a partir dos dados abertos da Receita Federal.")
    p.set_defaults(executar=lambda args: (p.print_help(), SAIDA_USO)[1])
    sub = p.add_subparsers(dest="acao", metavar="AÇÃO")

    banco_ajuda = "arquivo do banco SQLite (padrão: $SCRIVANE_BANCO_REGISTRO ou ~/.local/share/scrivane-contract/registro.sqlite3)"

    imp = sub.add_parser("importar", help="constrói o banco a partir de uma publicação mensal (pasta com os 37 zips)",
                         description="Constrói o banco a partir de uma publicação mensal, lendo os zips sem descompactá-los "
                                     "em disco. O banco anterior só é substituído quando a importação termina.")
    imp.add_argument("origem", nargs="?", help="pasta com os zips da publicação (Empresas0.zip ... Simples.zip), "
                     "ou a pasta de 'registro baixar' (usa o mês mais recente)")
    imp.add_argument("--banco", help=banco_ajuda)
    imp.add_argument("--jsonl", metavar="ARQUIVO",
                     help="acrescenta registros no formato da BrasilAPI, um JSON por linha")
    imp.add_argument("--log", metavar="ARQUIVO", help="onde descrever as linhas ignoradas (padrão: BANCO.importacao.log)")
    imp.add_argument("--parcial", action="store_true",
                     help="importa mesmo com arquivos da publicação ausentes ou ilegíveis, e marca o banco "
                          "como parcial (sem ela, a importação para e o banco anterior fica)")
    imp.set_defaults(executar=_importar)

    inf = sub.add_parser("info", help="data da publicação, linhas por tabela e tamanho do banco",
                         description="Mostra o banco do registro local: a data da publicação importada, quando "
                                     "foi importada, as linhas de cada tabela, as linhas ignoradas e o tamanho.")
    inf.add_argument("--banco", help=banco_ajuda)
    inf.set_defaults(executar=_info)

    srv = sub.add_parser("servir", help="serve o banco por HTTP nos protocolos da BrasilAPI, ReceitaWS e Casa dos Dados",
                         description="Serve o banco por HTTP para outras máquinas (ou outros processos): "
                                     "responde como a BrasilAPI, a ReceitaWS e a busca da Casa dos Dados. "
                                     "Os colegas usam 'scrivane-contract verificar --registro http://HOST:PORTA'. "
                                     "Ctrl-C para.")
    srv.add_argument("--banco", help=banco_ajuda)
    srv.add_argument("--porta", type=int, default=8080, help="porta TCP (padrão 8080)")
    srv.add_argument("--host", default="127.0.0.1",
                     help="endereço de escuta (padrão 127.0.0.1; 0.0.0.0 para a rede)")
    srv.add_argument("--sem-log", action="store_true", help="não registra cada pedido")
    srv.add_argument("--processos", type=int, default=1, metavar="N",
                     help="processos que atendem os pedidos (padrão 1)")
    srv.set_defaults(executar=_servir)

    bx = sub.add_parser("baixar", help="baixa uma publicação mensal do compartilhamento da Receita Federal",
                        description="Baixa os 37 zips de uma publicação mensal dos dados abertos do CNPJ "
                                    "(cerca de 6 GB) para PASTA/AAAA-MM, retomando downloads interrompidos "
                                    "e conferindo cada zip. Depois: 'scrivane-contract registro importar PASTA'.")
    bx.add_argument("--mes", metavar="AAAA-MM", type=_mes, help="mês da publicação (padrão: o mais recente)")
    bx.add_argument("--destino", metavar="PASTA", default=".", help="pasta de destino (padrão: a atual)")
    bx.add_argument("--url", metavar="URL", help="endereço base do compartilhamento")
    bx.add_argument("--token", help="token do compartilhamento público")
    bx.set_defaults(executar=_baixar)


def _erro(texto: str) -> None:
    print(f"erro: {texto}", file=sys.stderr)


def _mes(texto: str) -> str:
    """Argument type: a month written AAAA-MM."""
    m = re.fullmatch(r"\s*(\d{4})-(\d{1,2})\s*", texto)
    if not m or not 1 <= int(m.group(2)) <= 12:
        raise argparse.ArgumentTypeError(f"mês inválido: {texto!r} (use AAAA-MM, por exemplo 2026-11)")
    return f"{m.group(1)}-{int(m.group(2)):02d}"


_COMO_CRIAR = ("crie-o com 'scrivane-contract registro importar --jsonl ARQUIVO' (uma lista sua, um JSON "
               "por linha) ou com 'registro baixar' e 'registro importar PASTA' (a publicação completa), "
               "ou indique outro arquivo com --banco")


def _registro_indisponivel(e: Exception, banco) -> int:
    """The database is missing or unreadable: say how to make one."""
    if not banco.exists():
        _erro(f"{e}; {_COMO_CRIAR}")
        return SAIDA_USO
    _erro(str(e))
    return SAIDA_FALHA


def porta_ocupada(host: str, porta: int) -> "str | None":
    """Why ``host:porta`` cannot be served (in Portuguese), or None when it can.

    Tried before the server starts, so that a busy port reads as a sentence and not as the
    web server's own "[Errno 98] address already in use"."""
    import errno
    import socket

    try:
        familia = socket.getaddrinfo(host, porta, type=socket.SOCK_STREAM)[0][0]
    except (socket.gaierror, UnicodeError):
        return f"endereço desconhecido: {host} (use 127.0.0.1, 0.0.0.0 ou o nome desta máquina)"
    with socket.socket(familia, socket.SOCK_STREAM) as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)  # as the server itself does
        try:
            s.bind((host, porta))
        except OSError as e:
            if e.errno == errno.EADDRINUSE:
                return (f"a porta {porta} já está em uso em {host} (outro programa, ou um 'servir' ainda "
                        f"aberto): escolha outra com --porta, por exemplo --porta {porta + 1}")
            if e.errno == errno.EACCES:
                return (f"sem permissão para usar a porta {porta} (portas abaixo de 1024 exigem "
                        "administrador): escolha outra com --porta, por exemplo --porta 8080")
            if e.errno == errno.EADDRNOTAVAIL:
                return f"o endereço {host} não pertence a esta máquina: use 127.0.0.1 ou 0.0.0.0"
            return f"não foi possível servir em {host}:{porta}: {e.strerror or e}"
        except OverflowError:
            return f"porta inválida: {porta} (use um número de 1 a 65535)"
    return None


def _banco(args):
    from scrivane_contract.registro.banco import caminho_padrao

    from pathlib import Path

    return Path(args.banco).expanduser() if args.banco else caminho_padrao()


def _tamanho(n: int) -> str:
    for unidade in ("B", "KB", "MB", "GB"):
        if n < 1024 or unidade == "GB":
            return f"{n:.0f} {unidade}" if unidade == "B" else f"{n:.1f} {unidade}"
        n /= 1024
    return f"{n} B"


def _milhar(n: int) -> str:
    return f"{n:,}".replace(",", ".")


class _Barra:
    """Progress bar on standard error (nothing when it is not a terminal)."""

    def __init__(self, unidade_linhas: bool):
        from rich.console import Console
        from rich.progress import (BarColumn, DownloadColumn, Progress, TaskProgressColumn, TextColumn,
                                   TimeRemainingColumn, TransferSpeedColumn)

        from scrivane_contract._controles import bruto

        self.console = Console(file=bruto(sys.stderr))
        colunas = [TextColumn("{task.description:<24}"), BarColumn(), TaskProgressColumn()]
        if unidade_linhas:
            colunas.append(TextColumn("{task.fields[taxa]}"))
        else:
            colunas += [DownloadColumn(), TransferSpeedColumn()]
        colunas.append(TimeRemainingColumn())
        self.progress = Progress(*colunas, console=self.console, transient=True,
                                 disable=not self.console.is_terminal)
        self.tarefa = None
        self.linhas = 0
        self.t0 = time.perf_counter()

    def inicio(self, total: int) -> None:
        self.progress.start()
        self.tarefa = self.progress.add_task("", total=total, taxa="")
        self.t0 = time.perf_counter()

    def arquivo(self, nome: str) -> None:
        if self.tarefa is not None:
            self.progress.update(self.tarefa, description=nome)

    def etapa(self, texto: str) -> None:
        if self.tarefa is not None:
            self.progress.update(self.tarefa, description=texto)

    def avanco(self, nbytes: int, linhas: int = 0) -> None:
        if self.tarefa is None:
            return
        self.linhas += linhas
        dt = max(time.perf_counter() - self.t0, 1e-6)
        self.progress.update(self.tarefa, advance=nbytes, taxa=f"{_milhar(int(self.linhas / dt))} linhas/s")

    def aviso(self, texto: str) -> None:
        from rich.markup import escape

        from scrivane_contract._controles import LIMITE_LINHA, para_terminal

        self.console.print(escape(para_terminal(texto, LIMITE_LINHA)), highlight=False)

    def fim(self) -> None:
        if self.tarefa is not None:
            self.progress.stop()


def _importar(args: argparse.Namespace) -> int:
    # Through the package, the function first: loading the submodule of the same name must not
    # leave ``scrivane_contract.registro.importar`` bound to the module for later callers.
    from scrivane_contract.registro import importar
    from scrivane_contract.registro import ErroImportacao

    if args.origem is None and args.jsonl is None:
        _erro("indique a pasta da publicação ou --jsonl ARQUIVO")
        return SAIDA_USO
    banco = _banco(args)
    barra = _Barra(True)
    try:
        r = importar(args.origem, banco, jsonl=args.jsonl, progresso=barra, log=args.log, parcial=args.parcial)
    except ErroImportacao as e:
        barra.fim()
        _erro(f"{e}; o banco anterior ficou intacto")
        return SAIDA_FALHA
    except KeyboardInterrupt:
        barra.fim()
        print("Importação interrompida; o banco anterior ficou intacto.", file=sys.stderr)
        raise
    print(f"Banco: {r.banco}")
    if r.data_extracao:
        print(f"Publicação: {r.data_extracao}")
    for tabela, n in r.linhas.items():
        print(f"  {tabela:<18}{_milhar(n):>15} linhas")
    if r.ruins:
        print(f"Linhas ignoradas: {_milhar(r.ruins)} (detalhes em {r.log})")
    else:
        print("Linhas ignoradas: 0")
    if r.faltando:
        print(f"Atenção: banco parcial; faltam {len(r.faltando)} arquivos da publicação: {', '.join(r.faltando)}")
    print(f"Tempo: {r.segundos:.1f} s   Tamanho: {_tamanho(r.tamanho)}")
    _monitorar_apos_importar(banco, args)
    return 0


def _monitorar_apos_importar(banco, args: argparse.Namespace) -> None:
    """One line: how many companies of the stored verifications changed in the new release."""
    import os

    from scrivane_contract.historico.banco import ENV_HISTORICO, Historico, caminho_padrao

    url = os.environ.get(ENV_HISTORICO)
    if not url and not caminho_padrao().exists():
        return  # nothing verified yet: no history to create here
    try:
        from scrivane_contract.historico.monitor import monitorar
        from scrivane_contract.registro import usar_registro
        from scrivane_contract.registro.banco import caminho_padrao as registro_padrao

        historico = Historico(url or None)
        try:
            with usar_registro(f"sqlite:{banco}"):
                m = monitorar(historico)
        finally:
            historico.fechar()
    except Exception as exc:  # noqa: BLE001 - the import itself succeeded
        print(f"Monitoramento não executado: {exc}", file=sys.stderr)
        return
    if not m.monitoradas:
        return
    opcao = "local" if os.path.abspath(banco) == os.path.abspath(registro_padrao()) else f"sqlite:{banco}"
    print(f"Monitoramento: {m.empresas_com_mudanca} de {m.monitoradas} empresa(s) monitorada(s) mudaram "
          f"desde a verificação; veja com: scrivane-contract monitorar --registro {opcao}")


def _info(args: argparse.Namespace) -> int:
    from scrivane_contract.registro.consulta import RegistroIndisponivel, RegistroLocal

    banco = _banco(args)
    try:
        info = RegistroLocal(banco).info()
    except RegistroIndisponivel as e:
        return _registro_indisponivel(e, banco)
    print(f"Banco: {info['banco']}")
    print(f"Publicação: {info['data_extracao'] or 'desconhecida'}")
    print("Conteúdo: publicação completa" if info["completo"] else
          "Conteúdo: parcial (lista JSONL ou importação com arquivos faltando); "
          "o que não estiver no banco é consultado na Receita Federal")
    if info["importado_em"]:
        print(f"Importado em: {info['importado_em']}")
    for tabela, n in info["linhas"].items():
        print(f"  {tabela:<18}{_milhar(n):>15} linhas")
    if info["linhas_ignoradas"]:
        print(f"Linhas ignoradas na importação: {_milhar(info['linhas_ignoradas'])}")
    print(f"Tamanho: {_tamanho(info['tamanho'])}")
    return 0


def _servir(args: argparse.Namespace) -> int:
    from scrivane_contract.registro.consulta import RegistroIndisponivel, RegistroLocal
    from scrivane_contract.registro.servidor import servir

    banco = _banco(args)
    try:
        registro = RegistroLocal(banco)
        data = registro.info()["data_extracao"]
    except RegistroIndisponivel as e:
        return _registro_indisponivel(e, banco)
    ocupada = porta_ocupada(args.host, args.porta)
    if ocupada:
        _erro(ocupada)
        return SAIDA_FALHA
    print(f"Servindo {registro.caminho} (publicação {data or 'desconhecida'}) em http://{args.host}:{args.porta}"
          " — Ctrl-C para parar", flush=True)
    try:
        servir(registro, host=args.host, porta=args.porta, log=not args.sem_log, processos=max(1, args.processos))
    except KeyboardInterrupt:
        pass
    return 0


def _baixar(args: argparse.Namespace) -> int:
    from scrivane_contract.registro import baixar  # the function first, as in _importar
    from scrivane_contract.registro.baixar import TOKEN_PADRAO, URL_PADRAO, ErroDownload

    barra = _Barra(False)
    barra.avanco = lambda n, linhas=0: barra.tarefa is not None and barra.progress.update(barra.tarefa, advance=n)
    try:
        mes, pasta, baixados = baixar(args.destino, args.mes, base=args.url or URL_PADRAO,
                                      token=args.token or TOKEN_PADRAO, progresso=barra)
    except Exception as e:
        import requests

        barra.fim()
        if isinstance(e, requests.RequestException):  # DNS, TLS, refused connection (also an OSError)
            _erro(_falha_de_rede(e, args.url or URL_PADRAO))
            return SAIDA_FALHA
        if isinstance(e, (ErroDownload, OSError)):
            _erro(str(e))
            return SAIDA_FALHA
        raise
    print(f"Publicação {mes} em {pasta}: {len(baixados)} arquivos baixados agora")
    return 0


def _falha_de_rede(e: Exception, url: str) -> str:
    """The HTTP library's failure as a sentence that points to the fix."""
    import requests

    if isinstance(e, requests.exceptions.ProxyError):
        return f"o proxy recusou a conexão com {url}: confira HTTPS_PROXY / HTTP_PROXY"
    if isinstance(e, requests.exceptions.SSLError):
        return f"falha na conexão segura (TLS) com {url}: confira a data do sistema e os certificados"
    if isinstance(e, requests.Timeout):
        return f"tempo esgotado esperando {url}: o compartilhamento da Receita Federal está lento; tente mais tarde"
    if isinstance(e, requests.ConnectionError):
        return (f"sem conexão com {url}: verifique a rede (ou o proxy, HTTPS_PROXY); sem internet, "
                "importe uma lista sua com 'registro importar --jsonl ARQUIVO'")
    return f"falha de rede ao falar com {url} ({type(e).__name__})"
