#include "binding/matrix_argument.hpp"

#include <string>
#include <utility>

#include "binding/array_input.hpp"
#include "binding/array_protocol.hpp"
#include "binding/convert.hpp"
#include "binding/error.hpp"
#include "binding/messages.hpp"

namespace zelto::binding {
namespace {

// A shape as numpy writes it: "()", "(3,)", "(2, 3)".
std::string shape_text(const std::vector<Py_ssize_t>& dims) {
  std::string text = "(";
  for (std::size_t d = 0; d < dims.size(); ++d) {
    if (d > 0) text += ", ";
    text += std::to_string(dims[d]);
  }
  return text + (dims.size() == 1 ? ",)" : ")");
}

}  // namespace

// The array's own shape is read first (ndarray's, whatever a subclass says), then its elements
// as the float-sequence conversion reads them; their number is the shape's product for every
// array numpy makes, and make_matrix checks it for the rest.
MatrixArgument::MatrixArgument(PyObject* obj, ArrayDimensions dimensions) {
  if (PyObject_TypeCheck(obj, class_object(ClassId::matrix))) {
    borrowed_.emplace(obj);
    return;
  }
  const PyRef converted = array_from_protocol(obj);
  PyObject* array = converted ? converted.get() : obj;
  const auto dims = ndarray_shape(array);
  if (!dims) throw PyError::type_mismatch(obj, "ZeltoMatrix");
  const bool one = dims->size() == 1 && dimensions == ArrayDimensions::one_or_two;
  if (dims->size() != 2 && !one) {
    const char* wanted = dimensions == ArrayDimensions::two ? "a ZeltoMatrix or a 2-D array"
                                                            : "a 1-D or 2-D array";
    throw PyError(type_error_class,
                  msg::fill(msg::kArrayDimensions, {wanted, shape_text(*dims)}));
  }
  const auto rows = static_cast<std::uint64_t>((*dims)[0]);
  const auto cols = one ? std::uint64_t{1} : static_cast<std::uint64_t>((*dims)[1]);
  read_ = make_matrix(to_flat_floats(array), rows, cols);
}

}  // namespace zelto::binding
