// The one way the boundary layer includes the interpreter's C API: limited API at the 3.8 level,
// so one build serves every later CPython 3.
#pragma once

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x03080000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>
