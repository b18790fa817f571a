#pragma once

// tessel.bpe._native.Core: the engine under tessel.Encoding. Private to the package: the
// Python layer checks arguments and shapes results; this type does the work.

#include "python/python_util.hpp"

namespace tessel::python {

extern PyTypeObject CoreType;

// Fills in the type object; called once before PyType_Ready.
void init_core_type();

// The functions of the _native module (builtin, custom).
extern PyMethodDef native_functions[];

// A new tessel.bpe._native module, its type ready; null with the Python error set.
PyObject* make_native_module();

}  // namespace tessel::python
