// A kernel in GCC's generic vectors, for the targets whose byte permute it
// reaches: ppc64el (VSX, in Debian's POWER8 baseline) and s390x (the vector
// facility of z13 and later, not in Debian's baseline: compiled for it and
// taken only where the auxiliary vector reports it).
#pragma once

#include "portable.h"

#include <array>

#if defined(__s390x__)
#include <sys/auxv.h>
#define HEXENCODE_VECTOR_TARGET __attribute__((target("arch=z13")))
#else
#define HEXENCODE_VECTOR_TARGET
#endif

namespace hexencode {

namespace detail {

using u8x16 = unsigned char __attribute__((vector_size(16)));

// For output vector 'part' of a 48-character group: from which of the
// digit vectors (high 0-15, low 16-31) each lane takes its digit, and which
// lanes keep it (the others are spaces).
constexpr std::array<unsigned char, 16> vector_pick(int part) {
    std::array<unsigned char, 16> pick{};
    for (int lane = 0; lane < 16; ++lane) {
        const int pos = 16 * part + lane;
        pick[lane] = static_cast<unsigned char>((pos % 3 == 1 ? 16 : 0) + pos / 3);
    }
    return pick;
}

constexpr std::array<unsigned char, 16> vector_keep(int part) {
    std::array<unsigned char, 16> keep{};
    for (int lane = 0; lane < 16; ++lane) {
        keep[lane] = (16 * part + lane) % 3 == 2 ? 0 : 0xff;
    }
    return keep;
}

inline constexpr std::array<std::array<unsigned char, 16>, 3> vector_picks = {
    vector_pick(0), vector_pick(1), vector_pick(2)};
inline constexpr std::array<std::array<unsigned char, 16>, 3> vector_keeps = {
    vector_keep(0), vector_keep(1), vector_keep(2)};

} // namespace detail

// 16 input bytes: the high and low digits by permuting the digit table,
// then three two-vector permutes place them, and the spaces are or-ed in.
// (__builtin_memcpy: a fortified memcpy is compiled for the baseline and
// cannot be inlined into code compiled for more.)
HEXENCODE_VECTOR_TARGET inline void encode_vector(const unsigned char* in, std::size_t n,
                                                  char* out) {
    using detail::u8x16;
    u8x16 lut;
    u8x16 pick[3];
    u8x16 keep[3];
    __builtin_memcpy(&lut, digits, sizeof lut);
    __builtin_memcpy(&pick, detail::vector_picks.data(), sizeof pick);
    __builtin_memcpy(&keep, detail::vector_keeps.data(), sizeof keep);
    for (; n >= 16; n -= 16, in += 16, out += 48) {
        u8x16 bytes;
        __builtin_memcpy(&bytes, in, sizeof bytes);
        const u8x16 high = __builtin_shuffle(lut, bytes >> 4);
        const u8x16 low = __builtin_shuffle(lut, bytes & 15);
        const u8x16 text[3] = {
            (__builtin_shuffle(high, low, pick[0]) & keep[0]) | (~keep[0] & ' '),
            (__builtin_shuffle(high, low, pick[1]) & keep[1]) | (~keep[1] & ' '),
            (__builtin_shuffle(high, low, pick[2]) & keep[2]) | (~keep[2] & ' '),
        };
        __builtin_memcpy(out, text, sizeof text);
    }
    encode_portable(in, n, out);
}

inline bool cpu_vector() {
#if defined(__s390x__)
    return (getauxval(AT_HWCAP) & HWCAP_S390_VX) != 0;
#else
    return true;
#endif
}

} // namespace hexencode

#undef HEXENCODE_VECTOR_TARGET
