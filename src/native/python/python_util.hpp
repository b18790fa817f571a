#pragma once

// Small helpers of the Python layer: an owning reference, the C++-exception boundary and
// the conversions between token-id arrays and Python lists.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace tessel::python {

// Owns one strong reference (or none) and drops it when destroyed.
class PyRef {
 public:
  PyRef() = default;
  explicit PyRef(PyObject* object) : object_(object) {}
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : object_(other.release()) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(object_);
      object_ = other.release();
    }
    return *this;
  }
  ~PyRef() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  PyObject* release() { return std::exchange(object_, nullptr); }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  PyObject* object_ = nullptr;
};

// A type object with only its object header set; each type's init function fills in the
// slots it uses before PyType_Ready.
inline PyTypeObject type_with_header() {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
  PyTypeObject type = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop
  return type;
}

// Turns the C++ exception being handled into the matching Python error: MemoryError for
// std::bad_alloc, RuntimeError for anything else. Call only inside a catch block.
void set_error_from_current_exception() noexcept;

// Reads a list of token ids. Returns false with the Python error set when an element is
// not an integer (TypeError) or is outside 0 to 2**32 - 1 (OverflowError). Ids above the
// vocabulary are read as they are; decoding tells them apart. May throw std::bad_alloc.
bool read_id_list(PyObject* list, std::vector<uint32_t>& ids);

}  // namespace tessel::python
