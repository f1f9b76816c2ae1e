"""Whole-run benchmark: the cellpost binary against the simulated modem, in
the same private namespace as the end-to-end tests, with the modem taking
20 ms to answer every command and the network 100 ms more to answer every
PDU. Prints, per case, the median wall time of a run, that time less the
fixed start-up, the modem's own time and their ratio; then the command
lines written, the CPU time (user + sys) and the peak resident memory of a
run.

The modem's own time is what the modem itself needs and no sender can save:
its latency for every command line cellpost wrote (counted in the
simulator's transcript, so any exchange added to the dialogue counts too)
plus the network delay for every PDU. A ratio of 1 would mean cellpost
waits for nothing but the modem.

The fixed start-up is the median wall time of `cellpost --version` in the
same sandbox wrapper: setting up the namespace and starting the binary,
without talking to the modem. It is taken off each wall time before the
ratio, and printed on its own line.

CPU time and peak RSS are cellpost's own, taken by rusage_exec inside the
namespace; the same wrapper running /bin/true shows the floor of that
measurement.

Last, a burst: eight one-part alarms started together, each to its own
number, against modems whose network takes one second a PDU: first all on
one modem, then on a pool of two (--pool). Prints the wall time of each
burst, from the moment all eight are let go at once to the last one's end
(the median of a few), and their ratio, which must be at most 0.55.

Usage (as root): run_bench.py CELLPOST SIMULATOR RUSAGE_EXEC"""

import fcntl
import os
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))
import sandbox  # noqa: E402

LATENCY_MS = 20
DELAY_MS = 100
STARTUP_RUNS = 7
CASES = [  # (label, recipients, text, runs)
    ("1 recipient, 1 part", 1, "hello", 5),
    ("1 recipient, 3 parts", 1, "b" * 400, 5),
    ("3 recipients, 3 parts", 3, "b" * 400, 5),
    ("19 recipients, 1 part", 19, "hello", 3),
]
BURST = 8          # alarms started together
BURST_DELAY_MS = 1000
BURST_RUNS = 3
BURST_RATIO = 0.55  # what two modems must reach at least


def parts(text):
    return 1 if len(text) <= 160 else -(-min(len(text), 1530) // 153)


def measure(box, args, label):
    """(wall seconds, cpu seconds, peak RSS KiB) of one run that exits 0."""
    start = time.monotonic()
    proc = box.start(args)
    try:
        _, err = proc.communicate(timeout=300)
    except subprocess.TimeoutExpired:
        proc.kill()
        sys.exit(f"{label}: a run did not finish")
    wall = time.monotonic() - start
    err = err.decode(errors="replace")
    if proc.returncode != 0:
        sys.exit(f"{label}: a run exited with status {proc.returncode}: {err.strip()}")
    line = [ln for ln in err.splitlines() if ln.startswith("rusage ")][-1].split()
    return wall, float(line[1]), int(line[2])


def blocked_at(path):
    """How many processes wait for an flock on `path` (/proc/locks)."""
    inode = str(os.stat(path).st_ino)
    with open("/proc/locks", encoding="ascii") as locks:
        return sum(1 for line in locks
                   if line.split()[1] == "->" and line.split()[6].split(":")[-1] == inode)


def burst(box, devices, label, gate):
    """Wall seconds of BURST alarms started together on `devices`. Each run
    waits behind `gate`, an flock held here, until all are in the sandbox,
    so that the sandbox's own start-up (a second or so for eight on two
    busy cores) does not spread out what should start together."""
    options = ["--pool"] if len(devices) > 1 else []
    for device in devices:
        options += ["-d", f"/dev/{device}"]
    with open(gate, "w") as held:
        fcntl.flock(held, fcntl.LOCK_EX)
        procs = [box.start([*options, f"+1555555{i:04d}", f"alarm {i}"]) for i in range(BURST)]
        deadline = time.monotonic() + 60
        while blocked_at(gate) < BURST and time.monotonic() < deadline:
            time.sleep(0.01)
        start = time.monotonic()
    for proc in procs:
        try:
            _, err = proc.communicate(timeout=300)
        except subprocess.TimeoutExpired:
            proc.kill()
            sys.exit(f"{label}: a run did not finish")
        if proc.returncode != 0:
            sys.exit(f"{label}: a run exited with status {proc.returncode}: "
                     f"{err.decode(errors='replace').strip()}")
    return time.monotonic() - start


def measure_burst(cellpost, simulator):
    """The burst on one modem and on a pool of two: {modems: (median
    seconds, PDUs each modem took)}."""
    walls = {}
    for devices in (["ttyUSB8"], ["ttyUSB8", "ttyUSB9"]):
        label = f"burst on {len(devices)} modem{'s' if len(devices) > 1 else ''}"
        box = sandbox.Sandbox(cellpost, simulator)
        gate = os.path.join(box.dir, "gate")
        box.wrapper = ["flock", "--shared", gate]
        try:
            sims = [box.modem(d, ["--latency-ms", str(LATENCY_MS),
                                  "--delay-ms", str(BURST_DELAY_MS)]) for d in devices]
            runs = [burst(box, devices, label, gate) for _ in range(BURST_RUNS)]
            time.sleep(0.1)  # lets the simulators log anything written just before exit
            taken = [len(sim.pdus()) for sim in sims]
        finally:
            box.close()
        if sum(taken) != BURST * BURST_RUNS:
            sys.exit(f"{label}: {sum(taken)} PDUs, expected {BURST * BURST_RUNS}")
        walls[len(devices)] = (statistics.median(runs), taken)
    return walls


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    cellpost, simulator, rusage_exec = sys.argv[1:]
    base = sandbox.Sandbox("/bin/true", simulator, [rusage_exec])
    try:
        _, _, base_rss = measure(base, [], "/bin/true")
    finally:
        base.close()

    modem = ["--latency-ms", str(LATENCY_MS), "--delay-ms", str(DELAY_MS)]
    box = sandbox.Sandbox(cellpost, simulator, [rusage_exec])
    try:
        box.modem("ttyUSB8", modem)
        startup = statistics.median(
            measure(box, ["--version"], "start-up (--version)")[0] for _ in range(STARTUP_RUNS))
    finally:
        box.close()

    rows, usage = [], []
    for label, recipients, text, runs in CASES:
        box = sandbox.Sandbox(cellpost, simulator, [rusage_exec])
        try:
            sim = box.modem("ttyUSB8", modem)
            numbers = [f"+1555555{i:04d}" for i in range(recipients)]
            results = [measure(box, [*numbers, text], label) for _ in range(runs)]
            time.sleep(0.1)  # lets the simulator log anything written just before exit
            commands = len(sandbox.commands(sim.received())) / runs
            pdus = len(sim.pdus()) / runs
        finally:
            box.close()
        if pdus != recipients * parts(text):
            sys.exit(f"{label}: {pdus:g} PDUs a run, expected {recipients * parts(text)}")
        own = (commands * LATENCY_MS + pdus * DELAY_MS) / 1000
        wall = statistics.median(r[0] for r in results)
        rows.append(f"| {label} | {pdus:g} | {wall:.3f} s | {wall - startup:.3f} s | "
                    f"{own:.3f} s | {(wall - startup) / own:.2f} |")
        cpu = statistics.median(r[1] for r in results)
        usage.append(f"| {label} | {commands:g} | {cpu * 1000:.1f} ms | "
                     f"{max(r[2] for r in results)} KiB |")

    print(f"Modem: {LATENCY_MS} ms before every answer, {DELAY_MS} ms more before a PDU's result")
    print(f"Fixed start-up (cellpost --version in the sandbox, median of {STARTUP_RUNS}): "
          f"{startup:.3f} s\n")
    print("| run | PDUs | median wall | start-up off | modem's own time | ratio |")
    print("|---|---|---|---|---|---|")
    print("\n".join(rows))
    print("\n| run | command lines | CPU/run | peak RSS |")
    print("|---|---|---|---|")
    print("\n".join(usage))
    print(f"\nFloor of the RSS measurement (rusage_exec running /bin/true): {base_rss} KiB")

    walls = measure_burst(cellpost, simulator)
    (one, _), (two, shares) = walls[1], walls[2]
    print(f"\nBurst: {BURST} one-part alarms started together, {BURST_DELAY_MS} ms of network "
          f"a PDU (median of {BURST_RUNS})")
    print(f"| modems | wall | PDUs per modem, {BURST_RUNS} bursts |")
    print("|---|---|---|")
    print(f"| 1 | {one:.3f} s | {BURST * BURST_RUNS} |")
    print(f"| 2 (pool) | {two:.3f} s | {' + '.join(map(str, shares))} |")
    verdict = "" if two / one <= BURST_RATIO else f": ABOVE {BURST_RATIO}"
    print(f"Ratio, two modems to one: {two / one:.2f}{verdict}")


if __name__ == "__main__":
    main()
