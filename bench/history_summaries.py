#!/usr/bin/env python3
"""Writes DAYS days of summaries (acc_summary(5)), one recording per hour,
one line per second, into DIR: the input of `acc_inspect --history DIR`'s
measurement in bench/README.md."""
import datetime
import gzip
import math
import random
import sys

HEADER = ("start_utc,start_s,rows,rms_g,peak_g,velocity_rms_mm_s,dominant_hz,"
          "kurtosis,gaps,overlaps\n")


def main():
    out_dir, days = sys.argv[1], int(sys.argv[2])
    random.seed(1)
    start = datetime.datetime(2026, 11, 9, tzinfo=datetime.timezone.utc)
    for hour in range(days * 24):
        t0 = start + datetime.timedelta(hours=hour)
        lines = ["# acc_summary 1\n", HEADER]
        for s in range(3600):
            t = t0 + datetime.timedelta(seconds=s)
            # Full-precision figures, as the archiver writes them (about 4.5 MB a day).
            v = 2.0 + math.sin((hour * 3600 + s) / 5000.0) + random.random() * 0.1
            lines.append("%s.000Z,%r,10000,%r,%r,%r,%r,%r,0,0\n" % (
                t.strftime("%Y-%m-%dT%H:%M:%S"), s + 0.1, 0.35 + random.random() * 0.01,
                0.5 + random.random() * 0.1, v, 50.0 + random.random(), 1.5 + random.random()))
        name = "%s/ai0_summary_%s.csv.gz" % (out_dir, t0.strftime("%Y%m%d_%H%M%S"))
        with gzip.open(name, "wt", compresslevel=6) as f:
            f.write("".join(lines))


if __name__ == "__main__":
    main()
