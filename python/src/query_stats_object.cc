#include "query_stats_object.h"

#include <algorithm>
#include <atomic>
#include <string>
#include <string_view>
#include <utility>

#include "analysis/quote.h"
#include "class_factory.h"
#include "search/index_fingerprint.h"
#include "convert.h"
#include "errors.h"
#include "object_memory.h"
#include "once.h"

namespace vrim_python {
namespace {

struct QueryStatsObject {
  PyObject_HEAD
  QueryStatsPtr stats;
};

std::atomic<PyObject*> query_stats_type{nullptr};

const vrim::QueryStats& NativeOf(PyObject* self) {
  return *reinterpret_cast<QueryStatsObject*>(self)->stats;
}

void QueryStatsDealloc(PyObject* self) {
  reinterpret_cast<QueryStatsObject*>(self)->stats.~shared_ptr();
  FreeObject(self);
}

// The (key, value) pairs of a dict, as a new list: converting the values
// may run code that changes the dict, the list stays as it was.
PyObject* DictItems(PyObject* object, const char* param) {
  if (!PyDict_Check(object)) {
    RaiseArgumentType(object, param, "dict");
    return nullptr;
  }
  return PyDict_Items(object);
}

bool ToKey(PyObject* key, const char* param, std::string* out) {
  std::string_view text;
  if (!ToUtf8(key, param, &text)) return false;
  out->assign(text);
  return true;
}

bool ReadFields(PyObject* object, vrim::QueryStats* stats) {
  PyObject* items = DictItems(object, "fields");
  if (items == nullptr) return false;
  bool ok = true;
  for (Py_ssize_t i = 0; ok && i < PyList_Size(items); ++i) {
    PyObject* pair = PyList_GetItem(items, i);
    PyObject* value = PyTuple_GetItem(pair, 1);
    std::string name;
    vrim::FieldTotals totals;
    ok = ToKey(PyTuple_GetItem(pair, 0), "fields", &name);
    if (ok && (!PyTuple_Check(value) || PyTuple_Size(value) != 2)) {
      const std::string given =
          PyTuple_Check(value)
              ? "a tuple of " + std::to_string(PyTuple_Size(value))
              : TypeName(value);
      SetError(PyExc_TypeError,
               "QueryStats fields map each name to a tuple (total_length, "
               "documents), not " + given);
      ok = false;
    }
    ok = ok &&
         ToCount(PyTuple_GetItem(value, 0), "fields", &totals.total_length) &&
         ToCount(PyTuple_GetItem(value, 1), "fields", &totals.documents);
    if (ok) {
      stats->fields.push_back(std::move(name));
      stats->field_totals.push_back(totals);
    }
  }
  Py_DECREF(items);
  return ok;
}

bool ReadTerms(PyObject* object, vrim::QueryStats* stats) {
  PyObject* items = DictItems(object, "terms");
  if (items == nullptr) return false;
  bool ok = true;
  for (Py_ssize_t i = 0; ok && i < PyList_Size(items); ++i) {
    PyObject* pair = PyList_GetItem(items, i);
    std::string text;
    uint64_t df = 0;
    ok = ToKey(PyTuple_GetItem(pair, 0), "terms", &text) &&
         ToCount(PyTuple_GetItem(pair, 1), "terms", &df);
    if (ok) stats->terms.emplace_back(std::move(text), df);
  }
  Py_DECREF(items);
  // Distinct str keys have distinct UTF-8 forms.
  std::sort(stats->terms.begin(), stats->terms.end());
  return ok;
}

// A fingerprint given as 16 hex digits (None for an exclusion: none).
bool ToFingerprint(PyObject* object, bool none_is_zero, uint64_t* out) {
  *out = 0;
  if (none_is_zero && object == Py_None) return true;
  std::string_view text;
  if (!ToUtf8(object, "sources", &text)) return false;
  bool ok = text.size() == 16;
  for (size_t i = 0; ok && i < text.size(); ++i) {
    const char c = text[i];
    const int digit = c >= '0' && c <= '9'   ? c - '0'
                      : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                             : -1;
    ok = digit >= 0;
    *out = (*out << 4) | static_cast<uint64_t>(digit & 15);
  }
  if (!ok || *out == 0) {
    SetError(PyExc_ValueError,
             "QueryStats sources are (fingerprint, exclusion) pairs of 16 "
             "lowercase hex digits, not 0, the exclusion possibly None; got " +
                 vrim::Quote(text));
    return false;
  }
  return true;
}

bool ReadSources(PyObject* object, vrim::QueryStats* stats) {
  // A copy: converting the items may run code that changes the sequence.
  PyObject* items = PySequence_List(object);
  if (items == nullptr) return false;
  bool ok = true;
  for (Py_ssize_t i = 0; ok && i < PyList_Size(items); ++i) {
    PyObject* pair = PyList_GetItem(items, i);
    if (!PyTuple_Check(pair) || PyTuple_Size(pair) != 2) {
      SetError(PyExc_TypeError,
               "QueryStats sources are (fingerprint, exclusion) tuples, not " +
                   TypeName(pair));
      ok = false;
      break;
    }
    vrim::StatsSource source;
    ok = ToFingerprint(PyTuple_GetItem(pair, 0), false, &source.index) &&
         ToFingerprint(PyTuple_GetItem(pair, 1), true, &source.exclusion);
    if (ok) stats->sources.push_back(source);
  }
  Py_DECREF(items);
  std::sort(stats->sources.begin(), stats->sources.end());
  return ok;
}

PyObject* QueryStatsNew(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return Guarded([&]() -> PyObject* {
    static const char* const kNames[] = {"document_count", "fields", "terms",
                                         "sources"};
    static const Signature kSignature = {"QueryStats()", kNames, 4, 4, 3};
    PyObject* values[4];
    if (!UnpackArgs(kSignature, args, kwargs, values)) return nullptr;
    vrim::QueryStats stats;
    if (!ToCount(values[0], "document_count", &stats.document_count) ||
        !ReadFields(values[1], &stats) || !ReadTerms(values[2], &stats) ||
        (values[3] != nullptr && !ReadSources(values[3], &stats))) {
      return nullptr;
    }
    return WrapQueryStats(std::move(stats));
  });
}

PyObject* FieldsDict(const vrim::QueryStats& stats) {
  PyObject* dict = PyDict_New();
  for (size_t f = 0; dict != nullptr && f < stats.fields.size(); ++f) {
    PyObject* key = NewStr(stats.fields[f]);
    PyObject* value =
        Py_BuildValue("(KK)", stats.field_totals[f].total_length,
                      stats.field_totals[f].documents);
    if (key == nullptr || value == nullptr ||
        PyDict_SetItem(dict, key, value) < 0) {
      Py_CLEAR(dict);
    }
    Py_XDECREF(key);
    Py_XDECREF(value);
  }
  return dict;
}

PyObject* TermsDict(const vrim::QueryStats& stats) {
  PyObject* dict = PyDict_New();
  for (size_t i = 0; dict != nullptr && i < stats.terms.size(); ++i) {
    PyObject* key = NewStr(stats.terms[i].first);
    PyObject* value = PyLong_FromUnsignedLongLong(stats.terms[i].second);
    if (key == nullptr || value == nullptr ||
        PyDict_SetItem(dict, key, value) < 0) {
      Py_CLEAR(dict);
    }
    Py_XDECREF(key);
    Py_XDECREF(value);
  }
  return dict;
}

PyObject* SourcesList(const vrim::QueryStats& stats) {
  PyObject* list = PyList_New(0);
  for (size_t i = 0; list != nullptr && i < stats.sources.size(); ++i) {
    const vrim::StatsSource& source = stats.sources[i];
    PyObject* index = NewStr(vrim::FingerprintText(source.index));
    PyObject* exclusion = source.exclusion == 0
                              ? Py_NewRef(Py_None)
                              : NewStr(vrim::FingerprintText(source.exclusion));
    PyObject* pair = index && exclusion ? PyTuple_Pack(2, index, exclusion)
                                        : nullptr;
    if (pair == nullptr || PyList_Append(list, pair) < 0) Py_CLEAR(list);
    Py_XDECREF(index);
    Py_XDECREF(exclusion);
    Py_XDECREF(pair);
  }
  return list;
}

PyObject* GetSources(PyObject* self, void*) {
  return Guarded([&] { return SourcesList(NativeOf(self)); });
}

PyObject* GetDocumentCount(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(NativeOf(self).document_count);
}

PyObject* GetFields(PyObject* self, void*) {
  return Guarded([&] { return FieldsDict(NativeOf(self)); });
}

PyObject* GetTerms(PyObject* self, void*) {
  return Guarded([&] { return TermsDict(NativeOf(self)); });
}

PyObject* QueryStatsReduce(PyObject* self, PyObject*) {
  return Guarded([&]() -> PyObject* {
    PyObject* fields = FieldsDict(NativeOf(self));
    PyObject* terms = fields ? TermsDict(NativeOf(self)) : nullptr;
    PyObject* sources = terms ? SourcesList(NativeOf(self)) : nullptr;
    PyObject* result =
        sources ? Py_BuildValue("(O(KOOO))", reinterpret_cast<PyObject*>(
                                                 Py_TYPE(self)),
                                NativeOf(self).document_count, fields, terms,
                                sources)
                : nullptr;
    Py_XDECREF(fields);
    Py_XDECREF(terms);
    Py_XDECREF(sources);
    return result;
  });
}

// Sums two statistics; 0 + stats is stats, so that sum() works.
PyObject* QueryStatsAdd(PyObject* a, PyObject* b) {
  return Guarded([&]() -> PyObject* {
    const QueryStatsPtr* x = NativeQueryStatsOf(a);
    const QueryStatsPtr* y = NativeQueryStatsOf(b);
    auto is_zero = [](PyObject* o) {
      return PyLong_CheckExact(o) && PyObject_Not(o) == 1;
    };
    if (x != nullptr && y == nullptr && is_zero(b)) return Py_NewRef(a);
    if (y != nullptr && x == nullptr && is_zero(a)) return Py_NewRef(b);
    if (x == nullptr || y == nullptr) Py_RETURN_NOTIMPLEMENTED;
    vrim::QueryStats sum;
    std::string error;
    if (!vrim::AddQueryStats(**x, **y, &sum, &error)) {
      return SetError(PyExc_ValueError, error);
    }
    return WrapQueryStats(std::move(sum));
  });
}

bool Equal(const vrim::QueryStats& x, const vrim::QueryStats& y) {
  if (x.document_count != y.document_count || x.fields != y.fields ||
      x.terms != y.terms || x.sources != y.sources) {
    return false;
  }
  for (size_t f = 0; f < x.fields.size(); ++f) {
    if (x.field_totals[f].total_length != y.field_totals[f].total_length ||
        x.field_totals[f].documents != y.field_totals[f].documents) {
      return false;
    }
  }
  return true;
}

PyObject* QueryStatsCompare(PyObject* a, PyObject* b, int op) {
  const QueryStatsPtr* y = NativeQueryStatsOf(b);
  if (y == nullptr || (op != Py_EQ && op != Py_NE)) {
    Py_RETURN_NOTIMPLEMENTED;
  }
  const bool equal = Equal(NativeOf(a), **y);
  return PyBool_FromLong(op == Py_EQ ? equal : !equal);
}

// Lists at most this many terms; wide expansions end with a count.
constexpr size_t kReprTerms = 8;

PyObject* QueryStatsRepr(PyObject* self) {
  return Guarded([&] {
    const vrim::QueryStats& stats = NativeOf(self);
    std::string text = "QueryStats(document_count=" +
                       std::to_string(stats.document_count) + ", fields={";
    for (size_t f = 0; f < stats.fields.size(); ++f) {
      if (f) text += ", ";
      text += vrim::Quote(stats.fields[f]) + ": (" +
              std::to_string(stats.field_totals[f].total_length) + ", " +
              std::to_string(stats.field_totals[f].documents) + ")";
    }
    text += "}, terms={";
    for (size_t i = 0; i < stats.terms.size() && i < kReprTerms; ++i) {
      if (i) text += ", ";
      text += vrim::Quote(stats.terms[i].first) + ": " +
              std::to_string(stats.terms[i].second);
    }
    if (stats.terms.size() > kReprTerms) {
      text += ", ... " + std::to_string(stats.terms.size() - kReprTerms) +
              " more";
    }
    return NewStr(text + "})");
  });
}

PyMethodDef kQueryStatsMethods[] = {
    {"__reduce__", QueryStatsReduce, METH_NOARGS, "Pickle by value."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kQueryStatsGetSet[] = {
    {"document_count", GetDocumentCount, nullptr,
     "Documents counted (the N of BM25).", nullptr},
    {"fields", GetFields, nullptr,
     "Per field, in index order: (total length, documents with a length).",
     nullptr},
    {"terms", GetTerms, nullptr,
     "Per index term the query matches: the documents containing it.",
     nullptr},
    {"sources", GetSources, nullptr,
     "The contributions summed here, sorted: one (fingerprint, exclusion)\n"
     "pair per index, its `Index.fingerprint` and a fingerprint of the\n"
     "documents left out of its statistics (None: none).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kQueryStatsSlots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "QueryStats(document_count, fields, terms, sources=())"
                    "\n--\n\n"
                    "What an index holds of one query's scoring statistics: "
                    "its document\n"
                    "count, per field the total length and the number of "
                    "documents with\n"
                    "a length, and per index term the query matches the "
                    "number of\n"
                    "documents containing it. Made by "
                    "`Index.query_stats(query)`.\n\n"
                    "Statistics of the shards of one collection add up with "
                    "`+` (or\n"
                    "`sum()`) to those of the whole; "
                    "`Index.search(query, stats=total)`\n"
                    "on every shard then scores exactly like one index over "
                    "all the\n"
                    "documents. Each statistic names the indexes it was "
                    "gathered from\n"
                    "(`sources`), and a shard refuses one that lacks its own "
                    "contribution.\n"
                    "Immutable and picklable, so it crosses process and\n"
                    "machine boundaries.")},
    {Py_tp_new, reinterpret_cast<void*>(QueryStatsNew)},
    {Py_tp_dealloc, reinterpret_cast<void*>(QueryStatsDealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(QueryStatsRepr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(QueryStatsCompare)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {Py_nb_add, reinterpret_cast<void*>(QueryStatsAdd)},
    {Py_tp_methods, kQueryStatsMethods},
    {Py_tp_getset, kQueryStatsGetSet},
    {0, nullptr},
};

PyType_Spec kQueryStatsSpec = {
    "_vrim.QueryStats",
    sizeof(QueryStatsObject),
    0,
    Py_TPFLAGS_DEFAULT,
    kQueryStatsSlots,
};

}  // namespace

PyObject* QueryStatsType() {
  return GetOrCreate(query_stats_type,
                     [] { return CreateType(&kQueryStatsSpec); });
}

PyObject* WrapQueryStats(vrim::QueryStats stats) {
  PyObject* type = QueryStatsType();
  if (type == nullptr) return nullptr;
  QueryStatsObject* object = AllocateObject<QueryStatsObject>(type);
  if (object == nullptr) return nullptr;
  new (&object->stats)
      QueryStatsPtr(std::make_shared<const vrim::QueryStats>(std::move(stats)));
  return reinterpret_cast<PyObject*>(object);
}

const QueryStatsPtr* NativeQueryStatsOf(PyObject* object) {
  PyObject* type = query_stats_type.load(std::memory_order_acquire);
  if (type == nullptr ||
      !PyObject_TypeCheck(object, reinterpret_cast<PyTypeObject*>(type))) {
    return nullptr;
  }
  return &reinterpret_cast<QueryStatsObject*>(object)->stats;
}

}  // namespace vrim_python
