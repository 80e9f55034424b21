// The arguments every batch method of morfex._engine.Engine takes alike:
// the thread count and the dropout rate with its seed.

#include <cstdint>
#include <string>

#include "binding/conversions.h"
#include "binding/engine_limits.h"
#include "binding/engine_object.h"
#include "binding/errors.h"

namespace morfex::py {

void check_signals() {
  if (PyErr_CheckSignals() < 0) throw_fetched();
}

std::size_t to_threads(PyObject* obj) { return to_size("threads", obj, 1, kMaxThreads); }

engine::DropoutSettings to_dropout(PyObject* rate, PyObject* seed) {
  engine::DropoutSettings settings;
  if (rate != nullptr) {
    settings.rate = convert_argument("dropout", [rate] {
      if (!PyFloat_Check(rate)) throw type_mismatch(rate, "float");
      return PyFloat_AS_DOUBLE(rate);
    });
    if (!(settings.rate >= 0.0 && settings.rate <= 1.0)) {
      throw PyError::lazy(PyExc_ValueError, "dropout must be from 0 to 1, got " + str_text(rate));
    }
  }
  if (seed != nullptr) {
    const bool in_range = convert_argument("seed", [&] {
      if (!PyLong_Check(seed)) throw type_mismatch(seed, "int");
      settings.seed = PyLong_AsUnsignedLongLong(seed);
      if (settings.seed != static_cast<unsigned long long>(-1) || !PyErr_Occurred()) return true;
      if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw_fetched();
      PyErr_Clear();
      return false;
    });
    if (!in_range) {
      throw PyError::lazy(PyExc_ValueError,
                          "seed must be from 0 to " + std::to_string(kMaxSeed) + ", got " + str_text(seed));
    }
  }
  return settings;
}

}  // namespace morfex::py
