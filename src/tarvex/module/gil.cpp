// The interpreter lock around native work, and the periodic check for signals that runs without it.
#include "tarvex/module/gil.hpp"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <utility>

#include "tarvex/fail.hpp"

namespace tarvex::py {
namespace {

std::atomic<unsigned long> main_thread{0};

// Often enough that Ctrl-C ends any call well within a second, rarely enough
// that taking the lock, which another Python thread may hold for up to its
// switch interval, costs nothing measurable.
constexpr std::chrono::milliseconds kSignalInterval{20};

bool interpreter_exits() {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;
#endif
}

// After fork() the forking thread is the child's only thread, and the one
// where Python now runs its signal handlers.
void adopt_forking_thread() { main_thread.store(PyThread_get_thread_ident()); }

}  // namespace

// A bare pointer, as a thread may end without the lock.
thread_local PyObject* deferred_stop = nullptr;

void defer_stop(PyRef exc) {
  if (deferred_stop == nullptr) deferred_stop = exc.release();
}

bool restore_deferred_stop() {
  if (deferred_stop == nullptr) return false;
  restore_error(PyRef(std::exchange(deferred_stop, nullptr)));
  return true;
}

void forget_deferred_stop() { Py_CLEAR(deferred_stop); }

void stop_if_interpreter_exits() {
  if (!interpreter_exits() || PyThread_get_thread_ident() == main_thread.load(std::memory_order_relaxed)) return;
  for (;;) pause();
}

int remember_main_thread() {
  static const bool registered = pthread_atfork(nullptr, nullptr, adopt_forking_thread) == 0;
  (void)registered;
  PyRef threading = PyRef(PyImport_ImportModule("threading"));
  PyRef main = threading ? PyRef(PyObject_CallMethod(threading.get(), "main_thread", nullptr)) : PyRef();
  PyRef ident = main ? PyRef(PyObject_GetAttrString(main.get(), "ident")) : PyRef();
  if (!ident) return -1;
  const unsigned long value = PyLong_AsUnsignedLong(ident.get());
  if (value == static_cast<unsigned long>(-1) && PyErr_Occurred()) return -1;
  main_thread.store(value);
  return 0;
}

void check_signals() {
  if (deferred_stop != nullptr) [[unlikely]] {
    const HeldGil gil;
    restore_deferred_stop();
    throw Interrupted{};
  }
  if (PyThread_get_thread_ident() != main_thread.load(std::memory_order_relaxed)) return;
  thread_local std::chrono::steady_clock::time_point next{};
  const auto now = std::chrono::steady_clock::now();
  if (now < next) return;
  next = now + kSignalInterval;
  const HeldGil gil;
  if (PyErr_CheckSignals() < 0) throw Interrupted{};
}

}  // namespace tarvex::py
