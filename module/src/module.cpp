// Module initialisation: the module object, created once, and its table of ten functions.
#include <atomic>

#include "boundary.hpp"
#include "functions.hpp"

namespace travune {
namespace {

constexpr ParamSpec kLoadFlatJson[] = {
    {"trv_path", ParamKind::Text, true, false},
    {"config_path", ParamKind::Text, true, false},
    {"entry", ParamKind::Text, false, false, "main"},
    {"cache_keys", ParamKind::CacheKeys, false, false}};
constexpr ParamSpec kSource[] = {{"source", ParamKind::Text, true, false}};
constexpr ParamSpec kModuleConfig[] = {{"module_json", ParamKind::Text, true, false},
                                       {"config_json", ParamKind::Text, true, false}};
constexpr ParamSpec kFlatten[] = {{"module_json", ParamKind::Text, true, false},
                                  {"entry", ParamKind::Text, true, false},
                                  {"cache_keys", ParamKind::CacheKeys, false, false}};
constexpr ParamSpec kModuleJson[] = {{"module_json", ParamKind::Text, true, false}};
constexpr ParamSpec kSourceWidth[] = {{"source", ParamKind::Text, true, false},
                                      {"width", ParamKind::Width, false, true}};
constexpr ParamSpec kModuleJsonWidth[] = {{"module_json", ParamKind::Text, true, false},
                                          {"width", ParamKind::Width, false, true}};
constexpr ParamSpec kPath[] = {{"path", ParamKind::Text, true, false}};
constexpr ParamSpec kPathWidth[] = {{"path", ParamKind::Text, true, false},
                                    {"width", ParamKind::Width, false, true}};

// The functions in the order they are added to the module and to __all__.
const FunctionSpec kFunctions[] = {
    {"load_flat_json",
     "load_flat_json(trv_path, config_path, entry=\"main\", cache_keys=...)\n--\n\n",
     kLoadFlatJson, load_flat_json_body},
    {"parse_to_json", "parse_to_json(source)\n--\n\n", kSource, parse_to_json_body},
    {"resolve_json", "resolve_json(module_json, config_json)\n--\n\n", kModuleConfig,
     resolve_json_body},
    {"flatten_json", "flatten_json(module_json, entry, cache_keys=...)\n--\n\n", kFlatten,
     flatten_json_body},
    {"infer_axes_json", "infer_axes_json(module_json)\n--\n\n", kModuleJson,
     infer_axes_json_body},
    {"check_json", "check_json(module_json)\n--\n\n", kModuleJson, check_json_body},
    {"fmt_source", "fmt_source(source, *, width=100)\n--\n\n", kSourceWidth, fmt_source_body},
    {"fmt_json", "fmt_json(module_json, *, width=100)\n--\n\n", kModuleJsonWidth, fmt_json_body},
    {"check_file", "check_file(path)\n--\n\n", kPath, check_file_body},
    {"fmt_file", "fmt_file(path, *, width=100)\n--\n\n", kPathWidth, fmt_file_body},
};
constexpr std::size_t kFunctionCount = sizeof kFunctions / sizeof kFunctions[0];

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
