#include "column_object.h"

#include <atomic>
#include <cmath>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "analysis/quote.h"
#include "class_factory.h"
#include "convert.h"
#include "doc_set_object.h"
#include "errors.h"
#include "index_object.h"
#include "object_memory.h"
#include "once.h"

namespace vrim_python {
namespace {

struct ColumnObject {
  PyObject_HEAD
  PyObject* index;  // the Index object the column belongs to
  ColumnPtr column;
};

std::atomic<PyObject*> column_type{nullptr};

ColumnObject* Cast(PyObject* self) {
  return reinterpret_cast<ColumnObject*>(self);
}

void ColumnDealloc(PyObject* self) {
  Py_XDECREF(Cast(self)->index);
  Cast(self)->column.~shared_ptr();
  FreeObject(self);
}

// A str, int (within 64 bits) or float (not NaN) as a column value; bool
// and every other type raise TypeError.
bool ToColumnValue(PyObject* object, const char* param,
                   vrim::ColumnValue* out) {
  if (PyUnicode_Check(object)) {
    std::string_view text;
    if (!ToUtf8(object, param, &text)) return false;
    *out = vrim::ColumnValue::String(std::string(text));
    return true;
  }
  if (PyLong_Check(object) && !PyBool_Check(object)) {
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(object, &overflow);
    if (overflow != 0) {
      SetError(PyExc_OverflowError, "column integers must fit 64 bits");
      AddProcessingNote(param);
      return false;
    }
    if (value == -1 && PyErr_Occurred()) return false;
    *out = vrim::ColumnValue::Integer(value);
    return true;
  }
  if (PyFloat_Check(object)) {
    const double value = PyFloat_AsDouble(object);
    if (std::isnan(value)) {
      SetError(PyExc_ValueError, "column values must not be NaN");
      AddProcessingNote(param);
      return false;
    }
    *out = vrim::ColumnValue::Float(value);
    return true;
  }
  SetError(PyExc_TypeError,
           "column values must be str, int or float, not " + TypeName(object));
  AddProcessingNote(param);
  return false;
}

const char* KindName(bool strings) { return strings ? "str" : "int or float"; }

// A value to compare with the column's: of its kind (any kind for a
// column without values).
bool ToQueryValue(PyObject* self, PyObject* object, const char* param,
                  vrim::ColumnValue* out) {
  if (!ToColumnValue(object, param, out)) return false;
  const vrim::Column& column = *Cast(self)->column;
  if (column.values().empty() || column.holds_strings() != out->is_number()) {
    return true;
  }
  SetError(PyExc_TypeError, std::string("the column holds ") +
                                KindName(column.holds_strings()) +
                                " values, not " + TypeName(object));
  AddProcessingNote(param);
  return false;
}

PyObject* ColumnEquals(PyObject* self, PyObject* const* args,
                       Py_ssize_t nargs, PyObject* kwnames) {
  return Guarded([&]() -> PyObject* {
    static const char* const kNames[] = {"value"};
    static const Signature kSignature = {"equals()", kNames, 1, 1, 1};
    PyObject* values[1];
    if (!UnpackArgs(kSignature, args, nargs, kwnames, values)) return nullptr;
    vrim::ColumnValue value;
    if (!ToQueryValue(self, values[0], "value", &value)) return nullptr;
    return WrapDocSet(Cast(self)->index, Cast(self)->column->Equals(value));
  });
}

PyObject* ColumnIsin(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
  return Guarded([&]() -> PyObject* {
    static const char* const kNames[] = {"values"};
    static const Signature kSignature = {"isin()", kNames, 1, 1, 1};
    PyObject* values[1];
    if (!UnpackArgs(kSignature, args, nargs, kwnames, values)) return nullptr;
    PyObject* iterator = PyUnicode_Check(values[0]) || PyBytes_Check(values[0])
                             ? nullptr
                             : PyObject_GetIter(values[0]);
    if (iterator == nullptr) {
      PyErr_Clear();
      RaiseArgumentType(values[0], "values", "an iterable of values");
      return nullptr;
    }
    std::vector<vrim::ColumnValue> wanted;
    bool ok = true;
    while (PyObject* item = PyIter_Next(iterator)) {
      wanted.emplace_back();
      ok = ToQueryValue(self, item, "values", &wanted.back());
      Py_DECREF(item);
      if (!ok) break;
    }
    Py_DECREF(iterator);
    if (!ok || PyErr_Occurred()) return nullptr;
    return WrapDocSet(Cast(self)->index, Cast(self)->column->In(wanted));
  });
}

PyObject* ColumnBetween(PyObject* self, PyObject* const* args,
                        Py_ssize_t nargs, PyObject* kwnames) {
  return Guarded([&]() -> PyObject* {
    static const char* const kNames[] = {"lo", "hi"};
    static const Signature kSignature = {"between()", kNames, 2, 2, 2};
    PyObject* values[2];
    if (!UnpackArgs(kSignature, args, nargs, kwnames, values)) return nullptr;
    vrim::ColumnValue bounds[2];
    const vrim::ColumnValue* given[2] = {nullptr, nullptr};
    for (int i = 0; i < 2; ++i) {
      if (values[i] == Py_None) continue;
      if (!ToQueryValue(self, values[i], kNames[i], &bounds[i])) {
        return nullptr;
      }
      given[i] = &bounds[i];
    }
    if (given[0] && given[1] && given[0]->is_number() != given[1]->is_number()) {
      return SetError(PyExc_TypeError,
                      "between() bounds mix a str and a number");
    }
    return WrapDocSet(Cast(self)->index,
                      Cast(self)->column->Between(given[0], given[1]));
  });
}

// The references with a value, mapped to it, as a new dict.
PyObject* ValueDict(PyObject* self) {
  const vrim::Column& column = *Cast(self)->column;
  const vrim::StringTable& refs =
      (*NativeIndexOf(Cast(self)->index))->data().refs;
  PyObject* dict = PyDict_New();
  for (uint32_t doc = 0; dict != nullptr && doc < column.universe(); ++doc) {
    const uint32_t code = column.code(doc);
    if (code == vrim::Column::kNoValue) continue;
    PyObject* key = NewStr(refs[doc]);
    PyObject* value = ColumnValueObject(column.values()[code]);
    if (key == nullptr || value == nullptr ||
        PyDict_SetItem(dict, key, value) < 0) {
      Py_CLEAR(dict);
    }
    Py_XDECREF(key);
    Py_XDECREF(value);
  }
  return dict;
}

// Pickles as index.column({reference: value}), the index travelling along.
PyObject* ColumnReduce(PyObject* self, PyObject*) {
  return Guarded([&]() -> PyObject* {
    PyObject* make = PyObject_GetAttrString(Cast(self)->index, "column");
    PyObject* values = make ? ValueDict(self) : nullptr;
    PyObject* result = values ? Py_BuildValue("(O(O))", make, values) : nullptr;
    Py_XDECREF(make);
    Py_XDECREF(values);
    return result;
  });
}

PyObject* ColumnRepr(PyObject* self) {
  return Guarded([&] {
    const vrim::Column& column = *Cast(self)->column;
    return NewStr("Column(" + std::to_string(column.values().size()) +
                  " distinct values over " +
                  std::to_string(column.universe()) + " documents)");
  });
}

PyMethodDef kColumnMethods[] = {
    {"equals", AsMethod(ColumnEquals), METH_FASTCALL | METH_KEYWORDS,
     "equals($self, value)\n--\n\n"
     "The `DocSet` of the documents whose value equals `value` (numbers\n"
     "compare by value: 1 equals 1.0)."},
    {"isin", AsMethod(ColumnIsin), METH_FASTCALL | METH_KEYWORDS,
     "isin($self, values)\n--\n\n"
     "The `DocSet` of the documents whose value is one of `values`."},
    {"between", AsMethod(ColumnBetween), METH_FASTCALL | METH_KEYWORDS,
     "between($self, lo, hi)\n--\n\n"
     "The `DocSet` of the documents whose value lies within [lo, hi],\n"
     "both ends included; `None` leaves a side open. Strings compare by\n"
     "code point, numbers by value."},
    {"__reduce__", ColumnReduce, METH_NOARGS,
     "Pickle with the index and the values."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kColumnSlots[] = {
    {Py_tp_doc,
     const_cast<char*>(
         "One optional value per document of an index, made by\n"
         "`Index.column(values)`: strings, or numbers (int and float), held\n"
         "natively by document. `equals`, `isin` and `between` select a\n"
         "`DocSet`; `Index.facets` counts the hits per value. Immutable and\n"
         "picklable (with its index). Comparing with a value of the other\n"
         "kind (a str with a numeric column) raises `TypeError`.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(ColumnDealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(ColumnRepr)},
    {Py_tp_methods, kColumnMethods},
    {0, nullptr},
};

PyType_Spec kColumnSpec = {
    "_vrim.Column",
    sizeof(ColumnObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kColumnSlots,
};

// Reads the (reference, value) pairs of `mapping` into `entries`.
bool ReadValues(const vrim::Index& index, PyObject* mapping,
                std::vector<std::pair<uint32_t, vrim::ColumnValue>>* entries) {
  PyObject* items = PyMapping_Check(mapping) && !PyUnicode_Check(mapping)
                        ? PyMapping_Items(mapping)
                        : nullptr;
  if (items == nullptr) {
    PyErr_Clear();
    RaiseArgumentType(mapping, "values", "a mapping of references to values");
    return false;
  }
  bool ok = true;
  int kind = -1;  // of the values so far: 0 strings, 1 numbers
  for (Py_ssize_t i = 0; ok && i < PyList_Size(items); ++i) {
    PyObject* pair = PyList_GetItem(items, i);
    PyObject* key = PyTuple_GetItem(pair, 0);
    PyObject* value = PyTuple_GetItem(pair, 1);
    std::string_view ref;
    if (!PyUnicode_Check(key)) {
      SetError(PyExc_TypeError, "references must be str, not " + TypeName(key));
      AddProcessingNote("values");
      ok = false;
      break;
    }
    vrim::ColumnValue parsed;
    ok = ToUtf8(key, "values", &ref) &&
         (value == Py_None || ToColumnValue(value, "values", &parsed));
    if (!ok || value == Py_None) continue;
    if (kind >= 0 && kind != static_cast<int>(parsed.is_number())) {
      SetError(PyExc_TypeError,
               "column values mix strings and numbers (at reference " +
                   vrim::Quote(ref) + ")");
      AddProcessingNote("values");
      ok = false;
      break;
    }
    kind = parsed.is_number();
    const int64_t doc = FindReference(index, ref);
    if (doc >= 0) entries->emplace_back(static_cast<uint32_t>(doc),
                                        std::move(parsed));
  }
  Py_DECREF(items);
  return ok;
}

}  // namespace

PyObject* ColumnType() {
  return GetOrCreate(column_type, [] { return CreateType(&kColumnSpec); });
}

PyObject* ColumnValueObject(const vrim::ColumnValue& value) {
  switch (value.kind) {
    case vrim::ColumnValue::Kind::kString:
      return NewStr(value.text);
    case vrim::ColumnValue::Kind::kInteger:
      return PyLong_FromLongLong(value.integer);
    default:
      return PyFloat_FromDouble(value.number);
  }
}

PyObject* IndexColumn(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  return Guarded([&]() -> PyObject* {
    static const char* const kNames[] = {"values"};
    static const Signature kSignature = {"column()", kNames, 1, 1, 1};
    PyObject* values[1];
    if (!UnpackArgs(kSignature, args, nargs, kwnames, values)) return nullptr;
    const vrim::Index& index = **NativeIndexOf(self);
    std::vector<std::pair<uint32_t, vrim::ColumnValue>> entries;
    if (!ReadValues(index, values[0], &entries)) return nullptr;
    PyObject* type = ColumnType();
    if (type == nullptr) return nullptr;
    ColumnObject* object = AllocateObject<ColumnObject>(type);
    if (object == nullptr) return nullptr;
    new (&object->column) ColumnPtr(std::make_shared<const vrim::Column>(
        vrim::Column::Make(static_cast<uint32_t>(index.doc_count_stored()),
                           std::move(entries))));
    Py_INCREF(self);
    object->index = self;
    return reinterpret_cast<PyObject*>(object);
  });
}

bool NativeColumnOf(PyObject* object, ColumnPtr* column, PyObject** index) {
  PyObject* type = column_type.load(std::memory_order_acquire);
  if (type == nullptr ||
      !PyObject_TypeCheck(object, reinterpret_cast<PyTypeObject*>(type))) {
    return false;
  }
  *column = Cast(object)->column;
  *index = Cast(object)->index;
  return true;
}

}  // namespace vrim_python
