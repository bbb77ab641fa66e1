#include <arith/arith.h>

#include <climits>
#include <cmath>
#include <cstdio>

int main() {
    double (*const divide)(double, double) = quotia;
    int (*const remainder)(int, int) = remia;
    const bool ok = divide(1.0, 4.0) == 0.25 && !std::signbit(divide(INFINITY, 0.0)) &&
                    std::isinf(prodia(1e200, 1e200)) && remainder(INT_MIN, 2) == 0 &&
                    remainder(INT_MIN, -1) == 0 && remainder(5, 0) == 5;
    std::puts(ok ? "C++ consumer: ok" : "C++ consumer: wrong results");
    return ok ? 0 : 1;
}
