// The module function merge(): one index from several, without analysing
// their text again.
#ifndef VRIM_PYTHON_MERGE_FUNCTION_H_
#define VRIM_PYTHON_MERGE_FUNCTION_H_

#include <Python.h>

namespace vrim_python {

extern PyMethodDef kMergeDef;

}  // namespace vrim_python

#endif  // VRIM_PYTHON_MERGE_FUNCTION_H_
