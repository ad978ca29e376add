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

namespace detail {

// The flag and the value of an instance whose memory is ready.
template <class T, class... A>
void construct(PyObject* self, A&&... a) {
  auto* n = Native<T>::of(self);
  new (&n->flag) BorrowFlag();
  new (n->storage) T(std::forward<A>(a)...);
  n->alive = true;
}

}  // namespace detail

// Allocates an instance of `type` (a subclass too) and constructs its value.
template <class T, class... A>
Ref make_native(PyTypeObject* type, A&&... a) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  Ref self = Ref::check(alloc(type, 0));
  detail::construct<T>(self.get(), std::forward<A>(a)...);
  return self;
}

template <class T>
Ref make_native(PyObject* type, auto&&... a) {
  return make_native<T>(reinterpret_cast<PyTypeObject*>(type), std::forward<decltype(a)>(a)...);
}

// Released instances of one type, kept for the next instances of exactly
// that type: a process run makes and drops the same few objects each time,
// and one set up again in kept memory spares the allocator and the
// collector's bookkeeping. A kept instance has its value destroyed, its
// count at zero, is untracked and holds no reference, its type's included.
// Guarded by the interpreter lock; kept for the process.
template <class T>
struct KeptInstances {
  static constexpr int kMax = 8;
  inline static PyTypeObject* type = nullptr;  // the one type kept, set by its first make_kept
  inline static PyObject* slots[kMax] = {};
  inline static int used = 0;
};

namespace detail {

// Everything of a deallocation after the untracking: the value's destructor
// (with any pending exception saved), the type's extra release, tp_free (or,
// with Keep, a place among the kept instances while there is room) and the
// type's reference.
template <class T, void (*Extra)(PyObject*) noexcept, bool Keep = false>
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
  if constexpr (Keep) {
    using K = KeptInstances<T>;
    if (type == K::type && K::used < K::kMax) {
      K::slots[K::used++] = self;
      Py_DECREF(type);
      return;
    }
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
//
// With Keep, the memory of an instance of exactly the type make_kept makes
// is kept for the next one while there is room (dealloc_kept).
template <class T, void (*Extra)(PyObject*) noexcept = nullptr, bool Keep = false>
OLVEX_PASSES_FORCED_UNWIND void dealloc_native(PyObject* self) {
  if (PyType_GetFlags(Py_TYPE(self)) & Py_TPFLAGS_HAVE_GC) PyObject_GC_UnTrack(self);
  if (detail::ReleaseState* state = detail::enter_release()) {
    detail::finish_dealloc<T, Extra, Keep>(self);
    detail::leave_release(state);
    return;
  }
  release_bounded([](void* p) noexcept { detail::finish_dealloc<T, Extra, Keep>(static_cast<PyObject*>(p)); },
                  self);
}

template <class T>
OLVEX_PASSES_FORCED_UNWIND void dealloc_kept(PyObject* self) {
  dealloc_native<T, nullptr, true>(self);
}

// make_native for a type whose deallocation is dealloc_kept: a kept
// instance of exactly `type` is taken when there is one. `type` is the
// module's own type, never a subclass's: the first one given is the one
// kept, and kept memory has its size.
template <class T, class... A>
Ref make_kept(PyObject* type_object, A&&... a) {
  using K = KeptInstances<T>;
  auto* type = reinterpret_cast<PyTypeObject*>(type_object);
  if (type != K::type || K::used == 0) {
    if (!K::type) K::type = type;
    return make_native<T>(type, std::forward<A>(a)...);
  }
  PyObject* self = K::slots[--K::used];
  PyObject_Init(self, type);  // the count at one, the type's reference taken
  Ref owner = Ref::steal(self);  // a failed construction releases it as a dead instance
  detail::construct<T>(self, std::forward<A>(a)...);
  PyObject_GC_Track(self);
  return owner;
}

}  // namespace olvex::py
