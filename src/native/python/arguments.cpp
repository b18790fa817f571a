#include "python/arguments.hpp"

namespace tessel::python {

bool check_argument_count(const char* method, Py_ssize_t nargs, Py_ssize_t min,
                          Py_ssize_t max) {
  if (nargs >= min && nargs <= max) return true;
  const Py_ssize_t expected = nargs < min ? min : max;
  const char* bound = min == max ? "exactly" : nargs < min ? "at least" : "at most";
  PyErr_Format(PyExc_TypeError, "%s() takes %s %zd argument%s (%zd given)", method, bound,
               expected, expected == 1 ? "" : "s", nargs);
  return false;
}

bool check_list_argument(const char* method, int position, PyObject* argument) {
  if (PyList_Check(argument)) return true;
  PyErr_Format(PyExc_TypeError, "%s() argument %d must be list, not %.50s", method, position,
               Py_TYPE(argument)->tp_name);
  return false;
}

bool read_size_argument(PyObject* argument, Py_ssize_t& value) {
  PyRef index(PyNumber_Index(argument));
  if (!index) return false;
  value = PyLong_AsSsize_t(index.get());
  return !(value == -1 && PyErr_Occurred());
}

bool TextArgument::read(PyObject* argument, bool accept_str) {
  if (accept_str && PyUnicode_Check(argument)) {
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(argument, &length);
    if (text == nullptr) return false;
    data_ = reinterpret_cast<const uint8_t*>(text);
    size_ = static_cast<uint64_t>(length);
    return true;
  }
  // Contiguity is part of the request: an exporter that cannot give one block refuses.
  if (PyObject_GetBuffer(argument, &view_, PyBUF_SIMPLE) < 0) {
    view_.obj = nullptr;
    return false;
  }
  data_ = static_cast<const uint8_t*>(view_.buf);
  size_ = static_cast<uint64_t>(view_.len);
  PyObject* exporter = argument;
  if (PyMemoryView_Check(argument)) exporter = PyMemoryView_GET_BUFFER(argument)->obj;
  // Exactly bytes: a subclass may hand out any buffer through __buffer__, a bytearray too.
  immutable_ = exporter != nullptr && PyBytes_CheckExact(exporter);
  return true;
}

}  // namespace tessel::python
