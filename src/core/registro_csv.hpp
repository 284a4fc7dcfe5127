// The Receita Federal's open CNPJ files: line parsing and loading into SQLite.
//
// Format: Latin-1, ';' separated, every field in double quotes, no header,
// LF (or CRLF) line ends. Fields are cleaned as they are read: NUL bytes
// dropped, runs of white space collapsed to one blank, blanks trimmed at the
// ends, a doubled quote read as one, Latin-1 turned into UTF-8. Dates
// (YYYYMMDD) become integers, 0 and impossible dates null; the share capital
// "1234,56" becomes a double; codes become integers. CNPJ roots and orders
// (digits or upper-case letters) are stored as base-36 integers, which keeps
// the keys eight bytes wide.
//
// A line that does not split into the table's field count, or whose CNPJ is
// not well formed, is skipped and reported with its line number. So is a line
// longer than kMaxLinha bytes, which is never held whole: only its start is
// kept for the report while the rest is skipped up to the next line end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace sc::registro {

// The tables of a release, by the name of their zips.
enum class Tabela : int {
    Empresas,
    Estabelecimentos,
    Socios,
    Simples,
    Cnaes,
    Motivos,
    Municipios,
    Naturezas,
    Paises,
    Qualificacoes,
};

// The table for a name ("Empresas", "Cnaes", ...); false for an unknown name.
bool tabela_por_nome(std::string_view nome, Tabela& out) noexcept;

// Base-36 value of [0-9A-Z] characters; -1 when a character is anything else.
std::int64_t base36(std::string_view s) noexcept;

// YYYYMMDD of a real calendar date as an integer; 0 for anything else.
std::int32_t data_valida(std::string_view s) noexcept;

// Splits one line (without its line end) into its quoted fields, cleaned
// into `campos` (reused between calls; `n` receives the count). Returns an
// empty string on success, else the reason the line is malformed.
const char* dividir_linha(std::string_view linha, std::vector<std::string>& campos, std::size_t& n);

struct LinhaRuim {
    std::uint64_t linha;   // 1-based, in the CSV member
    std::string motivo;    // Portuguese, for the log
    std::string trecho;    // the start of the line, UTF-8
};

// Loads the files of a release into an open SQLite database whose tables
// already exist (see the Python side for the schema). Not thread-safe: one
// thread at a time.
class Carga {
public:
    // Opens `caminho` for a bulk load: no journal, no sync, one transaction.
    explicit Carga(const std::string& caminho);
    ~Carga();
    Carga(const Carga&) = delete;
    Carga& operator=(const Carga&) = delete;

    void iniciar(Tabela t);
    // Feeds the next bytes of the current file; whole lines are loaded, the
    // rest waits for the next call.
    void alimentar(const char* dados, std::size_t n);
    // Ends the current file (a last line without LF counts).
    void terminar();
    // Commits and closes the database.
    void fechar();

    std::uint64_t linhas_ok() const noexcept { return ok_; }
    std::uint64_t linhas_ruins() const noexcept { return ruins_total_; }
    // The details of the skipped lines of the current file (capped).
    std::vector<LinhaRuim>& ruins() noexcept { return ruins_; }

    static constexpr std::size_t kMaxDetalhes = 10000;
    // The longest line loaded (real lines are a few hundred bytes).
    static constexpr std::size_t kMaxLinha = 1 << 20;

private:
    void linha(std::string_view l);
    void ruim(std::string_view l, const char* motivo);
    void longa(std::string_view inicio);
    void guardar_resto(const char* p, std::size_t n);
    void executar(const char* sql);

    sqlite3* db_ = nullptr;
    sqlite3_stmt* stmt_ = nullptr;
    Tabela tabela_ = Tabela::Empresas;
    std::size_t esperados_ = 0;
    std::string resto_;
    bool resto_longo_ = false;  // resto_ holds only the start of a line past kMaxLinha
    std::vector<std::string> campos_;
    std::uint64_t numero_ = 0;
    std::uint64_t ok_ = 0;
    std::uint64_t ruins_total_ = 0;
    std::vector<LinhaRuim> ruins_;
};

}  // namespace sc::registro
