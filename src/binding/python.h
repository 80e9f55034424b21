#pragma once

// The one place that includes the interpreter's header, so that
// PY_SSIZE_T_CLEAN is always defined first.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
