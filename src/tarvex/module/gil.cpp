// The interpreter lock around native work, and the periodic check for signals that runs without it.
#include "tarvex/module/gil.hpp"

#include <atomic>
#include <chrono>

#include "tarvex/fail.hpp"

namespace tarvex::py {
namespace {

std::atomic<unsigned long> main_thread{0};

// Often enough that Ctrl-C ends any call well within a second, rarely enough
// that taking the lock, which another Python thread may hold for up to its
// switch interval, costs nothing measurable.
constexpr std::chrono::milliseconds kSignalInterval{20};

}  // namespace

int remember_main_thread() {
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
  if (PyThread_get_thread_ident() != main_thread.load(std::memory_order_relaxed)) return;
  thread_local std::chrono::steady_clock::time_point next{};
  const auto now = std::chrono::steady_clock::now();
  if (now < next) return;
  next = now + kSignalInterval;
  const HeldGil gil;
  if (PyErr_CheckSignals() < 0) throw Interrupted{};
}

}  // namespace tarvex::py
