// Resolving a user-supplied language code, with the warning for codes the
// registry does not fully support.
#ifndef VRIM_PYTHON_LANGUAGE_WARNING_H_
#define VRIM_PYTHON_LANGUAGE_WARNING_H_

#include <Python.h>

#include <string>
#include <string_view>

#include "analysis/language.h"

namespace vrim_python {

// The warning text for a code that is not fully supported: names the
// unrecognised members of a multi-language code, or the whole code.
std::string UnknownLanguageMessage(std::string_view code);

// Resolves `code`; when it is not fully supported issues the
// unknown-language UserWarning. Returns null with an exception set when
// the warning was turned into an error (or could not be issued).
// REQUIRES: `code` is valid UTF-8; the interpreter lock is held.
vrim::LanguagePtr ResolveLanguageWithWarning(std::string_view code);

}  // namespace vrim_python

#endif  // VRIM_PYTHON_LANGUAGE_WARNING_H_
