#include "index_object.h"

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/language.h"
#include "analysis/quote.h"
#include "class_factory.h"
#include "column_object.h"
#include "convert.h"
#include "doc_set_object.h"
#include "errors.h"
#include "format/format.h"
#include "format/reader.h"
#include "format/writer.h"
#include "object_memory.h"
#include "once.h"
#include "query_stats_object.h"
#include "result_object.h"
#include "analysis/utf8.h"
#include "search/phrase_query.h"
#include "search/query_parser.h"
#include "search/index_fingerprint.h"
#include "search/query_stats.h"
#include "search/facets.h"
#include "search/matching_docs.h"
#include "search/search.h"

namespace vrim_python {
namespace {

struct IndexObject {
  PyObject_HEAD
  vrim::IndexPtr index;
};

std::atomic<PyObject*> index_type{nullptr};

const vrim::Index& NativeOf(PyObject* self) {
  return *reinterpret_cast<IndexObject*>(self)->index;
}

void IndexDealloc(PyObject* self) {
  reinterpret_cast<IndexObject*>(self)->index.~shared_ptr();
  FreeObject(self);
}

// True for numpy's boolean scalar type, recognised by name so that numpy
// need not be importable.
bool IsNumpyBool(PyObject* object) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
  PyObject* module = PyObject_GetAttrString(type, "__module__");
  bool matches = false;
  if (module != nullptr && PyUnicode_Check(module) &&
      PyUnicode_CompareWithASCIIString(module, "numpy") == 0) {
    PyObject* name = PyObject_GetAttrString(type, "__name__");
    matches = name != nullptr && PyUnicode_Check(name) &&
              (PyUnicode_CompareWithASCIIString(name, "bool_") == 0 ||
               PyUnicode_CompareWithASCIIString(name, "bool") == 0);
    Py_XDECREF(name);
  }
  Py_XDECREF(module);
  if (PyErr_Occurred()) PyErr_Clear();
  return matches;
}

// A flag (`positions`, `phrases`) accepts True, False or a numpy boolean
// scalar, nothing else (not even int: a stray 0 or 1 is more likely a
// mistake than a flag).
bool ToFlag(PyObject* object, const char* name, bool* out) {
  if (PyBool_Check(object)) {
    *out = object == Py_True;
    return true;
  }
  if (IsNumpyBool(object)) {
    PyObject* value = PyObject_CallMethod(object, "__bool__", nullptr);
    if (value == nullptr) {
      AddProcessingNote(name);
      return false;
    }
    bool is_bool = PyBool_Check(value);
    *out = value == Py_True;
    Py_DECREF(value);
    if (is_bool) return true;
    PyErr_SetString(PyExc_TypeError, "__bool__ should return bool");
    AddProcessingNote(name);
    return false;
  }
  RaiseArgumentType(object, name, "bool");
  AddProcessingNote(name);
  return false;
}

// Parses `query` against the index without the lock, then runs `work`
// (also without the lock) on the parsed query. Null with the exception set
// when parsing or the work fails; Py_None otherwise (borrowed).
// The parse options of a `phrases` argument (null when not given).
bool ToParseOptions(PyObject* phrases, vrim::ParseOptions* out) {
  return phrases == nullptr || ToFlag(phrases, "phrases", &out->phrases);
}

template <class Work>
PyObject* WithParsedQuery(const vrim::IndexPtr& index, PyObject* query_object,
                          const vrim::ParseOptions& options, Work work) {
  std::string_view query_view;
  if (!ToUtf8(query_object, "query", &query_view)) return nullptr;
  std::string query(query_view);
  vrim::Query parsed;
  vrim::ParseError error;
  bool parsed_ok = false;
  NativeFault fault = RunWithoutGil([&] {
    parsed_ok = vrim::ParseQuery(query, index->data().fields,
                                 index->language(), &parsed, &error, options);
    if (parsed_ok && options.phrases &&
        vrim::PhrasesNeedPositions(*index, parsed)) {
      parsed_ok = false;
      error.message = "phrase queries need positions";
      error.start = 0;
      error.end = vrim::CountCodePoints(query);
    }
    if (parsed_ok) work(parsed);
  });
  if (!fault.ok()) return fault.Raise();
  if (!parsed_ok) {
    return RaiseQueryError(error.message, error.start, error.end, query,
                           query_object);
  }
  return Py_None;
}

// An optional `stats` argument (None or absent: the index's own).
bool ToStats(PyObject* object, QueryStatsPtr* out) {
  if (object == nullptr || object == Py_None) return true;
  const QueryStatsPtr* given = NativeQueryStatsOf(object);
  if (given == nullptr) {
    RaiseArgumentType(object, "stats", "QueryStats or None");
    return false;
  }
  *out = *given;
  return true;
}

// An optional filter argument (None or absent: no filter).
bool ToFilter(PyObject* self, PyObject* object, const char* param,
              DocSetPtr* out) {
  if (object == nullptr || object == Py_None) return true;
  return ToDocSet(self, object, param, out);
}

PyObject* IndexSearch(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames) {
  return Guarded([&]() -> PyObject* {
    static const char* const kNames[] = {"query",  "limit",  "stats",
                                         "filter", "offset", "phrases"};
    static const Signature kSignature = {"search()", kNames, 6, 2, 1};
    PyObject* values[6];
    if (!UnpackArgs(kSignature, args, nargs, kwnames, values)) return nullptr;
    std::string_view query_view;  // checked before the other arguments
    if (!ToUtf8(values[0], "query", &query_view)) return nullptr;
    vrim::SearchOptions options;
    if (values[1] != nullptr && values[1] != Py_None) {
      uint64_t limit = 0;
      if (!ToCount(values[1], "limit", &limit)) return nullptr;
      options.limit = limit;
    }
    QueryStatsPtr stats;
    if (!ToStats(values[2], &stats)) return nullptr;
    DocSetPtr filter;
    if (!ToFilter(self, values[3], "filter", &filter)) return nullptr;
    options.filter = filter.get();
    if (values[4] != nullptr &&
        !ToCount(values[4], "offset", &options.offset)) {
      return nullptr;
    }
    vrim::ParseOptions parse_options;
    if (!ToParseOptions(values[5], &parse_options)) return nullptr;

    vrim::IndexPtr index = reinterpret_cast<IndexObject*>(self)->index;
    std::vector<vrim::Hit> hits;
    std::string stats_error;
    bool stats_ok = true;
    if (WithParsedQuery(index, values[0], parse_options,
                        [&](const vrim::Query& parsed) {
          if (stats == nullptr) {
            hits = vrim::Search(index, parsed, options);
          } else {
            stats_ok = vrim::SearchWithStats(index, parsed, *stats, options,
                                             &hits, &stats_error);
          }
        }) == nullptr) {
      return nullptr;
    }
    if (!stats_ok) return SetError(PyExc_ValueError, stats_error);
    return WrapHits(&hits);
  });
}

// The hits of a query as a set: the arguments (query, filter, stats,
// phrases) of count() and facets(), read from `values`; null with an
// exception set when one is wrong or the search fails.
std::unique_ptr<vrim::DocSet> MatchingDocsOf(PyObject* self,
                                             PyObject* const* values) {
  std::string_view query_view;  // checked before the other arguments
  if (!ToUtf8(values[0], "query", &query_view)) return nullptr;
  DocSetPtr filter;
  QueryStatsPtr stats;
  vrim::ParseOptions parse_options;
  if (!ToFilter(self, values[1], "filter", &filter) ||
      !ToStats(values[2], &stats) ||
      !ToParseOptions(values[3], &parse_options)) {
    return nullptr;
  }
  vrim::IndexPtr index = reinterpret_cast<IndexObject*>(self)->index;
  auto hits = std::make_unique<vrim::DocSet>();
  std::string error;
  bool ok = true;
  if (WithParsedQuery(index, values[0], parse_options,
                      [&](const vrim::Query& parsed) {
        ok = vrim::MatchingDocs(*index, parsed, stats.get(), filter.get(),
                                hits.get(), &error);
      }) == nullptr) {
    return nullptr;
  }
  if (!ok) {
    SetError(PyExc_ValueError, error);
    return nullptr;
  }
  return hits;
}

PyObject* IndexCount(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
  return Guarded([&]() -> PyObject* {
    static const char* const kNames[] = {"query", "filter", "stats",
                                         "phrases"};
    static const Signature kSignature = {"count()", kNames, 4, 1, 1};
    PyObject* values[4];
    if (!UnpackArgs(kSignature, args, nargs, kwnames, values)) return nullptr;
    std::unique_ptr<vrim::DocSet> hits = MatchingDocsOf(self, values);
    if (hits == nullptr) return nullptr;
    return PyLong_FromUnsignedLongLong(hits->size());
  });
}

// The facet list: (value, count) tuples.
PyObject* FacetList(const vrim::Column& column,
                    const std::vector<vrim::FacetCount>& facets) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(facets.size()));
  for (size_t i = 0; list != nullptr && i < facets.size(); ++i) {
    PyObject* value = ColumnValueObject(column.values()[facets[i].code]);
    PyObject* pair =
        value ? Py_BuildValue("(OK)", value, facets[i].count) : nullptr;
    Py_XDECREF(value);
    if (pair == nullptr) {
      Py_CLEAR(list);
    } else {
      PyList_SetItem(list, static_cast<Py_ssize_t>(i), pair);
    }
  }
  return list;
}

PyObject* IndexFacets(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  return Guarded([&]() -> PyObject* {
    static const char* const kNames[] = {"query", "column", "filter", "limit",
                                         "phrases"};
    static const Signature kSignature = {"facets()", kNames, 5, 2, 2};
    PyObject* values[5];
    if (!UnpackArgs(kSignature, args, nargs, kwnames, values)) return nullptr;
    ColumnPtr column;
    PyObject* column_index = nullptr;
    if (!NativeColumnOf(values[1], &column, &column_index)) {
      RaiseArgumentType(values[1], "column", "Column");
      return nullptr;
    }
    if (!vrim::SameDocuments(NativeOf(column_index), NativeOf(self))) {
      return SetError(PyExc_ValueError,
                      "the column belongs to another index");
    }
    std::optional<uint64_t> limit;
    if (values[3] != nullptr && values[3] != Py_None) {
      uint64_t n = 0;
      if (!ToCount(values[3], "limit", &n)) return nullptr;
      limit = n;
    }
    PyObject* query_args[4] = {values[0], values[2], nullptr, values[4]};
    std::unique_ptr<vrim::DocSet> hits = MatchingDocsOf(self, query_args);
    if (hits == nullptr) return nullptr;
    std::vector<vrim::FacetCount> facets;
    NativeFault fault = RunWithoutGil(
        [&] { facets = vrim::CountFacets(*hits, *column, limit); });
    if (!fault.ok()) return fault.Raise();
    return FacetList(*column, facets);
  });
}

PyObject* IndexQueryStats(PyObject* self, PyObject* const* args,
                          Py_ssize_t nargs, PyObject* kwnames) {
  return Guarded([&]() -> PyObject* {
    static const char* const kNames[] = {"query", "phrases", "exclude"};
    static const Signature kSignature = {"query_stats()", kNames, 3, 1, 1};
    PyObject* values[3];
    if (!UnpackArgs(kSignature, args, nargs, kwnames, values)) return nullptr;
    std::string_view query_view;  // checked before the other arguments
    if (!ToUtf8(values[0], "query", &query_view)) return nullptr;
    vrim::ParseOptions parse_options;
    if (!ToParseOptions(values[1], &parse_options)) return nullptr;
    DocSetPtr exclude;
    if (!ToFilter(self, values[2], "exclude", &exclude)) return nullptr;
    vrim::IndexPtr index = reinterpret_cast<IndexObject*>(self)->index;
    vrim::QueryStats stats;
    if (WithParsedQuery(index, values[0], parse_options,
                        [&](const vrim::Query& parsed) {
          stats = vrim::CollectQueryStats(*index, parsed, exclude.get());
        }) == nullptr) {
      return nullptr;
    }
    return WrapQueryStats(std::move(stats));
  });
}

// ValueError for a token too long to be written with positions.
std::nullptr_t RaiseOverlong(const vrim::IndexData& data,
                             const vrim::OverlongPosition& overlong) {
  const std::string_view ref = data.ref(overlong.doc);  // the writer's own
  const std::string& field = data.fields.at(overlong.field);
  return SetError(
      PyExc_ValueError,
      "cannot serialize: document " + vrim::Quote(ref) + ", field " +
          vrim::Quote(field) + " holds a token of " +
          std::to_string(overlong.length) +
          " characters; an index file stores tokens of at most " +
          std::to_string(vrim::binary_format::kMaxPositionLength) +
          " characters with positions (build with a smaller "
          "IndexBuilder(max_token_length=...), or pass positions=False)");
}

PyObject* IndexToBytes(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames) {
  return Guarded([&]() -> PyObject* {
    static const char* const kNames[] = {"positions"};
    static const Signature kSignature = {"to_bytes()", kNames, 1, 0, 0};
    PyObject* values[1];
    if (!UnpackArgs(kSignature, args, nargs, kwnames, values)) return nullptr;
    bool positions = true;
    if (values[0] != nullptr && !ToFlag(values[0], "positions", &positions)) {
      return nullptr;
    }

    vrim::IndexPtr index = reinterpret_cast<IndexObject*>(self)->index;
    std::string bytes;
    std::string overflow;
    vrim::OverlongPosition overlong;
    bool written = false;
    NativeFault fault = RunWithoutGil([&] {
      written =
          vrim::WriteIndex(*index, positions, &bytes, &overflow, &overlong);
    });
    if (!fault.ok()) return fault.Raise();
    if (!written && overflow == "position length") {
      return RaiseOverlong(index->data(), overlong);
    }
    if (!written) {
      return SetError(PyExc_ValueError,
                      "index too large to serialize: " + overflow +
                          " exceeds the u32-addressed binary format");
    }
    return PyBytes_FromStringAndSize(bytes.data(),
                                     static_cast<Py_ssize_t>(bytes.size()));
  });
}

PyObject* IndexFromBytes(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) {
  return Guarded([&]() -> PyObject* {
    static const char* const kNames[] = {"data", "language"};
    static const Signature kSignature = {"from_bytes()", kNames, 2, 2, 1};
    PyObject* values[2];
    if (!UnpackArgs(kSignature, args, nargs, kwnames, values)) return nullptr;
    std::string_view data;
    if (!ToBytes(values[0], "data", &data)) return nullptr;
    std::optional<std::string_view> requested;
    if (values[1] != nullptr && values[1] != Py_None) {
      std::string_view code;
      if (!ToUtf8(values[1], "language", &code)) return nullptr;
      requested = code;
    }

    std::string stored;
    vrim::ReadError error;
    if (!vrim::ReadIndexLanguage(data, &stored, &error)) {
      return RaiseReaderError(error.message);
    }
    if (requested.has_value() && vrim::SplitLanguageCode(stored) !=
                                     vrim::SplitLanguageCode(*requested)) {
      return SetError(FormatErrorType(),
                      "index was built for language " + vrim::Quote(stored) +
                          ", not " + vrim::Quote(*requested));
    }

    // The unlocked part reads the bytes object's own buffer: bytes (and
    // its subclasses) are immutable, and the extra reference keeps the
    // object alive until the read is done. Copying the buffer instead cost
    // about a tenth of the whole load.
    Py_INCREF(values[0]);
    vrim::IndexPtr index;
    bool read = false;
    NativeFault fault = RunWithoutGil([&] {
      read = vrim::ReadIndex(data, std::nullopt, &index, &error);
    });
    Py_DECREF(values[0]);
    if (!fault.ok()) return fault.Raise();
    if (!read) return RaiseReaderError(error.message);
    return WrapIndex(std::move(index));
  });
}

PyObject* GetFields(PyObject* self, void*) {
  return Guarded([&]() -> PyObject* {
    const std::vector<std::string>& fields = NativeOf(self).data().fields;
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(fields.size()));
    if (list == nullptr) return nullptr;
    for (size_t i = 0; i < fields.size(); ++i) {
      PyObject* name = NewStr(fields[i]);
      if (name == nullptr) {
        Py_DECREF(list);
        return nullptr;
      }
      PyList_SetItem(list, static_cast<Py_ssize_t>(i), name);
    }
    return list;
  });
}

PyObject* GetPipeline(PyObject* self, void*) {
  return Guarded([&]() -> PyObject* {
    const std::vector<std::string>& stages = NativeOf(self).data().pipeline;
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(stages.size()));
    for (size_t i = 0; list != nullptr && i < stages.size(); ++i) {
      PyObject* name = NewStr(stages[i]);
      if (name == nullptr) {
        Py_CLEAR(list);
      } else {
        PyList_SetItem(list, static_cast<Py_ssize_t>(i), name);
      }
    }
    return list;
  });
}

PyObject* GetFieldBoosts(PyObject* self, void*) {
  return Guarded([&]() -> PyObject* {
    const vrim::IndexData& data = NativeOf(self).data();
    PyObject* dict = PyDict_New();
    for (size_t f = 0; dict != nullptr && f < data.fields.size(); ++f) {
      PyObject* name = NewStr(data.fields[f]);
      PyObject* boost = PyFloat_FromDouble(data.field_boosts[f]);
      if (name == nullptr || boost == nullptr ||
          PyDict_SetItem(dict, name, boost) < 0) {
        Py_CLEAR(dict);
      }
      Py_XDECREF(name);
      Py_XDECREF(boost);
    }
    return dict;
  });
}

PyObject* GetReferences(PyObject* self, void*) {
  return Guarded([&]() -> PyObject* {
    const vrim::StringTable& refs = NativeOf(self).data().refs;
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(refs.size()));
    for (size_t i = 0; list != nullptr && i < refs.size(); ++i) {
      PyObject* ref = NewStr(refs[i]);
      if (ref == nullptr) {
        Py_CLEAR(list);
      } else {
        PyList_SetItem(list, static_cast<Py_ssize_t>(i), ref);
      }
    }
    return list;
  });
}

PyObject* GetK1(PyObject* self, void*) {
  return PyFloat_FromDouble(vrim::SanitizeK1(NativeOf(self).data().k1));
}

PyObject* GetB(PyObject* self, void*) {
  return PyFloat_FromDouble(vrim::SanitizeB(NativeOf(self).data().b));
}

PyObject* GetDocumentCount(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(NativeOf(self).data().document_count);
}

PyObject* GetTermCount(PyObject* self, void*) {
  return PyLong_FromSize_t(NativeOf(self).term_count());
}

PyObject* GetFingerprint(PyObject* self, void*) {
  return Guarded([&]() -> PyObject* {
    uint64_t value = 0;
    NativeFault fault =
        RunWithoutGil([&] { value = vrim::IndexFingerprint::Of(NativeOf(self)); });
    if (!fault.ok()) return fault.Raise();
    return NewStr(vrim::FingerprintText(value));
  });
}

PyObject* GetLanguage(PyObject* self, void*) {
  return Guarded([&] { return NewStr(NativeOf(self).data().language); });
}

Py_ssize_t IndexLength(PyObject* self) {
  uint64_t count = NativeOf(self).data().document_count;
  if (count > static_cast<uint64_t>(PY_SSIZE_T_MAX)) {
    PyErr_SetString(PyExc_OverflowError, "document count too large");
    return -1;
  }
  return static_cast<Py_ssize_t>(count);
}

PyObject* IndexRepr(PyObject* self) {
  return Guarded([&] {
    const vrim::Index& index = NativeOf(self);
    return NewStr("Index(language=" + vrim::Quote(index.data().language) +
                  ", documents=" +
                  std::to_string(index.data().document_count) +
                  ", terms=" + std::to_string(index.term_count()) + ")");
  });
}

PyObject* IndexLanguage(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return Guarded([&]() -> PyObject* {
    static const char* const kNames[] = {"data"};
    static const Signature kSignature = {"index_language()", kNames, 1, 1, 1};
    PyObject* values[1];
    if (!UnpackArgs(kSignature, args, nargs, kwnames, values)) return nullptr;
    std::string_view data;
    if (!ToBytes(values[0], "data", &data)) return nullptr;
    std::string language;
    vrim::ReadError error;
    if (!vrim::ReadIndexLanguage(data, &language, &error)) {
      return RaiseReaderError(error.message);
    }
    return NewStr(language);
  });
}

PyMethodDef kIndexMethods[] = {
    {"search", AsMethod(IndexSearch), METH_FASTCALL | METH_KEYWORDS,
     "search($self, query, limit=None, *, stats=None, filter=None, "
     "offset=0, phrases=False)\n--\n\n"
     "Search the index, returning hits in descending score order.\n\n"
     "`filter`, a `DocSet` of this index or any iterable of references,\n"
     "keeps only those documents: the result is the full ranking's hits in\n"
     "the filter, with the same scores (the statistics stay the whole\n"
     "index's). Documents outside it are never scored. `offset` skips that\n"
     "many hits of the same order first, for paging: the result equals\n"
     "`[h for h in search(query) if h.ref in filter][offset:offset + limit]`.\n\n"
     "`limit=None` returns every hit; an integer n returns the first n of\n"
     "that same list (ties at the cut broken by reference, as in the full\n"
     "ranking), skipping documents that cannot make the cut, which is\n"
     "much faster than slicing the full list.\n\n"
     "`stats`, a `QueryStats` of this query summed over the shards of a\n"
     "collection (this index among them), scores with the statistics of\n"
     "the whole collection instead of this index's own: every score is\n"
     "then the one a single index over all the documents gives. Raises\n"
     "`ValueError` when the statistics are for other fields, lack a\n"
     "term the query matches here, or do not include this index's own\n"
     "contribution (its `fingerprint` is not among `stats.sources`):\n"
     "gather them with `query_stats()` for this very query, from every\n"
     "shard.\n\n"
     "Query syntax: bare terms, `+required`, `-prohibited`, `field:term`,\n"
     "`term*` wildcards, `term~N` fuzzy matching, and `^N` term boosts.\n"
     "A `*` wildcard wins over `~N`: `foo*~1` runs the wildcard search and\n"
     "ignores the edit distance.\n\n"
     "`phrases=True` reads a double-quoted run of words as one phrase\n"
     "clause: `\"w1 w2\"` finds the words in order at consecutive word\n"
     "positions, `\"w1 w2\"~N` with at most N extra words between them\n"
     "(N <= 32); it takes field, presence and boost like a term. Without\n"
     "it a quote is punctuation. Raises `QueryError` if the query cannot be\n"
     "parsed (`start`/`end` on it are character offsets, not byte offsets)."},
    {"query_stats", AsMethod(IndexQueryStats), METH_FASTCALL | METH_KEYWORDS,
     "query_stats($self, query, *, phrases=False, exclude=None)\n--\n\n"
     "The statistics this index scores `query` with, as a `QueryStats`:\n"
     "the document count, per field the total length and the number of\n"
     "documents with a length, and per index term the query's scoring\n"
     "clauses match (after wildcard and fuzzy expansion) the number of\n"
     "documents containing it (for a phrase, those of its words);\n"
     "`phrases` reads the query as `search()` does.\n\n"
     "Phase one of a search across shards: sum the statistics of every\n"
     "shard with `+` and pass the total to each shard's\n"
     "`search(query, stats=total)` (`vrim.ShardedIndex` does both).\n"
     "Raises `QueryError` like `search()`.\n\n"
     "`exclude`, a `DocSet` (or iterable of references), gives the\n"
     "statistics of this index without those documents: searching with\n"
     "them and `filter=~exclude` scores exactly like an index rebuilt\n"
     "without them. A term found only in excluded documents stays listed,\n"
     "with frequency 0."},
    {"count", AsMethod(IndexCount), METH_FASTCALL | METH_KEYWORDS,
     "count($self, query, *, filter=None, stats=None, phrases=False)\n--\n\n"
     "The number of hits of `search(query, filter=filter, stats=stats,\n"
     "phrases=phrases)`, found without scoring or ranking them."},
    {"column", AsMethod(IndexColumn), METH_FASTCALL | METH_KEYWORDS,
     "column($self, values)\n--\n\n"
     "A `Column` from a mapping of references to values: str, int (within\n"
     "64 bits) or float; `None`, or a reference left out, means no value,\n"
     "and references the index lacks are ignored. Raises `TypeError` for\n"
     "bool or other values and for a mix of strings and numbers,\n"
     "`ValueError` for NaN."},
    {"facets", AsMethod(IndexFacets), METH_FASTCALL | METH_KEYWORDS,
     "facets($self, query, column, *, filter=None, limit=None, "
     "phrases=False)\n--\n\n"
     "How many hits of `search(query, filter=filter, phrases=phrases)`\n"
     "hold each value of `column` (a `Column` of this index): `[(value, count), ...]` by\n"
     "count descending, then value ascending, the first `limit` of them.\n"
     "Hits without a value count nowhere."},
    {"doc_set", AsMethod(IndexDocSet), METH_FASTCALL | METH_KEYWORDS,
     "doc_set($self, refs)\n--\n\n"
     "The `DocSet` of the references `refs` yields (any iterable of str,\n"
     "a `DocSet` of another index included); references this index lacks\n"
     "are ignored. Raises `TypeError` for a reference that is not a str."},
    {"to_bytes", AsMethod(IndexToBytes), METH_FASTCALL | METH_KEYWORDS,
     "to_bytes($self, *, positions=True)\n--\n\n"
     "Serialize to the compact binary format.\n\n"
     "Pass `positions=False` to drop highlighting and CJK "
     "phrase-verification\n"
     "data, which is about a tenth of the file. Note this also disables the\n"
     "CJK phrase ranking boost: search still works, but an exact phrase no\n"
     "longer outranks scattered bigrams.\n\n"
     "Raises `ValueError` when the index is too large for the "
     "`u32`-addressed\n"
     "format — a huge index, never a small one."},
    {"from_bytes", AsMethod(IndexFromBytes),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "from_bytes(data, language=None)\n--\n\n"
     "Read an index from `to_bytes()` output.\n\n"
     "`language` must match the language it was built with — the index "
     "stores\n"
     "the code, and a mismatch is rejected rather than silently tokenizing\n"
     "queries by rules that disagree with the indexed terms.\n\n"
     "This materializes the postings rather than reading them in place, so "
     "it\n"
     "costs time and memory proportional to the index."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kIndexGetSet[] = {
    {"fields", GetFields, nullptr, "Indexed field names.", nullptr},
    {"document_count", GetDocumentCount, nullptr,
     "Number of indexed documents.", nullptr},
    {"pipeline", GetPipeline, nullptr,
     "Names of the analysis stages the index was built with, in order.",
     nullptr},
    {"field_boosts", GetFieldBoosts, nullptr,
     "Boost of each field, in field order (negative boosts stored as 0.0).",
     nullptr},
    {"references", GetReferences, nullptr,
     "Every document's reference, in sorted order (a new list each time).",
     nullptr},
    {"k1", GetK1, nullptr, "The BM25 k1 the index scores with.", nullptr},
    {"b", GetB, nullptr, "The BM25 b the index scores with.", nullptr},
    {"term_count", GetTermCount, nullptr, "Number of distinct indexed terms.",
     nullptr},
    {"language", GetLanguage, nullptr,
     "The language code this index was built with.", nullptr},
    {"fingerprint", GetFingerprint, nullptr,
     "A hash of the index's content (settings, references, terms,\n"
     "postings; not positions) as 16 hex digits: equal for equal content,\n"
     "whether built or read from bytes. `QueryStats.sources` names\n"
     "indexes by it.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kIndexSlots[] = {
    {Py_tp_doc, const_cast<char*>("A built search index.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(IndexDealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(IndexRepr)},
    {Py_tp_methods, kIndexMethods},
    {Py_tp_getset, kIndexGetSet},
    {Py_mp_length, reinterpret_cast<void*>(IndexLength)},
    {0, nullptr},
};

PyType_Spec kIndexSpec = {
    "_vrim.Index",
    sizeof(IndexObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kIndexSlots,
};

}  // namespace

PyObject* IndexType() {
  return GetOrCreate(index_type, [] { return CreateType(&kIndexSpec); });
}

PyObject* WrapIndex(vrim::IndexPtr index) {
  PyObject* type = IndexType();
  if (type == nullptr) return nullptr;
  IndexObject* object = AllocateObject<IndexObject>(type);
  if (object == nullptr) return nullptr;
  new (&object->index) vrim::IndexPtr(std::move(index));
  return reinterpret_cast<PyObject*>(object);
}

const vrim::IndexPtr* NativeIndexOf(PyObject* object) {
  PyObject* type = index_type.load(std::memory_order_acquire);
  if (type == nullptr ||
      !PyObject_TypeCheck(object, reinterpret_cast<PyTypeObject*>(type))) {
    return nullptr;
  }
  return &reinterpret_cast<IndexObject*>(object)->index;
}

PyMethodDef kIndexLanguageDef = {
    "index_language", AsMethod(IndexLanguage), METH_FASTCALL | METH_KEYWORDS,
    "index_language(data)\n--\n\n"
    "Report what language an index was built for, without loading it."};

}  // namespace vrim_python
