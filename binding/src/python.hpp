// The one place that includes the Python C API, so that every source sees it
// configured the same way (sizes as Py_ssize_t, before any standard header).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
