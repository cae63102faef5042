#!/usr/bin/python3
"""Designs the filter-bank prototype and writes audio_core/filter_bank_prototype.cpp.

Run from the repository root with Debian's numpy and scipy:
    apt-get install -y python3-numpy python3-scipy
    /usr/bin/python3 tools/design_filter_bank_prototype.py            # design, write, report
    /usr/bin/python3 tools/design_filter_bank_prototype.py --check    # report on the current file
    /usr/bin/python3 tools/design_filter_bank_prototype.py --rewrite  # re-emit the current table

The method and the figures are described in docs/filterbank.md. In short: the 5760 taps T are
found by minimising the analysis filter's stopband energy (beyond 2 bins) subject to
  * perfect reconstruction of the exact analysis/synthesis structure of the engine, with a delay of
    2880 samples, for every polyphase pair but the one that the fixed entries pin completely
    (that pair is met in least squares),
  * the eight fixed entries, the sum 1357.84 and the sum of squares 998.978,
  * T[2054] as the strict maximum (a cap that every other tap stays under).
Reconstruction is bilinear in T, so a Gauss-Newton / sequential quadratic programming iteration
is used: first with the reconstruction conditions as growing penalties, then as linearised
equality constraints.
"""
import argparse
import os
import re
import sys
import time

import numpy as np
import scipy.linalg as sl
import scipy.sparse as sp
from scipy.interpolate import PchipInterpolator

HOP = 960            # frame and hop
M = 1920             # transform length
L = 6 * HOP          # prototype length
DELAY = 2880         # end-to-end delay of analysis + synthesis
FIXED = {0: -0.05463, 959: 0.226519, 1919: 0.893229, 2054: 0.907996, 2879: 0.425717,
         3839: -0.101383, 4799: -0.001738, 5759: -0.005092}
FIXED = {i: float(np.float32(v)) for i, v in FIXED.items()}  # exactly the stored floats
PEAK = 2054
SUM, SUMSQ = 1357.84, 998.978
STOP_EDGE_BINS = 2.0
ROUGHNESS = 1e-3       # weight of the squared second differences
CAP_CURVATURE = 2e-7   # the cap T[2054] - c (i - 2054)^2 keeps 2054 a strict, rounded peak
CAP_REACH = 300        # ... within this distance of the peak; beyond it the cap is flat
PAIR0_WEIGHT = 10.0    # least-squares weight of the pinned polyphase pair
OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "audio_core",
                   "filter_bank_prototype.cpp")


# ---------------------------------------------------------------------------------------------
# Reconstruction conditions.
#
# With the spectrum unchanged, output sample n of the bank is sum_d g_d(n mod 960) e[n - d] (e the
# pre-emphasised input; the de-emphasis undoes the pre-emphasis), over the delays
# d = 4800 + 1920 k, k = -2..2. For output phase phi the gains pair the polyphase components
# a_v = T[phi + 960 v] and b_w = T[959 - phi + 960 w] (v, w = 0..5):
#     g_k(phi) = sum_v a_v b_(5 - v + 2 k)
# and phases phi and 959 - phi share the same gains. Perfect reconstruction with delay 2880
# (k = -1) asks for g_-1 = 1 and g_k = 0 otherwise: five bilinear equations per pair of phases.

def pr_terms():
    rows, ia, ib = [], [], []
    for phi in range(HOP // 2):
        for ki, k in enumerate(range(-2, 3)):
            for v in range(6):
                w = 5 - v + 2 * k
                if 0 <= w <= 5:
                    rows.append(5 * phi + ki)
                    ia.append(phi + HOP * v)
                    ib.append(HOP - 1 - phi + HOP * w)
    return np.array(rows), np.array(ia), np.array(ib)


ROWS, IA, IB = pr_terms()
NRES = 5 * (HOP // 2)
TARGET = np.zeros(NRES)
TARGET[1::5] = 1.0  # k = -1: delay 4800 - 1920 = 2880


def pr_residual(T):
    return np.bincount(ROWS, T[IA] * T[IB], minlength=NRES) - TARGET


def pr_jacobian(T):
    data = np.concatenate([T[IB], T[IA]])
    r = np.concatenate([ROWS, ROWS])
    c = np.concatenate([IA, IB])
    return sp.csr_matrix((data, (r, c)), shape=(NRES, L))


# ---------------------------------------------------------------------------------------------
# Objective: stopband energy of the analysis filter relative to its DC gain, plus roughness.

def objective_matrix():
    ws = 2 * np.pi * STOP_EDGE_BINS / M
    m = np.arange(L)
    s = np.empty(L)
    s[0] = (np.pi - ws) / np.pi
    s[1:] = -np.sin(ws * m[1:]) / (np.pi * m[1:])
    Q = sl.toeplitz(s) / SUM ** 2
    D = sp.diags([np.ones(L - 2), -2 * np.ones(L - 2), np.ones(L - 2)], [0, 1, 2], shape=(L - 2, L))
    Q += ROUGHNESS * (D.T @ D).toarray()
    return Q


def peak_cap():
    d = np.minimum((np.arange(L) - PEAK) ** 2, CAP_REACH ** 2).astype(float)
    cap = FIXED[PEAK] - 1e-6 - CAP_CURVATURE * d
    cap[PEAK] = np.inf
    return cap


# ---------------------------------------------------------------------------------------------
# Design.

def design(log):
    Q = objective_matrix()
    cap = peak_cap()
    free = np.array([i for i in range(L) if i not in FIXED])
    nf = len(free)
    pair0 = np.arange(5)    # the pair (0, 959): all six b_w are fixed entries
    others = np.arange(5, NRES)

    xs = sorted(FIXED)
    T = PchipInterpolator(xs, [FIXED[i] for i in xs])(np.arange(L))
    T = np.minimum(T, cap)

    def over(T):
        return np.maximum(T - cap, 0.0)

    def kkt_step(H, g, A, c):
        nc = A.shape[0]
        K = np.block([[H, A.T], [A, np.zeros((nc, nc))]])
        return sl.solve(K, np.concatenate([-g, -c]), assume_a="sym")[:nf]

    def sum_constraints(T):
        return np.vstack([np.ones(nf), 2 * T[free]]), np.array([T.sum() - SUM, T @ T - SUMSQ])

    # Stage 1: reconstruction as a growing penalty (Levenberg-Marquardt damped Gauss-Newton).
    mu = 1e-4
    for weight in [1.0, 10.0, 100.0, 1e3, 1e4]:
        wres = np.full(NRES, weight)
        wres[pair0] = min(weight, PAIR0_WEIGHT)
        wcap = 100.0 * weight

        def f(T):
            r = pr_residual(T)
            o = over(T)
            return T @ Q @ T + (wres * r) @ r + wcap * (o @ o)

        fT = f(T)
        for it in range(4):
            t0 = time.time()
            r = pr_residual(T)
            J = pr_jacobian(T)
            H = 2 * ((J.T @ sp.diags(wres) @ J).toarray() + Q)
            H[np.diag_indices(L)] += 2 * wcap * (over(T) > 0)
            g = 2 * (J.T @ (wres * r) + Q @ T + wcap * over(T))
            A, c = sum_constraints(T)
            Hf = H[np.ix_(free, free)]
            while True:
                step = kkt_step(Hf + mu * np.eye(nf), g[free], A, c)
                Tn = T.copy()
                Tn[free] += step
                fn = f(Tn)
                if fn <= fT or mu > 1e6:
                    break
                mu *= 10
            T, fT, mu = Tn, fn, max(mu / 3, 1e-9)
            log(f"penalty {weight:g} #{it}: objective {fT:.4e}, "
                f"reconstruction {pr_residual(T) @ pr_residual(T):.2e} ({time.time() - t0:.0f} s)")

    # Stage 2: reconstruction of every other pair as linearised equality constraints.
    wcap = 1e6
    for it in range(25):
        t0 = time.time()
        r = pr_residual(T)
        J = pr_jacobian(T)
        J0 = J[pair0]
        H = 2 * (Q + PAIR0_WEIGHT * (J0.T @ J0).toarray())
        H[np.diag_indices(L)] += 2 * wcap * (over(T) > 0)
        g = 2 * (Q @ T + PAIR0_WEIGHT * (J0.T @ r[pair0]) + wcap * over(T))
        A, c = sum_constraints(T)
        A = np.vstack([J[others][:, free].toarray(), A])
        c = np.concatenate([r[others], c])
        step = kkt_step(H[np.ix_(free, free)], g[free], A, c)
        T[free] += step
        rr = pr_residual(T)
        log(f"constrained #{it}: stopband {T @ Q @ T:.4e}, others {rr[others] @ rr[others]:.2e}, "
            f"pinned pair {rr[pair0] @ rr[pair0]:.2e}, step {np.abs(step).max():.1e} "
            f"({time.time() - t0:.0f} s)")
        if np.abs(step).max() < 2e-6 and it > 3:
            break
    # Clear the last cap overshoots (of the order of 1e-7).
    T = np.where(np.arange(L) == PEAK, T, np.minimum(T, cap))
    for i, v in FIXED.items():
        T[i] = v
    return T


# ---------------------------------------------------------------------------------------------
# Figures.

def bank(x, T, spectrum_edit=None):
    """Float64 model of the engine's analysis + synthesis, pre- and de-emphasis included."""
    h = T[::-1]
    hist = np.zeros(L)
    acc = np.zeros(L)
    out = np.zeros(len(x))
    mem_in = 0.0
    mem_out = 0.0
    for s in range(len(x) // HOP):
        xf = x[s * HOP:(s + 1) * HOP].astype(float)
        e = xf - 0.9 * np.concatenate([[mem_in], xf[:-1]])
        mem_in = xf[-1]
        hist = np.concatenate([hist[HOP:], e])
        y = (hist * h).reshape(3, M).sum(0)
        if spectrum_edit is not None:
            y = np.fft.irfft(spectrum_edit(np.fft.rfft(y)), M)
        acc += T * np.tile(y, 3)
        o = acc[:HOP].copy()
        acc = np.concatenate([acc[HOP:], np.zeros(HOP)])
        # de-emphasis 1 / (1 - 0.9 z^-1)
        for n in range(HOP):
            mem_out = o[n] + 0.9 * mem_out
            o[n] = mem_out
        out[s * HOP:(s + 1) * HOP] = o
    return out


def snr_db(x, y):
    a = x[:len(x) - DELAY][L:]
    b = y[DELAY:][L:]
    return 10 * np.log10((a @ a) / ((a - b) @ (a - b)))


def figures(T):
    T = np.asarray(T, dtype=np.float32).astype(np.float64)
    out = {}
    n = M * 64
    H = np.abs(np.fft.fft(T, n)) / abs(T.sum())
    f = np.abs(np.fft.fftfreq(n) * M)  # in bins
    for edge in (1.0, 1.5, 2.0, 3.0, 5.0, 10.0, 100.0):
        out[f"rejection beyond {edge:g} bins (dB)"] = -20 * np.log10(H[f >= edge].max())
    out["gain at +-0.5 bin (dB)"] = 20 * np.log10(H[np.argmin(np.abs(f - 0.5))])
    r = pr_residual(T)
    out["reconstruction residual, all pairs"] = float(r @ r)
    out["reconstruction residual, pinned pair"] = float(r[:5] @ r[:5])
    out["largest per-phase gain error"] = float(np.abs(r).max())
    rng = np.random.default_rng(1)
    x = np.round(rng.standard_normal(HOP * 120) * 3276.8)
    y = bank(x, T)
    out["white -20 dBFS SNR, unquantised output (dB)"] = snr_db(x, y)
    out["white -20 dBFS SNR, 16-bit truncated output (dB)"] = snr_db(x, np.trunc(y))
    out["sum"] = float(T.sum())
    out["sum of squares"] = float(T @ T)
    out["argmax"] = int(np.argmax(T))
    return out


# ---------------------------------------------------------------------------------------------
# Output.

HEADER = """// Generated by tools/design_filter_bank_prototype.py; do not edit by hand (see
// docs/filterbank.md).
//
// Prototype of the analysis/synthesis filter bank: 5760 taps for hop 960 and transform length
// 1920, asymmetric, end-to-end delay 2880 samples.
{summary}
#include <array>

#include "audio_core/filter_bank.hpp"

namespace orvo {{

// clang-format off
extern constexpr float FilterBankPrototype[kPrototypeLength] = {{
{body}
}};
// clang-format on

namespace {{

constexpr std::array<float, kPrototypeLength> Reversed() {{
  std::array<float, kPrototypeLength> h{{}};
  for (int i = 0; i < kPrototypeLength; ++i)
    h[i] = FilterBankPrototype[kPrototypeLength - 1 - i];
  return h;
}}

}}  // namespace

extern constexpr std::array<float, kPrototypeLength> FilterBankAnalysisWindow = Reversed();

}}  // namespace orvo
"""


def c_float(v):
    s = np.format_float_positional(np.float32(v), unique=True, trim="0")
    if s.endswith("."):
        s += "0"
    return s + "f"


def write_source(T, fig, path):
    T32 = np.asarray(T, dtype=np.float32)
    rows = []
    line = "   "
    for v in T32:
        item = " " + c_float(v) + ","
        if len(line) + len(item) > 100:
            rows.append(line)
            line = "   "
        line += item
    rows.append(line)
    summary = "\n".join([
        f"// Reconstruction (float64 model, white noise at -20 dBFS): "
        f"{fig['white -20 dBFS SNR, unquantised output (dB)']:.1f} dB,",
        f"// {fig['white -20 dBFS SNR, 16-bit truncated output (dB)']:.1f} dB at the 16-bit output. "
        f"Analysis rejection beyond 2 bins: {fig['rejection beyond 2 bins (dB)']:.1f} dB.",
    ])
    with open(path, "w") as fh:
        fh.write(HEADER.format(summary=summary, body="\n".join(rows)))


def read_source(path):
    text = open(path).read()
    body = text.split("FilterBankPrototype[kPrototypeLength] = {", 1)[1].split("};", 1)[0]
    return np.array([float(v) for v in re.findall(r"(-?[0-9.]+(?:e-?[0-9]+)?)f", body)])


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--check", action="store_true", help="report on the current table only")
    ap.add_argument("--rewrite", action="store_true",
                    help="write the current table again (after a change of the file layout)")
    ap.add_argument("--out", default=OUT)
    args = ap.parse_args()

    def log(msg):
        print(msg, flush=True)

    if args.check or args.rewrite:
        T = read_source(args.out)
        assert len(T) == L, len(T)
    else:
        T = design(log)
    fig = figures(T)
    for k, v in fig.items():
        print(f"{k:52s} {v:.6g}" if isinstance(v, float) else f"{k:52s} {v}")
    T32 = np.asarray(T, dtype=np.float32)
    ok = (all(T32[i] == np.float32(v) for i, v in FIXED.items())
          and abs(fig["sum"] - SUM) < 0.005 and abs(fig["sum of squares"] - SUMSQ) < 0.0005
          and fig["argmax"] == PEAK and np.sum(T32 == T32[PEAK]) == 1)
    print("binding entries, sums and peak:", "ok" if ok else "VIOLATED")
    if not args.check and ok:
        write_source(T, fig, args.out)
        print("wrote", os.path.normpath(args.out))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
