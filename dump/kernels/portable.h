// The encoding kernel that runs everywhere, and the tail of every other: a
// table of each byte's three characters, one 4-byte store per byte, each
// overlapping the next, the last one 3 bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstring>

namespace hexencode {

// Every kernel writes exactly 3 * n characters to out and nothing else.
using kernel = void (*)(const unsigned char* in, std::size_t n, char* out);

inline constexpr char digits[] = "0123456789ABCDEF";

namespace detail {

// Each byte's text, and a fourth character that the next item overwrites.
constexpr std::array<std::array<char, 4>, 256> item_table() {
    std::array<std::array<char, 4>, 256> table{};
    for (std::size_t value = 0; value != table.size(); ++value) {
        table[value] = {digits[value >> 4], digits[value & 15], ' ', ' '};
    }
    return table;
}

inline constexpr std::array<std::array<char, 4>, 256> items = item_table();

} // namespace detail

inline void encode_portable(const unsigned char* in, std::size_t n, char* out) {
    if (n == 0) {
        return;
    }
    for (const unsigned char* last = in + n - 1; in != last; ++in, out += 3) {
        std::memcpy(out, detail::items[*in].data(), 4);
    }
    std::memcpy(out, detail::items[*in].data(), 3);
}

inline bool cpu_always() {
    return true;
}

} // namespace hexencode
