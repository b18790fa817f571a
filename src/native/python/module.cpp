// Module initialisation of tessel.bpe and its submodule tessel.bpe.openai, and the
// submodule's functions.

#include <string>

#include "tokenizer/package_location.hpp"
#include "parallel/worker_pool.hpp"
#include "python/bpe_types.hpp"
#include "python/core_type.hpp"

namespace tessel::python {
namespace {

PyObject* g_openai = nullptr;  // strong reference, held for the life of the process

// The text of tessel.__file__, or "" when it cannot be had; never leaves a Python error.
// The core calls it (with the interpreter lock held) to find the model images.
std::string locate_tessel_file() {
  PyRef package(PyImport_ImportModule("tessel"));
  if (!package) {
    PyErr_Clear();
    return std::string();
  }
  PyRef file(PyObject_GetAttrString(package.get(), "__file__"));
  if (!file) {
    PyErr_Clear();
    return std::string();
  }
  Py_ssize_t length = 0;
  const char* text = PyUnicode_Check(file.get()) ? PyUnicode_AsUTF8AndSize(file.get(), &length)
                                                  : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    return std::string();
  }
  return std::string(text, static_cast<size_t>(length));
}

PyObject* make_tokenizer(BuiltinEncoding encoding) {
  try {
    return new_tokenizer_object(&builtin_tokenizer(encoding));
  } catch (...) {
    set_error_from_current_exception();
    return nullptr;
  }
}

PyObject* openai_cl100k_base(PyObject*, PyObject*) {
  return make_tokenizer(BuiltinEncoding::cl100k_base);
}

PyObject* openai_o200k_base(PyObject*, PyObject*) {
  return make_tokenizer(BuiltinEncoding::o200k_base);
}

PyObject* openai_is_cached_cl100k(PyObject*, PyObject*) {
  return PyBool_FromLong(builtin_tokenizer_is_made(BuiltinEncoding::cl100k_base));
}

PyObject* openai_is_cached_o200k(PyObject*, PyObject*) {
  return PyBool_FromLong(builtin_tokenizer_is_made(BuiltinEncoding::o200k_base));
}

PyObject* openai_get_num_threads(PyObject*, PyObject*) {
  try {
    return PyLong_FromLong(static_cast<long>(process_thread_count()));
  } catch (...) {
    set_error_from_current_exception();
    return nullptr;
  }
}

PyMethodDef openai_functions[] = {
    {"cl100k_base", openai_cl100k_base, METH_NOARGS,
     "cl100k_base()\n--\n\n"
     "Return the cl100k_base tokenizer, made on first use and shared afterwards."},
    {"o200k_base", openai_o200k_base, METH_NOARGS,
     "o200k_base()\n--\n\n"
     "Return the o200k_base tokenizer, made on first use and shared afterwards."},
    {"is_cached_cl100k", openai_is_cached_cl100k, METH_NOARGS,
     "is_cached_cl100k()\n--\n\n"
     "Return True when the cl100k_base tokenizer has been made in this process."},
    {"is_cached_o200k", openai_is_cached_o200k, METH_NOARGS,
     "is_cached_o200k()\n--\n\n"
     "Return True when the o200k_base tokenizer has been made in this process."},
    {"get_num_threads", openai_get_num_threads, METH_NOARGS,
     "get_num_threads()\n--\n\n"
     "Return the number of worker threads of encode_batch_parallel(), starting them\n"
     "if needed: one per CPU this process may run on."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef openai_definition = {
    PyModuleDef_HEAD_INIT,
    "tessel.bpe.openai",
    "Tokenizers of the cl100k_base and o200k_base encodings.\n\n"
    "    >>> from tessel.bpe import openai\n"
    "    >>> tok = openai.cl100k_base()\n"
    "    >>> tok.encode('hello world')\n"
    "    [15339, 1917]\n"
    "    >>> tok.decode([15339, 1917])\n"
    "    'hello world'\n",
    -1,
    openai_functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyModuleDef bpe_definition = {
    PyModuleDef_HEAD_INIT,
    "bpe",
    "Byte-level byte-pair encoding of the cl100k_base and o200k_base vocabularies.\n\n"
    "The tokenizers are in the submodule tessel.bpe.openai; BytePairEncoding is the\n"
    "byte-level encoder they use, without pre-tokenization.",
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Adds a new reference to value under name; false with the Python error set on failure.
bool add_object(PyObject* module, const char* name, PyObject* value) {
  Py_INCREF(value);
  if (PyModule_AddObject(module, name, value) < 0) {
    Py_DECREF(value);
    return false;
  }
  return true;
}

PyObject* init_module() {
  init_byte_pair_encoding_type();
  init_tokenizer_type();
  init_parallel_options_type();
  if (PyType_Ready(&BytePairEncodingType) < 0 || PyType_Ready(&TokenizerType) < 0 ||
      PyType_Ready(&ParallelOptionsType) < 0)
    return nullptr;

  PyRef openai(PyModule_Create2(&openai_definition, PYTHON_API_VERSION));
  if (!openai) return nullptr;
  if (!add_object(openai.get(), "Tokenizer", reinterpret_cast<PyObject*>(&TokenizerType)) ||
      !add_object(openai.get(), "ParallelOptions",
                  reinterpret_cast<PyObject*>(&ParallelOptionsType)))
    return nullptr;

  PyRef bpe(PyModule_Create2(&bpe_definition, PYTHON_API_VERSION));
  if (!bpe) return nullptr;
  if (!add_object(bpe.get(), "BytePairEncoding",
                  reinterpret_cast<PyObject*>(&BytePairEncodingType)) ||
      !add_object(bpe.get(), "openai", openai.get()))
    return nullptr;
  if (PyDict_SetItemString(PyImport_GetModuleDict(), "tessel.bpe.openai", openai.get()) < 0)
    return nullptr;
  PyRef native(make_native_module());
  if (!native || !add_object(bpe.get(), "_native", native.get()) ||
      PyDict_SetItemString(PyImport_GetModuleDict(), "tessel.bpe._native", native.get()) < 0)
    return nullptr;

  set_package_file_locator(&locate_tessel_file);
  if (g_openai == nullptr) g_openai = openai.release();
  return bpe.release();
}

}  // namespace

PyObject* openai_module() { return g_openai; }

}  // namespace tessel::python

PyMODINIT_FUNC PyInit_bpe(void) { return tessel::python::init_module(); }
