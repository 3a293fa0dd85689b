#include "language_warning.h"

#include <vector>

#include "analysis/quote.h"

namespace vrim_python {

std::string UnknownLanguageMessage(std::string_view code) {
  std::string subject;
  std::vector<std::string> parts = vrim::SplitLanguageCode(code);
  if (parts.size() > 1) {
    for (const std::string& part : parts) {
      if (vrim::IsKnownLanguageCode(part)) continue;
      if (!subject.empty()) subject += ", ";
      subject += part;
    }
    if (!subject.empty()) {
      subject += " in ";
      subject += vrim::Quote(code);
    }
  }
  if (subject.empty()) subject = vrim::Quote(code);
  return "unknown language code " + subject +
         ": indexing with generic whitespace tokenization and no stemming. "
         "Call vrim.languages() for the codes with full support.";
}

vrim::LanguagePtr ResolveLanguageWithWarning(std::string_view code) {
  vrim::LanguageResolution resolution = vrim::ResolveLanguage(code);
  if (resolution.fully_supported) return std::move(resolution.language);
  std::string message = UnknownLanguageMessage(code);
  // The warning call takes a C string; an unquoted member holding NUL
  // cannot be passed through it.
  size_t nul = message.find('\0');
  if (nul != std::string::npos) {
    PyErr_Format(PyExc_ValueError,
                 "nul byte found in provided data at position: %zu", nul);
    return nullptr;
  }
  if (PyErr_WarnEx(PyExc_UserWarning, message.c_str(), 1) < 0) return nullptr;
  return std::move(resolution.language);
}

}  // namespace vrim_python
