#!/usr/bin/env python3
"""Derives the constants of the bilateral filter's vectorised range weight
(kernels/bilateral_fast.cpp) and measures their error, in 60-digit decimal
arithmetic (the standard library's decimal module, nothing else):

- log2 of the base 2.718281828 (the double nearest to that decimal), as a
  double;
- the table 2^(j/16), j = 0 ... 15, each rounded to double;
- the polynomial of degree 4 that interpolates 2^r at the five Chebyshev
  nodes of [-1/32, 1/32], its coefficients rounded to double, and its
  largest relative error over 2001 evenly spaced points of the interval.

    python3 tools/range_weight_coefficients.py
"""
from decimal import Decimal, getcontext

getcontext().prec = 60

BASE = Decimal(2.718281828)  # exactly the double the kernels use
DEGREE = 4
HALF_WIDTH = Decimal(1) / 32
POINTS = 2001


def pi():
    """pi by Machin's formula."""
    def arctan_inverse(x):
        x = Decimal(x)
        term = total = 1 / x
        n, sign, power = 1, 1, 1 / x
        while True:
            power /= x * x
            n += 2
            sign = -sign
            term = sign * power / n
            if abs(term) < Decimal(10) ** -65:
                return total
            total += term
    return 4 * (4 * arctan_inverse(5) - arctan_inverse(239))


def cos(x):
    total, term, n = Decimal(1), Decimal(1), 0
    while abs(term) > Decimal(10) ** -65:
        n += 2
        term *= -x * x / (n * (n - 1))
        total += term
    return total


def power_of_two(x):
    return (x * Decimal(2).ln()).exp()


def solve(matrix, vector):
    """Gaussian elimination with partial pivoting."""
    n = len(vector)
    rows = [list(matrix[i]) + [vector[i]] for i in range(n)]
    for col in range(n):
        pivot = max(range(col, n), key=lambda r: abs(rows[r][col]))
        rows[col], rows[pivot] = rows[pivot], rows[col]
        for r in range(n):
            if r != col:
                factor = rows[r][col] / rows[col][col]
                rows[r] = [a - factor * b for a, b in zip(rows[r], rows[col])]
    return [rows[i][n] / rows[i][i] for i in range(n)]


def main():
    log2_base = BASE.ln() / Decimal(2).ln()
    print(f"log2 b = {log2_base}  -> kLog2Base = {float(log2_base)!r}")
    table = [float(power_of_two(Decimal(j) / 16)) for j in range(16)]
    print("kSixteenths =", ", ".join(repr(x) for x in table))

    p = pi()
    nodes = [HALF_WIDTH * cos(p * (2 * k + 1) / (2 * (DEGREE + 1))) for k in range(DEGREE + 1)]
    coefficients = solve([[x ** j for j in range(DEGREE + 1)] for x in nodes], [power_of_two(x) for x in nodes])
    rounded = [float(c) for c in coefficients]
    print("kPoly =", ", ".join(repr(c) for c in rounded))

    worst = Decimal(0)
    for i in range(POINTS):
        r = -HALF_WIDTH + 2 * HALF_WIDTH * i / (POINTS - 1)
        value = Decimal(0)
        for c in reversed(rounded):
            value = value * r + Decimal(c)
        worst = max(worst, abs(value / power_of_two(r) - 1))
    print(f"largest relative error of the polynomial: {float(worst):.3e} = 2^{float(worst.ln() / Decimal(2).ln()):.2f}")


if __name__ == "__main__":
    main()
