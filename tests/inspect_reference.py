#!/usr/bin/env python3
"""An independent reference for acc_inspect's figures, from NumPy and SciPy.

Reads a data file and what `acc_inspect --json` said about it, recomputes the
figures the way a user of the scientific Python stack would, prints a table
of both with their relative difference, and exits 1 if any is beyond its
tolerance. Usage:

  inspect_reference.py FILE.csv REPORT.json CASE [--segment N] [--band LO:HI]
      [--interval S] [--from S] [--to S] [--sine-ms2 A --sine-hz F] [--dominant-hz F]
"""
import argparse
import json
import math
import sys

import numpy as np
from scipy import signal, stats

RATE_HZ = 10000.0
STEP_S = 1.0 / RATE_HZ
THRESHOLD_S = 0.05  # half a block: a larger departure from the step is a gap
BLOCK_ROWS = 1000
G0 = 9.80665

# Both sides compute in doubles from the same text; what is left is the order
# of additions and the JSON's 12 significant digits.
EXACT = 1e-9
# A sine's velocity from the Welch density is exact but for the Hann
# window's spread over the neighbouring bins, each divided by its own f^2.
ANALYTIC = 2e-3

rows = []
failed = False


def compare(case, figure, ours, ref, tolerance, absolute=None):
    global failed
    if ours is None or ref is None or not math.isfinite(ref):
        ok = ours is None and (ref is None or not math.isfinite(ref))
        diff = 0.0 if ok else math.inf
    else:
        scale = abs(ref)
        diff = abs(ours - ref) / scale if scale > 0 else abs(ours - ref)
        # A figure near zero (the skewness of a symmetric signal) is held
        # to an absolute limit instead.
        ok = diff <= tolerance or (absolute is not None and abs(ours - ref) <= absolute)
    rows.append((case, figure, ours, ref, diff, tolerance, ok))
    failed = failed or not ok


def largest_relative(case, figure, ours, ref, tolerance, floor):
    """Largest relative difference over the entries above `floor`."""
    ours = np.asarray([math.nan if v is None else v for v in ours], dtype=float)
    ref = np.asarray(ref, dtype=float)
    if ours.shape != ref.shape:
        compare(case, figure + " (count)", float(len(ours)), float(len(ref)), 0.0)
        return
    mask = np.abs(ref) > floor
    rel = np.abs(ours[mask] - ref[mask]) / np.abs(ref[mask])
    at = int(np.argmax(rel)) if rel.size else 0
    worst = float(rel[at]) if rel.size else 0.0
    ok = worst <= tolerance and np.all(np.abs(ours[~mask] - ref[~mask]) <= floor * 10)
    rows.append((case, "%s, %d values, largest diff" % (figure, int(mask.sum())),
                 float(ours[mask][at]) if rel.size else 0.0,
                 float(ref[mask][at]) if rel.size else 0.0, worst, tolerance, bool(ok)))
    global failed
    failed = failed or not ok


def main():
    p = argparse.ArgumentParser()
    for name in ("csv", "report", "case"):
        p.add_argument(name)
    p.add_argument("--segment", type=int, default=8192)
    p.add_argument("--band", default="10:1000")
    p.add_argument("--interval", type=float, default=1.0)
    p.add_argument("--from", dest="start", type=float)
    p.add_argument("--to", dest="stop", type=float)
    for name in ("--sine-ms2", "--sine-hz", "--dominant-hz"):
        p.add_argument(name, type=float)
    a = p.parse_args()
    case = a.case
    with open(a.report) as f:
        report = json.load(f)

    data = np.loadtxt(a.csv, delimiter=",", skiprows=1, dtype=float, ndmin=2)
    t, g = data[:, 0], data[:, 2]
    keep = np.ones(len(t), dtype=bool)
    if a.start is not None:
        keep &= t >= a.start
    if a.stop is not None:
        keep &= t < a.stop
    t, g = t[keep], g[keep]
    finite = np.isfinite(g)
    x = g[finite]

    # Level statistics of the finite values.
    mean = x.mean()
    departure = np.max(np.abs(x - mean))
    acc = report["acceleration"]
    compare(case, "rows", float(report["time"]["rows"]), float(len(t)), 0.0)
    compare(case, "RMS about the mean (g)", acc["g"]["rms_about_mean"], x.std(), EXACT)
    compare(case, "largest departure (g)", acc["largest_departure_g"], departure, EXACT)
    compare(case, "crest factor", acc["crest_factor"], departure / x.std(), EXACT)
    compare(case, "kurtosis", acc["kurtosis"], stats.kurtosis(x, fisher=False), EXACT)
    compare(case, "skewness", acc["skewness"], stats.skew(x), EXACT, absolute=1e-9)

    # Welch's density over the runs between gaps, a run also ending one
    # block after a gap; a value that is not finite holds the last one.
    index = np.where(finite, np.arange(len(g)), -1)
    index = np.maximum.accumulate(index)
    held = np.where(index >= 0, g[np.maximum(index, 0)], 0.0)
    gap_rows = np.nonzero(np.diff(t) - STEP_S > THRESHOLD_S)[0] + 1
    cuts = sorted(set([0, len(g)] + [int(i) for i in gap_rows] +
                      [int(i) + BLOCK_ROWS for i in gap_rows if i + BLOCK_ROWS < len(g)]))
    n = a.segment
    total = np.zeros(n // 2 + 1)
    segments = 0
    for lo, hi in zip(cuts[:-1], cuts[1:]):
        if hi - lo < n:
            continue
        freqs, pxx = signal.welch(held[lo:hi], fs=RATE_HZ, window="hann", nperseg=n,
                                  noverlap=n // 2, detrend="constant", scaling="density")
        count = (hi - lo - n) // (n // 2) + 1
        total += pxx * count
        segments += count
    spectrum = report["spectrum"]
    compare(case, "spectrum segments", float(spectrum["segments"]), float(segments), 0.0)
    psd = total / segments
    df = RATE_HZ / n
    f = np.arange(n // 2 + 1) * df
    largest_relative(case, "PSD (g^2/Hz)", spectrum["psd_g2_per_hz"], psd, EXACT,
                     psd.max() * 1e-9)
    amplitude = np.sort(np.array(spectrum["amplitude_g"][1:], dtype=float))
    compare(case, "noise floor: median bin (g)", spectrum["noise_floor_g"],
            amplitude[len(amplitude) // 2], EXACT)

    low, high = (float(v) for v in a.band.split(":"))
    band = (f >= low) & (f <= high)
    w2 = (2 * math.pi * f[band]) ** 2
    compare(case, "grms (g)", spectrum["grms_g"], math.sqrt(psd[1:].sum() * df), EXACT)
    compare(case, "band RMS (g)", spectrum["band_rms_g"], math.sqrt(psd[band].sum() * df), EXACT)
    velocity = math.sqrt((psd[band] * G0 ** 2 / w2).sum() * df) * 1e3
    displacement = math.sqrt((psd[band] * G0 ** 2 / w2 ** 2).sum() * df) * 1e6
    compare(case, "velocity RMS (mm/s)", spectrum["velocity_rms_mm_s"], velocity, EXACT)
    compare(case, "displacement RMS (um)", spectrum["displacement_rms_um"], displacement, EXACT)
    if a.sine_ms2 is not None:
        exact = a.sine_ms2 / (2 * math.pi * a.sine_hz * math.sqrt(2)) * 1e3
        compare(case, "velocity RMS vs A/(2 pi f sqrt 2)", spectrum["velocity_rms_mm_s"], exact,
                ANALYTIC)

    ours = [b["rms_g"] for b in spectrum["third_octave_bands"] if b["bins"] > 0]
    ref = []
    for i, b in enumerate(spectrum["third_octave_bands"]):
        centre = 10 ** ((i + 1) / 10)
        inside = (f >= centre / 10 ** 0.05) & (f < centre * 10 ** 0.05) & (f > 0)
        if inside.any():
            ref.append(math.sqrt(psd[inside].sum() * df))
    largest_relative(case, "1/3-octave RMS (g)", ours, ref, EXACT, 0.0)

    # The trend: intervals from the first row with a value.
    tt, xx = t[finite], g[finite]
    which = np.floor((tt - tt[0]) / a.interval + 1e-9).astype(np.int64)
    starts = np.flatnonzero(np.r_[True, np.diff(which) != 0])
    ends = np.r_[starts[1:], len(which)]
    rms = [xx[s:e].std() for s, e in zip(starts, ends)]
    peak = [np.max(np.abs(xx[s:e] - xx[s:e].mean())) for s, e in zip(starts, ends)]
    intervals = report["trend"]["intervals"]
    compare(case, "trend intervals", float(len(intervals)), float(len(starts)), 0.0)
    if len(intervals) == len(starts):
        compare(case, "trend rows", float(sum(i["rows"] for i in intervals)),
                float(sum(ends - starts)), 0.0)
        largest_relative(case, "trend RMS (g)", [i["rms_g"] for i in intervals], rms, EXACT,
                         1e-12)
        largest_relative(case, "trend peak (g)", [i["peak_g"] for i in intervals], peak, EXACT,
                         1e-12)
    if a.dominant_hz is not None:
        found = [i["dominant_hz"] for i in intervals if i["dominant_hz"] is not None]
        worst = max(found, key=lambda v: abs(v - a.dominant_hz)) if found else None
        compare(case, "trend dominant frequency (Hz)", worst, a.dominant_hz, 1e-3)

    print("%-10s %-42s %18s %18s %10s %8s" % ("case", "figure", "acc_inspect", "reference",
                                               "rel. diff", "limit"))
    for case_name, figure, ours, ref, diff, tol, ok in rows:
        print("%-10s %-42s %18.10g %18.10g %10.2e %8.0e%s" % (
            case_name, figure, ours if ours is not None else math.nan,
            ref if ref is not None else math.nan, diff, tol, "" if ok else "  <-- FAILED"))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
