#include <arith/arith.h>

#include <math.h>
#include <stdio.h>

int main(void) {
    const int ok = quotia(6.0, 3.0) == 2.0 && quotia(1.0, 0.0) == 0.0 &&
                   !signbit(quotia(-1.0, -0.0)) && prodia(-0.0, 5.0) == 0.0 &&
                   signbit(prodia(-0.0, 5.0)) && remia(-7, 3) == -1 && remia(7, -3) == 1;
    puts(ok ? "C consumer: ok" : "C consumer: wrong results");
    return !ok;
}
