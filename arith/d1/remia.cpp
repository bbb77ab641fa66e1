#include "../arith.h"

#if defined(__arm__) && !defined(__ARM_FEATURE_IDIV)
// Without a divide instruction the compiler would call a helper of its run
// time; the remainder of the magnitudes is taken here instead, bit by bit
// from the top (the partial remainder stays below the divisor, so its
// doubling fits).
static unsigned magnitude_remainder(unsigned n, unsigned d) {
    unsigned r = 0;
    for (unsigned bit = 1U << 31; bit != 0; bit >>= 1) {
        r = (r << 1) | ((n & bit) != 0 ? 1U : 0U);
        r = r >= d ? r - d : r;
    }
    return r;
}
#endif

int remia(int a, int b) {
    // The two divisors for which the division instruction would trap.
    if (b == 0) [[unlikely]] {
        return a;
    }
    if (b == -1) [[unlikely]] {
        return 0;
    }
#if defined(__arm__) && !defined(__ARM_FEATURE_IDIV)
    const unsigned n = a < 0 ? 0U - static_cast<unsigned>(a) : static_cast<unsigned>(a);
    const unsigned d = b < 0 ? 0U - static_cast<unsigned>(b) : static_cast<unsigned>(b);
    const unsigned r = magnitude_remainder(n, d);
    return a < 0 ? -static_cast<int>(r) : static_cast<int>(r);
#else
    return a % b;
#endif
}
