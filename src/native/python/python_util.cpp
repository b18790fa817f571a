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

bool read_token_id(PyObject* item, uint32_t& id) {
  int overflow = 0;
  long long value;
  if (PyLong_Check(item)) {
    value = PyLong_AsLongLongAndOverflow(item, &overflow);
  } else {
    PyRef index(PyNumber_Index(item));
    if (!index) return false;
    value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  }
  if (value == -1 && PyErr_Occurred()) return false;
  if (overflow != 0 || value < 0 || value > static_cast<long long>(UINT32_MAX)) {
    PyErr_Format(PyExc_OverflowError, "token id %R is out of range (0 to 4294967295)", item);
    return false;
  }
  id = static_cast<uint32_t>(value);
  return true;
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
    uint32_t id = 0;
    if (!read_token_id(item.get(), id)) return false;
    ids.push_back(id);
  }
  return true;
}

}  // namespace tessel::python
