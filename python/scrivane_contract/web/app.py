"""The FastAPI application: the upload page, the verification API and the registry lookup."""

from __future__ import annotations

import asyncio
import hmac
import json
import os
import re
from contextlib import asynccontextmanager
from functools import lru_cache
from typing import Any, Callable, Iterable, Literal, Optional
from urllib.parse import urlsplit

from fastapi import Depends, FastAPI, HTTPException, Request
from fastapi.concurrency import run_in_threadpool
from fastapi.responses import HTMLResponse, JSONResponse, Response
from fastapi.security import HTTPAuthorizationCredentials, HTTPBearer
from fastapi.staticfiles import StaticFiles
from starlette.requests import ClientDisconnect
from fastapi_offline import FastAPIOffline
from pydantic import BaseModel, Field

from .envio import CAMPO_ARQUIVO, ErroEnvio, receber_pdf
from .fila import CONCLUIDA, FilaCheia, FilaVerificacoes
from .paginas import ESCALA_PADRAO, PaginaInexistente, renderizar_pagina
from .relatorio import RAIZ, fragmento_relatorio, pagina_relatorio

__all__ = ["criar_app", "TAMANHO_MAXIMO_PADRAO", "ENV_TOKEN", "HOSTS_LOCAIS", "TEMPO_ENVIO_PADRAO",
           "ENVIOS_POR_CLIENTE_PADRAO", "nome_do_host"]

ENV_TOKEN = "SCRIVANE_API_TOKEN"
TAMANHO_MAXIMO_PADRAO = 20 * 1024 * 1024
# Names under which a service on this machine is always reached.
HOSTS_LOCAIS = ("127.0.0.1", "localhost", "::1")
# Seconds an upload's body may take to arrive, and uploads one client address may send at once.
TEMPO_ENVIO_PADRAO = 120.0
ENVIOS_POR_CLIENTE_PADRAO = 8

# A host name, an IPv4 address or an IPv6 one (brackets already taken off).
_NOME_HOST = re.compile(r"[a-z0-9](?:[a-z0-9._-]*[a-z0-9])?|[0-9a-f:.]+")

# The report page: its own inline style and nothing else.
_CSP_RELATORIO = ("default-src 'none'; style-src 'unsafe-inline'; img-src data:; base-uri 'none'; "
                  "form-action 'none'; frame-ancestors 'self'")

# The page loads only its own files.
_CSP = ("default-src 'self'; img-src 'self' data: blob:; object-src 'none'; base-uri 'none'; "
        "form-action 'self'; frame-ancestors 'none'")

_DESCRICAO = """Verificação de contratos brasileiros: as empresas do contrato são conferidas
na Receita Federal e os signatários no quadro de sócios e administradores (QSA).

Fluxo: envie o contrato (PDF, DOCX ou imagem) em `POST /api/verificacoes` (resposta 202 com o `id`), consulte
`GET /api/verificacoes/{id}` até o estado ser `concluida` ou `falhou`.
Com a variável `SCRIVANE_API_TOKEN` definida no servidor, toda chamada da API exige
`Authorization: Bearer <token>`."""


class VerificacaoCriada(BaseModel):
    id: str = Field(description="Identificador da verificação")
    estado: Literal["na_fila", "em_andamento", "concluida", "falhou"]
    url: str = Field(description="Endereço para consultar o andamento")


class EstadoVerificacao(BaseModel):
    id: str
    estado: Literal["na_fila", "em_andamento", "concluida", "falhou"] = Field(
        description="na_fila, em_andamento, concluida ou falhou")
    arquivo: str = Field(description="Nome do arquivo enviado")
    criada_em: Optional[str] = None
    iniciada_em: Optional[str] = None
    concluida_em: Optional[str] = None
    posicao_fila: Optional[int] = Field(None, description="Posição na fila (1 = a próxima), quando na_fila")
    verificado_antes: Optional[list[dict[str, Any]]] = Field(
        None, description="Verificações anteriores do mesmo arquivo (mesmo SHA-256), com o histórico: "
                          "id, verificado_em, veredito")
    resultado: Optional[dict[str, Any]] = Field(
        None, description="O ResultadoVerificacao, quando concluida")
    assinaturas_digitais: Optional[dict[str, Any]] = Field(
        None, description="As assinaturas digitais do PDF, conferidas e cruzadas com o resultado, quando "
                          "concluida: total, validas, invalidas, resumo, alertas, avisos, assinaturas e erro")
    erro: Optional[str] = Field(None, description="Motivo da falha, quando falhou")
    ocr: Optional[dict[str, int]] = Field(
        None, description="Andamento do OCR de um contrato digitalizado ou foto, em_andamento: "
                          "paginas_lidas e paginas")
    sha256: Optional[str] = Field(None, description="SHA-256 do arquivo verificado")
    verificado_em: Optional[str] = Field(None, description="Quando a verificação terminou (ISO 8601, UTC)")
    provedor: Optional[str] = Field(None, description="Provedor do motor de extração")
    modelo: Optional[str] = Field(None, description="Modelo do motor de extração")
    registro: Optional[dict[str, Any]] = Field(
        None, description="De onde vieram os dados da Receita Federal: fonte, descricao, data_extracao")
    veredito: Optional[str] = Field(None, description="O veredito final: APROVADO, REPROVADO ou PENDENTE "
                                                      "(REPROVADO quando há assinatura digital inválida)")
    motivo_veredito: Optional[str] = Field(
        None, description="Por que as assinaturas digitais mudaram o veredito da biblioteca, quando mudaram")
    aviso: Optional[str] = Field(None, description='"o documento não parece um contrato", quando o documento, '
                                                   "pelo que ele é (título, cláusulas, partes), não é um contrato")
    segundos: Optional[float] = Field(None, description="Duração da verificação, em segundos")


class Erro(BaseModel):
    detail: str


# Methods that change the service's state.
_MUDAM_ESTADO = frozenset({"POST", "PUT", "PATCH", "DELETE"})


def nome_do_host(valor: Optional[str]) -> Optional[str]:
    """The name in a Host header or a URL's authority ("Exemplo.com:8000" -> "exemplo.com",
    "[::1]:8000" -> "::1"); None when there is none or it is malformed."""
    if not valor:
        return None
    try:
        partes = urlsplit("//" + valor.strip())
        partes.port  # noqa: B018 - raises on a malformed port
    except ValueError:
        return None
    if partes.username is not None or partes.password is not None or partes.path or partes.query:
        return None
    nome = partes.hostname or ""
    return nome if _NOME_HOST.fullmatch(nome) else None


def mesma_origem(cabecalhos: Any, hosts: Optional[frozenset[str]] = None) -> bool:
    """Whether a request comes from the service's own page, or from no browser page at all.

    Browsers say where a request comes from (``Sec-Fetch-Site``, ``Origin``);
    programs that call the API send neither and are let through.  With
    ``hosts``, the page's origin must also be one of the service's names.
    """
    site = (cabecalhos.get("sec-fetch-site") or "").strip().lower()
    if site and site not in ("same-origin", "none"):
        return False
    origem = cabecalhos.get("origin")
    if origem is None:
        return True
    partes = urlsplit(origem.strip())
    if not partes.scheme or not partes.netloc:
        return False  # "null": a sandboxed frame, a file, a redirect across sites
    if hosts is not None and nome_do_host(partes.netloc) not in hosts:
        return False
    return partes.netloc.lower() == (cabecalhos.get("host") or "").strip().lower()


def _erros(*codigos: int) -> dict[int | str, dict[str, Any]]:
    return {c: {"model": Erro} for c in codigos}


@lru_cache(maxsize=1)
def _modelo_historico() -> str:
    return (RAIZ / "static" / "historico.html").read_text(encoding="utf-8")


@lru_cache(maxsize=1)
def _modelo_pagina() -> str:
    return (RAIZ / "static" / "index.html").read_text(encoding="utf-8")


def criar_app(
    criar_verificador: Callable[[], Callable[[str], dict]],
    *,
    trabalhadores: int = 4,
    limite_fila: int = 100,
    retencao_minutos: float = 60.0,
    tamanho_maximo: int = TAMANHO_MAXIMO_PADRAO,
    token: Any = ...,
    conferir_assinaturas: bool = True,
    raizes: Optional[str | os.PathLike[str]] = None,
    verificar_revogacao: bool = False,
    informacoes: Optional[dict[str, Any]] = None,
    historico: Any = None,
    com_trabalhadores: bool = True,
    ignorar_assinaturas: bool = False,
    hosts: Optional[Iterable[str]] = None,
    tempo_envio: float = TEMPO_ENVIO_PADRAO,
    envios_por_cliente: int = ENVIOS_POR_CLIENTE_PADRAO,
) -> FastAPI:
    """Cria a aplicação web (página, API e documentação em ``/docs``).

    ``criar_verificador`` é chamado uma vez em cada trabalhador e devolve a
    função que verifica um contrato (caminho -> ``ResultadoVerificacao``),
    em geral ``ContractChecker(..., verbose=False).verificar``.
    ``token``: exigido como ``Authorization: Bearer`` em toda chamada da API;
    por omissão vem de ``SCRIVANE_API_TOKEN`` (vazio: sem autenticação).
    ``conferir_assinaturas``: confere as assinaturas digitais de cada PDF
    (chave ``assinaturas_digitais`` ao lado de ``resultado``), com ``raizes``
    (arquivo ou pasta de raízes confiáveis; padrão: ICP-Brasil) e
    ``verificar_revogacao`` (LCR/OCSP, requer rede), como no ``verificar``.
    ``informacoes``: ``provedor``, ``modelo`` e ``registro`` (a descrição do
    registro consultado), gravados no registro de cada verificação.
    ``historico``: um ``Historico``; com ele, os envios (até o fim de cada
    verificação) e os resultados ficam no banco (um reinício não perde nada) e
    a página "Histórico" lista as verificações guardadas.  Com o histórico em
    PostgreSQL, as verificações vão para uma fila compartilhada (procrastinate)
    que processos em várias máquinas atendem.  ``com_trabalhadores`` falso
    (só com PostgreSQL): este processo só recebe e responde; o comando
    ``trabalhador`` verifica.
    ``ignorar_assinaturas``: uma assinatura digital inválida não reprova o
    contrato (o veredito fica o da biblioteca).
    ``hosts``: os nomes pelos quais o serviço é acessado (cabeçalho Host);
    outro nome recebe 421 e um Host ausente ou malformado 400, antes de
    qualquer outra coisa (contra DNS rebinding).  None: qualquer nome.
    ``tempo_envio``: segundos para o corpo de um envio chegar (depois, 408);
    ``envios_por_cliente``: envios simultâneos de um mesmo endereço (acima
    disso, 429; 0: sem limite).
    """
    if token is ...:
        token = os.environ.get(ENV_TOKEN) or None
    if tamanho_maximo < 1:
        raise ValueError("tamanho_maximo deve ser positivo")
    opcoes_assinaturas = ({"raizes": raizes, "verificar_revogacao": bool(verificar_revogacao)}
                          if conferir_assinaturas else None)
    fila: Any
    if historico is not None and not historico.sqlite:
        # Several machines: the jobs go to procrastinate's queue in the history's PostgreSQL.
        from scrivane_contract.historico.tarefas import FilaProcrastinate

        fila = FilaProcrastinate(historico, criar_verificador, trabalhadores=trabalhadores, limite_fila=limite_fila,
                                 retencao=retencao_minutos * 60.0, assinaturas=opcoes_assinaturas,
                                 informacoes=informacoes, com_trabalhadores=com_trabalhadores,
                                 ignorar_assinaturas=ignorar_assinaturas)
    else:
        if not com_trabalhadores:
            raise ValueError("sem trabalhadores neste processo, a fila precisa do histórico em PostgreSQL")
        fila = FilaVerificacoes(criar_verificador, trabalhadores=trabalhadores, limite_fila=limite_fila,
                                retencao=retencao_minutos * 60.0, assinaturas=opcoes_assinaturas,
                                informacoes=informacoes, ignorar_assinaturas=ignorar_assinaturas,
                                historico=historico)

    @asynccontextmanager
    async def ciclo(app: FastAPI):
        # Old results are dropped at every API call, and by this task when no call comes.
        async def limpar() -> None:
            while True:
                await asyncio.sleep(min(60.0, fila.retencao))
                await run_in_threadpool(fila.esquecer_antigas)

        tarefa = asyncio.create_task(limpar())
        try:
            yield
        finally:
            tarefa.cancel()
            await run_in_threadpool(fila.fechar)

    from scrivane_contract import __version__

    # The API documentation at /docs comes with its own copy of Swagger UI: no CDN, works offline.
    app = FastAPIOffline(redoc_url=None, title="scrivane-contract", version=__version__, description=_DESCRICAO,
                         lifespan=ciclo)
    app.state.fila = fila
    app.state.historico = historico
    app.state.tamanho_maximo = tamanho_maximo

    nomes = None if hosts is None else frozenset(
        n for n in (nome_do_host(f"[{h}]" if ":" in h and not h.startswith("[") else h) for h in hosts) if n)

    @app.middleware("http")
    async def cabecalhos_seguranca(request: Request, call_next):
        # A page on another domain that resolves to this machine (DNS rebinding) sends its own
        # name as Host: only the service's own names are served, before anything else.
        if nomes is not None:
            nome = nome_do_host(request.headers.get("host"))
            if nome is None:
                return JSONResponse({"detail": "Cabeçalho Host ausente ou malformado."}, status_code=400,
                                    headers={"Connection": "close"})
            if nome not in nomes:
                return JSONResponse({"detail": "Este serviço não atende por este nome (cabeçalho Host). Use o "
                                               "endereço com que ele foi iniciado, ou acrescente o nome com "
                                               "--nome-servidor."}, status_code=421, headers={"Connection": "close"})
        # Without a token, a page of another site could make a visitor's browser
        # send jobs here: only the service's own page may change anything.
        if token_bytes is None and request.method in _MUDAM_ESTADO and not mesma_origem(request.headers, nomes):
            return JSONResponse({"detail": "Pedido de outra origem recusado. Para aceitar chamadas de outros "
                                           f"sites, defina {ENV_TOKEN} e envie o token."}, status_code=403)
        resposta = await call_next(request)
        resposta.headers.setdefault("X-Content-Type-Options", "nosniff")
        resposta.headers.setdefault("Referrer-Policy", "no-referrer")
        return resposta

    # Uploads being received, by client address.
    envios_em_curso: dict[str, int] = {}
    app.state.envios_em_curso = envios_em_curso
    portador = HTTPBearer(auto_error=False, description="Token definido em SCRIVANE_API_TOKEN")
    token_bytes = token.encode() if token else None

    def exigir_token(cred: Optional[HTTPAuthorizationCredentials] = Depends(portador)) -> None:
        if token_bytes is None:
            return
        dado = cred.credentials.encode() if cred is not None else b""
        if not hmac.compare_digest(dado, token_bytes):
            raise HTTPException(401, "Token de acesso ausente ou inválido.",
                                headers={"WWW-Authenticate": "Bearer"})

    protegido = [Depends(exigir_token)]

    # -- page ------------------------------------------------------------------

    @app.get("/", response_class=HTMLResponse, include_in_schema=False)
    def pagina() -> HTMLResponse:
        html = (_modelo_pagina()
                .replace("{{TAMANHO_MAXIMO}}", str(tamanho_maximo))
                .replace("{{REQUER_TOKEN}}", "1" if token_bytes else "0"))
        return HTMLResponse(html, headers={"Content-Security-Policy": _CSP, "Cache-Control": "no-cache"})

    app.mount("/static", StaticFiles(directory=str(RAIZ / "static")), name="static")

    @app.get("/saude", tags=["serviço"], summary="Verificação de vida do serviço")
    def saude() -> dict[str, Any]:
        return {"status": "ok", "versao": __version__, "fila": fila.estatisticas()}

    # -- verifications -----------------------------------------------------------

    @app.post(
        "/api/verificacoes", status_code=202, response_model=VerificacaoCriada, dependencies=protegido,
        tags=["verificações"], summary="Envia um contrato (PDF, DOCX ou imagem) para verificação",
        responses=_erros(400, 401, 408, 413, 415, 429, 503),
        openapi_extra={"requestBody": {"required": True, "content": {"multipart/form-data": {"schema": {
            "type": "object", "required": [CAMPO_ARQUIVO],
            "properties": {CAMPO_ARQUIVO: {"type": "string", "format": "binary",
                                           "description": "O contrato: PDF, DOCX ou imagem "
                                                          "(JPEG, PNG, TIFF, HEIC)"}}}}}}},
    )
    async def criar_verificacao(request: Request) -> JSONResponse:
        """Recebe um contrato (multipart, campo ``arquivo``) e o põe na fila.

        Responde 202 com o ``id``; 408 quando o corpo não chega a tempo; 413
        acima do tamanho máximo; 415 quando o conteúdo não é PDF, DOCX nem imagem
        JPEG, PNG, TIFF ou HEIC; 429 com envios simultâneos demais do mesmo
        endereço; 503 com ``Retry-After`` quando a fila está cheia.
        """
        def cheia(exc: FilaCheia) -> JSONResponse:
            return JSONResponse({"detail": "Fila de verificações cheia. Tente novamente em instantes."},
                                status_code=503, headers={"Retry-After": str(exc.retry_after)})

        # A full queue is said at once, without reading the body (and without holding a place).
        try:
            # The queue may be a database: its calls stay off the event loop.  The place is only
            # probed here, not held, so that concurrent probes never crowd it.
            await run_in_threadpool(fila.sondar)
        except FilaCheia as exc:
            return cheia(exc)
        cliente = request.client.host if request.client else ""
        if envios_por_cliente and envios_em_curso.get(cliente, 0) >= envios_por_cliente:
            return JSONResponse({"detail": "Envios simultâneos demais deste endereço. Aguarde o fim dos "
                                           "anteriores."}, status_code=429,
                                headers={"Retry-After": "5", "Connection": "close"})
        envios_em_curso[cliente] = envios_em_curso.get(cliente, 0) + 1
        ident, caminho = fila.novo_arquivo()
        try:
            # The body is read before a place in the queue is taken: a slow client holds only itself.
            async with asyncio.timeout(tempo_envio):
                nome = await receber_pdf(request.stream(), request.headers.get("content-type", ""),
                                         request.headers.get("content-length"), caminho, tamanho_maximo)
        except TimeoutError:
            caminho.unlink(missing_ok=True)
            return JSONResponse({"detail": f"O arquivo não chegou em {tempo_envio:g} segundos."}, status_code=408,
                                headers={"Connection": "close"})
        except ErroEnvio as erro:
            return JSONResponse({"detail": erro.mensagem}, status_code=erro.status,
                                headers={"Connection": "close"} if erro.status == 413 else None)
        except ClientDisconnect:  # the client went away mid-upload: nothing to answer, nothing kept
            return JSONResponse({"detail": "Envio interrompido."}, status_code=400)
        except BaseException:
            caminho.unlink(missing_ok=True)
            raise
        finally:
            envios_em_curso[cliente] -= 1
            if not envios_em_curso[cliente]:
                del envios_em_curso[cliente]
        try:
            await run_in_threadpool(fila.reservar)
        except FilaCheia as exc:
            caminho.unlink(missing_ok=True)
            return cheia(exc)
        item = await run_in_threadpool(fila.enviar, ident, caminho, nome)
        url = f"/api/verificacoes/{item.id}"
        return JSONResponse({"id": item.id, "estado": item.estado, "url": url}, status_code=202,
                            headers={"Location": url})

    def _obter(ident: str) -> dict[str, Any]:
        item = fila.obter(ident)
        if item is None:
            raise HTTPException(404, "Verificação não encontrada (ou já esquecida).")
        return item

    @app.get("/api/verificacoes/{ident}", response_model=EstadoVerificacao, dependencies=protegido,
             tags=["verificações"], summary="Estado e resultado de uma verificação",
             responses=_erros(401, 404))
    def obter_verificacao(ident: str) -> JSONResponse:
        """Estado (``na_fila``, ``em_andamento``, ``concluida``, ``falhou``) e, quando
        concluída, o ``ResultadoVerificacao``.  Resultados ficam em memória pelo
        tempo de retenção e depois são esquecidos (404)."""
        estado = _obter(ident)
        if estado.get("estado") == "em_andamento":
            from scrivane_contract.verificacao import progresso_ocr

            if (ocr := progresso_ocr(ident)) is not None:
                estado = {**estado, "ocr": ocr}
        return JSONResponse(estado)

    @app.get("/api/verificacoes/{ident}/relatorio", response_class=HTMLResponse, dependencies=protegido,
             tags=["verificações"], summary="Relatório em HTML, autossuficiente",
             responses=_erros(401, 404, 409))
    def obter_relatorio(ident: str, fragmento: bool = False) -> HTMLResponse:
        """A página de relatório de uma verificação concluída (um arquivo HTML sem
        dependências externas, pronto para salvar, enviar ou imprimir); com
        ``fragmento=true``, só o relatório, para inserir em outra página."""
        item = _obter(ident)
        if item["estado"] != CONCLUIDA:
            raise HTTPException(409, "A verificação ainda não foi concluída.")
        gerar = fragmento_relatorio if fragmento else pagina_relatorio
        extras = {"aviso": item.get("aviso"), "duracao": item.get("segundos")}
        return HTMLResponse(gerar(item["resultado"], item["arquivo"],
                                  assinaturas_digitais=item["assinaturas_digitais"],
                                  veredito=(item.get("veredito"), item.get("motivo_veredito")),
                                  procedencia=item.get("procedencia"), avisos=item.get("avisos"), **extras),
                            headers={"Content-Security-Policy": _CSP_RELATORIO})

    @app.post(
        "/api/paginas", response_class=Response, dependencies=protegido, tags=["verificações"],
        summary="Uma página do contrato como imagem (PNG)", responses=_erros(400, 401, 404, 413, 415, 422),
        openapi_extra={"requestBody": {"required": True, "content": {"multipart/form-data": {"schema": {
            "type": "object", "required": [CAMPO_ARQUIVO],
            "properties": {CAMPO_ARQUIVO: {"type": "string", "format": "binary",
                                           "description": "O contrato em PDF"}}}}}}},
    )
    async def desenhar_pagina(request: Request, pagina: int = 1, escala: float = ESCALA_PADRAO) -> Response:
        """Desenha a página ``pagina`` (a partir de 1) do PDF enviado (multipart, campo ``arquivo``) em
        resolução de tela e devolve o PNG, com o tamanho da página em pontos nos cabeçalhos
        ``X-Largura-Pontos`` e ``X-Altura-Pontos`` (as caixas das evidências estão em pontos, com a
        origem no canto superior esquerdo).  O arquivo não é guardado."""
        _, caminho = fila.novo_arquivo()
        try:
            try:
                await receber_pdf(request.stream(), request.headers.get("content-type", ""),
                                  request.headers.get("content-length"), caminho, tamanho_maximo)
            except ErroEnvio as erro:
                return JSONResponse({"detail": erro.mensagem}, status_code=erro.status)
            with open(caminho, "rb") as f:  # uploads also take Word files and photos, which have no PDF page
                if b"%PDF-" not in f.read(1024):
                    return JSONResponse({"detail": "O arquivo não é um PDF: só as páginas de um PDF são desenhadas."},
                                        status_code=415)
            try:
                png, largura, altura = await run_in_threadpool(renderizar_pagina, caminho, pagina, escala)
            except PaginaInexistente as erro:
                raise HTTPException(404, f"Página inexistente: {erro}.") from None
            except Exception:  # noqa: BLE001 - pdfium refuses the file: a client error, not ours
                raise HTTPException(422, "Não foi possível desenhar a página deste PDF.") from None
        finally:
            caminho.unlink(missing_ok=True)
        return Response(png, media_type="image/png", headers={
            "X-Largura-Pontos": f"{largura:.2f}", "X-Altura-Pontos": f"{altura:.2f}", "Cache-Control": "no-store"})

    # -- history ---------------------------------------------------------------------

    @app.get("/historico", response_class=HTMLResponse, include_in_schema=False)
    def pagina_historico() -> HTMLResponse:
        html = _modelo_historico().replace("{{REQUER_TOKEN}}", "1" if token_bytes else "0")
        return HTMLResponse(html, headers={"Content-Security-Policy": _CSP, "Cache-Control": "no-cache"})

    def _historico() -> Any:
        if historico is None:
            raise HTTPException(404, "Histórico desativado neste serviço.")
        return historico

    @app.get("/api/historico", dependencies=protegido, tags=["histórico"],
             summary="Verificações guardadas, mais recentes primeiro", responses=_erros(401, 404, 422))
    def listar_historico(cnpj: Optional[str] = None, nome: Optional[str] = None, resultado: Optional[str] = None,
                         desde: Optional[str] = None, limite: int = 100) -> JSONResponse:
        """Filtros: ``cnpj`` (uma das empresas), ``nome`` (trecho do nome de uma empresa, de um
        signatário ou do arquivo), ``resultado`` (APROVADO, REPROVADO, PENDENTE ou FALHA),
        ``desde`` (AAAA-MM-DD); ``limite`` (padrão 100, máximo 1000)."""
        from scrivane_contract.historico.banco import normalizar_data

        h = _historico()
        try:
            desde_n = normalizar_data(desde) if desde else None
        except ValueError:
            raise HTTPException(422, "Data inválida: use AAAA-MM-DD.") from None
        linhas = h.listar(cnpj=cnpj or None, nome=nome or None, resultado=resultado or None, desde=desde_n,
                          limite=max(1, min(limite, 1000)))
        return JSONResponse([l.como_json() for l in linhas])

    @app.get("/api/monitoramento", dependencies=protegido, tags=["histórico"],
             summary="Mudanças no cadastro das empresas já verificadas", responses=_erros(401, 404))
    def alertas_monitoramento() -> JSONResponse:
        """Os alertas do último ``monitorar`` (ou ``registro importar``): empresas cuja situação,
        razão social, endereço ou quadro de sócios mudou desde a verificação."""
        from scrivane_contract.historico.monitor import alertas_guardados

        return JSONResponse(alertas_guardados(_historico()))

    # -- registry ------------------------------------------------------------------

    @app.get("/api/cnpj/{numero:path}", dependencies=protegido, tags=["Receita Federal"],
             summary="Cadastro de uma empresa na Receita Federal", responses=_erros(401, 404, 422, 503))
    async def obter_cnpj(numero: str) -> JSONResponse:
        """O registro ``DadosReceita`` da empresa.  404: CNPJ não encontrado;
        503: Receita Federal indisponível; 422: número malformado (não tem 14 dígitos)."""
        registro, estado = await run_in_threadpool(_consultar_cnpj, numero)
        if estado == "invalido":
            raise HTTPException(422, "CNPJ malformado: informe os 14 dígitos.")
        if estado == "indisponivel":
            from scrivane_contract import cnpj

            # A local registry that lacks the company says so (never "not found").
            motivo = getattr(cnpj.requests, "motivo_indisponivel", None)
            detalhe = f"{motivo}." if isinstance(motivo, str) and motivo else \
                "Receita Federal indisponível. Tente novamente mais tarde."
            return JSONResponse({"detail": detalhe}, status_code=503, headers={"Retry-After": "30"})
        if registro is None:
            raise HTTPException(404, "CNPJ não encontrado na Receita Federal.")
        return JSONResponse(json.loads(json.dumps(registro, default=str)))

    return app


def _consultar_cnpj(numero: str) -> tuple[Optional[dict], str]:
    """Registry lookup with its outcome: encontrado, nao_encontrado, indisponivel, invalido."""
    from scrivane_contract import cnpj

    # Read at each call, like every name of the cnpj module.
    return cnpj.consultar_cnpj_detalhado(numero)
