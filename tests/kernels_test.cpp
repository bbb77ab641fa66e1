// Every encoding kernel the CPU supports, against the portable one.
#include "harness.h"
#include "hexencode.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>

namespace hexencode {

void PrintTo(const implementation& impl, std::ostream* out) {
    *out << impl.name;
}

} // namespace hexencode

namespace {

using hexencode::implementation;

class Kernel : public ::testing::TestWithParam<implementation> {
  protected:
    void SetUp() override {
        if (!GetParam().supported()) {
            GTEST_SKIP() << GetParam().name << " is not supported by this CPU";
        }
    }
};

TEST_P(Kernel, MatchesPortableAtEveryLengthAndAlignment) {
    constexpr std::size_t max_length = 300;
    constexpr std::size_t alignments = 64;
    constexpr char sentinel = '#';
    const std::string bytes = harness::random_bytes(max_length, 12345);
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    std::string want(3 * max_length, '\0');
    hexencode::encode_portable(data, max_length, want.data());

    alignas(64) unsigned char in[max_length + alignments];
    alignas(64) char out[3 * max_length + 2 * alignments];
    for (std::size_t in_offset = 0; in_offset < alignments; ++in_offset) {
        std::memcpy(in + in_offset, data, max_length);
        for (std::size_t out_offset = 0; out_offset < alignments; ++out_offset) {
            for (std::size_t n = 0; n <= max_length; ++n) {
                std::memset(out, sentinel, sizeof out);
                GetParam().encode(in + in_offset, n, out + out_offset);
                const std::string_view text(out, sizeof out);
                const bool exact =
                    text.substr(out_offset, 3 * n) == std::string_view(want).substr(0, 3 * n) &&
                    text.find_first_not_of(sentinel) ==
                        (n == 0 ? std::string_view::npos : out_offset) &&
                    text.find_first_not_of(sentinel, out_offset + 3 * n) == std::string_view::npos;
                ASSERT_TRUE(exact) << "length " << n << ", input offset " << in_offset
                                   << ", output offset " << out_offset;
            }
        }
    }
}

// All but the last, the portable kernel itself; a target may have no other.
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(Kernel);
INSTANTIATE_TEST_SUITE_P(Simd, Kernel,
                         ::testing::ValuesIn(std::begin(hexencode::implementations),
                                             std::end(hexencode::implementations) - 1),
                         [](const auto& info) { return std::string(info.param.name); });

// Every byte value, in the middle of a run and last in it, and nothing
// written past the text.
TEST(Portable, MatchesThePrintfFormat) {
    for (int first = 0; first < 256; ++first) {
        unsigned char bytes[256];
        std::string want;
        char item[4];
        for (int i = 0; i < 256; ++i) {
            bytes[i] = static_cast<unsigned char>(first + i);
            (void)std::snprintf(item, sizeof item, "%02X ", bytes[i]);
            want += item;
        }
        std::string got(3 * 256 + 1, '#');
        hexencode::encode_portable(bytes, 256, got.data());
        ASSERT_EQ(got, want + "#") << "starting at " << first;
    }
}

} // namespace
