#include "binding/args.hpp"

#include <string>

#include "binding/messages.hpp"
#include "binding/text.hpp"

namespace zelto::binding {
namespace {

// "Class.name()" for methods and constructors, "name()" for the module function.
std::string display_name(const FunctionDescription& description) {
  std::string name;
  if (description.class_name != nullptr) {
    name += description.class_name;
    name += '.';
  }
  name += description.function_name;
  name += "()";
  return name;
}

// Slot of the parameter named exactly like the key, or slot_count() when none is.
// A key that is not a str (or cannot be compared as text) matches no parameter.
std::size_t find_parameter(const FunctionDescription& description, PyObject* key) {
  const std::size_t count = description.slot_count();
  if (!PyUnicode_Check(key)) return count;
  for (std::size_t i = 0; i < count; ++i) {
    if (PyUnicode_CompareWithASCIIString(key, description.slot_name(i)) == 0) return i;
  }
  return count;
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the names of the empty slots, in order.
std::string missing_list(const FunctionDescription& description, PyObject** slots,
                         std::size_t missing) {
  std::string text;
  std::size_t written = 0;
  for (std::size_t i = 0; i < description.parameters.size(); ++i) {
    if (slots[i] != nullptr) continue;
    if (written > 0) {
      if (missing > 2) text += ',';
      text += written + 1 == missing ? " and " : " ";
    }
    text += '\'';
    text += description.parameters[i];
    text += '\'';
    ++written;
  }
  return text;
}

// Every binding failure is a TypeError with its message made here.
[[noreturn]] void throw_type_error(std::string message) {
  throw PyError(type_error_class, std::move(message));
}

}  // namespace

// 1. Positional arguments fill the first slots; more than there are required parameters is
//    refused.
// 2. Keywords, in the dictionary's own order, fill the slot of the same name; a filled slot or
//    an unknown name is refused.
// 3. Empty required slots are listed by name; empty keyword-only slots stay null.
void bind_arguments(const FunctionDescription& description, PyObject* args, PyObject* kwargs,
                    PyObject** slots) {
  const std::size_t count = description.parameters.size();
  const Py_ssize_t given = PyTuple_Size(args);
  const std::size_t positional = static_cast<std::size_t>(given);
  for (std::size_t i = 0; i < description.slot_count(); ++i) {
    slots[i] = i < positional && i < count ? PyTuple_GetItem(args, static_cast<Py_ssize_t>(i))
                                           : nullptr;
  }
  if (positional > count) {
    throw_type_error(msg::fill(msg::kTooManyPositional,
                               {display_name(description), std::to_string(count),
                                std::to_string(positional), positional == 1 ? "was" : "were"}));
  }
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
      const std::size_t index = find_parameter(description, key);
      if (index == description.slot_count()) {
        throw_type_error(msg::fill(msg::kUnexpectedKeyword,
                                   {display_name(description), object_text(key)}));
      }
      if (slots[index] != nullptr) {
        throw_type_error(msg::fill(msg::kMultipleValues,
                                   {display_name(description), description.slot_name(index)}));
      }
      slots[index] = value;
    }
  }
  if (positional < count) {
    std::size_t missing = 0;
    for (std::size_t i = 0; i < count; ++i) missing += slots[i] == nullptr ? 1 : 0;
    if (missing > 0) {
      throw_type_error(msg::fill(msg::kMissingArguments,
                                 {display_name(description), std::to_string(missing), "positional",
                                  missing == 1 ? "argument" : "arguments"}) +
                       missing_list(description, slots, missing));
    }
  }
}

// 1. Only an error of exactly TypeError is re-made; its str() becomes the message's tail.
// 2. The new TypeError takes over the old one's cause; setting the cause (even to none) also
//    suppresses the context, so the traceback shows one clean error.
PyError wrap_argument_error(const char* parameter, PyError error) {
  if (!error.has_exact_class(PyExc_TypeError)) return error;
  PyObject* old_value = error.value();
  const std::string text = msg::fill(msg::kArgumentError, {parameter, object_text(old_value)});
  PyRef cause = PyRef::steal(PyException_GetCause(old_value));
  PyRef value = PyRef::steal(PyObject_CallFunction(PyExc_TypeError, "s#", text.data(),
                                                   static_cast<Py_ssize_t>(text.size())));
  if (!value) return fetch_pending();
  PyException_SetCause(value.get(), cause.release());
  return PyError::normalized(PyRef::borrow(PyExc_TypeError), std::move(value), PyRef());
}

}  // namespace zelto::binding
