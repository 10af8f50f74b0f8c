"""Lua costs that used to crash the process, or that Ctrl-C could not end, each in a child process."""

import ctypes
import subprocess
import sys
import textwrap

import pytest
from conftest import interrupted_child

import tarvex

PRELUDE = textwrap.dedent("""
    import tarvex
    def run(name, source, n=3):
        try:
            return tarvex.correlation("A" * n, [[[float(i), 0.0, 0.0] for i in range(n)]],
                                      (name, source), sample_size=20)
        except tarvex.PanicException as error:
            return "PanicException: " + error.args[0].splitlines()[0]
""")

# The malformed bytecode of the crash report, and the same as Lua decimal escapes.
MALFORMED_BYTES = bytes([27, 76, 74, 2, 8, 9, 61, 108, 117, 97, 32, 99, 111, 115, 116, 27, 0, 0, 1, 0,
                         1, 0, 2, 3, 2, 0, 39, 0, 255, 127, 76, 0, 2, 0, 10, 104, 101, 108, 108, 111,
                         0, 0, 0, 0])
MALFORMED = "".join(f"\\{b}" for b in MALFORMED_BYTES)

REFUSED = "attempt to load a binary chunk (only text chunks are accepted)"
NOT_A_NUMBER = "PanicException: Lua function did not return a floating number !: runtime error: "


def run_child(body):
    out = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(body)],
                         capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr[-2000:]
    return out.stdout.splitlines()


@pytest.mark.parametrize("source, expected", [
    (f'function f() return loadstring("{MALFORMED}")() end',
     NOT_A_NUMBER + "lua cost:1: attempt to call a nil value"),
    ("function f() error(select(2, load(string.dump(function() end)))) end",
     NOT_A_NUMBER + "lua cost:1: " + REFUSED),
    ("local function r(n) return coroutine.resume(coroutine.create(r), n+1) end "
     "function f(s,c) r(1) return 1 end",
     NOT_A_NUMBER + "lua cost:1: C stack overflow"),
    ("local function r(n) return coroutine.wrap(r)(n+1) end function f(s,c) r(1) return 1 end",
     NOT_A_NUMBER + "lua cost:1: C stack overflow"),
    # Its error unwinds over 100 MiB of C stack, more than AddressSanitizer keeps track of: it
    # says so in a warning, which the sanitizer run counts as a report.
    pytest.param("local function g(c) return c:gsub('.', g) end function f() g('a') return 1 end",
                 NOT_A_NUMBER + "stack overflow", marks=pytest.mark.no_asan),
], ids=["malformed-bytecode", "dumped-bytecode", "nested-resumes", "nested-wraps",
        "gsub-recursion"])
def test_lua_that_crashed_the_process_fails_cleanly(source, expected):
    lines = run_child(f"""
        print(run("f", {source!r}))
        print(run("f", "function f(s, c) return #c end"))
    """)
    assert lines == [expected, "nan"]


def test_bytecode_as_the_cost_source_is_refused():
    lines = run_child(f"""
        print(run("f", {MALFORMED_BYTES.decode("latin-1")!r}))
    """)
    assert lines == ["PanicException: Lua code returned an error when run:"]


def test_lua_runtime_is_kept_inside_the_module():
    # Another LuaJIT in the process (lupa, say) must neither see ours nor be bound to it.
    module = ctypes.CDLL(tarvex.__file__)
    for symbol in ["lua_newstate", "luaL_newstate", "lua_pcall", "luaL_loadbufferx", "luaJIT_setmode"]:
        assert not hasattr(module, symbol), symbol


# --- Ctrl-C while Lua code runs ---------------------------------------------------------------

SIGINT_SCRIPT = PRELUDE + textwrap.dedent("""
    import sys, threading, time
    FINALISER_LOOP = ("keep = newproxy(true) getmetatable(keep).__gc = function() while true do end end "
                      "function f() return 1 end")
    calls = {
        "compiled-loop": lambda: run("f", "function f() while true do end end"),
        "loop-in-chunk": lambda: run("f", "while true do end"),
        "finaliser-at-close": lambda: run("f", FINALISER_LOOP),
        "finaliser-in-evaluation": lambda: run("f", "function f() local p = newproxy(true) "
            "getmetatable(p).__gc = function() while true do end end p = nil collectgarbage() end"),
    }
    counted = 0
    def count():
        global counted
        while True:
            counted += 1
    threading.Thread(target=count, daemon=True).start()
    print("started", flush=True)
    before, during = counted, 0
    try:
        calls[sys.argv[1]]()
    except KeyboardInterrupt:
        during = counted - before
        print("interrupted", flush=True)
    # Free, the thread counts millions in the half second; held off by the interpreter lock, a
    # few thousand at most.
    print("other thread ran" if during > 300000 else f"other thread stuck ({during})", flush=True)
    print(run("f", "function f(s, c) return #c end"), flush=True)
""")


@pytest.mark.parametrize("call", ["compiled-loop", "loop-in-chunk", "finaliser-at-close",
                                  "finaliser-in-evaluation"])
def test_ctrl_c_ends_lua_code_that_never_returns(call):
    with interrupted_child(SIGINT_SCRIPT, call) as proc:
        assert proc.stdout.readline() == "other thread ran\n"
        assert proc.stdout.readline() == "nan\n"
        assert proc.wait(timeout=10) == 0


STUCK_SCRIPT = PRELUDE + textwrap.dedent("""
    import os, signal, threading
    STUCK = ("function f() local p = newproxy(true) "
             "getmetatable(p).__gc = function() while true do end end p = nil collectgarbage() end")
    outcomes = []
    for _ in range(9):
        timer = threading.Timer(0.1, os.kill, (os.getpid(), signal.SIGINT))
        timer.start()
        try:
            outcomes.append(run("f", STUCK)[:40])
        except KeyboardInterrupt:
            outcomes.append("interrupted")
        timer.cancel()
        timer.join()
    print(outcomes.count("interrupted"), outcomes[-1])
""")


def test_new_lua_work_is_refused_past_a_few_stuck_threads():
    # Each finaliser loop that Ctrl-C cannot end keeps its thread and ~280 MB of address space.
    out = subprocess.run([sys.executable, "-c", STUCK_SCRIPT], capture_output=True, text=True, timeout=120)
    assert out.stdout.split(None, 1) == ["8", "PanicException: 8 Lua threads are still \n"], out.stderr
