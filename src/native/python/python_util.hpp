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

// A new list of `size` empty slots that the cyclic collector does not see until it is
// finished. Code may run while the slots are filled (an element's __index__, or a
// collection with its callbacks and finalizers), and gc.get_objects() would hand it the
// list with empty slots, which crash whoever reads them.
class ListBeingFilled {
 public:
  explicit ListBeingFilled(Py_ssize_t size) : list_(PyList_New(size)) {
    if (list_) PyObject_GC_UnTrack(list_.get());
  }
  explicit operator bool() const { return static_cast<bool>(list_); }
  // Takes over the reference to item.
  void set(size_t i, PyObject* item) {
    PyList_SET_ITEM(list_.get(), static_cast<Py_ssize_t>(i), item);
  }
  // The slots, for a caller that writes them itself (each takes over a reference).
  PyObject** items() const { return reinterpret_cast<PyListObject*>(list_.get())->ob_item; }
  // Every slot is set: the list, tracked again.
  PyRef finished() {
    PyObject_GC_Track(list_.get());
    return std::move(list_);
  }

 private:
  PyRef list_;
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

// Reads one token id: anything with __index__ (an int subclass as it is; a float is a
// TypeError on every version, where CPython 3.9 would still take its __int__). Ids are
// unsigned 32-bit numbers; others raise OverflowError, as tiktoken does.
bool read_token_id(PyObject* item, uint32_t& id);

// Reads a list of token ids. Returns false with the Python error set when an element is
// not an integer (TypeError) or is outside 0 to 2**32 - 1 (OverflowError). Ids above the
// vocabulary are read as they are; decoding tells them apart. May throw std::bad_alloc.
bool read_id_list(PyObject* list, std::vector<uint32_t>& ids);

}  // namespace tessel::python
