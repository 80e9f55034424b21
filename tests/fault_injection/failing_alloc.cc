// A test-only extension module that makes one chosen allocation of the
// interpreter fail, so that tests reach the paths where creating a result
// object fails without any hook in the product.
//
// fail_allocation(n) makes the n-th allocation from then on (counting the
// object and the general memory domain, both used only under the interpreter
// lock) return null, once; disarm() stops counting and tells whether that
// allocation was reached. Neither allocates, so neither disturbs the count.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

namespace {

struct Domain {
  PyMemAllocatorDomain domain;
  PyMemAllocatorEx original;
};

Domain g_domains[] = {{PYMEM_DOMAIN_MEM, {}}, {PYMEM_DOMAIN_OBJ, {}}};
bool g_installed = false;
Py_ssize_t g_remaining = 0;  // allocations until the failing one; 0 when disarmed
bool g_fired = false;

// Whether the allocation being made now is the one chosen to fail.
bool chosen() {
  if (g_remaining == 0 || --g_remaining != 0) return false;
  g_fired = true;
  return true;
}

PyMemAllocatorEx& original(void* ctx) { return static_cast<Domain*>(ctx)->original; }

void* failing_malloc(void* ctx, std::size_t size) {
  if (chosen()) return nullptr;
  return original(ctx).malloc(original(ctx).ctx, size);
}

void* failing_calloc(void* ctx, std::size_t count, std::size_t size) {
  if (chosen()) return nullptr;
  return original(ctx).calloc(original(ctx).ctx, count, size);
}

void* failing_realloc(void* ctx, void* ptr, std::size_t size) {
  if (chosen()) return nullptr;
  return original(ctx).realloc(original(ctx).ctx, ptr, size);
}

void passing_free(void* ctx, void* ptr) { original(ctx).free(original(ctx).ctx, ptr); }

// Wraps the allocators in place once; blocks made before still go to the
// allocator that made them, since every call is passed on to it.
void install() {
  if (g_installed) return;
  for (Domain& domain : g_domains) {
    PyMem_GetAllocator(domain.domain, &domain.original);
    PyMemAllocatorEx wrapper = {&domain, failing_malloc, failing_calloc, failing_realloc, passing_free};
    PyMem_SetAllocator(domain.domain, &wrapper);
  }
  g_installed = true;
}

PyObject* fail_allocation(PyObject*, PyObject* arg) {
  const Py_ssize_t n = PyLong_AsSsize_t(arg);
  if (n == -1 && PyErr_Occurred()) return nullptr;
  if (n < 1) {
    PyErr_SetString(PyExc_ValueError, "n must be at least 1");
    return nullptr;
  }
  install();
  g_fired = false;
  g_remaining = n;
  Py_RETURN_NONE;
}

PyObject* disarm(PyObject*, PyObject*) {
  g_remaining = 0;
  if (g_fired) Py_RETURN_TRUE;
  Py_RETURN_FALSE;
}

PyMethodDef g_methods[] = {
    {"fail_allocation", fail_allocation, METH_O, "Make the n-th allocation from now on fail, once."},
    {"disarm", disarm, METH_NOARGS, "Stop counting; return whether the chosen allocation was reached."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_module = {PyModuleDef_HEAD_INIT, "failing_alloc", nullptr, 0, g_methods,
                        nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_failing_alloc() { return PyModule_Create(&g_module); }
