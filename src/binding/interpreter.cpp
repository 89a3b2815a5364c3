#include "binding/interpreter.hpp"

#include <dlfcn.h>

#include <cstdlib>

#include "binding/python.hpp"

namespace zelto::binding {

PythonVersion interpreter_version() noexcept {
  static const PythonVersion version = [] {
    // "3.11.7 (main, ...)": major and minor are the first two dot-separated numbers.
    const char* text = Py_GetVersion();
    char* end = nullptr;
    const long major = std::strtol(text, &end, 10);
    const long minor = *end == '.' ? std::strtol(end + 1, nullptr, 10) : 0;
    return PythonVersion{major, minor};
  }();
  return version;
}

// PyInterpreterState_Get joined the stable ABI in 3.9, after the 3.8 level this module is built
// for, so it is looked up in the running interpreter rather than linked: a 3.8 interpreter would
// refuse to load a module that imports it. The main interpreter's ID is 0.
bool in_main_interpreter() noexcept {
  const PythonVersion version = interpreter_version();
  if (version.major == 3 && version.minor < 9) return true;
  using GetInterpreter = PyInterpreterState* (*)();
  static const auto get_interpreter =
      reinterpret_cast<GetInterpreter>(dlsym(RTLD_DEFAULT, "PyInterpreterState_Get"));
  return get_interpreter == nullptr || PyInterpreterState_GetID(get_interpreter()) == 0;
}

}  // namespace zelto::binding
