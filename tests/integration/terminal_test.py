#!/usr/bin/env python3
"""terminal_test.py <build-dir> <source-dir>: the updater as a person at a terminal sees it
(pseudo-terminals, LANG=C.UTF-8), the same run through pipes as the launcher sees it, a start with
nothing to update from, and --help and --version of every program."""
import contextlib, os, pty, random, re, subprocess, threading, time, tty  # noqa: E401

from updater_lib import ReleaseTest, main, tool

UTF8_ENV = dict(os.environ, LANG="C.UTF-8", LC_ALL="C.UTF-8")
PROGRESS = re.compile(rb"\d+\.\d%  \S+ \S*B of \S+ \S*B  down [\d.]+ KiB/s  up [\d.]+ KiB/s"
                      rb"  peers \d+  mirrors \d+")
RECORDS_ONLY = r"\A(\[(Interactive|Critical|Error|Warning|Info)\][^\r\n\x1b]*\n)+\Z"
NO_SEED = "[Info]正在获取种子信息\n[Interactive]P2PState=6\n[Warning]获取种子信息失败\n[Interactive]P2PState=16\n"


class Sink:
    """A child's output stream: a raw pseudo-terminal or a pipe, drained into `data`."""

    def __init__(self, terminal):
        self.read_end, self.write_end = pty.openpty() if terminal else os.pipe()
        if terminal:
            tty.setraw(self.write_end)  # bytes as written, no "\n" -> "\r\n"
        self.data, self.thread = b"", threading.Thread(target=self.drain, daemon=True)

    def drain(self):
        os.close(self.write_end)  # the child holds its own copy
        with contextlib.suppress(OSError):  # EIO: the terminal's last writer has gone
            while chunk := os.read(self.read_end, 65536):
                self.data += chunk

    def finish(self):
        self.thread.join(timeout=10)
        os.close(self.read_end)


def run(args, terminal, until=None, stdin_words="", cwd=None):
    """brelvane with stdout and stderr on terminals or pipes; once `until(out, err)` holds,
    `stdin_words` and end of input.  Returns (exit code, out, err)."""
    out, err = Sink(terminal), Sink(terminal)
    proc = subprocess.Popen([tool("app", "brelvane")] + args, cwd=cwd, env=UTF8_ENV,
                            stdin=subprocess.PIPE, stdout=out.write_end, stderr=err.write_end)
    out.thread.start(), err.thread.start()
    deadline = time.monotonic() + 120
    while until and not until(out.data, err.data) and proc.poll() is None and time.monotonic() < deadline:
        time.sleep(0.05)
    with contextlib.suppress(BrokenPipeError):
        proc.stdin.write(stdin_words.encode())
        proc.stdin.close()
    code = proc.wait(timeout=60)
    out.finish(), err.finish()
    return code, out.data, err.data


class TerminalTest(ReleaseTest):
    def test_help_and_version_of_every_program_exit_zero_and_help_on_a_utf8_terminal_is_utf8(self):
        code, out, err = run(["--help"], terminal=True)
        self.assertEqual((code, err), (0, b""))
        for wanted in ("-HttpUrl URL", "-Charset", "http://127.0.0.1:", "p2p.log", "[Info]开始下载所需文件", "Exit status"):
            self.assertIn(wanted, out.decode("utf-8"))  # strict: raises on GBK bytes
        for name, where in {"brelvane": ("app",), "brelvane-release": ("tools",),
                            "brelvane-mainserver": ("tools", "mainserver")}.items():
            for arg, shape in (("--help", "Usage: %s .*Exit status"), ("--version", r"%s \d+\.\d+")):
                r = subprocess.run([tool(*where, name), arg], capture_output=True, timeout=30)
                self.assertEqual(r.returncode, 0, (name, arg, r.stderr))
                self.assertRegex(r.stdout.decode("utf-8", "replace"), "(?s)^" + shape % name)

    def test_nothing_to_update_from_prints_four_records_in_gbk_within_a_second(self):
        began = time.monotonic()
        code, out, err = run([], False, cwd=self.case)
        self.assertLess(time.monotonic() - began, 1.0)
        self.assertEqual((code, err, out.decode("gbk")), (0, b"", NO_SEED))
        self.assertEqual(out[6:8], b"\xd5\xfd")  # GBK, not UTF-8
        self.assertEqual(run(["-id", "abc"], False, cwd=self.case)[0], 0)
        self.assertEqual(set(os.listdir(self.case)) - {"user.log"}, {"p2p.log", "p2p-abc.log"})

    def test_run_on_terminals_and_through_pipes(self):
        self.cut("r", {"a.bin": random.Random(7).randbytes(1 << 20)})
        # 1 MiB at 512 KiB/s: the progress line has a few seconds to show.
        args = ["-HttpUrl", self.mirror.url + "/r/out", "-NotUsingUPnP", "-DownloadLimit", "512", "-Dir"]
        code, out, err = run(args + [os.path.join(self.case, "tty")], True,
                             lambda out, err: b"[Interactive]P2PState=14" in out and b"complete" in err,
                             "quit\n", self.case)
        self.assertEqual(code, 0)
        for wanted in ("[Info]开始下载所需文件\n", "[Interactive]P2PState=14\n", "[Info]程序正常退出\n[Interactive]P2PState=16\n"):
            self.assertIn(wanted, out.decode("utf-8"))
        self.assertIsNone(PROGRESS.search(out), "progress line on standard output")
        self.assertRegex(err, PROGRESS)
        self.assertIn(b"\r\x1b[K", err)  # erased around each record
        self.assertNotIn(b"[Info]", err)

        code, out, err = run(args + [os.path.join(self.case, "pipe")], False,
                             lambda out, _: b"[Interactive]P2PState=14" in out, "quit\n", self.case)
        self.assertEqual((code, err), (0, b""))
        self.assertIn("[Info]开始下载所需文件\n".encode("gbk"), out)
        self.assertRegex(out.decode("gbk"), RECORDS_ONLY)  # no title, no progress line
        self.assertTrue(out.endswith(b"[Interactive]P2PState=16\n"))


if __name__ == "__main__":
    main()
