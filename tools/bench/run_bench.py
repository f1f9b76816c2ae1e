"""Whole-run benchmark: the cellpost binary against the simulated modem, in
the same private namespace as the end-to-end tests. Prints, per case and
modem latency, the median wall time of a run next to the floor set by the
dialogue's own waits (200 ms of quiet after each reply, plus the modem's
latency, for every exchange), their ratio, the CPU time (user + sys) and
the peak resident memory of a run.

CPU time and peak RSS are cellpost's own, taken by rusage_exec inside the
namespace; the same wrapper running /bin/true shows the floor of that
measurement.

Usage (as root): run_bench.py CELLPOST SIMULATOR RUSAGE_EXEC"""

import os
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))
import sandbox  # noqa: E402

QUIET_S = 0.2
CASES = [  # (label, recipients, text, runs)
    ("1 x 1 part", 1, "hello", 5),
    ("1 x 3 parts", 1, "b" * 400, 5),
    ("19 x 3 parts", 19, "b" * 400, 3),
]
LATENCIES_MS = [0, 20]


def parts(text):
    return 1 if len(text) <= 160 else -(-min(len(text), 1530) // 153)


def measure(box, args):
    """(wall seconds, cpu seconds, peak RSS KiB, exit status) of one run."""
    start = time.monotonic()
    proc = box.start(args)
    _, err = proc.communicate()
    wall = time.monotonic() - start
    line = [ln for ln in err.decode().splitlines() if ln.startswith("rusage ")][-1].split()
    return wall, float(line[1]), int(line[2]), proc.returncode


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    cellpost, simulator, rusage_exec = sys.argv[1:]
    base = sandbox.Sandbox("/bin/true", simulator, [rusage_exec])
    try:
        _, _, base_rss, _ = measure(base, [])
    finally:
        base.close()

    print("| case | latency | PDUs | median wall | floor | ratio | CPU/run | peak RSS |")
    print("|---|---|---|---|---|---|---|---|")
    for latency in LATENCIES_MS:
        for label, recipients, text, runs in CASES:
            box = sandbox.Sandbox(cellpost, simulator, [rusage_exec])
            try:
                box.modem("ttyUSB8", ["--latency-ms", str(latency)])
                numbers = [f"+1555555{i:04d}" for i in range(recipients)]
                results = [measure(box, [*numbers, text]) for _ in range(runs)]
            finally:
                box.close()
            if any(r[3] != 0 for r in results):
                sys.exit(f"{label}: a run failed: {results}")
            pdus = recipients * parts(text)
            floor = (1 + 2 * pdus) * (QUIET_S + latency / 1000)
            wall = statistics.median(r[0] for r in results)
            cpu = statistics.median(r[1] for r in results)
            rss = max(r[2] for r in results)
            print(f"| {label} | {latency} ms | {pdus} | {wall:.3f} s | {floor:.3f} s | "
                  f"{wall / floor:.3f} | {cpu * 1000:.1f} ms | {rss} KiB |")
    print(f"\nFloor of the RSS measurement (rusage_exec running /bin/true): {base_rss} KiB")


if __name__ == "__main__":
    main()
