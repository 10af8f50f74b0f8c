// Keyword parsing: sampling methods and lattices by name, and texts quoted for the messages.
#include "tarvex/module/keywords.hpp"

#include <cstdio>

#include "tarvex/fail.hpp"
#include "tarvex/messages.hpp"
#include "tarvex/module/pyref.hpp"
#include "tarvex/walks/lattice.hpp"

namespace tarvex::py {

std::string quoted(std::string_view text) {
  std::string out = "\"";
  PyRef unicode = PyRef::check(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  const Py_ssize_t length = PyUnicode_GetLength(unicode.get());
  for (Py_ssize_t i = 0; i < length; ++i) {
    const Py_UCS4 c = PyUnicode_ReadChar(unicode.get(), i);
    switch (c) {
      case '"': out += "\\\""; continue;
      case '\\': out += "\\\\"; continue;
      case '\t': out += "\\t"; continue;
      case '\r': out += "\\r"; continue;
      case '\n': out += "\\n"; continue;
      case '\0': out += "\\0"; continue;
      default: break;
    }
    if (Py_UNICODE_ISPRINTABLE(c)) {
      PyRef one = PyRef::check(PyUnicode_FromOrdinal(static_cast<int>(c)));
      Py_ssize_t size = 0;
      const char* bytes = PyUnicode_AsUTF8AndSize(one.get(), &size);
      if (bytes == nullptr) throw ErrorSet{};
      out.append(bytes, static_cast<std::size_t>(size));
    } else {
      char buffer[16];
      std::snprintf(buffer, sizeof buffer, "\\u{%x}", static_cast<unsigned>(c));
      out += buffer;
    }
  }
  out += '"';
  return out;
}

SamplingMethod parse_method(std::string_view text, bool optional, PivotFactors factors) {
  if (text == "pivot") return {SamplingMethod::Kind::pivot, factors.thermalization, factors.autocorrelation};
  if (text == "dimerize") return {SamplingMethod::Kind::dimerize, 0, 0};
  if (text == "enumerate") return {SamplingMethod::Kind::enumerate, 0, 0};
  if (optional) fail(messages::kUnknownOptionalMethod, quoted(text));
  fail(messages::kUnknownMethod, quoted(text));
}

LatticeKind parse_lattice(std::string_view text) {
  for (std::size_t k = 0; k < kLatticeNames.size(); ++k) {
    if (text == kLatticeNames[k]) return LatticeKind(k);
  }
  fail(messages::kUnknownLattice, quoted(text));
}

}  // namespace tarvex::py
