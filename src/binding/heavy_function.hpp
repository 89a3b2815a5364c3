// The module function run_heavy_logic: its entry and definition.
#pragma once

#include "binding/python.hpp"

namespace zelto::binding {

// The definition the module body makes the function from; it lives for the process.
extern PyMethodDef kHeavyFunction;

}  // namespace zelto::binding
