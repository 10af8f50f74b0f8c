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


FORK_IN_COST_SCRIPT = textwrap.dedent("""
    import os, tarvex
    tarvex.set_num_threads(3)
    gt = [[[i * 3.8, 0.0, 0.0] for i in range(10)]]
    forked = []
    def cost(seq, coords):
        if not forked:
            forked.append(os.fork())
        return 1.0
    try:
        tarvex.stats("A" * 10, gt, cost, sample_size=3000)
        outcome = 0
    except tarvex.PanicException as failure:
        outcome = 0 if "fork" in str(failure) else 2  # a task was on a vanished worker
    if forked[0] == 0:
        os._exit(outcome)
    print(os.waitstatus_to_exitcode(os.waitpid(forked[0], 0)[1]), outcome)
""")

SIGINT_CHILD_SCRIPT = textwrap.dedent("""
    import os, signal, threading, time, tarvex
    gt = [[[i * 3.8, 0.0, 0.0] for i in range(12)]]
    def fork_here():
        pid = os.fork()
        if pid == 0:
            threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
            try:
                tarvex.stats("A" * 12, gt, {"A": {"A": -1.0}}, sample_size=10**8)
            except KeyboardInterrupt:
                os._exit(7)
            os._exit(1)
        print(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
    thread = threading.Thread(target=fork_here)
    thread.start()
    thread.join()
""")


def test_forked_children_of_a_running_call_finish_and_hear_ctrl_c():
    # fork() inside a Python cost while the pool runs the call's tasks: the child goes on
    # without the parent's workers instead of waiting for them forever.
    for _ in range(3):
        done = subprocess.run([sys.executable, "-c", FORK_IN_COST_SCRIPT], capture_output=True,
                              text=True, timeout=30)
        assert done.stdout.split() == ["0", "0"], done.stderr[-2000:]
    # A child forked from a thread other than the main one: that thread is its main thread now.
    done = subprocess.run([sys.executable, "-c", SIGINT_CHILD_SCRIPT], capture_output=True,
                          text=True, timeout=30)
    assert done.stdout.split() == ["7"], done.stderr[-2000:]


LIMITED_SCRIPT = textwrap.dedent("""
    import resource, tarvex
    resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))
    gt = [[[i * 3.8, 0.0, 0.0] for i in range(14)]]
    calls = [
        lambda: tarvex.sample_array(16, method="enumerate", lattice="fcc"),  # ~10^15 walks
        lambda: tarvex.stats("A" * 14, gt, {"A": {"A": -1.0}}, method="enumerate", lattice="fcc"),
        lambda: tarvex.sample_solutions(20, 10**6, method="dimerize"),  # fits in RAM, not in the limit
    ]
    for call in calls:
        try:
            call()
            print("returned")
        except MemoryError as failure:
            print("bytes" in str(failure) and "this process may use" in str(failure))
    try:
        import _testcapi
    except ImportError:
        print(True)
    else:
        tarvex.sample_solutions(20, 1000, method="dimerize")
        _testcapi.set_nomemory(5000, 5001)  # one allocation fails while the walks become lists
        try:
            tarvex.sample_solutions(20, 1000, method="dimerize")
        except MemoryError as failure:
            _testcapi.remove_mem_hooks()
            print(str(failure) == "the result would need about 2152000 bytes, which could not be allocated")
""")


@pytest.mark.no_asan
def test_memory_requests_are_weighed_against_the_process_limit_and_named():
    done = subprocess.run([sys.executable, "-c", LIMITED_SCRIPT], capture_output=True, text=True, timeout=120)
    assert done.stdout.split() == ["True"] * 4, done.stdout + done.stderr[-2000:]
