#include "arith.h"

double quotia(double a, double b) {
    // Equal to zero covers -0.0; a NaN divisor compares unequal and divides.
    if (b == 0.0) [[unlikely]] {
        return 0.0;
    }
    return a / b;
}
