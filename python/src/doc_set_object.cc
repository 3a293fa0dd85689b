#include "doc_set_object.h"

#include <algorithm>
#include <atomic>
#include <string>
#include <string_view>
#include <vector>

#include "class_factory.h"
#include "convert.h"
#include "errors.h"
#include "index_object.h"
#include "object_memory.h"
#include "once.h"

namespace vrim_python {
namespace {

struct DocSetObject {
  PyObject_HEAD
  PyObject* index;  // the Index object the set belongs to
  DocSetPtr set;
};

std::atomic<PyObject*> doc_set_type{nullptr};

DocSetObject* Cast(PyObject* self) {
  return reinterpret_cast<DocSetObject*>(self);
}

const vrim::Index& IndexOf(PyObject* self) {
  return **NativeIndexOf(Cast(self)->index);
}

bool IsDocSet(PyObject* object) {
  PyObject* type = doc_set_type.load(std::memory_order_acquire);
  return type != nullptr &&
         PyObject_TypeCheck(object, reinterpret_cast<PyTypeObject*>(type));
}

void DocSetDealloc(PyObject* self) {
  Py_XDECREF(Cast(self)->index);
  Cast(self)->set.~shared_ptr();
  FreeObject(self);
}

std::nullptr_t RaiseOtherIndex() {
  return SetError(PyExc_ValueError,
                  "the DocSet belongs to another index (sets of one index "
                  "mix only with sets of an index with the same references)");
}

// The document ids of the references `iterable` yields.
bool ReadReferences(const vrim::Index& index, PyObject* iterable,
                    const char* param, std::vector<uint32_t>* ids) {
  if (PyUnicode_Check(iterable) || PyBytes_Check(iterable)) {
    RaiseArgumentType(iterable, param,
                      "a DocSet or an iterable of references (str)");
    AddProcessingNote(param);
    return false;
  }
  PyObject* iterator = PyObject_GetIter(iterable);
  if (iterator == nullptr) {
    PyErr_Clear();
    RaiseArgumentType(iterable, param,
                      "a DocSet or an iterable of references (str)");
    AddProcessingNote(param);
    return false;
  }
  bool ok = true;
  while (PyObject* item = PyIter_Next(iterator)) {
    std::string_view ref;
    if (!PyUnicode_Check(item)) {
      SetError(PyExc_TypeError,
               "references must be str, not " + TypeName(item));
      AddProcessingNote(param);
      ok = false;
    } else if (!ToUtf8(item, param, &ref)) {
      ok = false;
    } else if (const int64_t doc = FindReference(index, ref); doc >= 0) {
      ids->push_back(static_cast<uint32_t>(doc));
    }
    Py_DECREF(item);
    if (!ok) break;
  }
  Py_DECREF(iterator);
  return ok && !PyErr_Occurred();
}

Py_ssize_t DocSetLength(PyObject* self) {
  return static_cast<Py_ssize_t>(Cast(self)->set->size());
}

int DocSetContains(PyObject* self, PyObject* item) {
  return Guarded([&]() -> int {
    if (!PyUnicode_Check(item)) {
      SetError(PyExc_TypeError,
               "a DocSet holds references (str), not " + TypeName(item));
      return -1;
    }
    std::string_view ref;
    if (!ToUtf8(item, "reference", &ref)) return -1;
    const int64_t doc = FindReference(IndexOf(self), ref);
    return doc >= 0 && Cast(self)->set->Contains(static_cast<uint32_t>(doc));
  });
}

// The references of the set, in byte order, as a new list.
PyObject* ReferenceList(PyObject* self) {
  const vrim::DocSet& set = *Cast(self)->set;
  const vrim::StringTable& refs = IndexOf(self).data().refs;
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(set.size()));
  if (list == nullptr) return nullptr;
  Py_ssize_t i = 0;
  bool ok = true;
  set.ForEach([&](uint32_t doc) {
    if (!ok) return;
    PyObject* ref = NewStr(refs[doc]);
    if (ref == nullptr) {
      ok = false;
      return;
    }
    PyList_SetItem(list, i++, ref);
  });
  if (!ok) Py_CLEAR(list);
  return list;
}

PyObject* DocSetIter(PyObject* self) {
  return Guarded([&]() -> PyObject* {
    PyObject* list = ReferenceList(self);
    if (list == nullptr) return nullptr;
    PyObject* iterator = PyObject_GetIter(list);
    Py_DECREF(list);
    return iterator;
  });
}

// A binary set operation on two DocSets of the same documents.
template <typename Op>
PyObject* Combine(PyObject* a, PyObject* b, Op op) {
  return Guarded([&]() -> PyObject* {
    if (!IsDocSet(a) || !IsDocSet(b)) Py_RETURN_NOTIMPLEMENTED;
    if (!vrim::SameDocuments(IndexOf(a), IndexOf(b))) return RaiseOtherIndex();
    return WrapDocSet(Cast(a)->index, op(*Cast(a)->set, *Cast(b)->set));
  });
}

PyObject* DocSetAnd(PyObject* a, PyObject* b) {
  return Combine(a, b, vrim::DocSet::And);
}
PyObject* DocSetOr(PyObject* a, PyObject* b) {
  return Combine(a, b, vrim::DocSet::Or);
}
PyObject* DocSetSubtract(PyObject* a, PyObject* b) {
  return Combine(a, b, vrim::DocSet::Minus);
}
PyObject* DocSetXor(PyObject* a, PyObject* b) {
  return Combine(a, b, vrim::DocSet::Xor);
}

PyObject* DocSetInvert(PyObject* self) {
  return Guarded([&]() -> PyObject* {
    return WrapDocSet(Cast(self)->index, Cast(self)->set->Complement());
  });
}

// Sets of different documents are unequal, never an error.
PyObject* DocSetCompare(PyObject* a, PyObject* b, int op) {
  return Guarded([&]() -> PyObject* {
    if (!IsDocSet(a) || !IsDocSet(b) || (op != Py_EQ && op != Py_NE)) {
      Py_RETURN_NOTIMPLEMENTED;
    }
    const bool equal = vrim::SameDocuments(IndexOf(a), IndexOf(b)) &&
                       *Cast(a)->set == *Cast(b)->set;
    return PyBool_FromLong(op == Py_EQ ? equal : !equal);
  });
}

PyObject* DocSetRepr(PyObject* self) {
  return Guarded([&] {
    return NewStr("DocSet(" + std::to_string(Cast(self)->set->size()) +
                  " of " + std::to_string(Cast(self)->set->universe()) +
                  " documents)");
  });
}

// Pickles as index.doc_set(references): the index travels along (once per
// pickle, however many sets of it the pickle holds).
PyObject* DocSetReduce(PyObject* self, PyObject*) {
  return Guarded([&]() -> PyObject* {
    PyObject* make = PyObject_GetAttrString(Cast(self)->index, "doc_set");
    PyObject* refs = make ? ReferenceList(self) : nullptr;
    PyObject* result = refs ? Py_BuildValue("(O(O))", make, refs) : nullptr;
    Py_XDECREF(make);
    Py_XDECREF(refs);
    return result;
  });
}

PyMethodDef kDocSetMethods[] = {
    {"__reduce__", DocSetReduce, METH_NOARGS,
     "Pickle with the index and the references."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kDocSetSlots[] = {
    {Py_tp_doc,
     const_cast<char*>(
         "An immutable set of one index's documents, made by\n"
         "`Index.doc_set(refs)` and by the selections of a `Column`; a\n"
         "search, count or facet takes one as its `filter`.\n\n"
         "Supports `len`, `in` (a reference), iteration (the references in\n"
         "byte order), `&`, `|`, `-`, `^`, `~` (the complement within the\n"
         "index), `==` and pickling (with its index). Sets of different\n"
         "indexes do not mix: an operation on both raises `ValueError`\n"
         "(indexes with the same references count as the same, so a set\n"
         "mixes with one of its index reloaded).")},
    {Py_tp_dealloc, reinterpret_cast<void*>(DocSetDealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(DocSetRepr)},
    {Py_tp_iter, reinterpret_cast<void*>(DocSetIter)},
    {Py_tp_richcompare, reinterpret_cast<void*>(DocSetCompare)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {Py_tp_methods, kDocSetMethods},
    {Py_sq_length, reinterpret_cast<void*>(DocSetLength)},
    {Py_sq_contains, reinterpret_cast<void*>(DocSetContains)},
    {Py_nb_and, reinterpret_cast<void*>(DocSetAnd)},
    {Py_nb_or, reinterpret_cast<void*>(DocSetOr)},
    {Py_nb_subtract, reinterpret_cast<void*>(DocSetSubtract)},
    {Py_nb_xor, reinterpret_cast<void*>(DocSetXor)},
    {Py_nb_invert, reinterpret_cast<void*>(DocSetInvert)},
    {0, nullptr},
};

PyType_Spec kDocSetSpec = {
    "_vrim.DocSet",
    sizeof(DocSetObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kDocSetSlots,
};

}  // namespace

PyObject* DocSetType() {
  return GetOrCreate(doc_set_type, [] { return CreateType(&kDocSetSpec); });
}

PyObject* WrapDocSet(PyObject* index, vrim::DocSet set) {
  PyObject* type = DocSetType();
  if (type == nullptr) return nullptr;
  DocSetObject* object = AllocateObject<DocSetObject>(type);
  if (object == nullptr) return nullptr;
  new (&object->set)
      DocSetPtr(std::make_shared<const vrim::DocSet>(std::move(set)));
  Py_INCREF(index);
  object->index = index;
  return reinterpret_cast<PyObject*>(object);
}

int64_t FindReference(const vrim::Index& index, std::string_view ref) {
  const vrim::StringTable& refs = index.data().refs;
  auto it = std::lower_bound(refs.begin(), refs.end(), ref);
  if (it == refs.end() || *it != ref) return -1;
  return it - refs.begin();
}

bool ToDocSet(PyObject* index, PyObject* object, const char* param,
              DocSetPtr* out, bool translate) {
  const vrim::Index& native = **NativeIndexOf(index);
  const bool same = IsDocSet(object) &&
                    vrim::SameDocuments(IndexOf(object), native);
  if (IsDocSet(object) && !(translate && !same)) {
    if (!same) {
      RaiseOtherIndex();
      AddProcessingNote(param);
      return false;
    }
    *out = Cast(object)->set;
    return true;
  }
  std::vector<uint32_t> ids;
  if (!ReadReferences(native, object, param, &ids)) return false;
  *out = std::make_shared<const vrim::DocSet>(vrim::DocSet::FromIds(
      static_cast<uint32_t>(native.doc_count_stored()), std::move(ids)));
  return true;
}

PyObject* IndexDocSet(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  return Guarded([&]() -> PyObject* {
    static const char* const kNames[] = {"refs"};
    static const Signature kSignature = {"doc_set()", kNames, 1, 1, 1};
    PyObject* values[1];
    if (!UnpackArgs(kSignature, args, nargs, kwnames, values)) return nullptr;
    DocSetPtr set;
    if (!ToDocSet(self, values[0], "refs", &set, true)) return nullptr;
    return WrapDocSet(self, *set);
  });
}

}  // namespace vrim_python
