// The progress line through sys.stderr when that is not the process's fd 2 (a notebook, redirect_stderr).
#include "tarvex/module/progress_stream.hpp"

#include <memory>
#include <string_view>
#include <utility>

#include "tarvex/module/gil.hpp"
#include "tarvex/module/pyref.hpp"
#include "tarvex/sampling/progress_stream.hpp"

namespace tarvex::py {
namespace {

// A Python exception already pending on this thread (a bar ended while a
// KeyboardInterrupt unwinds the call) is set aside while the stream runs
// Python code, and put back after.
class SetAside {
 public:
  SetAside() : saved_(take_error()) {}
  ~SetAside() {
    if (saved_) restore_error(std::move(saved_));
  }
  SetAside(const SetAside&) = delete;
  SetAside& operator=(const SetAside&) = delete;

 private:
  PyRef saved_;
};

class PythonStream final : public ProgressStream {
 public:
  explicit PythonStream(PyRef stream) : stream_(std::move(stream)) {}
  ~PythonStream() override {
    const HeldGil gil;
    stream_ = PyRef();
  }
  PythonStream(const PythonStream&) = delete;
  PythonStream& operator=(const PythonStream&) = delete;

  void write(std::string_view text) noexcept override {
    if (failed_) return;
    const HeldGil gil;
    const SetAside pending;
    PyRef str(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    PyRef written = str ? PyRef(PyObject_CallMethod(stream_.get(), "write", "O", str.get())) : PyRef();
    PyRef flushed = written ? PyRef(PyObject_CallMethod(stream_.get(), "flush", nullptr)) : PyRef();
    if (flushed) return;
    // KeyboardInterrupt, SystemExit: raised by a signal handler that ran in
    // the stream's Python code, not by the stream. The call ends with it at
    // its next check, as it would have anywhere else.
    PyRef exc = take_error();
    if (exc && !PyErr_GivenExceptionMatches(exc.get(), PyExc_Exception)) {
      defer_stop(std::move(exc));
      return;
    }
    // A broken stream is reported once and then left alone: the run goes on
    // without its progress line rather than failing or repeating the report.
    failed_ = true;
    if (exc) restore_error(std::move(exc));
    PyErr_WriteUnraisable(stream_.get());
  }

 private:
  PyRef stream_;
  bool failed_ = false;
};

// Whether `stream` writes to fd 2 itself; a stream without a file number
// (StringIO, a notebook's stream) does not.
bool is_fd_2(PyObject* stream) {
  PyRef fd(PyObject_CallMethod(stream, "fileno", nullptr));
  const long value = fd ? PyLong_AsLong(fd.get()) : -1;
  PyErr_Clear();
  return value == 2;
}

std::unique_ptr<ProgressStream> choose_stream() {
  const HeldGil gil;
  const SetAside pending;
  PyObject* stream = PySys_GetObject("stderr");  // borrowed
  // Without a Python stream there is nobody else to show the line to.
  if (stream == nullptr || stream == Py_None || is_fd_2(stream)) return nullptr;
  return std::make_unique<PythonStream>(PyRef::borrow(stream));
}

}  // namespace

void route_progress_through_sys_stderr() noexcept { set_progress_stream_hook(&choose_stream); }

}  // namespace tarvex::py
