#include "binding/core_bpe_type.h"

#include <cstddef>
#include <new>
#include <string>
#include <utility>

#include "binding/arguments.h"
#include "binding/conversions.h"
#include "binding/errors.h"
#include "binding/entry.h"
#include "binding/guard.h"
#include "binding/lazy_type.h"
#include "bpe/decoder.h"
#include "bpe/encoder.h"
#include "bpe/model.h"

namespace morfex::py {
namespace {

struct CoreBPEObject {
  PyObject_HEAD
  bpe::Model model;
  std::size_t borrow_count;
};

constexpr std::size_t kExclusivelyBorrowed = ~std::size_t{0};

constexpr const char* kClassName = "CoreBPE";
constexpr const char* kClassSignature = "(vocab, merges)";
constexpr const char* kClassDocBody =
    "Morphology-aware BPE encoder/decoder over boundary-annotated surface tokens."
    "\n\nThe morpheme boundary constraint (no merges across \u2581) is enforced entirely\n"
    "at training time \u2014 pairs containing \u2581 are never added to the merge table.\n"
    "This encoder therefore requires no special-casing: \u2581 pairs simply have no\n"
    "entry in merge_ranks and are never selected by the greedy algorithm.";

constexpr const char* kNewParameters[] = {"vocab", "merges"};
constexpr const char* kEncodeParameters[] = {"text"};
constexpr const char* kDecodeParameters[] = {"ids"};
constexpr FunctionDescription kNew{kClassName, "__new__", kNewParameters, 2};
constexpr FunctionDescription kEncode{kClassName, "encode", kEncodeParameters, 1};
constexpr FunctionDescription kDecode{kClassName, "decode", kDecodeParameters, 1};

// A shared borrow of a CoreBPE instance for the length of one method call.
class SharedBorrow {
 public:
  explicit SharedBorrow(PyObject* self) {
    PyObject* type = core_bpe_type();
    if (reinterpret_cast<PyObject*>(Py_TYPE(self)) != type &&
        !PyType_IsSubtype(Py_TYPE(self), reinterpret_cast<PyTypeObject*>(type))) {
      throw type_mismatch(self, kClassName);
    }
    auto* object = reinterpret_cast<CoreBPEObject*>(self);
    if (object->borrow_count == kExclusivelyBorrowed) {
      throw PyError::lazy(PyExc_RuntimeError, "Already mutably borrowed");
    }
    ++object->borrow_count;
    self_ = Ref::new_ref(self);
  }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;
  ~SharedBorrow() { --object()->borrow_count; }

  const bpe::Model& model() const noexcept { return object()->model; }

 private:
  CoreBPEObject* object() const noexcept { return reinterpret_cast<CoreBPEObject*>(self_.get()); }
  Ref self_;
};

Ref core_bpe_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* bound[2] = {};
  bind_tuple_dict(kNew, args, kwargs, bound);
  bpe::TokenToId vocab = convert_argument("vocab", [&] { return to_vocab(bound[0]); });
  bpe::MergeRanks ranks = convert_argument("merges", [&] { return to_merge_ranks(bound[1]); });
  bpe::Model model = bpe::Model::from_ranks(std::move(vocab), std::move(ranks));
  allocfunc alloc = type->tp_alloc != nullptr ? type->tp_alloc : PyType_GenericAlloc;
  Ref self = Ref::steal(alloc(type, 0));
  if (!self) throw_fetched();
  auto* object = reinterpret_cast<CoreBPEObject*>(self.get());
  new (&object->model) bpe::Model(std::move(model));
  object->borrow_count = 0;
  return self;
}

Ref core_bpe_encode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[1] = {};
  bind_fastcall(kEncode, args, nargs, kwnames, bound);
  SharedBorrow borrow(self);
  Utf8Text utf8;
  const std::string_view text = convert_argument("text", [&] { return to_str_view(bound[0], utf8); });
  bpe::IdBuffer ids;
  bpe::encode(borrow.model(), text, ids);
  return Ref::steal(ids_to_list(ids));
}

Ref core_bpe_decode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[1] = {};
  bind_fastcall(kDecode, args, nargs, kwnames, bound);
  SharedBorrow borrow(self);
  bpe::IdBuffer ids;
  convert_argument("ids", [&] { to_ids(bound[0], ids); });
  bpe::TextBuffer text;
  const bpe::TextShape shape = bpe::decode(borrow.model(), ids, text);
  return Ref::steal(text_to_str(std::string_view(text.data(), text.size()), shape));
}

void clear(CoreBPEObject& object) { object.model.~Model(); }

PyMethodDef g_methods[] = {
    {"encode", fastcall<core_bpe_encode>(), METH_FASTCALL | METH_KEYWORDS,
     "encode($self, text)\n--\n\n"
     "Encode a boundary-annotated surface token into BPE token IDs.\n\n"
     "The input is a single pre-segmented token string such as \"k\u2581um\u2581ain\".\n"
     "Pairs spanning \u2581 are absent from merge_ranks and are never merged."},
    {"decode", fastcall<core_bpe_decode>(), METH_FASTCALL | METH_KEYWORDS,
     "decode($self, ids)\n--\n\n"
     "Decode a sequence of token IDs back to readable text.\n\n"
     "Special tokens are silently dropped; boundary markers are removed."},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* create_type() {
  static const std::string class_doc = std::string(kClassName) + kClassSignature + "\n--\n\n" + kClassDocBody;
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(class_doc.c_str())},
      {Py_tp_new, new_slot<core_bpe_new>()},
      {Py_tp_methods, g_methods},
      {Py_tp_base, &PyBaseObject_Type},
      {Py_tp_dealloc, dealloc_slot<CoreBPEObject, clear>()},
      {0, nullptr},
  };
  return type_from_spec("builtins.CoreBPE", static_cast<int>(sizeof(CoreBPEObject)), Py_TPFLAGS_DEFAULT, slots);
}

constinit LazyType g_type{create_type};

}  // namespace

PyObject* core_bpe_type() { return g_type.get(); }

}  // namespace morfex::py
