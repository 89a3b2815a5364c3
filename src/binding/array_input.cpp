// Which containers are read from memory, and why each one's memory is its iteration:
// - bytes, bytearray: iteration yields each byte as an int 0..255; no Python code runs while
//   the bytes are read, so a bytearray cannot change meanwhile.
// - array.array: items are Python ints for the integer codes and floats widened from the
//   stored float or double for 'f' and 'd'; 'u' and 'w' yield str and stay on the item path.
// - memoryview, one dimension, a format of one native character (optionally after '@'):
//   iteration unpacks exactly those; other formats ('<i', 'e', '?', 'c', ...) are left to
//   the item path with its own errors. Its memory is not reachable through the limited API,
//   so it is copied chunk by chunk with tobytes(), which also orders strided views.
// - numpy.ndarray of one or more dimensions: iteration yields numpy scalars (for one dimension)
//   whose float value is the stored value widened to a double (integers rounded to nearest
//   above 2^53), so the element conversions of core/element_cast.hpp give the same floats; the
//   elements are taken in row-major order, which is the order reading a multi-dimensional
//   array row by row gives. __array_interface__ describes the memory; anything in it this
//   reader does not expect (another version, byte order, element type, a record description,
//   extra keys) leaves the array to the item path. A subclass is read the same way when no
//   class of its own between it and ndarray defines item access (__getitem__, __iter__), or is
//   numpy.memmap, whose __getitem__ gives ndarray's items; others (matrix, masked arrays)
//   iterate differently and keep the item path.
// numpy.ndarray and array.array are recognised as the classes their extension modules made
// (binding/native_class.hpp), never by a lookup of a replaceable module, and their memory is
// described by their own C code: an ndarray subclass's description comes from ndarray's own
// descriptor, so no Python code of the argument's runs and none can report an address. Every
// probe that fails declines quietly.
#include "binding/array_input.hpp"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "binding/error.hpp"
#include "binding/native_class.hpp"
#include "binding/py_ref.hpp"
#include "core/element_cast.hpp"

namespace zelto::binding {
namespace {

using enum ElementType;

// Elements copied per tobytes() call of a memoryview: at most 1 MiB of copy at a time, however
// long the view, and few enough calls that their cost is lost in the copying.
constexpr Py_ssize_t kMemoryviewChunk = Py_ssize_t{1} << 17;

// An attribute, or null with its error dropped.
PyRef probe_attribute(PyObject* obj, const char* name) {
  PyRef value = PyRef::steal(PyObject_GetAttrString(obj, name));
  if (!value) PyErr_Clear();
  return value;
}

// A Py_ssize_t from an int object, or -1 with the error dropped.
Py_ssize_t probe_ssize(PyObject* obj) {
  if (obj == nullptr || !PyLong_Check(obj)) return -1;
  const Py_ssize_t value = PyLong_AsSsize_t(obj);
  if (value == -1 && PyErr_Occurred() != nullptr) PyErr_Clear();
  return value;
}

bool is_text(PyObject* obj, const char* text) {
  return obj != nullptr && PyUnicode_Check(obj) && PyUnicode_CompareWithASCIIString(obj, text) == 0;
}

NativeClass g_ndarray{"numpy", "ndarray"};
NativeClass g_array{"array", "array"};

// count elements of type at first, stride bytes apart, as a new float vector.
FloatVec cast_memory(ElementType type, const void* first, std::ptrdiff_t stride,
                     std::size_t count) {
  FloatVec out = FloatVec::uninitialized(count);
  element_cast()(type, static_cast<const std::byte*>(first), stride, count, out.data());
  return out;
}

// A native integer or float of a struct-module character and size, as memoryview and
// array.array describe their items; nullopt for anything else.
std::optional<ElementType> native_element(char code, Py_ssize_t itemsize) {
  constexpr ElementType kSigned[] = {i8, i16, i32, i64};
  constexpr ElementType kUnsigned[] = {u8, u16, u32, u64};
  const bool pow2 = itemsize == 1 || itemsize == 2 || itemsize == 4 || itemsize == 8;
  const int width = pow2 ? std::countr_zero(static_cast<unsigned>(itemsize)) : 0;
  switch (code) {
    case 'b': case 'h': case 'i': case 'l': case 'q': case 'n':
      if (pow2) return kSigned[width];
      break;
    case 'B': case 'H': case 'I': case 'L': case 'Q': case 'N':
      if (pow2) return kUnsigned[width];
      break;
    case 'f':
      if (itemsize == 4) return f32;
      break;
    case 'd':
      if (itemsize == 8) return f64;
      break;
    default:
      break;
  }
  return std::nullopt;
}

// The one ASCII character of a str of length one after an optional prefix character, or 0.
char single_char(PyObject* text, Py_UCS4 prefix = 0) {
  if (text == nullptr || !PyUnicode_Check(text)) return 0;
  Py_ssize_t at = 0;
  if (prefix != 0 && PyUnicode_GetLength(text) == 2 && PyUnicode_ReadChar(text, 0) == prefix) {
    at = 1;
  } else if (PyUnicode_GetLength(text) != 1) {
    return 0;
  }
  const Py_UCS4 c = PyUnicode_ReadChar(text, at);
  return c < 128 ? static_cast<char>(c) : 0;
}

// array.array: its own buffer_info() gives the address and length of its items.
std::optional<FloatVec> read_array(PyObject* array) {
  PyRef typecode = probe_attribute(array, "typecode");
  PyRef itemsize = probe_attribute(array, "itemsize");
  const auto type = native_element(single_char(typecode.get()), probe_ssize(itemsize.get()));
  if (!type) return std::nullopt;
  PyRef info = PyRef::steal(PyObject_CallMethod(array, "buffer_info", nullptr));
  if (!info || !PyTuple_CheckExact(info.get()) || PyTuple_Size(info.get()) != 2) {
    PyErr_Clear();
    return std::nullopt;
  }
  void* address = PyLong_AsVoidPtr(PyTuple_GetItem(info.get(), 0));
  const Py_ssize_t length = probe_ssize(PyTuple_GetItem(info.get(), 1));
  if (PyErr_Occurred() != nullptr || length < 0) return PyErr_Clear(), std::nullopt;
  return cast_memory(*type, address, static_cast<std::ptrdiff_t>(element_size(*type)),
                     static_cast<std::size_t>(length));
}

// memoryview: format, itemsize and ndim say whether iteration unpacks plain numbers; the
// memory comes out through tobytes() of slices, so at most one chunk is copied at a time.
std::optional<FloatVec> read_memoryview(PyObject* view) {
  PyRef ndim = probe_attribute(view, "ndim");
  PyRef format = probe_attribute(view, "format");
  PyRef itemsize = probe_attribute(view, "itemsize");
  if (probe_ssize(ndim.get()) != 1 || !format || !PyUnicode_Check(format.get())) {
    return std::nullopt;
  }
  // '@' spells out the native order and size that a bare code already means.
  const auto type = native_element(single_char(format.get(), '@'), probe_ssize(itemsize.get()));
  if (!type) return std::nullopt;
  const Py_ssize_t length = PyObject_Size(view);
  if (length < 0) return PyErr_Clear(), std::nullopt;
  FloatVec out = FloatVec::uninitialized(static_cast<std::size_t>(length));
  const std::size_t size = element_size(*type);
  for (Py_ssize_t start = 0; start < length; start += kMemoryviewChunk) {
    const Py_ssize_t end = length - start < kMemoryviewChunk ? length : start + kMemoryviewChunk;
    PyRef slice = PyRef::steal(PySequence_GetSlice(view, start, end));
    if (!slice) throw fetch_pending();
    PyRef bytes = PyRef::steal(PyObject_CallMethod(slice.get(), "tobytes", nullptr));
    if (!bytes) throw fetch_pending();
    element_cast()(*type, reinterpret_cast<const std::byte*>(PyBytes_AsString(bytes.get())),
                   static_cast<std::ptrdiff_t>(size), static_cast<std::size_t>(end - start),
                   out.data() + start);
  }
  return out;
}

// The element type of a numpy type string: native byte order ('|' for single bytes), kind and
// size; nullopt for anything else (complex, datetime, str, object, records, float128).
std::optional<ElementType> numpy_element(PyObject* typestr) {
  constexpr char kNative = std::endian::native == std::endian::little ? '<' : '>';
  constexpr struct {
    char text[4];
    ElementType type;
  } kTypes[] = {{"|b1", boolean}, {"|i1", i8},  {"|u1", u8},  {"_i2", i16}, {"_i4", i32},
                {"_i8", i64},     {"_u2", u16}, {"_u4", u32}, {"_u8", u64}, {"_f2", f16},
                {"_f4", f32},     {"_f8", f64}};
  for (const auto& entry : kTypes) {
    char text[4] = {entry.text[0] == '_' ? kNative : entry.text[0], entry.text[1], entry.text[2],
                    0};
    if (is_text(typestr, text)) return entry.type;
  }
  return std::nullopt;
}

// One axis of an array: its length and the bytes from one element to the next along it.
struct Axis {
  std::size_t count;
  std::ptrdiff_t stride;
};

// The elements of the axes (outermost first) in row-major order. Axes of length 1 are dropped
// and an axis that steps exactly over the next inner one is merged with it, so a contiguous
// array of any shape, and a column cut from a wider array, is one strided run; whatever is left
// runs one innermost axis at a time.
std::optional<FloatVec> cast_axes(ElementType type, const std::byte* first,
                                  const std::vector<Axis>& axes) {
  std::size_t total = 1;
  std::vector<Axis> runs;
  for (const Axis& axis : axes) {
    if (__builtin_mul_overflow(total, axis.count, &total)) return std::nullopt;
    if (axis.count == 1) continue;
    const std::ptrdiff_t span = static_cast<std::ptrdiff_t>(axis.count) * axis.stride;
    if (!runs.empty() && runs.back().stride == span) {
      runs.back() = {runs.back().count * axis.count, axis.stride};
    } else {
      runs.push_back(axis);
    }
  }
  FloatVec out = FloatVec::uninitialized(total);
  if (total == 0) return out;
  if (runs.empty()) runs.push_back({1, 0});
  const Axis inner = runs.back();
  runs.pop_back();
  std::vector<std::size_t> index(runs.size(), 0);
  float* dst = out.data();
  for (;;) {
    std::ptrdiff_t offset = 0;
    for (std::size_t d = 0; d < runs.size(); ++d) {
      offset += static_cast<std::ptrdiff_t>(index[d]) * runs[d].stride;
    }
    element_cast()(type, first + offset, inner.stride, inner.count, dst);
    dst += inner.count;
    std::size_t d = runs.size();
    while (d > 0 && ++index[d - 1] == runs[d - 1].count) index[--d] = 0;
    if (d == 0) return out;
  }
}

// The tuple's items as Py_ssize_t values, negative ones only where allowed; nullopt for
// anything else.
std::optional<std::vector<Py_ssize_t>> ssize_items(PyObject* tuple, bool allow_negative) {
  if (!PyTuple_CheckExact(tuple)) return std::nullopt;
  std::vector<Py_ssize_t> items(static_cast<std::size_t>(PyTuple_Size(tuple)));
  for (std::size_t i = 0; i < items.size(); ++i) {
    PyObject* item = PyTuple_GetItem(tuple, static_cast<Py_ssize_t>(i));
    if (!PyLong_Check(item)) return std::nullopt;
    items[i] = PyLong_AsSsize_t(item);
    if (items[i] == -1 && PyErr_Occurred() != nullptr) return PyErr_Clear(), std::nullopt;
    if (items[i] < 0 && !allow_negative) return std::nullopt;
  }
  return items;
}

// An ndarray through the __array_interface__ dictionary its own C code made, which must
// describe plain elements in one or more dimensions:
// {'version': 3, 'typestr': t, 'descr': [('', t)], 'shape': (n, ...), 'strides': None (C order)
//  or (s, ...), 'data': (address, read_only)}. With ArrayShape::vector at most one dimension may
// be longer than 1.
std::optional<FloatVec> read_ndarray(PyObject* interface, ArrayShape wanted) {
  PyObject* dict = interface;
  if (dict == nullptr || !PyDict_CheckExact(dict) || PyDict_Size(dict) != 6) return std::nullopt;
  PyObject* version = PyDict_GetItemString(dict, "version");
  PyObject* typestr = PyDict_GetItemString(dict, "typestr");
  PyObject* descr = PyDict_GetItemString(dict, "descr");
  PyObject* shape = PyDict_GetItemString(dict, "shape");
  PyObject* strides = PyDict_GetItemString(dict, "strides");
  PyObject* data = PyDict_GetItemString(dict, "data");
  if (probe_ssize(version) != 3 || typestr == nullptr) return std::nullopt;
  const auto type = numpy_element(typestr);
  if (!type) return std::nullopt;
  // The record description of a plain element type is [('', typestr)].
  if (descr == nullptr || !PyList_CheckExact(descr) || PyList_Size(descr) != 1) return std::nullopt;
  PyObject* field = PyList_GetItem(descr, 0);
  if (!PyTuple_CheckExact(field) || PyTuple_Size(field) != 2 ||
      !is_text(PyTuple_GetItem(field, 0), "") ||
      PyUnicode_Compare(PyTuple_GetItem(field, 1), typestr) != 0) {
    PyErr_Clear();
    return std::nullopt;
  }
  const auto counts = shape != nullptr ? ssize_items(shape, false) : std::nullopt;
  if (!counts || counts->empty()) return std::nullopt;
  std::vector<Axis> axes(counts->size());
  std::size_t longer_than_one = 0;
  for (std::size_t d = 0; d < axes.size(); ++d) {
    axes[d].count = static_cast<std::size_t>((*counts)[d]);
    longer_than_one += axes[d].count > 1 ? 1 : 0;
  }
  if (wanted == ArrayShape::vector && longer_than_one > 1) return std::nullopt;
  if (strides == Py_None) {
    std::ptrdiff_t step = static_cast<std::ptrdiff_t>(element_size(*type));
    for (std::size_t d = axes.size(); d-- > 0;) {
      axes[d].stride = step;
      step *= static_cast<std::ptrdiff_t>(axes[d].count);
    }
  } else {
    const auto steps = strides != nullptr ? ssize_items(strides, true) : std::nullopt;
    if (!steps || steps->size() != axes.size()) return std::nullopt;
    for (std::size_t d = 0; d < axes.size(); ++d) axes[d].stride = (*steps)[d];
  }
  if (data == nullptr || !PyTuple_CheckExact(data) || PyTuple_Size(data) != 2) return std::nullopt;
  void* address = PyLong_AsVoidPtr(PyTuple_GetItem(data, 0));
  if (PyErr_Occurred() != nullptr) return PyErr_Clear(), std::nullopt;
  return cast_axes(*type, static_cast<const std::byte*>(address), axes);
}

// True when numpy (as loaded) calls cls its memmap and its ndarray is the real one.
bool is_numpy_memmap(PyObject* cls, PyTypeObject* ndarray) {
  PyRef name = PyRef::steal(PyUnicode_FromString("numpy"));
  PyRef numpy = name ? PyRef::steal(PyImport_GetModule(name.get())) : PyRef();
  if (!numpy || !PyModule_Check(numpy.get())) return PyErr_Clear(), false;
  PyObject* members = PyModule_GetDict(numpy.get());
  return PyDict_GetItemString(members, "ndarray") == reinterpret_cast<PyObject*>(ndarray) &&
         PyDict_GetItemString(members, "memmap") == cls;
}

// True when iterating an instance of the ndarray subclass type yields what iterating an ndarray
// does: every class before ndarray in its method resolution order has type as its metaclass
// (so __mro__ and __dict__ are type's own) and defines no item access of its own, or is
// numpy.memmap.
bool iterates_as_ndarray(PyTypeObject* type, PyTypeObject* ndarray) {
  PyObject* as_object = reinterpret_cast<PyObject*>(type);
  if (Py_TYPE(as_object) != &PyType_Type) return false;
  PyRef mro = probe_attribute(as_object, "__mro__");
  if (!mro || !PyTuple_CheckExact(mro.get())) return false;
  for (Py_ssize_t i = 0; i < PyTuple_Size(mro.get()); ++i) {
    PyObject* cls = PyTuple_GetItem(mro.get(), i);
    if (cls == reinterpret_cast<PyObject*>(ndarray)) return true;
    if (Py_TYPE(cls) != &PyType_Type) return false;
    if (is_numpy_memmap(cls, ndarray)) continue;
    PyRef members = probe_attribute(cls, "__dict__");
    if (!members || PyMapping_HasKeyString(members.get(), "__getitem__") ||
        PyMapping_HasKeyString(members.get(), "__iter__")) {
      return false;
    }
  }
  return false;
}

// An attribute of an ndarray or of an instance of a subclass, from ndarray's own descriptor,
// whatever the subclass defines under that name.
PyRef ndarray_attribute(PyObject* array, PyTypeObject* ndarray, const char* name) {
  if (Py_TYPE(array) == ndarray) return probe_attribute(array, name);
  PyRef descriptor = probe_attribute(reinterpret_cast<PyObject*>(ndarray), name);
  if (!descriptor) return descriptor;
  PyRef value = PyRef::steal(PyObject_CallMethod(descriptor.get(), "__get__", "O", array));
  if (!value) PyErr_Clear();
  return value;
}

// The dimensions of an ndarray instance (of any subclass) as ndarray's own shape gives them.
std::optional<std::vector<Py_ssize_t>> dims_of(PyObject* array, PyTypeObject* ndarray) {
  const PyRef dims = ndarray_attribute(array, ndarray, "shape");
  return dims ? ssize_items(dims.get(), false) : std::nullopt;
}

}  // namespace

std::optional<FloatVec> read_array_memory(PyObject* obj, ArrayShape shape) {
  // The object stays referenced while its memory is read, whoever else lets go of it.
  const PyRef held = PyRef::borrow(obj);
  if (PyBytes_CheckExact(obj)) {
    return cast_memory(u8, PyBytes_AsString(obj), 1, static_cast<std::size_t>(PyBytes_Size(obj)));
  }
  if (PyByteArray_CheckExact(obj)) {
    return cast_memory(u8, PyByteArray_AsString(obj), 1,
                       static_cast<std::size_t>(PyByteArray_Size(obj)));
  }
  if (PyMemoryView_Check(obj)) return read_memoryview(obj);
  PyTypeObject* type = Py_TYPE(obj);
  if (PyTypeObject* ndarray = g_ndarray.base_of(type)) {
    if (type != ndarray && !iterates_as_ndarray(type, ndarray)) return std::nullopt;
    return read_ndarray(ndarray_attribute(obj, ndarray, "__array_interface__").get(), shape);
  }
  if (g_array.is(type)) return read_array(obj);
  return std::nullopt;
}

// ndarray's own ravel, not the subclass's, so that the result has one dimension whatever the
// subclass defines.
PyRef flattened_array(PyObject* obj, ArrayShape shape) {
  PyTypeObject* type = Py_TYPE(obj);
  PyTypeObject* ndarray = g_ndarray.base_of(type);
  if (ndarray == nullptr || (type != ndarray && !iterates_as_ndarray(type, ndarray))) return {};
  const auto counts = dims_of(obj, ndarray);
  if (!counts || counts->size() < 2) return {};
  std::size_t longer_than_one = 0;
  for (const Py_ssize_t count : *counts) longer_than_one += count > 1 ? 1 : 0;
  if (shape == ArrayShape::vector && longer_than_one > 1) return {};
  PyRef ravel = probe_attribute(reinterpret_cast<PyObject*>(ndarray), "ravel");
  if (!ravel) return ravel;
  PyRef flat = PyRef::steal(PyObject_CallFunctionObjArgs(ravel.get(), obj, nullptr));
  if (!flat) PyErr_Clear();
  return flat;
}

bool is_ndarray(PyObject* obj) { return g_ndarray.base_of(Py_TYPE(obj)) != nullptr; }

bool is_known_container(PyObject* obj) {
  return PyBytes_Check(obj) || PyByteArray_Check(obj) || PyMemoryView_Check(obj) ||
         g_array.base_of(Py_TYPE(obj)) != nullptr || is_ndarray(obj);
}

std::optional<std::vector<Py_ssize_t>> ndarray_shape(PyObject* obj) {
  PyTypeObject* ndarray = g_ndarray.base_of(Py_TYPE(obj));
  if (ndarray == nullptr) return std::nullopt;
  return dims_of(obj, ndarray);
}

}  // namespace zelto::binding
