// The morfex._trainer module: one function that trains a model from a corpus
// held in a str, with the interpreter lock released while it works.

#include <array>
#include <cstddef>
#include <string_view>

#include "binding/arguments.h"
#include "binding/conversions.h"
#include "binding/errors.h"
#include "binding/guard.h"
#include "binding/python.h"
#include "binding/unlocked.h"
#include "train/corpus.h"
#include "train/trainer.h"

namespace morfex::py {
namespace {

constexpr std::array<const char*, 5> kTrainParameters = {"corpus", "vocab_size", "min_frequency",
                                                         "alphabet_limit", "progress"};
const FunctionDescription kTrain{nullptr, "train", kTrainParameters, kTrainParameters.size()};

std::size_t to_size(const char* name, PyObject* obj) {
  return convert_argument(name, [obj] {
    const std::size_t value = PyLong_AsSize_t(obj);
    if (value == static_cast<std::size_t>(-1) && PyErr_Occurred()) throw_fetched();
    return value;
  });
}

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

Ref train(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, kTrainParameters.size()> bound{};
  bind_fastcall(kTrain, args, nargs, kwnames, bound);
  const std::string_view corpus = convert_argument("corpus", [&] { return to_str_view(bound[0]); });
  train::TrainOptions options;
  options.vocab_size = to_size("vocab_size", bound[1]);
  options.min_frequency = to_size("min_frequency", bound[2]);
  options.alphabet_limit = to_size("alphabet_limit", bound[3]);
  PyObject* progress = bound[4] == Py_None ? nullptr : bound[4];

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
    try {
      model = train::train(train::count_morphemes(corpus), options, report);
    } catch (const train::CorpusError& error) {
      throw PyError::lazy(PyExc_ValueError, error.what());
    }
  }
  return model_to_python(model);
}

PyObject* train_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guard([&] { return train(args, nargs, kwnames); });
}

PyMethodDef g_methods[] = {
    {"train", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(train_entry)),
     METH_FASTCALL | METH_KEYWORDS,
     "train($module, corpus, vocab_size, min_frequency, alphabet_limit, progress)\n--\n\n"
     "Train a boundary-respecting BPE model on a corpus of segmented words.\n\n"
     "Returns (tokens, merges): the token strings in id order and the merge pairs\n"
     "in rank order. Raises ValueError naming the line of a malformed corpus."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "morfex._trainer", "Native core of the morfex trainer.", 0, g_methods,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace morfex::py

PyMODINIT_FUNC PyInit__trainer() {
  return morfex::py::guard([] {
    morfex::py::Ref module = morfex::py::Ref::steal(PyModule_Create(&morfex::py::g_module_def));
    if (!module) morfex::py::throw_fetched();
    return module;
  });
}
