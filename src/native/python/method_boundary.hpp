#pragma once

// The one boundary every method of the module's types passes: it checks that the object
// has a model (objects made by calling a type directly have none) and turns a C++
// exception into the matching Python error. Method bodies receive the model and may throw.

#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

#include "python/python_util.hpp"
#include "python/shared_ids.hpp"
#include "tokenizer/tokenizer_model.hpp"

namespace tessel::python {

// The model of `self`, or null with a RuntimeError that says how to get a usable object.
// Defined by each type for its own model record.
template <typename Model>
const Model* model_or_error(PyObject* self);

// METH_O (Body(model, arg)) and METH_NOARGS (Body(model)) methods.
template <typename Model, auto Body>
PyObject* method_o(PyObject* self, PyObject* arg) {
  const Model* model = model_or_error<Model>(self);
  if (model == nullptr) return nullptr;
  try {
    if constexpr (std::is_invocable_v<decltype(Body), const Model&>) {
      (void)arg;
      return Body(*model);
    } else {
      return Body(*model, arg);
    }
  } catch (...) {
    set_error_from_current_exception();
    return nullptr;
  }
}

// METH_FASTCALL methods: Body(model, args, nargs).
template <typename Model, auto Body>
PyObject* method_fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  const Model* model = model_or_error<Model>(self);
  if (model == nullptr) return nullptr;
  try {
    return Body(*model, args, nargs);
  } catch (...) {
    set_error_from_current_exception();
    return nullptr;
  }
}

// The entries of a method table, for METH_O / METH_NOARGS and for METH_FASTCALL.
template <typename Model, auto Body>
PyCFunction as_method_o() {
  return &method_o<Model, Body>;
}
template <typename Model, auto Body>
PyCFunction as_method_fastcall() {
  // Through a generic function pointer: the table's field has the METH_O signature.
  return reinterpret_cast<PyCFunction>(
      reinterpret_cast<void (*)()>(&method_fastcall<Model, Body>));
}

// Texts of at least this many bytes are worked on without the interpreter lock, so other
// Python threads run meanwhile. count() of 4,095 and 4,096 bytes of prose, interleaved,
// showed no measurable difference (the release costs well under 1% of about 40 us of
// encoding). Much lower would not pay: taking the lock back can wait up to a switch
// interval (5 ms) when another thread is busy, and short calls would pay that often.
inline constexpr uint64_t kUnlockedTextBytes = 4096;

// Runs work() and returns its result; when `release` is set, without the interpreter lock,
// which is taken back before an exception of work() goes on. work() must not touch any
// Python object.
template <typename Work>
auto run_maybe_unlocked(bool release, Work&& work) -> decltype(work()) {
  if (!release) return work();
  std::optional<decltype(work())> result;
  std::exception_ptr failure;
  Py_BEGIN_ALLOW_THREADS
  try {
    result.emplace(work());
  } catch (...) {
    failure = std::current_exception();
  }
  Py_END_ALLOW_THREADS
  if (failure) std::rethrow_exception(failure);
  return std::move(*result);
}

// Lists of at least this many ids are filled without the interpreter lock where the shared
// ints are immortal: the list is made with the lock and kept from the collector while its
// items are written, and the ints not made yet are made with the lock afterwards. That is
// one more release and retake of the lock, which can wait up to a switch interval when
// another thread is busy, so only for lists whose filling costs milliseconds: 2^18 ids are
// about 1 MB of text. A second Python thread got 79.6% / 78.4% of its ticks while encode()
// worked on 20 MiB with the list filled under the lock, and 89.0-94.2% / 91.0-95.1% with
// it filled without (cl100k_base / o200k_base, bench/bench_concurrency.py, two runs);
// encode() alone on English, code and multilingual text 0.99-1.06x (alternating in one
// process, medians of 15).
inline constexpr size_t kUnlockedListIds = size_t{1} << 18;

// The text's ids as a new list (null with the Python error set), encoded into the calling
// thread's buffer, which keeps its capacity from call to call up to 1 Mi ids (4 MiB): no
// fresh memory to fault in and no regrowth on every call. encode() against a fresh vector
// each call, alternating in one process (medians of 31): 1.04x / 1.04x on English prose,
// 1.02x / 1.04x on code, 1.00x / 1.01x on multilingual text (cl100k_base / o200k_base).
inline PyObject* encoded_id_list(const TokenizerModel& tokenizer, const uint8_t* text,
                                 uint64_t length, bool release) {
  constexpr size_t kKeptBufferIds = size_t{1} << 20;
  thread_local std::vector<uint32_t> kept;
  // Taken out while in use: making the list can run Python code (a collection calling
  // finalizers) that encodes on this same thread.
  std::vector<uint32_t> ids = std::move(kept);
  run_maybe_unlocked(release, [&] { return tokenizer_encode_into(tokenizer, text, length, ids), 0; });
  PyObject* list = nullptr;
  if (kSharedIdsImmortal && release && ids.size() >= kUnlockedListIds) {
    // Out of the collector's sight, the list is also reachable from no other thread while
    // its items are written; its null items are what a failure leaves for its
    // deallocation to pass over.
    ListBeingFilled made(static_cast<Py_ssize_t>(ids.size()));
    if (!made) return nullptr;
    PyObject** items = made.items();
    const size_t missing = run_maybe_unlocked(true, [&] {
      return place_shared_ids(ids.data(), ids.size(), items);
    });
    if (missing != 0 && !place_missing_ids(ids.data(), ids.size(), items)) return nullptr;
    list = made.finished().release();
  } else {
    list = id_list_from_ids(ids.data(), ids.size());
  }
  if (ids.capacity() <= kKeptBufferIds) kept = std::move(ids);
  return list;
}

}  // namespace tessel::python
