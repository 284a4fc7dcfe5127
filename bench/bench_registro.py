"""Local registry: import, database size, lookups, name search and the server, on a generated release.

The release (SCRIVANE_BENCH_ESTABELECIMENTOS establishments, default 2,000,000,
with their companies and partners) is generated once into
SCRIVANE_BENCH_REGISTRO (default /tmp/scrivane-bench-registro) and reused.
Baselines, measured in the same run:
- import: a plain-Python loader (csv module + sqlite3.executemany) of one
  establishments file, rows per second;
- lookup: the same company through the cnpj module over HTTP to the test
  suite's fixture server (stdlib http.server, answers from a dict);
- name search: a LIKE scan over the legal names;
- server: the fixture server under the same 8-client load.
"""

import asyncio
import csv
import io
import os
import random
import re
import sqlite3
import subprocess
import sys
import time
import zipfile
from pathlib import Path

from _common import fmt

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tools"))

import gen_registro  # noqa: E402
from registry_server import RegistryServer  # noqa: E402
from scrivane_contract import cnpj  # noqa: E402
from scrivane_contract.registro import RegistroLocal, importar  # noqa: E402
from scrivane_contract.registro.banco import ESQUEMA, cnpj_de_chave  # noqa: E402
from scrivane_contract.registro.local import RequisicoesLocais  # noqa: E402

N = int(os.environ.get("SCRIVANE_BENCH_ESTABELECIMENTOS", "2000000"))
PASTA = Path(os.environ.get("SCRIVANE_BENCH_REGISTRO", "/tmp/scrivane-bench-registro"))
RELEASE = PASTA / f"release-{N}"
BANCO = PASTA / f"registro-{N}.sqlite3"
# The full release, for the extrapolations (row counts cited in shared/registry/layouts.md).
COMPLETO_ESTABELECIMENTOS = 59_495_419


def pct(valores, p):
    valores = sorted(valores)
    return valores[min(len(valores) - 1, int(len(valores) * p))]


def gerar():
    if (RELEASE / "Simples.zip").exists():
        print(f"release: {RELEASE} (reused)")
        return
    t = time.perf_counter()
    man = gen_registro.gerar_release(RELEASE, N, seed=2026)
    print(f"release: {RELEASE} generated in {time.perf_counter() - t:.0f} s: {man.linhas}")


def baseline_import():
    """Plain Python: csv + executemany, one establishments file."""
    destino = PASTA / "baseline.sqlite3"
    destino.unlink(missing_ok=True)
    con = sqlite3.connect(destino)
    con.executescript(ESQUEMA)
    con.execute("PRAGMA journal_mode=OFF")
    con.execute("PRAGMA synchronous=OFF")
    t = time.perf_counter()
    n = 0
    with zipfile.ZipFile(RELEASE / "Estabelecimentos0.zip") as z:
        with z.open(z.namelist()[0]) as f:
            leitor = csv.reader(io.TextIOWrapper(f, encoding="latin-1", newline=""), delimiter=";")
            lote = []
            for c in leitor:
                if len(c) != 30:
                    continue
                c = [re.sub(r"\s+", " ", x.replace("\x00", "")).strip() for x in c]
                lote.append((int(c[0] + c[1], 36), int(c[2]), c[3], c[4], c[5], c[6], c[7], c[8], c[9], c[10], c[11],
                             c[12], c[13], c[14], c[15], c[16], c[17], c[18], c[19], c[20], c[21] + c[22],
                             c[23] + c[24], c[25] + c[26], c[27], c[28], c[29]))
                if len(lote) == 10000:
                    con.executemany(f"INSERT INTO estabelecimentos VALUES({','.join('?' * 26)})", lote)
                    n += len(lote)
                    lote = []
            con.executemany(f"INSERT INTO estabelecimentos VALUES({','.join('?' * 26)})", lote)
            n += len(lote)
    con.commit()
    dt = time.perf_counter() - t
    con.close()
    destino.unlink()
    return n / dt


def nosso_import():
    BANCO.unlink(missing_ok=True)
    t, c = time.perf_counter(), time.process_time()
    r = importar(RELEASE, BANCO)
    return r, time.perf_counter() - t, time.process_time() - c


def amostra(reg, k, seed=1):
    con = reg._conexao()
    total = con.execute("SELECT max(rowid) FROM estabelecimentos").fetchone()[0]
    rnd = random.Random(seed)
    out = []
    while len(out) < k:
        row = con.execute("SELECT chave, dv FROM estabelecimentos WHERE rowid = ?", (rnd.randint(1, total),)).fetchone()
        if row:
            out.append(cnpj_de_chave(*row))
    return out


def lookups(reg):
    cs = amostra(reg, 20000)
    for c in cs[:2000]:
        reg.brasilapi(c)
    tempos = []
    for c in cs:
        t = time.perf_counter()
        reg.brasilapi(c)
        tempos.append(time.perf_counter() - t)
    # The whole library path, through the requests seam.
    antes = cnpj.requests
    cnpj.requests = RequisicoesLocais(reg)
    numericos = [c for c in cs if c.isdigit()][:5000]
    via_modulo = []
    for c in numericos:
        t = time.perf_counter()
        cnpj.consultar_cnpj(c)
        via_modulo.append(time.perf_counter() - t)
    cnpj.requests = antes
    # Baseline: the same records through HTTP to the fixture server.
    base = []
    with RegistryServer() as srv:
        for c in numericos[:300]:
            srv.add_company(c, reg.brasilapi(c), None)
        urls = (cnpj.BRASIL_API_URL, cnpj.RECEITA_WS_URL)
        cnpj.BRASIL_API_URL, cnpj.RECEITA_WS_URL = srv.brasil_api_url, srv.receita_ws_url
        try:
            for c in numericos[:300]:
                t = time.perf_counter()
                cnpj.consultar_cnpj(c)
                base.append(time.perf_counter() - t)
        finally:
            cnpj.BRASIL_API_URL, cnpj.RECEITA_WS_URL = urls
    print(f"lookup in-process (RegistroLocal.brasilapi, {len(tempos)} CNPJs): p50 {fmt(pct(tempos, .5))}"
          f"  p99 {fmt(pct(tempos, .99))}  (target p99 < 0.2 ms)")
    print(f"cnpj.consultar_cnpj from the database vs over HTTP to the fixture server (p50): "
          f"baseline {fmt(pct(base, .5))}  ours {fmt(pct(via_modulo, .5))}  ratio {pct(base, .5) / pct(via_modulo, .5):.1f}x"
          f"  (ours p99 {fmt(pct(via_modulo, .99))})")
    return cs


def buscas(reg, cs):
    registros = [reg.brasilapi(c) for c in cs[:600]]
    registros = [b for b in registros if b and b["razao_social"]]
    tempos = []
    for b in registros[:500]:
        t = time.perf_counter()
        total, hits = reg.buscar(b["razao_social"], ufs=[b["uf"]], situacao="ATIVA")
        tempos.append(time.perf_counter() - t)
    con = reg._conexao()
    base = []
    for b in registros[:5]:
        t = time.perf_counter()
        con.execute("SELECT e.rowid FROM empresas m JOIN estabelecimentos e ON e.chave / 1679616 = m.chave "
                    "WHERE m.razao_social LIKE ? AND e.uf = ? AND e.situacao = 2 LIMIT 20",
                    (f"%{b['razao_social']}%", b["uf"])).fetchall()
        base.append(time.perf_counter() - t)
    print(f"name search ({len(tempos)} legal names, state filter, active only): p50 {fmt(pct(tempos, .5))}"
          f"  p95 {fmt(pct(tempos, .95))}  (target p95 < 20 ms)")
    print(f"name search vs a LIKE scan of the legal names (p50): baseline {fmt(pct(base, .5))}"
          f"  ours {fmt(pct(tempos, .5))}  ratio {pct(base, .5) / pct(tempos, .5):.0f}x")


async def _carga(porta, caminhos, segundos, clientes=8):
    fim = time.perf_counter() + segundos
    feitos = 0

    async def cliente(k):
        nonlocal feitos
        r, w = await asyncio.open_connection("127.0.0.1", porta)
        i = k
        while time.perf_counter() < fim:
            w.write(f"GET {caminhos[i % len(caminhos)]} HTTP/1.1\r\nHost: x\r\n\r\n".encode())
            i += clientes
            cab = await r.readuntil(b"\r\n\r\n")
            m = re.search(rb"content-length: *(\d+)", cab, re.I)
            await r.readexactly(int(m.group(1)))
            feitos += 1
        w.close()

    t = time.perf_counter()
    await asyncio.gather(*(cliente(k) for k in range(clientes)))
    return feitos / (time.perf_counter() - t)


def _esperar(porta):
    import socket

    for _ in range(300):
        try:
            socket.create_connection(("127.0.0.1", porta), timeout=0.2).close()
            return
        except OSError:
            time.sleep(0.1)
    raise RuntimeError("server did not start")


def _cpu(pid):
    campos = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(campos[11]) + int(campos[12])) / os.sysconf("SC_CLK_TCK")


def servidor(cs, processos=1):
    import socket

    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        porta = s.getsockname()[1]
    caminhos = [f"/api/cnpj/v1/{c}" for c in cs[:5000]]
    proc = subprocess.Popen([sys.executable, "-m", "scrivane_contract", "registro", "servir", "--banco", str(BANCO),
                             "--porta", str(porta), "--processos", str(processos)],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        _esperar(porta)
        asyncio.run(_carga(porta, caminhos, 2))
        c0, t0 = _cpu(proc.pid), time.perf_counter()
        ours = asyncio.run(_carga(porta, caminhos, 8))
        cpu_req = (_cpu(proc.pid) - c0) / (ours * (time.perf_counter() - t0)) if processos == 1 else 0
    finally:
        proc.terminate()
        proc.wait()
    if processos > 1:
        print(f"server with --processos {processos}, same load: {ours:8.0f}/s  (target >= 2000/s)")
        return
    reg = RegistroLocal(BANCO)
    with RegistryServer() as srv:
        for c in cs[:300]:
            srv.add_company(c, reg.brasilapi(c), None)
        porta_b = int(srv.url.rsplit(":", 1)[1])
        base = asyncio.run(_carga(porta_b, caminhos[:300], 8))
    print(f"server, BrasilAPI lookups with 8 concurrent keep-alive clients: baseline {base:8.0f}/s"
          f"  ours {ours:8.0f}/s  ratio {ours / base:.1f}x  (target >= 2000/s)")
    print(f"  server CPU per request {cpu_req * 1e6:.0f} us, i.e. {1 / cpu_req:,.0f}/s per core (one process,"
          f" access log on)")


def main():
    PASTA.mkdir(parents=True, exist_ok=True)
    print(f"registro: generated release of {N:,} establishments")
    gerar()
    base = baseline_import()
    r, parede, cpu = nosso_import()
    n = r.linhas["estabelecimentos"]
    taxa = n / parede
    print(f"import end to end: {parede:.1f} s wall, {cpu:.1f} s CPU; rows {r.linhas}; skipped lines {r.ruins}")
    print(f"import rate (establishment rows/s, end to end): baseline {base:,.0f}/s (csv+executemany, one file)"
          f"  ours {taxa:,.0f}/s  ratio {taxa / base:.1f}x  (target >= 250,000/s)")
    print(f"  CPU-bound rate: {n / cpu:,.0f} establishment rows per CPU second")
    fator = COMPLETO_ESTABELECIMENTOS / n
    print(f"  full release ({COMPLETO_ESTABELECIMENTOS:,} establishments, same mix of tables): "
          f"~{parede * fator / 60:.1f} min at this rate (target < 15 min)")
    por_milhao = r.tamanho / (n / 1e6)
    print(f"database size: {r.tamanho / 1e9:.2f} GB; {por_milhao / 1e6:.0f} MB per million establishments; "
          f"full release ~{por_milhao * COMPLETO_ESTABELECIMENTOS / 1e6 / 1e9:.1f} GB (target < 20 GB)")
    reg = RegistroLocal(BANCO)
    cs = lookups(reg)
    buscas(reg, cs)
    servidor(cs)
    servidor(cs, processos=2)


if __name__ == "__main__":
    main()
