"""Uma verificação de um arquivo de contrato, e o registro que ela deixa.

``verificar_arquivo(caminho, verificar)`` lê as assinaturas digitais do PDF
(numa thread própria, enquanto o motor extrai), chama ``verificar`` (em geral
``ContractChecker.verificar``), cruza as assinaturas com o resultado e devolve
um ``Verificacao``: nome do arquivo e SHA-256, quando, provedor e modelo,
registro consultado, ``resultado``, ``assinaturas_digitais``, o ``veredito``
final, o tempo e o motivo da falha, se houve.  ``Verificacao.como_json()`` é a
única forma JSON de uma verificação: a do ``verificar --json`` e ``--saida``,
a da API web, a do "Baixar JSON" da página e a do histórico.

``Verificador`` guarda as opções de um comando (argumentos do checker,
assinaturas, registro) e verifica arquivos com um checker por thread.
"""

from __future__ import annotations

import hashlib
import threading
import time
from dataclasses import dataclass, field
from datetime import datetime, timezone
from pathlib import Path
from typing import Any, Callable, Optional

from scrivane_contract._controles import escapar_controles
from scrivane_contract.erros_leitura import traduzir_pdfium

__all__ = [
    "Verificacao",
    "Verificador",
    "verificar_arquivo",
    "calcular_veredito",
    "motivo_da_reprovacao",
    "motivo_da_falha",
    "descrever_registro",
    "procedencia_das_empresas",
    "sha256_arquivo",
    "sem_caminhos",
    "espera_estimada",
    "CHAVES",
    "NA_FILA",
    "EM_ANDAMENTO",
    "CONCLUIDA",
    "FALHOU",
    "FilaCheia",
    "LugaresNaFila",
]

# A verification's state in the web service, whichever queue runs it.
NA_FILA = "na_fila"
EM_ANDAMENTO = "em_andamento"
CONCLUIDA = "concluida"
FALHOU = "falhou"


class FilaCheia(Exception):
    """Sem lugar para outra verificação; ``retry_after``: sugestão de espera, em segundos."""

    def __init__(self, retry_after: int) -> None:
        super().__init__("Fila de verificações cheia")
        self.retry_after = retry_after


class LugaresNaFila:
    """The places of a web service's queue, whichever runs it: ``trabalhadores`` running plus
    ``limite_fila`` waiting.  An upload holds a place from ``reservar`` until it is queued
    (``enviar``, which calls ``_ocupar``) or refused (``liberar``); uploads are received in a
    private folder (mode 0700) named with the process id, so a later start-up removes it if the
    process is killed.  Subclasses say how many are taken (``_ocupadas``) and how long to wait
    (``_retry_after``)."""

    def _iniciar_lugares(self, trabalhadores: int, limite_fila: int, pasta: Optional[str]) -> None:
        if trabalhadores < 1:
            raise ValueError("trabalhadores deve ser pelo menos 1")
        if limite_fila < 0:
            raise ValueError("limite_fila não pode ser negativo")
        import os
        import tempfile

        self.trabalhadores = trabalhadores
        self.limite_fila = limite_fila
        self.pasta = Path(tempfile.mkdtemp(prefix=f"scrivane-web-{os.getpid()}-", dir=pasta))
        os.chmod(self.pasta, 0o700)
        self._lock = threading.Lock()
        self._reservas = 0  # uploads being received
        self._fechada = False

    @property
    def capacidade(self) -> int:
        """Verificações que podem estar na fila ou em andamento ao mesmo tempo."""
        return self.trabalhadores + self.limite_fila

    def _ocupadas(self) -> int:
        raise NotImplementedError

    def _retry_after(self) -> int:
        raise NotImplementedError

    def reservar(self) -> None:
        """Reserva um lugar para um envio prestes a ser recebido; ``FilaCheia`` quando não há."""
        ocupadas = self._ocupadas()
        with self._lock:
            if self._fechada or ocupadas + self._reservas >= self.capacidade:
                raise FilaCheia(self._retry_after())
            self._reservas += 1

    def sondar(self) -> None:
        """``FilaCheia`` quando não há lugar para mais um envio, sem reservar nenhum."""
        ocupadas = self._ocupadas()
        with self._lock:
            if self._fechada or ocupadas + self._reservas >= self.capacidade:
                raise FilaCheia(self._retry_after())

    def liberar(self) -> None:
        """Devolve o lugar de um envio recusado."""
        with self._lock:
            self._reservas -= 1

    def novo_arquivo(self) -> tuple[str, Path]:
        """Um id novo (o formato dos ids do histórico) e o caminho privado onde o envio é gravado."""
        ident = novo_id()
        return ident, self.pasta / f"{ident}.pdf"

# Keys of a verification's JSON, in order.
CHAVES = ("id", "arquivo", "sha256", "verificado_em", "provedor", "modelo", "registro", "resultado",
          "procedencia", "assinaturas_digitais", "veredito", "motivo_veredito", "avisos", "aviso", "segundos", "erro")


def novo_id() -> str:
    """Um id de verificação: 12 caracteres hexadecimais, o mesmo formato onde quer que ela comece
    (linha de comando, página, fila compartilhada)."""
    import secrets

    return secrets.token_hex(6)


def agora_iso() -> str:
    """O instante atual em ISO 8601, UTC, com segundos."""
    return datetime.now(timezone.utc).isoformat(timespec="seconds")


def sha256_arquivo(caminho: str | Path) -> str:
    """O SHA-256 (hexadecimal) do conteúdo do arquivo."""
    h = hashlib.sha256()
    with open(caminho, "rb") as f:
        while bloco := f.read(1 << 20):
            h.update(bloco)
    return h.hexdigest()


def assinaturas_invalidas(digitais: Optional[dict[str, Any]]) -> bool:
    """Há assinatura digital "inválida" (violada, ou com o conteúdo alterado depois dela)."""
    return digitais is not None and any(
        isinstance(a, dict) and a.get("nivel") == "inválida" for a in digitais.get("assinaturas") or [])


def _quem(a: dict[str, Any]) -> str:
    return str(a.get("pessoa") or a.get("nome") or "assinante não identificado")


def _divergencia(a: dict[str, Any]) -> str:
    socio = a.get("socio_qsa") if isinstance(a.get("socio_qsa"), dict) else {}
    return f"{_quem(a)}, {socio.get('nome') or 'sócio'} consta no QSA de {socio.get('empresa') or 'empresa do contrato'}" \
           f" com CPF {socio.get('cpf_mascarado') or 'outro'}"


def motivo_da_reprovacao(assinaturas_digitais: Optional[dict[str, Any]], *, exigir_assinaturas: bool = False,
                         ignorar_assinaturas: bool = False) -> Optional[str]:
    """Por que as assinaturas digitais reprovam o contrato (``None``: não reprovam).

    Uma assinatura "inválida" reprova, salvo com ``ignorar_assinaturas``, e
    também um certificado cujo CPF o QSA contradiz (a mesma pessoa, com outro
    CPF, no quadro de sócios da empresa).  Com ``exigir_assinaturas``, também
    as que não são "válida e confiável" (ou assinaturas que não puderam ser
    lidas).  Um certificado não reconhecido é só um aviso.
    """
    if assinaturas_digitais is None or ignorar_assinaturas:
        return None
    itens = [a for a in assinaturas_digitais.get("assinaturas") or [] if isinstance(a, dict)]
    motivos = []
    invalidas = [a for a in itens if a.get("nivel") == "inválida"]
    if invalidas:
        motivos.append("assinatura digital inválida: " + "; ".join(f"{_quem(a)}, {a.get('motivo')}"
                                                                  for a in invalidas))
    divergentes = [a for a in itens if a.get("identidade") == "CPF divergente do QSA"]
    if divergentes:
        motivos.append("CPF do certificado divergente do QSA: " + "; ".join(map(_divergencia, divergentes)))
    if motivos:
        return "; ".join(motivos)
    if exigir_assinaturas:
        if assinaturas_digitais.get("erro"):
            return f"assinaturas digitais não verificadas: {assinaturas_digitais['erro']}"
        outras = [a for a in itens if a.get("nivel") != "válida e confiável"]
        if outras:
            return "assinatura digital não confirmada (--exigir-assinaturas-validas): " + "; ".join(
                f"{_quem(a)}, {a.get('nivel')}: {a.get('motivo')}" for a in outras)
    return None


def calcular_veredito(resultado: Optional[dict[str, Any]], assinaturas_digitais: Optional[dict[str, Any]],
                      *, exigir_assinaturas: bool = False, ignorar_assinaturas: bool = False) -> Optional[str]:
    """O veredito final de uma verificação ("APROVADO", "REPROVADO", "PENDENTE"; None se falhou).

    É o ``resultado_final`` da biblioteca, salvo quando as assinaturas digitais
    o reprovam (ver ``motivo_da_reprovacao``): então "REPROVADO".
    """
    if resultado is None:
        return None
    if motivo_da_reprovacao(assinaturas_digitais, exigir_assinaturas=exigir_assinaturas,
                            ignorar_assinaturas=ignorar_assinaturas):
        return "REPROVADO"
    return resultado.get("resultado_final")


@dataclass
class Verificacao:
    """O registro de uma verificação de um contrato (``erro`` preenchido quando falhou)."""

    arquivo: str
    sha256: Optional[str] = None
    verificado_em: str = field(default_factory=agora_iso)
    provedor: Optional[str] = None
    modelo: Optional[str] = None
    registro: Optional[dict[str, Any]] = None
    resultado: Optional[dict[str, Any]] = None
    assinaturas_digitais: Optional[dict[str, Any]] = None
    veredito: Optional[str] = None
    # Why the digital signatures changed the library's verdict (None: they did not).
    motivo_veredito: Optional[str] = None
    # "o documento não parece um contrato", when the document is not one by what it is (as `classificar` decides).
    aviso: Optional[str] = None
    segundos: float = 0.0
    erro: Optional[str] = None
    id: Optional[str] = None
    # Where each company's registry data came from, in the order of resultado["empresas"]
    # (None for a company without data); see ``procedencia_das_empresas``.
    procedencia: Optional[list[Optional[dict[str, Any]]]] = None
    # Hints about the verification as a whole (the registry out of reach, for instance).
    avisos: list[str] = field(default_factory=list)

    def como_json(self) -> dict[str, Any]:
        """O objeto JSON da verificação (todas as chaves, sempre na mesma ordem)."""
        d = {chave: getattr(self, chave) for chave in CHAVES}
        d["segundos"] = round(float(self.segundos), 3)
        return d

    # The name the command line used before; both read the same.
    objeto_json = como_json

    @classmethod
    def de_json(cls, d: dict[str, Any]) -> "Verificacao":
        """Reconstrói a verificação a partir de ``como_json()`` (chaves desconhecidas são ignoradas)."""
        dados = {k: d[k] for k in CHAVES if k in d and k != "segundos"}
        dados["avisos"] = list(dados.get("avisos") or [])
        return cls(**dados, segundos=float(d.get("segundos") or 0.0))

    @property
    def nome(self) -> str:
        """Só o nome do arquivo, sem as pastas."""
        return Path(self.arquivo).name

    def cnpjs(self) -> list[str]:
        """Os CNPJs (14 dígitos) das empresas do resultado."""
        saida = []
        for e in (self.resultado or {}).get("empresas") or []:
            numero = "".join(ch for ch in str((e or {}).get("cnpj") or "") if ch.isdigit())
            if len(numero) == 14 and numero not in saida:
                saida.append(numero)
        return saida


# -- failures --------------------------------------------------------------------


def _uma_linha(texto: str) -> str:
    # One line, and nothing in it that moves a terminal's cursor.
    return escapar_controles(" ".join(str(texto).split()))


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
    if modulo.startswith(("scrivane.", "pypdfium2")) or modulo == "scrivane":
        from scrivane_contract.erros_leitura import mensagem_leitura

        return mensagem_leitura(str(exc))  # the reader's messages, pdfium's English put in Portuguese
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


# -- where the registry data came from ---------------------------------------------


def procedencia_das_empresas(resultado: Optional[dict[str, Any]],
                             desde: Optional[float] = None) -> Optional[list[Optional[dict[str, Any]]]]:
    """De onde vieram os dados de cada empresa do resultado, na ordem de ``empresas``.

    ``desde`` (``time.monotonic()`` do início da verificação): só contam as consultas feitas
    a partir dele.

    Cada item é o que ``scrivane_contract.registro.consultas.procedencia`` diz do CNPJ
    da empresa (``descricao`` como "Registro local (publicação 2026-11)" ou "BrasilAPI,
    consulta em 2026-12-08 14:05 UTC", ``origem``, ``publicacao``, ``completo``,
    ``consultado_em``...), com o ``cnpj``; None para uma empresa sem dados da Receita.
    """
    if not isinstance(resultado, dict) or "empresas" not in resultado:
        return None
    try:
        from scrivane_contract.registro.consultas import procedencia
    except ImportError:
        return None
    saida: list[Optional[dict[str, Any]]] = []
    for e in resultado.get("empresas") or []:
        e = e if isinstance(e, dict) else {}
        p = procedencia(str(e.get("cnpj") or ""), desde) if e.get("cnpj_encontrado") else None
        saida.append({"cnpj": e.get("cnpj"), **p} if p else None)
    return saida


def avisos_do_registro(resultado: Optional[dict[str, Any]]) -> list[str]:
    """The hint for a verification whose registry lookups could not reach the service."""
    if not isinstance(resultado, dict):
        return []
    try:
        from scrivane_contract.registro.consultas import DICA_SEM_ACESSO, sem_acesso
    except ImportError:
        return []
    sem_resposta = any(
        isinstance(c, dict) and c.get("campo") == "CNPJ" and c.get("status") == "pendente"
        for e in resultado.get("empresas") or [] if isinstance(e, dict) for c in e.get("campos") or [])
    return [DICA_SEM_ACESSO] if sem_resposta and sem_acesso() else []


# -- what a service shows ------------------------------------------------------------


def sem_caminhos(valor: Any, caminho: Path, nome: str) -> Any:
    """``valor`` (texto, ou listas e mapas deles) com o caminho do arquivo no servidor, e o da sua
    pasta privada, trocados pelo nome do arquivo como foi enviado: clientes nunca veem caminhos do servidor."""
    if isinstance(valor, str):
        if str(caminho.parent) not in valor and caminho.name not in valor:
            return valor
        return (valor.replace(str(caminho), nome).replace(str(caminho.parent), "")
                .replace(caminho.name, nome))
    if isinstance(valor, dict):
        return {k: sem_caminhos(v, caminho, nome) for k, v in valor.items()}
    if isinstance(valor, (list, tuple)):
        return [sem_caminhos(v, caminho, nome) for v in valor]
    return valor


def sem_caminhos_no_registro(registro: "Verificacao", caminho: Path, nome: str) -> "Verificacao":
    """O registro com ``sem_caminhos`` aplicado ao erro, ao resultado e às assinaturas."""
    registro.erro = sem_caminhos(registro.erro, caminho, nome)
    registro.resultado = sem_caminhos(registro.resultado, caminho, nome)
    registro.assinaturas_digitais = sem_caminhos(registro.assinaturas_digitais, caminho, nome)
    return registro


def espera_estimada(media: float, decorridos: list[float], na_fila: int, trabalhadores: int) -> int:
    """Segundos até haver lugar na fila (para ``Retry-After``).

    ``media``: duração média recente de uma verificação; ``decorridos``: há
    quanto tempo cada verificação em andamento começou; ``na_fila``: as que
    esperam.  Uma verificação que já dura mais que a média deve durar outro
    tanto: a primeira vaga vem da que deve terminar antes.
    """
    primeira = min((max(media - d, d) for d in decorridos), default=0.0) \
        if len(decorridos) >= trabalhadores else 0.0
    espera = primeira + media * (na_fila + 1) / trabalhadores
    return int(min(max(espera, 1.0), 3600.0) + 0.999)


def preparar_leitura(pasta: Optional[str], trabalhadores: int) -> None:
    """Apaga as pastas privadas deixadas por processos que já não existem e deixa ``trabalhadores``
    leitores do motor prontos (em segundo plano)."""
    try:
        from scrivane import isolation
    except ImportError:  # no engine: the checker gives its reduced record
        return
    isolation.sweep_stale_folders(pasta)
    if trabalhadores > 0 and isolation.isolation_enabled():
        threading.Thread(target=lambda: isolation.shared_pool().warm(trabalhadores), daemon=True,
                         name="leitor-aquecer").start()


# -- the registry in use -----------------------------------------------------------


def descrever_registro(valor: Optional[str] = None, data_extracao: Optional[str] = None,
                       descricao: Optional[str] = None) -> dict[str, Any]:
    """De onde vêm os dados da Receita Federal: ``{"fonte", "descricao", "data_extracao"}``.

    ``valor`` é o de ``--registro`` (None: os serviços públicos).
    """
    if not valor:
        return {"fonte": "publico", "descricao": descricao or "serviços públicos (BrasilAPI, ReceitaWS, Casa dos Dados)",
                "data_extracao": data_extracao}
    valor = valor.strip()
    if valor == "local" or valor.startswith("sqlite:"):
        return {"fonte": "local", "descricao": descricao or f"registro local {valor}", "data_extracao": data_extracao}
    return {"fonte": "servidor", "descricao": descricao or f"registro em {valor.rstrip('/')}",
            "data_extracao": data_extracao}


# -- one verification ------------------------------------------------------------------


class _Leitura:
    """Reads a contract's signatures on a thread of its own while the engine extracts
    (the engine mostly waits on the network), then cross-checks them with the result."""

    def __init__(self, caminho: Path, opcoes: dict[str, Any]) -> None:
        import concurrent.futures

        self.caminho = caminho
        self.opcoes = opcoes
        self._executor = concurrent.futures.ThreadPoolExecutor(1, thread_name_prefix="assinaturas")
        self._futuro = self._executor.submit(self._ler)
        self._executor.shutdown(wait=False)

    def _ler(self) -> list[Any]:
        if _sem_assinaturas(self.caminho, self.opcoes):
            return []
        from scrivane.signatures import ler_assinaturas

        return ler_assinaturas(self.caminho, **self.opcoes)

    def cruzar(self, resultado: Optional[dict[str, Any]]) -> dict[str, Any]:
        from scrivane_contract.assinaturas_digitais import verificar_assinaturas_digitais

        return verificar_assinaturas_digitais(self.caminho, resultado, lidas=self._futuro.result, **self.opcoes)

    def aguardar(self) -> None:
        """Waits for the reading to end (its outcome is left to ``cruzar``)."""
        import concurrent.futures

        concurrent.futures.wait([self._futuro])


def _sem_assinaturas(caminho: Path, opcoes: dict[str, Any]) -> bool:
    """Whether a look at the file's structure shows it has no digital signature, so that
    the validation stack (pyHanko, the ICP-Brasil roots) need not be loaded for it.

    Only with the default roots (other roots are read, and their errors reported,
    whatever the file) and with the validation stack installed (else the reading says
    it is missing)."""
    if opcoes.get("raizes") is not None:
        return False
    import importlib.util

    try:
        from scrivane.signature_scan import may_be_signed
    except ImportError:
        return False
    if any(importlib.util.find_spec(m) is None for m in ("pyhanko", "pyhanko_certvalidator", "certifi_icpbr")):
        return False
    try:
        dados = caminho.read_bytes()
    except OSError:
        return False  # the reading reports it
    return not may_be_signed(dados)


def _assinaturas_nao_conferidas(motivo: str) -> dict[str, Any]:
    return {"total": 0, "validas": False, "invalidas": 0, "resumo": f"assinaturas digitais não verificadas: {motivo}",
            "alertas": [], "avisos": [], "assinaturas": [], "erro": motivo}


def formato_sem_assinaturas(caminho: Path) -> Optional[str]:
    """"DOCX", "JPEG", "PNG", "TIFF" ou "HEIC" para um arquivo que não pode ter assinatura digital
    (só um PDF as tem); None para um PDF, ou um arquivo que não pôde ser lido."""
    try:
        with open(caminho, "rb") as f:
            inicio = f.read(1024)
    except OSError:
        return None
    if b"%PDF-" in inicio:
        return None
    try:
        from scrivane.formats import nome_do_formato
    except Exception:  # noqa: BLE001 - no engine: the checker says so; the signatures are read as always
        return None
    return nome_do_formato(inicio[:16])


def assinaturas_so_em_pdf(formato: str) -> dict[str, Any]:
    """O achado das assinaturas digitais de um contrato que não é PDF: não há o que conferir."""
    return {"total": 0, "validas": False, "invalidas": 0, "formato": formato,
            "resumo": f"Sem assinaturas digitais: só um PDF as tem, e este arquivo é {formato}.",
            "alertas": [], "avisos": [], "assinaturas": [], "erro": None}


# Pages read by OCR so far in each verification under way, by its id (the page's progress).
_PROGRESSO_OCR: dict[str, tuple[int, int]] = {}
_TRAVA_PROGRESSO = threading.Lock()


def progresso_ocr(ident: str) -> Optional[dict[str, int]]:
    """{"paginas_lidas": n, "paginas": total} do OCR da verificação ``ident`` em andamento, ou None."""
    with _TRAVA_PROGRESSO:
        par = _PROGRESSO_OCR.get(ident)
    return None if par is None else {"paginas_lidas": par[0], "paginas": par[1]}


def verificar_arquivo(
    caminho: str | Path,
    verificar: Callable[[Any], Optional[dict[str, Any]]],
    *,
    nome: Optional[str] = None,
    assinaturas: Optional[dict[str, Any]] = None,
    exigir_assinaturas: bool = False,
    ignorar_assinaturas: bool = False,
    provedor: Optional[str] = None,
    modelo: Optional[str] = None,
    registro: Optional[dict[str, Any]] = None,
    motivo: Callable[[BaseException], str] = motivo_da_falha,
    ident: Optional[str] = None,
) -> Verificacao:
    """Verifica um arquivo de contrato e devolve o registro da verificação.

    ``verificar(caminho)`` devolve o ``ResultadoVerificacao`` (um dict);
    ``nome`` é o nome mostrado (padrão: o caminho); ``assinaturas`` são as
    opções de ``verificar_assinaturas_digitais`` (None: não conferidas); um
    problema nas assinaturas vira achado, nunca falha.  Uma exceção de
    ``verificar`` vira ``erro`` (texto de ``motivo``).  Nunca lança
    ``Exception``.
    """
    dado = caminho  # handed to ``verificar`` as it came
    caminho = Path(caminho)
    inicio = time.perf_counter()
    consultas_desde = time.monotonic()  # registry answers from before this verification are not its own
    v = Verificacao(arquivo=nome if nome is not None else str(caminho), provedor=provedor, modelo=modelo,
                    registro=registro, id=ident)
    leitura: Optional[_Leitura] = None
    try:
        try:
            v.sha256 = sha256_arquivo(caminho)
        except IsADirectoryError:
            raise
        except OSError:
            if caminho.is_file():
                raise
            # Not a plain file: the checker reports it in its own words.
        sem_assinaturas = formato_sem_assinaturas(caminho) if assinaturas is not None else None
        if assinaturas is not None and caminho.is_file() and sem_assinaturas is None:
            leitura = _Leitura(caminho, assinaturas)
        with _leitura_guardada() as lido:
            v.resultado = _com_progresso_ocr(ident, verificar, dado)
        if sem_assinaturas is not None:
            v.assinaturas_digitais = assinaturas_so_em_pdf(sem_assinaturas)
        if leitura is not None:
            try:
                v.assinaturas_digitais = leitura.cruzar(v.resultado if isinstance(v.resultado, dict) else None)
            except Exception as exc:  # noqa: BLE001 - the verification stands; the signatures become a finding
                v.assinaturas_digitais = _assinaturas_nao_conferidas(traduzir_pdfium(motivo(exc), v.nome))
        if v.resultado is None:
            v.erro = "Verificação sem resultado"
        else:
            v.aviso = _aviso(caminho, v.resultado, lido)
    except Exception as exc:  # reported in the record; the caller goes on
        v.resultado, v.assinaturas_digitais = None, None
        v.erro = traduzir_pdfium(motivo(exc), v.nome)
        if leitura is not None:
            leitura.aguardar()  # the file may go away only once nobody reads it
    if v.resultado is not None:
        v.motivo_veredito = motivo_da_reprovacao(v.assinaturas_digitais, exigir_assinaturas=exigir_assinaturas,
                                                 ignorar_assinaturas=ignorar_assinaturas)
    v.veredito = calcular_veredito(v.resultado, v.assinaturas_digitais, exigir_assinaturas=exigir_assinaturas,
                                   ignorar_assinaturas=ignorar_assinaturas)
    v.procedencia = procedencia_das_empresas(v.resultado, desde=consultas_desde)
    v.avisos = avisos_do_registro(v.resultado)
    v.segundos = time.perf_counter() - inicio
    v.verificado_em = agora_iso()
    return v


def _com_progresso_ocr(ident: Optional[str], verificar: Callable[[Any], Any], dado: Any) -> Any:
    """``verificar(dado)``, noting the pages read by OCR under ``ident`` (and telling whoever
    listened before, such as the command line's progress bar)."""
    try:
        from scrivane.document import _progress_listener, ocr_progress
    except Exception:  # noqa: BLE001 - an engine that cannot load fails in the checker, in its words
        ident = None
    if ident is None:
        return verificar(dado)

    antes = _progress_listener()

    def ouvir(feitas: int, total: int) -> None:
        with _TRAVA_PROGRESSO:
            _PROGRESSO_OCR[ident] = (feitas, total)
        if antes is not None:
            antes(feitas, total)

    try:
        with ocr_progress(ouvir):
            return verificar(dado)
    finally:
        with _TRAVA_PROGRESSO:
            _PROGRESSO_OCR.pop(ident, None)


def _leitura_guardada() -> Any:
    """The engine's ``reading_kept`` (the note below need not read the file again), or a context
    that keeps nothing when the engine cannot load (the checker says why)."""
    import contextlib

    try:
        from scrivane.engine import reading_kept
    except Exception:  # noqa: BLE001 - an engine that cannot load fails in the checker, in its words
        return contextlib.nullcontext()
    return reading_kept()


def _aviso(caminho: Path, resultado: Any, lido: Any = None) -> Optional[str]:
    from scrivane_contract.classificacao import aviso_documento

    try:
        return aviso_documento(caminho, resultado, lido)
    except Exception:  # noqa: BLE001 - a note, never a failed verification
        return None


class Verificador:
    """Verifica arquivos com as opções de um comando; um ``ContractChecker`` por thread.

    ``kwargs_checker``: argumentos de ``ContractChecker``; ``assinaturas``: opções
    de ``verificar_assinaturas_digitais`` (None: não conferidas);
    ``registro``: a descrição de ``descrever_registro``.
    """

    def __init__(self, kwargs_checker: dict[str, Any], *, assinaturas: Optional[dict[str, Any]] = None,
                 exigir_assinaturas: bool = False, ignorar_assinaturas: bool = False,
                 registro: Optional[dict[str, Any]] = None,
                 criar_checker: Optional[Callable[[], Any]] = None) -> None:
        self.kwargs_checker = dict(kwargs_checker)
        self.assinaturas = None if assinaturas is None else dict(assinaturas)
        self.exigir_assinaturas = exigir_assinaturas
        self.ignorar_assinaturas = ignorar_assinaturas
        self.registro = registro
        self._criar_checker = criar_checker
        self._local = threading.local()

    def checker(self) -> Any:
        """O checker desta thread (criado no primeiro uso)."""
        c = getattr(self._local, "checker", None)
        if c is None:
            if self._criar_checker is not None:
                c = self._criar_checker()
            else:
                from scrivane_contract.checker import ContractChecker

                c = ContractChecker(**self.kwargs_checker)
            self._local.checker = c
        return c

    def verificar(self, caminho: str | Path, *, nome: Optional[str] = None, ident: Optional[str] = None,
                  motivo: Callable[[BaseException], str] = motivo_da_falha) -> Verificacao:
        """Verifica um arquivo (nunca lança ``Exception``: a falha fica em ``erro``)."""
        provedor = self.kwargs_checker.get("provider")
        modelo = self.kwargs_checker.get("model")
        try:
            c = self.checker()
        except Exception as exc:  # noqa: BLE001 - a checker that cannot be built fails this verification
            erro = motivo(exc)

            def verificar(_caminho: Any) -> dict[str, Any]:
                raise _Falha(erro)

            return verificar_arquivo(caminho, verificar, nome=nome, provedor=provedor, modelo=modelo,
                                     registro=self.registro, ident=ident, motivo=_motivo_pronto(motivo))
        provedor = _atributo(c, "provider", provedor)
        modelo = None if provedor == "local" else _atributo(c, "model", modelo)  # rules, no model
        return verificar_arquivo(caminho, c.verificar, nome=nome, assinaturas=self.assinaturas,
                                 exigir_assinaturas=self.exigir_assinaturas,
                                 ignorar_assinaturas=self.ignorar_assinaturas, provedor=provedor, modelo=modelo,
                                 registro=self.registro, motivo=motivo, ident=ident)


class _Falha(Exception):
    """A failure whose message is already the reason to show."""


def _motivo_pronto(motivo: Callable[[BaseException], str]) -> Callable[[BaseException], str]:
    return lambda exc: str(exc) if isinstance(exc, _Falha) else motivo(exc)


def _atributo(objeto: Any, nome: str, padrao: Any) -> Any:
    try:
        valor = getattr(objeto, nome)
    except Exception:  # noqa: BLE001
        return padrao
    return valor if isinstance(valor, str) and valor else padrao
