// Instance records of the two classes, their borrow flags and the guards that hold borrows.
#pragma once

#include <new>
#include <utility>

#include "binding/classes.hpp"
#include "binding/error.hpp"
#include "binding/messages.hpp"
#include "binding/py_ref.hpp"
#include "matrix/matrix.hpp"
#include "solver/solver.hpp"

namespace zelto::binding {

// The memory of one instance: the object header, the native record, the borrow flag
// (0 free, n > 0 shared borrows, -1 one exclusive borrow).
template <class Record>
struct Instance {
  PyObject header;
  Record record;
  Py_ssize_t borrow_flag;
};

// Which class holds which record.
template <class Record>
struct ClassOf;
template <>
struct ClassOf<Matrix> {
  static constexpr ClassId id = ClassId::matrix;
};
template <>
struct ClassOf<Solver> {
  static constexpr ClassId id = ClassId::solver;
};

template <class Record>
Instance<Record>* instance_of(PyObject* obj) noexcept {
  return reinterpret_cast<Instance<Record>*>(obj);
}

// Checks that obj is an instance of Record's class (or a subclass) and returns its record.
template <class Record>
Instance<Record>* checked_instance(PyObject* obj) {
  constexpr ClassId id = ClassOf<Record>::id;
  if (!PyObject_TypeCheck(obj, class_object(id))) {
    throw PyError::type_mismatch(obj, class_description(id).name);
  }
  return instance_of<Record>(obj);
}

// A shared borrow of an instance's record and a strong reference to the instance, both
// released when the guard goes out of scope.
template <class Record>
class SharedBorrow {
 public:
  explicit SharedBorrow(PyObject* obj) : instance_(checked_instance<Record>(obj)) {
    if (instance_->borrow_flag == -1) {
      throw PyError(runtime_error_class, msg::kAlreadyMutablyBorrowed);
    }
    ++instance_->borrow_flag;
    owner_ = PyRef::borrow(obj);
  }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;
  ~SharedBorrow() { --instance_->borrow_flag; }

  const Record& get() const noexcept { return instance_->record; }

 private:
  Instance<Record>* instance_;
  PyRef owner_;
};

// The one exclusive borrow of an instance's record, with a strong reference to the instance.
template <class Record>
class ExclusiveBorrow {
 public:
  explicit ExclusiveBorrow(PyObject* obj) : instance_(checked_instance<Record>(obj)) {
    if (instance_->borrow_flag != 0) throw PyError(runtime_error_class, msg::kAlreadyBorrowed);
    instance_->borrow_flag = -1;
    owner_ = PyRef::borrow(obj);
  }
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
  ~ExclusiveBorrow() { instance_->borrow_flag = 0; }

  Record& get() const noexcept { return instance_->record; }

 private:
  Instance<Record>* instance_;
  PyRef owner_;
};

// The matrix argument conversion: a shared borrow of a ZeltoMatrix.
inline SharedBorrow<Matrix> borrow_matrix(PyObject* obj) { return SharedBorrow<Matrix>(obj); }

// Allocates an instance of type through its allocation slot and moves the record in.
// Returns null with the interpreter's error pending when allocation fails.
template <class Record>
PyObject* allocate_instance(allocfunc allocate, PyTypeObject* type, Record& record) noexcept {
  PyObject* obj = allocate(type, 0);
  if (obj != nullptr) {
    Instance<Record>* instance = instance_of<Record>(obj);
    new (&instance->record) Record(std::move(record));
    instance->borrow_flag = 0;
  }
  return obj;
}

// The constructor's allocation: a new instance of the class Python called, or its error.
template <class Record>
PyRef new_instance(PyTypeObject* type, Record record) {
  PyRef obj = PyRef::steal(allocate_instance(class_allocator(type), type, record));
  if (!obj) throw fetch_pending();
  return obj;
}

// Wraps a freshly computed matrix into a new ZeltoMatrix; failing to allocate is fatal.
PyRef new_matrix_object(Matrix matrix);

// Py_tp_dealloc: releases the record, the memory and the instance's reference to its class.
template <class Record>
void release_instance(PyObject* obj) noexcept {
  PyTypeObject* type = Py_TYPE(obj);
  instance_of<Record>(obj)->record.~Record();
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(obj);
  Py_DECREF(type);
}

}  // namespace zelto::binding
