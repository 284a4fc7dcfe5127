#include "page_search.hpp"

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>

#include "unicode.hpp"

namespace sc::pages {

namespace {
#include "casefold_table.inc"

// Latin-1 characters whose case fold is not their lower-case form: the
// sharp s (folds to "ss") and the micro sign (folds to Greek mu).
constexpr std::uint8_t kSharpS = 0xDF;
constexpr std::uint8_t kMicro = 0xB5;

const CaseFold* find_fold(char32_t c) noexcept {
    const CaseFold* end = kCaseFold + std::size(kCaseFold);
    const CaseFold* it = std::lower_bound(kCaseFold, end, c, [](const CaseFold& e, char32_t v) { return e.cp < v; });
    return (it != end && it->cp == c) ? it : nullptr;
}
}  // namespace

void casefold_lowered(const std::u32string& lowered, std::u32string& out) {
    out.reserve(out.size() + lowered.size());
    for (char32_t c : lowered) {
        if (c < 0x80) {
            out.push_back(c >= 'A' && c <= 'Z' ? c + 32 : c);
            continue;
        }
        const CaseFold* f = find_fold(c);
        if (f)
            out.append(f->to, f->len);
        else
            out.push_back(c);
    }
}

KeywordCounter::KeywordCounter(const std::vector<std::u32string>& keywords) {
    // Classes: one per distinct code point of the keywords, 0 for any other.
    std::map<char32_t, std::uint32_t> classes;
    for (const auto& k : keywords)
        for (char32_t c : k) classes.emplace(c, 0);
    for (auto& [c, id] : classes) {
        id = nclasses_++;
        if (c < 256)
            cls_[c] = id;
        else
            wide_.emplace_back(c, id);
    }
    const std::uint8_t* fold1 = uni::latin1_fold_table();
    for (unsigned b = 0; b < 256; ++b) raw_cls_[b] = cls_[fold1[b]];

    // Trie.
    const std::uint32_t K = nclasses_;
    std::vector<std::vector<std::uint32_t>> ends(1);  // patterns ending exactly at a state
    delta_.assign(K, 0);
    auto cls_of = [&](char32_t c) { return c < 256 ? cls_[c] : wide_class(c); };
    for (std::uint32_t p = 0; p < keywords.size(); ++p) {
        std::uint32_t s = 0;
        for (char32_t c : keywords[p]) {
            std::uint32_t& next = delta_[s * K + cls_of(c)];
            if (next == 0) {
                next = static_cast<std::uint32_t>(ends.size());
                ends.emplace_back();
                delta_.resize(delta_.size() + K, 0);
            }
            s = delta_[s * K + cls_of(c)];
        }
        ends[s].push_back(p);
        lengths_.push_back(static_cast<std::uint32_t>(keywords[p].size()));
    }
    // Failure links, breadth first, turning the trie into a full DFA; each
    // state's outputs include those of its failure state.
    const std::size_t nstates = ends.size();
    std::vector<std::uint32_t> fail(nstates, 0);
    std::vector<std::vector<std::uint32_t>> outs(nstates);
    outs[0] = ends[0];
    std::deque<std::uint32_t> queue;
    for (std::uint32_t a = 0; a < K; ++a)
        if (std::uint32_t t = delta_[a]) {
            fail[t] = 0;
            queue.push_back(t);
        }
    while (!queue.empty()) {
        const std::uint32_t s = queue.front();
        queue.pop_front();
        outs[s] = ends[s];
        outs[s].insert(outs[s].end(), outs[fail[s]].begin(), outs[fail[s]].end());
        for (std::uint32_t a = 0; a < K; ++a) {
            std::uint32_t& t = delta_[s * K + a];
            if (t) {
                fail[t] = delta_[fail[s] * K + a];
                queue.push_back(t);
            } else {
                t = delta_[fail[s] * K + a];
            }
        }
    }
    out_begin_.push_back(0);
    for (const auto& o : outs) {
        out_.insert(out_.end(), o.begin(), o.end());
        out_begin_.push_back(static_cast<std::uint32_t>(out_.size()));
    }
    next_free_.assign(keywords.size(), 0);
    // Premultiply the targets so that the scan needs no multiplication.
    has_out_.assign(delta_.size(), 0);
    for (std::size_t st = 0; st < nstates; ++st) has_out_[st * K] = !outs[st].empty();
    for (auto& t : delta_) t *= K;
}

std::uint32_t KeywordCounter::wide_class(char32_t c) const {
    auto it = std::lower_bound(wide_.begin(), wide_.end(), c, [](const auto& e, char32_t v) { return e.first < v; });
    return (it != wide_.end() && it->first == c) ? it->second : 0;
}

template <class CharT, class ClassOf>
std::size_t KeywordCounter::run(const CharT* text, std::size_t n, ClassOf cls) {
    std::fill(next_free_.begin(), next_free_.end(), 0);
    const std::uint32_t* delta = delta_.data();
    const std::uint8_t* has_out = has_out_.data();
    std::size_t total = 0;
    std::uint32_t s = 0;  // premultiplied: state * nclasses_
    for (std::size_t i = 0; i < n; ++i) {
        s = delta[s + cls(text[i])];
        if (!has_out[s]) continue;
        // A pattern counts when it starts at or after the end of its last
        // counted occurrence: str.count's non-overlapping rule.
        const std::uint32_t state = s / nclasses_;
        for (std::uint32_t j = out_begin_[state]; j < out_begin_[state + 1]; ++j) {
            const std::uint32_t p = out_[j];
            const std::size_t start = i + 1 - lengths_[p];
            if (start >= next_free_[p]) {
                ++total;
                next_free_[p] = i + 1;
            }
        }
    }
    return total;
}

std::size_t KeywordCounter::count_folded(const std::u32string& folded) {
    return run(folded.data(), folded.size(), [this](char32_t c) { return c < 256 ? cls_[c] : wide_class(c); });
}

std::size_t KeywordCounter::count(const std::uint8_t* page, std::size_t n) {
    if (std::memchr(page, kSharpS, n) || std::memchr(page, kMicro, n)) {
        lowered_.clear();
        folded_.clear();
        uni::fold(page, n, lowered_);
        casefold_lowered(lowered_, folded_);
        return count_folded(folded_);
    }
    // Every other Latin-1 character folds to one Latin-1 character: fold
    // and classify each byte through one table.
    return run(page, n, [this](std::uint8_t b) { return raw_cls_[b]; });
}

std::size_t KeywordCounter::count(const std::uint16_t* page, std::size_t n) {
    lowered_.clear();
    folded_.clear();
    uni::fold(page, n, lowered_);
    casefold_lowered(lowered_, folded_);
    return count_folded(folded_);
}

std::size_t KeywordCounter::count(const char32_t* page, std::size_t n) {
    lowered_.clear();
    folded_.clear();
    uni::fold(page, n, lowered_);
    casefold_lowered(lowered_, folded_);
    return count_folded(folded_);
}

}  // namespace sc::pages
