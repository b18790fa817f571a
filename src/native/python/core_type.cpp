// tessel.bpe._native.Core and the module functions that make one.
//
// A Core joins a tokenizer (a built-in singleton, borrowed, or a model built from the
// caller's ranks, owned) with the encoding's special tokens. It encodes ordinary text;
// the Python layer cuts text at special tokens and checks the caller's arguments.

#include "python/core_type.hpp"

#include <climits>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "parallel/worker_pool.hpp"
#include "python/arguments.hpp"
#include "python/batch_encoding.hpp"
#include "python/method_boundary.hpp"
#include "pretokenize/splitters.hpp"
#include "tokenizer/builtin_encodings.hpp"
#include "tokenizer/custom_tokenizer.hpp"

namespace tessel::python {

PyTypeObject CoreType = type_with_header();

namespace {

struct CoreState {
  std::unique_ptr<OwnedTokenizer> owned;  // null for a built-in tokenizer
  const TokenizerModel* tokenizer = nullptr;
  std::unordered_map<uint32_t, std::string> special_bytes;  // first name given wins
  std::unordered_map<std::string, uint32_t> special_ids;
};

struct CoreObject {
  PyObject_HEAD
  CoreState* state;  // null only in an object made by calling the type
};

}  // namespace

template <>
const CoreState* model_or_error<CoreState>(PyObject* self) {
  const CoreState* state = reinterpret_cast<CoreObject*>(self)->state;
  if (state == nullptr) PyErr_SetString(PyExc_RuntimeError, "this Core has no tokenizer");
  return state;
}

namespace {

// The rule sets the package's patterns map to, in the order the Python layer numbers them.
enum RuleSet : long { kCl100kRules = 0, kO200kRules = 1 };

// This layer promises tiktoken's ids, so it always splits in the exact mode.
PieceSplitter exact_splitter(long rules) {
  return piece_splitter(rules == kO200kRules ? SplitRules::o200k : SplitRules::cl100k,
                        SplitMode::exact);
}

const TokenizerModel& exact_builtin(long rules) {
  return builtin_tokenizer(
      rules == kO200kRules ? BuiltinEncoding::o200k_base : BuiltinEncoding::cl100k_base,
      SplitMode::exact);
}

const uint8_t* as_bytes(const char* text) { return reinterpret_cast<const uint8_t*>(text); }

// The UTF-8 form of a str argument; null with TypeError (not a str) or UnicodeEncodeError
// (a lone surrogate) set.
const char* utf8_of(PyObject* text, Py_ssize_t& length) {
  if (!PyUnicode_Check(text)) {
    PyErr_Format(PyExc_TypeError, "expected str, got %.100s", Py_TYPE(text)->tp_name);
    return nullptr;
  }
  return PyUnicode_AsUTF8AndSize(text, &length);
}

bool parse_rules(PyObject* object, long& rules) {
  rules = PyLong_AsLong(object);
  if (rules == -1 && PyErr_Occurred()) return false;
  if (rules != kCl100kRules && rules != kO200kRules) {
    PyErr_Format(PyExc_ValueError, "unknown rule set %ld", rules);
    return false;
  }
  return true;
}

// Appends the buffer's items, read as T, to out; false when they are not T-sized: a
// standard-size "l" has 4 bytes, and an exporter's itemsize may contradict its format,
// which must not make this read past the buffer's end.
template <typename T>
bool widen(const Py_buffer& view, std::vector<int64_t>& out) {
  if (view.itemsize != static_cast<Py_ssize_t>(sizeof(T))) return false;
  const T* values = static_cast<const T*>(view.buf);
  const Py_ssize_t count = view.len / view.itemsize;
  out.reserve(static_cast<size_t>(count));
  // An unsigned 64-bit id beyond INT64_MAX becomes negative: out of range either way.
  for (Py_ssize_t i = 0; i < count; ++i) out.push_back(static_cast<int64_t>(values[i]));
  return true;
}

// Ids from a one-dimensional buffer of machine integers (array.array, numpy arrays,
// bytes). Returns false without an error when the object offers no such buffer.
bool read_id_buffer(PyObject* sequence, std::vector<uint32_t>& ids, bool& failed) {
  failed = false;
  if (!PyObject_CheckBuffer(sequence)) return false;
  Py_buffer view;
  if (PyObject_GetBuffer(sequence, &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) {
    PyErr_Clear();
    return false;
  }
  struct Release {
    Py_buffer* view;
    ~Release() { PyBuffer_Release(view); }
  } release{&view};
  const char* format = view.format != nullptr ? view.format : "B";
  if (format[0] == '<' || format[0] == '=' || format[0] == '@') ++format;
  if (view.ndim != 1 || std::strlen(format) != 1) return false;
  std::vector<int64_t> values;
  bool read = false;
  switch (format[0]) {
    case 'b': read = widen<int8_t>(view, values); break;
    case 'B': read = widen<uint8_t>(view, values); break;
    case 'h': read = widen<int16_t>(view, values); break;
    case 'H': read = widen<uint16_t>(view, values); break;
    case 'i': read = widen<int32_t>(view, values); break;
    case 'I': read = widen<uint32_t>(view, values); break;
    case 'l': case 'q': case 'n': read = widen<int64_t>(view, values); break;
    case 'L': case 'Q': case 'N': read = widen<uint64_t>(view, values); break;
    default: break;  // floats and the like: read element by element, which raises
  }
  if (!read) return false;
  ids.clear();
  ids.reserve(values.size());
  for (size_t i = 0; i < values.size(); ++i) {
    if (values[i] < 0 || values[i] > static_cast<int64_t>(UINT32_MAX)) {
      PyRef item(PySequence_GetItem(sequence, static_cast<Py_ssize_t>(i)));
      if (!item) {
        failed = true;
        return true;
      }
      PyErr_Format(PyExc_OverflowError, "token id %R is out of range (0 to 4294967295)",
                   item.get());
      failed = true;
      return true;
    }
    ids.push_back(static_cast<uint32_t>(values[i]));
  }
  return true;
}

// Ids from any sequence of integers; false with the Python error set.
bool read_ids(PyObject* sequence, std::vector<uint32_t>& ids) {
  if (PyList_Check(sequence)) return read_id_list(sequence, ids);
  if (!PyTuple_Check(sequence)) {
    bool failed = false;
    if (read_id_buffer(sequence, ids, failed)) return !failed;
    if (!PySequence_Check(sequence) || PyUnicode_Check(sequence)) {
      PyErr_Format(PyExc_TypeError, "expected a sequence of token ids, got %.100s",
                   Py_TYPE(sequence)->tp_name);
      return false;
    }
  }
  PyRef list(PySequence_List(sequence));
  return list && read_id_list(list.get(), ids);
}

PyObject* invalid_token_error(uint32_t id) {
  PyRef message(PyUnicode_FromFormat("Invalid token for decoding: %lu",
                                     static_cast<unsigned long>(id)));
  if (message) PyErr_SetObject(PyExc_KeyError, message.get());
  return nullptr;
}

// Token bytes of id, or null when the encoding has no such token.
bool token_bytes_of(const CoreState& state, uint32_t id, const uint8_t*& data, size_t& length) {
  const BytePairEncoding& model = *state.tokenizer->model;
  if (id < model.token_count) {
    data = model.token_data(id);
    length = model.token_length(id);
    return true;
  }
  const auto found = state.special_bytes.find(id);
  if (found == state.special_bytes.end()) return false;
  data = as_bytes(found->second.data());
  length = found->second.size();
  return true;
}

// ---- Encoding ---------------------------------------------------------------------------

// Whether the UTF-8 form holds the marker (the text every special token starts with).
// The Python layer asked `marker in text` of every text it encoded with the default
// arguments, at about 1.4 GB/s: 0.22 ms of the 1.2 ms that encoding the English corpus
// took. This search of the UTF-8 form, which encoding reads anyway, against that check,
// alternating in one process (medians of 15 / 11, cl100k_base and o200k_base): Encoding.
// encode 1.22x / 1.22x on English prose, 1.15x / 1.22x on code, 1.08x / 1.01x on
// multilingual text; encode_batch 1.32-1.36x, 1.14-1.16x and 1.06-1.07x; encode_to_numpy
// 1.23-1.27x, 1.13-1.20x and 1.07-1.08x.
bool holds_marker(const char* utf8, Py_ssize_t length, const char* marker,
                  Py_ssize_t marker_length) {
  return std::string_view(utf8, static_cast<size_t>(length))
             .find(std::string_view(marker, static_cast<size_t>(marker_length))) !=
         std::string_view::npos;
}

// How encode and encode_buffer shape the ids of a text's UTF-8 form.
using EncodedForm = PyObject* (*)(const CoreState&, const char*, Py_ssize_t);

PyObject* encoded_list(const CoreState& state, const char* utf8, Py_ssize_t length) {
  return encoded_id_list(*state.tokenizer, as_bytes(utf8), static_cast<uint64_t>(length),
                         static_cast<uint64_t>(length) >= kUnlockedTextBytes);
}

// Arguments (text, marker): the text's ids as `encoded` makes them, or None when the text
// holds the marker, which the caller then looks for special tokens in.
PyObject* unless_marked(const char* method, EncodedForm encoded, const CoreState& state,
                        PyObject* const* args, Py_ssize_t nargs) {
  if (!check_argument_count(method, nargs, 2, 2)) return nullptr;
  Py_ssize_t length = 0, marker_length = 0;
  const char* utf8 = utf8_of(args[0], length);
  if (utf8 == nullptr) return nullptr;
  const char* marker = utf8_of(args[1], marker_length);
  if (marker == nullptr) return nullptr;
  if (holds_marker(utf8, length, marker, marker_length)) Py_RETURN_NONE;
  return encoded(state, utf8, length);
}

// Whether any text of the list or tuple holds the marker; also True at an item that is not
// a str, so that the caller's own checks report it.
PyObject* core_any_marked(const CoreState&, PyObject* const* args, Py_ssize_t nargs) {
  if (!check_argument_count("any_marked", nargs, 2, 2)) return nullptr;
  Py_ssize_t marker_length = 0;
  const char* marker = utf8_of(args[1], marker_length);
  if (marker == nullptr) return nullptr;
  PyObject* texts = args[0];
  if (!PyList_Check(texts) && !PyTuple_Check(texts)) Py_RETURN_TRUE;
  // Indexed afresh each time: the UTF-8 form of a str is made on first request, which
  // runs no Python code, so the sequence cannot change meanwhile.
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(texts); ++i) {
    PyObject* text = PySequence_Fast_GET_ITEM(texts, i);
    if (!PyUnicode_Check(text)) Py_RETURN_TRUE;
    Py_ssize_t length = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &length);
    if (utf8 == nullptr) return nullptr;
    if (holds_marker(utf8, length, marker, marker_length)) Py_RETURN_TRUE;
  }
  Py_RETURN_FALSE;
}

PyObject* core_count(const CoreState& state, PyObject* text) {
  Py_ssize_t length = 0;
  const char* utf8 = utf8_of(text, length);
  if (utf8 == nullptr) return nullptr;
  const uint64_t count = run_maybe_unlocked(static_cast<uint64_t>(length) >= kUnlockedTextBytes, [&] {
    return tokenizer_count(*state.tokenizer, as_bytes(utf8), static_cast<uint64_t>(length));
  });
  return PyLong_FromUnsignedLongLong(count);
}

// The ids as native-endian unsigned 32-bit numbers in a bytes object (for numpy).
PyObject* encoded_buffer(const CoreState& state, const char* utf8, Py_ssize_t length) {
  const std::vector<uint32_t> ids = run_maybe_unlocked(static_cast<uint64_t>(length) >= kUnlockedTextBytes, [&] {
    return tokenizer_encode(*state.tokenizer, as_bytes(utf8), static_cast<uint64_t>(length));
  });
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(ids.data()),
                                   static_cast<Py_ssize_t>(ids.size() * sizeof(uint32_t)));
}

// encode (kEncoded = encoded_list) and encode_buffer (encoded_buffer).
template <EncodedForm kEncoded>
PyObject* core_encoded(const CoreState& state, PyObject* text) {
  Py_ssize_t length = 0;
  const char* utf8 = utf8_of(text, length);
  if (utf8 == nullptr) return nullptr;
  return kEncoded(state, utf8, length);
}

// encode_unless_marked and encode_buffer_unless_marked.
PyObject* core_encode_unless_marked(const CoreState& state, PyObject* const* args,
                                    Py_ssize_t nargs) {
  return unless_marked("encode_unless_marked", encoded_list, state, args, nargs);
}
PyObject* core_encode_buffer_unless_marked(const CoreState& state, PyObject* const* args,
                                           Py_ssize_t nargs) {
  return unless_marked("encode_buffer_unless_marked", encoded_buffer, state, args, nargs);
}

// The UTF-8 forms of a list or tuple of str. `items` holds every element while the bytes
// are in use, so a caller changing its list cannot free them.
struct TextBatch {
  PyRef items;
  std::vector<const uint8_t*> texts;
  std::vector<uint64_t> lengths;

  bool read(PyObject* sequence) {
    items = PyRef(PySequence_Tuple(sequence));
    if (!items) return false;
    const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
    texts.resize(static_cast<size_t>(n));
    lengths.resize(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* item = PyTuple_GET_ITEM(items.get(), i);
      if (!PyUnicode_Check(item)) {
        PyErr_Format(PyExc_TypeError, "expected a list of str; item %zd is %.100s", i,
                     Py_TYPE(item)->tp_name);
        return false;
      }
      Py_ssize_t length = 0;
      const char* utf8 = PyUnicode_AsUTF8AndSize(item, &length);
      if (utf8 == nullptr) return false;
      texts[static_cast<size_t>(i)] = as_bytes(utf8);
      lengths[static_cast<size_t>(i)] = static_cast<uint64_t>(length);
    }
    return true;
  }
};

bool parse_batch_args(PyObject* const* args, Py_ssize_t nargs, const char* name,
                      TextBatch& batch, long& threads) {
  if (nargs != 2) {
    PyErr_Format(PyExc_TypeError, "%s() takes 2 arguments (%zd given)", name, nargs);
    return false;
  }
  threads = PyLong_AsLong(args[1]);
  if (threads == -1 && PyErr_Occurred()) return false;
  return batch.read(args[0]);
}

// With threads > 1 the batch runs on the process's worker pool; otherwise on this thread.
PyObject* core_encode_batch(const CoreState& state, PyObject* const* args, Py_ssize_t nargs) {
  TextBatch batch;
  long threads = 1;
  if (!parse_batch_args(args, nargs, "encode_batch", batch, threads)) return nullptr;
  const size_t n = batch.texts.size();
  return encode_batch_to_lists(*state.tokenizer, batch.texts.data(), batch.lengths.data(), n,
                               threads > 1 && n > 1)
      .lists.release();
}

void count_on_pool(WorkerPool* pool, const TokenizerModel& tokenizer, const TextBatch& batch,
                   uint64_t* counts) {
  const size_t n = batch.texts.size();
  if (pool == nullptr || pool->thread_count() == 0) {
    for (size_t i = 0; i < n; ++i)
      counts[i] = tokenizer_count(tokenizer, batch.texts[i], batch.lengths[i]);
    return;
  }
  JobGroup group;
  group.remaining.store(static_cast<int64_t>(n), std::memory_order_relaxed);
  PoolJob job;
  job.model = &tokenizer;
  job.kind = kJobCount;
  job.group = &group;
  for (size_t i = 0; i < n; ++i) {
    job.text = batch.texts[i];
    job.length = batch.lengths[i];
    job.count = &counts[i];
    queue_job(*pool, job);
  }
  wait_for_group(group);
  if (group.failure.load(std::memory_order_relaxed) != kJobOk) throw std::bad_alloc();
}

PyObject* core_count_batch(const CoreState& state, PyObject* const* args, Py_ssize_t nargs) {
  TextBatch batch;
  long threads = 1;
  if (!parse_batch_args(args, nargs, "count_batch", batch, threads)) return nullptr;
  const size_t n = batch.texts.size();
  std::vector<uint64_t> counts(n);
  const TokenizerModel& tokenizer = *state.tokenizer;
  run_maybe_unlocked(true, [&] {
    if (threads > 1 && n > 1) {
      count_on_pool(process_worker_pool(), tokenizer, batch, counts.data());
    } else {
      for (size_t i = 0; i < n; ++i)
        counts[i] = tokenizer_count(tokenizer, batch.texts[i], batch.lengths[i]);
    }
    return true;
  });
  ListBeingFilled list(static_cast<Py_ssize_t>(n));
  if (!list) return nullptr;
  for (size_t i = 0; i < n; ++i) {
    PyObject* count = PyLong_FromUnsignedLongLong(counts[i]);
    if (count == nullptr) return nullptr;
    list.set(i, count);
  }
  return list.finished().release();
}

// ---- Decoding ---------------------------------------------------------------------------

PyObject* core_decode_bytes(const CoreState& state, PyObject* tokens) {
  std::vector<uint32_t> ids;
  if (!read_ids(tokens, ids)) return nullptr;
  size_t total = 0;
  const uint8_t* data = nullptr;
  size_t length = 0;
  for (uint32_t id : ids) {
    if (!token_bytes_of(state, id, data, length)) return invalid_token_error(id);
    total += length;
  }
  PyRef result(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total)));
  if (!result) return nullptr;
  char* out = PyBytes_AS_STRING(result.get());
  for (uint32_t id : ids) {
    token_bytes_of(state, id, data, length);
    std::memcpy(out, data, length);
    out += length;
  }
  return result.release();
}

PyObject* single_token_bytes(const CoreState& state, uint32_t id) {
  const uint8_t* data = nullptr;
  size_t length = 0;
  if (!token_bytes_of(state, id, data, length)) {
    PyRef key(PyUnicode_FromFormat("%lu", static_cast<unsigned long>(id)));
    if (key) PyErr_SetObject(PyExc_KeyError, key.get());
    return nullptr;
  }
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data),
                                   static_cast<Py_ssize_t>(length));
}

PyObject* core_decode_single(const CoreState& state, PyObject* token) {
  uint32_t id = 0;
  if (!read_token_id(token, id)) return nullptr;
  return single_token_bytes(state, id);
}

PyObject* core_decode_tokens_bytes(const CoreState& state, PyObject* tokens) {
  std::vector<uint32_t> ids;
  if (!read_ids(tokens, ids)) return nullptr;
  ListBeingFilled list(static_cast<Py_ssize_t>(ids.size()));
  if (!list) return nullptr;
  for (size_t i = 0; i < ids.size(); ++i) {
    PyObject* bytes = single_token_bytes(state, ids[i]);
    if (bytes == nullptr) return nullptr;
    list.set(i, bytes);
  }
  return list.finished().release();
}

// ---- Single tokens and the vocabulary ---------------------------------------------------

// The id of the token (mergeable or special) whose bytes these are; KeyError otherwise.
PyObject* core_token_of(const CoreState& state, PyObject* bytes) {
  if (!PyBytes_Check(bytes)) {
    PyErr_Format(PyExc_TypeError, "expected bytes, got %.100s", Py_TYPE(bytes)->tp_name);
    return nullptr;
  }
  const char* data = PyBytes_AS_STRING(bytes);
  const Py_ssize_t length = PyBytes_GET_SIZE(bytes);
  const BytePairEncoding& model = *state.tokenizer->model;
  if (static_cast<uint64_t>(length) <= model.longest_token_length) {
    const uint32_t id = whole_token(model, as_bytes(data), static_cast<uint64_t>(length));
    if (id != kNoToken) return PyLong_FromUnsignedLong(id);
  }
  const auto found = state.special_ids.find(std::string(data, static_cast<size_t>(length)));
  if (found != state.special_ids.end()) return PyLong_FromUnsignedLong(found->second);
  PyErr_SetObject(PyExc_KeyError, bytes);
  return nullptr;
}

// The bytes of every mergeable token, in rank order.
PyObject* core_mergeable_tokens(const CoreState& state) {
  const BytePairEncoding& model = *state.tokenizer->model;
  ListBeingFilled list(static_cast<Py_ssize_t>(model.token_count));
  if (!list) return nullptr;
  for (uint32_t i = 0; i < model.token_count; ++i) {
    PyObject* bytes = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(model.token_data(i)),
                                                static_cast<Py_ssize_t>(model.token_length(i)));
    if (bytes == nullptr) return nullptr;
    list.set(i, bytes);
  }
  return list.finished().release();
}

PyObject* core_mergeable_count(const CoreState& state) {
  return PyLong_FromUnsignedLong(state.tokenizer->model->token_count);
}

void core_dealloc(PyObject* self) {
  std::unique_ptr<CoreState> release(reinterpret_cast<CoreObject*>(self)->state);
  Py_TYPE(self)->tp_free(self);
}

template <auto Body>
PyCFunction o() {
  return as_method_o<CoreState, Body>();
}
template <auto Body>
PyCFunction fast() {
  return as_method_fastcall<CoreState, Body>();
}

PyMethodDef core_methods[] = {
    {"encode", o<core_encoded<encoded_list>>(), METH_O, "encode(text) -> ids of the ordinary text"},
    {"encode_unless_marked", fast<core_encode_unless_marked>(), METH_FASTCALL,
     "encode_unless_marked(text, marker) -> encode(text), or None when marker is in text"},
    {"any_marked", fast<core_any_marked>(), METH_FASTCALL,
     "any_marked(texts, marker) -> whether marker is in any of the texts"},
    {"count", o<core_count>(), METH_O, "count(text) -> number of ids of the ordinary text"},
    {"encode_buffer", o<core_encoded<encoded_buffer>>(), METH_O,
     "encode_buffer(text) -> ids as uint32 bytes"},
    {"encode_buffer_unless_marked", fast<core_encode_buffer_unless_marked>(), METH_FASTCALL,
     "encode_buffer_unless_marked(text, marker) -> encode_buffer(text), or None when marker "
     "is in text"},
    {"encode_batch", fast<core_encode_batch>(), METH_FASTCALL,
     "encode_batch(texts, num_threads) -> list of id lists"},
    {"count_batch", fast<core_count_batch>(), METH_FASTCALL,
     "count_batch(texts, num_threads) -> list of counts"},
    {"decode_bytes", o<core_decode_bytes>(), METH_O, "decode_bytes(ids) -> bytes"},
    {"decode_single", o<core_decode_single>(), METH_O, "decode_single(id) -> bytes"},
    {"decode_tokens_bytes", o<core_decode_tokens_bytes>(), METH_O,
     "decode_tokens_bytes(ids) -> list of bytes"},
    {"token_of", o<core_token_of>(), METH_O, "token_of(bytes) -> id"},
    {"mergeable_tokens", o<core_mergeable_tokens>(), METH_NOARGS,
     "mergeable_tokens() -> bytes of every mergeable token in rank order"},
    {"mergeable_count", o<core_mergeable_count>(), METH_NOARGS,
     "mergeable_count() -> number of mergeable tokens"},
    {nullptr, nullptr, 0, nullptr},
};

// ---- Making a Core ----------------------------------------------------------------------

// Reads {str: int} special tokens into the state; false with the Python error set.
bool read_specials(PyObject* specials, CoreState& state) {
  if (!PyDict_Check(specials)) {
    PyErr_SetString(PyExc_TypeError, "special tokens must be a dict of str to int");
    return false;
  }
  // From a copy of the items, which holds every key and value: converting a value can run
  // its __index__, which may change the dict and free what it held.
  PyRef items(PyDict_Items(specials));
  if (!items) return false;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
    PyObject* item = PyList_GET_ITEM(items.get(), i);
    PyObject* key = PyTuple_GET_ITEM(item, 0);
    PyObject* value = PyTuple_GET_ITEM(item, 1);
    Py_ssize_t length = 0;
    const char* utf8 = utf8_of(key, length);
    if (utf8 == nullptr) return false;
    uint32_t id = 0;
    if (!read_token_id(value, id)) return false;
    std::string bytes(utf8, static_cast<size_t>(length));
    state.special_bytes.emplace(id, bytes);
    state.special_ids.emplace(std::move(bytes), id);
  }
  return true;
}

PyObject* new_core(std::unique_ptr<CoreState> state) {
  auto* object = PyObject_New(CoreObject, &CoreType);
  if (object == nullptr) return nullptr;
  object->state = state.release();
  return reinterpret_cast<PyObject*>(object);
}

// builtin(rules, special_tokens): a Core over the built-in vocabulary of the rule set.
PyObject* native_builtin(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) {
    PyErr_SetString(PyExc_TypeError, "builtin() takes 2 arguments");
    return nullptr;
  }
  long rules = 0;
  if (!parse_rules(args[0], rules)) return nullptr;
  try {
    auto state = std::make_unique<CoreState>();
    if (!read_specials(args[1], *state)) return nullptr;
    state->tokenizer = &exact_builtin(rules);
    return new_core(std::move(state));
  } catch (...) {
    set_error_from_current_exception();
    return nullptr;
  }
}

// custom(tokens, rules, special_tokens): a Core over a vocabulary built from the tokens
// (a list of bytes in rank order). ValueError for a vocabulary that cannot be encoded with.
PyObject* native_custom(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 3) {
    PyErr_SetString(PyExc_TypeError, "custom() takes 3 arguments");
    return nullptr;
  }
  long rules = 0;
  if (!parse_rules(args[1], rules)) return nullptr;
  try {
    PyRef tokens(PySequence_Tuple(args[0]));
    if (!tokens) return nullptr;
    const Py_ssize_t n = PyTuple_GET_SIZE(tokens.get());
    if (n >= static_cast<Py_ssize_t>(INT32_MAX)) {
      PyErr_SetString(PyExc_ValueError, "too many tokens");
      return nullptr;
    }
    std::vector<uint8_t> bytes;
    std::vector<uint32_t> starts;
    starts.reserve(static_cast<size_t>(n) + 1);
    starts.push_back(0);
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* token = PyTuple_GET_ITEM(tokens.get(), i);
      if (!PyBytes_Check(token)) {
        PyErr_Format(PyExc_TypeError, "token of rank %zd is %.100s, not bytes", i,
                     Py_TYPE(token)->tp_name);
        return nullptr;
      }
      const char* data = PyBytes_AS_STRING(token);
      bytes.insert(bytes.end(), data, data + PyBytes_GET_SIZE(token));
      if (bytes.size() > UINT32_MAX) throw std::bad_alloc();
      starts.push_back(static_cast<uint32_t>(bytes.size()));
    }
    auto state = std::make_unique<CoreState>();
    if (!read_specials(args[2], *state)) return nullptr;
    std::string vocabulary_error;
    run_maybe_unlocked(true, [&] {
      try {
        state->owned = build_custom_tokenizer(bytes.data(), starts.data(),
                                              static_cast<uint32_t>(n), exact_splitter(rules));
      } catch (const VocabularyError& error) {
        vocabulary_error = error.what();
      }
      return true;
    });
    if (!vocabulary_error.empty()) {
      PyErr_SetString(PyExc_ValueError, vocabulary_error.c_str());
      return nullptr;
    }
    state->tokenizer = &state->owned->tokenizer;
    return new_core(std::move(state));
  } catch (...) {
    set_error_from_current_exception();
    return nullptr;
  }
}

}  // namespace

PyMethodDef native_functions[] = {
    {"builtin", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(native_builtin)),
     METH_FASTCALL, "builtin(rules, special_tokens) -> Core over a built-in vocabulary"},
    {"custom", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(native_custom)),
     METH_FASTCALL, "custom(tokens, rules, special_tokens) -> Core over the given vocabulary"},
    {nullptr, nullptr, 0, nullptr},
};

void init_core_type() {
  PyTypeObject& type = CoreType;
  type.tp_name = "tessel.bpe._native.Core";
  type.tp_basicsize = sizeof(CoreObject);
  type.tp_itemsize = 0;
  type.tp_dealloc = core_dealloc;
  type.tp_flags = Py_TPFLAGS_DEFAULT;
  type.tp_doc = "The native engine under tessel.Encoding; made by builtin() or custom().";
  type.tp_methods = core_methods;
  type.tp_new = PyType_GenericNew;
}

}  // namespace tessel::python
