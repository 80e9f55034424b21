// The morfex._engine module: batch encoding and decoding on several threads.
// Python objects are read and made with the interpreter lock held, in tight
// loops over borrowed items; the words are encoded and decoded without it.
// This file makes the module: its types, functions and constants.

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>

#include "binding/engine_limits.h"
#include "binding/engine_methods.h"
#include "binding/engine_text.h"
#include "binding/entry.h"
#include "binding/errors.h"
#include "binding/module_init.h"
#include "binding/owned_buffer.h"
#include "binding/python.h"
#include "binding/segmenter_type.h"
#include "bpe/vocabulary.h"
#include "text/byte_tokens.h"

namespace morfex::py {
namespace {

PyMethodDef g_module_methods[] = {
    {"format_lines", fastcall<format_lines>(), METH_FASTCALL | METH_KEYWORDS,
     "format_lines($module, ids, offsets)\n--\n\n"
     "The decimal text of lines of ids, one space between ids and a line feed after each line."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "morfex._engine", "Native batch engine of morfex.", 0, g_module_methods,
    nullptr, nullptr, nullptr, nullptr,
};

// The limits the methods check and the spellings the core gives tokens.
void add_constants(PyObject* module) {
  add_constant(module, "MAX_ID", kMaxId);
  add_constant(module, "MAX_THREADS", kMaxThreads);
  add_constant(module, "MAX_CACHE_SIZE", kMaxCacheSize);
  add_constant(module, "MAX_SEED", kMaxSeed);
  add_constant(module, "MARKER", bpe::kBoundaryMarker);
  add_constant(module, "UNK_ID", bpe::kDefaultUnkId);
  add_constant(module, "UNK_TOKEN", bpe::kUnknownToken);
  std::array<std::string, bpe::kSpecialTokens.size()> special;
  std::copy(bpe::kSpecialTokens.begin(), bpe::kSpecialTokens.end(), special.begin());
  add_constant(module, "SPECIAL_TOKENS", special);
  std::array<std::string, 256> bytes;
  for (std::size_t b = 0; b < bytes.size(); ++b) {
    const std::array<char, 6> token = text::byte_token(static_cast<std::uint8_t>(b));
    bytes[b].assign(token.begin(), token.end());
  }
  add_constant(module, "BYTE_TOKENS", bytes);
}

Ref make_module() {
  Ref module = Ref::steal(PyModule_Create(&g_module_def));
  if (!module) throw_fetched();
  if (PyModule_AddObjectRef(module.get(), "Engine", engine_type()) < 0) throw_fetched();
  if (PyModule_AddObjectRef(module.get(), "OwnedBuffer", owned_buffer_type()) < 0) throw_fetched();
  add_text_attributes(module.get());
  if (PyModule_AddObjectRef(module.get(), "Segmenter", segmenter_type()) < 0) throw_fetched();
  add_constants(module.get());
  return module;
}

ModuleSlot g_module{"morfex._engine"};

}  // namespace
}  // namespace morfex::py

PyMODINIT_FUNC PyInit__engine() { return morfex::py::init_module(morfex::py::g_module, morfex::py::make_module); }
