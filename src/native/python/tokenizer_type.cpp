// tessel.bpe.openai.Tokenizer: text-level encoding, counting and decoding.

#include <chrono>
#include <memory>
#include <optional>

#include "parallel/worker_pool.hpp"
#include "python/bpe_types.hpp"

namespace tessel::python {

PyTypeObject TokenizerType = type_with_header();

namespace {

using Clock = std::chrono::steady_clock;

const TokenizerModel* tokenizer_or_error(PyObject* self) {
  const TokenizerModel* tokenizer = reinterpret_cast<TokenizerObject*>(self)->tokenizer;
  if (tokenizer == nullptr) {
    PyErr_SetString(PyExc_RuntimeError,
                    "this Tokenizer has no model; use tessel.bpe.openai.cl100k_base() or "
                    "tessel.bpe.openai.o200k_base() to get a tokenizer");
  }
  return tokenizer;
}

const uint8_t* as_bytes(const char* text) { return reinterpret_cast<const uint8_t*>(text); }

double seconds_between(Clock::time_point start, Clock::time_point end) {
  return std::chrono::duration<double>(end - start).count();
}

PyObject* tokenizer_count_method(PyObject* self, PyObject* args) {
  const TokenizerModel* tokenizer = tokenizer_or_error(self);
  if (tokenizer == nullptr) return nullptr;
  const char* text = nullptr;
  Py_ssize_t length = 0;
  if (!PyArg_ParseTuple(args, "s#:count", &text, &length)) return nullptr;
  try {
    return PyLong_FromUnsignedLongLong(tokenizer_count(*tokenizer, as_bytes(text),
                                                       static_cast<uint64_t>(length)));
  } catch (...) {
    set_error_from_current_exception();
    return nullptr;
  }
}

PyObject* tokenizer_count_till_limit_method(PyObject* self, PyObject* args) {
  const TokenizerModel* tokenizer = tokenizer_or_error(self);
  if (tokenizer == nullptr) return nullptr;
  const char* text = nullptr;
  Py_ssize_t length = 0;
  Py_ssize_t limit = 0;
  if (!PyArg_ParseTuple(args, "s#n:count_till_limit", &text, &length, &limit)) return nullptr;
  if (limit < 0) {
    PyErr_Format(PyExc_ValueError, "limit must not be negative, got %zd", limit);
    return nullptr;
  }
  try {
    const uint64_t count = tokenizer_count_till_limit(
        *tokenizer, as_bytes(text), static_cast<uint64_t>(length), static_cast<uint64_t>(limit));
    if (count == kOverLimit) Py_RETURN_NONE;
    return PyLong_FromUnsignedLongLong(count);
  } catch (...) {
    set_error_from_current_exception();
    return nullptr;
  }
}

PyObject* tokenizer_encode_method(PyObject* self, PyObject* args) {
  const TokenizerModel* tokenizer = tokenizer_or_error(self);
  if (tokenizer == nullptr) return nullptr;
  const char* text = nullptr;
  Py_ssize_t length = 0;
  if (!PyArg_ParseTuple(args, "s#:encode", &text, &length)) return nullptr;
  try {
    const std::vector<uint32_t> ids =
        tokenizer_encode(*tokenizer, as_bytes(text), static_cast<uint64_t>(length));
    return id_list_from_ids(ids.data(), ids.size());
  } catch (...) {
    set_error_from_current_exception();
    return nullptr;
  }
}

// The UTF-8 forms of a batch of str objects. `items` holds a reference to every element for
// as long as the texts are in use, so changes to the caller's list cannot free them.
struct TextBatch {
  PyRef items;  // tuple
  std::vector<const uint8_t*> texts;
  std::vector<uint64_t> lengths;

  size_t size() const { return texts.size(); }

  // Returns false with the Python error set (an element is not a str, or a str cannot be
  // encoded as UTF-8, e.g. one holding a lone surrogate).
  bool read(PyObject* list, const char* method) {
    items = PyRef(PyList_AsTuple(list));
    if (!items) return false;
    const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
    texts.resize(static_cast<size_t>(n));
    lengths.resize(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* item = PyTuple_GET_ITEM(items.get(), i);
      if (!PyUnicode_Check(item)) {
        PyErr_Format(PyExc_TypeError, "%s() expects a list of str; item %zd is %.100s", method,
                     i, Py_TYPE(item)->tp_name);
        return false;
      }
      Py_ssize_t length = 0;
      const char* text = PyUnicode_AsUTF8AndSize(item, &length);
      if (text == nullptr) return false;
      texts[static_cast<size_t>(i)] = as_bytes(text);
      lengths[static_cast<size_t>(i)] = static_cast<uint64_t>(length);
    }
    return true;
  }
};

// The list of id lists; each id array is freed as soon as its list is made. Adds the
// number of ids to total.
PyObject* id_lists(std::vector<std::vector<uint32_t>>& results, Py_ssize_t& total) {
  PyRef outer(PyList_New(static_cast<Py_ssize_t>(results.size())));
  if (!outer) return nullptr;
  for (size_t i = 0; i < results.size(); ++i) {
    PyObject* inner = id_list_from_ids(results[i].data(), results[i].size());
    if (inner == nullptr) return nullptr;
    PyList_SET_ITEM(outer.get(), static_cast<Py_ssize_t>(i), inner);
    total += static_cast<Py_ssize_t>(results[i].size());
    std::vector<uint32_t>().swap(results[i]);
  }
  return outer.release();
}

// (lists, total, seconds) or, with threads >= 0, (lists, total, seconds, threads).
PyObject* batch_result(PyObject* lists, Py_ssize_t total, double seconds, long threads) {
  PyRef owned_lists(lists);
  PyRef tuple(PyTuple_New(threads >= 0 ? 4 : 3));
  if (!tuple) return nullptr;
  PyObject* total_object = PyLong_FromSsize_t(total);
  if (total_object == nullptr) return nullptr;
  PyTuple_SET_ITEM(tuple.get(), 1, total_object);
  PyObject* seconds_object = PyFloat_FromDouble(seconds);
  if (seconds_object == nullptr) return nullptr;
  PyTuple_SET_ITEM(tuple.get(), 2, seconds_object);
  if (threads >= 0) {
    PyObject* threads_object = PyLong_FromLong(threads);
    if (threads_object == nullptr) return nullptr;
    PyTuple_SET_ITEM(tuple.get(), 3, threads_object);
  }
  PyTuple_SET_ITEM(tuple.get(), 0, owned_lists.release());
  return tuple.release();
}

PyObject* tokenizer_encode_batch_method(PyObject* self, PyObject* args) {
  const TokenizerModel* tokenizer = tokenizer_or_error(self);
  if (tokenizer == nullptr) return nullptr;
  PyObject* list = nullptr;
  if (!PyArg_ParseTuple(args, "O!:encode_batch", &PyList_Type, &list)) return nullptr;
  try {
    TextBatch batch;
    if (!batch.read(list, "encode_batch")) return nullptr;
    std::vector<std::vector<uint32_t>> results(batch.size());
    const Clock::time_point start = Clock::now();
    for (size_t i = 0; i < batch.size(); ++i)
      results[i] = tokenizer_encode(*tokenizer, batch.texts[i], batch.lengths[i]);
    const double seconds = seconds_between(start, Clock::now());
    Py_ssize_t total = 0;
    PyObject* lists = id_lists(results, total);
    if (lists == nullptr) return nullptr;
    return batch_result(lists, total, seconds, -1);
  } catch (...) {
    set_error_from_current_exception();
    return nullptr;
  }
}

PyObject* tokenizer_encode_batch_parallel_method(PyObject* self, PyObject* args) {
  const TokenizerModel* tokenizer = tokenizer_or_error(self);
  if (tokenizer == nullptr) return nullptr;
  PyObject* list = nullptr;
  PyObject* options = Py_None;  // accepted and ignored
  if (!PyArg_ParseTuple(args, "O!|O:encode_batch_parallel", &PyList_Type, &list, &options))
    return nullptr;
  try {
    TextBatch batch;
    if (!batch.read(list, "encode_batch_parallel")) return nullptr;
    std::vector<std::vector<uint32_t>> results(batch.size());
    const Clock::time_point start = Clock::now();
    // The workers read only the UTF-8 bytes, which `batch` keeps alive, and write only
    // `results`; no Python object is touched until the interpreter lock is back.
    enum { kDone, kOutOfMemory, kFailed } outcome = kDone;
    PyThreadState* saved = PyEval_SaveThread();
    try {
      encode_batch_on_pool(process_worker_pool(), *tokenizer, batch.texts.data(),
                           batch.lengths.data(), batch.size(), results.data());
    } catch (const std::bad_alloc&) {
      outcome = kOutOfMemory;
    } catch (...) {
      outcome = kFailed;
    }
    PyEval_RestoreThread(saved);
    const double seconds = seconds_between(start, Clock::now());
    if (outcome == kOutOfMemory) return PyErr_NoMemory();
    if (outcome == kFailed) {
      PyErr_SetString(PyExc_RuntimeError, "encode_batch_parallel: a worker thread failed");
      return nullptr;
    }
    Py_ssize_t total = 0;
    PyObject* lists = id_lists(results, total);
    if (lists == nullptr) return nullptr;
    return batch_result(lists, total, seconds, static_cast<long>(process_thread_count()));
  } catch (...) {
    set_error_from_current_exception();
    return nullptr;
  }
}

// The text of the ids: a new str, or None (as a new reference) when an id is outside the
// vocabulary or the bytes are not valid UTF-8. Null with the Python error set on failure.
PyObject* decode_ids_to_text(const TokenizerModel& tokenizer, PyObject* list,
                             std::vector<uint32_t>& ids) {
  if (!read_id_list(list, ids)) return nullptr;
  const std::optional<std::vector<uint8_t>> bytes =
      decode_token_ids(*tokenizer.model, ids.data(), ids.size());
  if (!bytes) Py_RETURN_NONE;
  PyObject* text = PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(bytes->data()),
                                        static_cast<Py_ssize_t>(bytes->size()), "strict");
  if (text == nullptr && PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
    PyErr_Clear();
    Py_RETURN_NONE;
  }
  return text;
}

PyObject* tokenizer_decode_method(PyObject* self, PyObject* args) {
  const TokenizerModel* tokenizer = tokenizer_or_error(self);
  if (tokenizer == nullptr) return nullptr;
  PyObject* list = nullptr;
  if (!PyArg_ParseTuple(args, "O!:decode", &PyList_Type, &list)) return nullptr;
  try {
    std::vector<uint32_t> ids;
    return decode_ids_to_text(*tokenizer, list, ids);
  } catch (...) {
    set_error_from_current_exception();
    return nullptr;
  }
}

PyObject* decode_batch(const TokenizerModel& tokenizer, PyObject* batch_list) {
  // The tuple keeps every inner list alive even if decoding runs code that changes the batch.
  PyRef batch(PyList_AsTuple(batch_list));
  if (!batch) return nullptr;
  const Py_ssize_t n = PyTuple_GET_SIZE(batch.get());
  PyRef result(PyList_New(n));
  if (!result) return nullptr;
  std::vector<uint32_t> ids;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* element = PyTuple_GET_ITEM(batch.get(), i);
    if (!PyList_Check(element)) {
      PyErr_SetString(PyExc_TypeError, "expected list of ints");
      return nullptr;
    }
    PyObject* text = decode_ids_to_text(tokenizer, element, ids);
    if (text == nullptr) return nullptr;
    PyList_SET_ITEM(result.get(), i, text);
  }
  return result.release();
}

PyObject* tokenizer_decode_batch_method(PyObject* self, PyObject* args) {
  const TokenizerModel* tokenizer = tokenizer_or_error(self);
  if (tokenizer == nullptr) return nullptr;
  PyObject* list = nullptr;
  if (!PyArg_ParseTuple(args, "O!:decode_batch", &PyList_Type, &list)) return nullptr;
  try {
    return decode_batch(*tokenizer, list);
  } catch (...) {
    set_error_from_current_exception();
    return nullptr;
  }
}

// Same result as decode_batch, on the calling thread; the options are ignored.
PyObject* tokenizer_decode_batch_parallel_method(PyObject* self, PyObject* args) {
  const TokenizerModel* tokenizer = tokenizer_or_error(self);
  if (tokenizer == nullptr) return nullptr;
  PyObject* list = nullptr;
  PyObject* options = Py_None;
  if (!PyArg_ParseTuple(args, "O!|O:decode_batch_parallel", &PyList_Type, &list, &options))
    return nullptr;
  try {
    return decode_batch(*tokenizer, list);
  } catch (...) {
    set_error_from_current_exception();
    return nullptr;
  }
}

PyObject* tokenizer_bpe_method(PyObject* self, PyObject*) {
  const TokenizerModel* tokenizer = tokenizer_or_error(self);
  if (tokenizer == nullptr) return nullptr;
  return new_byte_pair_encoding_object(tokenizer->model);
}

// Pickles a tokenizer as a call of its encoding's constructor function, so it unpickles to
// the receiving process's own singleton.
PyObject* tokenizer_reduce_method(PyObject* self, PyObject*) {
  const TokenizerModel* tokenizer = tokenizer_or_error(self);
  if (tokenizer == nullptr) return nullptr;
  BuiltinEncoding encoding;
  try {
    if (!find_builtin_encoding(tokenizer, encoding)) {
      PyErr_SetString(PyExc_TypeError, "only tokenizers of the built-in encodings can be pickled");
      return nullptr;
    }
  } catch (...) {
    set_error_from_current_exception();
    return nullptr;
  }
  PyRef function(PyObject_GetAttrString(openai_module(), builtin_encoding_name(encoding)));
  if (!function) return nullptr;
  return Py_BuildValue("(O())", function.get());
}

void tokenizer_dealloc(PyObject* self) {
  auto* object = reinterpret_cast<TokenizerObject*>(self);
  if (object->owner != 0 && object->tokenizer != nullptr) {
    std::unique_ptr<const TokenizerModel> release(object->tokenizer);
  }
  Py_TYPE(self)->tp_free(self);
}

PyMethodDef tokenizer_methods[] = {
    {"count", tokenizer_count_method, METH_VARARGS, nullptr},
    {"count_till_limit", tokenizer_count_till_limit_method, METH_VARARGS, nullptr},
    {"encode", tokenizer_encode_method, METH_VARARGS, nullptr},
    {"encode_batch", tokenizer_encode_batch_method, METH_VARARGS, nullptr},
    {"encode_batch_parallel", tokenizer_encode_batch_parallel_method, METH_VARARGS, nullptr},
    {"decode", tokenizer_decode_method, METH_VARARGS, nullptr},
    {"decode_batch", tokenizer_decode_batch_method, METH_VARARGS, nullptr},
    {"decode_batch_parallel", tokenizer_decode_batch_parallel_method, METH_VARARGS, nullptr},
    {"bpe", tokenizer_bpe_method, METH_NOARGS, nullptr},
    {"__reduce__", tokenizer_reduce_method, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void init_tokenizer_type() {
  PyTypeObject& type = TokenizerType;
  type.tp_name = "tessel.bpe.openai.Tokenizer";
  type.tp_basicsize = sizeof(TokenizerObject);
  type.tp_itemsize = 0;
  type.tp_dealloc = tokenizer_dealloc;
  type.tp_flags = Py_TPFLAGS_DEFAULT;
  type.tp_methods = tokenizer_methods;
  type.tp_new = PyType_GenericNew;
}

PyObject* new_tokenizer_object(const TokenizerModel* tokenizer) {
  auto* object = PyObject_New(TokenizerObject, &TokenizerType);
  if (object == nullptr) return nullptr;
  object->tokenizer = tokenizer;
  object->owner = 0;
  return reinterpret_cast<PyObject*>(object);
}

bool find_builtin_encoding(const TokenizerModel* tokenizer, BuiltinEncoding& encoding) {
  for (BuiltinEncoding candidate : {BuiltinEncoding::cl100k_base, BuiltinEncoding::o200k_base}) {
    if (builtin_tokenizer_is_made(candidate) && &builtin_tokenizer(candidate) == tokenizer) {
      encoding = candidate;
      return true;
    }
  }
  return false;
}

}  // namespace tessel::python
