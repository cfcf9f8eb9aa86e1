// Module initialisation: the module object, created once, with the functions of kFunctions
// (functions.cpp) as its methods.
#include <array>
#include <atomic>
#include <cstdint>
#include <utility>

#include "boundary.hpp"
#include "functions.hpp"

namespace travune {
namespace {

template <std::size_t I>
PyObject* entry_point(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_function(kFunctions[I], args, nargs, kwnames);
}

template <std::size_t... I>
constexpr std::array<PyMethodDef, kFunctionCount> method_defs(std::index_sequence<I...>) {
  return {PyMethodDef{kFunctions[I].name,
                      reinterpret_cast<PyCFunction>(
                          reinterpret_cast<void (*)()>(&entry_point<I>)),
                      METH_FASTCALL | METH_KEYWORDS, kFunctions[I].doc}...};
}

std::array<PyMethodDef, kFunctionCount> g_method_defs =
    method_defs(std::make_index_sequence<kFunctionCount>{});

PyModuleDef g_module_def = {PyModuleDef_HEAD_INIT, "_travune", "", 0, nullptr,
                            nullptr, nullptr, nullptr, nullptr};
std::atomic<std::int64_t> g_interpreter{-1};
PyObject* g_module = nullptr;

// Appends `name` to the module's __all__, creating the list when absent.
bool add_to_all(PyObject* module, PyObject* name) {
  PyRef all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all.reset(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  } else if (!PyList_Check(all.get())) {
    PyErr_SetString(PyExc_TypeError, "`__all__` must be a list");
    return false;
  }
  return PyList_Append(all.get(), name) == 0;
}

bool module_body(PyObject* module) {
  PyRef module_name(PyUnicode_FromString("_travune"));
  if (!module_name) return false;
  for (PyMethodDef& def : g_method_defs) {
    PyRef fn(PyCFunction_NewEx(&def, module, module_name.get()));
    if (!fn) return false;
    PyRef name(PyObject_GetAttrString(fn.get(), "__name__"));
    if (!name || !add_to_all(module, name.get())) return false;
    if (PyObject_SetAttr(module, name.get(), fn.get()) < 0) return false;
  }
  return true;
}

PyObject* init_module() {
  std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) return nullptr;
  std::int64_t expected = -1;
  if (!g_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "_travune does not support sub-interpreters: it can be imported only into "
                    "the first interpreter that loaded it");
    return nullptr;
  }
  if (g_module) return Py_NewRef(g_module);
  PyRef module(PyModule_Create(&g_module_def));
  if (!module) return nullptr;
#ifdef Py_GIL_DISABLED
  PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_USED);
#endif
  if (!module_body(module.get())) return nullptr;
  install_interrupt_check();
  g_module = Py_NewRef(module.get());
  return module.release();
}

}  // namespace
}  // namespace travune

extern "C" PyMODINIT_FUNC PyInit__travune() {
  try {
    return travune::init_module();
  } catch (...) {
    travune::raise_fatal_from_current_exception();
    return nullptr;
  }
}
