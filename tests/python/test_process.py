"""The process around a call: interpreter exit with calls still running in daemon threads, fork()."""

import subprocess
import sys
import textwrap

import pytest

EXIT_SCRIPT = textwrap.dedent("""
    import threading, time, tarvex
    gt = [[[i * 3.8, 0.0, 0.0] for i in range(8)]]
    def python_cost():
        tarvex.stats("A" * 8, gt, lambda s, c: 1.0, sample_size=10**8)
    def table_loop():
        while True:
            tarvex.stats("A" * 8, gt, {{"A": {{"A": -1.0}}}}, sample_size=200)
    def rmsd_loop():
        while True:
            tarvex.rmsd(gt[0], gt)
    threading.Thread(target={work}, daemon=True).start()
    time.sleep(0.3)
""")


@pytest.mark.parametrize("work", ["python_cost", "table_loop", "rmsd_loop"])
def test_exit_with_a_call_in_a_daemon_thread_is_clean(work):
    # The thread asks for the interpreter lock after shutdown began; that must never abort.
    for _ in range(4):
        done = subprocess.run([sys.executable, "-c", EXIT_SCRIPT.format(work=work)],
                              capture_output=True, text=True, timeout=60)
        assert done.returncode == 0, done.stderr[-2000:]


FORK_SCRIPT = textwrap.dedent("""
    import os, tarvex
    def draw():
        return repr(tarvex.sample_solutions(12, sample_size=4))
    {seed}
    draw()  # the parent's generator exists before the fork
    children = []
    for _ in range(3):
        read, write = os.pipe()
        if os.fork() == 0:
            os.write(write, draw().encode())
            os._exit(0)
        os.close(write)
        with os.fdopen(read) as pipe:
            children.append(pipe.read())
        os.wait()
    print(len(set(children)), draw() in children)
""")


def test_forked_children_draw_their_own_walks_unless_seeded(tmp_path):
    # Keyed from the OS: every child is keyed anew (multiprocessing's fork pools fork like this).
    # Seeded: a child goes on with the parent's stream, its first draw is the parent's next one.
    script = tmp_path / "fork.py"
    for seed, expected in [("", "3 False"), ("tarvex.seed(11)", "1 True")]:
        script.write_text(FORK_SCRIPT.format(seed=seed))
        done = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=120)
        assert done.returncode == 0, done.stderr[-2000:]
        assert done.stdout.split() == expected.split()
