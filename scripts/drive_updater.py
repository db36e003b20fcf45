#!/usr/bin/env python3
"""Runs the updater the way a launcher does and waits for the end of the update.

    drive_updater.py [--timeout S] [--quit-at STATE] [--send WORD]... -- brelvane args...

Reads the updater's records (UTF-8 or GBK), prints them with --echo, and when
the state line P2PState=<STATE> (default 14) appears, sends the --send words
and then "quit".  Exit status: 0 when the state was reached and the updater
stopped with P2PState=16; 1 otherwise (time-out, early end, crash).
The last line printed is a JSON summary: reached state, exit code, answers.
"""
import argparse
import json
import subprocess
import sys
import threading
import time


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--timeout", type=float, default=120.0)
    ap.add_argument("--quit-at", default="14")
    ap.add_argument("--send", action="append", default=[])
    ap.add_argument("--quit-word", default="quit")
    ap.add_argument("--echo", action="store_true")
    ap.add_argument("--stop-after", type=float, default=None,
                    help="send the quit word after this many seconds whatever the state")
    ap.add_argument("command", nargs=argparse.REMAINDER)
    args = ap.parse_args()
    cmd = args.command[1:] if args.command[:1] == ["--"] else args.command
    if not cmd:
        ap.error("no updater command given")

    proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    lines = []
    answers = {}
    reached = threading.Event()
    stopped = threading.Event()

    def reader():
        for raw in proc.stdout:
            try:
                line = raw.decode("utf-8")
            except UnicodeDecodeError:
                line = raw.decode("gbk", errors="replace")
            line = line.rstrip("\n")
            lines.append(line)
            if args.echo:
                print(line, flush=True)
            if line.startswith("[Interactive]") and "=" in line:
                name, value = line[len("[Interactive]"):].split("=", 1)
                answers[name] = value
                if name == "P2PState" and value == args.quit_at:
                    reached.set()
                if name == "P2PState" and value == "16":
                    stopped.set()
        stopped.set()

    t = threading.Thread(target=reader, daemon=True)
    t.start()
    deadline = time.monotonic() + args.timeout
    if args.stop_after is not None:
        reached.wait(min(args.stop_after, args.timeout))
    else:
        while time.monotonic() < deadline and not reached.is_set() and not stopped.is_set():
            reached.wait(0.05)
    ok = reached.is_set()
    try:
        for word in args.send + [args.quit_word]:
            proc.stdin.write((word + "\n").encode())
        proc.stdin.flush()
        proc.stdin.close()
    except BrokenPipeError:
        pass
    try:
        code = proc.wait(timeout=30)
    except subprocess.TimeoutExpired:
        proc.kill()
        code = proc.wait()
    t.join(timeout=5)
    ok = ok and code == 0 and answers.get("P2PState") == "16"
    print(json.dumps({"reached": reached.is_set(), "exit": code, "answers": answers,
                      "lines": len(lines)}))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
