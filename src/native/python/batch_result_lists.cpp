#include "python/batch_result_lists.hpp"

#include "python/shared_ids.hpp"
#include "python/young_collection.hpp"

namespace tessel::python {

BatchResultLists::BatchResultLists(size_t count) : lists_(static_cast<Py_ssize_t>(count)) {
  if (!lists_) return;
#ifndef Py_GIL_DISABLED
  YoungCollection young_collection;
  for (size_t i = 0; i < count; ++i) {
    PyObject* empty = PyList_New(0);
    if (empty == nullptr) return;
    lists_.set(i, empty);
    young_collection.collect_if_due();
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
