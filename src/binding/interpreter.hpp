// What the module needs to know about the interpreter it runs in, decided at run time so one
// build serves every CPython 3 from 3.8 on.
#pragma once

namespace zelto::binding {

struct PythonVersion {
  long major;
  long minor;
};

// The running interpreter's version, read once from Py_GetVersion.
PythonVersion interpreter_version() noexcept;

// False when the calling thread runs in a subinterpreter. Only interpreters from 3.9 on can say
// so through their stable ABI; on 3.8 every interpreter counts as the main one.
bool in_main_interpreter() noexcept;

}  // namespace zelto::binding
