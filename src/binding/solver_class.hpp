// The class ZeltoSolver: its entries, method table and attributes.
#pragma once

#include "binding/classes.hpp"

namespace zelto::binding {

// What the class object of ZeltoSolver is created from.
extern const ClassDescription kSolverClass;

}  // namespace zelto::binding
