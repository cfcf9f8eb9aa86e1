#include "boundary.hpp"

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "travune/fatal.hpp"
#include "travune/interrupt.hpp"
#include "travune/stack.hpp"

namespace travune {
namespace {

constexpr const char* kPanicDoc =
    "\nThe exception raised when the native code called from Python fails.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

// Created on first use, with the interpreter lock held, and kept for the life of the process.
PyObject* panic_exception_type() {
  static PyObject* type = nullptr;
  if (!type) {
    type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc,
                                     PyExc_BaseException, nullptr);
  }
  return type;
}

void write_failure_report(const std::string& message, const std::source_location* where) {
  static std::atomic<bool> reported_before{false};
  std::string report = "\nthread '<unnamed>' (" + std::to_string(::syscall(SYS_gettid)) +
                       ") panicked at ";
  if (where) {
    report += relative_file(*where) + ":" + std::to_string(where->line()) + ":" +
              std::to_string(where->column());
  } else {
    report += "<unknown>";
  }
  report += ":\n" + message + "\n";
  if (!reported_before.exchange(true))
    report += "note: this build records no backtraces\n";
  std::fwrite(report.data(), 1, report.size(), stderr);
  std::fflush(stderr);
}

void raise_panic(const std::string& message, const std::source_location* where) {
  write_failure_report(message, where);
  PyObject* type = panic_exception_type();
  if (!type) return;  // creating the type failed; its error is set
  PyRef text(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (!text) {  // a message that is not UTF-8 is reported with replacement characters
    PyErr_Clear();
    text.reset(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                    "replace"));
    if (!text) return;
  }
  PyErr_SetObject(type, text.get());
}

std::string qualname_of_type(PyObject* obj) {
  PyRef name(PyType_GetQualName(Py_TYPE(obj)));
  if (!name) {
    PyErr_Clear();
    return Py_TYPE(obj)->tp_name;
  }
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(name.get(), &n);
  if (!s) {
    PyErr_Clear();
    return Py_TYPE(obj)->tp_name;
  }
  return std::string(s, static_cast<std::size_t>(n));
}

void set_cannot_convert(PyObject* obj, const char* target) {
  std::string msg(1, '\'');
  msg += qualname_of_type(obj);
  msg += "' object cannot be converted to '";
  msg += target;
  msg += '\'';
  PyErr_SetString(PyExc_TypeError, msg.c_str());
}

// ---- argument matching ----

constexpr std::size_t kMaxParams = 4;
using Slots = std::array<PyObject*, kMaxParams>;

std::string full_name(const FunctionSpec& spec) { return std::string(spec.name) + "()"; }

std::size_t positional_count(const FunctionSpec& spec) {
  std::size_t n = 0;
  for (const auto& p : spec.params) n += p.keyword_only ? 0 : 1;
  return n;
}

std::size_t required_positional_count(const FunctionSpec& spec) {
  std::size_t n = 0;
  for (const auto& p : spec.params) n += (!p.keyword_only && p.required) ? 1 : 0;
  return n;
}

bool too_many_positional(const FunctionSpec& spec, Py_ssize_t given) {
  std::size_t total = positional_count(spec), required = required_positional_count(spec);
  const char* was = given == 1 ? "was" : "were";
  std::string msg = full_name(spec) + " takes ";
  if (required != total) msg += "from " + std::to_string(required) + " to ";
  msg += std::to_string(total) + " positional arguments but " + std::to_string(given) + " " +
         was + " given";
  PyErr_SetString(PyExc_TypeError, msg.c_str());
  return false;
}

bool missing_positional(const FunctionSpec& spec, const std::vector<const char*>& names) {
  std::string msg = full_name(spec) + " missing " + std::to_string(names.size()) +
                    " required positional " + (names.size() == 1 ? "argument" : "arguments") + ": ";
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i != 0) {
      if (names.size() > 2) msg += ',';
      msg += i == names.size() - 1 ? " and " : " ";
    }
    msg += '\'';
    msg += names[i];
    msg += '\'';
  }
  PyErr_SetString(PyExc_TypeError, msg.c_str());
  return false;
}

bool match_keyword(const FunctionSpec& spec, PyObject* name, PyObject* value, Slots& slots) {
  for (std::size_t i = 0; i < spec.params.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(name, spec.params[i].name) != 0) continue;
    if (slots[i]) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                   full_name(spec).c_str(), spec.params[i].name);
      return false;
    }
    slots[i] = value;
    return true;
  }
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'",
               full_name(spec).c_str(), name);
  return false;
}

bool match_arguments(const FunctionSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, Slots& slots) {
  if (static_cast<std::size_t>(nargs) > positional_count(spec))
    return too_many_positional(spec, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[static_cast<std::size_t>(i)] = args[i];
  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k)
    if (!match_keyword(spec, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], slots)) return false;
  std::vector<const char*> missing;
  for (std::size_t i = static_cast<std::size_t>(nargs); i < spec.params.size(); ++i) {
    const ParamSpec& p = spec.params[i];
    if (!p.keyword_only && p.required && !slots[i]) missing.push_back(p.name);
  }
  if (!missing.empty()) return missing_positional(spec, missing);
  return true;
}

// ---- conversion ----

bool convert_text(PyObject* obj, ArgValue& out) {
  if (!PyUnicode_Check(obj)) {
    set_cannot_convert(obj, "PyString");
    return false;
  }
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(obj, &n);
  if (!s) return false;
  out = std::string_view(s, static_cast<std::size_t>(n));
  return true;
}

bool convert_width(PyObject* obj, ArgValue& out) {
  PyRef index(PyLong_Check(obj) ? Py_NewRef(obj) : PyNumber_Index(obj));
  if (!index) return false;
  unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = static_cast<std::uint64_t>(v);
  return true;
}

bool convert_cache_keys(PyObject* obj, ArgValue& out) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(obj)) {
    set_cannot_convert(obj, "Sequence");
    return false;
  }
  std::vector<std::string> keys;
  // The reported length only sizes the list: a sequence may claim more items than
  // it yields, so the reservation is capped and the list grows as items come.
  constexpr Py_ssize_t kMaxReserved = 4096;
  Py_ssize_t len = PySequence_Size(obj);
  if (len < 0) PyErr_Clear();
  else keys.reserve(static_cast<std::size_t>(std::min(len, kMaxReserved)));
  PyRef iter(PyObject_GetIter(obj));
  if (!iter) return false;
  while (PyRef item{PyIter_Next(iter.get())}) {
    ArgValue text;
    if (!convert_text(item.get(), text)) return false;
    keys.emplace_back(std::get<std::string_view>(text));
  }
  if (PyErr_Occurred()) return false;
  out = std::move(keys);
  return true;
}

// An exception of exactly TypeError is replaced by "argument '{name}': {text}", keeping its cause.
void wrap_conversion_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyRef exc(PyErr_GetRaisedException());
  if (Py_TYPE(exc.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    PyErr_SetRaisedException(exc.release());
    return;
  }
  PyRef cause(PyException_GetCause(exc.get()));
  PyRef wrapped(PyObject_CallFunction(PyExc_TypeError, "s", ""));
  PyRef text(PyUnicode_FromFormat("argument '%s': %S", name, exc.get()));
  if (!wrapped || !text) return;
  PyRef args(PyTuple_Pack(1, text.get()));
  if (!args) return;
  PyException_SetArgs(wrapped.get(), args.get());
  if (cause) PyException_SetCause(wrapped.get(), cause.release());
  PyErr_SetRaisedException(wrapped.release());
}

bool convert_arguments(const FunctionSpec& spec, const Slots& slots, Args& out) {
  out.values.resize(spec.params.size());
  for (std::size_t i = 0; i < spec.params.size(); ++i) {
    const ParamSpec& p = spec.params[i];
    ArgValue& v = out.values[i];
    if (!slots[i]) {  // absent and optional: its default
      if (p.kind == ParamKind::Text) v = std::string_view(p.text_default);
      else if (p.kind == ParamKind::Width) v = std::uint64_t{100};
      else v = std::vector<std::string>{};
      continue;
    }
    bool ok = p.kind == ParamKind::Text    ? convert_text(slots[i], v)
              : p.kind == ParamKind::Width ? convert_width(slots[i], v)
                                           : convert_cache_keys(slots[i], v);
    if (!ok) {
      wrap_conversion_error(p.name);
      return false;
    }
  }
  return true;
}

// Turns the exception in flight into the report and the Python exception.
void raise_current() {
  try {
    throw;
  } catch (const Interrupted&) {
    // The interrupt check left the exception a signal handler raised: it goes back as it is.
    if (!PyErr_Occurred())
      PyErr_SetString(PyExc_SystemError, "_travune: a call stopped without an exception");
  } catch (const Fatal& f) {
    raise_panic(f.message, &f.where);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_panic(e.what(), nullptr);
  } catch (...) {
    raise_panic("unexpected failure of unknown type", nullptr);
  }
}

PyObject* run_call(const FunctionSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) {
  Slots slots{};
  if (!match_arguments(spec, args, nargs, kwnames, slots)) return nullptr;
  // The caller may lend its arguments, and Python code run during the call (a cache key
  // sequence's methods, a signal handler) may drop the lender's references: the call owns
  // every argument until it returns, as the text views into their UTF-8 buffers need.
  std::array<PyRef, kMaxParams> owned;
  for (std::size_t i = 0; i < spec.params.size(); ++i)
    if (slots[i]) owned[i].reset(Py_NewRef(slots[i]));
  Args converted;
  if (!convert_arguments(spec, slots, converted)) return nullptr;
  std::string text;
  try {
    // Python code may have changed RLIMIT_STACK since the last call (the conversion above runs
    // Python code too): this call reads the limit anew if its walks need it.
    refresh_thread_stack();
    text = spec.body(converted);
  } catch (...) {
    raise_current();
    return nullptr;
  }
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// The library's interrupt check: every call holds the interpreter lock, so the pending
// signal handlers may run here. A handler that raises stops the call with its exception; one
// that returns lets the call go on. Once an exception is set, every later check stops too.
bool signal_handler_raised() {
  if (PyErr_Occurred()) return true;
  return PyErr_CheckSignals() != 0;
}

}  // namespace

void install_interrupt_check() { set_interrupt_check(&signal_handler_raised); }

void boundary_trap() {
  std::fputs("uncaught panic at ffi boundary\n", stderr);
  std::fflush(stderr);
  std::abort();
}

void raise_fatal_from_current_exception() {
  try {
    raise_current();
  } catch (...) {
    boundary_trap();
  }
}

PyObject* call_function(const FunctionSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  try {
    return run_call(spec, args, nargs, kwnames);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return nullptr;
  } catch (...) {
    boundary_trap();
  }
}

}  // namespace travune
