#pragma once

// A batch of texts encoded into a list of lists of ids, for both Python layers.

#include <cstdint>

#include "python/python_util.hpp"
#include "tokenizer/tokenizer_model.hpp"

namespace tessel::python {

struct EncodedBatch {
  PyRef lists;           // null with the Python error set
  Py_ssize_t total = 0;  // ids in all the lists
  double seconds = 0.0;  // from the start of the encoding until the last text was done
};

// The ids of texts[i] (lengths[i] bytes) for every i. On the process's worker pool, this
// thread making each text's list as soon as it is done; or, with on_pool false, one text
// after another on this thread (without the interpreter lock once the batch holds
// kUnlockedTextBytes), the lists made afterwards. Throws std::bad_alloc, or
// std::runtime_error when a job failed otherwise.
EncodedBatch encode_batch_to_lists(const TokenizerModel& tokenizer,
                                   const uint8_t* const* texts, const uint64_t* lengths,
                                   size_t n, bool on_pool);

}  // namespace tessel::python
