// The private submodule tessel.bpe._native, on which the tiktoken-compatible layer
// (tessel.Encoding) is built.

#include "python/core_type.hpp"

namespace tessel::python {
namespace {

PyModuleDef native_definition = {
    PyModuleDef_HEAD_INIT, "tessel.bpe._native",
    "Native engine of tessel.Encoding; private, its calls may change.",
    -1, native_functions, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyObject* make_native_module() {
  init_core_type();
  if (PyType_Ready(&CoreType) < 0) return nullptr;
  PyRef module(PyModule_Create2(&native_definition, PYTHON_API_VERSION));
  if (!module) return nullptr;
  Py_INCREF(&CoreType);
  if (PyModule_AddObject(module.get(), "Core", reinterpret_cast<PyObject*>(&CoreType)) < 0) {
    Py_DECREF(&CoreType);
    return nullptr;
  }
  return module.release();
}

}  // namespace tessel::python
