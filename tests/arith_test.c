/* Calls the arithmetic modules from C and compares every result bit for bit,
 * signed zeros and NaN patterns included. */
#include <arith/arith.h>

#include <float.h>
#include <inttypes.h>
#include <limits.h>
#include <math.h>
#include <stdio.h>
#include <string.h>

enum op { QUOTIA, PRODIA };

struct double_case {
    enum op op;
    double a, b;
    uint64_t want;
};

struct int_case {
    int a, b, want;
};

static uint64_t bits(double x) {
    uint64_t u;
    memcpy(&u, &x, sizeof u);
    return u;
}

/* Results as the x86-64 SSE unit gives them; an invalid operation yields the
 * default NaN, which has its sign bit set. */
#define POS_ZERO UINT64_C(0x0000000000000000)
#define NEG_ZERO UINT64_C(0x8000000000000000)
#define POS_INF UINT64_C(0x7FF0000000000000)
#define NEG_INF UINT64_C(0xFFF0000000000000)
#define QNAN UINT64_C(0x7FF8000000000000)
#define DEFAULT_NAN UINT64_C(0xFFF8000000000000)

static const struct double_case double_cases[] = {
    {QUOTIA, 6.0, 3.0, UINT64_C(0x4000000000000000)},
    {QUOTIA, -6.0, 3.0, UINT64_C(0xC000000000000000)},
    {QUOTIA, 1.0, 3.0, UINT64_C(0x3FD5555555555555)},
    {QUOTIA, 1.0, 0.0, POS_ZERO},
    {QUOTIA, -1.0, -0.0, POS_ZERO},
    {QUOTIA, NAN, 0.0, POS_ZERO},
    {QUOTIA, -INFINITY, -0.0, POS_ZERO},
    {QUOTIA, 1.0, NAN, QNAN},
    {QUOTIA, 5.0, INFINITY, POS_ZERO},
    {QUOTIA, -5.0, INFINITY, NEG_ZERO},
    {QUOTIA, INFINITY, INFINITY, DEFAULT_NAN},
    {QUOTIA, 1e300, 1e-300, POS_INF},
    {QUOTIA, -1e300, 1e-300, NEG_INF},
    {QUOTIA, DBL_MIN, 4.0, UINT64_C(0x0004000000000000)},
    {PRODIA, -0.0, 5.0, NEG_ZERO},
    {PRODIA, -0.0, -0.0, POS_ZERO},
    {PRODIA, INFINITY, 0.0, DEFAULT_NAN},
    {PRODIA, 1e200, 1e200, POS_INF},
    {PRODIA, -1e200, 1e200, NEG_INF},
    {PRODIA, 0.1, 0.1, UINT64_C(0x3F847AE147AE147C)},
    {PRODIA, DBL_MIN, 0.5, UINT64_C(0x0008000000000000)},
    {PRODIA, NAN, 2.0, QNAN},
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
        const double got = c->op == QUOTIA ? quotia(c->a, c->b) : prodia(c->a, c->b);
        if (bits(got) == c->want) {
            ++passed;
            continue;
        }
        ++failed;
        printf("%s(%a, %a): got %016" PRIX64 ", want %016" PRIX64 "\n",
               c->op == QUOTIA ? "quotia" : "prodia", c->a, c->b, bits(got), c->want);
    }
    for (size_t i = 0; i < sizeof int_cases / sizeof int_cases[0]; ++i) {
        const struct int_case* c = &int_cases[i];
        const int got = remia(c->a, c->b);
        if (got == c->want) {
            ++passed;
            continue;
        }
        ++failed;
        printf("remia(%d, %d): got %d, want %d\n", c->a, c->b, got, c->want);
    }
    printf("%d passed, %d failed\n", passed, failed);
    return failed != 0;
}
