"""End-to-end tests: the installed cellpost binary against simulated modems
in a private mount namespace; every PDU is decoded by gammu, a decoder
nobody here wrote.

Run one group with: run_e2e.py GroupName (CELLPOST_BIN, CELLPOST_SIM set).
"""

import concurrent.futures
import fcntl
import grp
import os
import random
import re
import signal
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tools"))
import sandbox  # noqa: E402

CELLPOST = os.environ.get("CELLPOST_BIN", "cellpost")
SIM = os.environ.get("CELLPOST_SIM", "cellpost-modem-sim")
EMULATOR = os.environ.get("CELLPOST_EMULATOR", "").split()  # for another architecture

LOG_ERR, LOG_WARNING, LOG_NOTICE, LOG_INFO = 27, 28, 29, 30  # facility daemon (3 << 3) plus level
USAGE = ("Usage: cellpost <phone number 1> <phone number 2> ... <phone number n> "
         "<text sms in quotation marks>\n")
HELP = """Sends the text as SMS to every number through the GSM modem.
  -u, --utf8     the text is UTF-8: sent in the GSM alphabet where it can be,
                 else in UCS-2 (70 characters a message instead of 160)
  -d, --device PATH
                 the modem's device, an absolute path; up to 4, tried in order
                 (default: $CELLPOST_POOL or $CELLPOST_DEVICE if set, else the
                 build's devices)
      --pool     the devices are separate modems: each alarm goes out on one
                 that can send now (also: $CELLPOST_POOL="PATH PATH ...")
      --tag TEXT begin every line this run logs with "[TEXT] " (up to 32
                 printable ASCII bytes); the message does not carry it
      --retry-for SECONDS
                 start retry rounds up to this long after the first failure,
                 the last pause repeating (0 to 86400; 0: no retries)
      --report SECONDS
                 wait up to SECONDS (1 to 3600) for the network's delivery
                 reports, holding the modem meanwhile; status 0 only if every
                 message was reported delivered
  -h, --help     print this help and exit
  -V, --version  print the version and exit
      --check    ask the modem whether a message would go out now: prints its
                 state and "ready" or "not ready: <cause>"; sends nothing
      --monitor  the same, as a monitoring plugin: one line "SMS OK - ..."
                 (WARNING, CRITICAL, UNKNOWN), the signal as performance data,
                 and exit status 0, 1, 2 or 3
      --timeout SECONDS
                 --check and --monitor end within this (1 to 300, default 30)
A text of "-" is read from standard input, less one final line end.
Options come before the first number; "--" ends them.
"""
ROAD_PDU = b"0011000B915155550521F30000AA05E8329BFD06"
MODE = b"ATE0+CMGF=0\rAT+CMEE=1\r"  # PDU mode, then numeric error codes
STATE = b"AT+CPIN?\rAT+CREG?\rAT+CEREG?\rAT+CSQ\r"  # asked by a run that gives up
STATE_LINE = "Modem state: +CPIN: READY; +CREG: 0,1; +CEREG: 0,1; +CSQ: 20,99"
# Time bounds, in s: the waits a run must sit out plus LOAD, for a loaded 2-core machine
# (2.2 s seen with under 1 s of waits); the faults they catch add 5 s (a prompt's wait,
# the default build's first retry round) or 10 s (an answer's or a live lock's wait).
LOAD = 3.5
ROUNDS = 1 + 2  # the short-waits build's retry rounds
STOP = 1 + LOAD  # a stop's 1 s; the waits the stops cut short are longer than that and LOAD


def served(number, *references):
    """The audit line of a recipient served, with its parts' references."""
    plural = "s" if len(references) > 1 else ""
    return f"SMS to {number} sent: message reference{plural} {', '.join(map(str, references))}."


def expected_parts(text):
    """The texts of the parts a phone should receive, in order."""
    text = text[:1530]
    if len(text) <= 160:
        return [text]
    return [text[i:i + 153] for i in range(0, len(text), 153)]


def lock_content(box, device="ttyUSB8"):
    """What the lock file of /dev/<device> holds, None while there is none."""
    try:
        with open(os.path.join(box.lock_dir, f"LCK..{device}"), "rb") as f:
            return f.read()
    except FileNotFoundError:
        return None


def wait_for(done, what):
    """Waits for `done()`, something a run does at once, 10 s and LOAD at most."""
    deadline = time.monotonic() + 10 + LOAD
    while not done():
        if time.monotonic() > deadline:
            raise AssertionError(f"not in time: {what}")
        time.sleep(0.01)


def dead_pid():
    """A PID that belonged to a process which has ended."""
    dead = os.fork()
    if dead == 0:
        os._exit(0)
    os.waitpid(dead, 0)
    return dead


class E2E(unittest.TestCase):
    WRAPPER = ()  # what cellpost runs under, e.g. valgrind

    def setUp(self):
        self.box = sandbox.Sandbox(CELLPOST, SIM, self.WRAPPER, emulator=EMULATOR)
        self.taken = []  # the PDUs of modems in sandboxes of their own, gone by tearDown

    def tearDown(self):
        # Whatever else a test checks: every PDU a modem took is an SMS-SUBMIT to gammu.
        try:
            for hex_pdu, _ in sum((sim.pdus() for sim in self.box.modems.values()), self.taken):
                self.assertEqual(sandbox.decode(hex_pdu)["Type"], "Submit", hex_pdu)
        finally:
            self.box.close()

    def run_alone(self, args, options=(), timeout=60, lock=None, input=None, **box_options):
        """One run in a sandbox of its own, against a modem on /dev/ttyUSB8
        with `options` and, if given, a `lock` file's content in the way and
        `input` on standard input: (Run, the bytes cellpost wrote, the modem's PDUs)."""
        box = sandbox.Sandbox(CELLPOST, SIM, **box_options)
        try:
            sim = box.modem("ttyUSB8", options)
            if lock is not None:
                box.write_lock("ttyUSB8", lock)
            run = box.run(args, timeout=timeout, input=input)
            self.taken.extend(sim.pdus())
            return run, sim.received(), sim.pdus()
        finally:
            box.close()

    def assertDelivered(self, pdus, sends):
        """Every PDU the modem took (its `pdus()`) decodes to the numbers and
        texts asked for, each recipient's parts together and in order, all
        under one reference. Returns the references of multi-part messages."""
        i = 0
        references = []
        for number, text in sends:
            parts = expected_parts(text.encode() if isinstance(text, str) else text)
            for k, part in enumerate(parts, 1):
                self.assertLess(i, len(pdus), f"missing PDU for {number} part {k}")
                hex_pdu, verdict = pdus[i]
                self.assertEqual(verdict, "accepted", hex_pdu)
                d = sandbox.decode(hex_pdu)
                where = f"{number} part {k}/{len(parts)}: {hex_pdu}"
                self.assertEqual(d["Number"], number, where)
                self.assertEqual(d["Coding"], "Default_No_Compression", where)
                self.assertEqual(d["Text"], sandbox.gsm7_text(part), where)
                if len(parts) == 1:
                    self.assertEqual(d["UDH"]["Type"], "NoUDH", where)
                else:
                    self.assertEqual(d["UDH"]["Type"], "ConcatenatedMessages", where)
                    if k == 1:
                        references.append(d["UDH"]["ID8bit"])
                    self.assertEqual(d["UDH"]["ID8bit"], references[-1], where)
                    self.assertEqual(d["UDH"]["PartNumber"], k, where)
                    self.assertEqual(d["UDH"]["AllParts"], len(parts), where)
                i += 1
        self.assertEqual(i, len(pdus), "more PDUs than asked for")
        return references


class Road(E2E):
    def test_one_run(self):
        sim = self.box.modem("ttyUSB8")
        run = self.box.run(["+15555550123", "hello"])
        self.assertEqual(run.status, 0, run.stderr)
        self.assertEqual(run.stdout, "")
        self.assertEqual(sim.received(), MODE + b"AT+CMGS=19\r" + ROAD_PDU + b"\x1a")
        self.assertEqual(run.syslog, [(LOG_INFO, "cellpost", run.pid, served("+15555550123", 1)),
                                      (LOG_NOTICE, "cellpost", run.pid, "SMS successfully sent.")])
        self.assertEqual(run.locks, {}, "the lock goes with cellpost")
        self.assertDelivered(sim.pdus(), [("+15555550123", "hello")])

    def test_empty_text(self):
        sim = self.box.modem("ttyUSB8")
        run = self.box.run(["12345", ""])
        self.assertEqual(run.status, 0)
        self.assertEqual(sim.received(), MODE + b"AT+CMGS=11\r00110005812143F50000AA00\x1a")
        self.assertDelivered(sim.pdus(), [("12345", "")])

    def test_runs_one_after_another(self):
        sim = self.box.modem("ttyUSB8")
        first = self.box.run(["+15555550123", "one"])
        second = self.box.run(["+15555550123", "two"])
        self.assertEqual((first.status, second.status), (0, 0))
        self.assertLess(second.elapsed, LOAD)  # waits for nothing the first run left
        self.assertEqual(second.locks, {})
        self.assertDelivered(sim.pdus(), [("+15555550123", "one"), ("+15555550123", "two")])


class Recipients(E2E):
    def test_nineteen_recipients_three_parts_each(self):
        sim = self.box.modem("ttyUSB8")
        numbers = [f"+4915{i:08d}" if i % 2 else f"0170{i:07d}" for i in range(19)]
        text = "".join(chr(0x20 + i % 95) for i in range(400))
        run = self.box.run([*numbers, text])
        self.assertEqual(run.status, 0, run.syslog)
        self.assertEqual(len(sim.pdus()), 57)
        self.assertDelivered(sim.pdus(), [(n, text) for n in numbers])
        changed = (r"Text sent without -u: $ @ [ \ ] ^ _ ` { | } ~ arrive as other characters; "
                   "use -u for UTF-8 text.")
        self.assertEqual(run.messages(), [changed] + [served(n, 3 * i + 1, 3 * i + 2, 3 * i + 3)
                                                      for i, n in enumerate(numbers)]
                         + ["SMS successfully sent."])

    def test_command_lines_that_send_nothing(self):
        sim = self.box.modem("ttyUSB8")
        build = ("Devices: /dev/ttyUSB8, /dev/ttyS2 (from the build)\nLock directory: /var/lock\n"
                 "Retry rounds: 5, 15, 30, 60 s after each other, then 60 s again, within 120 s of "
                 "the first failure\n"
                 "Longest wait for the port: 600 s\n")
        bad = 'Invalid device in --device: "'
        seconds = "is no whole number of seconds from"
        timeout_1x = f'Invalid --timeout: "1x" {seconds} 1 to 300.'
        for args, status, out, *error_env in (
                (["only text"], 1, re.escape(USAGE) + "$"),
                ([], 1, re.escape(USAGE) + "$"),
                ([str(100 + i) for i in range(20)] + ["text"], 1, re.escape(USAGE) + "$"),
                (["--check", "+15555550123"], 1, re.escape(USAGE) + "$"),
                (["--version"], 0, r"cellpost \d+\.\d+\.\d+\n$"),
                (["--help", "+15555550123"], 0, re.escape(USAGE + HELP + build) + "$"),
                (["-d", "/dev/a", "--device=/dev/b", "--help"], 0,
                 r"(.*\n)*Devices: /dev/a, /dev/b \(from --device\)\n", None, {"CELLPOST_DEVICE": "/c"}),
                (["--help"], 0, r"(.*\n)*Devices: /a, /b \(from CELLPOST_POOL\) as a pool\n", None,
                 {"CELLPOST_POOL": " /a\t/b ", "CELLPOST_DEVICE": "/c"}),
                (["123", "hi"], 1, "$", 'Invalid device in CELLPOST_POOL: "b" is not an absolute path.',
                 {"CELLPOST_POOL": "/a b"}),
                (["123", "hi"], 1, "$", 'Invalid device in CELLPOST_POOL: "" is empty.',
                 {"CELLPOST_POOL": " \t"}),
                (["-d", "dev/ttyUSB8", "123", "hi"], 1, "$", bad + 'dev/ttyUSB8" is not an absolute path.'),
                (["--device=", "123", "hi"], 1, "$", bad + '" is empty.'),
                (["--report", "0", "123", "hi"], 1, "$", f'Invalid --report: "0" {seconds} 1 to 3600.'),
                (["--report=-5", "123", "hi"], 1, "$", f'Invalid --report: "-5" {seconds} 1 to 3600.'),
                (["--report", "3601x", "123", "hi"], 1, "$",
                 f'Invalid --report: "3601x" {seconds} 1 to 3600.'),
                (["--report"], 1, re.escape(USAGE) + "$"),
                (["-d", "/" + "x" * 200, "--check"], 1, "$",
                 bad + "/" + "x" * 63 + '..." is longer than 200 bytes.'),
                (["-d", "/dev/ttyUSB8"] * 4 + ["-d", "/dev/ttyS2", "123", "hi"], 1, "$",
                 bad + '/dev/ttyS2" is a fifth device: 4 at most.'),
                (["123", "hi"], 1, "$", 'Invalid device in CELLPOST_DEVICE: "dev/ttyUSB8" is not an '
                 "absolute path.", {"CELLPOST_DEVICE": "dev/ttyUSB8"}),
                (["--tag", "door 3", "-d", "dev/ttyUSB8", "123", "hi"], 1, "$",
                 "[door 3] " + bad + 'dev/ttyUSB8" is not an absolute path.'),
                (["--tag", "x" * 33, "123", "hi"], 1, "$",
                 f'Invalid --tag: "{"x" * 33}" is longer than 32 bytes.'),
                (["--timeout", "0", "--check"], 1, "$", f'Invalid --timeout: "0" {seconds} 1 to 300.'),
                (["--timeout", "9", "123", "hi"], 1, "$",
                 'Invalid --timeout: "9" bounds --check and --monitor alone.'),
                (["--retry-for=86401", "123", "hi"], 1, "$",
                 f'Invalid --retry-for: "86401" {seconds} 0 to 86400.'),
                (["--monitor", "--timeout=1x"], 3, re.escape(f"SMS UNKNOWN - {timeout_1x}") + "\n$",
                 timeout_1x),
                (["--monitor", "extra"], 3, "SMS UNKNOWN - wrong command line\n" + re.escape(USAGE) + "$"),
                (["123", "-d", "/dev/ttyUSB2", "hi"], 1, "$",
                 ['Argument 2 is no phone number: "-d" (options come before the first number)',
                  "Invalid phone number."])):
            error, env = (error_env + [None, None])[:2]
            if status != 0 and error is None:  # the usage line, and the log's line
                error = f"Wrong command line: {len(args)} arguments, or an unknown option."
            errors = error if isinstance(error, list) else [error] if error else []
            with self.subTest(args=args[:2], env=env):
                run = self.box.run(args, env=env)
                self.assertEqual((run.status, run.stderr),
                                 (status, "".join(f"cellpost: {e}\n" for e in errors)))
                self.assertRegex(run.stdout, "^" + out)
                self.assertEqual(run.syslog, [(LOG_ERR, "cellpost", run.pid, e) for e in errors])
                self.assertEqual(run.locks, {})
        self.assertEqual(sim.received(), b"")


class Devices(E2E):
    def test_falls_back_to_ttyS2(self):
        sim = self.box.modem("ttyS2")
        run = self.box.run(["+15555550123", "hello"])
        self.assertEqual(run.status, 0)
        self.assertEqual(run.locks, {})
        self.assertEqual(sim.received(), MODE + b"AT+CMGS=19\r" + ROAD_PDU + b"\x1a")

    def test_stray_file_is_no_modem(self):
        # A script wrote into /dev/ttyUSB8 while the modem was unplugged.
        stray = os.path.join(self.box.dir, "stray")
        with open(stray, "wb") as f:
            f.write(b"left by a script\n")
        self.box.stray("ttyUSB8", stray)
        sim = self.box.modem("ttyS2")
        run = self.box.run(["+15555550123", "hello"])
        self.assertEqual((run.status, run.messages()),
                         (0, [served("+15555550123", 1), "SMS successfully sent."]))
        with open(stray, "rb") as f:
            self.assertEqual(f.read(), b"left by a script\n")
        self.assertDelivered(sim.pdus(), [("+15555550123", "hello")])

    def test_ttyUSB8_is_preferred(self):
        usb = self.box.modem("ttyUSB8")
        s2 = self.box.modem("ttyS2")
        run = self.box.run(["+15555550123", "hello"])
        self.assertEqual(run.status, 0)
        self.assertNotEqual(usb.received(), b"")
        self.assertEqual(s2.received(), b"")

    def test_no_device(self):
        run = self.box.run(["+15555550123", "hello"])
        self.assertEqual(run.status, 1)
        self.assertEqual((run.stdout, run.locks), ("", {}))
        self.assertEqual(run.syslog, [(LOG_ERR, "cellpost", run.pid,
                                       "No modem port: cannot open /dev/ttyUSB8: No such file "
                                       "or directory; /dev/ttyS2: No such file or directory "
                                       "(name the modem with -d PATH or CELLPOST_DEVICE)")])

    def test_devices_given_at_run_time(self):
        # Tried in the order given: a modem not plugged in, then one by its
        # by-id link, locked (here: a stale lock replaced) under its tty's
        # name; neither the variable's nor the build's device is touched.
        usb3, usb8 = self.box.modem("ttyUSB3"), self.box.modem("ttyUSB8")
        by_id = os.path.join(self.box.dir, "serial", "by-id")
        os.makedirs(by_id)
        link = os.path.join(by_id, "usb-Quectel_EG25-G_0123456789-if02-port0")
        os.symlink("/dev/ttyUSB3", link)
        self.box.write_lock("ttyUSB3", b"%10d\n" % dead_pid())
        run = self.box.run(["-d", "/dev/ttyACM0", "--device", link, "--device=/dev/ttyUSB8",
                            "+15555550123", "hello"], env={"CELLPOST_DEVICE": "/dev/ttyUSB8"})
        self.assertEqual((run.status, run.messages(), run.locks),
                         (0, [served("+15555550123", 1), "SMS successfully sent."], {}))
        self.assertEqual(usb8.received(), b"")
        self.assertDelivered(usb3.pdus(), [("+15555550123", "hello")])

    def test_device_from_the_variable(self):
        usb3, usb8 = self.box.modem("ttyUSB3"), self.box.modem("ttyUSB8")
        env = {"CELLPOST_DEVICE": "/dev/ttyUSB3"}
        check = self.box.run(["--check"], env=env)
        self.assertEqual(check.stdout.splitlines()[0], "Device: /dev/ttyUSB3 (from CELLPOST_DEVICE)")
        run = self.box.run(["+15555550123", "hello"], env=env)
        self.assertEqual((check.status, run.status, run.locks, usb8.received()), (0, 0, {}, b""))
        self.assertDelivered(usb3.pdus(), [("+15555550123", "hello")])


class LiveLock(E2E):
    def test_live_holder_keeps_the_port(self):
        usb = self.box.modem("ttyUSB8")
        s2 = self.box.modem("ttyS2")
        self.box.write_lock("ttyUSB8", b"%10d\n" % 1)  # init never ends
        run = self.box.run(["+15555550123", "hello"])
        self.assertEqual(run.status, 1)
        self.assertTrue(10 < run.elapsed < 10 + LOAD, run.elapsed)  # no flock: 10 s from the start
        self.assertEqual(run.messages(), ["No modem port: /dev/ttyUSB8 locked by PID 1"])
        self.assertEqual(run.locks, {"LCK..ttyUSB8": b"%10d\n" % 1})
        self.assertEqual((usb.received(), s2.received()), (b"", b""))


class StaleLocks(E2E):
    def test_replaced_at_once(self):
        dead = dead_pid()
        # Binary, as old lockers wrote it: never bytes that read as text, such as "4" (a kernel thread).
        binary = next(p.to_bytes(4, "little") for p in iter(dead_pid, 0)
                      if not p.to_bytes(4, "little").lstrip(b" \t\n\v\f\r+-")[:1].isdigit())
        sim = self.box.modem("ttyUSB8")
        for what, content in (("dead PID", b"%10d\n" % dead), ("garbage", b"no pid\n"),
                              ("empty", b""), ("binary PID", binary)):
            with self.subTest(what):
                self.box.write_lock("ttyUSB8", content, age=10)  # no PID: stale once 5 s old
                run = self.box.run(["+15555550123", "hello"])
                self.assertEqual(run.status, 0)
                self.assertLess(run.elapsed, LOAD)  # not the 10 s for a live lock
                self.assertEqual(run.locks, {})

    def test_own_pid_value(self):
        # In a PID namespace of its own cellpost is PID 1, so a lock holding
        # 1 holds its own PID: left by an earlier process, never by itself.
        self.box.modem("ttyUSB8")
        self.box.write_lock("ttyUSB8", b"%10d\n" % 1)
        self.box.unshare = self.box.unshare + ["--pid", "--fork"]
        run = self.box.run(["+15555550123", "hello"])
        self.assertEqual(run.status, 0, run.syslog)
        self.assertLess(run.elapsed, LOAD)  # not the 10 s for a live lock
        self.assertEqual(run.locks, {})


class Faults(E2E):
    """With the short-waits build: retry rounds 1 s and 2 s apart."""

    def test_mode_command_error(self):
        sim = self.box.modem("ttyUSB8", ["--script", "AT+CMGF|*|ERROR|0"])
        run = self.box.run(["+15555550123", "hello"])
        self.assertEqual(run.status, 1)
        self.assertEqual(run.messages(), ["Mode command failed: ERROR; trying again in 1 s.",
                                          "Mode command failed: ERROR; trying again in 2 s.",
                                          "Mode command failed: ERROR; no more tries.",
                                          STATE_LINE, "AT+CMGF=0 error."])
        self.assertEqual(sim.received(), b"ATE0+CMGF=0\r" * 3 + STATE)
        self.assertEqual(run.locks, {})

    def test_rejected_destination(self):
        sim = self.box.modem("ttyUSB8", ["--script", "PDU:+15555550123|*|+CMS ERROR: 21|0"])
        text = "r" * 400
        run = self.box.run(["+15555550123", "+4917012345", text])
        self.assertEqual(run.status, 1)
        self.assertEqual(run.messages(), ["SMS to +15555550123 part 1/3 not sent: +CMS ERROR: 21 "
                                          "(short message transfer rejected).",
                                          served("+4917012345", 1, 2, 3),
                                          "SMS rejected by modem."])
        self.assertEqual(run.stderr, "".join(f"cellpost: {m}\n" for p, _, _, m in run.syslog
                                             if p != LOG_INFO))
        self.assertEqual([(sandbox.decode(h)["Number"], v) for h, v in sim.pdus()],
                         [("+15555550123", "answered")] + [("+4917012345", "accepted")] * 3)
        self.assertEqual(run.locks, {})

    def test_closed_standard_descriptors(self):
        # The port and the log socket never take 0, 1 or 2, so nothing meant
        # for standard error reaches the modem, even when the run fails.
        sim = self.box.modem("ttyUSB8", ["--script", "PDU:+15555550124|*|+CMS ERROR: 21|0"])
        self.box.wrapper = ["sh", "-c", 'exec "$@" <&- >&- 2>&-', "sh"]
        good = self.box.run(["+15555550123", "hello"])
        self.box.wrapper = ["sh", "-c", 'exec "$@" 2>&-', "sh"]  # the log socket's number
        bad = self.box.run(["+15555550124", "hello"])
        self.assertEqual((good.status, bad.status), (0, 1))
        self.assertEqual([p for p, _, _, _ in bad.syslog], [LOG_ERR, LOG_ERR], bad.syslog)
        # Standard error whose reader has gone: the run goes on to the next number.
        self.box.wrapper = []
        read, write = os.pipe()
        os.close(read)
        gone = self.box.start(["+15555550124", "+15555550123", "hello"], stderr=write)
        os.close(write)
        self.assertEqual(gone.wait(timeout=30), 1)
        self.assertEqual([v for _, v in sim.pdus()[-2:]], ["answered", "accepted"])
        normal = MODE + b"AT+CMGS=19\r" + ROAD_PDU + b"\x1a"
        self.assertTrue(sim.received().startswith(normal + normal.replace(b"0521F3", b"0521F4")))

    def test_flood(self):
        sim = self.box.modem("ttyUSB8", ["--flood", "72000"])
        run = self.box.run(["+15555550123", "hello"])
        self.assertEqual(run.status, 0, run.syslog)
        self.assertDelivered(sim.pdus(), [("+15555550123", "hello")])

    def test_two_byte_prompt(self):
        # "> " is only 2 bytes, but it is the prompt: the PDU follows at once.
        sim = self.box.modem("ttyUSB8", ["--short-prompt"])
        run = self.box.run(["+15555550123", "hello"])
        self.assertEqual(run.status, 0)
        self.assertLess(run.elapsed, LOAD)  # not 5 s waiting for more of the prompt
        self.assertDelivered(sim.pdus(), [("+15555550123", "hello")])


class SilentModem(E2E):
    def test_silence(self):
        sim = self.box.modem("ttyUSB8", ["--script", "*|*||0"])
        run = self.box.run(["+15555550123", "hello"])
        self.assertEqual(run.status, 1)
        self.assertGreater(run.elapsed, 40.0)  # 10 s, ESC, 10 s more; again 1 s later
        self.assertEqual(run.messages(), ["Mode command failed: no answer; trying again in 1 s.",
                                          "Mode command failed: no answer; no more tries.",
                                          "AT+CMGF=0 error."])
        self.assertEqual(sim.received(), b"ATE0+CMGF=0\r\x1bATE0+CMGF=0\r" * 2)


class LateAnswer(E2E):
    def test_result_after_ten_seconds(self):
        # The network takes 10.5 s; the next recipient is announced only
        # once the result is in.
        sim = self.box.modem("ttyUSB8", ["--delay-ms", "10500"])
        run = self.box.run(["+15555550123", "+15555550124", "late"])
        self.assertEqual(run.status, 0, run.syslog)
        sent = [t for t, d, data in sim.transcript() if d == "<" and data.startswith(b"AT+CMGS")]
        self.assertGreater(sent[1] - sent[0], 10.0)
        self.assertEqual(run.messages(), [served("+15555550123", 1), served("+15555550124", 2),
                                          "SMS successfully sent."])
        self.assertDelivered(sim.pdus(), [("+15555550123", "late"), ("+15555550124", "late")])


SENT, REJECTED = ["SMS successfully sent."], ["SMS rejected by modem."]
GAVE_UP = ["SMS not sent: no more tries."]  # not the message's own cause


class Modems(E2E):
    """Untidy modems, each in a sandbox of its own, at once: status and
    the last line in syslog must say what the modem did (short-waits build:
    a temporary failure is tried again 1 s and 2 s later, within 4 s)."""

    CASES = [  # simulator options, status, last message, seconds it must wait: a try has 4
        # answers (OK, OK, prompt, result), and 4 state queries follow the last try
        (["--notice", "^RSSI:14", "--notice-ms", "150", "--script", "PDU|*|+CMS ERROR: 500|1000"],
         1, GAVE_UP, 2 * 1 + 1),  # two tries and a round: the next would start past 4 s
        (["--notice", "+CREG: 1", "--notice-ms", "150", "--delay-ms", "1000"], 0, SENT, 1),
        (["--before-prompt", '+CMTI: "SM",3'], 0, SENT, 0),
        (["--sticky-echo", "--delay-ms", "500"], 0, SENT, 0.5),
        (["--ok-delay-ms", "300"], 0, SENT, 2 * .3),  # two OKs
        (["--late-crlf-ms", "100"], 0, SENT, 4 * .1),
        (["--split-ms", "250", "--nul", "--script", "PDU|*|+CME ERROR: 3|0"], 1, GAVE_UP, 4 * .25),
        (["--split-ms", "250", "--script", "PDU|*|ERROR|0"], 1, GAVE_UP, ROUNDS + 16 * .25),
        (["--pdu-entry"], 0, SENT, 10),  # no byte for 10 s, then ESC
        (["--hangup-after-prompt"], 1, ["SMS not confirmed by modem."], ROUNDS),
    ]

    def test_modems(self):
        with concurrent.futures.ThreadPoolExecutor(len(self.CASES)) as pool:
            results = list(pool.map(lambda c: self.run_alone(["+15555550123", "hello"], c[0]),
                                    self.CASES))
        for (options, status, messages, seconds), (run, received, _) in zip(self.CASES, results):
            with self.subTest(options=options):
                self.assertEqual((run.status, run.messages()[-1:]), (status, messages), received)
                self.assertLess(run.elapsed, seconds + LOAD)
                self.assertEqual(run.locks, {})


def retried(hex_pdu):
    """Whether a PDU asks the service centre to reject duplicates (TP-RD)."""
    return int(hex_pdu[2:4], 16) & 0x04 != 0


# Long numbers, so that their warnings fill what standard error holds back.
NINETEEN = [f"+1555555000000000{i:04d}" for i in range(19)]


class Retries(E2E):
    """The network's weather, scripted per exchange, against the short-waits
    build (rounds 1 s and 2 s apart), each run in a sandbox of its own, at
    once: every message the network takes in the end arrives, each part
    once; what will not go is not tried again."""

    A, B, LONG = "+15555550123", "+15555550124", "w" * 400  # 3 parts
    CASES = [  # what, script rows, numbers, text, status, messages, verdicts of the PDUs
        ("congested for a while", ["PDU|1-2|+CMS ERROR: 42|0"], [A], "hi", 0,
         [f"SMS to {A} failed: +CMS ERROR: 42 (congestion); trying again in 1 s.",
          f"SMS to {A} failed: +CMS ERROR: 42 (congestion); trying again in 2 s.", served(A, 1),
          *SENT],
         ["answered", "answered", "accepted"]),
        ("congested for good", ["PDU|*|+CMS ERROR: 42|0"], [A], "hi", 1,
         [f"SMS to {A} failed: +CMS ERROR: 42 (congestion); trying again in 1 s.",
          f"SMS to {A} failed: +CMS ERROR: 42 (congestion); trying again in 2 s.",
          f"SMS to {A} not sent: +CMS ERROR: 42 (congestion); no more tries.", STATE_LINE,
          *GAVE_UP], ["answered"] * 3),
        ("network out of order: once more only", ["PDU|*|+CMS ERROR: 38|0"], [A], "hi", 1,
         [f"SMS to {A} failed: +CMS ERROR: 38 (network out of order); trying again in 1 s.",
          f"SMS to {A} not sent: +CMS ERROR: 38 (network out of order); no more tries.",
          STATE_LINE, *GAVE_UP], ["answered"] * 2),
        ("one recipient unknown", ["PDU|1|+CMS ERROR: 1|0"], [A, B], "hi", 1,
         [f"SMS to {A} not sent: +CMS ERROR: 1 (unassigned number).", served(B, 1), *REJECTED],
         ["answered", "accepted"]),
        ("SIM PIN: the modem cannot send", ["AT+CMGS|*|+CMS ERROR: 311|0"], [A, B], "hi", 1,
         ["SMS not sent: +CMS ERROR: 311 (SIM PIN required); the modem cannot send.",
          "AT+CMGS error."], []),
        ("SIM busy at start", ["AT+CMGF|1|+CME ERROR: 14|0"], [A], "hi", 0,
         ["Mode command failed: +CME ERROR: 14 (SIM busy); trying again in 1 s.", served(A, 1),
          *SENT],
         ["accepted"]),
        ("one part of three", ["PDU|2|+CMS ERROR: 41|0"], [A, B], LONG, 0,
         [f"SMS to {A} part 2/3 failed: +CMS ERROR: 41 (temporary failure); trying again in "
          "1 s.", served(B, 2, 3, 4), served(A, 1, 5, 6), *SENT],
         ["accepted", "answered"] + ["accepted"] * 5),
        ("a network timeout, then a duplicate", ["PDU|1|+CMS ERROR: 332|0",
                                                  "PDU|2|+CMS ERROR: 197|0"], [A], "hi", 0,
         [f"SMS to {A} failed: +CMS ERROR: 332 (network timeout); trying again in 1 s.",
          f"SMS to {A} sent: message reference unknown.", *SENT],
         ["answered"] * 2),
        ("a bare ERROR, then a duplicate: the first never got there",
         ["PDU|1|ERROR|0", "PDU|2-|+CMS ERROR: 197|0"], [A], "hi", 1,
         [f"SMS to {A} failed: ERROR; trying again in 1 s.",
          f"SMS to {A} failed: +CMS ERROR: 197 (duplicate message rejected); trying again in 2 s.",
          f"SMS to {A} not sent: +CMS ERROR: 197 (duplicate message rejected); no more tries.",
          STATE_LINE, *GAVE_UP], ["answered"] * 3),
        ("a verbose answer", ["PDU|1|+CMS ERROR: no network service|0"], [A], "hi", 0,
         [f"SMS to {A} failed: +CMS ERROR: no network service; trying again in 1 s.",
          served(A, 1), *SENT], ["answered", "accepted"]),
        # Every error line reaches standard error, however many warnings came first.
        ("nineteen recipients congested for good", ["PDU|*|+CMS ERROR: 42|0"], NINETEEN, LONG, 1,
         [f"SMS to {n} part 1/3 failed: +CMS ERROR: 42 (congestion); trying again in {s} s."
          for s in (1, 2) for n in NINETEEN]
         + [f"SMS to {n} part 1/3 not sent: +CMS ERROR: 42 (congestion); no more tries."
            for n in NINETEEN] + [STATE_LINE, *GAVE_UP], ["answered"] * 57),
        ("control bytes in an answer", ["PDU|1|+CMS ERROR: 42\x1b[2K\x7f\udcffall clear|0"], [A],
         "hi", 0, [f"SMS to {A} failed: +CMS ERROR: 42\\x1b[2K\\x7f\\xffall clear; trying again in "
                   "1 s.", served(A, 1), *SENT], ["answered", "accepted"]),
    ]

    def test_weather(self):
        with concurrent.futures.ThreadPoolExecutor(len(self.CASES)) as pool:
            results = list(pool.map(
                lambda c: self.run_alone([*c[2], c[3]], [a for r in c[1] for a in ("--script", r)]),
                self.CASES))
        for (what, _, numbers, text, status, messages, verdicts), (run, received, pdus) in zip(
                self.CASES, results):
            with self.subTest(what):
                self.assertEqual((run.status, run.messages()), (status, messages), received)
                # Standard error: every error line of a failure, nothing for a success.
                errors = [f"cellpost: {m}\n" for p, _, _, m in run.syslog if p == LOG_ERR]
                shown = [e for e in run.stderr.splitlines(True) if e in errors or not status]
                self.assertEqual(shown, errors)
                self.assertEqual([v for _, v in pdus], verdicts)
                self.assertLess(run.elapsed, LOAD + sum(int(s) for s in re.findall(
                    r"again in (\d+) s", " ".join(messages))))  # the rounds it announced
                self.assertEqual(run.locks, {})
                # A part is resubmitted, with TP-RD, only after its own failure;
                # every part that went through went through once.
                seen = set()
                for hex_pdu, verdict in pdus:
                    self.assertEqual(retried(hex_pdu), hex_pdu[4:] in seen, hex_pdu)
                    seen.add(hex_pdu[4:])
                accepted = [h[4:] for h, v in pdus if v == "accepted"]
                self.assertEqual(len(accepted), len(set(accepted)), "a part accepted twice")

    def test_port_free_between_rounds(self):
        # An outage for the first alarm: a second one goes out while the
        # first waits for its next round, and neither is lost.
        # The first answer comes 1.5 s late: the second run, started once
        # the first holds the port, waits in turn when it is let go (within
        # the 3 s this build waits for a port in all).
        sim = self.box.modem("ttyUSB8", ["--script", "PDU|1|+CMS ERROR: 331|1500"])
        first = self.box.start([self.A, "first"])
        wait_for(lambda: lock_content(self.box) == b"%10d\n" % first.pid, "the first holds the port")
        second = self.box.start([self.B, "second"])
        self.assertEqual((first.wait(timeout=30), second.wait(timeout=30)), (0, 0))
        self.assertEqual([(sandbox.decode(h)["Text"], v) for h, v in sim.pdus()],
                         [("first", "answered"), ("second", "accepted"), ("first", "accepted")])
        self.assertEqual(self.box.locks(), {})

    def test_wait_for_the_port_has_a_bound(self):
        # Another user's lock, flocked and touched for ever: given up after
        # 3 s in all (CELLPOST_LOCK_WAIT_MAX of this build).
        sim = self.box.modem("ttyUSB8")
        dead = dead_pid()
        self.box.write_lock("ttyUSB8", b"%10d\n" % dead)
        lock, stop = os.path.join(self.box.lock_dir, "LCK..ttyUSB8"), threading.Event()
        held = open(lock, "rb")
        fcntl.flock(held, fcntl.LOCK_EX)
        toucher = threading.Thread(target=lambda: [os.utime(lock) for _ in iter(
            lambda: stop.wait(0.3), True)])
        toucher.start()
        try:
            run = self.box.run([self.A, "hello"])
        finally:
            stop.set()
            toucher.join()
            held.close()
        self.assertEqual(run.status, 1)
        self.assertTrue(3 < run.elapsed < 3 + LOAD, run.elapsed)  # 3 s in all, touched or not
        self.assertEqual(run.messages(), [f"No modem port: /dev/ttyUSB8 locked by PID {dead}"])
        self.assertEqual(sim.received(), b"")


class Pool(E2E):
    """Two modems, the first one failing, each row in a sandbox of its own,
    at once (short-waits build): in a pool every alarm goes out, each
    recipient once, and the pool's recovery prints nothing; without --pool
    the second name is never used for a modem that merely refuses."""

    NUMBERS = ["+15555550123", "+15555550124", "+15555550125"]
    POOL = ["--pool", "-d", "/dev/ttyUSB8", "-d", "/dev/ttyUSB9"]
    CASES = [  # what, the first modem's script, options, status, recipients the first serves
        ("no network", ["PDU|*|+CMS ERROR: 331|0"], POOL, 0, 0),
        ("no network after the first recipient", ["PDU|2-|+CMS ERROR: 331|0"], POOL, 0, 1),
        ("no SIM at the mode command", ["AT+CMGF|*|+CME ERROR: 10|0"], POOL, 0, 0),
        ("no SIM at the prompt, CELLPOST_POOL", ["AT+CMGS|*|+CMS ERROR: 310|0"], [], 0, 0),
        ("no answer", ["*|*||0"], POOL, 0, 0),
        ("no network, without --pool", ["PDU|*|+CMS ERROR: 331|0"], POOL[1:], 1, 0),
    ]

    def run_pair(self, script, options):
        box = sandbox.Sandbox(CELLPOST, SIM, emulator=EMULATOR)
        try:
            first = box.modem("ttyUSB8", [a for row in script for a in ("--script", row)])
            second = box.modem("ttyUSB9")
            env = {} if options else {"CELLPOST_POOL": "/dev/ttyUSB8 /dev/ttyUSB9"}
            run = box.run([*options, *self.NUMBERS, "alarm"], env=env)
            self.taken.extend(first.pdus() + second.pdus())
            return run, first.pdus(), second.pdus(), second.received()
        finally:
            box.close()

    def test_first_modem_failing(self):
        with concurrent.futures.ThreadPoolExecutor(len(self.CASES)) as pool:
            results = list(pool.map(lambda c: self.run_pair(c[1], c[2]), self.CASES))
        for (what, _, _, status, on_first), (run, first, second, received) in zip(self.CASES,
                                                                                   results):
            with self.subTest(what):
                served = [[sandbox.decode(h)["Number"] for h, v in pdus if v == "accepted"]
                          for pdus in (first, second)]
                self.assertEqual((run.status, run.locks), (status, {}), run.messages())
                if status == 0:
                    self.assertEqual(sorted(served[0] + served[1]), self.NUMBERS, "each once")
                    self.assertEqual((len(served[0]), run.stderr), (on_first, ""))
                else:
                    self.assertEqual((served, received), ([[], []], b""), "the second unused")


class Check(E2E):
    """--check against modems in several states, each in a sandbox of its
    own, at once: the verdict, the status, and nothing that sends."""

    INFO = ["+CPIN: READY", "+CREG: 0,1", "+CEREG: 0,1", "+CSQ: 20,99",
            '+CSCA: "+491710760000",145']
    S = "--script"
    CASES = [  # what, simulator options, lock of init planted, verdict
        ("ready", [], False, "ready"),
        ("line noise", ["--nul"], False, "ready"),
        ("SIM PIN", [S, "AT+CPIN?|*|+CPIN: SIM PIN\\nOK|0"], False, "not ready: SIM not ready"),
        ("registered by packet only", [S, "AT+CREG?|*|+CREG: 0,2\\nOK|0"], False, "ready"),
        ("not registered", [S, "AT+CREG?|*|+CREG: 0,2\\nOK|0", S, "AT+CEREG?|*|ERROR|0"], False,
         "not ready: not registered"),
        ("no signal", [S, "AT+CSQ|*|+CSQ: 99,99\\nOK|0"], False, "not ready: no signal"),
        ("no SMSC", [S, 'AT+CSCA?|*|+CSCA: "",129\\nOK|0'], False, "not ready: no SMSC address"),
        ("silent", [S, "*|*||0"], False, "not ready: no answer"),
        ("mode refused", [S, "AT+CMGF|*|ERROR|0"], False, "not ready: PDU mode refused"),
        ("mode refused with a code", [S, "AT+CMGF|*|+CME ERROR: 11|0"], False,
         "not ready: PDU mode refused: +CME ERROR: 11 (SIM PIN required)"),
        ("registered for SMS only", [S, "AT+CREG?|*|+CREG: 0,6\\nOK|0", S, "AT+CEREG?|*|ERROR|0"],
         False, "ready"),
        ("port busy", [], True, "not ready: port busy: /dev/ttyUSB8 locked by PID 1"),
    ]

    def test_states(self):
        with concurrent.futures.ThreadPoolExecutor(len(self.CASES)) as pool:
            results = list(pool.map(lambda c: self.run_alone(
                ["--check"], c[1], lock=b"%10d\n" % 1 if c[2] else None), self.CASES))  # init's
        for (what, rows, planted, verdict), (run, received, _) in zip(self.CASES, results):
            with self.subTest(what):
                ready, busy = verdict == "ready", planted
                self.assertEqual((run.status, run.stdout.splitlines()[-1]), (int(not ready), verdict))
                logged = "Modem ready." if ready else f"Modem {verdict}."
                level = LOG_INFO if ready else LOG_NOTICE if busy else LOG_ERR  # err: no alarm goes
                self.assertEqual(run.syslog[-1], (level, "cellpost", run.pid, logged))
                self.assertEqual(run.stderr, "" if ready or busy else
                                 "".join(f"cellpost: {m}\n" for m in run.messages()))
                self.assertEqual(run.locks, {"LCK..ttyUSB8": b"%10d\n" % 1} if planted else {})
                self.assertLess(run.elapsed, 30 + LOAD)  # --check's own 30 s
                self.assertNotIn(b"CMGS", received)
                if what == "ready":
                    self.assertEqual(run.stdout, "\n".join(["Device: /dev/ttyUSB8 (from the build)"] +
                                                           self.INFO + ["ready"]) + "\n")
                    self.assertEqual(received, MODE + STATE + b"AT+CSCA?\r")

    def test_monitor(self):
        # As a monitoring plugin: one line, its status as exit code, within --timeout.
        perf = " | signal={0};10:;1:;0;31"
        trickle = ["--notice", "^RSSI:14", "--notice-ms", "150", self.S, "*|*||0"]  # never an answer
        cases = [  # simulator options, --timeout, status, line
            ([], 30, 0, "OK - modem ready on /dev/ttyUSB8, signal 20 of 31" + perf.format(20)),
            ([], 1, 0, "OK - modem ready on /dev/ttyUSB8, signal 20 of 31" + perf.format(20)),
            ([self.S, "AT+CSQ|*|+CSQ: 2,99\\nOK|0"], 30, 1,
             "WARNING - modem ready, weak signal on /dev/ttyUSB8, signal 2 of 31" + perf.format(2)),
            ([self.S, "AT+CPIN?|*|+CME ERROR: 10|0"], 30, 2,  # no SIM
             "CRITICAL - SIM not ready on /dev/ttyUSB8: +CME ERROR: 10 (SIM not inserted)"
             + perf.format(20)),
            (trickle, 3, 3, "UNKNOWN - no verdict within 3 s on /dev/ttyUSB8"),
        ]
        with concurrent.futures.ThreadPoolExecutor(len(cases)) as pool:
            results = list(pool.map(lambda c: self.run_alone(
                ["--monitor", "--timeout", str(c[1])], c[0]), cases))
        for (_, seconds, status, line), (run, _, _) in zip(cases, results):
            with self.subTest(line):
                self.assertEqual((run.status, run.stdout), (status, f"SMS {line}\n"))
                self.assertLess(run.elapsed, seconds + 1)  # a second for load and start-up
                self.assertEqual(run.locks, {})
        # A pool names its first modem not ready by that modem's own cause and answer.
        self.box.modem("ttyUSB0", [self.S, "AT+CPIN?|*|+CPIN: SIM PIN\\nOK|0"])
        self.box.modem("ttyUSB1", [self.S, 'AT+CSCA?|*|+CSCA: "",129\\nOK|0'])
        run = self.box.run(["--monitor"], env={"CELLPOST_POOL": "/dev/ttyUSB0 /dev/ttyUSB1"})
        self.assertEqual((run.status, run.stdout),
                         (2, "SMS CRITICAL - 0 of 2 modems ready; /dev/ttyUSB0: SIM not ready: "
                             "+CPIN: SIM PIN | ready=0;2:;1:;0;2\n"))
        # Four modems that never answer share one second, and end within it.
        babbling = [f"/dev/ttyUSB{i}" for i in range(2, 6)]
        for device in babbling:
            self.box.modem(device[5:], trickle)
        run = self.box.run(["--monitor", "--timeout", "1"], env={"CELLPOST_POOL": " ".join(babbling)})
        self.assertEqual(run.status, 2)
        self.assertLess(run.elapsed, 1 + 1)


class Input(E2E):
    def test_invalid_numbers(self):
        sim = self.box.modem("ttyUSB8")
        for bad in ("abc", "+", "", "123456789012345678901", "12 34", "+1+2", "-123"):
            with self.subTest(number=bad):
                run = self.box.run(["+15555550123", bad, "hello"])
                self.assertEqual(run.status, 1)
                self.assertEqual(run.syslog, [
                    (LOG_ERR, "cellpost", run.pid, f'Argument 2 is no phone number: "{bad}"'),
                    (LOG_ERR, "cellpost", run.pid, "Invalid phone number.")])
                self.assertEqual(run.locks, {})
        self.assertEqual(sim.received(), b"")

    def test_longest_number(self):
        sim = self.box.modem("ttyUSB8")
        run = self.box.run(["+12345678901234567890", "x" * 1530])
        self.assertEqual(run.status, 0)
        self.assertDelivered(sim.pdus(), [("+12345678901234567890", "x" * 1530)])

    def test_text_from_standard_input(self):
        changed = "Text sent without -u: _ @ [ ] arrive as other characters; use -u for UTF-8 text."
        cut, empty = "Text truncated to 1530 characters.", "No text on standard input."
        sent = [served("+15555550123", 1), "SMS successfully sent."]
        cases = [  # what comes, what is sent, what is logged, what standard error shows
            (b"disk_full@rack3 [crit]\n", b"disk_full@rack3 [crit]", [changed, *sent], [changed]),
            (b"Door 3 open\n\r\n", b"Door 3 open\n", sent, []),  # one line end goes, one only
            (b"y" * 5000 + b"\n", b"y" * 1530, [cut, served("+15555550123", *range(1, 11)), sent[1]],
             []),
            (b"\n", None, [empty], [empty]),
        ]
        with concurrent.futures.ThreadPoolExecutor(len(cases)) as pool:
            results = list(pool.map(
                lambda c: self.run_alone(["+15555550123", "-"], input=c[0]), cases))
        for (given, text, logged, shown), (run, received, pdus) in zip(cases, results):
            with self.subTest(given=given[:30]):
                self.assertEqual((run.status, run.messages(), run.locks),
                                 (int(text is None), logged, {}))
                self.assertEqual(run.stderr, "".join(f"cellpost: {m}\n" for m in shown))
                self.assertDelivered(pdus, [("+15555550123", text)] if text is not None else [])
                self.assertEqual(received == b"", text is None, "no port opened")

    def test_over_long_text(self):
        sim = self.box.modem("ttyUSB8")
        sends = []
        for length, warned in ((2000, True), (1531, True), (1530, False)):
            with self.subTest(length=length):
                text = "".join(chr(0x41 + i % 26) for i in range(length))
                sends.append(("+15555550123", text))
                run = self.box.run(["+15555550123", text])
                self.assertEqual((run.status, run.stderr), (0, ""), "a warning alone prints nothing")
                warning = [(LOG_WARNING, "cellpost", run.pid, "Text truncated to 1530 characters.")]
                self.assertEqual(run.syslog[:-2], warning if warned else [])
                self.assertEqual(run.messages()[-1], "SMS successfully sent.")
        self.assertDelivered(sim.pdus(), sends)


GSM_EXTENSION = "\f^{}\\[~]|€"


def gammu_text(decoded):
    """gammu keeps a GSM part's septet count as its length: as many junk
    characters follow its text as it has ESC pairs."""
    text, junk = decoded["Text"], 0
    while decoded["Coding"].startswith("Default") and \
            sum(text[:len(text) - junk].count(c) for c in GSM_EXTENSION) > junk:
        junk += 1
    return text[:len(text) - junk]


class Utf8(E2E):
    """Texts sent with -u, each in a sandbox of its own, at once: the parts
    decode to the given text, in the alphabet and part count it needs."""

    SMILE, UML, ZHE = "\U0001F642", "\u00e4", "\u0416"
    CASES = [  # text, coding, parts, characters sent (None: all)
        ("x" * 152 + "€" + "y" * 10, "Default", 2, None),  # ESC pair at the boundary
        (UML * 66 + SMILE + UML * 5, "Unicode", 2, None),  # surrogate pair at the boundary
        ("\u00e9" * 160, "Default", 1, None),
        (ZHE * 70, "Unicode", 1, None),
        ("x" * 1530, "Default", 10, None),
        (ZHE * 670, "Unicode", 10, None),
        (SMILE * 400, "Unicode", 10, 330),
        ("backup_job failed on db@rack3: $5 {ok} [x] ~|^\\ \f", "Default", 1, None),
        ("T\u00fcr offen, \u00e7a va? Za\u017c\u00f3\u0142\u0107 g\u0119\u015bl\u0105. "
         "\u041f\u0440\u0438\u0432\u0435\u0442! 25\u00b0C", "Unicode", 1, None),
        (b"caf\xc3(", None, 0, None),  # not UTF-8
    ]

    def test_texts(self):
        with concurrent.futures.ThreadPoolExecutor(len(self.CASES)) as pool:
            results = list(pool.map(lambda c: self.run_alone([b"-u", b"+15555550123", c[0]]),
                                    self.CASES))
        for (text, coding, parts, sent), (run, received, pdus) in zip(self.CASES, results):
            with self.subTest(text=text[:20], length=len(text)):
                if coding is None:
                    self.assertEqual((run.status, run.messages(), received), (1, ["Invalid text."], b""))
                    continue
                self.assertEqual(run.status, 0, run.syslog)
                warning = [f"Text truncated to {sent} characters."] if sent else []
                self.assertEqual(run.messages(), warning + [served("+15555550123", *range(1, parts + 1)),
                                                            "SMS successfully sent."])
                decoded = [sandbox.decode(h) for h, _ in pdus]
                self.assertEqual([d["Coding"] for d in decoded], [f"{coding}_No_Compression"] * parts)
                self.assertEqual("".join(gammu_text(d) for d in decoded), text[:sent])
                if parts > 1:
                    self.assertEqual([d["UDH"]["PartNumber"] for d in decoded],
                                     list(range(1, parts + 1)))
                    self.assertEqual(len({d["UDH"]["ID8bit"] for d in decoded}), 1)


class Concurrency(E2E):
    def test_burst_takes_turns(self):
        # A network that takes 1.5 s a message: the last of the burst waits
        # far longer than the 10 s a lock may go without a sign of life.
        sim = self.box.modem("ttyUSB8", ["--delay-ms", "1500"])
        runs = 5
        texts = [f"alarm {i} " * 25 for i in range(runs)]  # two parts each
        procs, tickets = [], set()

        def in_place(i):  # the run holds the port, or has its place in the queue
            tickets.update(n for n in os.listdir(self.box.lock_dir) if n.startswith("LWAIT.."))
            return lock_content(self.box) == b"%10d\n" % procs[i].pid or len(tickets) >= i > 0

        for i in range(runs):
            procs.append(self.box.start([f"+1555555{i:04d}", texts[i]]))
            wait_for(lambda: in_place(i), f"run {i} in its place")
        # Reap each run as it ends, as a shell would: an unreaped one is a
        # zombie, and its lock would still look alive to the others.
        with concurrent.futures.ThreadPoolExecutor(runs) as pool:
            statuses = list(pool.map(lambda p: p.wait(timeout=120), procs))
        self.assertEqual(statuses, [0] * runs)
        # Whole dialogues one after another: mode, error codes, then two parts.
        self.assertEqual(sandbox.commands(sim.received())[::6], [b"ATE0+CMGF=0\r"] * runs)
        order = [sandbox.decode(h)["Number"] for h, _ in sim.pdus()[::2]]
        self.assertEqual(order, [f"+1555555{i:04d}" for i in range(runs)], "in turn")
        sends = [(n, texts[int(n[-4:])]) for n in order]
        references = self.assertDelivered(sim.pdus(), sends)
        self.assertGreater(len(set(references)), 1, "each run draws its own reference")

    def test_containers_never_interleave(self):
        # Two runs, each PID 1 of its own PID namespace, share the lock
        # directory and the modem; a PID in a lock cannot tell them apart.
        sim = self.box.modem("ttyUSB8", ["--delay-ms", "700"])
        self.box.unshare = self.box.unshare + ["--pid", "--fork"]
        procs = [self.box.start([f"+1555555000{i}", f"container {i}"]) for i in range(2)]
        statuses = [p.wait(timeout=60) for p in procs]
        self.assertEqual(statuses, [0, 0])
        cmds = sandbox.commands(sim.received())
        self.assertEqual(len(cmds), 8)
        for i in (0, 4):
            self.assertEqual(cmds[i], b"ATE0+CMGF=0\r")
            self.assertTrue(cmds[i + 2].startswith(b"AT+CMGS="))
            self.assertTrue(cmds[i + 3].endswith(b"\x1a"))


def catches(pid, sig):
    """Whether process `pid` runs cellpost and has its handler for `sig` in."""
    try:
        with open(f"/proc/{pid}/status") as status:
            fields = dict(line.split(":", 1) for line in status)
    except OSError:
        return False
    return fields["Name"].strip() == "cellpost" and int(fields["SigCgt"], 16) >> (int(sig) - 1) & 1


class Signals(E2E):
    """A run stopped by a signal at each stage, each in a sandbox of its own,
    at once: it ends within 1 s with one log line, cancels PDU entry where
    it may be open, and leaves no lock of its own."""

    CASES = [  # stage, simulator options, signal, seconds before it, lock file planted, caller
        ("waiting for the lock", [], signal.SIGTERM, 1.0, True, None),
        ("mode command", ["--script", "*|*||0"], signal.SIGHUP, 1.0, False, None),
        ("just started", ["--script", "*|*||0"], signal.SIGQUIT, 0.3, False, None),
        ("waiting for the result", ["--delay-ms", "15000"], signal.SIGINT, 1.5, False, None),
        # A warning (the text is cut) that a full log queue keeps waiting.
        ("logger stalled", ["--delay-ms", "15000"], signal.SIGTERM, 0.3, False, "stalled log"),
        # The sandbox's shell unblocks signals: the caller blocks them after it.
        ("stops blocked by the caller", ["--delay-ms", "15000"], signal.SIGTERM, 1.5, False,
         ["/usr/bin/python3", "-c", "import os, signal, sys; signal.pthread_sigmask(signal."
          "SIG_BLOCK, range(1, 32)); os.execv(sys.argv[1], sys.argv[1:])"]),
        ("the caller's alarm()", ["--delay-ms", "15000"], signal.SIGALRM, 1.5, False,
         lambda: signal.alarm(2)),
        # nohup: a hang-up the caller ignores does not stop the run.
        ("ignored by the caller", ["--delay-ms", "1500"], signal.SIGHUP, 0.3, False, ["nohup"]),
    ]

    def stop(self, case):
        _, options, sig, after, planted, caller = case
        box = sandbox.Sandbox(CELLPOST, SIM)
        try:
            sim = box.modem("ttyUSB8", options)
            if planted:
                box.write_lock("ttyUSB8", b"%10d\n" % 1)  # init's: never released
            if caller == "stalled log":
                box.stall_syslog()
            text = "x" * 1600 if caller == "stalled log" else "hello"
            started = time.monotonic()
            box.wrapper = caller if isinstance(caller, list) else []
            proc = box.start(["+15555550123", text], preexec=caller if callable(caller) else None)
            # The sandbox is set up, cellpost's handlers are in; a run that
            # ended before is a failure, told below, not a wait for ever.
            wait_for(lambda: catches(proc.pid, signal.SIGTERM) or proc.poll() is not None,
                     "cellpost's handlers")
            time.sleep(after)
            if sig == signal.SIGALRM:
                time.sleep(max(0, started + 2 - time.monotonic()))  # the alarm goes off
            else:
                proc.send_signal(sig)
            signalled = time.monotonic()
            _, err = proc.communicate(timeout=30)
            took = time.monotonic() - signalled
            log = [entry for entry in box.drain_syslog() if entry[1] == "cellpost"]
            time.sleep(0.2)  # for the simulator to take the last bytes, under load too
            self.taken.extend(sim.pdus())
            return proc.returncode, took, log, err, box.locks(), sim.received()
        finally:
            box.close()

    def test_stops(self):
        with concurrent.futures.ThreadPoolExecutor(len(self.CASES)) as pool:
            results = list(pool.map(self.stop, self.CASES))
        for (stage, _, sig, _, planted, caller), (status, took, log, err, locks, received) in zip(
                self.CASES, results):
            with self.subTest(stage):
                if caller == ["nohup"]:
                    self.assertEqual((status, [text for _, _, _, text in log][-1]),
                                     (0, "SMS successfully sent."))
                    continue
                self.assertEqual(status, 1)
                self.assertLess(took, STOP)
                line = f"Interrupted by signal {int(sig)}."
                self.assertEqual(err.decode().splitlines()[-1], f"cellpost: {line}")
                if caller != "stalled log":
                    self.assertEqual([(p, text) for p, _, _, text in log], [(LOG_ERR, line)])
                self.assertEqual(locks, {"LCK..ttyUSB8": b"%10d\n" % 1} if planted else {})
                self.assertEqual(received.endswith(b"\x1b"), b"AT+CMGS" in received, received)


class Ports(E2E):
    def test_lock_mode_under_umask_077(self):
        self.box.modem("ttyUSB8", ["--delay-ms", "1500"])
        proc = self.box.start(["+15555550123", "hello"], umask=0o077)
        lock = os.path.join(self.box.lock_dir, "LCK..ttyUSB8")
        wait_for(lambda: os.path.exists(lock), "the lock")
        mode = os.stat(lock).st_mode & 0o777
        self.assertEqual(proc.wait(timeout=30), 0)
        self.assertEqual(mode, 0o644)
        self.assertEqual(self.box.locks(), {})

    def test_a_guard_left_ahead_of_the_clock_delays_nothing(self):
        # The guard of a run killed before the clock was stepped back an
        # hour: stale, not kept by anyone until the clock gets there.
        self.box.modem("ttyUSB8")
        guard = os.path.join(self.box.lock_dir, "LGUARD..ttyUSB8")
        open(guard, "wb").close()
        ahead = time.time() + 3600
        os.utime(guard, (ahead, ahead))
        run = self.box.run(["+15555550123", "hello"])
        self.assertEqual((run.status, run.locks), (0, {}))  # the guard removed, no claim left
        self.assertLess(run.elapsed, LOAD)  # not the 10 s for a guard kept

    def test_syslog_on_a_stream_socket(self):
        # syslog-ng's unix-stream(): each line framed by its NUL.
        run, _, _ = self.run_alone(["+15555550123", "hello"], log="stream")
        self.assertEqual(run.messages(), [served("+15555550123", 1), "SMS successfully sent."])

    def test_check_behind_a_working_run(self):
        # The port held by a long submission: --check says by whom, in its
        # own time, and leaves nothing behind.
        self.box.modem("ttyUSB8", ["--delay-ms", "30000"])
        holder = self.box.start(["+15555550123", "long"])
        wait_for(lambda: lock_content(self.box) == b"%10d\n" % holder.pid, "the holder")
        check = self.box.run(["--check"])
        holder.send_signal(signal.SIGTERM)
        holder.wait(timeout=10)
        self.assertEqual((check.status, check.stdout.splitlines()[-1]),
                         (1, f"not ready: port busy: /dev/ttyUSB8 locked by PID {holder.pid}"))
        self.assertLess(check.elapsed, 10 + LOAD)  # the 10 s --check waits for the port
        self.assertEqual(self.box.locks(), {})

    def test_unusable_lock_directory_fails_at_once(self):
        for state, reason in (("ro", "Read-only file system"),
                              ("missing", "No such file or directory")):
            with self.subTest(state):
                run, received, _ = self.run_alone(["+15555550123", "hello"], locks=state)
                self.assertEqual(run.status, 1)
                self.assertLess(run.elapsed, LOAD)  # not the wait for the port
                self.assertEqual(run.messages(), [
                    f"No modem port: cannot create /var/lock/LCK..ttyUSB8: {reason}"])
                self.assertEqual(received, b"")

    def test_root_and_a_user_share_the_sticky_directory(self):
        sim = self.box.modem("ttyUSB8")
        os.chmod(sim.pty, 0o666)
        root = self.box.run(["+15555550123", "as root"])
        self.box.wrapper = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
        user = self.box.run(["+15555550123", "as nobody"])
        self.assertEqual((root.status, user.status), (0, 0), user.syslog)
        os.chmod(sim.pty, 0o660)  # a user outside the device's group
        group = grp.getgrgid(os.stat(sim.pty).st_gid).gr_name
        run = self.box.run(["+15555550123", "no access"])
        self.assertEqual(run.messages(), ["No modem port: cannot open /dev/ttyUSB8: Permission "
                                          f"denied (not in group {group}); /dev/ttyS2: No such file "
                                          "or directory (name the modem with -d PATH or "
                                          "CELLPOST_DEVICE)"])
        # A lock that a killed root run left behind is stale, but not ours to
        # remove: say so at once rather than wait.
        self.box.write_lock("ttyUSB8", b"%10d\n" % dead_pid())
        run = self.box.run(["+15555550123", "blocked"])
        self.assertEqual(run.status, 1)
        self.assertLess(run.elapsed, LOAD)  # not the 10 s for a live lock
        self.assertEqual(run.messages(), ["No modem port: cannot remove stale lock "
                                          "/var/lock/LCK..ttyUSB8: Operation not permitted"])


def status_report(reference, number, status):
    """A +CDS report, raw for a script row, of the part with `reference` to
    `number`: no centre address, then first octet, TP-MR, TP-RA, TP-SCTS,
    TP-DT (2026-12-10 12:34:56 +01:00) and TP-ST."""
    digits = number.lstrip("+")
    padded = digits + "F" * (len(digits) % 2)
    address = "".join(padded[i + 1] + padded[i] for i in range(0, len(padded), 2))
    kind = "91" if number.startswith("+") else "81"
    tpdu = f"06{reference:02X}{len(digits):02X}{kind}{address}{'62210121436540' * 2}{status:02X}"
    return f"\\r\\n+CDS: {len(tpdu) // 2}\\r\\n00{tpdu}\\r\\n"


def unescaped(answer):
    """A script row's raw answer as the bytes of an unsolicited line."""
    return answer.replace("\\r\\n", "\r\n").strip()


class Reports(E2E):
    """--report against modems whose routing is 0,1,0,0,0 (reports kept in
    the modem), each run in a sandbox of its own, at once: the run routes
    them to itself (only ds and the mode), gives the setting back, and ends
    0 only when every part was reported delivered."""

    A, B = "+15555550123", "+15555550124"
    ROUTING = ["--script", "AT+CNMI?|*|+CNMI: 0,1,0,0,0\\nOK|0",
               "--script", "AT+CNMI=?|*|+CNMI: (0-2),(0-3),(0-3),(0-2),(0,1)\\nOK|0"]
    CASES = [  # numbers, text, simulator options, status, messages
        # Part 1's report comes before each prompt (the first time, before
        # part 1 went: no part's yet), part 2's every 0.7 s, while the run waits.
        ([A], "d" * 200, ["--before-prompt", unescaped(status_report(1, A, 0)),
                          "--notice", unescaped(status_report(2, A, 0)), "--notice-ms", "700"], 0,
         [served(A, 1, 2), f"SMS to {A} delivered at 2026-12-10 12:34:56 +01:00.", *SENT]),
        # Not delivered to A; B, before it, has the same reference, but the report is not B's.
        ([B, A], "r", ["--script", f"PDU:{A}|*|=\\r\\n+CMGS: 1\\r\\n\\r\\nOK\\r\\n"
                       f"{status_report(1, A, 0x46)}|0"], 1,
         [served(B, 1), served(A, 1),
          f"SMS to {A} not delivered: SM validity period expired (status 0x46).",
          f"SMS to {B} not confirmed: no delivery report in 2 s.", "SMS delivery not confirmed."]),
    ]

    def test_reports(self):
        with concurrent.futures.ThreadPoolExecutor(len(self.CASES)) as pool:
            results = list(pool.map(
                lambda c: self.run_alone(["--report", "2", *c[0], c[1]], self.ROUTING + c[2]),
                self.CASES))
        for (numbers, _, _, status, messages), (run, received, pdus) in zip(self.CASES, results):
            with self.subTest(numbers=numbers):
                self.assertEqual((run.status, run.messages()), (status, messages))
                self.assertLess(run.elapsed, (2 if status else 1) + LOAD)
                self.assertTrue(received.startswith(
                    MODE + b"AT+CNMI?\rAT+CNMI=?\rAT+CNMI=2,1,0,1,0\rAT+CMGS="), received)
                self.assertTrue(received.endswith(b"\x1aAT+CNMI=0,1,0,0,0\r"), received)
                self.assertEqual([int(h[2:4], 16) & 0x20 for h, _ in pdus], [0x20] * len(pdus))
                self.assertEqual(run.locks, {})


class OtherDevice(E2E):
    """A build for a modem on /dev/ttyACM0 (CELLPOST_DEVICES=/dev/ttyACM0)."""

    def test_acm0(self):
        sim = self.box.modem("ttyACM0")
        run = self.box.run(["+15555550123", "hello"])
        self.assertEqual((run.status, run.messages()),
                         (0, [served("+15555550123", 1), "SMS successfully sent."]))
        self.assertDelivered(sim.pdus(), [("+15555550123", "hello")])


class Valgrind(E2E):
    WRAPPER = ["valgrind", "--error-exitcode=99", "--track-fds=yes", "--leak-check=full"]

    def test_clean_run(self):
        sim = self.box.modem("ttyUSB8")
        run = self.box.run(["+15555550123", "+4917012345", "v" * 200])
        self.assertEqual(run.status, 0, run.stderr)
        self.assertIn("ERROR SUMMARY: 0 errors", run.stderr)
        # The modem and the lock file are closed before exit.
        self.assertIn("FILE DESCRIPTORS: 3 open (3 std) at exit.", run.stderr)
        self.assertDelivered(sim.pdus(), [("+15555550123", "v" * 200), ("+4917012345", "v" * 200)])


class Interop(E2E):
    """Random numbers and texts, each run in a sandbox of its own, at once."""

    SEED = 20261208
    RUNS = 10

    def case(self, rng):
        def number():
            digits = "".join(rng.choice("0123456789") for _ in range(rng.randint(1, 20)))
            return ("+" if rng.random() < 0.5 else "") + digits
        length = rng.choice([0, rng.randint(1, 160), rng.randint(161, 600), rng.randint(0, 2000)])
        text = "".join(chr(rng.randint(0x20, 0x7E)) for _ in range(length))
        return [number() for _ in range(rng.randint(1, 3))], text

    def test_random_messages(self):
        rng = random.Random(self.SEED)
        cases = [self.case(rng) for _ in range(self.RUNS)]
        with concurrent.futures.ThreadPoolExecutor(self.RUNS) as pool:
            results = list(pool.map(lambda c: self.run_alone([*c[0], c[1]], timeout=120), cases))
        for (numbers, text), (run, _, pdus) in zip(cases, results):
            with self.subTest(seed=self.SEED, numbers=numbers, text=text):
                self.assertEqual(run.status, 0, run.syslog)
                self.assertDelivered(pdus, [(n, text) for n in numbers])


if __name__ == "__main__":
    unittest.main()
