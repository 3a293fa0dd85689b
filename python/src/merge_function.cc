#include "merge_function.h"

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "build/merge.h"
#include "convert.h"
#include "errors.h"
#include "index_object.h"

namespace vrim_python {
namespace {

// The items of an iterable argument as a new list; TypeError for str and
// bytes, which iterate but are never meant as a collection here.
PyObject* ItemList(PyObject* object, const char* param, const char* expected) {
  PyObject* list = PyUnicode_Check(object) || PyBytes_Check(object)
                       ? nullptr
                       : PySequence_List(object);
  if (list == nullptr) {
    PyErr_Clear();
    RaiseArgumentType(object, param, expected);
  }
  return list;
}

bool ReadIndexes(PyObject* object, std::vector<vrim::IndexPtr>* out) {
  PyObject* list = ItemList(object, "indexes", "an iterable of Index");
  if (list == nullptr) return false;
  bool ok = true;
  for (Py_ssize_t i = 0; ok && i < PyList_Size(list); ++i) {
    const vrim::IndexPtr* index = NativeIndexOf(PyList_GetItem(list, i));
    if (index == nullptr) {
      SetError(PyExc_TypeError, "merge() takes Index objects, not " +
                                    TypeName(PyList_GetItem(list, i)));
      ok = false;
    } else {
      out->push_back(*index);
    }
  }
  Py_DECREF(list);
  if (ok && out->empty()) {
    SetError(PyExc_ValueError, "merge() needs at least one index");
    return false;
  }
  return ok;
}

bool ReadDrop(PyObject* object, std::vector<std::string>* out) {
  if (object == nullptr) return true;
  PyObject* list = ItemList(object, "drop", "an iterable of references");
  if (list == nullptr) return false;
  bool ok = true;
  for (Py_ssize_t i = 0; ok && i < PyList_Size(list); ++i) {
    PyObject* item = PyList_GetItem(list, i);
    std::string_view ref;
    if (!PyUnicode_Check(item)) {
      SetError(PyExc_TypeError, "references must be str, not " +
                                    TypeName(item));
      AddProcessingNote("drop");
      ok = false;
    } else if ((ok = ToUtf8(item, "drop", &ref))) {
      out->emplace_back(ref);
    }
  }
  Py_DECREF(list);
  std::sort(out->begin(), out->end());
  return ok;
}

PyObject* Merge(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames) {
  return Guarded([&]() -> PyObject* {
    static const char* const kNames[] = {"indexes", "drop"};
    static const Signature kSignature = {"merge()", kNames, 2, 1, 1};
    PyObject* values[2];
    if (!UnpackArgs(kSignature, args, nargs, kwnames, values)) return nullptr;
    std::vector<vrim::IndexPtr> indexes;
    std::vector<std::string> drop;
    if (!ReadIndexes(values[0], &indexes) || !ReadDrop(values[1], &drop)) {
      return nullptr;
    }
    vrim::IndexPtr merged;
    std::string error;
    bool ok = false;
    NativeFault fault = RunWithoutGil(
        [&] { ok = vrim::MergeIndexes(indexes, drop, &merged, &error); });
    if (!fault.ok()) return fault.Raise();
    if (!ok) return SetError(PyExc_ValueError, error);
    return WrapIndex(std::move(merged));
  });
}

}  // namespace

PyMethodDef kMergeDef = {
    "merge", AsMethod(Merge), METH_FASTCALL | METH_KEYWORDS,
    "merge(indexes, *, drop=())\n--\n\n"
    "One index of the documents of `indexes`, which must share their\n"
    "settings (language, pipeline, fields, field boosts, k1 and b; a\n"
    "`ValueError` names the first difference). A reference in a later\n"
    "index replaces the document of an earlier one; references in `drop`\n"
    "are left out. No text is analysed again: postings, positions and\n"
    "field lengths are carried over, and the result equals, to the byte,\n"
    "the index one fresh build of the surviving documents makes. Runs\n"
    "without the interpreter lock."};

}  // namespace vrim_python
