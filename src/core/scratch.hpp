// Working buffers kept from call to call (one per thread), so that ordinary
// inputs allocate nothing. A buffer that grew past kScratchKeepBytes is given
// back when the call ends: one huge input must not pin its peak for the life
// of the thread.
#pragma once

#include <cstddef>
#include <tuple>

namespace sc {

inline constexpr std::size_t kScratchKeepBytes = std::size_t{1} << 20;

template <class Buffer>
void release_if_large(Buffer& b) noexcept {
    if (b.capacity() * sizeof(typename Buffer::value_type) > kScratchKeepBytes) Buffer().swap(b);
}

// Releases the given buffers (those past the limit) at the end of a scope.
template <class... Buffers>
class ScratchScope {
public:
    explicit ScratchScope(Buffers&... b) noexcept : buffers_(b...) {}
    ~ScratchScope() {
        std::apply([](auto&... b) { (release_if_large(b), ...); }, buffers_);
    }
    ScratchScope(const ScratchScope&) = delete;
    ScratchScope& operator=(const ScratchScope&) = delete;

private:
    std::tuple<Buffers&...> buffers_;
};

}  // namespace sc
