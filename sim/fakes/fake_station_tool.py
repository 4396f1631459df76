#!/usr/bin/env python3
"""Fake station script for tests and demos of the Nimbrel station.

One program plays every helper script of the station; the role comes from the
name it is started under (copy or symlink it under the real script's name).
Its behaviour is steered by NIMBREL_FAKE_* environment variables, see
README.md in the sim folder.  Imports are kept minimal so it starts fast.
"""

import os
import sys
import time

ROLES_BY_NAME = {
    "Realy_Module_CLI.py": "RELAY",
    "powerNimbrel.sh": "POWER",
    "ping": "PING",
    "mac_test.py": "MAC",
    "test_TestTaster.py": "TESTTASTER",
    "test_ResetTaster.py": "RESETTASTER",
    "test_Interfaces.py": "INTERFACES",
    "end_Testserver.py": "ENDTESTSERVER",
    "disable_production_test.py": "DISABLEPRODUCTION",
    "printlabel.sh": "PRINT",
}

DEFAULT_MACS = {"eth0": "02:4e:49:4d:00:01", "eth1": "02:4e:49:4d:00:02"}

START = time.time()
ROLE = None
_recorded = False


def role_for(program):
    name = os.path.basename(program)
    if name in ROLES_BY_NAME:
        return ROLES_BY_NAME[name]
    if name.endswith("_stage1.sh"):
        return "FLASH"
    stem = os.path.splitext(name)[0] or name
    return "".join(c if c.isalnum() and c.isascii() else "_" for c in stem.upper())


def env(name, default=None):
    return os.environ.get("NIMBREL_FAKE_%s_%s" % (name, ROLE), default)


def out(text, stream=None):
    stream = stream or sys.stdout
    try:
        stream.write(text + "\n")
        stream.flush()
    except (OSError, ValueError):
        pass


def record(exit_code):
    """Append this run to $NIMBREL_FAKE_RECORD, exactly once."""
    global _recorded
    if _recorded:
        return
    _recorded = True
    path = os.environ.get("NIMBREL_FAKE_RECORD")
    if not path:
        return
    import fcntl
    import json

    try:
        cwd = os.getcwd()
    except OSError:
        cwd = None
    watch = os.environ.get("NIMBREL_FAKE_WATCH")
    line = json.dumps({
        "role": ROLE,
        "program": sys.argv[0],
        "args": sys.argv[1:],
        "cwd": cwd,
        "start": START,
        "end": time.time(),
        "exit": exit_code,
        "pid": os.getpid(),
        # whether a path the test watches was still there when this run ended
        "watched": os.path.exists(watch) if watch else None,
    }, ensure_ascii=False) + "\n"
    try:
        with open(path, "a", encoding="utf-8") as f:
            fcntl.flock(f.fileno(), fcntl.LOCK_EX)
            try:
                f.write(line)
                f.flush()
            finally:
                fcntl.flock(f.fileno(), fcntl.LOCK_UN)
    except OSError as e:
        # a broken test setup must be noticed, but must not change the exit code
        out("fake_station_tool: NIMBREL_FAKE_RECORD nicht schreibbar: %s" % e, sys.stderr)


def finish(code):
    import signal

    # once finishing, a late SIGTERM must not cut the record line in half
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        sys.stdout.flush()
        sys.stderr.flush()
    except (OSError, ValueError):
        pass
    record(code)
    os._exit(code)


def die_by_signal(signum):
    """Record, then die from `signum` so the parent sees a killed process."""
    import signal

    try:
        sys.stdout.flush()
        sys.stderr.flush()
    except (OSError, ValueError):
        pass
    record(-signum)
    if signum != signal.SIGKILL:
        signal.signal(signum, signal.SIG_DFL)
    os.kill(os.getpid(), signum)
    time.sleep(5)  # the signal arrives before this ends
    os._exit(128 + signum)


def on_terminate(signum, frame):
    die_by_signal(signum)


def seconds(text):
    try:
        return max(0.0, float(text))
    except (TypeError, ValueError):
        return 0.0


def option(args, flag):
    """Value following `flag` in args, or None."""
    for i, a in enumerate(args):
        if a == flag and i + 1 < len(args):
            return args[i + 1]
    return None


def serial_from(args):
    for a in args:
        if a.isdigit():
            return a
    return args[0] if args else "unbekannt"


# --- roles ------------------------------------------------------------------


def run_flash(args, delay):
    image = option(args, "-i")
    if os.environ.get("NIMBREL_FAKE_CHECK_IMAGE") == "1" and (not image or not os.path.isfile(image)):
        out("Fehler: Image %s nicht gefunden" % image, sys.stderr)
        return 3
    serial = option(args, "-s") or "?"
    out("Flashen für Seriennummer %s gestartet" % serial)
    steps = 10
    for step in range(steps + 1):
        out("Schreibe Image %s ... %d%%" % (os.path.basename(image or "?"), step * 100 // steps))
        if step < steps and delay > 0:
            time.sleep(delay / steps)
    return None


def run_print(args, code):
    if not args:
        out("Aufruf: printlabel.sh DATEI.pdf", sys.stderr)
        return 2
    pdf = args[0]
    if not os.path.isfile(pdf):
        out("Fehler: Datei %s nicht gefunden" % pdf, sys.stderr)
        return 2
    if code != 0:
        out("Fehler: Drucker meldet einen Fehler (%s)" % os.path.basename(pdf), sys.stderr)
        return code
    target_dir = os.environ.get("NIMBREL_FAKE_PRINT_DIR")
    if not target_dir:
        out("gedruckt: %s" % pdf)
        return 0
    import fcntl
    import shutil

    os.makedirs(target_dir, exist_ok=True)
    # Several print jobs may run at once; number them under a lock so each
    # gets its own slot and the order of printing stays visible.
    with open(os.path.join(target_dir, ".lock"), "a") as lock:
        fcntl.flock(lock.fileno(), fcntl.LOCK_EX)
        numbers = [int(n[:3]) for n in os.listdir(target_dir) if n[:3].isdigit() and n[3:4] == "-"]
        target = os.path.join(target_dir, "%03d-%s" % (max(numbers or [0]) + 1, os.path.basename(pdf)))
        shutil.copyfile(pdf, target)
    out("gedruckt: %s" % target)
    return 0


def run_ping(args, code):
    host = "?"
    for a in args:
        if not a.startswith("-"):
            host = a  # the target comes last; option values come before it
    out("PING %s (%s) 56(84) bytes of data." % (host, host))
    if code == 0:
        out("64 bytes from %s: icmp_seq=1 ttl=64 time=0.254 ms" % host)
        out("")
        out("--- %s ping statistics ---" % host)
        out("1 packets transmitted, 1 received, 0% packet loss, time 0ms")
    else:
        out("")
        out("--- %s ping statistics ---" % host)
        out("1 packets transmitted, 0 received, 100% packet loss, time 0ms")
    return None


def run_mac(args):
    if not args:
        out("Aufruf: mac_test.py INTERFACE", sys.stderr)
        return 2
    iface = args[0]
    mac = os.environ.get("NIMBREL_FAKE_MAC_" + iface.upper(), DEFAULT_MACS.get(iface))
    if mac is None:
        out("Interface %s unbekannt" % iface, sys.stderr)
        return 1
    if mac:
        # the station reads the address from stderr
        try:
            sys.stderr.write(mac + "\n")
            sys.stderr.flush()
        except (OSError, ValueError):
            pass
    return None


def run_test(args, code):
    serial = serial_from(args)
    verdict = "OK" if code == 0 else "NOK"
    log_dir = os.environ.get("NIMBREL_FAKE_TESTLOG_DIR")
    if log_dir:
        import fcntl

        os.makedirs(log_dir, exist_ok=True)
        stamp = time.strftime("%Y-%m-%d %H:%M:%S")
        with open(os.path.join(log_dir, "testlog_%s.txt" % serial), "a", encoding="utf-8") as f:
            fcntl.flock(f.fileno(), fcntl.LOCK_EX)
            f.write("%s %s %s %s\n" % (stamp, ROLE, serial, verdict))
    out("%s Seriennummer %s: %s" % (ROLE, serial, verdict))
    return None


def main():
    global ROLE
    import signal

    ROLE = role_for(sys.argv[0])
    args = sys.argv[1:]
    signal.signal(signal.SIGTERM, on_terminate)
    signal.signal(signal.SIGINT, on_terminate)
    started = os.environ.get("NIMBREL_FAKE_STARTED_DIR")
    if started:  # tells a waiting test that this run has begun and will record how it ends
        try:
            open(os.path.join(started, "%s.%d" % (ROLE, os.getpid())), "a").close()
        except OSError:
            pass

    delay = seconds(env("DELAY", "0"))
    exit_spec = (env("EXIT", "0") or "0").strip()
    code = 0
    if exit_spec == "stubborn":  # ignores SIGTERM: only a kill ends it
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
    if exit_spec not in ("crash", "hang", "stubborn"):
        try:
            code = int(exit_spec)
        except ValueError:
            out("NIMBREL_FAKE_EXIT_%s ungültig: %r" % (ROLE, exit_spec), sys.stderr)
            finish(2)

    if ROLE == "FLASH":
        result = run_flash(args, delay)
        if result is not None:
            finish(result)
    elif delay > 0:
        time.sleep(delay)

    if ROLE == "MAC" and exit_spec in ("crash", "hang"):
        run_mac(args)  # answers first: a station must not take an address from a crashed read
    if exit_spec == "crash":
        die_by_signal(signal.SIGKILL)
    if exit_spec in ("hang", "stubborn"):
        while True:
            time.sleep(3600)

    result = None
    if ROLE == "PRINT":
        result = run_print(args, code)
    elif ROLE == "PING":
        result = run_ping(args, code)
    elif ROLE == "MAC":
        result = run_mac(args)
    elif ROLE in ("INTERFACES", "TESTTASTER", "RESETTASTER"):
        result = run_test(args, code)
    elif ROLE == "FLASH":
        if code == 0:
            out("Flashvorgang abgeschlossen")
        else:
            out("Fehler beim Flashen (Code %d)" % code, sys.stderr)
    else:
        out("%s ausgeführt%s" % (ROLE, (": " + " ".join(args)) if args else ""))
    # the role's own failure wins only when no exit code was forced
    finish(code if code != 0 or result is None else result)


if __name__ == "__main__":
    main()
