#include "../arith.h"

int remia(int a, int b) {
    // The two divisors for which the division instruction would trap.
    if (b == 0) [[unlikely]] {
        return a;
    }
    if (b == -1) [[unlikely]] {
        return 0;
    }
    return a % b;
}
