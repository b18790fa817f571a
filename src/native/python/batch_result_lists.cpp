#include "python/batch_result_lists.hpp"

#include "python/shared_ids.hpp"
#include "python/young_collection.hpp"

namespace tessel::python {

namespace {

// Smaller batches make each list when its text is done: finding out whether a collection
// is due costs about 1 us a batch, five times the whole call on one short text and 5% of
// one on a hundred, while a default threshold of 700 lists makes a collection of their
// full lists rare. Larger ones ask every kListsPerCheck lists, so a due collection runs at
// most that many lists late, still over empty lists.
constexpr size_t kMadeEmptyFrom = 256;
constexpr size_t kListsPerCheck = 64;

}  // namespace

BatchResultLists::BatchResultLists(size_t count) : lists_(static_cast<Py_ssize_t>(count)) {
  if (!lists_) return;
#ifndef Py_GIL_DISABLED
  if (count >= kMadeEmptyFrom) {
    YoungCollection young_collection;
    for (size_t i = 0; i < count; ++i) {
      PyObject* empty = PyList_New(0);
      if (empty == nullptr) return;
      lists_.set(i, empty);
      if ((i + 1) % kListsPerCheck == 0 || i + 1 == count) young_collection.collect_if_due();
    }
  }
#endif
  made_ = true;
}

bool BatchResultLists::fill(size_t i, const uint32_t* ids, size_t count) {
  PyObject*& slot = lists_.items()[i];
#ifndef Py_GIL_DISABLED
  if (slot != nullptr && Py_REFCNT(slot) == 1 && PyList_GET_SIZE(slot) == 0) {
    return fill_empty_list(slot, ids, count);
  }
#endif
  PyObject* made = id_list_from_ids(ids, count);
  if (made == nullptr) return false;
  Py_XSETREF(slot, made);
  return true;
}

}  // namespace tessel::python
