// tessel.bpe.BytePairEncoding: the bare byte-level encoder of a vocabulary.

#include <memory>

#include "model/backtrack_encoder.hpp"
#include "python/bpe_types.hpp"

namespace tessel::python {

PyTypeObject BytePairEncodingType = type_with_header();

namespace {

const BytePairEncoding* model_or_error(PyObject* self) {
  const BytePairEncoding* model = reinterpret_cast<BytePairEncodingObject*>(self)->model;
  if (model == nullptr) {
    PyErr_SetString(PyExc_RuntimeError,
                    "this BytePairEncoding has no model; get one from a tokenizer, e.g. "
                    "tessel.bpe.openai.cl100k_base().bpe()");
  }
  return model;
}

// Releases a buffer view taken by the argument parser.
struct BufferView {
  Py_buffer view{};
  bool held = false;
  ~BufferView() {
    if (held) PyBuffer_Release(&view);
  }
  const uint8_t* data() const { return static_cast<const uint8_t*>(view.buf); }
  uint64_t size() const { return static_cast<uint64_t>(view.len); }
};

PyObject* bpe_count(PyObject* self, PyObject* args) {
  const BytePairEncoding* model = model_or_error(self);
  if (model == nullptr) return nullptr;
  BufferView buffer;
  if (!PyArg_ParseTuple(args, "y*:count", &buffer.view)) return nullptr;
  buffer.held = true;
  try {
    return PyLong_FromUnsignedLongLong(backtrack_count(*model, buffer.data(), buffer.size()));
  } catch (...) {
    set_error_from_current_exception();
    return nullptr;
  }
}

PyObject* bpe_encode_via_backtracking(PyObject* self, PyObject* args) {
  const BytePairEncoding* model = model_or_error(self);
  if (model == nullptr) return nullptr;
  BufferView buffer;
  if (!PyArg_ParseTuple(args, "y*:encode_via_backtracking", &buffer.view)) return nullptr;
  buffer.held = true;
  try {
    const std::vector<uint32_t> ids = backtrack_encode(*model, buffer.data(), buffer.size());
    return id_list_from_ids(ids.data(), ids.size());
  } catch (...) {
    set_error_from_current_exception();
    return nullptr;
  }
}

PyObject* bpe_decode_tokens(PyObject* self, PyObject* args) {
  const BytePairEncoding* model = model_or_error(self);
  if (model == nullptr) return nullptr;
  PyObject* list = nullptr;
  if (!PyArg_ParseTuple(args, "O!:decode_tokens", &PyList_Type, &list)) return nullptr;
  try {
    std::vector<uint32_t> ids;
    if (!read_id_list(list, ids)) return nullptr;
    const std::optional<uint64_t> size = decoded_size(*model, ids.data(), ids.size());
    if (!size) return PyBytes_FromStringAndSize(nullptr, 0);  // an id outside the vocabulary
    // Token bytes go straight into the new bytes object.
    PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(*size));
    if (bytes == nullptr) return nullptr;
    copy_token_bytes(*model, ids.data(), ids.size(),
                     reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(bytes)));
    return bytes;
  } catch (...) {
    set_error_from_current_exception();
    return nullptr;
  }
}

// Pickles a built-in encoding's model as Tokenizer.bpe(<that encoding's tokenizer>), so it
// unpickles to the receiving process's own singleton.
PyObject* bpe_reduce(PyObject* self, PyObject*) {
  const BytePairEncoding* model = model_or_error(self);
  if (model == nullptr) return nullptr;
  try {
    BuiltinEncoding encoding;
    if (!find_builtin_encoding(model, encoding)) {
      PyErr_SetString(PyExc_TypeError,
                      "only BytePairEncoding objects of the built-in encodings can be pickled");
      return nullptr;
    }
    PyRef tokenizer(new_tokenizer_object(&builtin_tokenizer(encoding)));
    if (!tokenizer) return nullptr;
    PyRef method(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&TokenizerType), "bpe"));
    if (!method) return nullptr;
    return Py_BuildValue("(O(O))", method.get(), tokenizer.get());
  } catch (...) {
    set_error_from_current_exception();
    return nullptr;
  }
}

void bpe_dealloc(PyObject* self) {
  auto* object = reinterpret_cast<BytePairEncodingObject*>(self);
  if (object->owner != 0 && object->model != nullptr) {
    std::unique_ptr<const BytePairEncoding> release(object->model);
  }
  Py_TYPE(self)->tp_free(self);
}

PyMethodDef bpe_methods[] = {
    {"count", bpe_count, METH_VARARGS, nullptr},
    {"encode_via_backtracking", bpe_encode_via_backtracking, METH_VARARGS, nullptr},
    {"decode_tokens", bpe_decode_tokens, METH_VARARGS, nullptr},
    {"__reduce__", bpe_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void init_byte_pair_encoding_type() {
  PyTypeObject& type = BytePairEncodingType;
  type.tp_name = "tessel.bpe.BytePairEncoding";
  type.tp_basicsize = sizeof(BytePairEncodingObject);
  type.tp_itemsize = 0;
  type.tp_dealloc = bpe_dealloc;
  type.tp_flags = Py_TPFLAGS_DEFAULT;
  type.tp_methods = bpe_methods;
  type.tp_new = PyType_GenericNew;
}

PyObject* new_byte_pair_encoding_object(const BytePairEncoding* model) {
  auto* object = PyObject_New(BytePairEncodingObject, &BytePairEncodingType);
  if (object == nullptr) return nullptr;
  object->model = model;
  object->owner = 0;
  return reinterpret_cast<PyObject*>(object);
}

bool find_builtin_encoding(const BytePairEncoding* model, BuiltinEncoding& encoding) {
  for (BuiltinEncoding candidate : {BuiltinEncoding::cl100k_base, BuiltinEncoding::o200k_base}) {
    if (builtin_tokenizer_is_made(candidate) && builtin_tokenizer(candidate).model == model) {
      encoding = candidate;
      return true;
    }
  }
  return false;
}

}  // namespace tessel::python
