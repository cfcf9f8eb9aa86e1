#pragma once
// The boundary between Python and the library: argument matching and conversion, the
// failure report and pyo3_runtime.PanicException, the interrupt check. No C++ exception
// crosses into CPython.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace travune {

// An owning reference: exactly one owner for every new reference.
class PyRef {
 public:
  PyRef() = default;
  explicit PyRef(PyObject* owned) : p_(owned) {}
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& o) noexcept : p_(o.release()) {}
  PyRef& operator=(PyRef&& o) noexcept { reset(o.release()); return *this; }
  ~PyRef() { Py_XDECREF(p_); }
  PyObject* get() const { return p_; }
  PyObject* release() { PyObject* p = p_; p_ = nullptr; return p; }
  void reset(PyObject* p = nullptr) { PyObject* old = p_; p_ = p; Py_XDECREF(old); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

enum class ParamKind { Text, Width, CacheKeys };

struct ParamSpec {
  const char* name;
  ParamKind kind;
  bool required;
  bool keyword_only;
  const char* text_default = nullptr;  // for an optional Text parameter
};

// The value a body receives for one parameter.
using ArgValue = std::variant<std::string_view, std::uint64_t, std::vector<std::string>>;

struct Args {
  std::vector<ArgValue> values;
  std::string_view text(std::size_t i) const { return std::get<std::string_view>(values[i]); }
  std::string path(std::size_t i) const { return std::string(text(i)); }
  std::uint64_t width(std::size_t i) const { return std::get<std::uint64_t>(values[i]); }
  const std::vector<std::string>& keys(std::size_t i) const {
    return std::get<std::vector<std::string>>(values[i]);
  }
};

using Body = std::string (*)(const Args&);

struct FunctionSpec {
  const char* name;
  const char* doc;  // the text signature, then "\n--\n\n"
  std::span<const ParamSpec> params;
  Body body;
};

// Runs one call: match, convert, run the body, return a new str (or null with an exception set).
PyObject* call_function(const FunctionSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames);

// Lets long calls run the interpreter's signal handlers (Ctrl-C): installed once, at import.
void install_interrupt_check();

// Reports a fatal stop caught during initialisation and raises PanicException.
void raise_fatal_from_current_exception();

// Ends the process when a stop escapes the boundary itself.
[[noreturn]] void boundary_trap();

}  // namespace travune
