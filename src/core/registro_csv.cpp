#include "registro_csv.hpp"

#include <sqlite3.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace sc::registro {

namespace {

// How each CSV field becomes a column:
//   b  CNPJ root (8 chars) -> base-36 key          B  root + order (2 fields) -> base-36 key
//   v  check digits (2 digits, required)           c  lookup code (digits, required)
//   i  integer or null                             t  text
//   d  date YYYYMMDD or null                       m  share capital "1234,56" or null
//   s  "S"/"N" -> 1/0, else null                   p  DDD + number (2 fields) -> text
struct Layout {
    const char* nome;
    const char* tipos;
    const char* sql;
};

const Layout kLayouts[] = {
    {"Empresas", "btiimit",
     "INSERT INTO empresas(chave,razao_social,natureza,qualificacao,capital,porte,ente) VALUES(?,?,?,?,?,?,?)"},
    {"Estabelecimentos", "Bvitiditidittttttttipppttd",
     "INSERT INTO estabelecimentos(chave,dv,matriz,fantasia,situacao,data_situacao,motivo,cidade_exterior,pais,"
     "inicio,cnae,cnaes_secundarios,tipo_logradouro,logradouro,numero,complemento,bairro,cep,uf,municipio,"
     "telefone1,telefone2,fax,email,situacao_especial,data_situacao_especial) "
     "VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)"},
    {"Socios", "bittidittii",
     "INSERT INTO socios(chave,tipo,nome,documento,qualificacao,data_entrada,pais,representante,"
     "nome_representante,qualificacao_representante,faixa_etaria) VALUES(?,?,?,?,?,?,?,?,?,?,?)"},
    {"Simples", "bsddsdd",
     "INSERT INTO simples(chave,opcao_simples,data_opcao_simples,data_exclusao_simples,opcao_mei,"
     "data_opcao_mei,data_exclusao_mei) VALUES(?,?,?,?,?,?,?)"},
    {"Cnaes", "ct", "INSERT OR REPLACE INTO cnaes(codigo,descricao) VALUES(?,?)"},
    {"Motivos", "ct", "INSERT OR REPLACE INTO motivos(codigo,descricao) VALUES(?,?)"},
    {"Municipios", "ct", "INSERT OR REPLACE INTO municipios(codigo,descricao) VALUES(?,?)"},
    {"Naturezas", "ct", "INSERT OR REPLACE INTO naturezas(codigo,descricao) VALUES(?,?)"},
    {"Paises", "ct", "INSERT OR REPLACE INTO paises(codigo,descricao) VALUES(?,?)"},
    {"Qualificacoes", "ct", "INSERT OR REPLACE INTO qualificacoes(codigo,descricao) VALUES(?,?)"},
};

std::size_t campos_de(const char* tipos) {
    std::size_t n = 0;
    for (const char* t = tipos; *t; ++t) n += (*t == 'B' || *t == 'p') ? 2 : 1;
    return n;
}

inline bool espaco(unsigned char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f' || c == 0xA0; }

// Cleans one raw Latin-1 field into UTF-8.
void limpar(const char* p, std::size_t n, std::string& out) {
    out.clear();
    bool pendente = false;  // a blank waits for the next visible character
    for (std::size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(p[i]);
        if (c == 0) continue;
        if (espaco(c) || c == '\n') {
            pendente = !out.empty();
            continue;
        }
        if (c == '"' && i + 1 < n && p[i + 1] == '"') ++i;  // a doubled quote stands for one
        if (pendente) {
            out.push_back(' ');
            pendente = false;
        }
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
}

bool so_digitos(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

std::int64_t inteiro(std::string_view s) {
    std::int64_t v = 0;
    for (char c : s) v = v * 10 + (c - '0');
    return v;
}

std::string utf8_trecho(std::string_view l) {
    std::string out;
    limpar(l.data(), l.size() < 160 ? l.size() : 160, out);
    return out;
}

}  // namespace

bool tabela_por_nome(std::string_view nome, Tabela& out) noexcept {
    for (std::size_t i = 0; i < std::size(kLayouts); ++i)
        if (nome == kLayouts[i].nome) {
            out = static_cast<Tabela>(i);
            return true;
        }
    return false;
}

std::int64_t base36(std::string_view s) noexcept {
    std::int64_t v = 0;
    for (char c : s) {
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (c >= 'A' && c <= 'Z')
            d = c - 'A' + 10;
        else
            return -1;
        v = v * 36 + d;
    }
    return v;
}

std::int32_t data_valida(std::string_view s) noexcept {
    if (s.size() != 8 || !so_digitos(s)) return 0;
    const int ano = static_cast<int>(inteiro(s.substr(0, 4)));
    const int mes = static_cast<int>(inteiro(s.substr(4, 2)));
    const int dia = static_cast<int>(inteiro(s.substr(6, 2)));
    if (ano == 0 || mes < 1 || mes > 12 || dia < 1) return 0;
    static const int dias[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool bissexto = (ano % 4 == 0 && ano % 100 != 0) || ano % 400 == 0;
    const int max = dias[mes - 1] + (mes == 2 && bissexto ? 1 : 0);
    if (dia > max) return 0;
    return ano * 10000 + mes * 100 + dia;
}

const char* dividir_linha(std::string_view linha, std::vector<std::string>& campos, std::size_t& n) {
    n = 0;
    if (linha.size() < 2 || linha.front() != '"' || linha.back() != '"') return "campos sem aspas";
    const char* p = linha.data() + 1;
    const char* fim = linha.data() + linha.size() - 1;
    for (;;) {
        // The separator is the three bytes `";"`; a lone ';' inside a field stays.
        const char* q = p;
        const char* sep = nullptr;
        while (q < fim) {
            const void* hit = std::memchr(q, ';', static_cast<std::size_t>(fim - q));
            if (!hit) break;
            const char* h = static_cast<const char*>(hit);
            if (h > p && h[-1] == '"' && h + 1 < fim && h[1] == '"') {
                sep = h;
                break;
            }
            q = h + 1;
        }
        if (n == campos.size()) campos.emplace_back();
        if (!sep) {
            limpar(p, static_cast<std::size_t>(fim - p), campos[n++]);
            return "";
        }
        limpar(p, static_cast<std::size_t>(sep - 1 - p), campos[n++]);
        p = sep + 2;
    }
}

Carga::Carga(const std::string& caminho) {
    if (sqlite3_open_v2(caminho.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
        std::string msg = db_ ? sqlite3_errmsg(db_) : "sem memória";
        sqlite3_close(db_);
        db_ = nullptr;
        throw std::runtime_error("não foi possível abrir o banco: " + msg);
    }
    executar("PRAGMA journal_mode=OFF");
    executar("PRAGMA synchronous=OFF");
    executar("PRAGMA locking_mode=EXCLUSIVE");
    executar("PRAGMA cache_size=-131072");
    executar("BEGIN");
}

Carga::~Carga() {
    if (stmt_) sqlite3_finalize(stmt_);
    if (db_) sqlite3_close(db_);
}

void Carga::executar(const char* sql) {
    char* err = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &err) != SQLITE_OK) {
        std::string msg = err ? err : "erro desconhecido";
        sqlite3_free(err);
        throw std::runtime_error("SQLite: " + msg);
    }
}

void Carga::iniciar(Tabela t) {
    if (stmt_) {
        sqlite3_finalize(stmt_);
        stmt_ = nullptr;
    }
    tabela_ = t;
    const Layout& lay = kLayouts[static_cast<int>(t)];
    esperados_ = campos_de(lay.tipos);
    if (sqlite3_prepare_v2(db_, lay.sql, -1, &stmt_, nullptr) != SQLITE_OK)
        throw std::runtime_error(std::string("SQLite: ") + sqlite3_errmsg(db_));
    resto_.clear();
    resto_longo_ = false;
    numero_ = ok_ = ruins_total_ = 0;
    ruins_.clear();
}

void Carga::alimentar(const char* dados, std::size_t n) {
    if (!stmt_) throw std::logic_error("alimentar sem iniciar");
    const char* p = dados;
    const char* fim = dados + n;
    if (!resto_.empty() || resto_longo_) {
        const void* nl = std::memchr(p, '\n', n);
        if (!nl) {
            guardar_resto(p, n);
            return;
        }
        const char* e = static_cast<const char*>(nl);
        guardar_resto(p, static_cast<std::size_t>(e - p));
        std::string l = std::move(resto_);
        resto_.clear();
        if (resto_longo_) {
            resto_longo_ = false;
            longa(l);
        } else {
            linha(l);
        }
        p = e + 1;
    }
    while (p < fim) {
        const void* nl = std::memchr(p, '\n', static_cast<std::size_t>(fim - p));
        if (!nl) {
            guardar_resto(p, static_cast<std::size_t>(fim - p));
            return;
        }
        const char* e = static_cast<const char*>(nl);
        const std::size_t tamanho = static_cast<std::size_t>(e - p);
        if (tamanho > kMaxLinha)
            longa(std::string_view(p, tamanho));
        else
            linha(std::string_view(p, tamanho));
        p = e + 1;
    }
}

// Keeps the unfinished line's bytes, up to kMaxLinha; past it only the start
// stays (for the report) and the line is marked too long.
void Carga::guardar_resto(const char* p, std::size_t n) {
    if (resto_longo_) return;
    if (resto_.size() + n <= kMaxLinha) {
        resto_.append(p, n);
        return;
    }
    resto_.append(p, std::min(n, kMaxLinha - resto_.size()));
    resto_.resize(std::min<std::size_t>(resto_.size(), 160));
    resto_.shrink_to_fit();
    resto_longo_ = true;
}

void Carga::longa(std::string_view inicio) {
    ++numero_;
    ruim(inicio, "linha longa demais (mais de 1 MiB)");
}

void Carga::terminar() {
    if (resto_longo_) {
        resto_longo_ = false;
        std::string l = std::move(resto_);
        resto_.clear();
        longa(l);
    } else if (!resto_.empty()) {
        std::string l = std::move(resto_);
        resto_.clear();
        linha(l);
    }
    if (stmt_) {
        sqlite3_finalize(stmt_);
        stmt_ = nullptr;
    }
}

void Carga::fechar() {
    if (!db_) return;
    if (stmt_) {
        sqlite3_finalize(stmt_);
        stmt_ = nullptr;
    }
    executar("COMMIT");
    sqlite3_close(db_);
    db_ = nullptr;
}

void Carga::ruim(std::string_view l, const char* motivo) {
    ++ruins_total_;
    if (ruins_.size() < kMaxDetalhes) ruins_.push_back({numero_, motivo, utf8_trecho(l)});
}

void Carga::linha(std::string_view l) {
    ++numero_;
    if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
    if (l.empty()) return;  // a blank line carries nothing
    std::size_t n = 0;
    const char* erro = dividir_linha(l, campos_, n);
    if (*erro) return ruim(l, erro);
    if (n != esperados_) {
        ++ruins_total_;
        if (ruins_.size() < kMaxDetalhes)
            ruins_.push_back({numero_,
                              "esperados " + std::to_string(esperados_) + " campos, encontrados " + std::to_string(n),
                              utf8_trecho(l)});
        return;
    }
    const char* tipos = kLayouts[static_cast<int>(tabela_)].tipos;
    sqlite3_stmt* st = stmt_;
    int col = 1;
    std::size_t f = 0;
    for (const char* t = tipos; *t; ++t, ++col) {
        const std::string& v = campos_[f];
        switch (*t) {
        case 'b': {
            const std::int64_t k = v.size() == 8 ? base36(v) : -1;
            if (k < 0) return ruim(l, "CNPJ básico inválido");
            sqlite3_bind_int64(st, col, k);
            ++f;
            break;
        }
        case 'B': {
            const std::string& o = campos_[f + 1];
            const std::int64_t k = v.size() == 8 ? base36(v) : -1;
            const std::int64_t ko = o.size() == 4 ? base36(o) : -1;
            if (k < 0 || ko < 0) return ruim(l, "CNPJ inválido");
            sqlite3_bind_int64(st, col, k * 1679616 + ko);  // 36^4
            f += 2;
            break;
        }
        case 'v':
            if (v.size() != 2 || !so_digitos(v)) return ruim(l, "dígitos verificadores inválidos");
            sqlite3_bind_int(st, col, static_cast<int>(inteiro(v)));
            ++f;
            break;
        case 'c':
            if (!so_digitos(v) || v.size() > 12) return ruim(l, "código inválido");
            sqlite3_bind_int64(st, col, inteiro(v));
            ++f;
            break;
        case 'i':
            if (so_digitos(v) && v.size() <= 12)
                sqlite3_bind_int64(st, col, inteiro(v));
            else
                sqlite3_bind_null(st, col);
            ++f;
            break;
        case 't':
            sqlite3_bind_text(st, col, v.data(), static_cast<int>(v.size()), SQLITE_STATIC);
            ++f;
            break;
        case 'd': {
            const std::int32_t d = data_valida(v);
            if (d)
                sqlite3_bind_int(st, col, d);
            else
                sqlite3_bind_null(st, col);
            ++f;
            break;
        }
        case 'm': {
            std::string s = v;
            for (char& c : s)
                if (c == ',') c = '.';
            char* end = nullptr;
            const double x = s.empty() ? 0 : std::strtod(s.c_str(), &end);
            if (s.empty() || !end || *end)
                sqlite3_bind_null(st, col);
            else
                sqlite3_bind_double(st, col, x);
            ++f;
            break;
        }
        case 's':
            if (v == "S")
                sqlite3_bind_int(st, col, 1);
            else if (v == "N")
                sqlite3_bind_int(st, col, 0);
            else
                sqlite3_bind_null(st, col);
            ++f;
            break;
        case 'p': {
            // DDD and number side by side, as the services write them.
            std::string& a = campos_[f];
            a += campos_[f + 1];
            sqlite3_bind_text(st, col, a.data(), static_cast<int>(a.size()), SQLITE_STATIC);
            f += 2;
            break;
        }
        }
    }
    if (sqlite3_step(st) != SQLITE_DONE) {
        const std::string msg = sqlite3_errmsg(db_);
        sqlite3_reset(st);
        throw std::runtime_error("SQLite: " + msg);
    }
    sqlite3_reset(st);  // every column is bound again for the next row
    ++ok_;
}

}  // namespace sc::registro
