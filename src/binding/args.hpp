// Binding a call's positional and keyword arguments to an entry's parameters.
#pragma once

#include <cstddef>
#include <span>
#include <utility>

#include "binding/error.hpp"
#include "binding/python.hpp"

namespace zelto::binding {

// A parameter that only a keyword can give, with its default as the text signature shows it.
struct KeywordOnly {
  const char* name;
  const char* default_text;
};

// The parameters of one entry: required ones that may be given either way, then optional ones
// that only a keyword can give.
struct FunctionDescription {
  const char* class_name;  // null for the module function
  const char* function_name;
  std::span<const char* const> parameters;
  std::span<const KeywordOnly> keyword_only = {};

  constexpr std::size_t slot_count() const noexcept {
    return parameters.size() + keyword_only.size();
  }
  // The name of slot i: the required parameters first, then the keyword-only ones.
  constexpr const char* slot_name(std::size_t i) const noexcept {
    return i < parameters.size() ? parameters[i] : keyword_only[i - parameters.size()].name;
  }
};

// Fills slots[0 .. slot_count()) with borrowed references to the arguments (null for a
// keyword-only parameter not given), or throws the binding TypeError. The slots stay valid for
// the call, which holds args and kwargs.
void bind_arguments(const FunctionDescription& description, PyObject* args, PyObject* kwargs,
                    PyObject** slots);

// A conversion's error as the caller sees it: an exact TypeError is re-made as
// "argument '<name>': <message>" keeping its cause; every other error passes unchanged.
PyError wrap_argument_error(const char* parameter, PyError error);

// Converts bound slot i with convert, naming its parameter in the error.
template <class Convert>
auto convert_slot(const FunctionDescription& description, PyObject* const* slots, std::size_t i,
                  Convert&& convert) {
  try {
    return convert(slots[i]);
  } catch (PyError& error) {
    throw wrap_argument_error(description.slot_name(i), std::move(error));
  }
}

}  // namespace zelto::binding
