// The generic argument binder: positional and keyword arguments matched against a parameter table.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <tuple>
#include <utility>

#include "tarvex/module/pyref.hpp"

namespace tarvex::py {

// One parameter: its name, its conversion, and its default (none: required).
template <class T>
struct Param {
  const char* name;
  T (*convert)(PyObject*);
  std::optional<T> fallback = std::nullopt;
};

template <class T>
Param<T> required(const char* name, T (*convert)(PyObject*)) {
  return {name, convert, std::nullopt};
}

template <class T, class D>
Param<T> defaulted(const char* name, T (*convert)(PyObject*), D&& fallback) {
  return {name, convert, std::optional<T>(std::in_place, std::forward<D>(fallback))};
}

// Matches the fast-call arguments to the parameter names and fills slots with
// borrowed references (null where the default applies). Raises the binding
// TypeErrors and throws ErrorSet.
void match_arguments(const char* function, const char* const* names, const bool* is_required, std::size_t count,
                     PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots);

// Re-raises a TypeError of a conversion as "argument '{name}': {message}",
// keeping the cause the conversion attached. Other errors pass unchanged.
[[noreturn]] void reraise_for_argument(const char* name);

template <class T>
T convert_argument(const Param<T>& param, PyObject* value) {
  if (value == nullptr) return *param.fallback;
  try {
    return param.convert(value);
  } catch (const ErrorSet&) {
    reraise_for_argument(param.name);
  }
}

// Binds and converts the arguments of one call, in parameter order.
template <class... T>
std::tuple<T...> bind_arguments(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                                const Param<T>&... params) {
  constexpr std::size_t count = sizeof...(T);
  const std::array<const char*, count> names{params.name...};
  const std::array<bool, count> is_required{!params.fallback.has_value()...};
  std::array<PyObject*, count> slots{};
  match_arguments(function, names.data(), is_required.data(), count, args, nargs, kwnames, slots.data());
  // Braced initialisation evaluates left to right: conversions run in parameter order.
  return [&]<std::size_t... I>(std::index_sequence<I...>) {
    return std::tuple<T...>{convert_argument(params, slots[I])...};
  }
  (std::index_sequence_for<T...>{});
}

}  // namespace tarvex::py
