// The segmenter trainer of morfex._trainer: Morfessor Baseline trained
// natively, with the interpreter lock released while it works. The Python
// side resolves defaults and normalises the words; this layer converts them.

#include "binding/segment_trainer.h"

#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "binding/arguments.h"
#include "binding/conversions.h"
#include "binding/errors.h"
#include "binding/entry.h"
#include "binding/module_init.h"
#include "binding/unlocked.h"
#include "segment/trainer.h"

namespace morfex::py {
namespace {

constexpr std::array<const char*, 9> kTrainParameters = {
    "words", "annotations", "dampening",        "corpus_weight", "annotation_weight",
    "seed",  "max_epochs",  "finish_threshold", "progress"};
const FunctionDescription kTrainSegmenter{nullptr, "train_segmenter", kTrainParameters, kTrainParameters.size()};
constexpr std::array<const char*, 5> kCostParameters = {"segmentations", "annotations", "dampening",
                                                        "corpus_weight", "annotation_weight"};
const FunctionDescription kSegmentationCost{nullptr, "segmentation_cost", kCostParameters, kCostParameters.size()};

std::string to_text(PyObject* obj, const char* what) {
  if (!PyUnicode_Check(obj)) {
    throw PyError::lazy(PyExc_TypeError, std::string(what) + " must be a str, not " + Py_TYPE(obj)->tp_name);
  }
  return std::string(to_str_view(obj));
}

// An int (not a bool); std::nullopt when it does not fit 64 bits.
std::optional<std::int64_t> to_int64(PyObject* obj, const char* what) {
  if (!PyLong_Check(obj) || PyBool_Check(obj)) {
    throw PyError::lazy(PyExc_TypeError, std::string(what) + " must be an int, not " + Py_TYPE(obj)->tp_name);
  }
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(obj, &overflow);
  if (value == -1 && PyErr_Occurred()) throw_fetched();
  if (overflow != 0) return std::nullopt;
  return value;
}

std::int64_t to_int(PyObject* obj, const char* what) {
  const std::optional<std::int64_t> value = to_int64(obj, what);
  if (!value) throw PyError::lazy(PyExc_OverflowError, std::string(what) + " is out of range");
  return *value;
}

// The word order's seed, which the trainer takes as a signed 64-bit number.
constexpr std::int64_t kMaxSeed = std::numeric_limits<std::int64_t>::max();

std::uint64_t to_seed(PyObject* obj) {
  const std::optional<std::int64_t> value = to_int64(obj, "seed");
  if (!value || *value < 0) {
    throw PyError::lazy(PyExc_ValueError,
                        "seed must be from 0 to " + std::to_string(kMaxSeed) + ", got " + str_text(obj));
  }
  return static_cast<std::uint64_t>(*value);
}

double to_double(PyObject* obj, const char* what) {
  if (!PyFloat_Check(obj)) {
    throw PyError::lazy(PyExc_TypeError, std::string(what) + " must be a float, not " + Py_TYPE(obj)->tp_name);
  }
  return PyFloat_AS_DOUBLE(obj);
}

std::optional<double> to_optional_double(PyObject* obj, const char* what) {
  if (obj == Py_None) return std::nullopt;
  return to_double(obj, what);
}

PyObject* list_item(PyObject* list, Py_ssize_t i) { return PyList_GET_ITEM(list, i); }

void require_list(PyObject* obj, const char* what) {
  if (!PyList_Check(obj)) {
    throw PyError::lazy(PyExc_TypeError, std::string(what) + " must be a list, not " + Py_TYPE(obj)->tp_name);
  }
}

PyObject* tuple_part(PyObject* obj, Py_ssize_t size, Py_ssize_t i, const char* what) {
  if (!PyTuple_Check(obj) || PyTuple_GET_SIZE(obj) != size) {
    throw PyError::lazy(PyExc_TypeError,
                        std::string(what) + " must be a tuple of " + std::to_string(size) + " items");
  }
  return PyTuple_GET_ITEM(obj, i);
}

std::vector<std::string> to_morphs(PyObject* obj) {
  require_list(obj, "an analysis");
  std::vector<std::string> morphs;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj); ++i) morphs.push_back(to_text(list_item(obj, i), "a morph"));
  return morphs;
}

// [(word, [[morph, ...], ...]), ...]
std::vector<segment::GoldWord> to_gold(PyObject* obj, const char* what) {
  require_list(obj, what);
  std::vector<segment::GoldWord> gold;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj); ++i) {
    PyObject* item = list_item(obj, i);
    segment::GoldWord word{to_text(tuple_part(item, 2, 0, "a gold word"), "a gold word"), {}};
    PyObject* analyses = tuple_part(item, 2, 1, "a gold word");
    require_list(analyses, "the analyses of a gold word");
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(analyses); ++k) {
      word.analyses.push_back(to_morphs(list_item(analyses, k)));
    }
    gold.push_back(std::move(word));
  }
  return gold;
}

segment::Dampening to_dampening(PyObject* obj) {
  const std::string name = to_text(obj, "dampening");
  if (name == "none") return segment::Dampening::kNone;
  if (name == "log") return segment::Dampening::kLog;
  if (name == "ones") return segment::Dampening::kOnes;
  throw PyError::lazy(PyExc_ValueError, "dampening must be 'none', 'log' or 'ones', not '" + name + "'");
}

template <class Body>
void translating_input_errors(Body&& body) {
  try {
    body();
  } catch (const segment::InputError& error) {
    throw PyError::lazy(PyExc_ValueError, error.what());
  }
}

Ref counts_to_python(const segment::MorphCounts& counts) {
  Ref morphs = Ref::steal(require_created(PyDict_New()));
  for (const auto& [morph, count] : counts.morphs) {
    Ref key = Ref::steal(text_to_str(morph));
    Ref value = Ref::steal(require_created(PyLong_FromLongLong(count)));
    if (PyDict_SetItem(morphs.get(), key.get(), value.get()) < 0) throw_fetched();
  }
  Ref words = Ref::steal(require_created(PyLong_FromLongLong(counts.words)));
  Ref weight = Ref::steal(require_created(PyFloat_FromDouble(counts.corpus_weight)));
  return Ref::steal(require_created(PyTuple_Pack(3, morphs.get(), words.get(), weight.get())));
}

Ref train_segmenter(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, kTrainParameters.size()> bound{};
  bind_fastcall(kTrainSegmenter, args, nargs, kwnames, bound);
  require_list(bound[0], "words");
  const segment::Dampening dampening = to_dampening(bound[2]);
  std::vector<std::pair<std::string, std::int64_t>> words;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(bound[0]); ++i) {
    PyObject* item = list_item(bound[0], i);
    words.emplace_back(to_text(tuple_part(item, 2, 0, "a counted word"), "a word"),
                       to_int(tuple_part(item, 2, 1, "a counted word"), "a count"));
  }
  const std::vector<segment::GoldWord> annotations = to_gold(bound[1], "annotations");
  segment::TrainerOptions options;
  options.corpus_weight = to_double(bound[3], "corpus_weight");
  const std::optional<double> annotation_weight = to_optional_double(bound[4], "annotation_weight");
  options.seed = to_seed(bound[5]);
  options.max_epochs = static_cast<std::size_t>(to_int(bound[6], "max_epochs"));
  options.finish_threshold = to_double(bound[7], "finish_threshold");
  PyObject* progress = bound[8] == Py_None ? nullptr : bound[8];

  segment::MorphCounts counts;
  segment::TrainingSummary summary;
  {
    Unlocked unlocked;
    // Progress calls also let Ctrl-C stop a long run.
    const segment::EpochProgress report = [&](std::size_t epoch, std::size_t done, std::size_t total) {
      unlocked.locked([&] {
        if (PyErr_CheckSignals() < 0) throw_fetched();
        if (progress == nullptr) return;
        Ref result = Ref::steal(PyObject_CallFunction(progress, "nnn", static_cast<Py_ssize_t>(epoch),
                                                      static_cast<Py_ssize_t>(done),
                                                      static_cast<Py_ssize_t>(total)));
        if (!result) throw_fetched();
      });
    };
    translating_input_errors([&] {
      segment::Trainer trainer(options.corpus_weight);
      for (const auto& [word, count] : words) trainer.add_word(word, segment::dampened(count, dampening));
      if (!annotations.empty()) trainer.set_annotations(annotations, annotation_weight);
      summary = trainer.train(options, report);
      counts = trainer.counts();
    });
  }
  Ref model = counts_to_python(counts);
  Ref epochs = Ref::steal(require_created(PyLong_FromSize_t(summary.epochs)));
  Ref cost = Ref::steal(require_created(PyFloat_FromDouble(summary.cost)));
  return Ref::steal(require_created(PyTuple_Pack(3, model.get(), epochs.get(), cost.get())));
}

// The cost of words segmented as given, loaded as Morfessor loads a
// segmentation file, with the annotations' first epoch update.
Ref segmentation_cost(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, kCostParameters.size()> bound{};
  bind_fastcall(kSegmentationCost, args, nargs, kwnames, bound);
  require_list(bound[0], "segmentations");
  std::vector<std::tuple<std::string, std::int64_t, std::vector<std::string>>> segmentations;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(bound[0]); ++i) {
    PyObject* item = list_item(bound[0], i);
    segmentations.emplace_back(to_text(tuple_part(item, 3, 0, "a segmentation"), "a word"),
                               to_int(tuple_part(item, 3, 1, "a segmentation"), "a count"),
                               to_morphs(tuple_part(item, 3, 2, "a segmentation")));
  }
  const std::vector<segment::GoldWord> annotations = to_gold(bound[1], "annotations");
  const segment::Dampening dampening = to_dampening(bound[2]);
  const double corpus_weight = to_double(bound[3], "corpus_weight");
  const std::optional<double> annotation_weight = to_optional_double(bound[4], "annotation_weight");
  double cost = 0.0;
  translating_input_errors([&] {
    segment::Trainer trainer(corpus_weight);
    for (const auto& [word, count, morphs] : segmentations) {
      trainer.add_word(word, segment::dampened(count, dampening));
      trainer.set_analysis(word, morphs);
    }
    if (!annotations.empty()) {
      trainer.set_annotations(annotations, annotation_weight);
      trainer.update_annotations();
    }
    cost = trainer.cost();
  });
  return Ref::steal(require_created(PyFloat_FromDouble(cost)));
}

PyMethodDef g_functions[] = {
    {"train_segmenter", fastcall<train_segmenter>(), METH_FASTCALL | METH_KEYWORDS,
     "train_segmenter($module, words, annotations, dampening, corpus_weight, annotation_weight, seed,\n"
     "                max_epochs, finish_threshold, progress)\n--\n\n"
     "Train a Morfessor Baseline model by batch recursive splitting.\n\n"
     "Returns ((morphs, words, corpus_weight), epochs, cost)."},
    {"segmentation_cost", fastcall<segmentation_cost>(), METH_FASTCALL | METH_KEYWORDS,
     "segmentation_cost($module, segmentations, annotations, dampening, corpus_weight, annotation_weight)\n--\n\n"
     "The Morfessor Baseline cost of [(word, count, morphs), ...] segmented as given."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void add_segment_trainer_functions(PyObject* module) {
  if (PyModule_AddFunctions(module, g_functions) < 0) throw_fetched();
  add_constant(module, "MAX_SEGMENTER_SEED", kMaxSeed);
}

}  // namespace morfex::py
