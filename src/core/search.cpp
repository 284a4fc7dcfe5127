#include "search.hpp"

#include <algorithm>
#include <unordered_map>

namespace sc::search {

namespace {
constexpr std::size_t kShortText = 2048;
constexpr int kStreams = 4;
}  // namespace

unsigned Automaton::wide_class(char32_t c) const {
    auto it = std::lower_bound(wide_.begin(), wide_.end(), std::make_pair(c, std::uint32_t{0}));
    return (it != wide_.end() && it->first == c) ? it->second : 0;
}

namespace {
constexpr std::uint32_t kNoState = 0xFFFFFFFFu;
}  // namespace

std::uint32_t Automaton::child(std::uint32_t state, std::uint32_t cls) const {
    const std::uint32_t* b = edge_class_.data() + edge_begin_[state];
    const std::uint32_t* e = edge_class_.data() + edge_begin_[state + 1];
    const std::uint32_t* it = std::lower_bound(b, e, cls);
    return (it != e && *it == cls) ? edge_to_[static_cast<std::size_t>(it - edge_class_.data())] : kNoState;
}

Automaton::Automaton(const std::vector<std::u32string>& patterns) {
    // Character classes: one per distinct code point of the patterns (0 for
    // every other). Wide code points are collected, then sorted once.
    std::vector<char32_t> wide;
    for (const auto& p : patterns) {
        maxlen_ = std::max(maxlen_, p.size());
        for (char32_t c : p) {
            if (c < 256) {
                if (!cls_[c]) cls_[c] = static_cast<std::uint16_t>(nclasses_++);
            } else {
                wide.push_back(c);
            }
        }
    }
    std::sort(wide.begin(), wide.end());
    wide.erase(std::unique(wide.begin(), wide.end()), wide.end());
    wide_.reserve(wide.size());
    for (char32_t c : wide) wide_.emplace_back(c, nclasses_++);
    const std::uint32_t K = nclasses_;
    auto class_of = [&](char32_t c) -> std::uint32_t { return c < 256 ? cls_[c] : wide_class(c); };

    // Trie, as edges (parent, class, child) found through a hash map.
    struct Edge {
        std::uint32_t from, cls, to;
    };
    std::vector<Edge> edges;
    std::unordered_map<std::uint64_t, std::uint32_t> children;
    std::vector<std::int32_t> head(1, -1);
    term_next_.assign(patterns.size(), -1);
    for (std::size_t i = 0; i < patterns.size(); ++i) {
        std::uint32_t s = 0;
        for (char32_t ch : patterns[i]) {
            const std::uint32_t c = class_of(ch);
            const auto [it, added] =
                children.try_emplace((std::uint64_t{s} << 32) | c, static_cast<std::uint32_t>(head.size()));
            if (added) {
                edges.push_back({s, c, it->second});
                head.push_back(-1);
            }
            s = it->second;
        }
        if (head[s] < 0) ++distinct_;
        term_next_[i] = head[s];
        head[s] = static_cast<std::int32_t>(i);
    }
    children = {};
    const std::size_t states = head.size();
    auto build_lists = [&](std::vector<Edge>& es) {
        std::sort(es.begin(), es.end(), [](const Edge& a, const Edge& b) {
            return a.from != b.from ? a.from < b.from : a.cls < b.cls;
        });
        edge_begin_.assign(states + 1, 0);
        for (const Edge& e : es) ++edge_begin_[e.from + 1];
        for (std::size_t s = 0; s < states; ++s) edge_begin_[s + 1] += edge_begin_[s];
        edge_class_.resize(es.size());
        edge_to_.resize(es.size());
        for (std::size_t k = 0; k < es.size(); ++k) {
            edge_class_[k] = es[k].cls;
            edge_to_[k] = es[k].to;
        }
    };
    build_lists(edges);

    // Breadth-first: failure links and the nearest suffix with output.
    std::vector<std::uint32_t> fail(states, 0), dict(states, 0), order;
    std::vector<char> has_out(states, 0);
    order.reserve(states);
    order.push_back(0);
    for (std::size_t q = 0; q < order.size(); ++q) {
        const std::uint32_t s = order[q];
        for (std::uint32_t k = edge_begin_[s]; k < edge_begin_[s + 1]; ++k) {
            const std::uint32_t c = edge_class_[k], t = edge_to_[k];
            std::uint32_t f = 0;
            if (s != 0) {
                f = fail[s];
                std::uint32_t next;
                while ((next = child(f, c)) == kNoState && f != 0) f = fail[f];
                f = next == kNoState ? 0 : next;
            }
            fail[t] = f;
            dict[t] = (f != 0 && head[f] >= 0) ? f : dict[f];
            has_out[t] = head[t] >= 0 || dict[t] != 0;
            order.push_back(t);
        }
    }

    // Renumber: states with output last, so the scan tests them by one compare.
    std::vector<std::uint32_t> id(states);
    std::uint32_t next = 0;
    for (std::size_t s = 0; s < states; ++s)
        if (!has_out[s] || s == 0) id[s] = next++;
    out_first_ = next;
    for (std::size_t s = 1; s < states; ++s)
        if (has_out[s]) id[s] = next++;
    term_head_.assign(states, -1);
    dict_link_.assign(states, 0);
    for (std::size_t s = 0; s < states; ++s) {
        term_head_[id[s]] = head[s];
        dict_link_[id[s]] = dict[s] ? id[dict[s]] : 0;
    }
    if (out_first_ == 0) out_first_ = 1;  // root never reports (the empty pattern is handled by the caller)

    dense_ = states <= kMaxDenseCells / K;
    if (dense_) {
        // Failure links folded into a full table, row by row in breadth-first
        // order (a state's failure row is always complete before its own).
        delta_.assign(states * K, 0);
        for (const std::uint32_t s : order) {
            std::uint32_t* row = delta_.data() + std::size_t{id[s]} * K;
            if (s != 0) {
                const std::uint32_t* frow = delta_.data() + std::size_t{id[fail[s]]} * K;
                std::copy(frow, frow + K, row);
            }
            for (std::uint32_t k = edge_begin_[s]; k < edge_begin_[s + 1]; ++k) row[edge_class_[k]] = id[edge_to_[k]] * K;
        }
        out_base_ = out_first_ * K;
        edge_begin_ = {};
        edge_class_ = {};
        edge_to_ = {};
        return;
    }

    // Edge lists under the new numbering, the root's transitions in full.
    for (Edge& e : edges) {
        e.from = id[e.from];
        e.to = id[e.to];
    }
    build_lists(edges);
    fail_.assign(states, 0);
    for (std::size_t s = 0; s < states; ++s) fail_[id[s]] = id[fail[s]];
    root_.assign(K, 0);
    for (std::uint32_t k = edge_begin_[0]; k < edge_begin_[1]; ++k) root_[edge_class_[k]] = edge_to_[k];
}

bool Automaton::report(std::uint32_t state, std::vector<char>& found, std::size_t& seen) const {
    for (std::uint32_t o = state; o; o = dict_link_[o]) {
        const std::int32_t h = term_head_[o];
        if (h >= 0 && !found[h]) {
            ++seen;
            for (std::int32_t i = h; i >= 0; i = term_next_[i]) found[i] = 1;
        }
    }
    return seen >= distinct_;
}

template <class CharT, class ClassOf>
void Automaton::run(const CharT* text, std::size_t n, ClassOf cls, std::vector<char>& found) const {
    std::size_t seen = 0;
    for (std::size_t s = 0; s < term_head_.size(); ++s)
        if (term_head_[s] >= 0 && found[term_head_[s]]) ++seen;
    if (seen >= distinct_) return;
    const std::uint32_t K = nclasses_;
    const std::uint32_t* d = delta_.data();
    const std::uint32_t base = out_base_;

    // Stream k scans [begin[k], end[k]); each starts early by maxlen-1 so a
    // match crossing into its quarter is still seen whole.
    std::size_t begin[kStreams], end[kStreams];
    const std::size_t quarter = (n + kStreams - 1) / kStreams;
    const std::size_t back = maxlen_ ? maxlen_ - 1 : 0;
    for (int k = 0; k < kStreams; ++k) {
        const std::size_t lo = std::min(n, k * quarter);
        begin[k] = lo > back ? lo - back : 0;
        end[k] = std::min(n, (k + 1) * quarter);
        if (begin[k] > end[k]) begin[k] = end[k];
    }
    std::uint32_t st[kStreams] = {0, 0, 0, 0};
    std::size_t common = end[0] - begin[0];
    for (int k = 1; k < kStreams; ++k) common = std::min(common, end[k] - begin[k]);
    const CharT* p0 = text + begin[0];
    const CharT* p1 = text + begin[1];
    const CharT* p2 = text + begin[2];
    const CharT* p3 = text + begin[3];
    for (std::size_t i = 0; i < common; ++i) {
        st[0] = d[st[0] + cls(p0[i])];
        st[1] = d[st[1] + cls(p1[i])];
        st[2] = d[st[2] + cls(p2[i])];
        st[3] = d[st[3] + cls(p3[i])];
        if ((st[0] >= base) | (st[1] >= base) | (st[2] >= base) | (st[3] >= base)) [[unlikely]] {
            for (int k = 0; k < kStreams; ++k)
                if (st[k] >= base && report(st[k] / K, found, seen)) return;
        }
    }
    for (int k = 0; k < kStreams; ++k) {
        std::uint32_t s = st[k];
        for (std::size_t i = begin[k] + common; i < end[k]; ++i) {
            s = d[s + cls(text[i])];
            if (s >= base && report(s / K, found, seen)) return;
        }
    }
}

template <class CharT, class ClassOf>
void Automaton::run_sparse(const CharT* text, std::size_t n, ClassOf cls, std::vector<char>& found) const {
    std::size_t seen = 0;
    for (std::size_t s = 0; s < term_head_.size(); ++s)
        if (term_head_[s] >= 0 && found[term_head_[s]]) ++seen;
    if (seen >= distinct_) return;
    std::uint32_t s = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t c = cls(text[i]);
        if (c == 0) {  // a character no pattern has: every partial match ends
            s = 0;
            continue;
        }
        for (;;) {
            if (s == 0) {
                s = root_[c];
                break;
            }
            const std::uint32_t t = child(s, c);
            if (t != kNoState) {
                s = t;
                break;
            }
            s = fail_[s];
        }
        if (s >= out_first_ && report(s, found, seen)) return;
    }
}

template <class CharT, class ClassOf>
void Automaton::dispatch(const CharT* text, std::size_t n, ClassOf cls, std::vector<char>& found) const {
    if (dense_)
        run(text, n, cls, found);
    else
        run_sparse(text, n, cls, found);
}

void Automaton::scan(const std::uint8_t* text, std::size_t n, const std::uint8_t* byte_map,
                     std::vector<char>& found) const {
    std::uint16_t table[256];
    for (unsigned b = 0; b < 256; ++b) table[b] = cls_[byte_map ? byte_map[b] : b];
    dispatch(text, n, [&table](std::uint8_t c) -> std::uint32_t { return table[c]; }, found);
}

void Automaton::scan(const char32_t* text, std::size_t n, std::vector<char>& found) const {
    if (wide_.empty())
        dispatch(text, n, [this](char32_t c) -> std::uint32_t { return c < 256 ? cls_[c] : 0; }, found);
    else
        dispatch(text, n, [this](char32_t c) -> std::uint32_t { return c < 256 ? cls_[c] : wide_class(c); }, found);
}

namespace {

bool prepare(const std::vector<std::u32string>& patterns, std::vector<char>& found) {
    found.assign(patterns.size(), 0);
    bool any = false;
    for (std::size_t i = 0; i < patterns.size(); ++i) {
        if (patterns[i].empty())
            found[i] = 1;
        else
            any = true;
    }
    return any;
}

template <class CharT, class Map>
void find_short(const CharT* text, std::size_t n, Map map, const std::vector<std::u32string>& patterns,
                std::vector<char>& found) {
    for (std::size_t i = 0; i < patterns.size(); ++i) {
        const std::u32string& p = patterns[i];
        if (found[i] || p.size() > n) continue;
        const std::size_t last = n - p.size();
        for (std::size_t at = 0; at <= last; ++at) {
            if (map(text[at]) != p[0]) continue;
            std::size_t k = 1;
            while (k < p.size() && map(text[at + k]) == p[k]) ++k;
            if (k == p.size()) {
                found[i] = 1;
                break;
            }
        }
    }
}

}  // namespace

void find_all(const std::uint8_t* text, std::size_t n, const std::uint8_t* byte_map,
              const std::vector<std::u32string>& patterns, std::vector<char>& found) {
    if (!prepare(patterns, found)) return;
    if (n < kShortText) {
        if (byte_map)
            find_short(text, n, [byte_map](std::uint8_t c) -> char32_t { return byte_map[c]; }, patterns, found);
        else
            find_short(text, n, [](std::uint8_t c) -> char32_t { return c; }, patterns, found);
        return;
    }
    Automaton(patterns).scan(text, n, byte_map, found);
}

void find_all(const char32_t* text, std::size_t n, const std::vector<std::u32string>& patterns,
              std::vector<char>& found) {
    if (!prepare(patterns, found)) return;
    if (n < kShortText) {
        find_short(text, n, [](char32_t c) { return c; }, patterns, found);
        return;
    }
    Automaton(patterns).scan(text, n, found);
}

}  // namespace sc::search
