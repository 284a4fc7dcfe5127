#include "search.hpp"

#include <algorithm>
#include <deque>

namespace sc::search {

namespace {
constexpr std::size_t kShortText = 2048;
constexpr int kStreams = 4;
}  // namespace

unsigned Automaton::wide_class(char32_t c) const {
    auto it = std::lower_bound(wide_.begin(), wide_.end(), std::make_pair(c, std::uint32_t{0}));
    return (it != wide_.end() && it->first == c) ? it->second : 0;
}

Automaton::Automaton(const std::vector<std::u32string>& patterns) {
    for (const auto& p : patterns) {
        maxlen_ = std::max(maxlen_, p.size());
        for (char32_t c : p) {
            if (c < 256) {
                if (!cls_[c]) cls_[c] = static_cast<std::uint8_t>(nclasses_++);
            } else if (!wide_class(c)) {
                wide_.emplace_back(c, nclasses_++);
                std::sort(wide_.begin(), wide_.end());
            }
        }
    }
    const std::uint32_t K = nclasses_;
    auto class_of = [&](char32_t c) -> std::uint32_t { return c < 256 ? cls_[c] : wide_class(c); };

    // Trie, -1 for a missing edge.
    std::vector<std::int64_t> trie(K, -1);
    std::vector<std::int32_t> head(1, -1);
    term_next_.assign(patterns.size(), -1);
    for (std::size_t i = 0; i < patterns.size(); ++i) {
        std::size_t s = 0;
        for (char32_t ch : patterns[i]) {
            const std::uint32_t c = class_of(ch);
            if (trie[s * K + c] < 0) {
                trie[s * K + c] = static_cast<std::int64_t>(head.size());
                head.push_back(-1);
                trie.resize(head.size() * K, -1);
            }
            s = static_cast<std::size_t>(trie[s * K + c]);
        }
        if (head[s] < 0) ++distinct_;
        term_next_[i] = head[s];
        head[s] = static_cast<std::int32_t>(i);
    }
    const std::size_t states = head.size();

    // Breadth-first: failure links folded into a full transition table.
    std::vector<std::uint32_t> go(states * K, 0), fail(states, 0), dict(states, 0);
    std::vector<char> has_out(states, 0);
    std::deque<std::uint32_t> q;
    for (std::uint32_t c = 0; c < K; ++c)
        if (trie[c] >= 0) {
            go[c] = static_cast<std::uint32_t>(trie[c]);
            q.push_back(go[c]);
        }
    while (!q.empty()) {
        const std::uint32_t s = q.front();
        q.pop_front();
        const std::uint32_t f = fail[s];
        dict[s] = (f != 0 && head[f] >= 0) ? f : dict[f];
        has_out[s] = head[s] >= 0 || dict[s] != 0;
        for (std::uint32_t c = 0; c < K; ++c) {
            const auto t = trie[std::size_t{s} * K + c];
            if (t >= 0) {
                fail[t] = go[std::size_t{f} * K + c];
                go[std::size_t{s} * K + c] = static_cast<std::uint32_t>(t);
                q.push_back(static_cast<std::uint32_t>(t));
            } else {
                go[std::size_t{s} * K + c] = go[std::size_t{f} * K + c];
            }
        }
    }

    // Renumber: states with output last, so the scan tests them by one compare.
    std::vector<std::uint32_t> id(states);
    std::uint32_t next = 0;
    for (std::size_t s = 0; s < states; ++s)
        if (!has_out[s] || s == 0) id[s] = next++;
    out_base_ = next * K;
    for (std::size_t s = 1; s < states; ++s)
        if (has_out[s]) id[s] = next++;
    delta_.assign(states * K, 0);
    term_head_.assign(states, -1);
    dict_link_.assign(states, 0);
    for (std::size_t s = 0; s < states; ++s) {
        for (std::uint32_t c = 0; c < K; ++c) delta_[std::size_t{id[s]} * K + c] = id[go[s * K + c]] * K;
        term_head_[id[s]] = head[s];
        dict_link_[id[s]] = dict[s] ? id[dict[s]] : 0;
    }
    if (out_base_ == 0) out_base_ = 1;  // root never reports (the empty pattern is handled by the caller)
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

void Automaton::scan(const std::uint8_t* text, std::size_t n, const std::uint8_t* byte_map,
                     std::vector<char>& found) const {
    std::uint8_t table[256];
    for (unsigned b = 0; b < 256; ++b) table[b] = cls_[byte_map ? byte_map[b] : b];
    run(text, n, [&table](std::uint8_t c) -> std::uint32_t { return table[c]; }, found);
}

void Automaton::scan(const char32_t* text, std::size_t n, std::vector<char>& found) const {
    if (wide_.empty())
        run(text, n, [this](char32_t c) -> std::uint32_t { return c < 256 ? cls_[c] : 0; }, found);
    else
        run(text, n, [this](char32_t c) -> std::uint32_t { return c < 256 ? cls_[c] : wide_class(c); }, found);
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
