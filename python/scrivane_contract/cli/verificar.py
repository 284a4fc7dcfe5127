"""Comando ``verificar``: verifica um contrato, ou muitos."""

from __future__ import annotations

import argparse
import os
import queue
import sys
import threading
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable, Optional

from scrivane_contract.cli import assinaturas as digitais_cli
from scrivane_contract.cli import (
    SAIDA_APROVADO,
    SAIDA_FALHA,
    SAIDA_PENDENTE,
    SAIDA_REPROVADO,
    ErroDeUso,
    inteiro_positivo,
)
from scrivane_contract.cli.opcoes import (
    SaidaJsonl,
    adicionar_opcao_registro,
    adicionar_opcoes_leitura,
    adicionar_opcoes_motor,
    aplicar_leitura,
    aplicar_registro,
    argumentos_checker,
    json_linha,
    mostrar_avisos,
    valor_registro,
    verificar_credenciais,
)

PARALELO_PADRAO = 4

DESCRICAO = """\
Verifica contratos: o motor de extração lê cada contrato, as empresas são
conferidas na Receita Federal e os signatários no quadro de sócios (QSA).

Com um arquivo, mostra as linhas de progresso e o relatório da biblioteca.
Com vários (ou com pastas: seus PDFs, recursivamente, em ordem), verifica-os
em paralelo e mostra uma tabela-resumo; --json imprime um objeto JSON por
contrato, na ordem da entrada.

As assinaturas digitais do PDF são conferidas à parte (seção "ASSINATURAS
DIGITAIS" depois do relatório, coluna da tabela-resumo, chave
"assinaturas_digitais" ao lado de "resultado" no JSON).
"""

EPILOGO = """\
códigos de saída: 0 todos APROVADO; 1 algum REPROVADO; 2 algum PENDENTE e
nenhum reprovado; 3 erro de uso (argumentos, caminho inexistente, credenciais
ausentes); 4 algum contrato falhou (arquivo ilegível, erro do motor);
130 interrompido (Ctrl-C), depois de gravar o que terminou.
"""


def configurar(subparsers: Any) -> None:
    parser = subparsers.add_parser(
        "verificar",
        help="verifica contratos (arquivos ou pastas)",
        description=DESCRICAO,
        epilog=EPILOGO,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("caminhos", nargs="+", metavar="CAMINHO", help="arquivo de contrato, ou pasta com PDFs")
    parser.add_argument(
        "--paralelo",
        type=inteiro_positivo,
        default=PARALELO_PADRAO,
        metavar="N",
        help=f"contratos verificados ao mesmo tempo (padrão: {PARALELO_PADRAO})",
    )
    parser.add_argument(
        "--json",
        action="store_true",
        help='um objeto JSON por contrato na saída padrão ({"arquivo": ..., "resultado": ...} ou {"arquivo": ..., "erro": ...})',
    )
    parser.add_argument(
        "--saida",
        metavar="ARQUIVO.jsonl",
        help="grava as mesmas linhas JSON neste arquivo, à medida que cada contrato termina",
    )
    parser.add_argument(
        "--html",
        metavar="PASTA",
        help="grava nesta pasta o relatório de cada contrato como página HTML autossuficiente "
             "(um arquivo por contrato, à medida que cada um termina)",
    )
    parser.add_argument(
        "--relatorios",
        action="store_true",
        help="com vários contratos, imprime também o relatório completo de cada um, na ordem da entrada",
    )
    parser.add_argument(
        "--progresso",
        action="store_true",
        help="mostra a barra de progresso em stderr mesmo quando não é um terminal",
    )
    adicionar_opcoes_motor(parser)
    adicionar_opcoes_leitura(parser)
    adicionar_opcao_registro(parser)
    digitais_cli.adicionar_opcoes(parser)
    parser.set_defaults(executar=executar)


# -- inputs ----------------------------------------------------------------------


def expandir_caminhos(caminhos: list[str]) -> list[Path]:
    """Os arquivos a verificar: cada arquivo dado, e os PDFs de cada pasta (recursivamente, em ordem)."""
    arquivos: list[Path] = []
    faltando: list[str] = []
    for caminho in caminhos:
        p = Path(caminho)
        if p.is_dir():
            pdfs = sorted(
                (x for x in p.rglob("*") if x.suffix.lower() == ".pdf" and x.is_file()),
                key=lambda x: [parte.casefold() for parte in x.relative_to(p).parts],
            )
            if not pdfs:
                raise ErroDeUso(f"nenhum PDF encontrado na pasta: {caminho}")
            arquivos.extend(pdfs)
        elif p.exists():
            arquivos.append(p)
        else:
            faltando.append(caminho)
    if faltando:
        raise ErroDeUso("Arquivo não encontrado: " + ", ".join(faltando))
    return arquivos


# -- one verification --------------------------------------------------------------


@dataclass
class Verificacao:
    """O desfecho de um contrato: o registro da biblioteca, ou o motivo da falha."""

    arquivo: str
    resultado: Optional[dict[str, Any]] = None
    erro: Optional[str] = None
    segundos: float = 0.0
    assinaturas_digitais: Optional[dict[str, Any]] = None
    # --exigir-assinaturas-validas: a broken or later-changed signature rejects the contract.
    exigir_assinaturas: bool = False

    def objeto_json(self) -> dict[str, Any]:
        if self.erro is not None:
            return {"arquivo": self.arquivo, "erro": self.erro}
        objeto: dict[str, Any] = {"arquivo": self.arquivo, "resultado": self.resultado}
        if self.assinaturas_digitais is not None:
            objeto["assinaturas_digitais"] = self.assinaturas_digitais
        return objeto

    @property
    def veredito(self) -> Optional[str]:
        if self.resultado is None:
            return None
        if self.exigir_assinaturas and digitais_cli.invalidas(self.assinaturas_digitais):
            return "REPROVADO"
        return self.resultado.get("resultado_final")


def _uma_linha(texto: str) -> str:
    return _sem_controles(" ".join(str(texto).split()))


def _sem_controles(texto: str) -> str:
    from scrivane_contract._controles import escapar_controles

    return escapar_controles(texto)


def motivo_da_falha(exc: BaseException) -> str:
    """Uma linha, em português, que diz por que a verificação falhou."""
    if isinstance(exc, FileNotFoundError):
        nome = exc.filename if exc.filename is not None else None
        return _uma_linha(f"Arquivo não encontrado: {nome}" if nome else str(exc))
    if isinstance(exc, PermissionError):
        return _uma_linha(f"sem permissão para ler o arquivo: {exc.filename or exc}")
    if isinstance(exc, IsADirectoryError):
        return _uma_linha(f"o caminho é uma pasta: {exc.filename or exc}")
    modulo = type(exc).__module__ or ""
    if modulo.startswith("scrivane.") or modulo == "scrivane":
        return _uma_linha(str(exc))  # the reader's messages are already for users
    if modulo.startswith("openai"):
        return _motivo_openai(exc)
    if modulo.startswith("pydantic"):
        return "resposta do modelo fora do formato esperado"
    texto = _uma_linha(str(exc))
    return f"erro inesperado ({type(exc).__name__}){': ' + texto if texto else ''}"


def _motivo_openai(exc: BaseException) -> str:
    import openai

    if isinstance(exc, openai.APITimeoutError):
        return "tempo esgotado na chamada ao serviço do modelo"
    if isinstance(exc, openai.APIConnectionError):
        return "sem conexão com o serviço do modelo (verifique a rede, OPENAI_BASE_URL ou AZURE_API_ENDPOINT)"
    if isinstance(exc, openai.AuthenticationError):
        return "chave recusada pelo serviço do modelo (HTTP 401)"
    if isinstance(exc, openai.PermissionDeniedError):
        return "acesso negado pelo serviço do modelo (HTTP 403)"
    if isinstance(exc, openai.NotFoundError):
        return "modelo ou implantação não encontrado no serviço (HTTP 404)"
    if isinstance(exc, openai.RateLimitError):
        return "limite de uso do serviço do modelo atingido (HTTP 429)"
    if isinstance(exc, openai.APIStatusError):
        return f"o serviço do modelo respondeu com erro (HTTP {exc.status_code})"
    return _uma_linha(f"erro do serviço do modelo: {exc}")


# -- running many ---------------------------------------------------------------------


class Lote:
    """Verifica arquivos com ``paralelo`` threads, cada uma com seu próprio checker.

    ``ao_terminar(indice, verificacao)`` roda na thread principal, na ordem em
    que os contratos terminam.  As threads são daemon: depois de um Ctrl-C o
    processo não espera as chamadas HTTP em curso.
    """

    def __init__(self, arquivos: list[Path], kwargs_checker: dict[str, Any], paralelo: int,
                 opcoes_assinaturas: Optional[dict[str, Any]] = None, exigir_assinaturas: bool = False) -> None:
        self.arquivos = arquivos
        self.kwargs_checker = kwargs_checker
        self.opcoes_assinaturas = opcoes_assinaturas
        self.exigir_assinaturas = exigir_assinaturas
        self.paralelo = max(1, min(paralelo, len(arquivos)))
        self._proximo = 0
        self._lock = threading.Lock()
        self._parar = threading.Event()
        self._terminados: "queue.Queue[tuple[int, Verificacao]]" = queue.Queue()

    def _trabalhar(self) -> None:
        from scrivane_contract.checker import ContractChecker

        checker = None
        while not self._parar.is_set():
            with self._lock:
                indice = self._proximo
                if indice >= len(self.arquivos):
                    return
                self._proximo += 1
            caminho = self.arquivos[indice]
            inicio = time.perf_counter()
            try:
                if checker is None:
                    checker = ContractChecker(**self.kwargs_checker)
                leitura = None
                if self.opcoes_assinaturas is not None and caminho.is_file():
                    leitura = digitais_cli.Leitura(caminho, self.opcoes_assinaturas)
                resultado = checker.verificar(caminho)
                verificacao = Verificacao(str(caminho), resultado=resultado,
                                          exigir_assinaturas=self.exigir_assinaturas)
                if leitura is not None:
                    verificacao.assinaturas_digitais = leitura.cruzar(resultado)
            except Exception as exc:  # reported on its own line; the others go on
                verificacao = Verificacao(str(caminho), erro=motivo_da_falha(exc))
            verificacao.segundos = time.perf_counter() - inicio
            self._terminados.put((indice, verificacao))

    def _importar_antes(self) -> None:
        # Load the heavy modules once, here, before the workers start: several
        # threads importing openai (and pyHanko) at once only wait on each
        # other's import locks, and the first engine request comes later.  A
        # failure is left for the checker, which reports it as its own.
        import importlib

        modulos = ["scrivane_contract.checker", "scrivane"]
        if self.opcoes_assinaturas is not None:
            modulos += ["scrivane.signatures", "scrivane_contract.assinaturas_digitais"]
        for nome in modulos:
            try:
                importlib.import_module(nome)
            except Exception:
                pass

    def executar(self, ao_terminar: Callable[[int, Verificacao], None]) -> None:
        if self.paralelo > 1:
            self._importar_antes()
        threads = [
            threading.Thread(target=self._trabalhar, name=f"verificar-{n}", daemon=True)
            for n in range(self.paralelo)
        ]
        for t in threads:
            t.start()
        try:
            for _ in range(len(self.arquivos)):
                while True:
                    try:
                        indice, verificacao = self._terminados.get(timeout=0.25)
                        break
                    except queue.Empty:
                        if not any(t.is_alive() for t in threads) and self._terminados.empty():
                            raise RuntimeError("as threads de verificação terminaram sem resultado")
                ao_terminar(indice, verificacao)
        finally:
            self._parar.set()


# -- output -------------------------------------------------------------------------------


def codigo_de_saida(verificacoes: list[Verificacao]) -> int:
    """4 se algum falhou; senão 1 se algum foi reprovado; senão 2 se algum ficou pendente; senão 0."""
    if any(v.erro is not None for v in verificacoes):
        return SAIDA_FALHA
    vereditos = {v.veredito for v in verificacoes}
    if "REPROVADO" in vereditos:
        return SAIDA_REPROVADO
    if vereditos - {"APROVADO"}:
        return SAIDA_PENDENTE
    return SAIDA_APROVADO


_ESTILO = {"APROVADO": "green", "REPROVADO": "red", "PENDENTE": "yellow"}


def _metricas(v: Verificacao) -> Optional[dict[str, Any]]:
    if v.resultado is None:
        return None
    m = v.resultado.get("metricas")
    return m if isinstance(m, dict) else None


def imprimir_resumo(verificacoes: list[Verificacao], segundos_total: float, console: Any) -> None:
    """Tabela-resumo (um contrato por linha) e os totais."""
    from rich.table import Table

    tabela = Table(title="Resumo da verificação", title_justify="left", show_footer=True)
    tabela.add_column("Arquivo", footer="Total", overflow="fold")
    tabela.add_column("Resultado", overflow="fold")
    colunas = [("Aprov.", "total_aprovados"), ("Reprov.", "total_reprovados"), ("Pend.", "total_pendentes")]
    totais = {chave: 0 for _, chave in colunas}
    tokens = 0
    custo = 0.0
    for v in verificacoes:
        r = v.resultado or {}
        for _, chave in colunas:
            n = r.get(chave)
            if n is None and chave.replace("total_", "campos_") in r:
                n = len(r[chave.replace("total_", "campos_")])
            totais[chave] += n or 0
        m = _metricas(v)
        if m:
            tokens += int(m.get("tokens") or 0)
            custo += float(m.get("custo_usd") or 0.0)
    for titulo, chave in colunas:
        tabela.add_column(titulo, justify="right", footer=str(totais[chave]))
    com_assinaturas = any(v.assinaturas_digitais is not None for v in verificacoes)
    if com_assinaturas:
        tabela.add_column("Assinaturas")
    tabela.add_column("Tokens", justify="right", footer=f"{tokens:,}")
    tabela.add_column("Custo", justify="right", footer=f"${custo:.4f}")
    tabela.add_column("Tempo", justify="right", footer=f"{segundos_total:.1f}s")

    for v in verificacoes:
        if v.erro is not None:
            tabela.add_row(_escapar(v.arquivo), "[bold magenta]FALHA[/]", "-", "-", "-",
                           *(["-"] if com_assinaturas else []), "-", "-", f"{v.segundos:.1f}s")
            continue
        r = v.resultado or {}
        veredito = str(r.get("resultado_final"))
        estilo = _ESTILO.get(veredito, "white")
        contagens = []
        for _, chave in colunas:
            n = r.get(chave)
            if n is None:
                n = len(r.get(chave.replace("total_", "campos_")) or [])
            contagens.append(str(n))
        m = _metricas(v)
        if v.veredito != veredito:  # rejected for its digital signatures
            veredito, estilo = f"{v.veredito} (assinaturas)", _ESTILO["REPROVADO"]
        tabela.add_row(
            _escapar(v.arquivo),
            f"[bold {estilo}]{_escapar(veredito)}[/]",
            *contagens,
            *([digitais_cli.celula_resumo(v.assinaturas_digitais)] if com_assinaturas else []),
            f"{int(m.get('tokens') or 0):,}" if m else "-",
            f"${float(m.get('custo_usd') or 0.0):.4f}" if m else "-",
            f"{v.segundos:.1f}s",
        )
    console.print(tabela)
    for v in verificacoes:
        if v.erro is not None:
            console.print(f"FALHA em {_escapar(v.arquivo)}: {_escapar(v.erro)}", highlight=False, soft_wrap=True)
        else:
            digitais_cli.imprimir_alertas(v.arquivo, v.assinaturas_digitais, console)

    contagem = {k: sum(1 for v in verificacoes if v.veredito == k) for k in ("APROVADO", "REPROVADO", "PENDENTE")}
    falhas = sum(1 for v in verificacoes if v.erro is not None)
    partes = [
        f"{contagem['APROVADO']} aprovado(s)",
        f"{contagem['REPROVADO']} reprovado(s)",
        f"{contagem['PENDENTE']} pendente(s)",
    ]
    if falhas:
        partes.append(f"{falhas} com falha")
    console.print(
        f"{len(verificacoes)} contrato(s): " + ", ".join(partes)
        + f"; {tokens:,} tokens, ${custo:.4f}, {segundos_total:.1f}s",
        highlight=False,
    )


def _terminal(fluxo: Any) -> bool:
    try:
        return bool(fluxo.isatty())
    except (AttributeError, ValueError):
        return False


def _console_saida() -> Any:
    import os

    from rich.console import Console

    # Piped to a file, a table cut at 80 columns folds every path; give it room.
    largura = None if _terminal(sys.stdout) or os.environ.get("COLUMNS") else 120
    return Console(highlight=False, width=largura)


def _escapar(texto: str) -> str:
    from rich.markup import escape

    return escape(texto)


def imprimir_relatorio(v: Verificacao, kwargs_checker: dict[str, Any]) -> None:
    """O relatório completo de um contrato, como a biblioteca o imprime, com o cabeçalho do arquivo."""
    regua = "=" * 60
    print()
    print(regua)
    print(f"📄 Arquivo: {_sem_controles(v.arquivo)}")
    print(regua)
    if v.erro is not None:
        print(f"❌ FALHA: {v.erro}")
        return
    r = v.resultado or {}
    if "metricas" not in r:  # the reduced record: the engine could not be used
        print(f"⚠️ {r.get('resultado_final')}: {r.get('justificativa')}")
        _imprimir_assinaturas(v)
        return
    from types import SimpleNamespace

    from scrivane_contract.checker import ContractChecker
    from scrivane_contract.models import AssinaturaVerificada, EmpresaVerificada

    checker = ContractChecker(**{**kwargs_checker, "verbose": True})
    m = r["metricas"]
    checker._imprimir_relatorio(
        resultado_final=r["resultado_final"],
        justificativa=r["justificativa"],
        campos_aprovados=list(r["campos_aprovados"]),
        campos_reprovados=list(r["campos_reprovados"]),
        campos_pendentes=list(r["campos_pendentes"]),
        empresas=[EmpresaVerificada.model_validate(e) for e in r["empresas"]],
        assinaturas=[AssinaturaVerificada.model_validate(a) for a in r["assinaturas"]],
        dados_contrato=dict(r.get("dados_contrato") or {}),
        metricas=SimpleNamespace(tokens=m["tokens"], cost_usd=m["custo_usd"], time_seconds=m["tempo_segundos"]),
    )
    _imprimir_assinaturas(v)


def _imprimir_assinaturas(v: Verificacao) -> None:
    """The digital signatures after a contract's report, and the verdict they impose, if any."""
    if v.assinaturas_digitais is None:
        return
    sys.stdout.flush()
    console = _console_saida()
    digitais_cli.imprimir_secao(v.assinaturas_digitais, console)
    if v.resultado is not None and v.veredito != v.resultado.get("resultado_final"):
        console.print(f"🚫 Com --exigir-assinaturas-validas, o contrato conta como {v.veredito}.",
                      style="bold red")


# -- the command ---------------------------------------------------------------------------


def executar(args: argparse.Namespace) -> int:
    arquivos = expandir_caminhos(args.caminhos)
    opcoes_assinaturas = digitais_cli.opcoes(args)
    kwargs = argumentos_checker(args)
    verificar_credenciais(kwargs)
    aplicar_registro(valor_registro(args), args)
    aplicar_leitura(args)
    mostrar_avisos()

    html = SaidaHtml(args.html, arquivos) if args.html else None
    saida = SaidaJsonl(args.saida) if args.saida else None
    try:
        exigir = bool(args.exigir_assinaturas_validas)
        if len(arquivos) == 1 and not args.json and kwargs["verbose"]:
            return _um_contrato(arquivos[0], kwargs, saida, opcoes_assinaturas, exigir, html)
        return _varios(arquivos, kwargs, args, saida, opcoes_assinaturas, exigir, html)
    finally:
        if saida is not None:
            saida.fechar()


class SaidaHtml:
    """Página de relatório de cada contrato numa pasta, gravada quando o contrato termina.

    Um arquivo por contrato, com o nome do PDF e a extensão .html (nomes
    repetidos em pastas diferentes ganham um sufixo -2, -3...).  Contratos que
    falharam não têm página.
    """

    def __init__(self, pasta: str, arquivos: list[Path]) -> None:
        try:
            import jinja2  # noqa: F401
        except ImportError:
            raise ErroDeUso("--html precisa do extra 'web': pip install 'scrivane-contract[web]'") from None
        self.pasta = Path(pasta)
        try:
            self.pasta.mkdir(parents=True, exist_ok=True)
        except OSError as exc:
            raise ErroDeUso(f"não foi possível criar a pasta {pasta}: {exc.strerror or exc}") from None
        usados: set[str] = set()
        self.nomes: list[str] = []
        for arquivo in arquivos:
            nome, n = arquivo.stem + ".html", 1
            while nome.casefold() in usados:
                n += 1
                nome = f"{arquivo.stem}-{n}.html"
            usados.add(nome.casefold())
            self.nomes.append(nome)

    def escrever(self, indice: int, v: "Verificacao") -> None:
        if v.resultado is None:
            return
        from scrivane_contract.web.relatorio import pagina_relatorio

        destino = self.pasta / self.nomes[indice]
        temporario = destino.with_name(destino.name + ".tmp")
        temporario.write_text(pagina_relatorio(v.resultado, Path(v.arquivo).name,
                                                  assinaturas_digitais=v.assinaturas_digitais), encoding="utf-8")
        os.replace(temporario, destino)


def _um_contrato(arquivo: Path, kwargs: dict[str, Any], saida: Optional[SaidaJsonl],
                 opcoes_assinaturas: Optional[dict[str, Any]] = None, exigir: bool = False,
                 html: Optional[SaidaHtml] = None) -> int:
    """One contract: the library prints its progress lines and report as they come."""
    from scrivane_contract.cli import erro

    resultado: list[Verificacao] = []

    def guardar(indice: int, v: Verificacao) -> None:
        resultado.append(v)
        if saida is not None:
            saida.escrever(v.objeto_json())
        if html is not None:
            html.escrever(indice, v)

    Lote([arquivo], kwargs, 1, opcoes_assinaturas, exigir).executar(guardar)
    v = resultado[0]
    _imprimir_assinaturas(v)
    sys.stdout.flush()
    if v.erro is not None:
        erro(f"{v.arquivo}: {v.erro}")
    return codigo_de_saida(resultado)


def _varios(arquivos: list[Path], kwargs: dict[str, Any], args: argparse.Namespace,
            saida: Optional[SaidaJsonl], opcoes_assinaturas: Optional[dict[str, Any]] = None,
            exigir: bool = False, html: Optional[SaidaHtml] = None) -> int:
    kwargs_lote = {**kwargs, "verbose": False}
    mostrar_barra = args.progresso or _terminal(sys.stderr)
    stdout_terminal = _terminal(sys.stdout)

    verificacoes: list[Optional[Verificacao]] = [None] * len(arquivos)
    emitidos = 0

    def emitir(v: Verificacao) -> None:
        if args.json:
            print(json_linha(v.objeto_json()), flush=True)
        elif args.relatorios:
            imprimir_relatorio(v, kwargs)
            sys.stdout.flush()

    def ao_terminar(indice: int, v: Verificacao) -> None:
        nonlocal emitidos
        verificacoes[indice] = v
        if saida is not None:
            saida.escrever(v.objeto_json())
        if html is not None:
            html.escrever(indice, v)
        # Standard output keeps the input order: print the finished prefix.
        while emitidos < len(verificacoes) and verificacoes[emitidos] is not None:
            emitir(verificacoes[emitidos])  # type: ignore[arg-type]
            emitidos += 1
        if barra is not None:
            barra.advance(tarefa)

    inicio = time.perf_counter()
    barra = None
    tarefa = None
    interrompido = False
    try:
        if mostrar_barra:
            from rich.console import Console
            from rich.progress import (
                BarColumn,
                MofNCompleteColumn,
                Progress,
                SpinnerColumn,
                TextColumn,
                TimeElapsedColumn,
            )

            console_erro = Console(stderr=True, force_terminal=True if args.progresso else None)
            barra = Progress(
                SpinnerColumn(),
                TextColumn("Verificando"),
                BarColumn(),
                MofNCompleteColumn(),
                TimeElapsedColumn(),
                console=console_erro,
                transient=True,
                # Output to a terminal goes above the bar; piped output is left alone.
                redirect_stdout=stdout_terminal,
            )
            barra.start()
            tarefa = barra.add_task("verificar", total=len(arquivos))
        Lote(arquivos, kwargs_lote, args.paralelo, opcoes_assinaturas, exigir).executar(ao_terminar)
    except KeyboardInterrupt:
        interrompido = True
    finally:
        if barra is not None:
            barra.stop()
    segundos = time.perf_counter() - inicio

    feitas = [v for v in verificacoes if v is not None]
    if interrompido:
        # What finished but still waited for an earlier contract.
        for v in verificacoes[emitidos:]:
            if v is not None:
                emitir(v)
    if not args.json and feitas:
        imprimir_resumo(feitas, segundos, _console_saida())
    sys.stdout.flush()
    if interrompido:
        raise KeyboardInterrupt
    return codigo_de_saida(feitas)
