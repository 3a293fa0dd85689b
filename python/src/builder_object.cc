#include "builder_object.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "analysis/normalize.h"
#include "analysis/quote.h"
#include "analysis/utf8.h"
#include "borrow.h"
#include "build/available_cores.h"
#include "build/index_builder.h"
#include "class_factory.h"
#include "convert.h"
#include "errors.h"
#include "index_object.h"
#include "language_warning.h"
#include "object_memory.h"
#include "once.h"

namespace vrim_python {
namespace {

struct BuilderObject {
  PyObject_HEAD
  BorrowFlag borrow;
  std::unique_ptr<vrim::IndexBuilder> native;
  std::string language;   // the resolved code
  std::string ref_field;  // trimmed
  // Tokens the latest build() dropped for their length.
  std::atomic<uint64_t> dropped_tokens;
  // The str keys documents are read by, made once: the reference field's,
  // then each declared field's, in order (filled as fields are declared),
  // and the name of str.isascii. Owned references; null until made.
  PyObject* ref_key;
  std::vector<PyObject*> field_keys;
  PyObject* isascii_name;
};

std::atomic<PyObject*> builder_type{nullptr};

BuilderObject* AsBuilder(PyObject* self) {
  return reinterpret_cast<BuilderObject*>(self);
}

// Boosts are stored clamped to at least 0.0, with -0.0 folded to 0.0.
double ClampBoost(double boost) { return boost > 0.0 ? boost : 0.0; }

// Storage for a new builder, its members constructed.
BuilderObject* NewBuilder(PyTypeObject* type,
                          std::unique_ptr<vrim::IndexBuilder> native,
                          std::string language, std::string ref_field) {
  BuilderObject* self =
      AllocateObject<BuilderObject>(reinterpret_cast<PyObject*>(type));
  if (self == nullptr) return nullptr;
  new (&self->borrow) BorrowFlag();
  new (&self->native) std::unique_ptr<vrim::IndexBuilder>(std::move(native));
  new (&self->language) std::string(std::move(language));
  new (&self->ref_field) std::string(std::move(ref_field));
  new (&self->dropped_tokens) std::atomic<uint64_t>(0);
  self->ref_key = nullptr;
  new (&self->field_keys) std::vector<PyObject*>();
  self->isascii_name = nullptr;
  return self;
}

void BuilderDealloc(PyObject* self) {
  BuilderObject* builder = AsBuilder(self);
  Py_XDECREF(builder->ref_key);
  for (PyObject* key : builder->field_keys) Py_DECREF(key);
  builder->field_keys.~vector();
  Py_XDECREF(builder->isascii_name);
  builder->ref_field.~basic_string();
  builder->language.~basic_string();
  builder->native.~unique_ptr();
  builder->borrow.~BorrowFlag();
  FreeObject(self);
}

// ---------------------------------------------------------------- fields

bool IsWhiteSpace(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 ||
         c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 ||
         c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

bool ContainsSeparator(std::string_view name, std::string_view separators) {
  const char* p = name.data();
  const char* end = p + name.size();
  while (p < end) {
    const char* start = p;
    char32_t c = vrim::NextCodePoint(&p);
    if (IsWhiteSpace(c)) return true;
    if (separators.find(std::string_view(start, p - start)) !=
        std::string_view::npos) {
      return true;
    }
  }
  return false;
}

bool ContainsQueryOperator(std::string_view name) {
  return name.find_first_of(":\\^~") != std::string_view::npos ||
         name.front() == '+' || name.front() == '-';
}

// The message rejecting `name` as a field name, or empty when it is valid.
// REQUIRES: `name` is trimmed and valid UTF-8.
std::string FieldNameProblem(std::string_view name,
                             std::string_view separators) {
  if (name.empty()) return "field name must not be empty";
  if (name.find('/') != std::string_view::npos) {
    return "field " + vrim::Quote(name) +
           " must not contain '/' (breaks FieldRef round-trip)";
  }
  if (ContainsSeparator(name, separators)) {
    return "field " + vrim::Quote(name) +
           " contains a separator and is unqueryable via field: syntax";
  }
  if (ContainsQueryOperator(name)) {
    return "field " + vrim::Quote(name) +
           " contains a query operator and is unqueryable via field:term "
           "syntax";
  }
  return std::string();
}

// ------------------------------------------------------------- documents

enum class FieldRead { kAbsent, kText, kError };

// Reads `doc[key]` into `*value` (a new reference to a str), `key` being
// the str of `name`: a missing key (KeyError or subclass) and None are
// absent, anything else but a str is an error. A dict is read without
// raising for a missing key.
FieldRead GetFieldValue(PyObject* doc, PyObject* key, std::string_view name,
                        PyObject** value) {
  if (PyDict_CheckExact(doc)) {
    *value = PyDict_GetItemWithError(doc, key);
    if (*value == nullptr) {
      return PyErr_Occurred() ? FieldRead::kError : FieldRead::kAbsent;
    }
    Py_INCREF(*value);
  } else {
    *value = PyObject_GetItem(doc, key);
  }
  if (*value == nullptr) {
    if (PyErr_ExceptionMatches(PyExc_KeyError)) {
      PyErr_Clear();
      return FieldRead::kAbsent;
    }
    return FieldRead::kError;
  }
  if (*value == Py_None) {
    Py_CLEAR(*value);
    return FieldRead::kAbsent;
  }
  if (!PyUnicode_Check(*value)) {
    SetError(PyExc_TypeError, "field " + vrim::Quote(name) +
                                  " must be a str or None, got " +
                                  TypeName(*value));
    Py_CLEAR(*value);
    return FieldRead::kError;
  }
  return FieldRead::kText;
}

// Copies the str `value` of field `name` out as UTF-8.
bool CopyFieldText(PyObject* value, std::string_view name,
                   std::string* text) {
  if (CopyUtf8(value, text)) return true;
  if (PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
    PyErr_Clear();
    SetError(PyExc_ValueError,
             "field " + vrim::Quote(name) +
                 " contains lone surrogates and cannot be indexed as text");
  }
  return false;
}

// Reads `doc[key]` and copies a str out as UTF-8.
FieldRead ReadFieldValue(PyObject* doc, PyObject* key, std::string_view name,
                         std::string* text) {
  PyObject* value = nullptr;
  FieldRead read = GetFieldValue(doc, key, name, &value);
  if (read == FieldRead::kText && !CopyFieldText(value, name, text)) {
    read = FieldRead::kError;
  }
  Py_XDECREF(value);
  return read;
}

// Whether the builder may read `value` in place: an exact str (a
// subclass may answer isascii() as it likes) whose characters are all
// ASCII, which CPython stores as its own UTF-8, so reading it allocates
// nothing.
// -1 with an exception set on failure. `isascii` names the method.
int CanBorrow(PyObject* value, PyObject* isascii) {
  if (!PyUnicode_CheckExact(value)) return 0;
  PyObject* ascii = PyObject_CallMethodObjArgs(value, isascii, nullptr);
  if (ascii == nullptr) return -1;
  const int is_ascii = PyObject_IsTrue(ascii);
  Py_DECREF(ascii);
  return is_ascii;
}

void ReleaseStr(void* holder) { Py_DECREF(static_cast<PyObject*>(holder)); }

// Stages the str `value` of field `field` into `doc`: an ASCII str by
// reference (its holder a new reference to it), any other as a copy.
bool StageFieldText(PyObject* value, uint32_t field, std::string_view name,
                    PyObject* isascii, vrim::StagedDocument* doc) {
  const int borrow = CanBorrow(value, isascii);
  if (borrow < 0) return false;
  if (borrow == 0) {
    std::string text;
    if (!CopyFieldText(value, name, &text)) return false;
    doc->fields.emplace_back(field, std::move(text));
    return true;
  }
  Py_ssize_t size;
  const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
  if (utf8 == nullptr) return false;
  doc->borrowed.push_back(vrim::StagedDocument::Borrowed{
      field, std::string_view(utf8, static_cast<size_t>(size)), value});
  Py_INCREF(value);  // the holder's reference, once it is recorded
  return true;
}

// Releases the holders of `doc`'s borrowed texts, when it is not staged.
struct BorrowedRelease {
  vrim::StagedDocument* doc;
  ~BorrowedRelease() {
    if (doc != nullptr) vrim::ReleaseBorrowed(*doc);
  }
};

// Whether `doc` can be read as a document; TypeError when it cannot. Any
// object with item access counts as a mapping, except the built-in
// sequences and scalars, whose item access is not by key.
bool CheckMapping(PyObject* doc) {
  if (PyDict_Check(doc)) return true;
  const bool scalar_or_sequence =
      PyUnicode_Check(doc) || PyBytes_Check(doc) || PyByteArray_Check(doc) ||
      PyList_Check(doc) || PyTuple_Check(doc) || PyLong_Check(doc) ||
      PyFloat_Check(doc) || doc == Py_None;
  if (!scalar_or_sequence && PyMapping_Check(doc)) return true;
  SetError(PyExc_TypeError,
           "a document must be a mapping such as a dict, holding the "
           "reference field and the fields' texts, got " +
               TypeName(doc));
  return false;
}

// TypeError for the containers that iterate over something other than
// their rows: a data frame gives its column names.
bool CheckDocumentsContainer(PyObject* docs) {
  if (TypeName(docs) != "DataFrame") return true;
  const bool polars = PyObject_HasAttrString(docs, "to_dicts");
  SetError(PyExc_TypeError,
           std::string("add_many() takes an iterable of mappings, and a "
                       "DataFrame iterates over its column names: pass ") +
               (polars ? "df.to_dicts()" : "df.to_dict(\"records\")"));
  return false;
}

// Puts "item {index}: " before the message of the ValueError or TypeError
// being raised; any other exception gets a note naming the item.
void NameItem(uint64_t index) {
  PyObject* type;
  PyObject* value;
  PyObject* traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (type != PyExc_ValueError && type != PyExc_TypeError) {
    PyErr_Restore(type, value, traceback);
    std::string note = "item " + std::to_string(index);
    AddProcessingNote(note.c_str());
    return;
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  PyObject* text = value != nullptr ? PyObject_Str(value) : nullptr;
  Py_ssize_t size = 0;
  const char* utf8 =
      text != nullptr ? PyUnicode_AsUTF8AndSize(text, &size) : nullptr;
  if (utf8 == nullptr) {
    PyErr_Clear();
    Py_XDECREF(text);
    PyErr_Restore(type, value, traceback);
    return;
  }
  SetError(type, "item " + std::to_string(index) + ": " +
                     std::string(utf8, static_cast<size_t>(size)));
  Py_DECREF(text);
  Py_DECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(traceback);
}

// Makes the keys of `self` that are missing: fields are only ever added.
bool MakeKeys(BuilderObject* self) {
  if (self->ref_key == nullptr) {
    self->ref_key = NewStr(self->ref_field);
    if (self->ref_key == nullptr) return false;
  }
  if (self->isascii_name == nullptr) {
    self->isascii_name = PyUnicode_InternFromString("isascii");
    if (self->isascii_name == nullptr) return false;
  }
  const std::vector<std::string>& names = self->native->field_names();
  self->field_keys.reserve(names.size());
  while (self->field_keys.size() < names.size()) {
    PyObject* key = NewStr(names[self->field_keys.size()]);
    if (key == nullptr) return false;
    self->field_keys.push_back(key);
  }
  return true;
}

// The steps of add() for one document, under the caller's exclusive
// claim. Every field is read before anything is staged.
bool AddDocument(BuilderObject* self, PyObject* doc, double boost) {
  if (!CheckMapping(doc)) return false;
  if (!std::isfinite(boost)) {
    SetError(PyExc_ValueError, "boost must be a finite number");
    return false;
  }
  vrim::IndexBuilder& native = *self->native;
  if (native.field_names().empty()) {
    SetError(PyExc_ValueError,
             "declare at least one field with field() before adding "
             "documents");
    return false;
  }
  if (!MakeKeys(self)) return false;
  vrim::StagedDocument staged;
  switch (ReadFieldValue(doc, self->ref_key, self->ref_field, &staged.ref)) {
    case FieldRead::kError:
      return false;
    case FieldRead::kAbsent:
      SetError(PyExc_ValueError, "document is missing its reference field " +
                                     vrim::Quote(self->ref_field));
      return false;
    case FieldRead::kText:
      break;
  }
  if (staged.ref.empty()) {
    SetError(PyExc_ValueError, "document reference must not be empty");
    return false;
  }
  const std::vector<std::string>& names = native.field_names();
  staged.release = ReleaseStr;
  BorrowedRelease release{&staged};
  for (size_t i = 0; i < names.size(); ++i) {
    PyObject* value = nullptr;
    const FieldRead read =
        GetFieldValue(doc, self->field_keys[i], names[i], &value);
    if (read == FieldRead::kError) return false;
    if (read == FieldRead::kAbsent) continue;
    const bool staged_text =
        StageFieldText(value, static_cast<uint32_t>(i), names[i],
                       self->isascii_name, &staged);
    Py_DECREF(value);
    if (!staged_text) return false;
  }
  staged.boost = ClampBoost(boost);
  release.doc = nullptr;  // Stage() takes the holders over
  native.Stage(staged);
  return true;
}

// --------------------------------------------------------------- methods

// `max_token_length`: None (or absent) for no limit, else a count >= 1.
bool ToMaxTokenLength(PyObject* value, uint64_t* out) {
  if (value == nullptr || value == Py_None) return true;
  return ToPositiveCount(value, "max_token_length", out);
}

PyObject* BuilderNew(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return Guarded([&]() -> PyObject* {
    static const char* const kNames[] = {"language", "ref_field", "k1", "b",
                                         "max_token_length"};
    static const Signature kSignature = {"IndexBuilder()", kNames, 5, 1, 1};
    PyObject* values[5];
    if (!UnpackArgs(kSignature, args, kwargs, values)) return nullptr;
    std::string_view code;
    std::string_view ref_field = "id";
    double k1 = 1.2;
    double b = 0.75;
    if (!ToUtf8(values[0], "language", &code)) return nullptr;
    if (values[1] != nullptr && !ToUtf8(values[1], "ref_field", &ref_field)) {
      return nullptr;
    }
    if (values[2] != nullptr && !ToDouble(values[2], "k1", &k1)) return nullptr;
    if (values[3] != nullptr && !ToDouble(values[3], "b", &b)) return nullptr;
    uint64_t max_token_length = vrim::kUnlimitedTokenLength;
    if (!ToMaxTokenLength(values[4], &max_token_length)) return nullptr;

    if (vrim::TrimWhiteSpace(code).empty()) {
      return SetError(PyExc_ValueError, "language must not be empty");
    }
    ref_field = vrim::TrimWhiteSpace(ref_field);
    if (ref_field.empty()) {
      return SetError(PyExc_ValueError, "ref_field must not be empty");
    }
    if (!std::isfinite(k1)) {
      return SetError(PyExc_ValueError, "k1 must be a finite number");
    }
    if (!std::isfinite(b)) {
      return SetError(PyExc_ValueError, "b must be a finite number");
    }
    vrim::LanguagePtr language = ResolveLanguageWithWarning(code);
    if (language == nullptr) return nullptr;
    std::string resolved_code = language->code();
    auto native =
        std::make_unique<vrim::IndexBuilder>(std::move(language), k1, b);
    native->set_max_token_length(max_token_length);
    return reinterpret_cast<PyObject*>(
        NewBuilder(type, std::move(native), std::move(resolved_code),
                   std::string(ref_field)));
  });
}

PyObject* BuilderFromIndex(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return Guarded([&]() -> PyObject* {
    static const char* const kNames[] = {"index", "ref_field",
                                         "max_token_length"};
    static const Signature kSignature = {"from_index()", kNames, 3, 1, 1};
    PyObject* values[3];
    if (!UnpackArgs(kSignature, args, nargs, kwnames, values)) return nullptr;
    const vrim::IndexPtr* index = NativeIndexOf(values[0]);
    if (index == nullptr) {
      RaiseArgumentType(values[0], "index", "Index");
      AddProcessingNote("index");
      return nullptr;
    }
    std::string_view ref_field = "id";
    if (values[1] != nullptr && !ToUtf8(values[1], "ref_field", &ref_field)) {
      return nullptr;
    }
    ref_field = vrim::TrimWhiteSpace(ref_field);
    if (ref_field.empty()) {
      return SetError(PyExc_ValueError, "ref_field must not be empty");
    }
    uint64_t max_token_length = vrim::kUnlimitedTokenLength;
    if (!ToMaxTokenLength(values[2], &max_token_length)) return nullptr;
    PyObject* type = IndexBuilderType();
    if (type == nullptr) return nullptr;
    std::unique_ptr<vrim::IndexBuilder> native =
        vrim::IndexBuilder::FromIndex(**index);
    native->set_max_token_length(max_token_length);
    return reinterpret_cast<PyObject*>(
        NewBuilder(reinterpret_cast<PyTypeObject*>(type), std::move(native),
                   (*index)->data().language, std::string(ref_field)));
  });
}

PyObject* BuilderField(PyObject* self_object, PyObject* const* args,
                       Py_ssize_t nargs, PyObject* kwnames) {
  return Guarded([&]() -> PyObject* {
    BuilderObject* self = AsBuilder(self_object);
    ExclusiveClaim claim(self->borrow);
    if (!claim.held()) return nullptr;
    static const char* const kNames[] = {"name", "boost"};
    static const Signature kSignature = {"field()", kNames, 2, 2, 1};
    PyObject* values[2];
    if (!UnpackArgs(kSignature, args, nargs, kwnames, values)) return nullptr;
    std::string_view name;
    double boost = 1.0;
    if (!ToUtf8(values[0], "name", &name)) return nullptr;
    if (values[1] != nullptr && !ToDouble(values[1], "boost", &boost)) {
      return nullptr;
    }
    name = vrim::TrimWhiteSpace(name);
    vrim::IndexBuilder& native = *self->native;
    std::string problem =
        FieldNameProblem(name, native.language().separators());
    if (!problem.empty()) return SetError(PyExc_ValueError, problem);
    if (!std::isfinite(boost)) {
      return SetError(PyExc_ValueError, "boost must be a finite number");
    }
    if (native.FindField(name) >= 0) {
      return SetError(PyExc_ValueError,
                      "field " + vrim::Quote(name) + " is already declared");
    }
    if (name == self->ref_field) {
      return SetError(PyExc_ValueError,
                      "field " + vrim::Quote(name) +
                          " is the reference field; pass a different "
                          "ref_field to index it as text");
    }
    native.DeclareField(std::string(name), ClampBoost(boost));
    Py_RETURN_NONE;
  });
}

PyObject* BuilderAdd(PyObject* self_object, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames) {
  return Guarded([&]() -> PyObject* {
    BuilderObject* self = AsBuilder(self_object);
    ExclusiveClaim claim(self->borrow);
    if (!claim.held()) return nullptr;
    static const char* const kNames[] = {"doc", "boost"};
    static const Signature kSignature = {"add()", kNames, 2, 2, 1};
    PyObject* values[2];
    if (!UnpackArgs(kSignature, args, nargs, kwnames, values)) return nullptr;
    double boost = 1.0;
    if (values[1] != nullptr && !ToDouble(values[1], "boost", &boost)) {
      return nullptr;
    }
    if (!AddDocument(self, values[0], boost)) return nullptr;
    Py_RETURN_NONE;
  });
}

PyObject* BuilderAddMany(PyObject* self_object, PyObject* const* args,
                         Py_ssize_t nargs, PyObject* kwnames) {
  return Guarded([&]() -> PyObject* {
    BuilderObject* self = AsBuilder(self_object);
    ExclusiveClaim claim(self->borrow);
    if (!claim.held()) return nullptr;
    static const char* const kNames[] = {"docs", "boost"};
    static const Signature kSignature = {"add_many()", kNames, 2, 2, 1};
    PyObject* values[2];
    if (!UnpackArgs(kSignature, args, nargs, kwnames, values)) return nullptr;
    double boost = 1.0;
    if (values[1] != nullptr && !ToDouble(values[1], "boost", &boost)) {
      return nullptr;
    }
    if (!CheckDocumentsContainer(values[0])) return nullptr;
    PyObject* iterator = PyObject_GetIter(values[0]);
    if (iterator == nullptr) return nullptr;
    PyObject* doc;
    uint64_t index = 0;
    while ((doc = PyIter_Next(iterator)) != nullptr) {
      bool added = AddDocument(self, doc, boost);
      Py_DECREF(doc);
      if (!added) {
        NameItem(index);
        break;
      }
      ++index;
    }
    Py_DECREF(iterator);
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
  });
}

PyObject* BuilderRemove(PyObject* self_object, PyObject* const* args,
                        Py_ssize_t nargs, PyObject* kwnames) {
  return Guarded([&]() -> PyObject* {
    BuilderObject* self = AsBuilder(self_object);
    ExclusiveClaim claim(self->borrow);
    if (!claim.held()) return nullptr;
    static const char* const kNames[] = {"doc_ref"};
    static const Signature kSignature = {"remove()", kNames, 1, 1, 1};
    PyObject* values[1];
    if (!UnpackArgs(kSignature, args, nargs, kwnames, values)) return nullptr;
    std::string_view ref;
    if (!ToUtf8(values[0], "doc_ref", &ref)) return nullptr;
    if (!self->native->rehydrated()) {
      return SetError(PyExc_ValueError,
                      "remove() needs a builder from "
                      "IndexBuilder.from_index(); a fresh builder holds "
                      "nothing to remove");
    }
    return PyBool_FromLong(self->native->Remove(ref));
  });
}

// The analysis threads `threads` asks for: every available core for None,
// otherwise at most that many and never more than the available cores.
bool ToBuildOptions(PyObject* threads, vrim::BuildOptions* options) {
  options->threads = 0;
  if (threads == nullptr || threads == Py_None) return true;
  uint64_t wanted = 0;
  if (!ToPositiveCount(threads, "threads", &wanted)) return false;
  options->threads = static_cast<size_t>(
      std::min<uint64_t>(wanted, vrim::AvailableCores()));
  return true;
}

PyObject* BuilderBuild(PyObject* self_object, PyObject* const* args,
                       Py_ssize_t nargs, PyObject* kwnames) {
  return Guarded([&]() -> PyObject* {
    BuilderObject* self = AsBuilder(self_object);
    SharedClaim claim(self->borrow);
    if (!claim.held()) return nullptr;
    static const char* const kNames[] = {"threads"};
    static const Signature kSignature = {"build()", kNames, 1, 1, 0};
    PyObject* values[1];
    if (!UnpackArgs(kSignature, args, nargs, kwnames, values)) return nullptr;
    vrim::BuildOptions options;
    if (!ToBuildOptions(values[0], &options)) return nullptr;
    // The shared claim keeps every mutation out until the build is done,
    // so the native builder can be read without copying it first.
    const vrim::IndexBuilder& native = *self->native;
    vrim::IndexPtr index;
    vrim::BuildStats stats;
    NativeFault fault =
        RunWithoutGil([&] { index = native.Build(options, &stats); });
    if (!fault.ok()) return fault.Raise();
    self->dropped_tokens.store(stats.dropped_tokens);
    return WrapIndex(std::move(index));
  });
}

PyObject* BuilderClear(PyObject* self_object, PyObject*) {
  return Guarded([&]() -> PyObject* {
    BuilderObject* self = AsBuilder(self_object);
    ExclusiveClaim claim(self->borrow);
    if (!claim.held()) return nullptr;
    self->native->Clear();
    Py_RETURN_NONE;
  });
}

// ------------------------------------------------------------ properties

PyObject* GetStaged(PyObject* self_object, void*) {
  BuilderObject* self = AsBuilder(self_object);
  SharedClaim claim(self->borrow);
  if (!claim.held()) return nullptr;
  return PyLong_FromSize_t(self->native->staged_count());
}

PyObject* GetFields(PyObject* self_object, void*) {
  return Guarded([&]() -> PyObject* {
    BuilderObject* self = AsBuilder(self_object);
    SharedClaim claim(self->borrow);
    if (!claim.held()) return nullptr;
    const std::vector<std::string>& names = self->native->field_names();
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(names.size()));
    if (list == nullptr) return nullptr;
    for (size_t i = 0; i < names.size(); ++i) {
      PyObject* name = NewStr(names[i]);
      if (name == nullptr) {
        Py_DECREF(list);
        return nullptr;
      }
      PyList_SetItem(list, static_cast<Py_ssize_t>(i), name);
    }
    return list;
  });
}

PyObject* GetRefField(PyObject* self_object, void*) {
  BuilderObject* self = AsBuilder(self_object);
  SharedClaim claim(self->borrow);
  if (!claim.held()) return nullptr;
  return NewStr(self->ref_field);
}

PyObject* GetLanguage(PyObject* self_object, void*) {
  BuilderObject* self = AsBuilder(self_object);
  SharedClaim claim(self->borrow);
  if (!claim.held()) return nullptr;
  return NewStr(self->language);
}

PyObject* GetMaxTokenLength(PyObject* self_object, void*) {
  BuilderObject* self = AsBuilder(self_object);
  SharedClaim claim(self->borrow);
  if (!claim.held()) return nullptr;
  const uint64_t length = self->native->max_token_length();
  if (length == vrim::kUnlimitedTokenLength) Py_RETURN_NONE;
  return PyLong_FromUnsignedLongLong(length);
}

PyObject* GetDroppedTokens(PyObject* self_object, void*) {
  return PyLong_FromUnsignedLongLong(
      AsBuilder(self_object)->dropped_tokens.load());
}

PyObject* BuilderRepr(PyObject* self_object) {
  return Guarded([&]() -> PyObject* {
    BuilderObject* self = AsBuilder(self_object);
    SharedClaim claim(self->borrow);
    if (!claim.held()) return nullptr;
    return NewStr("IndexBuilder(language=" + vrim::Quote(self->language) +
                  ", ref_field=" + vrim::Quote(self->ref_field) +
                  ", fields=" + vrim::QuoteList(self->native->field_names()) +
                  ", staged=" +
                  std::to_string(self->native->staged_count()) + ")");
  });
}

PyMethodDef kBuilderMethods[] = {
    {"from_index", AsMethod(BuilderFromIndex),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "from_index(index, *, ref_field=\"id\", max_token_length=None)\n--\n\n"
     "Rehydrate a builder from a built index for incremental updates.\n\n"
     "Clones the index's postings into a builder, restoring the declared\n"
     "fields (names and boosts) and the language, so documents can be added\n"
     "or removed without re-adding the whole corpus. The reference field\n"
     "name is not stored in the index, so pass it again here when it is "
     "not\n"
     "`\"id\"`. `k1`/`b` come along with the index: this constructor takes\n"
     "none, and the `k1`/`b` attributes on the result are defaults the\n"
     "rehydrated build ignores.\n\n"
     "Staged additions still go through `add` and are applied on `build`,\n"
     "which clones the restored state — building twice gives two "
     "equivalent\n"
     "indexes, as with a fresh builder."},
    {"field", AsMethod(BuilderField), METH_FASTCALL | METH_KEYWORDS,
     "field($self, name, boost=1.0)\n--\n\n"
     "Add a searchable field. `boost` multiplies the score of matches in "
     "it.\n\n"
     "Fields must be declared before the documents that use them: `add` "
     "only\n"
     "reads the fields declared at the time it is called. A negative "
     "`boost`\n"
     "is clamped to `0.0` at declaration (it still matches, contributing "
     "no\n"
     "score); only a non-finite boost raises.\n\n"
     "Surrounding whitespace is not part of a name: it is trimmed before\n"
     "storing, so `field(\" title \")` and `title:q` meet."},
    {"add", AsMethod(BuilderAdd), METH_FASTCALL | METH_KEYWORDS,
     "add($self, doc, boost=1.0)\n--\n\n"
     "Stage one document: any mapping holding the reference field.\n\n"
     "The reference and every declared field are read now and copied, so\n"
     "later changes to `doc` do not reach the index (a plain str of ASCII\n"
     "text, which cannot change, is kept by reference rather than copied).\n"
     "Missing or `None` fields are skipped; other values must be str.\n"
     "Adding a reference that is already staged replaces that document.\n"
     "`boost` multiplies every score of the document; a negative one is\n"
     "clamped to `0.0`."},
    {"add_many", AsMethod(BuilderAddMany), METH_FASTCALL | METH_KEYWORDS,
     "add_many($self, docs, boost=1.0)\n--\n\n"
     "Stage many documents. Equivalent to `add` in a loop.\n\n"
     "`docs` is an iterable of mappings (for a pandas DataFrame, pass\n"
     "`df.to_dict(\"records\")`). An error names the item's position in "
     "`docs`\n"
     "(`item 3: ...`).\n\n"
     "Not atomic, for the same reason: if a later document raises, the "
     "earlier\n"
     "ones stay staged. Call `clear()` if a partially-consumed builder is "
     "not\n"
     "what you want."},
    {"remove", AsMethod(BuilderRemove), METH_FASTCALL | METH_KEYWORDS,
     "remove($self, doc_ref)\n--\n\n"
     "Remove a document by reference; returns whether anything was removed."
     "\n\n"
     "Drops staged documents with that reference and removes it from the\n"
     "restored index at once (so `clear()` does not undo it). Only for a\n"
     "builder from `IndexBuilder.from_index()`."},
    {"build", AsMethod(BuilderBuild), METH_FASTCALL | METH_KEYWORDS,
     "build($self, threads=None)\n--\n\n"
     "Tokenize and score the staged documents into a new `Index`.\n\n"
     "This is the expensive call, and it releases the GIL while it works:\n"
     "`add` already copied the documents into native memory (or holds the\n"
     "immutable ASCII strs it kept by reference). The documents are\n"
     "analysed on `threads` threads at most, never more than the cores the\n"
     "process may use (its CPU affinity and cgroup quota); `None` uses\n"
     "all of them and `1` builds on the calling thread alone. Small builds\n"
     "use fewer threads. The index, and its bytes, are the same for every\n"
     "thread count.\n\n"
     "The builder keeps its staged documents, so calling `build()` again\n"
     "returns an equivalent index rather than an empty one. A builder from\n"
     "`from_index` clones its restored state and applies the staged\n"
     "documents on top, so removals and upserts survive repeated builds."},
    {"clear", AsMethod(BuilderClear), METH_NOARGS,
     "clear($self)\n--\n\n"
     "Discard the staged documents, keeping the field configuration."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kBuilderGetSet[] = {
    {"staged", GetStaged, nullptr,
     "Number of documents staged and ready to build.", nullptr},
    {"fields", GetFields, nullptr,
     "Declared field names, in declaration order.", nullptr},
    {"ref_field", GetRefField, nullptr, "The configured reference field.",
     nullptr},
    {"language", GetLanguage, nullptr, "The configured language code.",
     nullptr},
    {"max_token_length", GetMaxTokenLength, nullptr,
     "Longest token indexed, in characters; None for no limit.", nullptr},
    {"dropped_tokens", GetDroppedTokens, nullptr,
     "Tokens the latest build() left out for being longer than\n"
     "max_token_length (0 before the first build).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kBuilderSlots[] = {
    {Py_tp_doc,
     const_cast<char*>(
         "IndexBuilder(language, *, ref_field=\"id\", k1=1.2, b=0.75, "
         "max_token_length=None)\n--\n\n"
         "Builds a search index.\n\n"
         "Configure the reference field and the searchable fields, add "
         "documents, then\n"
         "call `build()`.\n\n"
         "`max_token_length` (characters) leaves longer tokens out of the "
         "index,\n"
         "such as a base64 blob; `dropped_tokens` counts them after each "
         "build.\n"
         "An index file holds tokens of at most 1,048,576 characters with\n"
         "positions: `to_bytes()` refuses an index holding a longer one.\n\n"
         "```python\n"
         "b = vrim.IndexBuilder(\"zh\", ref_field=\"location\")\n"
         "b.field(\"title\", 10.0)\n"
         "b.field(\"text\")\n"
         "b.add({\"location\": \"guide/intro\", \"title\": \"入门\", "
         "\"text\": \"...\"})\n"
         "data = b.build().to_bytes()\n"
         "```")},
    {Py_tp_new, reinterpret_cast<void*>(BuilderNew)},
    {Py_tp_dealloc, reinterpret_cast<void*>(BuilderDealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(BuilderRepr)},
    {Py_tp_methods, kBuilderMethods},
    {Py_tp_getset, kBuilderGetSet},
    {0, nullptr},
};

PyType_Spec kBuilderSpec = {
    "_vrim.IndexBuilder",
    sizeof(BuilderObject),
    0,
    Py_TPFLAGS_DEFAULT,
    kBuilderSlots,
};

}  // namespace

PyObject* IndexBuilderType() {
  return GetOrCreate(builder_type,
                     [] { return CreateType(&kBuilderSpec); });
}

}  // namespace vrim_python
