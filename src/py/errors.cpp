#include "py/errors.hpp"

#include <cxxabi.h>

#include <exception>
#include <new>

#include "py/output.hpp"

namespace olvex::py {

Ref Ref::check(PyObject* p) {
  if (!p) throw PyErrorSet{};
  return Ref(p);
}

void raise(PyObject* type, std::string message) { throw PyRaise{type, std::move(message)}; }

void panic(std::string message) { throw Panic{std::move(message)}; }

PyObject* panic_type() {
  static PyObject* type = [] {
    PyObject* t = PyErr_NewExceptionWithDoc(
        "olvex_core.PanicException",
        "The exception raised when the module finds a broken internal invariant.\n\n"
        "Like a fatal error it derives from BaseException, so ordinary\n"
        "`except Exception` handlers let it through.",
        PyExc_BaseException, nullptr);
    return t;
  }();
  return type;
}

// Every message goes through here as a str of its full length, so text after
// an embedded NUL (a key or path quoted in the message) is kept.
void set_error(PyObject* type, const std::string& message) noexcept {
  PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
  if (!text) return;  // MemoryError stays set
  PyErr_SetObject(type, text);
  Py_DECREF(text);
}

namespace {

void set_panic(const std::string& message) noexcept {
  PyObject* t = panic_type();
  if (!t) return;  // creating it failed; that error stays set
  set_error(t, message);
}
}  // namespace

void translate_current_exception() noexcept {
  try {
    throw;
  } catch (const PyErrorSet&) {
    if (!PyErr_Occurred()) set_panic("a failed call left no Python error set");
  } catch (const PyRaise& e) {
    set_error(e.type, e.message);
  } catch (const Panic& e) {
    set_panic(e.message);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    set_panic(e.what());
  } catch (...) {
    set_panic("unknown C++ exception");
  }
}

void write_unraisable(PyObject* context) noexcept {
  if (PyErr_Occurred()) PyErr_WriteUnraisable(context);
}

}  // namespace olvex::py
