"""Reading documents in warm worker processes, each document under limits.

A PDF is a program of sorts: a few kilobytes can inflate to gigabytes, repeat
one page a hundred thousand times or declare a page miles wide.  Read in the
caller's process, one such file takes the whole process down (a web service
with every queued job) or holds pdfium, which is not thread-safe, for minutes.

So each document is read by one of a small pool of worker processes, started
once and reused (the interpreter and pdfium are loaded once per worker, not
once per page or document).  Each worker runs under an address-space limit
and, per document, a CPU-time limit; a wall-clock backstop catches what the
CPU limit cannot see.  A worker that passes a limit or crashes is killed with
its Tesseract children (each worker leads its own process group) and its
temporary files; the document fails alone with a Portuguese reason naming the
page it was at, and the next document gets a fresh worker.  Several workers
read several documents at once.

Temporary files (OCR pages, Tesseract's output) live in a private folder of
the owning process (mode 0700, files 0600), named with its process id so that
a later start-up sweeps what a killed process left behind.  Workers watch
their parent and kill their process group when it disappears.
"""

from __future__ import annotations

import atexit
import logging
import math
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
from dataclasses import dataclass, replace
from multiprocessing.connection import Connection
from pathlib import Path
from typing import Any, Optional

from . import document as _document
from . import ocr as _ocr
from .document import Document, DocumentError, DocumentLimitError

__all__ = [
    "Limits", "ReaderPool", "configure", "shared_pool", "read_isolated", "sweep_stale_folders",
    "private_folder", "parse_size", "escape_for_log",
    "ENV_MEMORY", "ENV_TIME", "ENV_WORKERS", "ENV_ISOLATE",
]

log = logging.getLogger("scrivane")

ENV_MEMORY = "SCRIVANE_LIMITE_MEMORIA"
ENV_TIME = "SCRIVANE_LIMITE_TEMPO"
ENV_WORKERS = "SCRIVANE_LEITORES"
ENV_ISOLATE = "SCRIVANE_ISOLAR"

DEFAULT_MEMORY = 2 * 1024 ** 3
DEFAULT_SECONDS = 120.0
# Documents a worker reads before it is replaced (keeps fragmentation in check).
DOCUMENTS_PER_WORKER = 200
# Seconds of CPU past the limit before the parent kills a worker stuck in C code.
_CPU_GRACE = 5.0
_OFF = {"0", "false", "no", "nao", "não", "off"}
_MiB = 1024 * 1024


def parse_size(text: str) -> int:
    """Bytes de "2GiB", "512M", "1.5G" ou "2048" (um número sozinho está em MiB)."""
    m = re.fullmatch(r"\s*(\d+(?:[.,]\d+)?)\s*([kmgt]?)(?:i?b)?\s*", str(text), re.IGNORECASE)
    if not m:
        raise ValueError(f"tamanho inválido: {text!r} (ex.: 2GiB, 512MiB)")
    number = float(m.group(1).replace(",", "."))
    unit = m.group(2).lower() or "m"
    value = int(number * {"k": 1024, "m": _MiB, "g": 1024 ** 3, "t": 1024 ** 4}[unit])
    if value <= 0:
        raise ValueError(f"tamanho inválido: {text!r} (deve ser positivo)")
    return value


def _size_text(n: int) -> str:
    return f"{n / 1024 ** 3:g} GiB" if n % (1024 ** 3) == 0 else f"{n // _MiB} MiB"


@dataclass(frozen=True)
class Limits:
    """Limites de leitura de um documento: memória (bytes), tempo de CPU (s), páginas."""

    memory: int = DEFAULT_MEMORY
    seconds: float = DEFAULT_SECONDS
    pages: int = _document.PAGE_LIMIT

    @classmethod
    def from_env(cls) -> "Limits":
        memory, seconds = DEFAULT_MEMORY, DEFAULT_SECONDS
        try:
            if os.environ.get(ENV_MEMORY, "").strip():
                memory = parse_size(os.environ[ENV_MEMORY])
        except ValueError:
            log.warning("%s inválido: %s; usando %s", ENV_MEMORY, escape_for_log(os.environ[ENV_MEMORY]),
                        _size_text(DEFAULT_MEMORY))
        try:
            if os.environ.get(ENV_TIME, "").strip():
                seconds = float(os.environ[ENV_TIME].replace(",", "."))
                if seconds <= 0:
                    raise ValueError
        except ValueError:
            seconds = DEFAULT_SECONDS
            log.warning("%s inválido; usando %g s", ENV_TIME, DEFAULT_SECONDS)
        return cls(memory=memory, seconds=seconds, pages=_document._page_limit(None))

    @property
    def wall_seconds(self) -> float:
        # Tesseract's CPU and a busy machine make wall time exceed CPU time.
        return max(3 * self.seconds, self.seconds + 60)


def escape_for_log(text: Any) -> str:
    """O texto com os caracteres não imprimíveis (controles, quebras, bidi) escritos como \\xNN/\\uNNNN."""
    text = str(text)
    if text.isprintable():
        return text
    out = []
    for ch in text:
        if ch.isprintable():
            out.append(ch)
        else:
            code = ord(ch)
            out.append(f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}" if code < 0x10000 else f"\\U{code:08x}")
    return "".join(out)


# -- private folders ----------------------------------------------------------------

_FOLDER_NAME = re.compile(r"^scrivane-(?:leitura|web|trabalho)-(\d+)-")


def _alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def sweep_stale_folders(base: Optional[str | os.PathLike[str]] = None) -> list[Path]:
    """Apaga as pastas privadas (``scrivane-leitura-PID-*``, ``scrivane-web-PID-*``,
    ``scrivane-trabalho-PID-*``) cujo processo já não existe."""
    root = Path(base or tempfile.gettempdir())
    removed = []
    try:
        entries = list(root.iterdir())
    except OSError:
        return removed
    for entry in entries:
        m = _FOLDER_NAME.match(entry.name)
        if not m:
            continue
        try:
            st = entry.lstat()
        except OSError:
            continue
        if not entry.is_dir() or entry.is_symlink() or st.st_uid != os.getuid():
            continue
        pid = int(m.group(1))
        if pid == os.getpid() or _alive(pid):
            continue
        shutil.rmtree(entry, ignore_errors=True)
        removed.append(entry)
    return removed


_folder: Optional[Path] = None
_folder_lock = threading.Lock()


def private_folder() -> Path:
    """A pasta privada (0700) deste processo para os arquivos temporários da leitura."""
    global _folder
    with _folder_lock:
        if _folder is None or not _folder.is_dir():
            sweep_stale_folders()
            _folder = Path(tempfile.mkdtemp(prefix=f"scrivane-leitura-{os.getpid()}-"))
            os.chmod(_folder, 0o700)
            atexit.register(shutil.rmtree, _folder, True)
        return _folder


def remove_private_folder() -> None:
    """Apaga já a pasta privada deste processo (para uma saída que não passa pelo ``atexit``)."""
    global _folder
    with _folder_lock:
        if _folder is not None:
            shutil.rmtree(_folder, ignore_errors=True)
            _folder = None


# -- the worker process ------------------------------------------------------------------

# Loads the reader without the package's __init__ (which imports the model
# client): a worker only reads.  The cyclic collector waits until the modules are
# loaded (they live as long as the worker: see _worker_main).
_BOOT = (
    "import gc\n"
    "gc.disable()\n"
    "import importlib.util, sys\n"
    "spec = importlib.util.find_spec('scrivane')\n"
    "sys.modules['scrivane'] = importlib.util.module_from_spec(spec)\n"
    "from scrivane.isolation import _worker_main\n"
    "_worker_main(sys.argv[1:])\n"
)


_site_flags: Optional[list[str]] = None


def _worker_flags() -> list[str]:
    """["-S"] when the site module has nothing to do in a worker, which gets this process's whole
    path in PYTHONPATH: no .pth file in the site-packages folders, no sitecustomize or usercustomize.
    Else [] (the worker sets itself up as this process did)."""
    global _site_flags
    if _site_flags is None:
        import site

        folders = [*site.getsitepackages(), *([site.getusersitepackages()] if site.ENABLE_USER_SITE else [])]
        pth = any(Path(f).is_dir() and any(Path(f).glob("*.pth")) for f in folders)
        custom = "sitecustomize" in sys.modules or "usercustomize" in sys.modules
        _site_flags = [] if pth or custom else ["-S"]
    return list(_site_flags)


class _OutOfTime(Exception):
    pass


# A small file both processes map: the page the worker is reading (plus one; 0: none yet).
_PROGRESS_SIZE = 8


def _cpu_seconds_self_and_children() -> float:
    import resource

    own = resource.getrusage(resource.RUSAGE_SELF)
    kids = resource.getrusage(resource.RUSAGE_CHILDREN)
    return own.ru_utime + own.ru_stime + kids.ru_utime + kids.ru_stime


def _worker_main(argv: list[str]) -> None:
    import resource

    import mmap
    import struct

    read_fd, write_fd, memory = int(argv[0]), int(argv[1]), int(argv[2])
    os.umask(0o077)
    with open(argv[3], "r+b") as f:
        progress = mmap.mmap(f.fileno(), _PROGRESS_SIZE)
    inbox = Connection(read_fd, writable=False)
    outbox = Connection(write_fd, readable=False)
    parent = os.getppid()

    def watch_parent() -> None:
        # The parent gone (killed), this worker and its Tesseract children go too.
        while True:
            time.sleep(0.5)
            if os.getppid() != parent:
                os.killpg(0, signal.SIGKILL)

    threading.Thread(target=watch_parent, daemon=True, name="scrivane-vigia").start()

    import pypdfium2  # noqa: F401  (warm: loaded before the limit and the first document)

    import gc

    gc.freeze()  # the modules, loaded for good: out of every collection
    gc.enable()

    if memory > 0:
        resource.setrlimit(resource.RLIMIT_AS, (memory, memory))

    state: dict[str, Any] = {"page": None, "xcpu": False}

    def on_xcpu(signum, frame):
        # Raised wherever Python code runs next, maybe inside a ctypes call that
        # wraps it in its own error: the flag says what it was.
        state["xcpu"] = True
        raise _OutOfTime

    signal.signal(signal.SIGXCPU, on_xcpu)

    class Forward(logging.Handler):
        def emit(self, record: logging.LogRecord) -> None:
            try:
                outbox.send(("log", record.levelno, record.getMessage()))
            except Exception:  # noqa: BLE001 - a log line is never worth the document
                pass

    scrivane_log = logging.getLogger("scrivane")
    scrivane_log.addHandler(Forward())
    scrivane_log.setLevel(logging.INFO)
    scrivane_log.propagate = False

    def hook(index: int, stage: str) -> None:
        # Where the reading is, for the parent to name should this process die.
        state["page"] = index
        struct.pack_into("<q", progress, 0, index + 1)
        if stage == "ocr" and _cpu_seconds_self_and_children() - state["cpu0"] > state["seconds"]:
            raise _OutOfTime

    def ask_parent() -> Optional[str]:
        # Whether OCR can run is the parent's to say (its packages, its Tesseract).
        outbox.send(("ocr?",))
        return inbox.recv()

    _document.page_hook = hook

    def ocr_page(done: int, total: int) -> None:
        try:
            outbox.send(("ocr", done, total))
        except Exception:  # noqa: BLE001 - progress is never worth the document
            pass

    _document._listener.fn = ocr_page
    while True:
        try:
            request = inbox.recv()
        except (EOFError, OSError):
            return
        state["page"] = None
        state["xcpu"] = False
        struct.pack_into("<q", progress, 0, 0)
        state["seconds"] = request["seconds"]
        state["cpu0"] = _cpu_seconds_self_and_children()
        own = resource.getrusage(resource.RUSAGE_SELF)
        soft = int(math.ceil(own.ru_utime + own.ru_stime + request["seconds"]))
        resource.setrlimit(resource.RLIMIT_CPU, (soft, resource.RLIM_INFINITY))
        _ocr.OCR_PAGE_TIMEOUT = max(1, min(300, int(request["seconds"])))
        leave = False
        try:
            os.chdir(request["cwd"])
            if request.get("ocr_env") is None:
                os.environ.pop("SCRIVANE_OCR", None)
            else:
                os.environ["SCRIVANE_OCR"] = request["ocr_env"]
            doc = _document.read_document(
                request["path"], ocr=request["ocr"], ocr_workers=request["ocr_workers"],
                max_pages=request["pages"], ocr_unavailable=ask_parent if request["ocr"] else None)
            message: tuple = ("fim", doc)
        except _OutOfTime:
            message, leave = ("limite", "tempo", state["page"]), True
        except MemoryError:
            message, leave = ("limite", "memoria", state["page"]), True
        except BaseException as exc:  # noqa: BLE001 - handed to the caller as it is
            if state["xcpu"]:
                message, leave = ("limite", "tempo", state["page"]), True
            else:
                message = ("erro", exc)
        finally:
            resource.setrlimit(resource.RLIMIT_CPU, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
        try:
            outbox.send(message)
        except MemoryError:
            outbox.send(("limite", "memoria", state["page"]))
            leave = True
        except Exception as exc:  # noqa: BLE001 - an exception that does not pickle
            outbox.send(("erro", DocumentError(str(exc) or type(exc).__name__)))
        if leave:
            return


def _proc_cpu_seconds(pid: int) -> float:
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            fields = f.read().rsplit(b")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    except (OSError, IndexError, ValueError):
        return 0.0


class _Worker:
    def __init__(self, folder: Path, limits: Limits) -> None:
        self.limits = limits
        import mmap

        self.tmp = Path(tempfile.mkdtemp(prefix="leitor-", dir=folder))
        progress_path = self.tmp / ".progresso"
        fd = os.open(progress_path, os.O_RDWR | os.O_CREAT | os.O_EXCL, 0o600)
        try:
            os.ftruncate(fd, _PROGRESS_SIZE)
            self.progress = mmap.mmap(fd, _PROGRESS_SIZE)
        finally:
            os.close(fd)
        to_worker_r, to_worker_w = os.pipe()
        from_worker_r, from_worker_w = os.pipe()
        env = dict(os.environ)
        env.update(TMPDIR=str(self.tmp), OMP_THREAD_LIMIT="1",
                   PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
        try:
            self.proc = subprocess.Popen(
                [sys.executable, *_worker_flags(), "-c", _BOOT, str(to_worker_r), str(from_worker_w), str(limits.memory),
                 str(progress_path)],
                pass_fds=(to_worker_r, from_worker_w), env=env, start_new_session=True,
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, cwd=str(self.tmp))
        except BaseException:
            for fd in (to_worker_r, to_worker_w, from_worker_r, from_worker_w):
                os.close(fd)
            shutil.rmtree(self.tmp, ignore_errors=True)
            raise
        os.close(to_worker_r)
        os.close(from_worker_w)
        self.inbox = Connection(to_worker_w, readable=False)
        self.outbox = Connection(from_worker_r, writable=False)
        self.documents = 0
        self.dead = False

    def kill(self) -> None:
        if not self.dead:
            self.dead = True
            try:
                os.killpg(self.proc.pid, signal.SIGKILL)
            except (ProcessLookupError, PermissionError):
                pass
        for conn in (self.inbox, self.outbox):
            try:
                conn.close()
            except OSError:
                pass
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            pass
        try:
            self.progress.close()
        except (BufferError, ValueError):
            pass
        # A worker killed mid-read leaves its Tesseract children's group behind.
        try:
            os.killpg(self.proc.pid, signal.SIGKILL)
        except (ProcessLookupError, PermissionError):
            pass
        shutil.rmtree(self.tmp, ignore_errors=True)

    def read(self, request: dict[str, Any], path: Path) -> Document:
        """Sends one document; returns it read or raises its error. Leaves ``dead`` set when the worker is gone."""
        limits = self.limits
        self.documents += 1
        listener = _document._progress_listener()  # the calling thread's, told of each page read by OCR
        cpu0 = _proc_cpu_seconds(self.proc.pid)
        deadline = time.monotonic() + limits.wall_seconds
        try:
            self.inbox.send(request)
        except OSError:
            return self._died(path, cpu0, killed_for_time=False)
        while True:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                return self._died(path, cpu0, killed_for_time=True)
            try:
                ready = self.outbox.poll(min(remaining, 0.5))
                message = self.outbox.recv() if ready else None
            except (EOFError, OSError):
                return self._died(path, cpu0, killed_for_time=False)
            except Exception as exc:  # noqa: BLE001 - a reply that cannot be unpickled
                self.kill()
                raise DocumentError(f"falha ao ler o documento ({type(exc).__name__}): {path}") from None
            if message is None:
                if _proc_cpu_seconds(self.proc.pid) - cpu0 > limits.seconds + _CPU_GRACE:
                    return self._died(path, cpu0, killed_for_time=True)
                continue
            kind = message[0]
            if kind == "log":
                log.log(message[1], "%s", message[2])
            elif kind == "ocr":
                if listener is not None:
                    try:
                        listener(message[1], message[2])
                    except Exception:  # noqa: BLE001 - a failing listener does not fail the reading
                        log.debug("ouvinte do progresso do OCR falhou", exc_info=True)
            elif kind == "ocr?":
                try:
                    self.inbox.send(_ocr.unavailable_reason())
                except OSError:
                    return self._died(path, cpu0, killed_for_time=False)
            elif kind == "fim":
                return message[1]
            elif kind == "erro":
                raise message[1]
            elif kind == "limite":
                self.kill()
                raise _limit_error(message[1], message[2] if message[2] is not None else self._page(), limits, path)

    def _page(self) -> Optional[int]:
        import struct

        (page,) = struct.unpack_from("<q", self.progress, 0)
        return page - 1 if page > 0 else None

    def _died(self, path: Path, cpu0: float, *, killed_for_time: bool) -> Document:
        cpu = _proc_cpu_seconds(self.proc.pid) - cpu0
        page = self._page()
        self.kill()
        status = self.proc.returncode
        if killed_for_time or status in (-signal.SIGXCPU,) or cpu > self.limits.seconds:
            raise _limit_error("tempo", page, self.limits, path)
        if status is not None and status < 0 and -status in (signal.SIGSEGV, signal.SIGBUS):
            raise DocumentError(f"o leitor de PDF parou ao ler {_where(page)} "
                                f"({signal.Signals(-status).name}): {path}")
        # pdfium aborts when an allocation fails under the address-space limit.
        raise _limit_error("memoria", page, self.limits, path)


def _where(page: Optional[int]) -> str:
    return "o arquivo" if page is None else f"a página {page + 1}"


def _limit_error(kind: str, page: Optional[int], limits: Limits, path: Path) -> DocumentLimitError:
    if kind == "tempo":
        return DocumentLimitError(
            f"documento excede o limite de tempo ao ler {_where(page)} (limite {limits.seconds:g} s de CPU): {path}")
    return DocumentLimitError(
        f"documento excede o limite de memória ao ler {_where(page)} (limite {_size_text(limits.memory)}): {path}")


# -- the pool -----------------------------------------------------------------------------


def _default_workers() -> int:
    try:
        n = int(os.environ.get(ENV_WORKERS, "") or 0)
    except ValueError:
        n = 0
    return n if n > 0 else max(4, os.cpu_count() or 1)


class ReaderPool:
    """Processos leitores prontos, reutilizados; cada documento é lido por um deles, sob ``limits``.

    ``workers`` limita as leituras simultâneas (padrão: SCRIVANE_LEITORES ou
    4); ``limits`` vem de SCRIVANE_LIMITE_MEMORIA, SCRIVANE_LIMITE_TEMPO e
    SCRIVANE_LIMITE_PAGINAS quando omitido.
    """

    def __init__(self, workers: Optional[int] = None, limits: Optional[Limits] = None,
                 folder: Optional[str | os.PathLike[str]] = None) -> None:
        self.workers = workers or _default_workers()
        self.limits = limits or Limits.from_env()
        self.folder = Path(folder) if folder is not None else private_folder()
        self._idle: list[_Worker] = []
        self._busy: set[_Worker] = set()
        self._ready = 1  # idle workers kept ready (see warm)
        self._running = 0  # workers alive or starting, idle or busy
        self._cond = threading.Condition()
        self._closed = False

    def __enter__(self) -> "ReaderPool":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def _take(self) -> _Worker:
        with self._cond:
            while True:
                if self._closed:
                    raise RuntimeError("leitor encerrado")
                while self._idle:
                    worker = self._idle.pop()
                    if worker.proc.poll() is None:
                        self._busy.add(worker)
                        return worker
                    self._running -= 1  # died while idle (killed from outside)
                    threading.Thread(target=worker.kill, daemon=True).start()
                if self._running < self.workers:
                    self._running += 1
                    break
                self._cond.wait()
        try:
            worker = _Worker(self.folder, self.limits)
            with self._cond:
                self._busy.add(worker)
            return worker
        except BaseException:
            with self._cond:
                self._running -= 1
                self._cond.notify()
            raise

    def _give_back(self, worker: _Worker) -> None:
        if not worker.dead and (worker.documents >= DOCUMENTS_PER_WORKER or self._closed):
            worker.kill()  # worn out, or nobody will read again
        with self._cond:
            if not worker.dead and self._closed:
                late = True  # closed meanwhile
            else:
                late = False
                self._busy.discard(worker)
                if worker.dead:
                    self._running -= 1
                else:
                    self._idle.append(worker)
                self._cond.notify_all()
        if late:
            worker.kill()
            with self._cond:
                self._busy.discard(worker)
                self._running -= 1
                self._cond.notify_all()
        elif worker.dead and not self._closed:
            threading.Thread(target=self.warm, args=(self._ready,), daemon=True, name="scrivane-leitor").start()

    def busy_pids(self) -> list[int]:
        """Os processos leitores ocupados agora (para diagnóstico)."""
        with self._cond:
            return [w.proc.pid for w in self._busy]

    def warm(self, count: int = 1) -> None:
        """Deixa até ``count`` processos leitores ociosos à espera (as próximas leituras não esperam a partida)."""
        with self._cond:
            self._ready = max(self._ready, count)
        for _ in range(count):
            with self._cond:
                if self._closed or len(self._idle) >= count or self._running >= self.workers:
                    return
                self._running += 1
            try:
                worker = _Worker(self.folder, self.limits)
            except OSError:
                with self._cond:
                    self._running -= 1
                return
            with self._cond:
                if not self._closed:
                    self._idle.append(worker)
                    self._cond.notify_all()
                    continue
            worker.kill()
            with self._cond:
                self._running -= 1
                self._cond.notify_all()
            return

    def read(self, path: str | os.PathLike[str], *, ocr: Optional[bool] = None,
             ocr_workers: Optional[int] = None) -> Document:
        """Lê o documento num processo leitor; mesmas respostas e erros de ``read_document``.

        Um documento que passa de um limite levanta ``DocumentLimitError``.
        """
        want = _ocr.ocr_requested(ocr)
        request = {
            "path": os.fspath(path),
            "cwd": os.getcwd(),
            "ocr": want,
            # Whether OCR can run here is asked by the worker, of a document with a page to OCR.
            "ocr_workers": ocr_workers,
            "ocr_env": os.environ.get("SCRIVANE_OCR"),  # the reader says why OCR was off as the caller would
            "pages": self.limits.pages,
            "seconds": self.limits.seconds,
        }
        worker = self._take()
        try:
            doc = worker.read(request, Path(path))
        except BaseException as exc:
            if isinstance(exc, (KeyboardInterrupt, SystemExit)):
                worker.kill()
            raise
        finally:
            self._give_back(worker)
        return replace(doc, path=Path(path))

    def close(self) -> None:
        """Encerra os processos leitores ociosos; os ocupados terminam ao fim da leitura."""
        with self._cond:
            self._closed = True
            idle, self._idle = self._idle, []
            self._cond.notify_all()
        for worker in idle:
            worker.kill()
            with self._cond:
                self._running -= 1
                self._cond.notify_all()
        # A worker still starting is killed by its starter; wait for it (not for busy ones).
        with self._cond:
            self._cond.wait_for(lambda: self._running <= len(self._busy), timeout=15)


_pool: Optional[ReaderPool] = None
_pool_lock = threading.Lock()
_settings: dict[str, Any] = {}


def configure(*, memory: Optional[int] = None, seconds: Optional[float] = None, pages: Optional[int] = None,
              workers: Optional[int] = None) -> None:
    """Ajusta os limites do leitor compartilhado (o que for None vem do ambiente)."""
    global _pool
    with _pool_lock:
        _settings.update(memory=memory, seconds=seconds, pages=pages, workers=workers)
        old, _pool = _pool, None
    if old is not None:
        old.close()


def _limits_now() -> Limits:
    limits = Limits.from_env()
    changes = {k: _settings[k] for k in ("memory", "seconds", "pages") if _settings.get(k) is not None}
    return replace(limits, **changes)


def shared_pool() -> ReaderPool:
    """O conjunto de processos leitores deste processo (criado na primeira chamada)."""
    global _pool
    with _pool_lock:
        if _pool is None:
            _pool = ReaderPool(workers=_settings.get("workers"), limits=_limits_now())
            atexit.register(_pool.close)
        return _pool


def isolation_enabled() -> bool:
    return os.environ.get(ENV_ISOLATE, "").strip().lower() not in _OFF


def read_isolated(path: str | os.PathLike[str], *, ocr: Optional[bool] = None,
                  ocr_workers: Optional[int] = None) -> Document:
    """Lê o documento num processo leitor com limites (ou neste processo, com SCRIVANE_ISOLAR=0)."""
    if not isolation_enabled():
        return _document.read_document(path, ocr=ocr, ocr_workers=ocr_workers, max_pages=_limits_now().pages)
    return shared_pool().read(path, ocr=ocr, ocr_workers=ocr_workers)
