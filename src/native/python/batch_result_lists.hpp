#pragma once

// The lists of ids that a batch call returns, one per text: made empty before the texts
// are encoded, and given their ids as each text is done.
//
// A thousand new lists make a collection of the youngest generation due. Made full, they
// are all in that generation when it runs, and it visits every id they hold: about 3 ns an
// id, a sixth of encode_batch's time on 1,000 documents of 10-50 KB. Made empty, they pass
// that collection while they hold nothing and are in an older generation by the time
// their ids arrive. The collection keeps its schedule: up to CPython 3.11 it runs inside
// the allocation that makes it due, from 3.12 on right after it (YoungCollection), where
// the interpreter would run it once the call returned.
//
// Code may run while the lists wait (a collection's callbacks and finalizers, other
// threads while the texts are encoded without the lock) and reach an empty list through
// gc.get_objects(). A list that something else holds, or that is no longer empty, is left
// to it, and its text gets a new list. Free-threaded builds, and batches of few texts, make
// each list when its text is done.

#include "python/python_util.hpp"

namespace tessel::python {

class BatchResultLists {
 public:
  // Check the object before use: false (with the Python error set) when a list could not
  // be made.
  explicit BatchResultLists(size_t count);
  explicit operator bool() const { return made_; }

  // List i holds the ids; false with the Python error set.
  bool fill(size_t i, const uint32_t* ids, size_t count);

  // The list of lists, once every one is filled.
  PyRef finished() { return lists_.finished(); }

 private:
  ListBeingFilled lists_;
  bool made_ = false;
};

}  // namespace tessel::python
