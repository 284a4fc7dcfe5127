// Upload page: sends one contract (PDF, DOCX or image), follows the verification, shows the report.
"use strict";
(function () {
  const $ = (id) => document.getElementById(id);
  const corpo = document.body;
  const limite = Number(corpo.dataset.tamanhoMaximo) || 20 * 1024 * 1024;
  const requerToken = corpo.dataset.requerToken === "1";
  const CHAVE_TOKEN = "scrivane-token";
  const ESTADOS = {
    na_fila: "Na fila",
    em_andamento: "Lendo o contrato e consultando a Receita Federal…",
  };

  let atual = null; // {id, arquivo, registro, url}
  let tokenPedido = null;
  // The contract sent last, still in this browser: its pages are drawn on demand (the server keeps nothing).
  let arquivoAtual = null;
  const paginas = new Map(); // page number -> Promise of {url, largura, altura}

  $("limite").textContent = formatarTamanho(limite);

  function formatarTamanho(n) {
    return n >= 1048576 ? Math.round(n / 1048576) + " MB" : Math.round(n / 1024) + " KB";
  }

  // -- access token (asked once, kept in this browser) ---------------------------
  function pedirToken(invalido) {
    if (tokenPedido) return tokenPedido;
    const dialogo = $("dialogo-token");
    $("token-erro").hidden = !invalido;
    $("campo-token").value = "";
    tokenPedido = new Promise((resolve) => {
      dialogo.addEventListener("close", function aoFechar() {
        dialogo.removeEventListener("close", aoFechar);
        const valor = $("campo-token").value.trim();
        if (valor) localStorage.setItem(CHAVE_TOKEN, valor);
        tokenPedido = null;
        resolve(valor);
      });
      dialogo.showModal();
    });
    return tokenPedido;
  }

  async function api(url, opcoes) {
    for (let tentativa = 0; tentativa < 3; tentativa++) {
      const cabecalhos = {};
      const token = localStorage.getItem(CHAVE_TOKEN);
      if (token) cabecalhos["Authorization"] = "Bearer " + token;
      const resposta = await fetch(url, Object.assign({ headers: cabecalhos }, opcoes || {}));
      if (resposta.status !== 401) return resposta;
      localStorage.removeItem(CHAVE_TOKEN);
      if (!(await pedirToken(tentativa > 0 || !!token))) break;
    }
    throw new Error("Acesso negado: token ausente ou inválido.");
  }

  async function mensagemDe(resposta) {
    try {
      const dados = await resposta.json();
      if (typeof dados.detail === "string") return dados.detail;
    } catch (e) { /* not JSON */ }
    return "Erro " + resposta.status + " do servidor.";
  }

  // -- states of the page ------------------------------------------------------------
  function mostrarErro(texto) {
    $("progresso").hidden = true;
    $("progresso-ocr").hidden = true;
    corpo.classList.remove("ocupado");
    $("erro").textContent = texto;
    $("erro").hidden = false;
  }

  function mostrarProgresso(arquivo, texto) {
    $("erro").hidden = true;
    $("progresso").hidden = false;
    $("progresso-arquivo").textContent = arquivo;
    $("progresso-texto").textContent = texto;
  }

  function esquecerPaginas() {
    for (const p of paginas.values()) p.then((x) => URL.revokeObjectURL(x.url), () => {});
    paginas.clear();
  }

  function reiniciar() {
    atual = null;
    arquivoAtual = null;
    esquecerPaginas();
    $("resultado").hidden = true;
    $("relatorio-conteudo").replaceChildren();
    $("envio").hidden = false;
    $("progresso").hidden = true;
    $("erro").hidden = true;
    corpo.classList.remove("ocupado");
    $("arquivo").value = "";
    $("arquivo").focus();
  }

  // -- upload and follow-up ------------------------------------------------------------
  async function enviar(arquivo) {
    if (!arquivo || corpo.classList.contains("ocupado")) return;
    if (arquivo.size > limite) {
      mostrarErro("O arquivo tem " + formatarTamanho(arquivo.size) + "; o limite é " + formatarTamanho(limite) + ".");
      return;
    }
    corpo.classList.add("ocupado");
    esquecerPaginas();
    arquivoAtual = arquivo;
    mostrarProgresso(arquivo.name, "Enviando…");
    try {
      const dados = new FormData();
      dados.append("arquivo", arquivo, arquivo.name);
      const resposta = await api("/api/verificacoes", { method: "POST", body: dados });
      if (resposta.status === 503) {
        const espera = resposta.headers.get("Retry-After");
        throw new Error((await mensagemDe(resposta)) + (espera ? " (aguarde " + espera + " s)" : ""));
      }
      if (resposta.status !== 202) throw new Error(await mensagemDe(resposta));
      const { id } = await resposta.json();
      await acompanhar(id, arquivo.name);
    } catch (erro) {
      mostrarErro(erro.message || String(erro));
    }
  }

  async function acompanhar(id, nome) {
    const inicio = Date.now();
    let espera = 400;
    for (;;) {
      const resposta = await api("/api/verificacoes/" + encodeURIComponent(id));
      if (!resposta.ok) throw new Error(await mensagemDe(resposta));
      const estado = await resposta.json();
      if (estado.estado === "concluida") return exibir(estado);
      if (estado.estado === "falhou") throw new Error("A verificação falhou: " + (estado.erro || "motivo desconhecido"));
      const segundos = Math.round((Date.now() - inicio) / 1000);
      let texto = ESTADOS[estado.estado] || estado.estado;
      if (estado.estado === "na_fila" && estado.posicao_fila) texto += " (posição " + estado.posicao_fila + ")";
      // A scan or a photo: its pages read by OCR so far, as the command line shows them.
      const ocr = estado.estado === "em_andamento" ? estado.ocr : null;
      if (ocr && ocr.paginas) texto = "Lendo por OCR: página " + ocr.paginas_lidas + " de " + ocr.paginas;
      $("progresso-ocr").hidden = !(ocr && ocr.paginas);
      if (ocr && ocr.paginas) {
        $("progresso-ocr").max = ocr.paginas;
        $("progresso-ocr").value = ocr.paginas_lidas;
      }
      mostrarProgresso(nome, texto + " · " + segundos + " s");
      await new Promise((r) => setTimeout(r, espera));
      espera = Math.min(espera * 1.5, 2000);
    }
  }

  async function exibir(estado) {
    const url = "/api/verificacoes/" + encodeURIComponent(estado.id) + "/relatorio";
    const resposta = await api(url + "?fragmento=true");
    if (!resposta.ok) throw new Error(await mensagemDe(resposta));
    const documento = new DOMParser().parseFromString(await resposta.text(), "text/html");
    const relatorio = documento.getElementById("relatorio");
    // The verification's record: the job's state without the queue's own fields.
    const { estado: _estado, criada_em, iniciada_em, concluida_em, posicao_fila, verificado_antes, ...registro } = estado;
    atual = { id: estado.id, arquivo: estado.arquivo, registro: registro, url: url };
    $("relatorio-conteudo").replaceChildren(document.importNode(relatorio, true));
    prepararEvidencias($("relatorio-conteudo"));
    if (verificado_antes && verificado_antes.length) {
      const aviso = document.createElement("p");
      aviso.className = "ja-verificado";
      aviso.setAttribute("role", "note");
      aviso.textContent = "Este arquivo já foi verificado: " + verificado_antes.map((a) =>
        new Date(a.verificado_em).toLocaleString("pt-BR", { dateStyle: "short", timeStyle: "short" }) + " " +
        (a.veredito || "FALHA")).join("; ") + ".";
      $("relatorio-conteudo").prepend(aviso);
    }
    $("envio").hidden = true;
    $("resultado").hidden = false;
    corpo.classList.remove("ocupado");
    const titulo = $("relatorio-conteudo").querySelector(".veredito__titulo");
    if (titulo) titulo.focus();
  }

  // -- evidence: the page where a value was read, its box drawn over it -------------------
  function prepararEvidencias(raiz) {
    if (!arquivoAtual) return;
    for (const item of raiz.querySelectorAll(".evidencia[data-caixa][data-pagina]")) {
      item.setAttribute("role", "button");
      item.tabIndex = 0;
      item.title = "Mostrar na página " + item.dataset.pagina;
      item.addEventListener("click", () => mostrarPagina(item));
      item.addEventListener("keydown", (ev) => {
        if (ev.key === "Enter" || ev.key === " ") {
          ev.preventDefault();
          mostrarPagina(item);
        }
      });
    }
  }

  function paginaDesenhada(numero) {
    if (!paginas.has(numero)) {
      const arquivo = arquivoAtual;
      const escala = Math.min(3, 1.5 * Math.max(1, window.devicePixelRatio || 1));
      const pedido = (async () => {
        const dados = new FormData();
        dados.append("arquivo", arquivo, arquivo.name);
        const resposta = await api("/api/paginas?pagina=" + numero + "&escala=" + escala.toFixed(2),
                                   { method: "POST", body: dados });
        if (!resposta.ok) throw new Error(await mensagemDe(resposta));
        return {
          largura: Number(resposta.headers.get("X-Largura-Pontos")),
          altura: Number(resposta.headers.get("X-Altura-Pontos")),
          url: URL.createObjectURL(await resposta.blob()),
        };
      })();
      pedido.catch(() => paginas.delete(numero)); // a failure is asked again on the next click
      paginas.set(numero, pedido);
    }
    return paginas.get(numero);
  }

  async function mostrarPagina(item) {
    const dialogo = $("dialogo-pagina");
    const numero = Number(item.dataset.pagina);
    // Every value read in the passage has its box; the first one is the dialog's own element.
    const caixas = (item.dataset.caixas || item.dataset.caixa).split(";")
      .map((c) => c.split(",").map(Number)).filter((c) => c.length === 4 && c.every(Number.isFinite));
    const caixa = $("visor-caixa");
    $("pagina-titulo").textContent = "Página " + numero;
    $("pagina-onde").textContent = item.textContent.trim();
    $("pagina-estado").textContent = "Desenhando a página…";
    caixa.hidden = true;
    for (const extra of document.querySelectorAll(".visor__caixa--extra")) extra.remove();
    if (!dialogo.open) dialogo.showModal();
    try {
      const pagina = await paginaDesenhada(numero);
      const imagem = $("visor-imagem");
      imagem.alt = "Página " + numero + " do contrato";
      if (imagem.src !== pagina.url) {
        imagem.src = pagina.url;
        await imagem.decode();
      }
      // The box is in points from the page's top left corner: placed in percent of the page, it
      // follows the image at whatever size it is shown.
      const margem = 2; // points around the words
      for (const extra of document.querySelectorAll(".visor__caixa--extra")) extra.remove();
      caixas.forEach(([x0, y0, x1, y1], k) => {
        let elemento = caixa;
        if (k > 0) {
          elemento = caixa.cloneNode(false);
          elemento.removeAttribute("id");
          elemento.classList.add("visor__caixa--extra");
          caixa.after(elemento);
        }
        elemento.style.left = ((x0 - margem) / pagina.largura * 100) + "%";
        elemento.style.top = ((y0 - margem) / pagina.altura * 100) + "%";
        elemento.style.width = ((x1 - x0 + 2 * margem) / pagina.largura * 100) + "%";
        elemento.style.height = ((y1 - y0 + 2 * margem) / pagina.altura * 100) + "%";
        elemento.hidden = false;
      });
      $("pagina-estado").textContent = "";
      caixa.scrollIntoView({ block: "center", inline: "center" });
    } catch (erro) {
      $("pagina-estado").textContent = erro.message || String(erro);
    }
  }

  // -- downloads and printing ------------------------------------------------------------
  function baixar(conteudo, tipo, nome) {
    const url = URL.createObjectURL(new Blob([conteudo], { type: tipo }));
    const a = document.createElement("a");
    a.href = url;
    a.download = nome;
    document.body.appendChild(a);
    a.click();
    a.remove();
    setTimeout(() => URL.revokeObjectURL(url), 1000);
  }

  function base() {
    return (atual.arquivo || "contrato").replace(/\.(pdf|docx|jpe?g|png|tiff?|heic)$/i, "");
  }

  $("baixar-json").addEventListener("click", () => {
    if (atual) baixar(JSON.stringify(atual.registro, null, 2), "application/json", base() + "-verificacao.json");
  });
  $("baixar-html").addEventListener("click", async () => {
    if (!atual) return;
    try {
      const resposta = await api(atual.url);
      if (!resposta.ok) throw new Error(await mensagemDe(resposta));
      baixar(await resposta.text(), "text/html", base() + "-relatorio.html");
    } catch (erro) {
      alert(erro.message || String(erro));
    }
  });
  $("imprimir").addEventListener("click", () => window.print());
  $("outro").addEventListener("click", reiniciar);

  // -- choosing or dropping a file ------------------------------------------------------
  const zona = $("form-envio");
  $("arquivo").addEventListener("change", (e) => enviar(e.target.files[0]));
  zona.addEventListener("submit", (e) => e.preventDefault());
  ["dragenter", "dragover"].forEach((tipo) => zona.addEventListener(tipo, (e) => {
    e.preventDefault();
    zona.classList.add("arrastando");
  }));
  ["dragleave", "drop"].forEach((tipo) => zona.addEventListener(tipo, (e) => {
    e.preventDefault();
    zona.classList.remove("arrastando");
  }));
  zona.addEventListener("drop", (e) => {
    const arquivo = e.dataTransfer && e.dataTransfer.files[0];
    if (arquivo) enviar(arquivo);
  });
  // Dropping a file elsewhere must not navigate away from the page.
  window.addEventListener("dragover", (e) => e.preventDefault());
  window.addEventListener("drop", (e) => e.preventDefault());

  // Monitoring alerts about companies already verified (the Histórico page lists them).
  async function avisarAlertas() {
    const token = localStorage.getItem(CHAVE_TOKEN);
    if (requerToken && !token) return;
    try {
      const resposta = await fetch("/api/monitoramento", { headers: token ? { Authorization: "Bearer " + token } : {} });
      if (!resposta.ok) return; // no history on this service, or no access yet
      const dados = await resposta.json();
      const empresas = new Set(dados.mudancas.map((m) => m.cnpj)).size;
      if (!empresas) return;
      $("alertas-aviso").firstElementChild.textContent =
        empresas + " empresa(s) já verificada(s) mudaram no cadastro da Receita Federal.";
      $("alertas-aviso").hidden = false;
    } catch (e) { /* the alerts are a courtesy */ }
  }

  if (requerToken && !localStorage.getItem(CHAVE_TOKEN)) pedirToken(false).then(avisarAlertas);
  else avisarAlertas();
})();
