// Encoding of bytes as "%02X " text: a scalar kernel that runs everywhere,
// SIMD kernels for SSSE3 and AVX2 on x86-64 and for NEON on aarch64, and the
// choice of the fastest one the CPU runs.
#pragma once

#if defined(__x86_64__)
#include <immintrin.h>
#elif defined(__aarch64__)
#include <arm_neon.h>
#endif

#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>

namespace hexencode {

// Every kernel writes exactly 3 * n characters to out and nothing else.
using kernel = void (*)(const unsigned char* in, std::size_t n, char* out);

inline constexpr char digits[] = "0123456789ABCDEF";

inline void encode_scalar(const unsigned char* in, std::size_t n, char* out) {
    for (std::size_t i = 0; i < n; ++i) {
        out[3 * i] = digits[in[i] >> 4];
        out[3 * i + 1] = digits[in[i] & 15];
        out[3 * i + 2] = ' ';
    }
}

inline bool cpu_always() {
    return true;
}

#if defined(__x86_64__)

namespace detail {

// A shuffle control for the 16-byte kernels. The source register holds the
// digit pairs (high, low) of consecutive input bytes, starting with input
// byte first_byte of the group of 16. Each of the 16 lanes of output vector
// 'part' of the 48-character group takes its digit from there; the space
// lanes get 0x80, which the shuffle turns into zero.
constexpr std::array<char, 16> pair_shuffle(int part, int first_byte) {
    std::array<char, 16> control{};
    for (int lane = 0; lane < 16; ++lane) {
        const int pos = 16 * part + lane;
        const int role = pos % 3;
        control[lane] = role == 2 ? char(0x80) : char(2 * (pos / 3 - first_byte) + role);
    }
    return control;
}

// The space characters of output vector 'part' of a 48-character group.
constexpr std::array<char, 16> pair_spaces(int part) {
    std::array<char, 16> spaces{};
    for (int lane = 0; lane < 16; ++lane) {
        spaces[lane] = (16 * part + lane) % 3 == 2 ? ' ' : 0;
    }
    return spaces;
}

// The three output vectors of a 48-character group take their digits from
// registers of digit pairs that start at input bytes 0 (bytes 0-7, the low
// unpack), 5 (bytes 5-10, the byte-align of the two unpacks by five pairs)
// and 8 (bytes 8-15, the high unpack).
inline constexpr int middle_first_byte = 5;
inline constexpr int middle_align = 2 * middle_first_byte;
inline constexpr std::array<std::array<char, 16>, 3> shuffles = {
    pair_shuffle(0, 0), pair_shuffle(1, middle_first_byte), pair_shuffle(2, 8)};
inline constexpr std::array<std::array<char, 16>, 3> spaces = {pair_spaces(0), pair_spaces(1),
                                                               pair_spaces(2)};

} // namespace detail

// 16 input bytes become two registers of digit pairs (bytes 0-7 and 8-15);
// the 48 output characters are three shuffles of those, with spaces or-ed in.
// The middle vector needs bytes 5-10, which the byte-align of the two supplies.
// (detail::shuffles names where each starts.)
__attribute__((target("ssse3"))) inline void encode_ssse3(const unsigned char* in, std::size_t n,
                                                          char* out) {
    const __m128i lut = _mm_loadu_si128(reinterpret_cast<const __m128i*>(digits));
    const __m128i low_nibbles = _mm_set1_epi8(0x0f);
    __m128i shuffle[3];
    __m128i space[3];
    for (int part = 0; part < 3; ++part) {
        shuffle[part] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&detail::shuffles[part]));
        space[part] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&detail::spaces[part]));
    }
    for (; n >= 16; n -= 16, in += 16, out += 48) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
        const __m128i high =
            _mm_shuffle_epi8(lut, _mm_and_si128(_mm_srli_epi16(bytes, 4), low_nibbles));
        const __m128i low = _mm_shuffle_epi8(lut, _mm_and_si128(bytes, low_nibbles));
        const __m128i first = _mm_unpacklo_epi8(high, low);
        const __m128i second = _mm_unpackhi_epi8(high, low);
        const __m128i middle = _mm_alignr_epi8(second, first, detail::middle_align);
        __m128i* dst = reinterpret_cast<__m128i*>(out);
        _mm_storeu_si128(dst, _mm_or_si128(_mm_shuffle_epi8(first, shuffle[0]), space[0]));
        _mm_storeu_si128(dst + 1, _mm_or_si128(_mm_shuffle_epi8(middle, shuffle[1]), space[1]));
        _mm_storeu_si128(dst + 2, _mm_or_si128(_mm_shuffle_epi8(second, shuffle[2]), space[2]));
    }
    encode_scalar(in, n, out);
}

// The SSSE3 method on both 128-bit lanes at once (input bytes 0-15 and
// 16-31), then the six 16-character results put back in order.
__attribute__((target("avx2"))) inline void encode_avx2(const unsigned char* in, std::size_t n,
                                                        char* out) {
    const __m256i lut =
        _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(digits)));
    const __m256i low_nibbles = _mm256_set1_epi8(0x0f);
    __m256i shuffle[3];
    __m256i space[3];
    for (int part = 0; part < 3; ++part) {
        shuffle[part] = _mm256_broadcastsi128_si256(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(&detail::shuffles[part])));
        space[part] = _mm256_broadcastsi128_si256(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(&detail::spaces[part])));
    }
    for (; n >= 32; n -= 32, in += 32, out += 96) {
        const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in));
        const __m256i high =
            _mm256_shuffle_epi8(lut, _mm256_and_si256(_mm256_srli_epi16(bytes, 4), low_nibbles));
        const __m256i low = _mm256_shuffle_epi8(lut, _mm256_and_si256(bytes, low_nibbles));
        const __m256i first = _mm256_unpacklo_epi8(high, low);
        const __m256i second = _mm256_unpackhi_epi8(high, low);
        const __m256i middle = _mm256_alignr_epi8(second, first, detail::middle_align);
        const __m256i a = _mm256_or_si256(_mm256_shuffle_epi8(first, shuffle[0]), space[0]);
        const __m256i b = _mm256_or_si256(_mm256_shuffle_epi8(middle, shuffle[1]), space[1]);
        const __m256i c = _mm256_or_si256(_mm256_shuffle_epi8(second, shuffle[2]), space[2]);
        __m256i* dst = reinterpret_cast<__m256i*>(out);
        _mm256_storeu_si256(dst, _mm256_permute2x128_si256(a, b, 0x20));
        _mm256_storeu_si256(dst + 1, _mm256_permute2x128_si256(c, a, 0x30));
        _mm256_storeu_si256(dst + 2, _mm256_permute2x128_si256(b, c, 0x31));
    }
    encode_scalar(in, n, out);
}

inline bool cpu_ssse3() {
    return __builtin_cpu_supports("ssse3");
}

inline bool cpu_avx2() {
    return __builtin_cpu_supports("avx2");
}

#endif // __x86_64__

#if defined(__aarch64__)

// 16 input bytes: a table lookup each for the high and the low digits, and
// one store that interleaves them with a vector of spaces, three lanes to a
// byte. Advanced SIMD is part of every aarch64 CPU.
inline void encode_neon(const unsigned char* in, std::size_t n, char* out) {
    const uint8x16_t lut = vld1q_u8(reinterpret_cast<const std::uint8_t*>(digits));
    const uint8x16_t low_nibbles = vdupq_n_u8(0x0f);
    uint8x16x3_t text;
    text.val[2] = vdupq_n_u8(' ');
    for (; n >= 16; n -= 16, in += 16, out += 48) {
        const uint8x16_t bytes = vld1q_u8(in);
        text.val[0] = vqtbl1q_u8(lut, vshrq_n_u8(bytes, 4));
        text.val[1] = vqtbl1q_u8(lut, vandq_u8(bytes, low_nibbles));
        vst3q_u8(reinterpret_cast<std::uint8_t*>(out), text);
    }
    encode_scalar(in, n, out);
}

#endif // __aarch64__

struct implementation {
    const char* name;
    kernel encode;
    bool (*supported)();
};

// Fastest first, as the kernels' benchmark ranks them at the block sizes
// hexshow uses (16 and 128 KiB: bench/README.md), for the target built; the
// scalar kernel runs everywhere and ends each list.
inline constexpr implementation implementations[] = {
#if defined(__x86_64__)
    {"avx2", encode_avx2, cpu_avx2},
    {"ssse3", encode_ssse3, cpu_ssse3},
#elif defined(__aarch64__)
    {"neon", encode_neon, cpu_always},
#endif
    {"scalar", encode_scalar, cpu_always},
};

// The fastest implementation this CPU supports, from one reading of CPUID.
inline const implementation& best() {
#if defined(__x86_64__)
    __builtin_cpu_init();
#endif
    for (const implementation& impl : implementations) {
        if (impl.supported()) {
            return impl;
        }
    }
    return implementations[std::size(implementations) - 1];
}

} // namespace hexencode
