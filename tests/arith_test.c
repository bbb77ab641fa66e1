/* Calls the arithmetic modules from C and compares every result bit for bit,
 * signed zeros and NaN patterns included, and the floating-point exception
 * flags each call raises: those of the operation itself, and none at all
 * for a zero divisor, which is never divided by. Rows where the rounding
 * mode matters run in each of the four. */
#include <arith/arith.h>

#include <fenv.h>
#include <float.h>
#include <inttypes.h>
#include <limits.h>
#include <math.h>
#include <stdio.h>
#include <string.h>

enum op { QUOTIA, PRODIA };
enum mode { NEAREST, DOWNWARD, UPWARD, TOWARDZERO };
static const int modes[] = {FE_TONEAREST, FE_DOWNWARD, FE_UPWARD, FE_TOWARDZERO};
static const char* const mode_names[] = {"to nearest", "downward", "upward", "toward zero"};

/* NOLINTNEXTLINE(clang-analyzer-optin.performance.Padding): rows read as calls */
struct double_case {
    enum op op;
    double a, b;
    uint64_t want;
    int flags;
    enum mode mode;
};

struct int_case {
    int a, b, want;
};

static uint64_t bits(double x) {
    uint64_t u;
    memcpy(&u, &x, sizeof u);
    return u;
}

#define POS_ZERO UINT64_C(0x0000000000000000)
#define NEG_ZERO UINT64_C(0x8000000000000000)
#define POS_INF UINT64_C(0x7FF0000000000000)
#define NEG_INF UINT64_C(0xFFF0000000000000)
#define QNAN UINT64_C(0x7FF8000000000000)
/* An invalid operation yields the default NaN, which on x86 has its sign bit
 * set. */
#if defined(__x86_64__) || defined(__i386__)
#define DEFAULT_NAN UINT64_C(0xFFF8000000000000)
#else
#define DEFAULT_NAN UINT64_C(0x7FF8000000000000)
#endif
#define SUBNORMAL(n) UINT64_C(n)
#define INEXACT FE_INEXACT
#define OVERFLOWS (FE_OVERFLOW | FE_INEXACT)
#define UNDERFLOWS (FE_UNDERFLOW | FE_INEXACT)
#define MAX UINT64_C(0x7FEFFFFFFFFFFFFF)
#define MIN_NORMAL UINT64_C(0x0010000000000000)
#define MAX_SUBNORMAL UINT64_C(0x000FFFFFFFFFFFFF)
#define THIRD UINT64_C(0x3FD5555555555555)
/* A result that is tiny before rounding and rounds to the smallest normal
 * underflows where tininess is detected before rounding (ARM, POWER, z),
 * not where it is detected after (x86, RISC-V). */
#if defined(__aarch64__) || defined(__arm__) || defined(__powerpc__) || defined(__s390x__)
#define ROUNDS_TO_NORMAL UNDERFLOWS
#else
#define ROUNDS_TO_NORMAL INEXACT
#endif
#define NEAR_MIN_A 0x1.0000000000001p-1
#define NEAR_MIN_B 0x1.ffffffffffffep-1022 /* a * b = DBL_MIN * (1 - 2^-104) */

static const struct double_case double_cases[] = {
    {QUOTIA, 6.0, 3.0, UINT64_C(0x4000000000000000), 0, NEAREST},
    {QUOTIA, -6.0, 3.0, UINT64_C(0xC000000000000000), 0, NEAREST},
    {QUOTIA, 1.0, 3.0, THIRD, INEXACT, NEAREST},
    {QUOTIA, 1.0, 0.0, POS_ZERO, 0, NEAREST},
    {QUOTIA, -1.0, -0.0, POS_ZERO, 0, NEAREST},
    {QUOTIA, NAN, 0.0, POS_ZERO, 0, NEAREST},
    {QUOTIA, -INFINITY, -0.0, POS_ZERO, 0, NEAREST},
    {QUOTIA, 1.0, NAN, QNAN, 0, NEAREST},
    {QUOTIA, 5.0, INFINITY, POS_ZERO, 0, NEAREST},
    {QUOTIA, -5.0, INFINITY, NEG_ZERO, 0, NEAREST},
    {QUOTIA, INFINITY, INFINITY, DEFAULT_NAN, FE_INVALID, NEAREST},
    {QUOTIA, 1e300, 1e-300, POS_INF, OVERFLOWS, NEAREST},
    {QUOTIA, -1e300, 1e-300, NEG_INF, OVERFLOWS, NEAREST},
    {QUOTIA, DBL_MAX, 0.5, POS_INF, OVERFLOWS, NEAREST},
    {QUOTIA, 1.0, 0x1p-1074, POS_INF, OVERFLOWS, NEAREST},
    {QUOTIA, DBL_MIN, 4.0, SUBNORMAL(0x0004000000000000), 0, NEAREST},
    {QUOTIA, 0x1p-1074, 1.0, SUBNORMAL(1), 0, NEAREST},
    {QUOTIA, 0x1p-1022, 0x1p52, SUBNORMAL(1), 0, NEAREST},
    {QUOTIA, 0x1p-1074, 2.0, POS_ZERO, UNDERFLOWS, NEAREST},       /* half the least: to even */
    {QUOTIA, 0x1.8p-1073, 2.0, SUBNORMAL(2), UNDERFLOWS, NEAREST}, /* one and a half */
    /* Rounded twice (to 64 bits, then to 53) these would end one off. */
    {QUOTIA, 0x1.27a1b000a58d9p+0, 0x1.cfcd59b879cadp+0, UINT64_C(0x3FE465A73AAE0EA9), INEXACT,
     NEAREST},
    {PRODIA, -0.0, 5.0, NEG_ZERO, 0, NEAREST},
    {PRODIA, -0.0, -0.0, POS_ZERO, 0, NEAREST},
    {PRODIA, INFINITY, 0.0, DEFAULT_NAN, FE_INVALID, NEAREST},
    {PRODIA, 1e200, 1e200, POS_INF, OVERFLOWS, NEAREST},
    {PRODIA, -1e200, 1e200, NEG_INF, OVERFLOWS, NEAREST},
    {PRODIA, DBL_MAX, 1.0, UINT64_C(0x7FEFFFFFFFFFFFFF), 0, NEAREST},
    {PRODIA, DBL_MAX, 1.0 + DBL_EPSILON, POS_INF, OVERFLOWS, NEAREST},
    {PRODIA, 0x1p1023, 2.0, POS_INF, OVERFLOWS, NEAREST},
    {PRODIA, 0.1, 0.1, UINT64_C(0x3F847AE147AE147C), INEXACT, NEAREST},
    {PRODIA, DBL_MIN, 0.5, SUBNORMAL(0x0008000000000000), 0, NEAREST},
    {PRODIA, 0x1p-1074, 1.0, SUBNORMAL(1), 0, NEAREST},
    {PRODIA, 0x1p-537, 0x1p-537, SUBNORMAL(1), 0, NEAREST},
    {PRODIA, 0x1p-1073, 0.75, SUBNORMAL(2), UNDERFLOWS, NEAREST},
    {PRODIA, 0x1p-1074, 0.5, POS_ZERO, UNDERFLOWS, NEAREST},
    {PRODIA, NAN, 2.0, QNAN, 0, NEAREST},
    {PRODIA, 0x1.1905dc5b2e75ap+0, 0x1.73c1c81f98b52p+0, UINT64_C(0x3FF981837728891B), INEXACT,
     NEAREST},
    {PRODIA, 0x1.80000000cp-999, 0x1.ffffffffp-76, SUBNORMAL(1), UNDERFLOWS, NEAREST},
    /* The rounding modes. A zero divisor gives +0.0 in every one (0.0 - 0.0
     * would be -0.0 rounding downward). */
    {QUOTIA, 1.0, 3.0, THIRD, INEXACT, DOWNWARD},
    {QUOTIA, 1.0, 3.0, THIRD + 1, INEXACT, UPWARD},
    {QUOTIA, 1.0, 3.0, THIRD, INEXACT, TOWARDZERO},
    {QUOTIA, 1e300, 1e-300, MAX, OVERFLOWS, DOWNWARD},
    {QUOTIA, 1e300, 1e-300, POS_INF, OVERFLOWS, UPWARD},
    {QUOTIA, 1e300, 1e-300, MAX, OVERFLOWS, TOWARDZERO},
    {QUOTIA, 1.0, 0.0, POS_ZERO, 0, DOWNWARD},
    {QUOTIA, -1.0, -0.0, POS_ZERO, 0, DOWNWARD},
    {QUOTIA, 1.0, 0.0, POS_ZERO, 0, UPWARD},
    {QUOTIA, 1.0, 0.0, POS_ZERO, 0, TOWARDZERO},
    {PRODIA, NEAR_MIN_A, NEAR_MIN_B, MIN_NORMAL, ROUNDS_TO_NORMAL, NEAREST},
    {PRODIA, NEAR_MIN_A, NEAR_MIN_B, MAX_SUBNORMAL, UNDERFLOWS, DOWNWARD},
    {PRODIA, NEAR_MIN_A, NEAR_MIN_B, MIN_NORMAL, ROUNDS_TO_NORMAL, UPWARD},
    {PRODIA, NEAR_MIN_A, NEAR_MIN_B, MAX_SUBNORMAL, UNDERFLOWS, TOWARDZERO},
    {PRODIA, -1e200, 1e200, NEG_INF, OVERFLOWS, DOWNWARD},
    {PRODIA, -1e200, 1e200, UINT64_C(0xFFEFFFFFFFFFFFFF), OVERFLOWS, UPWARD},
};

static const struct int_case int_cases[] = {
    {7, 3, 1},
    {-7, 3, -1},
    {7, -3, 1},
    {-7, -3, -1},
    {5, 7, 5},
    {0, 5, 0},
    {INT_MIN, 2, 0},
    {INT_MIN, INT_MAX, -1},
    {INT_MAX, INT_MIN, INT_MAX},
    {INT_MIN, INT_MIN, 0},
    /* Divisors whose hardware division would trap. */
    {5, 0, 5},
    {INT_MIN, 0, INT_MIN},
    {7, -1, 0},
    {INT_MIN, -1, 0},
};

int main(void) {
    int passed = 0;
    int failed = 0;
    for (size_t i = 0; i < sizeof double_cases / sizeof double_cases[0]; ++i) {
        const struct double_case* c = &double_cases[i];
        fesetround(modes[c->mode]);
        feclearexcept(FE_ALL_EXCEPT);
        const double got = c->op == QUOTIA ? quotia(c->a, c->b) : prodia(c->a, c->b);
        const int flags = fetestexcept(FE_ALL_EXCEPT);
        fesetround(FE_TONEAREST);
        if (bits(got) == c->want && flags == c->flags) {
            ++passed;
            continue;
        }
        ++failed;
        printf("%s(%a, %a) %s: got %016" PRIX64 " with flags %#x, want %016" PRIX64 " with %#x\n",
               c->op == QUOTIA ? "quotia" : "prodia", c->a, c->b, mode_names[c->mode], bits(got),
               (unsigned)flags, c->want, (unsigned)c->flags);
    }
    for (size_t i = 0; i < sizeof int_cases / sizeof int_cases[0]; ++i) {
        const struct int_case* c = &int_cases[i];
        feclearexcept(FE_ALL_EXCEPT);
        const int got = remia(c->a, c->b);
        const int flags = fetestexcept(FE_ALL_EXCEPT);
        if (got == c->want && flags == 0) {
            ++passed;
            continue;
        }
        ++failed;
        printf("remia(%d, %d): got %d with flags %#x, want %d\n", c->a, c->b, got, (unsigned)flags,
               c->want);
    }
    /* The header's version is the project's, given by the build. */
    if (ARITH_VERSION_MAJOR == PROJECT_MAJOR && ARITH_VERSION_MINOR == PROJECT_MINOR &&
        ARITH_VERSION_PATCH == PROJECT_PATCH &&
        ARITH_VERSION == PROJECT_MAJOR * 10000 + PROJECT_MINOR * 100 + PROJECT_PATCH) {
        ++passed;
    } else {
        ++failed;
        printf("arith.h: version %d.%d.%d (%d), the project's %d.%d.%d\n", ARITH_VERSION_MAJOR,
               ARITH_VERSION_MINOR, ARITH_VERSION_PATCH, ARITH_VERSION, PROJECT_MAJOR,
               PROJECT_MINOR, PROJECT_PATCH);
    }
    printf("%d passed, %d failed\n", passed, failed);
    return failed != 0;
}
