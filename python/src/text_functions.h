// The free functions over text: languages(), tokenize() and normalize().
#ifndef VRIM_PYTHON_TEXT_FUNCTIONS_H_
#define VRIM_PYTHON_TEXT_FUNCTIONS_H_

#include <Python.h>

namespace vrim_python {

extern PyMethodDef kLanguagesDef;
extern PyMethodDef kTokenizeDef;
extern PyMethodDef kNormalizeDef;

}  // namespace vrim_python

#endif  // VRIM_PYTHON_TEXT_FUNCTIONS_H_
