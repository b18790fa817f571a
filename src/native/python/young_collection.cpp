#include "python/young_collection.hpp"

namespace tessel::python {

// Free-threaded builds make each batch list when its text is done, so nothing runs early.
#if PY_VERSION_HEX >= 0x030C0000 && !defined(Py_GIL_DISABLED)

namespace {

// The first element of the tuple the function returns, or -1 with an error set.
long first_count(PyObject* function) {
  PyRef counts(PyObject_CallNoArgs(function));
  if (!counts) return -1;
  if (!PyTuple_Check(counts.get()) || PyTuple_GET_SIZE(counts.get()) == 0) {
    PyErr_SetString(PyExc_TypeError, "unexpected result from the gc module");
    return -1;
  }
  return PyLong_AsLong(PyTuple_GET_ITEM(counts.get(), 0));
}

}  // namespace

YoungCollection::YoungCollection() {
  PyRef gc(PyImport_ImportModule("gc"));
  if (gc) {
    get_count_ = PyRef(PyObject_GetAttrString(gc.get(), "get_count"));
    get_threshold_ = PyRef(PyObject_GetAttrString(gc.get(), "get_threshold"));
    collect_ = PyRef(PyObject_GetAttrString(gc.get(), "collect"));
  }
  if (!get_count_ || !get_threshold_ || !collect_) {
    PyErr_Clear();
    collect_ = PyRef();
  }
}

void YoungCollection::collect_if_due() {
  if (!collect_ || !PyGC_IsEnabled()) return;
  const long threshold = first_count(get_threshold_.get());
  if (threshold > 0 && first_count(get_count_.get()) > threshold) {
    PyRef(PyObject_CallFunction(collect_.get(), "i", 0));
  }
  if (PyErr_Occurred()) {
    PyErr_Clear();
    collect_ = PyRef();
  }
}

#else

YoungCollection::YoungCollection() {}
void YoungCollection::collect_if_due() {}

#endif

}  // namespace tessel::python
