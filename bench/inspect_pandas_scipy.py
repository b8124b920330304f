#!/usr/bin/env python3
"""What a user would otherwise write to get acc_inspect's figures from a data
file with pandas and SciPy, timed on the same file for the README's speed
comparison: gaps, level statistics, the unit columns rechecked, Welch's
density per run between gaps, grms, band, velocity and displacement RMS,
one-third-octave bands, the per-second trend and a spectrogram.

  inspect_pandas_scipy.py FILE.csv   -> wall seconds, rows/s, peak memory
"""
import math
import resource
import sys
import time

import numpy as np
import pandas as pd
from scipy import signal, stats

RATE = 10000.0
G0 = 9.80665


def main(path):
    start = time.monotonic()
    df = pd.read_csv(path)
    t = df["Time(s)"].to_numpy()
    volt = df["Volt(V)"].to_numpy()
    g = df["Accel(g)"].to_numpy()
    ms2 = df["Accel(m/s^2)"].to_numpy()

    step = np.diff(t) - 1 / RATE
    gaps = np.flatnonzero(step > 0.05) + 1
    overlaps = int(np.count_nonzero(step < -0.05))
    mismatched = int(np.count_nonzero((np.abs(volt / 0.5 - g) > 1.5e-6) |
                                      (np.abs(volt / 0.5 * G0 - ms2) > 1.1e-5)))
    x = g[np.isfinite(g)]
    mean = x.mean()
    std = x.std()
    departure = np.max(np.abs(x - mean))
    levels = (x.min(), x.max(), mean, math.sqrt(np.mean(x * x)), std, departure / std,
              stats.kurtosis(x, fisher=False), stats.skew(x))

    held = pd.Series(g).ffill().fillna(0.0).to_numpy()
    cuts = sorted(set([0, len(g)] + list(gaps) + [i + 1000 for i in gaps if i + 1000 < len(g)]))
    n = 8192
    total = np.zeros(n // 2 + 1)
    count = 0
    columns = []
    for lo, hi in zip(cuts[:-1], cuts[1:]):
        if hi - lo < n:
            continue
        f, pxx = signal.welch(held[lo:hi], fs=RATE, window="hann", nperseg=n, noverlap=n // 2)
        segments = (hi - lo - n) // (n // 2) + 1
        total += pxx * segments
        count += segments
        columns.append(signal.spectrogram(held[lo:hi], fs=RATE, window="hann", nperseg=n,
                                          noverlap=n // 2)[2])
    psd = total / count
    df_hz = RATE / n
    f = np.arange(n // 2 + 1) * df_hz
    band = (f >= 10) & (f <= 1000)
    w2 = (2 * np.pi * f[band]) ** 2
    grms = math.sqrt(psd[1:].sum() * df_hz)
    band_rms = math.sqrt(psd[band].sum() * df_hz)
    velocity = math.sqrt((psd[band] * G0 ** 2 / w2).sum() * df_hz) * 1e3
    displacement = math.sqrt((psd[band] * G0 ** 2 / w2 ** 2).sum() * df_hz) * 1e6
    octaves = []
    for i in range(1, 64):
        centre = 10 ** (i / 10)
        if centre * 10 ** 0.05 > RATE / 2:
            break
        inside = (f >= centre / 10 ** 0.05) & (f < centre * 10 ** 0.05) & (f > 0)
        octaves.append(math.sqrt(psd[inside].sum() * df_hz))
    frame = pd.DataFrame({"second": np.floor(t - t[0]), "g": g}).dropna()
    trend = frame.groupby("second")["g"].agg(["std", "min", "max", "mean"])

    elapsed = time.monotonic() - start
    peak_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print("rows %d, gaps %d, overlaps %d, mismatched %d, grms %.6f g, band %.6f g, "
          "velocity %.6f mm/s, displacement %.6f um, %d octave bands, %d trend intervals, "
          "kurtosis %.3f" % (len(t), len(gaps), overlaps, mismatched, grms, band_rms, velocity,
                             displacement, len(octaves), len(trend), levels[6]))
    print("wall %.2f s, %.2f M rows/s, peak memory %.0f MiB" %
          (elapsed, len(t) / elapsed / 1e6, peak_kib / 1024))


if __name__ == "__main__":
    main(sys.argv[1])
