#pragma once
// The memory layout of the module's objects: the Python header, the borrow
// flag, then one C++ value constructed in place and destroyed in tp_dealloc.
#include <new>
#include <utility>

#include "py/borrow.hpp"
#include "py/errors.hpp"
#include "py/release.hpp"
#include "py/unwind.hpp"

namespace olvex::py {

template <class T>
struct Native {
  PyObject_HEAD
  BorrowFlag flag;
  bool alive;
  alignas(T) unsigned char storage[sizeof(T)];

  T& value() noexcept { return *std::launder(reinterpret_cast<T*>(storage)); }
  static Native* of(PyObject* o) noexcept { return reinterpret_cast<Native*>(o); }
};

template <class T>
T& value_of(PyObject* o) noexcept {
  return Native<T>::of(o)->value();
}
template <class T>
BorrowFlag& flag_of(PyObject* o) noexcept {
  return Native<T>::of(o)->flag;
}

// Allocates an instance of `type` (a subclass too) and constructs its value.
template <class T, class... A>
Ref make_native(PyTypeObject* type, A&&... a) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  Ref self = Ref::check(alloc(type, 0));
  auto* n = Native<T>::of(self.get());
  new (&n->flag) BorrowFlag();
  new (n->storage) T(std::forward<A>(a)...);
  n->alive = true;
  return self;
}

template <class T>
Ref make_native(PyObject* type, auto&&... a) {
  return make_native<T>(reinterpret_cast<PyTypeObject*>(type), std::forward<decltype(a)>(a)...);
}

namespace detail {

// Everything of a deallocation after the untracking: the value's destructor
// (with any pending exception saved), the type's extra release, tp_free and
// the type's reference.
template <class T, void (*Extra)(PyObject*) noexcept>
OLVEX_PASSES_FORCED_UNWIND void finish_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  {
    ErrorScope keep;
    auto* n = Native<T>::of(self);
    if (n->alive) {
      n->alive = false;
      try {
        n->value().~T();
      } catch (abi::__forced_unwind&) {
        throw;
      } catch (...) {
        translate_current_exception();
        write_unraisable(self);
      }
    }
    if constexpr (Extra != nullptr) Extra(self);
  }
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

}  // namespace detail

// tp_dealloc for a Native<T>; `Extra` releases what the instance holds
// beside its value (an instance dict). Releasing one object can release
// another that its value holds, and so on down a chain of any kind: the
// deallocation takes part in the bounded-depth release (py/release.hpp), and
// past the bound the rest of it is queued whole. The object is untracked
// first and its count is zero, so nothing reaches it while it waits.
//
// For an instance of a Python subclass CPython's subtype_dealloc has
// already cleared the subclass's parts and calls this last; with a heap
// base type it touches the object no more afterwards.
template <class T, void (*Extra)(PyObject*) noexcept = nullptr>
OLVEX_PASSES_FORCED_UNWIND void dealloc_native(PyObject* self) {
  if (PyType_GetFlags(Py_TYPE(self)) & Py_TPFLAGS_HAVE_GC) PyObject_GC_UnTrack(self);
  if (detail::ReleaseState* state = detail::enter_release()) {
    detail::finish_dealloc<T, Extra>(self);
    detail::leave_release(state);
    return;
  }
  release_bounded([](void* p) noexcept { detail::finish_dealloc<T, Extra>(static_cast<PyObject*>(p)); }, self);
}

}  // namespace olvex::py
