"""Runs the unmodified cellpost binary against simulated modems in a private
mount namespace, and reads back what crossed the line.

Inside the namespace /dev is a fresh tmpfs holding only the modem devices
asked for (bind mounts of simulator pseudo-terminals) and /dev/log (a bind
mount of a socket this module reads: a datagram socket, or a stream socket
as syslog-ng's unix-stream() listens on), and /run/lock, which /var/lock
points to, is a scratch directory. The log socket is read as lines come,
as a syslog daemon does, unless it is made to stall. The machine's own /dev and /var/lock are
never touched.
"""

import binascii
import os
import re
import select
import shutil
import socket
import subprocess
import tempfile
import threading
import time

# The GSM 7-bit default alphabet differs from ASCII at these codes.
GSM7_DIFFERENCES = {
    0x00: "@", 0x02: "$", 0x11: "_", 0x24: "¤", 0x40: "¡", 0x5B: "Ä", 0x5C: "Ö",
    0x5D: "Ñ", 0x5E: "Ü", 0x5F: "§", 0x60: "¿", 0x7B: "ä", 0x7C: "ö", 0x7D: "ñ",
    0x7E: "ü", 0x7F: "à",
}

SETUP = r"""
set -e
T="$1"; LOCKS="$2"; shift 2
mount -t tmpfs -o mode=755 cellpost-dev "$T/dev"
for link in "$T"/pty.*; do
    [ -e "$link" ] || continue
    d=${link##*/pty.}
    touch "$T/dev/$d"
    mount --bind "$(readlink "$link")" "$T/dev/$d"
done
touch "$T/dev/log"
mount --bind "$T/log.sock" "$T/dev/log"
case "$LOCKS" in
    missing) mount -t tmpfs -o mode=755 cellpost-run /run ;;
    ro) mount --bind "$T/lock" /run/lock; mount -o remount,bind,ro /run/lock ;;
    *) mount --bind "$T/lock" /run/lock ;;
esac
mount --move "$T/dev" /dev
exec "$@"
"""


class Unavailable(Exception):
    """No way to make a private mount namespace here."""


def namespace_command():
    """The unshare invocation that works here, or Unavailable."""
    if os.geteuid() == 0:
        candidates = [["unshare", "--mount", "--propagation", "private"]]
    else:
        candidates = [["unshare", "--mount", "--map-root-user", "--propagation", "private"]]
    for cmd in candidates:
        probe = subprocess.run(cmd + ["sh", "-c", "mount -t tmpfs none /run/lock"],
                               capture_output=True)
        if probe.returncode == 0:
            return cmd
    raise Unavailable("cannot create a private mount namespace (need root or user namespaces)")


def gsm7_text(text_bytes):
    """What a phone shows for these bytes sent as GSM 7-bit codes."""
    return "".join(GSM7_DIFFERENCES.get(b & 0x7F, chr(b & 0x7F)) for b in text_bytes)


class Simulator:
    """A running cellpost-modem-sim, with its transcript and PDU list."""

    def __init__(self, binary, workdir, name, options=(), emulator=()):
        self.transcript_path = os.path.join(workdir, f"{name}.transcript")
        self.pdus_path = os.path.join(workdir, f"{name}.pdus")
        self.proc = subprocess.Popen(
            [*emulator, binary, "--transcript", self.transcript_path, "--pdus", self.pdus_path, *options],
            stdout=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline().split()
        if len(line) != 2 or line[0] != "pty":
            raise RuntimeError(f"simulator did not start: {line}")
        self.pty = line[1]

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(timeout=5)

    def transcript(self):
        """[(seconds, direction, bytes)] in order."""
        out = []
        with open(self.transcript_path, encoding="ascii") as f:
            for line in f:
                when, direction, data = line.rstrip("\n").split(" ", 2)
                out.append((float(when), direction, unescape(data)))
        return out

    def received(self):
        """Every byte cellpost wrote, in order."""
        return b"".join(d for _, direction, d in self.transcript() if direction == "<")

    def pdus(self):
        """[(hex, verdict)] for every PDU received."""
        if not os.path.exists(self.pdus_path):
            return []
        with open(self.pdus_path, encoding="ascii") as f:
            return [tuple(line.split()) for line in f if line.strip()]


def unescape(text):
    out = bytearray()
    i = 0
    while i < len(text):
        c = text[i]
        if c == "\\":
            nxt = text[i + 1]
            if nxt == "x":
                out.append(int(text[i + 2:i + 4], 16))
                i += 4
                continue
            out.append({"r": 13, "n": 10, "\\": 92}[nxt])
            i += 2
            continue
        out.append(ord(c))
        i += 1
    return bytes(out)


def commands(data):
    """Splits what cellpost wrote into command lines (ended by CR or Ctrl-Z)."""
    return re.findall(rb"[^\r\x1a]*[\r\x1a]", data)


SYSLOG_LINE = re.compile(r"^<(\d+)>(\w{3} [ \d]\d \d\d:\d\d:\d\d )?(\S+?)\[(\d+)\]: (.*)$", re.S)


class Run:
    """The outcome of one cellpost run."""

    def __init__(self, status, stdout, stderr, syslog, locks, elapsed, pid):
        self.status = status
        self.stdout = stdout
        self.stderr = stderr
        self.syslog = syslog    # [(priority, tag, pid, text)]
        self.locks = locks      # {file name: bytes} left in the lock directory
        self.elapsed = elapsed  # seconds
        self.pid = pid

    def messages(self):
        return [text for _, _, _, text in self.syslog]


class Sandbox:
    """One scratch directory: devices, lock directory and syslog socket."""

    def __init__(self, cellpost, simulator, wrapper=(), locks="rw", emulator=(), log="dgram"):
        self.cellpost = cellpost
        self.wrapper = list(wrapper)  # e.g. valgrind and its options
        self.emulator = list(emulator)  # runs another architecture's binaries
        self.lock_state = locks       # the lock directory: "rw", "ro" or "missing"
        self.simulator = simulator
        self.unshare = namespace_command()
        self.dir = tempfile.mkdtemp(prefix="cellpost-e2e-")
        self.lock_dir = os.path.join(self.dir, "lock")
        os.mkdir(self.lock_dir)
        os.chmod(self.lock_dir, 0o1777)
        os.mkdir(os.path.join(self.dir, "dev"))
        self.stream = log == "stream"
        self.log = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM if self.stream else socket.SOCK_DGRAM)
        self.log.bind(os.path.join(self.dir, "log.sock"))
        os.chmod(os.path.join(self.dir, "log.sock"), 0o666)
        if self.stream:
            self.log.listen(16)
        self.lines = []            # as received, not yet drained
        self.idle = 0              # reader passes that found nothing to read
        self.stalled = threading.Event()
        self.closing = threading.Event()
        self.guard = threading.Lock()
        self.reader = threading.Thread(target=self.read_log, daemon=True)
        self.reader.start()
        self.modems = {}

    def read_log(self):
        """Reads the log socket as a syslog daemon would: datagrams, or on a
        stream each line up to its NUL."""
        partial = {}  # a stream connection: its unfinished line
        while not self.closing.is_set():
            ready = [] if self.stalled.wait(0) else select.select([self.log, *partial], [], [], 0.02)[0]
            lines = []
            for s in ready:
                if s is self.log and self.stream:
                    partial[self.log.accept()[0]] = b""
                    continue
                data = s.recv(65536)
                if s is self.log:
                    lines.append(data)
                elif not data:
                    del partial[s]
                    s.close()
                else:
                    *whole, partial[s] = (partial[s] + data).split(b"\0")
                    lines.extend(whole)
            with self.guard:
                self.lines.extend(lines)
                self.idle += not ready and not self.stalled.is_set()
            if self.stalled.is_set():
                time.sleep(0.02)
        for connection in partial:
            connection.close()

    def modem(self, device, options=()):
        """Puts a simulated modem behind /dev/<device>."""
        sim = Simulator(self.simulator, self.dir, device, options, self.emulator)
        self.modems[device] = sim
        os.symlink(sim.pty, os.path.join(self.dir, f"pty.{device}"))
        return sim

    def stray(self, device, path):
        """Puts the file or device `path` behind /dev/<device>."""
        os.symlink(path, os.path.join(self.dir, f"pty.{device}"))

    def write_lock(self, device, content, age=0):
        """A lock file for /dev/<device>, last written `age` seconds ago."""
        path = os.path.join(self.lock_dir, f"LCK..{device}")
        with open(path, "wb") as f:
            f.write(content)
        if age:
            then = time.time() - age
            os.utime(path, (then, then))

    def start(self, args, umask=None, preexec=None, stderr=subprocess.PIPE, env=None, stdin=None):
        """Starts cellpost with `args`, and `env` added to ours less CELLPOST_DEVICE and
        CELLPOST_POOL; returns the Popen. `preexec` runs in the child before the exec, as a caller's would."""
        def setup():
            if umask is not None:
                os.umask(umask)
            if preexec is not None:
                preexec()
        return subprocess.Popen(
            [*self.unshare, "sh", "-c", SETUP, "sandbox", self.dir, self.lock_state,
             *self.wrapper, *self.emulator, self.cellpost, *args],
            stdin=stdin, stdout=subprocess.PIPE, stderr=stderr, preexec_fn=setup,
            env={**{k: v for k, v in os.environ.items()
                    if k not in ("CELLPOST_DEVICE", "CELLPOST_POOL")}, **(env or {})})

    def run(self, args, timeout=60, env=None, input=None):
        """Runs cellpost to its end; `input`: bytes for its standard input."""
        started = time.monotonic()
        proc = self.start(args, env=env, stdin=None if input is None else subprocess.PIPE)
        out, err = proc.communicate(input=input, timeout=timeout)
        elapsed = time.monotonic() - started
        return Run(proc.returncode, out.decode(errors="replace"), err.decode(errors="replace"),
                   self.drain_syslog(), self.locks(), elapsed, proc.pid)

    def stall_syslog(self):
        """Fills the log socket's queue, as a stalled syslog daemon leaves it."""
        self.stalled.set()
        time.sleep(0.1)  # the reader has seen it
        stuffer = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        stuffer.setblocking(False)
        try:
            while True:
                stuffer.sendto(b"<30>stuffing", os.path.join(self.dir, "log.sock"))
        except BlockingIOError:
            pass
        finally:
            stuffer.close()

    def drain_syslog(self):
        """Every line received since the last call, once the socket is empty."""
        self.stalled.clear()
        with self.guard:
            seen = self.idle
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline:
            with self.guard:
                if self.idle > seen + 1:
                    break
            time.sleep(0.01)
        with self.guard:
            received, self.lines = self.lines, []
        lines = []
        for data in received:
            m = SYSLOG_LINE.match(data.decode(errors="replace"))
            if m:
                lines.append((int(m.group(1)), m.group(3), int(m.group(4)), m.group(5)))
            else:
                lines.append((-1, "", 0, data.decode(errors="replace")))
        return lines

    def locks(self):
        out = {}
        for name in sorted(os.listdir(self.lock_dir)):
            with open(os.path.join(self.lock_dir, name), "rb") as f:
                out[name] = f.read()
        return out

    def close(self):
        for sim in self.modems.values():
            sim.stop()
        self.closing.set()
        self.reader.join()
        self.log.close()
        shutil.rmtree(self.dir, ignore_errors=True)


def decode(hex_pdu):
    """An independent decoder's view of one of cellpost's PDUs (gammu)."""
    import gammu  # Debian's python3-gammu
    return gammu.DecodePDU(binascii.unhexlify(hex_pdu), SMSC=True)
