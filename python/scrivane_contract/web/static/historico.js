// History page: lists and filters the stored verifications, opens a report, shows the monitoring alerts.
"use strict";
(function () {
  const $ = (id) => document.getElementById(id);
  const CHAVE_TOKEN = "scrivane-token";
  let atual = null;

  async function api(url) {
    const cabecalhos = {};
    const token = localStorage.getItem(CHAVE_TOKEN);
    if (token) cabecalhos["Authorization"] = "Bearer " + token;
    const resposta = await fetch(url, { headers: cabecalhos });
    if (resposta.status === 401) throw new Error("Acesso negado: informe o token na página inicial.");
    if (!resposta.ok) {
      let texto = "Erro " + resposta.status + " do servidor.";
      try { const d = await resposta.json(); if (typeof d.detail === "string") texto = d.detail; } catch (e) { /* not JSON */ }
      throw new Error(texto);
    }
    return resposta;
  }

  function erro(texto) {
    $("erro").textContent = texto;
    $("erro").hidden = !texto;
  }

  function data(iso) {
    if (!iso) return "—";
    const d = new Date(iso);
    return isNaN(d) ? iso : d.toLocaleString("pt-BR", { dateStyle: "short", timeStyle: "short" });
  }

  // Each cell carries its column's name: on a narrow screen the rows become cards that show it.
  const ROTULOS = ["Data", "Arquivo", "Resultado", "Empresas"];

  function celula(linha, texto, classe) {
    const td = document.createElement("td");
    td.textContent = texto;
    if (classe) td.className = classe;
    td.dataset.rotulo = ROTULOS[linha.children.length] || "";
    linha.appendChild(td);
    return td;
  }

  async function listar() {
    erro("");
    const parametros = new URLSearchParams();
    for (const [chave, valor] of new FormData($("filtros"))) if (valor) parametros.set(chave, valor);
    try {
      const linhas = await (await api("/api/historico?" + parametros)).json();
      const corpo = $("linhas");
      corpo.replaceChildren();
      for (const v of linhas) {
        const tr = document.createElement("tr");
        celula(tr, data(v.verificado_em));
        const arquivo = celula(tr, "");
        const botao = document.createElement("a");
        botao.href = "#" + encodeURIComponent(v.id);
        botao.textContent = (v.arquivo || "").split(/[\\/]/).pop();
        arquivo.appendChild(botao);
        const resultado = v.veredito || "FALHA";
        celula(tr, resultado, "selo selo--" + resultado);
        celula(tr, v.empresas || (v.erro ? v.erro : "—"));
        tr.addEventListener("click", (e) => { e.preventDefault(); abrir(v.id); });
        corpo.appendChild(tr);
      }
      $("historico-contagem").textContent = linhas.length ? linhas.length + " verificação(ões)." : "Nenhuma verificação encontrada.";
    } catch (e) {
      erro(e.message || String(e));
    }
  }

  async function abrir(id) {
    erro("");
    try {
      const estado = await (await api("/api/verificacoes/" + encodeURIComponent(id))).json();
      if (estado.estado !== "concluida") throw new Error("A verificação falhou: " + (estado.erro || "motivo desconhecido"));
      const html = await (await api("/api/verificacoes/" + encodeURIComponent(id) + "/relatorio?fragmento=true")).text();
      const relatorio = new DOMParser().parseFromString(html, "text/html").getElementById("relatorio");
      const { estado: _e, criada_em, iniciada_em, concluida_em, posicao_fila, verificado_antes, ...registro } = estado;
      atual = registro;
      $("relatorio-conteudo").replaceChildren(document.importNode(relatorio, true));
      $("resultado").hidden = false;
      $("resultado").scrollIntoView();
      const titulo = $("relatorio-conteudo").querySelector(".veredito__titulo");
      if (titulo) titulo.focus();
    } catch (e) {
      erro(e.message || String(e));
    }
  }

  async function alertas() {
    try {
      const dados = await (await api("/api/monitoramento")).json();
      if (!dados.mudancas.length) return;
      const empresas = new Set(dados.mudancas.map((m) => m.cnpj));
      $("alertas-resumo").textContent = empresas.size + " empresa(s) já verificada(s) mudaram no cadastro (monitoramento de " + data(dados.monitorado_em) + ").";
      const lista = $("alertas-lista");
      lista.replaceChildren();
      for (const m of dados.mudancas) {
        const li = document.createElement("li");
        li.textContent = (m.razao_social || m.cnpj) + " — " + m.campo + ": " + (m.antes || "—") + " → " + (m.agora || "—");
        lista.appendChild(li);
      }
      $("alertas").hidden = false;
    } catch (e) { /* alerts are optional */ }
  }

  function baixar(conteudo, nome) {
    const url = URL.createObjectURL(new Blob([conteudo], { type: "application/json" }));
    const a = document.createElement("a");
    a.href = url;
    a.download = nome;
    document.body.appendChild(a);
    a.click();
    a.remove();
    setTimeout(() => URL.revokeObjectURL(url), 1000);
  }

  $("filtros").addEventListener("submit", (e) => { e.preventDefault(); listar(); });
  $("baixar-json").addEventListener("click", () => {
    if (atual) baixar(JSON.stringify(atual, null, 2), (atual.arquivo || "contrato").split(/[\\/]/).pop().replace(/\.(pdf|docx|jpe?g|png|tiff?|heic)$/i, "") + "-verificacao.json");
  });
  $("imprimir").addEventListener("click", () => window.print());
  $("fechar").addEventListener("click", () => { $("resultado").hidden = true; atual = null; });
  if (location.hash.length > 1) abrir(decodeURIComponent(location.hash.slice(1)));
  listar();
  alertas();
})();
