// The NEON kernels: aarch64, where Advanced SIMD is part of every CPU, and
// 32-bit ARM, where it is not in Debian armhf's baseline and the kernel is
// taken only where the auxiliary vector reports it.
#pragma once

#include "portable.h"

#include <arm_neon.h>

#include <cstdint>

#if defined(__arm__)
#include <sys/auxv.h>
#endif

namespace hexencode {

#if defined(__aarch64__)

// 16 input bytes: a table lookup each for the high and the low digits, and
// one store that interleaves them with a vector of spaces, three lanes to a
// byte.
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
    encode_portable(in, n, out);
}

#else

// The same on 32-bit ARM, whose table lookup takes 8 lanes at a time.
__attribute__((target("fpu=neon"))) inline void encode_neon(const unsigned char* in, std::size_t n,
                                                            char* out) {
    uint8x8x2_t lut;
    lut.val[0] = vld1_u8(reinterpret_cast<const std::uint8_t*>(digits));
    lut.val[1] = vld1_u8(reinterpret_cast<const std::uint8_t*>(digits) + 8);
    const uint8x16_t low_nibbles = vdupq_n_u8(0x0f);
    uint8x16x3_t text;
    text.val[2] = vdupq_n_u8(' ');
    for (; n >= 16; n -= 16, in += 16, out += 48) {
        const uint8x16_t bytes = vld1q_u8(in);
        const uint8x16_t high = vshrq_n_u8(bytes, 4);
        const uint8x16_t low = vandq_u8(bytes, low_nibbles);
        text.val[0] =
            vcombine_u8(vtbl2_u8(lut, vget_low_u8(high)), vtbl2_u8(lut, vget_high_u8(high)));
        text.val[1] =
            vcombine_u8(vtbl2_u8(lut, vget_low_u8(low)), vtbl2_u8(lut, vget_high_u8(low)));
        vst3q_u8(reinterpret_cast<std::uint8_t*>(out), text);
    }
    encode_portable(in, n, out);
}

#endif

inline bool cpu_neon() {
#if defined(__aarch64__)
    return true;
#else
    return (getauxval(AT_HWCAP) & HWCAP_ARM_NEON) != 0;
#endif
}

} // namespace hexencode
