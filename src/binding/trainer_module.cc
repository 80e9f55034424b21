// The morfex._trainer module: training from a corpus held in a str or from
// counted units, with the interpreter lock released while it works.

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string_view>

#include "binding/arguments.h"
#include "binding/conversions.h"
#include "binding/errors.h"
#include "binding/entry.h"
#include "binding/module_init.h"
#include "binding/python.h"
#include "binding/segment_trainer.h"
#include "binding/unlocked.h"
#include "train/corpus.h"
#include "train/trainer.h"

namespace morfex::py {
namespace {

constexpr std::array<const char*, 6> kTrainParameters = {"corpus", "vocab_size", "min_frequency",
                                                         "alphabet_limit", "byte_fallback", "progress"};
const FunctionDescription kTrain{nullptr, "train", kTrainParameters, kTrainParameters.size()};
constexpr std::array<const char*, 6> kTrainCountsParameters = {
    "units", "vocab_size", "min_frequency", "alphabet_limit", "byte_fallback", "progress"};
const FunctionDescription kTrainCounts{nullptr, "train_counts", kTrainCountsParameters,
                                       kTrainCountsParameters.size()};
using Bound = std::array<PyObject*, kTrainParameters.size()>;
// The longest the trainer works on without looking for Ctrl-C.
constexpr std::chrono::milliseconds kSignalInterval{10};

// A vocabulary holds at most one token per id.
constexpr std::uint64_t kMaxVocabSize = std::uint64_t{std::numeric_limits<bpe::TokenId>::max()} + 1;
// The largest min_frequency and alphabet_limit: any count the trainer can hold.
constexpr auto kMaxCount = static_cast<std::size_t>(PY_SSIZE_T_MAX);

Ref model_to_python(const train::TrainedModel& model) {
  Ref tokens = Ref::steal(require_created(PyList_New(static_cast<Py_ssize_t>(model.tokens.size()))));
  for (std::size_t i = 0; i < model.tokens.size(); ++i) {
    PyList_SET_ITEM(tokens.get(), static_cast<Py_ssize_t>(i), text_to_str(model.tokens[i]));
  }
  Ref merges = Ref::steal(require_created(PyList_New(static_cast<Py_ssize_t>(model.merges.size()))));
  for (std::size_t i = 0; i < model.merges.size(); ++i) {
    Ref left = Ref::steal(text_to_str(model.merges[i].first));
    Ref right = Ref::steal(text_to_str(model.merges[i].second));
    PyList_SET_ITEM(merges.get(), static_cast<Py_ssize_t>(i),
                    require_created(PyTuple_Pack(2, left.get(), right.get())));
  }
  return Ref::steal(require_created(PyTuple_Pack(2, tokens.get(), merges.get())));
}

train::TrainOptions to_options(const Bound& bound) {
  train::TrainOptions options;
  options.vocab_size = to_size("vocab_size", bound[1], 0, kMaxVocabSize);
  options.min_frequency = to_size("min_frequency", bound[2], 1, kMaxCount);
  options.alphabet_limit = to_size("alphabet_limit", bound[3], 0, kMaxCount);
  options.byte_fallback = to_bool("byte_fallback", bound[4]);
  return options;
}

std::string repr_text(PyObject* obj) {
  Ref repr = Ref::steal(PyObject_Repr(obj));
  if (!repr) throw_fetched();
  return str_text(repr.get());
}

// Each unit is a segmented piece of text; a count fits the corpus file's
// bound, so no pair count can overflow.
train::MorphemeCounts to_morpheme_counts(PyObject* units) {
  if (!PyDict_Check(units)) {
    throw PyError::lazy(PyExc_TypeError, std::string("units must be a dict, not ") + Py_TYPE(units)->tp_name);
  }
  train::MorphemeCounts morphemes;
  Py_ssize_t pos = 0;
  PyObject* unit = nullptr;
  PyObject* count = nullptr;
  while (PyDict_Next(units, &pos, &unit, &count)) {
    if (!PyUnicode_Check(unit)) {
      throw PyError::lazy(PyExc_TypeError, std::string("a unit must be a str, not ") + Py_TYPE(unit)->tp_name);
    }
    const std::string_view text = to_str_view(unit);
    if (!PyLong_Check(count) || PyBool_Check(count)) {
      throw PyError::lazy(PyExc_TypeError, "count of " + repr_text(unit) + " must be an int, not " +
                                               Py_TYPE(count)->tp_name);
    }
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(count, &overflow);
    if (value == -1 && PyErr_Occurred()) throw_fetched();
    if (overflow != 0 || value < 1 || static_cast<unsigned long long>(value) > train::kMaxLineCount) {
      throw PyError::lazy(PyExc_ValueError, "count of " + repr_text(unit) + " must be from 1 to " +
                                                std::to_string(train::kMaxLineCount) + ", not " +
                                                repr_text(count));
    }
    train::add_morphemes(morphemes, text, static_cast<train::Count>(value));
  }
  return morphemes;
}

// Trains without the interpreter lock; `morphemes` must not borrow from Python.
Ref run_training(const train::MorphemeCounts& morphemes, const train::TrainOptions& options,
                 PyObject* progress) {
  if (morphemes.empty()) throw PyError::lazy(PyExc_ValueError, "no words to train on");
  train::TrainedModel model;
  {
    Unlocked unlocked;
    // Progress calls also let Ctrl-C stop a long run.
    const train::Progress report = [&](std::size_t done, std::size_t total) {
      unlocked.locked([&] {
        if (PyErr_CheckSignals() < 0) throw_fetched();
        if (progress == nullptr) return;
        Ref result = Ref::steal(PyObject_CallFunction(progress, "nn", static_cast<Py_ssize_t>(done),
                                                      static_cast<Py_ssize_t>(total)));
        if (!result) throw_fetched();
      });
    };
    // Between merges, Ctrl-C is looked for at most every kSignalInterval.
    auto last_check = std::chrono::steady_clock::now();
    const train::Poll poll = [&] {
      const auto now = std::chrono::steady_clock::now();
      if (now - last_check < kSignalInterval) return;
      last_check = now;
      unlocked.locked([] {
        if (PyErr_CheckSignals() < 0) throw_fetched();
      });
    };
    model = train::train(morphemes, options, report, poll);
  }
  return model_to_python(model);
}

PyObject* progress_of(PyObject* obj) { return obj == Py_None ? nullptr : obj; }

Ref train(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Bound bound{};
  bind_fastcall(kTrain, args, nargs, kwnames, bound);
  const std::string_view corpus = convert_argument("corpus", [&] { return to_str_view(bound[0]); });
  const train::TrainOptions options = to_options(bound);
  train::MorphemeCounts morphemes;
  {
    Unlocked unlocked;  // a lazy error touches no Python object until raised
    try {
      morphemes = train::count_morphemes(corpus);
    } catch (const train::CorpusError& error) {
      throw PyError::lazy(PyExc_ValueError, error.what());
    }
  }
  return run_training(morphemes, options, progress_of(bound[5]));
}

Ref train_counts(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Bound bound{};
  bind_fastcall(kTrainCounts, args, nargs, kwnames, bound);
  const train::TrainOptions options = to_options(bound);
  return run_training(to_morpheme_counts(bound[0]), options, progress_of(bound[5]));
}

PyMethodDef g_methods[] = {
    {"train", fastcall<train>(), METH_FASTCALL | METH_KEYWORDS,
     "train($module, corpus, vocab_size, min_frequency, alphabet_limit, byte_fallback, progress)\n--\n\n"
     "Train a boundary-respecting BPE model on a corpus of segmented words.\n\n"
     "Returns (tokens, merges): the token strings in id order and the merge pairs\n"
     "in rank order. Raises ValueError naming the line of a malformed corpus."},
    {"train_counts", fastcall<train_counts>(), METH_FASTCALL | METH_KEYWORDS,
     "train_counts($module, units, vocab_size, min_frequency, alphabet_limit, byte_fallback, progress)\n--\n\n"
     "Train like train() on a dict of segmented units and their counts.\n\n"
     "Each count is an int from 1 to 4294967295."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "morfex._trainer", "Native core of the morfex trainer.", 0, g_methods,
    nullptr, nullptr, nullptr, nullptr,
};

Ref make_module() {
  Ref module = Ref::steal(PyModule_Create(&g_module_def));
  if (!module) throw_fetched();
  add_segment_trainer_functions(module.get());
  add_constant(module.get(), "MAX_VOCAB_SIZE", kMaxVocabSize);
  add_constant(module.get(), "MAX_COUNT", kMaxCount);
  add_constant(module.get(), "MAX_UNIT_COUNT", train::kMaxLineCount);
  return module;
}

ModuleSlot g_module{"morfex._trainer"};

}  // namespace
}  // namespace morfex::py

PyMODINIT_FUNC PyInit__trainer() { return morfex::py::init_module(morfex::py::g_module, morfex::py::make_module); }
