// morfex._engine.Segmenter: a Morfessor Baseline model (src/segment/) that
// segments one word, or a batch on several threads without the interpreter lock.

#include "binding/segmenter_type.h"

#include <algorithm>
#include <array>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "binding/arguments.h"
#include "binding/batch_inputs.h"
#include "binding/buffer.h"
#include "binding/conversions.h"
#include "binding/engine_object.h"
#include "binding/errors.h"
#include "binding/entry.h"
#include "binding/lazy_type.h"
#include "binding/unlocked.h"
#include "bpe/vocabulary.h"
#include "engine/batch.h"
#include "segment/model.h"
#include "segment/segmentation_file.h"

namespace morfex::py {
namespace {

struct SegmenterObject {
  PyObject_HEAD
  std::unique_ptr<segment::Model> model;
};

constexpr const char* kClassName = "Segmenter";
constexpr const char* kFileParameters[] = {"data", "name", "separator"};
constexpr const char* kCountsParameters[] = {"counts"};
constexpr const char* kMorphsParameters[] = {"morphs", "words", "corpus_weight"};
constexpr const char* kBatchParameters[] = {"words", "threads"};
constexpr FunctionDescription kFromSegmentations{kClassName, "from_segmentations", kFileParameters, 3};
constexpr FunctionDescription kFromCounts{kClassName, "from_counts", kCountsParameters, 1};
constexpr FunctionDescription kFromMorphs{kClassName, "from_morphs", kMorphsParameters, 2};
constexpr FunctionDescription kSegmentBatch{kClassName, "segment_batch", kBatchParameters, 2};

PyObject* create_type();
constinit LazyType g_type{create_type};

SegmenterObject* segmenter_of(PyObject* self) { return g_type.cast<SegmenterObject>(self, kClassName); }

Ref wrap(PyObject* type_obj, segment::MorphCounts counts) {
  std::unique_ptr<segment::Model> model;
  try {
    model = std::make_unique<segment::Model>(std::move(counts));
  } catch (const segment::InputError& error) {
    throw PyError::lazy(PyExc_ValueError, error.what());
  }
  auto* type = reinterpret_cast<PyTypeObject*>(type_obj);
  Ref self = Ref::steal(type->tp_alloc(type, 0));
  if (!self) throw_fetched();
  new (&reinterpret_cast<SegmenterObject*>(self.get())->model) std::unique_ptr<segment::Model>(std::move(model));
  return self;
}

// A count as the loader takes it: an int (not a bool) from 1 to kMaxCount.
std::int64_t to_count(PyObject* obj, const std::string& what) {
  if (!PyLong_Check(obj) || PyBool_Check(obj)) {
    throw PyError::lazy(PyExc_TypeError, what + " must be an int, not " + Py_TYPE(obj)->tp_name);
  }
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(obj, &overflow);
  if (value == -1 && PyErr_Occurred()) throw_fetched();
  if (overflow != 0 || value < 1 || value > segment::kMaxCount) {
    throw PyError::lazy(PyExc_ValueError, what + " must be from 1 to " + std::to_string(segment::kMaxCount) +
                                              ", got " + str_text(obj));
  }
  return value;
}

Ref from_segmentations(PyObject* type, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, 3> bound{};
  bind_fastcall(kFromSegmentations, args, nargs, kwnames, bound);
  if (PyUnicode_Check(bound[0])) throw type_mismatch(bound[0], "bytes-like object");
  BufferView data(bound[0], PyBUF_SIMPLE);
  const std::string name(convert_argument("name", [&] { return to_str_view(bound[1]); }));
  const std::string separator(convert_argument("separator", [&] { return to_str_view(bound[2]); }));
  const std::string_view text(static_cast<const char*>(data.data()), data.bytes());
  segment::SegmentationLoader loader;
  std::string failure;
  {
    Unlocked unlocked;
    try {
      segment::read_segmentations(text, separator, loader);
    } catch (const segment::InputError& error) {
      failure = name;
      if (error.line() != 0) failure.append(", line ").append(std::to_string(error.line()));
      failure.append(": ").append(error.what());
    }
  }
  if (!failure.empty()) throw PyError::lazy(PyExc_ValueError, failure);
  segment::MorphCounts counts = loader.counts();
  if (counts.morphs.empty()) throw PyError::lazy(PyExc_ValueError, name + ": holds no segmented words");
  return wrap(type, std::move(counts));
}

// Splits a segmented word at each U+2581.
void split_morphs(std::string_view word, std::vector<std::string_view>& morphs) {
  constexpr std::string_view kMarker = bpe::kBoundaryMarker;
  morphs.clear();
  for (std::size_t cut; (cut = word.find(kMarker)) != std::string_view::npos; word.remove_prefix(cut + kMarker.size())) {
    morphs.push_back(word.substr(0, cut));
  }
  morphs.push_back(word);
}

Ref from_counts(PyObject* type, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, 1> bound{};
  bind_fastcall(kFromCounts, args, nargs, kwnames, bound);
  Ref items = batch_sequence(bound[0], "counts", "(segmented word, count) pairs");
  segment::SegmentationLoader loader;
  std::vector<std::string_view> morphs;
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
    Ref item = Ref::new_ref(PySequence_Fast_GET_ITEM(items.get(), i));
    if (!PyTuple_Check(item.get()) || PyTuple_GET_SIZE(item.get()) != 2) {
      throw PyError::lazy(PyExc_TypeError, "item " + std::to_string(i) +
                                               " of counts must be a (segmented word, count) pair, not " +
                                               Py_TYPE(item.get())->tp_name);
    }
    PyObject* word = PyTuple_GET_ITEM(item.get(), 0);
    if (!PyUnicode_Check(word)) {
      throw PyError::lazy(PyExc_TypeError, std::string("segmented word must be a str, not ") + Py_TYPE(word)->tp_name);
    }
    const std::string_view text = to_str_view(word);
    std::string quoted(1, '\'');
    quoted.append(text).push_back('\'');
    const std::int64_t count = to_count(PyTuple_GET_ITEM(item.get(), 1), "count of " + quoted);
    split_morphs(text, morphs);
    try {
      loader.add(count, morphs);
    } catch (const segment::InputError& error) {
      throw PyError::lazy(PyExc_ValueError, quoted + ": " + error.what());
    }
  }
  return wrap(type, loader.counts());
}

Ref from_morphs(PyObject* type, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, 3> bound{};
  bind_fastcall(kFromMorphs, args, nargs, kwnames, bound);
  if (!PyDict_Check(bound[0])) throw type_mismatch(bound[0], "dict");
  segment::MorphCounts counts;
  counts.words = to_count(bound[1], "words");
  if (bound[2] != nullptr) {
    if (!PyFloat_Check(bound[2])) throw type_mismatch(bound[2], "float");
    counts.corpus_weight = PyFloat_AS_DOUBLE(bound[2]);
  }
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(bound[0], &pos, &key, &value)) {
    if (!PyUnicode_Check(key)) {
      throw PyError::lazy(PyExc_TypeError, std::string("morph must be a str, not ") + Py_TYPE(key)->tp_name);
    }
    std::string morph(to_str_view(key));
    const std::int64_t count = to_count(value, "count of morph '" + morph + "'");
    counts.morphs.emplace_back(std::move(morph), count);
  }
  std::sort(counts.morphs.begin(), counts.morphs.end());
  return wrap(type, std::move(counts));
}

Ref segment_word(PyObject* self, PyObject* word) {
  const segment::Model& model = *segmenter_of(self)->model;
  const std::string_view text = convert_argument("word", [&] { return to_str_view(word); });
  std::string out;
  model.segment(text, out);
  return Ref::steal(text_to_str(out));
}

Ref segment_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, 2> bound{};
  bind_fastcall(kSegmentBatch, args, nargs, kwnames, bound);
  const segment::Model& model = *segmenter_of(self)->model;
  const std::size_t threads = to_threads(bound[1]);
  Ref sequence = batch_sequence(bound[0], "words", "str");
  Ref result = Ref::steal(require_created(PyList_New(0)));
  PollingSession polling(threads);
  std::vector<engine::WordRef> block;
  std::vector<std::string_view> segmented;
  for_each_block(sequence.get(), [&](std::span<const Ref> items, std::size_t first) {
    words_of_block(items, first, block);
    const std::size_t failed =
        polling.unlocked([&](engine::Session& session) { return session.segment(block, model, segmented); });
    if (failed != engine::kNoWord) raise_unencodable(items[failed].get(), first + failed);
    for (const std::string_view text : segmented) {
      Ref word = Ref::steal(text_to_str(text));
      if (PyList_Append(result.get(), word.get()) < 0) throw_fetched();
    }
  });
  return result;
}

Ref morphs(PyObject* self, PyObject*) {
  const segment::MorphCounts& counts = segmenter_of(self)->model->counts();
  Ref dict = Ref::steal(require_created(PyDict_New()));
  for (const auto& [morph, count] : counts.morphs) {
    Ref key = Ref::steal(text_to_str(morph));
    Ref value = Ref::steal(require_created(PyLong_FromLongLong(count)));
    if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) throw_fetched();
  }
  return dict;
}

Ref get_words(PyObject* self) {
  return Ref::steal(require_created(PyLong_FromLongLong(segmenter_of(self)->model->counts().words)));
}

Ref get_corpus_weight(PyObject* self) {
  return Ref::steal(require_created(PyFloat_FromDouble(segmenter_of(self)->model->counts().corpus_weight)));
}

PyObject* richcompare(PyObject* self, PyObject* other, int op) noexcept {
  return guard([&] {
    if ((op != Py_EQ && op != Py_NE) || !g_type.holds(other)) return Ref::new_ref(Py_NotImplemented);
    const bool equal = *segmenter_of(self)->model == *segmenter_of(other)->model;
    return Ref::new_ref(equal == (op == Py_EQ) ? Py_True : Py_False);
  });
}

void clear(SegmenterObject& object) { object.model.~unique_ptr(); }

PyMethodDef g_methods[] = {
    {"from_segmentations", fastcall<from_segmentations>(), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_segmentations($type, data, name, separator)\n--\n\n"
     "A model loaded from the UTF-8 text of a Morfessor segmentation file; errors name `name` and the line."},
    {"from_counts", fastcall<from_counts>(), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_counts($type, counts)\n--\n\n"
     "A model loaded from (segmented word, count) pairs, U+2581 between morphs, in order."},
    {"from_morphs", fastcall<from_morphs>(), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_morphs($type, morphs, words, corpus_weight=1.0)\n--\n\n"
     "A model from its morph counts, its number of words and its corpus weight."},
    {"segment", unary<segment_word>(), METH_O,
     "segment($self, word, /)\n--\n\nThe word with U+2581 between its morphs."},
    {"segment_batch", fastcall<segment_batch>(), METH_FASTCALL | METH_KEYWORDS,
     "segment_batch($self, words, threads)\n--\n\nEvery word segmented, on up to `threads` threads."},
    {"morphs", unary<morphs>(), METH_NOARGS,
     "morphs($self, /)\n--\n\nThe count of each morph, morphs in code point order."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_getset[] = {
    {"words", getter_of<get_words>(), nullptr, "The number of words (with repeats) the morphs were counted over.", nullptr},
    {"corpus_weight", getter_of<get_corpus_weight>(), nullptr, "The weight of the corpus against the lexicon.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* create_type() {
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>("A Morfessor Baseline model that segments words into morphs.")},
      {Py_tp_methods, g_methods},
      {Py_tp_getset, g_getset},
      {Py_tp_richcompare, reinterpret_cast<void*>(richcompare)},
      {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
      {Py_tp_dealloc, dealloc_slot<SegmenterObject, clear>()},
      {0, nullptr},
  };
  return type_from_spec("morfex._engine.Segmenter", static_cast<int>(sizeof(SegmenterObject)),
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots);
}

}  // namespace

const segment::Model* segmenter_model(PyObject* obj) noexcept {
  return g_type.holds(obj) ? reinterpret_cast<SegmenterObject*>(obj)->model.get() : nullptr;
}

PyObject* segmenter_type() { return g_type.get(); }

}  // namespace morfex::py
