// TEMPORARY: placeholder module root until the boundary layer lands.
#define Py_LIMITED_API 0x03080000
#include <Python.h>

static PyModuleDef zelto_module = {PyModuleDef_HEAD_INIT, "zelto_ml", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

PyMODINIT_FUNC PyInit_zelto_ml(void) { return PyModule_Create2(&zelto_module, 3); }
