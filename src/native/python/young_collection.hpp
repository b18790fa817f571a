#pragma once

// The collection of young objects that making many lists makes due, run at a moment the
// caller picks.
//
// From CPython 3.12 on, an allocation that takes the youngest generation over its
// threshold only schedules the collection, which then runs once control is back in the
// interpreter. encode_batch_parallel makes a list per text, so that collection would run
// after the call, on this thread alone, visiting every id of every list while the workers
// sit idle. Run from inside the call, while the workers still encode, it overlaps with
// them, as it did by itself on older versions, which collect inside the allocation.

#include "python/python_util.hpp"

namespace tessel::python {

class YoungCollection {
 public:
  // Inactive where the interpreter collects inside the allocation anyway, and where the
  // collector's functions cannot be had.
  YoungCollection();

  // Collects the youngest generation when the collector is on and its threshold is
  // passed. Never fails: should the collector's functions fail, the error is dropped and
  // this object goes inactive, leaving the collection to the interpreter.
  void collect_if_due();

 private:
  PyRef get_count_;
  PyRef get_threshold_;
  PyRef collect_;
};

}  // namespace tessel::python
