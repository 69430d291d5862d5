#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "pyglue/lengths.h"

namespace {

struct Case {
    std::ptrdiff_t n;
    bool fits;
};

TEST(Lengths, IntNarrowingRefusesWhatDoesNotFit)
{
    const std::ptrdiff_t int_max = std::numeric_limits<int>::max();
    const Case cases[] = {{0, true}, {1, true}, {int_max, true}, {int_max + 1, false},
                          {std::ptrdiff_t(1) << 32, false}, {(std::ptrdiff_t(1) << 32) + 16, false},
                          {-1, false}};
    for (const Case& c : cases) {
        auto narrowed = pyglue::to_int_length(c.n);
        EXPECT_EQ(narrowed.has_value(), c.fits) << c.n;
        if (narrowed) {
            EXPECT_EQ(*narrowed, c.n);
        }
    }
}

TEST(Lengths, U32NarrowingRefusesWhatDoesNotFit)
{
    const std::ptrdiff_t u32_max = std::numeric_limits<std::uint32_t>::max();
    const Case cases[] = {{0, true}, {u32_max, true}, {u32_max + 1, false},
                          {u32_max + 5, false}, {-1, false}};
    for (const Case& c : cases) {
        auto narrowed = pyglue::to_u32_length(c.n);
        EXPECT_EQ(narrowed.has_value(), c.fits) << c.n;
        if (narrowed) {
            EXPECT_EQ(*narrowed, static_cast<std::uint32_t>(c.n));
        }
    }
}

}  // namespace
