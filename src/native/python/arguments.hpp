#pragma once

// Argument reading for the fastcall and single-argument methods, with the errors of the
// interpreter's own argument parser ("encode_batch() argument 1 must be list, not tuple").

#include <cstdint>

#include "python/method_boundary.hpp"
#include "python/python_util.hpp"

namespace tessel::python {

// False with a TypeError unless min <= nargs <= max.
bool check_argument_count(const char* method, Py_ssize_t nargs, Py_ssize_t min, Py_ssize_t max);

// False with a TypeError unless the argument is a list (or a list subclass).
bool check_list_argument(const char* method, int position, PyObject* argument);

// A signed size from an integer argument: TypeError for a non-integer, OverflowError
// beyond the size range.
bool read_size_argument(PyObject* argument, Py_ssize_t& value);

// The bytes of a text argument, read in place: a str's UTF-8 form, or the contents of any
// contiguous bytes-like object, whose buffer is held (so it cannot be resized) until this
// is destroyed.
class TextArgument {
 public:
  TextArgument() = default;
  TextArgument(const TextArgument&) = delete;
  TextArgument& operator=(const TextArgument&) = delete;
  ~TextArgument() {
    if (view_.obj != nullptr) PyBuffer_Release(&view_);
  }

  // False with the Python error set: TypeError for an object that is neither (or a str
  // when str is not accepted), UnicodeEncodeError for a str that has no UTF-8 form.
  bool read(PyObject* argument, bool accept_str);

  const uint8_t* data() const { return data_; }
  uint64_t size() const { return size_; }
  // Whether the bytes are sure to stay the same while the interpreter lock is released: a
  // str, an object of exactly bytes, or a memoryview of one. Any other buffer (a bytearray,
  // an mmap, a read-only view of a bytearray, whatever a bytes subclass's __buffer__ hands
  // out) may be written by another thread in the middle of a scan.
  bool immutable() const { return immutable_; }
  // Whether to work on the bytes without the interpreter lock: long enough for the release
  // to pay, and sure to stay the same meanwhile.
  bool worth_unlocking() const { return size_ >= kUnlockedTextBytes && immutable_; }

 private:
  Py_buffer view_{};
  const uint8_t* data_ = nullptr;
  uint64_t size_ = 0;
  bool immutable_ = true;
};

}  // namespace tessel::python
