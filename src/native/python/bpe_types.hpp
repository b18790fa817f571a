#pragma once

// The Python object records and type objects of the module, and the functions the module
// initialisation and the types share.

#include <optional>

#include "python/python_util.hpp"

#include "model/byte_pair_encoding.hpp"
#include "tokenizer/builtin_encodings.hpp"
#include "tokenizer/tokenizer_model.hpp"

namespace tessel::python {

// tessel.bpe.BytePairEncoding. A zero-filled object (made by calling the type) has no
// model. The models are the built-in encodings' and live as long as the process.
struct BytePairEncodingObject {
  PyObject_HEAD
  const BytePairEncoding* model;
};

// tessel.bpe.openai.Tokenizer. A zero-filled object has no tokenizer.
struct TokenizerObject {
  PyObject_HEAD
  const TokenizerModel* tokenizer;
};

// tessel.bpe.openai.ParallelOptions: three stored numbers that nothing reads.
struct ParallelOptionsObject {
  PyObject_HEAD
  int64_t min_batch_size;
  int64_t chunk_size;
  int64_t max_threads;
};

extern PyTypeObject BytePairEncodingType;
extern PyTypeObject TokenizerType;
extern PyTypeObject ParallelOptionsType;

// Fill in the type objects; called once before PyType_Ready.
void init_byte_pair_encoding_type();
void init_tokenizer_type();
void init_parallel_options_type();

// A new Tokenizer object borrowing the tokenizer, or null with the Python error set.
PyObject* new_tokenizer_object(const TokenizerModel* tokenizer);

// A new BytePairEncoding object borrowing the model, or null with the Python error set.
PyObject* new_byte_pair_encoding_object(const BytePairEncoding* model);

// The built-in encoding whose model this is, if any.
std::optional<BuiltinEncoding> builtin_encoding_of(const BytePairEncoding* model);

// tp_new of the two model-holding types: an object without a model, as the generic
// creation gives, but arguments are refused instead of ignored.
PyObject* new_empty_object(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// "<Tokenizer cl100k_base>"; "<Tokenizer without a model>" for an empty object.
PyObject* repr_naming_encoding(PyObject* self, const BytePairEncoding* model);

// The `openai` submodule (a borrowed reference, valid once the module is initialised).
PyObject* openai_module();

}  // namespace tessel::python
