"""A plain-Python twin of ``ContractChecker.verificar`` and its validation steps.

It gives the same results and prints the same lines as the extension module
(null registry values included), so it serves as the baseline of the
benchmark and as a differential check of whole verifications. Registry
functions and record types are read from this module's globals, which the
callers set (``use``).
"""

import unicodedata
from pathlib import Path

from scrivane_contract import cnpj as _cnpj
from scrivane_contract.cnpj import (buscar_cnpj_por_nome, comparar_enderecos, consultar_cnpj, formatar_cnpj,
                                    limpar_cnpj, validar_cnpj)
from scrivane_contract.models import AssinaturaExtraida, AssinaturaVerificada, CampoVerificado, EmpresaExtraida, EmpresaVerificada

__all__ = ["RefChecker", "use"]


def use(**functions):
    """Rebinds registry functions of this module (e.g. ``consultar_cnpj=...``)."""
    globals().update(functions)


def _texto(v):
    return "" if v is None else v


def _do_cnpj(f, nome):
    """Whether ``f`` is still the cnpj module's own function ``nome``."""
    return type(f) is type(_cnpj.consultar_cnpj) and f.__name__ == nome


class _Consultas:
    """Registry lookups through the detailed forms while both names are the cnpj module's own."""

    def __init__(self):
        self.detalhado = (_do_cnpj(consultar_cnpj, "consultar_cnpj")
                          and _do_cnpj(buscar_cnpj_por_nome, "buscar_cnpj_por_nome"))
        self.indisponivel = False

    def __call__(self, f, nome, arg):
        if self.detalhado and _do_cnpj(f, nome):
            dados, situacao = getattr(_cnpj, nome + "_detalhado")(arg)
            self.indisponivel |= situacao == "indisponivel"
            return dados
        self.detalhado = False
        return f(arg)


def _diz_testemunha(v):
    if not isinstance(v, str):
        return False
    v = "".join(c for c in unicodedata.normalize("NFD", v) if unicodedata.category(c) != "Mn")
    return "testemunha" in v.lower()


def _assina_por_parte(a):
    nome = a.nome_signatario
    return (bool(nome) and nome not in ("N/A", "(não identificado)")
            and not _diz_testemunha(a.cargo) and not _diz_testemunha(a.tipo_assinatura))


def _motivo_indisponivel():
    motivo = getattr(_cnpj.requests, "motivo_indisponivel", None)
    return motivo if isinstance(motivo, str) and motivo else "Receita Federal indisponível: consulta não concluída"


class RefChecker:
    def __init__(self, client, verbose=True):
        self.verbose = verbose
        self._client = client

    def _log(self, msg, emoji="📋"):
        if self.verbose:
            print(f"{emoji} {msg}")

    def _normalizar_texto(self, texto):
        if not texto:
            return ""
        texto = unicodedata.normalize("NFD", texto)
        texto = "".join(c for c in texto if unicodedata.category(c) != "Mn")
        return texto.lower().strip()

    def _comparar_nomes(self, nome1, nome2):
        n1, n2 = self._normalizar_texto(nome1), self._normalizar_texto(nome2)
        if not n1 or not n2:
            return False
        if n1 in n2 or n2 in n1:
            return True
        return len({p for p in n1.split() if len(p) > 2} & {p for p in n2.split() if len(p) > 2}) >= 2

    def _verificar_poder_assinatura(self, nome, dados):
        for socio in dados.get("socios", []):
            if self._comparar_nomes(nome, _texto(socio.get("nome", ""))):
                return True, socio.get("qualificacao")
            rep = socio.get("nome_representante", "")
            if rep and self._comparar_nomes(nome, rep):
                return True, socio.get("qualificacao_representante")
        return False, None

    def _validar_empresas(self, empresas):
        verificadas, cache = [], {}
        for e in empresas:
            campos, problemas = [], []
            self._log(f"\n--- Verificando: {e.razao_social or 'Empresa'} ---", "🏢")
            dados, cnpj, por_nome = None, e.cnpj, False
            consultas = _Consultas()
            if cnpj and validar_cnpj(limpar_cnpj(cnpj)):
                limpo = limpar_cnpj(cnpj)
                self._log(f"Consultando CNPJ {formatar_cnpj(limpo)}...", "🔍")
                dados = consultas(consultar_cnpj, "consultar_cnpj", limpo)
            if not dados and e.razao_social:
                self._log(f"Buscando por nome: {e.razao_social}...", "🔎")
                dados = consultas(buscar_cnpj_por_nome, "buscar_cnpj_por_nome", e.razao_social)
                if dados:
                    cnpj = dados.get("cnpj", "")
                    self._log(f"✅ Encontrado: {cnpj}", "")
                    por_nome = True
            if dados:
                campos.append(CampoVerificado(campo="CNPJ", status="aprovado",
                                              valor_contrato=e.cnpj or "(buscado automaticamente)",
                                              valor_receita=dados.get("cnpj"), mensagem="CNPJ encontrado"))
                situacao = _texto(dados.get("situacao", "")).upper()
                ativa = "ATIVA" in situacao
                campos.append(CampoVerificado(campo="Situação Cadastral", status="aprovado" if ativa else "reprovado",
                                              valor_contrato="-", valor_receita=situacao,
                                              mensagem=f"Empresa {'ATIVA' if ativa else situacao}"))
                if not ativa:
                    problemas.append(f"Empresa com situação: {situacao}")
                razao = dados.get("razao_social", "")
                confere = self._comparar_nomes(e.razao_social or "", _texto(razao))
                campos.append(CampoVerificado(campo="Razão Social", status="aprovado" if confere else "pendente",
                                              valor_contrato=e.razao_social, valor_receita=razao,
                                              mensagem="Confere" if confere else "Divergente"))
                if e.endereco:
                    ok, sim, end = comparar_enderecos(e.endereco, dados)
                    campos.append(CampoVerificado(campo="Endereço", status="aprovado" if ok else "pendente",
                                                  valor_contrato=e.endereco, valor_receita=end,
                                                  mensagem=f"Similaridade: {sim * 100:.0f}%"))
                chave = limpar_cnpj(cnpj) if cnpj else ""
                if chave:
                    cache[chave] = dados
                if e.razao_social:
                    cache[self._normalizar_texto(e.razao_social)] = dados
                verificadas.append(EmpresaVerificada(
                    cnpj=dados.get("cnpj", ""), razao_social_contrato=e.razao_social, razao_social_receita=razao,
                    papel_no_contrato=e.papel_no_contrato, campos=campos, cnpj_encontrado=True,
                    cnpj_buscado_por_nome=por_nome, empresa_ativa=ativa, razao_social_confere=confere,
                    socios=dados.get("socios", []), problemas=problemas))
            elif consultas.detalhado and consultas.indisponivel:
                self._log("Receita Federal indisponível", "⚠️")
                campos.append(CampoVerificado(campo="CNPJ", status="pendente", valor_contrato=e.cnpj or "(não informado)",
                                              valor_receita=None,
                                              mensagem=_motivo_indisponivel()))
                problemas.append("Consulta à Receita Federal não concluída")
                verificadas.append(EmpresaVerificada(cnpj=e.cnpj or "", razao_social_contrato=e.razao_social,
                                                     papel_no_contrato=e.papel_no_contrato, campos=campos,
                                                     problemas=problemas))
            else:
                campos.append(CampoVerificado(campo="CNPJ", status="reprovado", valor_contrato=e.cnpj or "(não informado)",
                                              valor_receita=None, mensagem="CNPJ não encontrado na Receita Federal"))
                problemas.append("CNPJ não encontrado")
                verificadas.append(EmpresaVerificada(cnpj=e.cnpj or "", razao_social_contrato=e.razao_social,
                                                     papel_no_contrato=e.papel_no_contrato, campos=campos,
                                                     problemas=problemas))
        return verificadas, cache

    def _validar_assinaturas(self, assinaturas, cache):
        out = []
        self._log("\n--- Verificando Assinaturas ---", "✍️")
        for a in assinaturas:
            campos, problemas, nome = [], [], a.nome_signatario
            tem, qual = False, None
            if not nome or nome == "N/A":
                out.append(AssinaturaVerificada(
                    nome_signatario="(não identificado)", tipo_assinatura=a.tipo_assinatura,
                    campos=[CampoVerificado(campo="Identificação", status="nao_verificado",
                                            mensagem="Signatário não identificado")],
                    problemas=["Signatário não identificado"]))
                continue
            self._log(f"Verificando: {nome}", "👤")
            dados = None
            if a.cnpj_empresa:
                dados = cache.get(limpar_cnpj(a.cnpj_empresa))
            if not dados and a.empresa_representada:
                dados = cache.get(self._normalizar_texto(a.empresa_representada))
            if dados:
                tem, qual = self._verificar_poder_assinatura(nome, dados)
            else:
                for registro in cache.values():
                    tem, qual = self._verificar_poder_assinatura(nome, registro)
                    if tem:
                        dados = registro
                        break
            if tem:
                campos.append(CampoVerificado(campo="Poder de Assinatura", status="aprovado", valor_contrato=nome,
                                              valor_receita=qual or "Encontrado no QSA",
                                              mensagem=f"Signatário tem poder ({qual or 'Sócio/Admin'})"))
                self._log(f"✅ {nome} TEM PODER ({qual})", "")
            elif _diz_testemunha(a.cargo) or _diz_testemunha(a.tipo_assinatura):
                campos.append(CampoVerificado(campo="Testemunha", status="nao_verificado", valor_contrato=nome,
                                              mensagem="Testemunha: assina sem representar empresa"))
                self._log(f"ℹ️ {nome} - testemunha, não representa empresa", "")
            elif dados:
                nomes = [_texto(s.get("nome", "")) for s in dados.get("socios", [])[:3]]
                campos.append(CampoVerificado(campo="Poder de Assinatura", status="reprovado", valor_contrato=nome,
                                              valor_receita=f"QSA: {', '.join(nomes)}..." if nomes else "QSA vazio",
                                              mensagem="Signatário NÃO encontrado no QSA"))
                problemas.append("Signatário sem poder de assinatura")
                self._log(f"❌ {nome} NÃO TEM PODER", "")
            else:
                campos.append(CampoVerificado(campo="Poder de Assinatura", status="pendente", valor_contrato=nome,
                                              mensagem="Não foi possível verificar"))
                self._log(f"⚠️ {nome} - não foi possível verificar", "")
            out.append(AssinaturaVerificada(
                nome_signatario=nome, cargo=a.cargo, empresa_representada=a.empresa_representada,
                cnpj_empresa=a.cnpj_empresa, tipo_assinatura=a.tipo_assinatura, campos=campos,
                tem_poder_assinatura=tem, qualificacao_qsa=qual, problemas=problemas))
        return out

    def verificar(self, documento):
        documento = Path(documento)
        if not documento.exists():
            raise FileNotFoundError(f"Arquivo não encontrado: {documento}")
        self._log("\n" + "=" * 60, "")
        self._log("VERIFICAÇÃO DE LEGITIMIDADE DE CONTRATO", "🔍")
        self._log(f"Arquivo: {documento.name}", "📄")
        self._log("=" * 60, "")
        self._log("\n📤 Extraindo dados do contrato...", "")
        run = self._client.process(str(documento))
        raw = {q: run.get_result(q) for q in ("empresas", "assinaturas", "dados_contrato")}
        empresas = [EmpresaExtraida(**m) for m in (raw["empresas"].raw_result.get("empresas", [])
                                                   if raw["empresas"] and raw["empresas"].raw_result else [])]
        assinaturas = [AssinaturaExtraida(**m) for m in (raw["assinaturas"].raw_result.get("assinaturas", [])
                                                         if raw["assinaturas"] and raw["assinaturas"].raw_result else [])]
        d = raw["dados_contrato"]
        dados_contrato = d.raw_result if d and d.raw_result else {}
        self._log(f"Empresas extraídas: {len(empresas)}", "🏢")
        self._log(f"Assinaturas extraídas: {len(assinaturas)}", "✍️")
        self._log("\n🔍 Validando empresas na Receita Federal...", "")
        verificadas, cache = self._validar_empresas(empresas)
        assinadas = self._validar_assinaturas(assinaturas, cache)
        for verificados, extraidos in ((verificadas, empresas), (assinadas, assinaturas)):
            if len(verificados) != len(extraidos):
                continue
            for v, x in zip(verificados, extraidos):
                if x.evidencias:
                    v.evidencias = x.evidencias
                for d in x.divergencias:
                    if isinstance(d, dict):
                        v.campos.append(CampoVerificado(campo="Evidência", status="pendente", valor_contrato=d.get("valor"),
                                                        valor_receita=d.get("no_documento"), mensagem=d.get("mensagem")))
                        v.problemas.append(d.get("mensagem"))
        listas = {"aprovado": [], "reprovado": [], "pendente": []}
        for e in verificadas:
            dono = e.razao_social_receita or e.razao_social_contrato or e.cnpj
            for c in e.campos:
                if c.status in listas:
                    listas[c.status].append(f"{c.campo} - {dono}")
        for a in assinadas:
            for c in a.campos:
                if c.status in listas:
                    listas[c.status].append(f"{c.campo} - {a.nome_signatario}")
        if (not listas["reprovado"] and not listas["pendente"] and verificadas
                and raw["assinaturas"] and raw["assinaturas"].raw_result
                and not any(_assina_por_parte(a) for a in assinadas)):
            listas["pendente"].append("Signatário - nenhum signatário identificado")
        ok, bad, pend = (len(listas[k]) for k in ("aprovado", "reprovado", "pendente"))
        if bad:
            final, just = "REPROVADO", f"{bad} campo(s) reprovado(s)"
        elif pend:
            final, just = "PENDENTE", f"{pend} campo(s) requer(em) análise manual"
        elif faltando := [q for q in ("empresas", "assinaturas") if not (raw[q] and raw[q].raw_result)]:
            final, just = "PENDENTE", "Extração incompleta: sem resposta para " + " e ".join(faltando)
        elif not ok:
            final, just = "PENDENTE", "Nenhum campo verificado: nenhuma empresa ou signatário identificado"
        else:
            final, just = "APROVADO", f"Todos os {ok} campos verificados foram aprovados"
        m = run.total_metrics
        return {"resultado_final": final, "justificativa": just, "campos_aprovados": listas["aprovado"],
                "campos_reprovados": listas["reprovado"], "campos_pendentes": listas["pendente"],
                "total_campos": ok + bad + pend, "total_aprovados": ok, "total_reprovados": bad,
                "total_pendentes": pend, "empresas": [e.model_dump() for e in verificadas],
                "assinaturas": [a.model_dump() for a in assinadas], "dados_contrato": dados_contrato,
                "metricas": {"tokens": m.tokens, "custo_usd": m.cost_usd, "tempo_segundos": m.time_seconds}}
