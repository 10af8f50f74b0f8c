// The interpreter lock around native work, and the periodic check for signals that runs without it.
#pragma once

#include "tarvex/module/pyref.hpp"

namespace tarvex::py {

// Once the interpreter has begun to shut down, a thread other than the one
// shutting it down must not take the lock again: CPython before 3.14 ends such
// a thread with pthread_exit, an unwind that a noexcept frame turns into an
// abort. This one stops here for good instead, as 3.14 does; the process is
// ending. Returns at once otherwise.
void stop_if_interpreter_exits();

// Lets other Python threads run while the calling thread does native work
// that touches no Python object. Every Python object the work needs is kept
// alive by the caller (borrowed arguments, owned results built afterwards).
class ReleasedGil {
 public:
  ReleasedGil() : saved_(PyEval_SaveThread()) {}
  // May end the thread by unwinding (the interpreter started to shut down
  // while this thread waited for the lock): that unwind must pass.
  ~ReleasedGil() noexcept(false) {
    stop_if_interpreter_exits();
    PyEval_RestoreThread(saved_);
  }
  ReleasedGil(const ReleasedGil&) = delete;
  ReleasedGil& operator=(const ReleasedGil&) = delete;

 private:
  PyThreadState* saved_;
};

// Holds the lock for its lifetime: from native work that released it (a
// Python cost, the signal check). Nests: a thread that holds it keeps it.
class HeldGil {
 public:
  HeldGil() : state_((stop_if_interpreter_exits(), PyGILState_Ensure())) {}
  ~HeldGil() { PyGILState_Release(state_); }
  HeldGil(const HeldGil&) = delete;
  HeldGil& operator=(const HeldGil&) = delete;

 private:
  PyGILState_STATE state_;
};

// Notes which thread is the interpreter's main thread: only there do Python's
// signal handlers run. Called at import, holding the lock.
int remember_main_thread();

// An exception that ends the call, raised inside code that must not throw
// (a KeyboardInterrupt that a signal handler raised while the progress line's
// Python stream wrote): the next signal check ends the call with it, and the
// function table raises it if the call ended first. The first one is kept.
// Holding the lock.
void defer_stop(PyRef exc);
// Sets the deferred exception as the pending error; false when there is none.
bool restore_deferred_stop();
void forget_deferred_stop();

// The poll of every long call: on the main thread, at most every few tens of
// milliseconds, takes the lock and runs the pending signal handlers; a
// handler that raised (Ctrl-C) ends the computation with Interrupted.
void check_signals();

}  // namespace tarvex::py
