// The x86 kernels, for x86-64 and i386 alike, each compiled for the
// instructions it needs and taken only where CPUID reports them.
#pragma once

#include "portable.h"

#include <immintrin.h>

#include <array>
#include <cstdint>

namespace hexencode {

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
    encode_portable(in, n, out);
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
    encode_portable(in, n, out);
}

inline bool cpu_ssse3() {
    return __builtin_cpu_supports("ssse3");
}

inline bool cpu_avx2() {
    return __builtin_cpu_supports("avx2");
}

// AVX-512 VBMI, 64 input bytes: two byte permutes look up the high and low
// digits (the table repeats every 16 lanes, so only the low nibble of each
// index counts, and no masking is needed), and one two-table permute per 64
// output characters places them; its control holds the spaces itself,
// which the mask keeps. (Its 256-bit form, with AVX-512 VL, measured slower.)
namespace detail {

constexpr std::array<char, 64> vbmi_control(int part) {
    std::array<char, 64> control{};
    for (int lane = 0; lane < 64; ++lane) {
        const int pos = 64 * part + lane;
        const int role = pos % 3;
        control[lane] = role == 2 ? ' ' : char(role * 64 + pos / 3);
    }
    return control;
}

constexpr std::uint64_t vbmi_digits(int part) {
    std::uint64_t mask = 0;
    for (int lane = 0; lane < 64; ++lane) {
        mask |= ((64 * part + lane) % 3 != 2 ? std::uint64_t{1} : 0) << lane;
    }
    return mask;
}

inline constexpr std::array<std::array<char, 64>, 3> vbmi_controls = {
    vbmi_control(0), vbmi_control(1), vbmi_control(2)};
inline constexpr std::array<std::uint64_t, 3> vbmi_masks = {vbmi_digits(0), vbmi_digits(1),
                                                            vbmi_digits(2)};

} // namespace detail

// GCC 12 takes the deliberately undefined registers inside its AVX-512
// intrinsics for uninitialised variables.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

__attribute__((target("avx512f,avx512bw,avx512vbmi"))) inline void
encode_avx512vbmi(const unsigned char* in, std::size_t n, char* out) {
    const __m512i lut =
        _mm512_broadcast_i32x4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(digits)));
    __m512i control[3];
    for (int part = 0; part < 3; ++part) {
        control[part] = _mm512_loadu_si512(detail::vbmi_controls[part].data());
    }
    for (; n >= 64; n -= 64, in += 64, out += 192) {
        const __m512i bytes = _mm512_loadu_si512(in);
        const __m512i high = _mm512_permutexvar_epi8(_mm512_srli_epi64(bytes, 4), lut);
        const __m512i low = _mm512_permutexvar_epi8(bytes, lut);
        for (std::size_t part = 0; part < 3; ++part) {
            _mm512_storeu_si512(
                out + 64 * part,
                _mm512_mask2_permutex2var_epi8(high, control[part], detail::vbmi_masks[part], low));
        }
    }
    encode_portable(in, n, out);
}

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

inline bool cpu_avx512vbmi() {
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512vbmi");
}

} // namespace hexencode
