"""Sends one SMS with cellpost through the simulated modem and shows what
crossed the line, each PDU as an independent decoder (gammu) reads it, and
what cellpost logged. Usage: demo.py CELLPOST SIMULATOR [number] [text]"""

import os
import sys

sys.path.insert(0, os.path.dirname(__file__))
import sandbox  # noqa: E402

DEFAULT_NUMBER = "+15555550123"
DEFAULT_TEXT = ("Hello from cellpost, sent with -u: the text is UTF-8, and since every "
                "character of it (@, _ and $ too) is in the GSM alphabet it goes in "
                "that alphabet; at over 160 characters, as two parts of one message.")


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    cellpost, simulator = sys.argv[1], sys.argv[2]
    number = sys.argv[3] if len(sys.argv) > 3 else DEFAULT_NUMBER
    text = sys.argv[4] if len(sys.argv) > 4 else DEFAULT_TEXT
    try:
        box = sandbox.Sandbox(cellpost, simulator)
    except sandbox.Unavailable as why:
        sys.exit(f"cannot run the demo: {why}")
    try:
        sim = box.modem("ttyUSB8")
        print(f"$ cellpost -u {number} '{text}'")
        run = box.run(["-u", number, text])
        print(f"\nexit status {run.status} after {run.elapsed:.1f} s")
        if run.stdout:
            print(run.stdout, end="")

        print("\n== AT dialogue on /dev/ttyUSB8 (< from cellpost, > from the modem)")
        for when, direction, data in sim.transcript():
            print(f"{when:7.3f} {direction} {data!r}")

        print("\n== PDUs, decoded by gammu")
        for i, (hex_pdu, verdict) in enumerate(sim.pdus(), 1):
            d = sandbox.decode(hex_pdu)
            udh = d["UDH"]
            part = (f"part {udh['PartNumber']}/{udh['AllParts']}"
                    if udh["Type"] == "ConcatenatedMessages" else "single")
            print(f"PDU {i} ({verdict}, {part}): {hex_pdu}")
            print(f"  to {d['Number']}, {d['Coding']}: {d['Text']!r}")

        print("\n== syslog")
        for priority, tag, pid, message in run.syslog:
            print(f"<{priority}> {tag}[{pid}]: {message}")
        print("\n== lock files left in /var/lock (cellpost removes its own)")
        for name, content in run.locks.items():
            print(f"{name}: {content!r}")
        if not run.locks:
            print("(none)")
        return run.status
    finally:
        box.close()


if __name__ == "__main__":
    sys.exit(main())
