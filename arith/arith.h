/* Correctly rounded division and multiplication of doubles and the truncated
 * remainder of ints, one function per object module: quotia.o, prodia.o and
 * remia.o. Usable from C and C++ alike. */
#ifndef ARITH_ARITH_H
#define ARITH_ARITH_H

/* The version of these declarations and of the objects installed with them;
 * ARITH_VERSION is MAJOR * 10000 + MINOR * 100 + PATCH, for #if. */
#define ARITH_VERSION_MAJOR 1
#define ARITH_VERSION_MINOR 1
#define ARITH_VERSION_PATCH 0
#define ARITH_VERSION 10100

#ifdef __cplusplus
extern "C" {
#endif

/* The IEEE 754 quotient a / b, correctly rounded, raising the exception flags
 * of that division; +0.0 when b is +0.0 or -0.0, whatever a is (infinite or
 * NaN included), raising none. A NaN divisor is not zero and gives NaN. */
double quotia(double a, double b);

/* The IEEE 754 product a * b, correctly rounded, with no special cases; the
 * exception flags are those of the multiplication. */
double prodia(double a, double b);

/* The remainder of a divided by b with the quotient truncated toward zero:
 * zero or of the sign of a, and smaller in magnitude than b when b is not 0.
 * It never traps and touches no floating-point flag:
 * remia(a, 0) is a, and remia(a, -1) is 0 for every a, INT_MIN included. */
int remia(int a, int b);

#ifdef __cplusplus
}
#endif

#endif
