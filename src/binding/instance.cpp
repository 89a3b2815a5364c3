#include "binding/instance.hpp"

#include "core/fatal.hpp"

namespace zelto::binding {

PyRef new_matrix_object(Matrix matrix) {
  PyTypeObject* type = class_object(ClassId::matrix);
  static const allocfunc allocate = class_allocator(type);
  PyRef obj = PyRef::steal(allocate_instance(allocate, type, matrix));
  if (!obj) raise_fatal(msg::fill(msg::kUnwrapFailed, {fetch_pending().debug_form()}));
  return obj;
}

}  // namespace zelto::binding
