#include "arith.h"

double prodia(double a, double b) {
    return a * b;
}
