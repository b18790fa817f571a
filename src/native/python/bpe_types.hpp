#pragma once

// The Python object records and type objects of the module, and the functions the module
// initialisation and the types share.

#include "python/python_util.hpp"

#include "model/byte_pair_encoding.hpp"
#include "tokenizer/builtin_encodings.hpp"
#include "tokenizer/tokenizer_model.hpp"

namespace tessel::python {

// tessel.bpe.BytePairEncoding. A zero-filled object (made by calling the type) has no model.
struct BytePairEncodingObject {
  PyObject_HEAD
  const BytePairEncoding* model;
  int32_t owner;  // nonzero: the object releases the model; nothing sets it today
};

// tessel.bpe.openai.Tokenizer. A zero-filled object has no tokenizer.
struct TokenizerObject {
  PyObject_HEAD
  const TokenizerModel* tokenizer;
  int32_t owner;  // nonzero: the object releases the TokenizerModel record (not its model)
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

// The built-in encoding whose singleton is this tokenizer (or whose model this is); false
// when it is none of them.
bool find_builtin_encoding(const TokenizerModel* tokenizer, BuiltinEncoding& encoding);
bool find_builtin_encoding(const BytePairEncoding* model, BuiltinEncoding& encoding);

// The `openai` submodule (a borrowed reference, valid once the module is initialised).
PyObject* openai_module();

}  // namespace tessel::python
