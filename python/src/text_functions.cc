#include "text_functions.h"

#include <string>
#include <string_view>
#include <vector>

#include "analysis/language.h"
#include "analysis/normalize.h"
#include "analysis/tokenizer.h"
#include "convert.h"
#include "errors.h"
#include "language_warning.h"

namespace vrim_python {
namespace {

// A new list of str from any range of string-likes.
template <class Range, class Text>
PyObject* NewStrList(const Range& items, Text text_of) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(items.size()));
  if (list == nullptr) return nullptr;
  Py_ssize_t i = 0;
  for (const auto& item : items) {
    PyObject* str = NewStr(text_of(item));
    if (str == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SetItem(list, i++, str);  // steals
  }
  return list;
}

PyObject* Languages(PyObject*, PyObject*) {
  return Guarded([]() -> PyObject* {
    return NewStrList(vrim::SupportedLanguageCodes(),
                      [](const std::string& s) { return std::string_view(s); });
  });
}

PyObject* Tokenize(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) {
  return Guarded([&]() -> PyObject* {
    static const char* const kNames[] = {"text", "language"};
    static const Signature kSignature = {"tokenize()", kNames, 2, 2, 2};
    PyObject* values[2];
    if (!UnpackArgs(kSignature, args, nargs, kwnames, values)) return nullptr;
    std::string_view text;
    std::string_view code;
    if (!ToUtf8(values[0], "text", &text) ||
        !ToUtf8(values[1], "language", &code)) {
      return nullptr;
    }
    vrim::LanguagePtr language = ResolveLanguageWithWarning(code);
    if (language == nullptr) return nullptr;
    // Languages on the generic tokenizer make every token a slice of the
    // normalized text, so strings are cut straight from it, with no token
    // objects between. ASCII text (nearly all text of Latin-script
    // languages) normalizes by lowercasing alone.
    bool turkish = false;
    if (language->uses_generic_tokenizer(&turkish)) {
      std::vector<vrim::ByteSpan> spans;
      std::string normalized;
      if (vrim::SplitPlainAscii(text, turkish, language->separators(),
                                &spans)) {
        normalized.assign(text);
        for (char& c : normalized) c = (c >= 'A' && c <= 'Z') ? c + 32 : c;
      } else {
        normalized = turkish ? vrim::NormalizeTurkish(text)
                             : vrim::NormalizeDefault(text);
        vrim::SplitGeneric(normalized, language->separators(), &spans);
      }
      return NewStrList(spans, [&normalized](const vrim::ByteSpan& span) {
        return std::string_view(normalized.data() + span.begin,
                                span.end - span.begin);
      });
    }
    vrim::TokenList tokens = language->tokenize(text);
    return NewStrList(tokens, [](const vrim::Token& token) {
      return std::string_view(token.text);
    });
  });
}

PyObject* Normalize(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) {
  return Guarded([&]() -> PyObject* {
    static const char* const kNames[] = {"text", "language"};
    static const Signature kSignature = {"normalize()", kNames, 2, 2, 1};
    PyObject* values[2];
    if (!UnpackArgs(kSignature, args, nargs, kwnames, values)) return nullptr;
    std::string_view text;
    std::string_view code = "en";
    if (!ToUtf8(values[0], "text", &text)) return nullptr;
    if (values[1] != nullptr && !ToUtf8(values[1], "language", &code)) {
      return nullptr;
    }
    if (ResolveLanguageWithWarning(code) == nullptr) return nullptr;
    std::string normalized = vrim::TrimWhiteSpace(code) == "tr"
                                 ? vrim::NormalizeTurkish(text)
                                 : vrim::NormalizeDefault(text);
    return NewStr(normalized);
  });
}

}  // namespace

PyMethodDef kLanguagesDef = {
    "languages", Languages, METH_NOARGS,
    "languages()\n--\n\nLanguage codes this build supports."};

PyMethodDef kTokenizeDef = {
    "tokenize", AsMethod(Tokenize),
    METH_FASTCALL | METH_KEYWORDS,
    "tokenize(text, language)\n--\n\n"
    "Tokenize `text` the way the index would, for inspecting how a query "
    "splits.\n\n"
    "Useful for understanding CJK results: `tokenize(\"検索エンジン\", "
    "\"ja\")` shows\n"
    "the overlapping bigrams that are actually indexed.\n\n"
    "This is a pre-pipeline split: trimming, stop-word removal and stemming "
    "are\n"
    "not applied, so the terms shown are not always the terms indexed (e.g.\n"
    "English shows `running`, the index holds `run`)."};

PyMethodDef kNormalizeDef = {
    "normalize", AsMethod(Normalize),
    METH_FASTCALL | METH_KEYWORDS,
    "normalize(text, language=\"en\")\n--\n\n"
    "Apply the same normalization the indexer applies before tokenizing.\n\n"
    "Folds full-width Latin to ASCII, composes half-width katakana, "
    "collapses\n"
    "exotic spaces and lowercases. Exported because match positions are "
    "offsets\n"
    "into this string rather than into the input: normalization is not\n"
    "length-preserving, so highlight `vrim.normalize(field_text)` and never "
    "the\n"
    "raw field.\n\n"
    "`language` selects the lowercasing rules and must be the index's "
    "language:\n"
    "Turkish (`\"tr\"`) folds `I` to `ı`, every other language to `i`. A\n"
    "multi-language code containing Turkish folds the default way instead "
    "—\n"
    "no single folding serves both members, so dotted-capital-I offsets in\n"
    "Turkish documents may shift by a character; search itself is "
    "unaffected\n"
    "(each member folds its own way at query time). Unknown codes warn and\n"
    "fall back exactly like `tokenize`."};

}  // namespace vrim_python
