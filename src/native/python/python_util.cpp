#include "python/python_util.hpp"

#include <exception>
#include <new>

namespace tessel::python {

void set_error_from_current_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "tessel: unexpected internal error");
  }
}

bool read_id_list(PyObject* list, std::vector<uint32_t>& ids) {
  ids.clear();
  ids.reserve(static_cast<size_t>(PyList_GET_SIZE(list)));
  // An element's __index__ may run Python code that changes the list, so the size is read
  // again on every step and each element is held while it is converted.
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
    PyObject* element = PyList_GET_ITEM(list, i);
    Py_INCREF(element);
    PyRef item(element);
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(item.get(), &overflow);
    if (value == -1 && overflow == 0 && PyErr_Occurred()) return false;
    if (overflow != 0 || value < 0 || value > static_cast<long long>(UINT32_MAX)) {
      PyRef number(PyNumber_Index(item.get()));
      if (!number) return false;
      PyErr_Format(PyExc_OverflowError, "token id %R is out of range (0 to %lu)", number.get(),
                   static_cast<unsigned long>(UINT32_MAX));
      return false;
    }
    ids.push_back(static_cast<uint32_t>(value));
  }
  return true;
}

}  // namespace tessel::python
