// Which containers are read from memory, and why each one's memory is its iteration:
// - bytes, bytearray: iteration yields each byte as an int 0..255; no Python code runs while
//   the bytes are read, so a bytearray cannot change meanwhile.
// - array.array: items are Python ints for the integer codes and floats widened from the
//   stored float or double for 'f' and 'd'; 'u' and 'w' yield str and stay on the item path.
// - memoryview, one dimension, a format of one native character (optionally after '@'):
//   iteration unpacks exactly those; other formats ('<i', 'e', '?', 'c', ...) are left to
//   the item path with its own errors. Its memory is not reachable through the limited API,
//   so it is copied chunk by chunk with tobytes(), which also orders strided views.
// - numpy.ndarray, exact type, one dimension: iteration yields numpy scalars whose float value
//   is the stored value widened to a double (integers rounded to nearest above 2^53), so the
//   element conversions of core/element_cast.hpp give the same floats. __array_interface__
//   describes the memory; anything in it this reader does not expect (another version, byte
//   order, element type, shape, a record description, extra keys) leaves the array to the
//   item path. Subclasses (matrix, memmap, masked arrays) may iterate differently and are
//   never read from memory.
// The exact classes of array.array and numpy.ndarray are looked up in sys.modules, never
// imported: an instance of either means its module is loaded, and a missing module means no
// instance can be at hand. Every probe that fails declines quietly, and none runs Python code
// of the argument's: its type is exact, and built-in or numpy's.
#include "binding/array_input.hpp"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "binding/error.hpp"
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

// The class `name` of the module `module` when that module is in sys.modules, or null.
PyTypeObject* loaded_class(const char* module, const char* name) {
  PyRef module_name = PyRef::steal(PyUnicode_FromString(module));
  if (!module_name) return PyErr_Clear(), nullptr;
  PyRef loaded = PyRef::steal(PyImport_GetModule(module_name.get()));
  if (!loaded) return PyErr_Clear(), nullptr;
  if (!PyModule_CheckExact(loaded.get())) return nullptr;
  PyObject* cls = PyDict_GetItemString(PyModule_GetDict(loaded.get()), name);
  return cls != nullptr && PyType_Check(cls) ? reinterpret_cast<PyTypeObject*>(cls) : nullptr;
}

// An exact class of a loaded module, found once and then kept (with a reference) for the
// process; compared by identity, so a subclass or a look-alike never matches.
class KnownClass {
 public:
  constexpr KnownClass(const char* module, const char* name) : module_(module), name_(name) {}
  bool is(PyTypeObject* type) {
    if (type_ == nullptr) {
      type_ = loaded_class(module_, name_);
      if (type_ != nullptr) Py_INCREF(type_);
    }
    return type_ != nullptr && type == type_;
  }

 private:
  const char* module_;
  const char* name_;
  PyTypeObject* type_ = nullptr;
};

KnownClass g_ndarray{"numpy", "ndarray"};
KnownClass g_array{"array", "array"};

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

// numpy.ndarray through __array_interface__, which must describe exactly one plain dimension:
// {'version': 3, 'typestr': t, 'descr': [('', t)], 'shape': (n,), 'strides': None or (s,),
//  'data': (address, read_only)}.
std::optional<FloatVec> read_ndarray(PyObject* array) {
  PyRef interface = probe_attribute(array, "__array_interface__");
  PyObject* dict = interface.get();
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
  if (shape == nullptr || !PyTuple_CheckExact(shape) || PyTuple_Size(shape) != 1) return std::nullopt;
  const Py_ssize_t length = probe_ssize(PyTuple_GetItem(shape, 0));
  if (length < 0) return std::nullopt;
  const auto size = static_cast<std::ptrdiff_t>(element_size(*type));
  std::ptrdiff_t stride = size;
  if (strides != Py_None) {
    if (strides == nullptr || !PyTuple_CheckExact(strides) || PyTuple_Size(strides) != 1) {
      return std::nullopt;
    }
    PyObject* step = PyTuple_GetItem(strides, 0);
    if (!PyLong_Check(step)) return std::nullopt;
    stride = PyLong_AsSsize_t(step);
    if (stride == -1 && PyErr_Occurred() != nullptr) return PyErr_Clear(), std::nullopt;
  }
  if (data == nullptr || !PyTuple_CheckExact(data) || PyTuple_Size(data) != 2) return std::nullopt;
  void* address = PyLong_AsVoidPtr(PyTuple_GetItem(data, 0));
  if (PyErr_Occurred() != nullptr) return PyErr_Clear(), std::nullopt;
  return cast_memory(*type, address, stride, static_cast<std::size_t>(length));
}

}  // namespace

std::optional<FloatVec> read_array_memory(PyObject* obj) {
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
  if (g_ndarray.is(type)) return read_ndarray(obj);
  if (g_array.is(type)) return read_array(obj);
  return std::nullopt;
}

}  // namespace zelto::binding
