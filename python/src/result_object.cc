#include "result_object.h"

#include <algorithm>
#include <atomic>
#include <string>
#include <string_view>

#include "analysis/quote.h"
#include "class_factory.h"
#include "convert.h"
#include "errors.h"
#include "index/positions.h"
#include "object_memory.h"
#include "once.h"
#include "score_format.h"

namespace vrim_python {
namespace {

struct ResultObject {
  PyObject_HEAD
  vrim::Hit hit;
};

std::atomic<PyObject*> result_type{nullptr};

const vrim::Hit& HitOf(PyObject* self) {
  return reinterpret_cast<ResultObject*>(self)->hit;
}

void ResultDealloc(PyObject* self) {
  reinterpret_cast<ResultObject*>(self)->hit.~Hit();
  FreeObject(self);
}

PyObject* GetRef(PyObject* self, void*) {
  return Guarded([&] { return NewStr(HitOf(self).ref()); });
}

PyObject* GetScore(PyObject* self, void*) {
  return PyFloat_FromDouble(HitOf(self).score);
}

// A new (start, length) tuple. Built by hand: the format-string route
// took about a tenth of reading every hit's matches.
PyObject* NewPair(const vrim::Position& position) {
  PyObject* pair = PyTuple_New(2);
  if (pair == nullptr) return nullptr;
  const unsigned long long values[2] = {position.start, position.length};
  for (Py_ssize_t i = 0; i < 2; ++i) {
    PyObject* value = PyLong_FromUnsignedLongLong(values[i]);
    if (value == nullptr) {
      Py_DECREF(pair);
      return nullptr;
    }
    PyTuple_SetItem(pair, i, value);  // steals `value`
  }
  return pair;
}

// A new list of (start, length) tuples.
PyObject* NewPositionList(const std::vector<vrim::Position>& positions) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(positions.size()));
  if (list == nullptr) return nullptr;
  for (size_t i = 0; i < positions.size(); ++i) {
    PyObject* pair = NewPair(positions[i]);
    if (pair == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SetItem(list, static_cast<Py_ssize_t>(i), pair);
  }
  return list;
}

// Sets `dict[key] = value`, consuming `value`.
bool SetOwnedItem(PyObject* dict, std::string_view key, PyObject* value) {
  if (value == nullptr) return false;
  PyObject* key_object = NewStr(key);
  int status = key_object == nullptr
                   ? -1
                   : PyDict_SetItem(dict, key_object, value);
  Py_XDECREF(key_object);
  Py_DECREF(value);
  return status == 0;
}

PyObject* GetMatches(PyObject* self, void*) {
  return Guarded([&]() -> PyObject* {
    const vrim::Hit& hit = HitOf(self);
    const vrim::IndexData& data = hit.index->data();
    PyObject* matches = PyDict_New();
    if (matches == nullptr) return nullptr;
    std::vector<vrim::Position> positions;
    // Matches are sorted by term, so each term's fields arrive together.
    PyObject* fields = nullptr;  // borrowed from `matches`
    int64_t current_term = -1;
    for (const vrim::MatchRef& match : hit.matches) {
      if (static_cast<int64_t>(match.term) != current_term) {
        current_term = match.term;
        fields = PyDict_New();
        // On success `matches` keeps the inner dict alive.
        if (!SetOwnedItem(matches, data.terms[match.term], fields)) {
          Py_DECREF(matches);
          return nullptr;
        }
      }
      positions.clear();
      hit.index->AppendPositions(*match.posting, &positions);
      if (!hit.selections.empty()) vrim::KeepSelected(hit, match, &positions);
      if (!SetOwnedItem(fields, data.fields[match.field],
                        NewPositionList(positions))) {
        Py_DECREF(matches);
        return nullptr;
      }
    }
    return matches;
  });
}

PyObject* GetTerms(PyObject* self, void*) {
  return Guarded([&]() -> PyObject* {
    const vrim::Hit& hit = HitOf(self);
    const vrim::IndexData& data = hit.index->data();
    std::vector<std::string_view> terms;
    terms.reserve(hit.matches.size());
    for (const vrim::MatchRef& match : hit.matches) {
      std::string_view term = data.terms[match.term];
      if (terms.empty() || terms.back() != term) terms.push_back(term);
    }
    // string_view compares as unsigned bytes: byte order, whatever the
    // order the matches came in.
    std::sort(terms.begin(), terms.end());
    terms.erase(std::unique(terms.begin(), terms.end()), terms.end());
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(terms.size()));
    if (list == nullptr) return nullptr;
    for (size_t i = 0; i < terms.size(); ++i) {
      PyObject* term = NewStr(terms[i]);
      if (term == nullptr) {
        Py_DECREF(list);
        return nullptr;
      }
      PyList_SetItem(list, static_cast<Py_ssize_t>(i), term);
    }
    return list;
  });
}

PyObject* ResultRepr(PyObject* self) {
  return Guarded([&] {
    const vrim::Hit& hit = HitOf(self);
    return NewStr("Result(ref=" + vrim::Quote(hit.ref()) +
                  ", score=" + FormatScore(hit.score) + ")");
  });
}

PyGetSetDef kResultGetSet[] = {
    {"ref", GetRef, nullptr, "The matched document's reference.", nullptr},
    {"score", GetScore, nullptr,
     "BM25 relevance score. Higher is better; only comparable within one\n"
     "result set.",
     nullptr},
    {"matches", GetMatches, nullptr,
     "Where each matched term occurred, as\n"
     "`{term: {field: [(start, length), ...]}}`.\n\n"
     "Offsets are in characters, not bytes — but into the **normalized**\n"
     "field text, not the original: normalization folds full-width Latin,\n"
     "composes half-width katakana and lowercases, and is not\n"
     "length-preserving (`ｶﾞ` is two code points becoming one `ガ`), so\n"
     "every offset after such a character is shifted relative to the "
     "input.\n"
     "Call `vrim.normalize(field_text)` first and highlight into that.\n"
     "If the index was built with `positions=False` the terms and\n"
     "fields are still reported and only the position lists are empty — "
     "enough\n"
     "to say a match was in the title, not enough to highlight it.",
     nullptr},
    {"terms", GetTerms, nullptr,
     "The matched terms, sorted.\n\n"
     "For CJK these are the bigrams the query tokenized into, not words.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kResultSlots[] = {
    {Py_tp_doc,
     const_cast<char*>(
         "One search hit.\n\n"
         "The native record is called `Hit`; the interpreter-facing name is\n"
         "`Result` because that is what a caller reads in a loop over\n"
         "`search()`.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(ResultDealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(ResultRepr)},
    {Py_tp_getset, kResultGetSet},
    {0, nullptr},
};

PyType_Spec kResultSpec = {
    "_vrim.Result",
    sizeof(ResultObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kResultSlots,
};

}  // namespace

PyObject* ResultType() {
  return GetOrCreate(result_type, [] { return CreateType(&kResultSpec); });
}

PyObject* WrapHits(std::vector<vrim::Hit>* hits) {
  PyObject* type = ResultType();
  if (type == nullptr) return nullptr;
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(hits->size()));
  if (list == nullptr) return nullptr;
  for (size_t i = 0; i < hits->size(); ++i) {
    ResultObject* result = AllocateObject<ResultObject>(type);
    if (result == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    new (&result->hit) vrim::Hit(std::move((*hits)[i]));
    PyList_SetItem(list, static_cast<Py_ssize_t>(i),
                   reinterpret_cast<PyObject*>(result));
  }
  return list;
}

}  // namespace vrim_python
