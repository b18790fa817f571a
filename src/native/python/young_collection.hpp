#pragma once

// The collection of young objects that making many lists makes due, run at a moment the
// caller picks.
//
// From CPython 3.12 on, an allocation that takes the youngest generation over its
// threshold only schedules the collection, which then runs once control is back in the
// interpreter. A batch call makes a list per text, so that collection would run after the
// call, when the lists hold their ids, and visit every one of them. Run from inside the
// call while the lists are still empty (BatchResultLists), it visits next to nothing, as
// it does by itself on older versions, which collect inside the allocation.

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
