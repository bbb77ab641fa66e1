// Encoding of bytes as "%02X " text: the kernels of each target (one
// header each in kernels/), the portable kernel that runs everywhere, and
// the choice of the fastest one the CPU runs.
#pragma once

#include "kernels/portable.h"

#if defined(__x86_64__) || defined(__i386__)
#include "kernels/x86.h"
#elif defined(__aarch64__) || defined(__arm__)
#include "kernels/arm.h"
#elif (defined(__powerpc64__) || defined(__s390x__)) && defined(__GNUC__) && !defined(__clang__)
#include "kernels/vector.h"
#endif

#include <iterator>

namespace hexencode {

struct implementation {
    const char* name;
    kernel encode;
    bool (*supported)();
};

// Fastest first, as the kernels' benchmark ranks them at the block sizes
// hexshow uses (a default pipe's and output::max_block: bench/README.md),
// for the target built; the portable kernel runs everywhere and ends each
// list.
inline constexpr implementation implementations[] = {
#if defined(__x86_64__) || defined(__i386__)
    {"avx512vbmi", encode_avx512vbmi, cpu_avx512vbmi},
    {"avx2", encode_avx2, cpu_avx2},
    {"ssse3", encode_ssse3, cpu_ssse3},
#elif defined(__aarch64__) || defined(__arm__)
    {"neon", encode_neon, cpu_neon},
#elif defined(__powerpc64__) && defined(__GNUC__) && !defined(__clang__)
    {"vsx", encode_vector, cpu_vector},
#elif defined(__s390x__) && defined(__GNUC__) && !defined(__clang__)
    {"vx", encode_vector, cpu_vector},
#endif
    {"portable", encode_portable, cpu_always},
};

// The fastest implementation this CPU supports, from one reading of CPUID
// (of the auxiliary vector elsewhere).
inline const implementation& best() {
#if defined(__x86_64__) || defined(__i386__)
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
