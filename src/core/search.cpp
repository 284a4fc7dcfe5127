#include "search.hpp"

#include <algorithm>
#include <deque>

namespace sc::search {

namespace {
constexpr std::size_t kShortText = 1024;
}

Automaton::Automaton(const std::vector<std::string>& patterns) {
    // Byte classes: each byte used by a pattern gets its own class; the rest share 0.
    for (const auto& p : patterns)
        for (unsigned char b : p)
            if (!cls_[b]) cls_[b] = static_cast<std::uint8_t>(nclasses_++);
    const unsigned K = nclasses_;

    // Trie with -1 for missing edges.
    std::vector<std::int64_t> trie(K, -1);
    term_head_.push_back(-1);
    term_next_.assign(patterns.size(), -1);
    std::size_t states = 1;
    for (std::size_t i = 0; i < patterns.size(); ++i) {
        std::size_t s = 0;
        for (unsigned char b : patterns[i]) {
            const unsigned c = cls_[b];
            if (trie[s * K + c] < 0) {
                trie[s * K + c] = static_cast<std::int64_t>(states++);
                trie.resize(states * K, -1);
                term_head_.push_back(-1);
            }
            s = static_cast<std::size_t>(trie[s * K + c]);
        }
        if (term_head_[s] < 0) ++distinct_;
        term_next_[i] = term_head_[s];
        term_head_[s] = static_cast<std::int32_t>(i);
    }

    // Breadth-first: failure links folded into a full transition table.
    delta_.assign(states * K, 0);
    dict_link_.assign(states, 0);
    has_out_.assign(states, 0);
    std::vector<std::uint32_t> fail(states, 0);
    std::deque<std::uint32_t> q;
    for (unsigned c = 0; c < K; ++c) {
        const auto t = trie[c];
        if (t >= 0) {
            delta_[c] = static_cast<std::uint32_t>(t);
            fail[t] = 0;
            q.push_back(static_cast<std::uint32_t>(t));
        }
    }
    for (std::size_t s = 0; s < states; ++s) has_out_[s] = term_head_[s] >= 0;
    while (!q.empty()) {
        const std::uint32_t s = q.front();
        q.pop_front();
        const std::uint32_t f = fail[s];
        dict_link_[s] = term_head_[f] >= 0 ? f : dict_link_[f];
        if (dict_link_[s]) has_out_[s] = 1;
        for (unsigned c = 0; c < K; ++c) {
            const auto t = trie[static_cast<std::size_t>(s) * K + c];
            if (t >= 0) {
                fail[t] = delta_[static_cast<std::size_t>(f) * K + c];
                delta_[static_cast<std::size_t>(s) * K + c] = static_cast<std::uint32_t>(t);
                q.push_back(static_cast<std::uint32_t>(t));
            } else {
                delta_[static_cast<std::size_t>(s) * K + c] = delta_[static_cast<std::size_t>(f) * K + c];
            }
        }
    }
}

void Automaton::scan(std::string_view text, std::vector<char>& found) const {
    std::vector<char> pending = has_out_;  // states whose outputs are not all recorded yet
    std::size_t seen = 0;
    for (std::size_t s = 0; s < term_head_.size(); ++s)
        if (term_head_[s] >= 0 && found[term_head_[s]]) ++seen;  // empty pattern pre-marked
    if (seen >= distinct_) return;
    const unsigned K = nclasses_;
    const std::uint32_t* d = delta_.data();
    const char* pend = pending.data();
    std::uint32_t s = 0;
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* e = p + text.size();
    for (; p != e; ++p) {
        s = d[static_cast<std::size_t>(s) * K + cls_[*p]];
        if (!pend[s]) continue;
        for (std::uint32_t o = s; o; o = dict_link_[o]) {
            if (!pending[o]) break;
            pending[o] = 0;
            if (term_head_[o] >= 0) {
                if (!found[term_head_[o]]) ++seen;
                for (std::int32_t i = term_head_[o]; i >= 0; i = term_next_[i]) found[i] = 1;
            }
        }
        if (seen >= distinct_) return;
    }
}

void find_all(std::string_view text, const std::vector<std::string>& patterns, std::vector<char>& found) {
    found.assign(patterns.size(), 0);
    bool any = false;
    for (std::size_t i = 0; i < patterns.size(); ++i) {
        if (patterns[i].empty())
            found[i] = 1;
        else
            any = true;
    }
    if (!any) return;
    if (text.size() < kShortText || patterns.size() < 3) {
        for (std::size_t i = 0; i < patterns.size(); ++i)
            if (!found[i] && patterns[i].size() <= text.size()) found[i] = text.find(patterns[i]) != std::string_view::npos;
        return;
    }
    Automaton(patterns).scan(text, found);
}

}  // namespace sc::search
