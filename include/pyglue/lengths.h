// Narrowing of object lengths to the C widths the modules work in. A length
// that does not fit is refused, never cut to its low bits.
#pragma once
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>

namespace pyglue {

inline std::optional<int> to_int_length(std::ptrdiff_t n)
{
    if (n < 0 || n > std::numeric_limits<int>::max())
        return std::nullopt;
    return static_cast<int>(n);
}

inline std::optional<std::uint32_t> to_u32_length(std::ptrdiff_t n)
{
    if (n < 0 || static_cast<std::uint64_t>(n) > std::numeric_limits<std::uint32_t>::max())
        return std::nullopt;
    return static_cast<std::uint32_t>(n);
}

}  // namespace pyglue
