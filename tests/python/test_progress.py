"""pbar=True: the progress line on the standard error stream, in a pipe and in a terminal."""

import fcntl
import os
import pty
import re
import struct
import subprocess
import sys
import termios

import pytest

RATE = r"(?:\d+\.\d\d|\?)"


def run(code, stderr=subprocess.PIPE):
    return subprocess.run([sys.executable, "-c", "import tarvex\n" + code], stderr=stderr,
                          stdout=subprocess.PIPE, timeout=120)


def final_line(err):
    """The line written by close: after the last cursor-to-column-1 sequence."""
    assert err.endswith("\n"), repr(err[-200:])
    return err[:-1].rsplit("\x1b[1G", 1)[-1]


@pytest.mark.parametrize("call", [
    "tarvex.sample_solutions(5, 200, method='dimerize', pbar=True)",
    "tarvex.sample_solutions(5, 200, method='pivot', pbar=True)",
    "tarvex.stats('AAAAA', [[[float(i), 0, 0] for i in range(5)]], lambda s, c: 0.0, "
    "sample_size=200, method='dimerize', pbar=True)",
], ids=["dimerize", "pivot", "stats"])
def test_bar_in_a_pipe_is_80_columns(call):
    err = run(call).stderr.decode()
    line = final_line(err)
    assert re.fullmatch(r"100%\|█+\| 200/200 \[00:00<00:00, " + RATE + r"it/s\]", line), line
    assert len(line) == 80
    assert err.startswith("\x1b[?25l\x1b[1G")
    first = err.split("\x1b[?25h", 1)[0]
    assert re.search(r"  0%\| +\| 0/200 \[00:00<\?, \?it/s\]", first)
    assert len(first) - len("\x1b[?25l\x1b[1G") == 80


@pytest.mark.parametrize("call, count", [
    ("tarvex.sample_solutions(3, method='enumerate', lattice='cubic', pbar=True)", 30),
    ("tarvex.minimize_cost('AAA', lambda s, c: 0.0, lattice='cubic', pbar=True)", 30),
    ("tarvex.minimize_rmsd([[[0, 0, 0], [1, 0, 0], [2, 0, 0], [3, 0, 0]]], lattice='tetrahedral',"
     " pbar=True)", 36),
], ids=["enumerate", "minimize-cost", "minimize-rmsd"])
def test_enumeration_shows_a_count(call, count):
    line = final_line(run(call).stderr.decode())
    assert re.fullmatch(rf"{count}it \[00:00, {RATE}it/s\]", line), line


def test_total_zero():
    err = run("tarvex.sample_solutions(5, 0, method='dimerize', pbar=True)").stderr.decode()
    assert re.fullmatch(r"  0%\| +\| 0/0 \[00:00<\?, \?it/s\]", final_line(err))


def test_nothing_is_written_without_pbar():
    out = run("tarvex.sample_solutions(20, 100)\n"
              "tarvex.minimize_cost('AAAA', lambda s, c: 0.0)\n"
              "tarvex.stats('AAAA', [[[float(i), 0, 0] for i in range(4)]], lambda s, c: 0.0, "
              "sample_size=10)")
    assert out.stderr == b""


def test_the_line_counts_walks_scored_and_moves_during_a_slow_cost():
    # A cost failing on its third call: two walks were scored, however many were produced.
    out = run("calls = []\n"
              "def cost(s, c):\n"
              "    calls.append(1)\n"
              "    return 1 / (3 - len(calls))\n"
              "try:\n"
              "    tarvex.stats('AAAA', [[[float(i), 0, 0] for i in range(4)]], cost,"
              " sample_size=10, method='dimerize', pbar=True)\n"
              "except tarvex.PanicException:\n"
              "    print('caught')\n")
    err = out.stderr.decode()
    assert out.stdout == b"caught\n"
    assert re.fullmatch(r" *20%\|.*\| 2/10 \[00:00<.*it/s\]", final_line(err))
    # A 4 ms cost for about half a second: the line keeps redrawing while the costs run
    # (it drew three times when it counted the walks as produced).
    out = run("import time\n"
              "tarvex.stats('AAAA', [[[float(i), 0, 0] for i in range(4)]],"
              " lambda s, c: time.sleep(0.004) or 1.0, sample_size=120, method='dimerize', pbar=True)")
    assert out.stderr.decode().count("\x1b[?25l") >= 7


def test_terminal_width_is_used():
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 30, 100, 0, 0))
    proc = subprocess.Popen([sys.executable, "-c",
                             "import tarvex\ntarvex.sample_solutions(5, 300, method='dimerize',"
                             " pbar=True)"], stderr=slave, stdout=subprocess.DEVNULL)
    os.close(slave)
    chunks = []
    while True:
        try:
            chunk = os.read(master, 65536)
        except OSError:
            break
        if not chunk:
            break
        chunks.append(chunk)
    proc.wait(timeout=60)
    os.close(master)
    err = b"".join(chunks).decode().replace("\r\n", "\n")
    line = final_line(err)
    assert len(line) == 100
    assert re.fullmatch(r"100%\|█+\| 300/300 \[00:00<00:00, " + RATE + r"it/s\]", line), line
    assert "\x1b[?25l" in err and "\x1b[?25h" in err


def test_redirected_stderr_gets_plain_lines_and_fd_2_nothing():
    # Three threads draw at once while the main thread holds the interpreter
    # lock in a loop: each redraw needs the lock, none may deadlock or be lost.
    out = run("import contextlib, io, threading\n"
              "buf = io.StringIO()\n"
              "with contextlib.redirect_stderr(buf):\n"
              "    threads = [threading.Thread(target=tarvex.sample_solutions, args=(6, 3000),\n"
              "                                kwargs=dict(method='dimerize', pbar=True))\n"
              "               for _ in range(3)]\n"
              "    for t in threads: t.start()\n"
              "    while any(t.is_alive() for t in threads): sum(range(1000))\n"
              "    tarvex.sample_solutions(5, 200, method='dimerize', pbar=True)\n"
              "print(repr(buf.getvalue()))")
    assert out.stderr == b""
    text = eval(out.stdout)
    assert "\x1b" not in text
    lines = text.split("\n")
    assert lines[-1] == "" and len(lines) == 5
    for line in lines[:3]:
        assert line.rsplit("\r", 1)[-1].startswith("100%|"), line
    assert re.fullmatch(r"100%\|█+\| 200/200 \[00:00<00:00, " + RATE + r"it/s\]", lines[3].rsplit("\r", 1)[-1])
    first = lines[3].split("\r")[1]
    assert re.fullmatch(r"  0%\| +\| 0/200 \[00:00<\?, \?it/s\]", first) and len(first) == 80


@pytest.mark.parametrize("interrupted_write", [3, 2])
def test_ctrl_c_while_the_stream_writes_ends_the_call(interrupted_write):
    # A signal handler's KeyboardInterrupt inside the stream's write is Ctrl-C, not a broken
    # stream: the call ends with it. Write 2 of a 2-write call is its last line.
    import contextlib
    import io

    import tarvex

    class Interrupting(io.StringIO):
        writes = 0

        def write(self, text):
            Interrupting.writes += 1
            if Interrupting.writes == interrupted_write:
                raise KeyboardInterrupt
            return super().write(text)

    size = 3 * 10**6 if interrupted_write == 3 else 5
    gt = [[[i * 3.8, 0.0, 0.0] for i in range(10)]]
    with pytest.raises(KeyboardInterrupt), contextlib.redirect_stderr(Interrupting()):
        tarvex.stats("A" * 10, gt, {"A": {"A": -1.0}}, sample_size=size, pbar=True)
    assert Interrupting.writes <= 4


def test_a_failing_stream_is_reported_once_and_never_stops_the_run():
    out = run("import contextlib, sys\n"
              "reports = []\n"
              "sys.unraisablehook = lambda u: reports.append(type(u.exc_value).__name__)\n"
              "class Closed:\n"
              "    def write(self, text): raise OSError('closed')\n"
              "    def flush(self): pass\n"
              "with contextlib.redirect_stderr(Closed()):\n"
              "    walks = tarvex.sample_solutions(5, 300, method='dimerize', pbar=True)\n"
              "print(len(walks), reports)")
    assert out.stdout.decode().split() == ["300", "['OSError']"]
    assert out.stderr == b""
