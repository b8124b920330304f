#!/usr/bin/env python3
"""What acc_inspect --follow costs on a recording being made.

Usage: follow_measure.py BUILD_DIR SECONDS [unpaced|across]

Runs BUILD_DIR's acc_recorder_for_tests against the simulated device
(paced: 10 kHz in real time; `unpaced`: as fast as the recorder goes) and
follows it with `acc_inspect --follow recordings --json - --prom FILE` for
SECONDS. Prints the follower's CPU time from /proc/PID/stat over that time,
its peak RSS (VmHWM), and, paced, how late each interval's line comes after
the bytes of the interval's first row were in the file (the file is read
every 2 ms; the first row of an interval waits longest).

`across`: paced, the follower given --across-runs as its service runs it;
after the SECONDS of the run the recorder stops, and the follower's CPU time
is also read over SECONDS while it waits for the next run.
"""
import json
import os
import signal
import subprocess
import sys
import threading
import time

build, seconds = os.path.abspath(sys.argv[1]), float(sys.argv[2])
unpaced = len(sys.argv) > 3 and sys.argv[3] == "unpaced"
across = len(sys.argv) > 3 and sys.argv[3] == "across"
env = dict(os.environ, ACTS2200_SIM_UNPACED="1" if unpaced else "")
work = "/tmp/follow_measure"
subprocess.run(["rm", "-rf", work], check=True)
os.makedirs(work + "/recordings")
recorder = subprocess.Popen([build + "/src/acc_recorder_for_tests"], cwd=work,
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, env=env)


def data_files():
    return [n for n in os.listdir(work + "/recordings") if n.endswith(".csv")]


while not data_files():
    time.sleep(0.001)
path = work + "/recordings/" + data_files()[0]
written = []  # (time, lines in the file then)
stopping = False


def watch():
    lines = 0
    with open(path, "rb") as f:
        while not stopping:
            b = f.read()
            if b:
                lines += b.count(b"\n")
                written.append((time.time(), lines))
            else:
                time.sleep(0.002)


if not unpaced:
    threading.Thread(target=watch, daemon=True).start()
follower = subprocess.Popen([build + "/inspect/acc_inspect", "--follow", "recordings", "--json",
                             "-", "--prom", work + "/acc.prom"] +
                            (["--across-runs"] if across else []), cwd=work,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
tick = os.sysconf("SC_CLK_TCK")


def cpu_s():
    fields = open("/proc/%d/stat" % follower.pid).read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / tick


seen = []  # (time read, line of the interval's first row)
rows = 0
cpu0, t0 = cpu_s(), time.time()
for line in follower.stdout:
    now = time.time()
    seen.append((now, rows + 2))  # the header is line 1
    rows += json.loads(line)["rows"]
    if now - t0 >= seconds:
        break
cpu1, t1 = cpu_s(), time.time()
peak = [l.split()[1] for l in open("/proc/%d/status" % follower.pid) if l.startswith("VmHWM")]
stopping = True
recorder.send_signal(signal.SIGTERM)
recorder.wait()
if across:
    time.sleep(5)  # the run's end: 3 s after the recorder let go
    wait0, w0 = cpu_s(), time.time()
    time.sleep(seconds)
    wait1, w1 = cpu_s(), time.time()
    alive = follower.poll() is None
    follower.send_signal(signal.SIGTERM)
follower.wait()
subprocess.run(["rm", "-rf", work], check=True)
print("%d intervals, %d rows in %.1f s" % (len(seen), rows, t1 - t0))
print("CPU %.2f s = %.3f %% of a core; peak RSS %s kB" %
      (cpu1 - cpu0, 100 * (cpu1 - cpu0) / (t1 - t0), peak[0]))
if across:
    print("waiting for the next run (%s): CPU %.2f s in %.1f s = %.3f %% of a core" %
          ("still up" if alive else "ENDED", wait1 - wait0, w1 - w0,
           100 * (wait1 - wait0) / (w1 - w0)))
if written:
    delays = [now - next(t for t, n in written if n >= first) for now, first in seen[1:]]
    print("row in the file to its interval's line: max %.3f s, mean %.3f s" %
          (max(delays), sum(delays) / len(delays)))
