#pragma once

// Python ints for token ids, each made once on first use and kept for the life of the
// process, so that filling a list costs no allocation per id.
//
// Where the interpreter has immortal objects and an interpreter lock (CPython 3.12 and
// 3.13), each is made immortal as it is made: it is never freed anyway, a list then holds
// it without touching its reference count (a cache miss per id), and the table can be read
// without the lock. Elsewhere a list takes a reference per id.
// Measured against taking a reference per id with the lock held, on CPython 3.12: encode()
// alone 1.02-1.06x and, in a second run, 0.99-1.04x (English prose, code, multilingual
// text, both encodings, alternating in one process, medians of 31); the share of its ticks
// a second Python thread gets while encode() works on 20 MiB (bench/bench_concurrency.py,
// two runs of each build, alternating) went from 76% / 67% and 73% / 59% to 81% / 75% and
// 80% / 82% (cl100k_base / o200k_base).

#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace tessel::python {

#if defined(_Py_IMMORTAL_REFCNT) && !defined(Py_GIL_DISABLED)
#define TESSEL_SHARED_IDS_IMMORTAL 1
inline constexpr bool kSharedIdsImmortal = true;
#else
#define TESSEL_SHARED_IDS_IMMORTAL 0
inline constexpr bool kSharedIdsImmortal = false;
#endif

// Sets items[i] to the int of ids[i] where one has been made, and leaves the others null;
// returns how many it left null. Reads only the table, so it may run without the
// interpreter lock. Only when kSharedIdsImmortal.
size_t place_shared_ids(const uint32_t* ids, size_t count, PyObject** items);

// Sets every null items[i] to the int of ids[i], making those not made yet. With the lock;
// false with the Python error set.
bool place_missing_ids(const uint32_t* ids, size_t count, PyObject** items);

// A new list of Python integers holding the ids, or null with the Python error set.
PyObject* id_list_from_ids(const uint32_t* ids, size_t count);

#ifndef Py_GIL_DISABLED
// Gives `list`, an empty list that nothing else holds, the ints of the ids as its items;
// false with the Python error set. Not in free-threaded builds, whose lists keep their
// items in arrays of another layout.
bool fill_empty_list(PyObject* list, const uint32_t* ids, size_t count);
#endif

}  // namespace tessel::python
