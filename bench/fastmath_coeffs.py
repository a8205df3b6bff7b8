#!/usr/bin/env python3
"""Coefficients and constants of the arc tangent and logarithm kernels.

    python3 bench/fastmath_coeffs.py

Prints, as C++ hexadecimal literals, every constant that lib/fastmath_kernels.cpp
uses: the reduction centres and thresholds of the arc tangent, the split
constants, and the two minimax polynomials. Only the standard library is used
(decimal at 80 digits), so anyone can rerun it and compare.

Arc tangent, x >= 0: five centres 0, c, 1, 1/c, infinity (c = tan(pi/8) rounded
to a double) with the angles K = atan(centre). A centre is written as the pair
(A, B) with centre = B / A, and
    atan(x) = K + atan(t),    t = (A x - B) / (B x + A).
The thresholds lie half-way (in angle) between neighbouring centres, so |t| is
at most about tan(pi/16). atan(t) = t + t p P(p) with p = t^2, where P
approximates g(p) = (atan(sqrt p) - sqrt p) / p^(3/2) = -sum (-p)^k / (2k+3).

Logarithm, x >= 1: x = 2^e m with sqrt(1/2) < m <= sqrt(2), f = m - 1,
s = f / (2 + f), z = s^2. Then ln(1 + f) = 2 atanh(s) = 2 s + s R(z) with
R(z) = z Q(z), Q approximating h(z) = 2 sum z^k / (2k+3). The kernel writes it
as ln(1 + f) = f - f^2/2 + s (f^2/2 + R(z)), which is the same value with f
(exact) as leading term.

Both polynomials are fitted by a Remez exchange, minimising the error that each
one brings into the relative error of the final result.
"""
import math
from decimal import Decimal as D, getcontext

getcontext().prec = 80


def odd_series(x, alternating):
    """x - x^3/3 + x^5/5 - ... (atan) or x + x^3/3 + x^5/5 + ... (atanh),
    for |x| <= 0.5 or so."""
    x = D(x)
    x2 = x * x
    term, k, total = x, 0, D(0)
    while True:
        add = term / (2 * k + 1)
        if abs(add) < D(10) ** -85:
            break
        total += -add if alternating and k % 2 else add
        term *= x2
        k += 1
    return total


def atan_series(x):
    return odd_series(x, True)


def atanh_series(s):
    return odd_series(s, False)


def atan_dec(x):
    x = D(x)
    halvings = 0
    while abs(x) > D("0.1"):
        x = x / (1 + (1 + x * x).sqrt())
        halvings += 1
    return atan_series(x) * (2 ** halvings)


LN2 = 2 * atanh_series(D(1) / 3)
PI = 16 * atan_series(D(1) / 5) - 4 * atan_series(D(1) / 239)
LN10 = 3 * LN2 + 2 * atanh_series(D(1) / 9)  # ln 10 = 3 ln 2 + ln 1.25


def dbl(v):
    return float(str(v))


def hx(v):
    return float(v).hex()


def hi_lo(v, bits=53):
    """A double with at most `bits` significant bits, and the rest as a double."""
    h = dbl(v)
    if bits < 53:
        m, e = math.frexp(h)
        h = math.ldexp(float(round(m * 2**bits)), e - bits)
    return h, dbl(v - D(h))


def tan_half(u):
    # tan(a / 2) from u = tan(a), 0 <= a < pi.
    u = D(u)
    return u / (1 + (1 + u * u).sqrt())


def solve(a, b):
    n = len(b)
    m = [row[:] + [b[i]] for i, row in enumerate(a)]
    for col in range(n):
        piv = max(range(col, n), key=lambda r: abs(m[r][col]))
        m[col], m[piv] = m[piv], m[col]
        for r in range(col + 1, n):
            f = m[r][col] / m[col][col]
            for c in range(col, n + 1):
                m[r][c] -= f * m[col][c]
    x = [D(0)] * n
    for r in range(n - 1, -1, -1):
        x[r] = (m[r][n] - sum(m[r][c] * x[c] for c in range(r + 1, n))) / m[r][r]
    return x


def poly(c, x):
    acc = D(0)
    for v in reversed(c):
        acc = acc * x + v
    return acc


def remez(func, weight, hi, n, grid=3000, iters=30):
    """Degree n-1 polynomial minimising max |weight (P - func)| on [0, hi]."""
    pts = [D(hi) * D((1 - math.cos(math.pi * i / n)) / 2) for i in range(n + 1)]
    pts[0] = D(hi) / grid
    xs = [D(hi) * (D(i) / grid) for i in range(1, grid + 1)]
    fx = [func(x) for x in xs]
    wx = [weight(x) for x in xs]
    for _ in range(iters):
        a = [[x**j for j in range(n)] + [D((-1) ** i) / weight(x)] for i, x in enumerate(pts)]
        b = [func(x) for x in pts]
        sol = solve(a, b)
        c, lev = sol[:n], abs(sol[n])
        err = [w * (poly(c, x) - f) for x, f, w in zip(xs, fx, wx)]
        ext = []
        for i in range(len(xs)):
            left = abs(err[i - 1]) if i > 0 else D(-1)
            right = abs(err[i + 1]) if i + 1 < len(xs) else D(-1)
            if abs(err[i]) >= left and abs(err[i]) >= right:
                ext.append(i)
        # Keep alternating extrema, the largest of each run of equal sign.
        alt = []
        for i in ext:
            if alt and (err[i] > 0) == (err[alt[-1]] > 0):
                if abs(err[i]) > abs(err[alt[-1]]):
                    alt[-1] = i
            else:
                alt.append(i)
        while len(alt) > n + 1:
            if abs(err[alt[0]]) < abs(err[alt[-1]]):
                alt.pop(0)
            else:
                alt.pop()
        top = max(abs(e) for e in err)
        if len(alt) == n + 1:
            pts = [xs[i] for i in alt]
        if top <= lev * D("1.0001"):
            break
    return c, top


def max_err(c, func, weight, hi, grid=6000):
    worst = D(0)
    for i in range(1, grid + 1):
        x = D(hi) * D(i) / grid
        worst = max(worst, abs(weight(x) * (poly(c, x) - func(x))))
    return worst


def log2_of(v):
    return math.log2(float(v)) if v > 0 else float("-inf")


def series_g(p):
    # (atan(sqrt p) - sqrt p) / p^(3/2)
    total, term, k = D(0), D(1), 0
    while abs(term) > D(10) ** -80:
        total += -term / (2 * k + 3)
        term *= -p
        k += 1
    return total


def series_h(z):
    # (2 atanh(sqrt z) / sqrt z - 2) / z
    total, term, k = D(0), D(1), 0
    while abs(term) > D(10) ** -80:
        total += 2 * term / (2 * k + 3)
        term *= z
        k += 1
    return total


def fit(name, func, weight, hi, target_bits):
    for n in range(3, 16):
        c, _ = remez(func, weight, hi, n)
        cd = [D(dbl(v)) for v in c]
        e = max_err(cd, func, weight, hi)
        print(f"// {name}: {n} coefficients, weighted error 2^{log2_of(e):.1f} after rounding to double")
        if e < D(2) ** -target_bits:
            return [dbl(v) for v in c]
    raise SystemExit("no fit")


def main():
    # Arc tangent.
    c1 = dbl(tan_half(1))  # tan(pi/8)
    k1 = atan_dec(D(c1))
    k3 = PI / 2 - k1
    t1 = dbl(tan_half(c1))
    t2 = dbl(tan_half((D(c1) + 1) / (1 - D(c1))))
    t3 = dbl(1 / D(t2))
    t4 = dbl(1 / D(t1))
    centres = [(1.0, 0.0), (1.0, c1), (1.0, 1.0), (c1, 1.0), (0.0, 1.0)]
    thresholds = [t1, t2, t3, t4]
    tmax = D(0)
    for j, (a, b) in enumerate(centres):
        ends = []
        if j > 0:
            ends.append(D(thresholds[j - 1]))
        if j < 4:
            ends.append(D(thresholds[j]))
        for x in ends:
            t = (D(a) * x - D(b)) / (D(b) * x + D(a))
            tmax = max(tmax, abs(t))
    pmax = tmax * tmax * (1 + D(2) ** -20)
    print(f"// arc tangent: |t| <= {float(tmax):.6f}, p <= {float(pmax):.6f}")
    print(f"constexpr double atan_c = {hx(c1)};")
    for i, t in enumerate(thresholds, 1):
        print(f"constexpr double atan_t{i} = {hx(t)};")
    for name, v in (("k1", k1), ("k2", PI / 4), ("k3", k3), ("k4", PI / 2)):
        h, l = hi_lo(v)
        print(f"constexpr double atan_{name}_hi = {hx(h)}, atan_{name}_lo = {hx(l)};")
    wa = lambda p: p / (1 + p * series_g(p))
    ca = fit("arc tangent", series_g, wa, pmax, 59)
    print("constexpr double atan_poly[] = {" + ", ".join(hx(v) for v in ca) + "};")

    # Logarithm.
    sq2 = dbl(D(2).sqrt())
    smax = max(abs((D(sq2) - 1) / (D(sq2) + 1)), abs((D(sq2) / 2 - 1) / (D(sq2) / 2 + 1)))
    zmax = smax * smax * (1 + D(2) ** -20)
    print(f"// logarithm: |s| <= {float(smax):.6f}, z <= {float(zmax):.6f}")
    print(f"constexpr double log_sqrt2 = {hx(sq2)};")
    l2h, l2l = hi_lo(LN2 / LN10, 42)
    print(f"constexpr double log10_2_hi = {hx(l2h)}, log10_2_lo = {hx(l2l)};")
    ivh, ivl = hi_lo(1 / LN10, 32)
    print(f"constexpr double inv_ln10_hi = {hx(ivh)}, inv_ln10_lo = {hx(ivl)};")
    print(f"constexpr double inv_ln10 = {hx(dbl(1 / LN10))};")
    wl = lambda z: z / (2 + z * series_h(z))
    cl = fit("logarithm", series_h, wl, zmax, 59)
    print("constexpr double log_poly[] = {" + ", ".join(hx(v) for v in cl) + "};")


if __name__ == "__main__":
    main()
