"""Comando ``verificar``: verifica um contrato, ou muitos."""

from __future__ import annotations

import argparse
import contextlib
import os
import queue
import sys
import threading
import time
from pathlib import Path
from typing import TYPE_CHECKING, Any, Callable, Optional

from scrivane_contract._controles import LIMITE_LINHA, bruto, linhas_curtas, para_terminal, terminal_seguro
from scrivane_contract.cli import assinaturas as digitais_cli
from scrivane_contract.cli import (
    SAIDA_APROVADO,
    SAIDA_FALHA,
    SAIDA_PENDENTE,
    SAIDA_REPROVADO,
    ErroDeUso,
    inteiro_positivo,
    partida_concluida,
)
from scrivane_contract.cli.opcoes import (
    SaidaJsonl,
    abrir_historico,
    adicionar_opcao_registro,
    adicionar_opcoes_historico,
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

# The presentation and the verification itself are loaded when a command runs,
# not for --help.
if TYPE_CHECKING:
    from scrivane_contract.verificacao import Verificacao, Verificador

PARALELO_PADRAO = 4

DESCRICAO = """\
Verifica contratos: o motor de extração lê cada contrato, as empresas são
conferidas na Receita Federal e os signatários no quadro de sócios (QSA).

Com um arquivo, mostra as linhas de progresso e o relatório da biblioteca.
Com vários (ou com pastas: seus PDFs, DOCX e imagens, recursivamente, em
ordem), verifica-os
em paralelo e mostra uma tabela-resumo; --json imprime um objeto JSON por
contrato, na ordem da entrada.

As assinaturas digitais do PDF são conferidas à parte (só um PDF as tem) (seção "ASSINATURAS
DIGITAIS" depois do relatório, coluna da tabela-resumo, chave
"assinaturas_digitais" ao lado de "resultado" no JSON).  Um contrato com
assinatura digital inválida conta como REPROVADO (resumo, código de saída e
chave "veredito" do JSON, com o motivo em "motivo_veredito"), salvo com
--ignorar-assinaturas.
"""

EPILOGO = """\
exemplos:
  scrivane-contract verificar --provedor local contrato.pdf
  scrivane-contract verificar contratos/ --paralelo 8 --saida resultados.jsonl
  scrivane-contract verificar --registro local --offline foto-do-contrato.jpg contrato.docx

códigos de saída: 0 todos APROVADO; 1 algum REPROVADO; 2 algum PENDENTE e
nenhum reprovado; 3 erro de uso (argumentos, caminho inexistente, credenciais
ausentes); 4 algum contrato falhou (arquivo ilegível, erro do motor);
130 interrompido (Ctrl-C ou SIGTERM), depois de gravar o que terminou.
"""


def configurar(subparsers: Any) -> None:
    parser = subparsers.add_parser(
        "verificar",
        help="verifica contratos (arquivos ou pastas)",
        description=DESCRICAO,
        epilog=EPILOGO,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("caminhos", nargs="+", metavar="CAMINHO", help="contrato (PDF, DOCX ou imagem JPEG, PNG, TIFF, HEIC), ou pasta com contratos")
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
        help="um objeto JSON por contrato na saída padrão: o registro da verificação (id, arquivo, sha256, "
             "verificado_em, provedor, modelo, registro, resultado, assinaturas_digitais, veredito, segundos, erro)",
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
    grupo = parser.add_argument_group(
        "histórico", "Cada verificação é guardada no histórico (o resultado, nunca o arquivo do contrato); "
                     "um arquivo já verificado é avisado, com os vereditos e as datas anteriores.")
    adicionar_opcoes_historico(grupo)
    parser.set_defaults(executar=executar)


# -- inputs ----------------------------------------------------------------------


# The contracts a folder holds, by extension: PDFs, Word files, photos and scans.
EXTENSOES_CONTRATO = frozenset({".pdf", ".docx", ".jpg", ".jpeg", ".png", ".tif", ".tiff", ".heic", ".heif"})


def expandir_caminhos(caminhos: list[str]) -> list[Path]:
    """Os arquivos a verificar: cada arquivo dado, e os contratos de cada pasta (PDF, DOCX e
    imagens JPEG, PNG, TIFF e HEIC; recursivamente, em ordem)."""
    arquivos: list[Path] = []
    faltando: list[str] = []
    for caminho in caminhos:
        p = Path(caminho)
        if p.is_dir():
            contratos = sorted(
                (x for x in p.rglob("*") if x.suffix.lower() in EXTENSOES_CONTRATO and x.is_file()
                 and not x.name.startswith("~$")),  # Word's lock files beside an open document
                key=lambda x: [parte.casefold() for parte in x.relative_to(p).parts],
            )
            if not contratos:
                raise ErroDeUso(f"Nenhum contrato encontrado na pasta: {caminho} "
                                "(procurados: PDF, DOCX e imagens JPEG, PNG, TIFF e HEIC)")
            arquivos.extend(contratos)
        elif p.exists():
            arquivos.append(p)
        else:
            faltando.append(caminho)
    if faltando:
        raise ErroDeUso("Arquivo não encontrado: " + ", ".join(faltando))
    return arquivos


# -- running many ---------------------------------------------------------------------


class Lote:
    """Verifica arquivos com ``paralelo`` threads (um checker por thread, via ``Verificador``).

    ``ao_terminar(indice, verificacao)`` roda na thread principal, na ordem em
    que os contratos terminam.  As threads são daemon: depois de um Ctrl-C o
    processo não espera as chamadas HTTP em curso.
    """

    def __init__(self, arquivos: list[Path], verificador: Verificador, paralelo: int,
                 ao_ler_ocr: Optional[Callable[[Path, int, int], None]] = None) -> None:
        self.arquivos = arquivos
        self.verificador = verificador
        self.paralelo = max(1, min(paralelo, len(arquivos)))
        self.ao_ler_ocr = ao_ler_ocr  # (file, pages read, pages to read) as each OCR'd page is read
        self._proximo = 0
        self._lock = threading.Lock()
        self._parar = threading.Event()
        self._terminados: "queue.Queue[tuple[int, Verificacao]]" = queue.Queue()

    def _trabalhar(self) -> None:
        while not self._parar.is_set():
            with self._lock:
                indice = self._proximo
                if indice >= len(self.arquivos):
                    return
                self._proximo += 1
            arquivo = self.arquivos[indice]
            try:
                from scrivane.document import ocr_progress
            except Exception:  # noqa: BLE001 - an engine that cannot load fails in the checker, in its words
                ocr_progress = None
            if self.ao_ler_ocr is None or ocr_progress is None:
                self._terminados.put((indice, self.verificador.verificar(arquivo)))
                continue

            ouvir = self.ao_ler_ocr
            with ocr_progress(lambda feitas, total, arquivo=arquivo: ouvir(arquivo, feitas, total)):
                self._terminados.put((indice, self.verificador.verificar(arquivo)))

    def _importar_antes(self) -> None:
        # Load the heavy modules once, here, before the workers start: several
        # threads importing openai (and pyHanko) at once only wait on each
        # other's import locks, and the first engine request comes later.  A
        # failure is left for the checker, which reports it as its own.
        import importlib

        modulos = ["scrivane_contract.checker", "scrivane"]
        if self.verificador.kwargs_checker.get("provider") != "local":
            modulos.append("openai")  # the engine loads it only for a model provider
        if self.verificador.assinaturas is not None:
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


# -- the command ---------------------------------------------------------------------------


def executar(args: argparse.Namespace) -> int:
    arquivos = expandir_caminhos(args.caminhos)
    opcoes_assinaturas = digitais_cli.opcoes(args)
    kwargs = argumentos_checker(args)
    verificar_credenciais(kwargs)
    aplicar_leitura(args)
    # The readers first: their start-up overlaps everything the command still does before reading.
    _preparar_leitores(min(args.paralelo, len(arquivos)))
    registro = aplicar_registro(valor_registro(args), args)
    mostrar_avisos()
    historico = abrir_historico(args, obrigatorio=False, tolerante=True, so_gravar=True)

    html = SaidaHtml(args.html, arquivos) if args.html else None
    saida = SaidaJsonl(args.saida) if args.saida else None

    def registrar(indice: int, v: Verificacao) -> None:
        """Every finished verification, in the order they finish: the history and the files it goes to."""
        nonlocal historico
        partida_concluida()  # the engine and the checker are loaded now
        if historico is not None and not guardar_no_historico(historico, v):
            historico.fechar()
            historico = None  # said once; the verifications go on without it
        if saida is not None:
            saida.escrever(v.como_json())
        if html is not None:
            html.escrever(indice, v)

    from scrivane_contract.verificacao import Verificador

    um = len(arquivos) == 1 and not args.json and kwargs["verbose"]
    # Several contracts: the library prints nothing; the summary table and the JSON lines speak.
    verificador = Verificador(kwargs if um else {**kwargs, "verbose": False}, assinaturas=opcoes_assinaturas,
                              exigir_assinaturas=bool(args.exigir_assinaturas_validas),
                              ignorar_assinaturas=bool(args.ignorar_assinaturas), registro=registro)
    try:
        with sigterm_como_ctrl_c():
            if um:
                return _um_contrato(arquivos[0], verificador, registrar)
            return _varios(arquivos, verificador, args, registrar, kwargs)
    finally:
        if saida is not None:
            saida.fechar()
        if historico is not None:
            with contextlib.suppress(Exception):
                historico.fechar()


def _preparar_leitores(quantos: int) -> None:
    """Starts the isolated readers now, in the background: their start-up (an interpreter,
    pdfium) overlaps the loading of the checker, the engine and the history."""
    try:
        from scrivane import isolation
    except ImportError:  # no engine: the checker says why
        return
    if isolation.isolation_enabled():
        threading.Thread(target=isolation.shared_pool().warm, args=(quantos,), daemon=True,
                         name="leitor-aquecer").start()


@contextlib.contextmanager
def sigterm_como_ctrl_c() -> Any:
    """SIGTERM (a service manager, ``kill``) stops the run as Ctrl-C does: what finished is written."""
    import signal

    if threading.current_thread() is not threading.main_thread():
        yield
        return

    def interromper(_sinal: int, _quadro: Any) -> None:
        raise KeyboardInterrupt

    anterior = signal.signal(signal.SIGTERM, interromper)
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, anterior)


def guardar_no_historico(historico: Any, v: Verificacao) -> bool:
    """Guarda ``v`` e avisa (stderr) quando o mesmo arquivo (SHA-256) já tinha sido verificado.

    Um histórico que não pode ser lido ou gravado não muda a verificação: um
    aviso, e False (o chamador deixa de usá-lo).
    """
    from scrivane_contract.apresentacao import data_legivel
    from scrivane_contract.cli import aviso

    try:
        anteriores = historico.anteriores(v.sha256) if v.sha256 else []
        historico.guardar(v)
    except Exception as exc:  # noqa: BLE001 - the verification stands; the history is a side matter
        from scrivane_contract.historico.banco import motivo_banco

        aviso(f"histórico inacessível ({historico.descricao}): {motivo_banco(exc)}; "
              "as verificações desta execução não serão guardadas")
        return False
    if anteriores:
        vistos = "; ".join(f"{data_legivel(a.verificado_em)} {a.veredito or 'FALHA'} (id {a.id})"
                           for a in anteriores[:3])
        mais = f" e mais {len(anteriores) - 3}" if len(anteriores) > 3 else ""
        aviso(f"{para_terminal(v.arquivo)} já foi verificado: {vistos}{mais}")
    return True


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
        from scrivane_contract.apresentacao import pagina_relatorio

        destino = self.pasta / self.nomes[indice]
        temporario = destino.with_name(destino.name + ".tmp")
        temporario.write_text(pagina_relatorio(v.resultado, Path(v.arquivo).name,
                                                  assinaturas_digitais=v.assinaturas_digitais,
                                                  veredito=(v.veredito, v.motivo_veredito),
                                                  procedencia=v.procedencia, avisos=v.avisos, aviso=v.aviso,
                                                  duracao=v.segundos), encoding="utf-8")
        os.replace(temporario, destino)


class ProgressoOCR:
    """O andamento do OCR, página a página: uma barra em stderr quando é um terminal (a do
    lote, se houver, ganha uma linha por contrato em OCR), senão uma linha por página lida."""

    def __init__(self, barra: Any = None, *, terminal: Optional[bool] = None) -> None:
        self.barra = barra
        from scrivane_contract.apresentacao import _terminal

        self.terminal = _terminal(sys.stderr) if terminal is None else terminal
        self._propria = False
        self._tarefas: dict[Path, Any] = {}
        self._trava = threading.Lock()

    def __call__(self, arquivo: Path, feitas: int, total: int) -> None:
        with self._trava:
            if not self.terminal and self.barra is None:
                print(f"OCR: página {feitas} de {total} lida ({arquivo})", file=sys.stderr, flush=True)
                return
            if self.barra is None:
                from rich.console import Console
                from rich.progress import BarColumn, MofNCompleteColumn, Progress, TextColumn, TimeElapsedColumn

                from scrivane_contract.apresentacao import _terminal

                # Output to a terminal goes above the bar; piped output is left alone.
                self.barra = Progress(TextColumn("{task.description}"), BarColumn(), MofNCompleteColumn(),
                                      TimeElapsedColumn(), console=Console(stderr=True), transient=True,
                                      redirect_stdout=_terminal(sys.stdout), redirect_stderr=False)
                self.barra.start()
                self._propria = True
            tarefa = self._tarefas.get(arquivo)
            if tarefa is None:
                tarefa = self._tarefas[arquivo] = self.barra.add_task(f"OCR de {arquivo.name}: páginas", total=total)
            self.barra.update(tarefa, completed=feitas, total=total)
            if feitas >= total:
                self.barra.remove_task(self._tarefas.pop(arquivo))
                if self._propria and not self._tarefas:
                    self.barra.stop()
                    self.barra, self._propria = None, False

    def parar(self) -> None:
        with self._trava:
            if self._propria and self.barra is not None:
                self.barra.stop()
                self.barra, self._propria = None, False


def _interrompido(arquivos: list[Path], verificacoes: list[Optional[Verificacao]]) -> KeyboardInterrupt:
    """Ctrl-C naming the contracts left unfinished and how many (the finished ones were kept)."""
    from scrivane_contract.cli import Interrompido

    from scrivane_contract._controles import para_terminal

    faltando = [para_terminal(str(a)) for a, v in zip(arquivos, verificacoes) if v is None]
    if not faltando:
        return Interrompido()
    nomes = ", ".join(faltando[:10]) + (f" e mais {len(faltando) - 10}" if len(faltando) > 10 else "")
    verbo = "não terminou" if len(faltando) == 1 else "não terminaram"
    guardados = "; os que terminaram foram gravados" if len(faltando) < len(arquivos) else ""
    return Interrompido(f"{len(faltando)} de {len(arquivos)} contrato(s) {verbo}: {nomes}{guardados}")


def _um_contrato(arquivo: Path, verificador: Verificador, registrar: Callable[[int, Verificacao], None]) -> int:
    """One contract: the library prints its progress lines and report as they come."""
    from scrivane_contract.apresentacao import imprimir_depois_do_relatorio
    from scrivane_contract.cli import erro

    resultado: list[Verificacao] = []

    def guardar(indice: int, v: Verificacao) -> None:
        resultado.append(v)
        registrar(indice, v)

    progresso = ProgressoOCR()
    try:
        with linhas_curtas():  # the library's progress lines and report carry registry values
            Lote([arquivo], verificador, 1, ao_ler_ocr=progresso).executar(guardar)
    except KeyboardInterrupt:
        raise _interrompido([arquivo], [resultado[0] if resultado else None]) from None
    finally:
        progresso.parar()
    v = resultado[0]
    imprimir_depois_do_relatorio(v)
    sys.stdout.flush()
    if v.erro is not None:
        erro(f"{para_terminal(v.arquivo)}: {para_terminal(v.erro, LIMITE_LINHA)}")
    return codigo_de_saida(resultado)


def _varios(arquivos: list[Path], verificador: Verificador, args: argparse.Namespace,
            registrar: Callable[[int, Verificacao], None], kwargs: dict[str, Any]) -> int:
    from scrivane_contract.apresentacao import _terminal, console_saida, imprimir_relatorio, imprimir_resumo

    mostrar_barra = args.progresso or _terminal(sys.stderr)
    stdout_terminal = _terminal(sys.stdout)

    verificacoes: list[Optional[Verificacao]] = [None] * len(arquivos)
    emitidos = 0

    def emitir(v: Verificacao) -> None:
        # Under the progress bar, standard output is rich's proxy: sanitise in front of it too.
        with terminal_seguro():
            _emitir(v)

    def _emitir(v: Verificacao) -> None:
        if args.json:
            print(json_linha(v.como_json()), flush=True)
        elif args.relatorios:
            imprimir_relatorio(v, kwargs)
            sys.stdout.flush()

    def ao_terminar(indice: int, v: Verificacao) -> None:
        nonlocal emitidos
        verificacoes[indice] = v
        registrar(indice, v)
        # Standard output keeps the input order: print the finished prefix.
        while emitidos < len(verificacoes) and verificacoes[emitidos] is not None:
            # Counted before it is printed: a Ctrl-C just after the line went out must not print it again.
            emitidos += 1
            emitir(verificacoes[emitidos - 1])  # type: ignore[arg-type]
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

            console_erro = Console(file=bruto(sys.stderr), force_terminal=True if args.progresso else None)
            barra = Progress(
                SpinnerColumn(),
                TextColumn("{task.description}"),
                BarColumn(),
                MofNCompleteColumn(),
                TimeElapsedColumn(),
                console=console_erro,
                transient=True,
                # Output to a terminal goes above the bar; piped output is left alone.
                redirect_stdout=stdout_terminal,
            )
            barra.start()
            tarefa = barra.add_task("Verificando", total=len(arquivos))
        progresso = ProgressoOCR(barra, terminal=mostrar_barra)
        Lote(arquivos, verificador, args.paralelo, ao_ler_ocr=progresso).executar(ao_terminar)
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
        imprimir_resumo(feitas, segundos, console_saida())
    elif args.json:
        from scrivane_contract.cli import aviso

        for texto in dict.fromkeys(a for v in feitas for a in (v.avisos or [])):
            aviso(texto)  # standard output holds only the JSON lines
    sys.stdout.flush()
    if interrompido:
        raise _interrompido(arquivos, verificacoes)
    return codigo_de_saida(feitas)
