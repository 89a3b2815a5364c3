// The class ZeltoMatrix: its entries, method table and attributes.
#pragma once

#include "binding/classes.hpp"

namespace zelto::binding {

// What the class object of ZeltoMatrix is created from.
extern const ClassDescription kMatrixClass;

}  // namespace zelto::binding
