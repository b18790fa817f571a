// tessel.bpe.openai.ParallelOptions: batch options that are stored and reported but that no
// method acts on.

#include "python/bpe_types.hpp"

namespace tessel::python {

PyTypeObject ParallelOptionsType = type_with_header();

namespace {

constexpr int64_t kDefaultMinBatchSize = 20;
constexpr int64_t kDefaultChunkSize = 100;
constexpr int64_t kDefaultMaxThreads = 0;

ParallelOptionsObject* as_options(PyObject* self) {
  return reinterpret_cast<ParallelOptionsObject*>(self);
}

int options_init(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"min_batch_size", "chunk_size", "max_threads", nullptr};
  Py_ssize_t min_batch_size = kDefaultMinBatchSize;
  Py_ssize_t chunk_size = kDefaultChunkSize;
  Py_ssize_t max_threads = kDefaultMaxThreads;
  ParallelOptionsObject* options = as_options(self);
  options->min_batch_size = kDefaultMinBatchSize;
  options->chunk_size = kDefaultChunkSize;
  options->max_threads = kDefaultMaxThreads;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|nnn:ParallelOptions",
                                   const_cast<char**>(keywords), &min_batch_size, &chunk_size,
                                   &max_threads))
    return -1;
  options->min_batch_size = min_batch_size;
  options->chunk_size = chunk_size;
  options->max_threads = max_threads;
  return 0;
}

// Each value reads back as an unsigned 64-bit number, so -1 reads as 2**64 - 1.
PyObject* unsigned_value(int64_t value) {
  return PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(static_cast<uint64_t>(value)));
}

PyObject* get_min_batch_size(PyObject* self, void*) {
  return unsigned_value(as_options(self)->min_batch_size);
}
PyObject* get_chunk_size(PyObject* self, void*) {
  return unsigned_value(as_options(self)->chunk_size);
}
PyObject* get_max_threads(PyObject* self, void*) {
  return unsigned_value(as_options(self)->max_threads);
}

// Pickles as a constructor call with the stored values (taken back as signed sizes).
PyObject* options_reduce(PyObject* self, PyObject*) {
  const ParallelOptionsObject* options = as_options(self);
  return Py_BuildValue("(O(nnn))", reinterpret_cast<PyObject*>(&ParallelOptionsType),
                       static_cast<Py_ssize_t>(options->min_batch_size),
                       static_cast<Py_ssize_t>(options->chunk_size),
                       static_cast<Py_ssize_t>(options->max_threads));
}

PyObject* options_repr(PyObject* self) {
  const ParallelOptionsObject* options = as_options(self);
  return PyUnicode_FromFormat(
      "ParallelOptions(min_batch_size=%llu, chunk_size=%llu, max_threads=%llu)",
      static_cast<unsigned long long>(static_cast<uint64_t>(options->min_batch_size)),
      static_cast<unsigned long long>(static_cast<uint64_t>(options->chunk_size)),
      static_cast<unsigned long long>(static_cast<uint64_t>(options->max_threads)));
}

PyGetSetDef options_getset[] = {
    {"min_batch_size", get_min_batch_size, nullptr, "Stored only (default 20).", nullptr},
    {"chunk_size", get_chunk_size, nullptr, "Stored only (default 100).", nullptr},
    {"max_threads", get_max_threads, nullptr, "Stored only (default 0).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef options_methods[] = {
    {"__reduce__", options_reduce, METH_NOARGS,
     "__reduce__($self, /)\n--\n\nPickle as a constructor call with the stored values."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void init_parallel_options_type() {
  PyTypeObject& type = ParallelOptionsType;
  type.tp_name = "tessel.bpe.openai.ParallelOptions";
  type.tp_doc =
      "ParallelOptions(min_batch_size=20, chunk_size=100, max_threads=0)\n--\n\n"
      "Options of the parallel batch methods, kept for callers that pass them.\n\n"
      "The values are stored and read back (as unsigned 64-bit numbers) but change\n"
      "nothing: every batch uses all worker threads, one job per text.";
  type.tp_repr = options_repr;
  type.tp_basicsize = sizeof(ParallelOptionsObject);
  type.tp_itemsize = 0;
  type.tp_flags = Py_TPFLAGS_DEFAULT;
  type.tp_methods = options_methods;
  type.tp_getset = options_getset;
  type.tp_init = options_init;
  type.tp_new = PyType_GenericNew;
}

}  // namespace tessel::python
