// Method tables declared from the entries' descriptions: a row's name, calling convention and
// text signature all come from the description that also binds its arguments, so a name is
// written once and a table cannot disagree with the entry it calls.
#pragma once

#include <array>
#include <cstddef>
#include <type_traits>

#include "binding/args.hpp"
#include "binding/python.hpp"

namespace zelto::binding {

// The method-table form of an entry; the interpreter calls it with the arity its flags name.
template <class Entry>
PyCFunction as_cfunction(Entry entry) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry));
}

// Whose text signature: a method's ("name($self, ...)"), a class method's ("name($type, ...)"),
// the module function's ("name(...)") or a constructor's, which the class document carries
// after the class name ("(...)").
enum class Signature { method, class_method, function, constructor };

namespace detail {

// Writes the text signature into out, or only counts its characters when out is null;
// keyword-only parameters follow a "*" with their defaults.
constexpr std::size_t write_signature(const FunctionDescription& description, Signature kind,
                                      char* out) {
  std::size_t size = 0;
  auto put = [&](const char* text) {
    for (; *text != '\0'; ++text, ++size) {
      if (out != nullptr) out[size] = *text;
    }
  };
  const char* separator = "";
  auto item = [&](const char* text) {
    put(separator);
    put(text);
    separator = ", ";
  };
  if (kind != Signature::constructor) put(description.function_name);
  put("(");
  if (kind == Signature::method) item("$self");
  if (kind == Signature::class_method) item("$type");
  for (const char* parameter : description.parameters) item(parameter);
  if (!description.keyword_only.empty()) item("*");
  for (const KeywordOnly& keyword : description.keyword_only) {
    item(keyword.name);
    put("=");
    put(keyword.default_text);
  }
  put(")");
  if (kind != Signature::constructor) put("\n--\n\n");
  return size;
}

// The text, made at compile time and kept in static storage as the interpreter requires.
template <const FunctionDescription& kDescription, Signature kKind>
struct SignatureText {
  static constexpr std::size_t kSize = write_signature(kDescription, kKind, nullptr) + 1;
  static constexpr std::array<char, kSize> kText = [] {
    std::array<char, kSize> text{};
    write_signature(kDescription, kKind, text.data());
    return text;
  }();
};

}  // namespace detail

template <const FunctionDescription& kDescription, Signature kKind>
inline constexpr const char* kSignature = detail::SignatureText<kDescription, kKind>::kText.data();

// A method row: METH_NOARGS for a description without parameters, else the arguments as the
// description binds them; the entry's arity must match.
template <const FunctionDescription& kDescription, auto kEntry>
PyMethodDef method() noexcept {
  constexpr bool kNoArguments = kDescription.slot_count() == 0;
  static_assert(std::is_invocable_v<decltype(kEntry), PyObject*, PyObject*> == kNoArguments);
  return {kDescription.function_name, as_cfunction(kEntry),
          kNoArguments ? METH_NOARGS : METH_VARARGS | METH_KEYWORDS,
          kSignature<kDescription, Signature::method>};
}

// A class method row; the entry receives the class and the arguments.
template <const FunctionDescription& kDescription, auto kEntry>
PyMethodDef class_method() noexcept {
  static_assert(std::is_invocable_v<decltype(kEntry), PyObject*, PyObject*, PyObject*>);
  return {kDescription.function_name, as_cfunction(kEntry),
          METH_CLASS | METH_VARARGS | METH_KEYWORDS,
          kSignature<kDescription, Signature::class_method>};
}

// The row that ends every method table.
inline constexpr PyMethodDef kEndOfMethods = {nullptr, nullptr, 0, nullptr};

}  // namespace zelto::binding
