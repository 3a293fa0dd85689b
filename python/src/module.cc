// The _vrim extension module: multi-phase initialisation. The execution
// step adds, in order, __version__, the classes, the two exception
// types and the free functions, recording each name in __all__.
#include <Python.h>

#include "builder_object.h"
#include "column_object.h"
#include "convert.h"
#include "doc_set_object.h"
#include "errors.h"
#include "index_object.h"
#include "merge_function.h"
#include "query_stats_object.h"
#include "result_object.h"
#include "text_functions.h"

namespace vrim_python {
namespace {

// Adds `value` (a new reference, consumed; null means creation failed) as
// `name` and appends `name` to __all__, creating the list on first use.
bool AddExport(PyObject* module, const char* name, PyObject* value) {
  if (value == nullptr) return false;
  int status = PyModule_AddObjectRef(module, name, value);
  Py_DECREF(value);
  if (status < 0) return false;

  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (all == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = PyList_New(0);
    if (all == nullptr) return false;
    if (PyModule_AddObjectRef(module, "__all__", all) < 0) {
      Py_DECREF(all);
      return false;
    }
  }
  PyObject* name_object = PyUnicode_FromString(name);
  status = name_object == nullptr ? -1 : PyList_Append(all, name_object);
  Py_XDECREF(name_object);
  Py_DECREF(all);
  return status == 0;
}

// A borrowed process-wide object as a new reference for AddExport.
PyObject* NewRef(PyObject* object) {
  Py_XINCREF(object);
  return object;
}

PyObject* NewFunction(PyMethodDef* def, PyObject* module) {
  PyObject* module_name = PyModule_GetNameObject(module);
  if (module_name == nullptr) return nullptr;
  PyObject* function = PyCFunction_NewEx(def, module, module_name);
  Py_DECREF(module_name);
  return function;
}

int ExecModule(PyObject* module) {
  return Guarded([&]() -> int {
    if (!PyModule_Check(module)) {
      SetError(PyExc_TypeError,
               "expected a module object, got " + TypeName(module));
      return -1;
    }
    bool ok = AddExport(module, "__version__", PyUnicode_FromString("0.3.0")) &&
              AddExport(module, "IndexBuilder", NewRef(IndexBuilderType())) &&
              AddExport(module, "Index", NewRef(IndexType())) &&
              AddExport(module, "Result", NewRef(ResultType())) &&
              AddExport(module, "QueryStats", NewRef(QueryStatsType())) &&
              AddExport(module, "DocSet", NewRef(DocSetType())) &&
              AddExport(module, "Column", NewRef(ColumnType())) &&
              AddExport(module, "QueryError", NewRef(QueryErrorType())) &&
              AddExport(module, "FormatError", NewRef(FormatErrorType())) &&
              AddExport(module, "languages", NewFunction(&kLanguagesDef, module)) &&
              AddExport(module, "tokenize", NewFunction(&kTokenizeDef, module)) &&
              AddExport(module, "normalize", NewFunction(&kNormalizeDef, module)) &&
              AddExport(module, "index_language",
                        NewFunction(&kIndexLanguageDef, module)) &&
              AddExport(module, "merge", NewFunction(&kMergeDef, module));
    return ok ? 0 : -1;
  });
}

PyModuleDef_Slot kModuleSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(ExecModule)},
    {0, nullptr},
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "_vrim",
    "Native extension module. Import from `vrim`, not from here.",
    0,
    nullptr,
    kModuleSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace vrim_python

PyMODINIT_FUNC PyInit__vrim(void) {
  return PyModuleDef_Init(&vrim_python::kModuleDef);
}
