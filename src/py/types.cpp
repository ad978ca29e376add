#include "py/types.hpp"

#include <fmt/format.h>

#include "py/convert.hpp"
#include "py/trampoline.hpp"
#include "py/unwind.hpp"

namespace olvex::py {

PyObject* make_type(PyType_Spec* spec, PyObject* base) {
  Ref type = Ref::check(PyType_FromMetaclass(nullptr, nullptr, spec, base));
  constexpr std::string_view kBuiltins = "builtins.";
  std::string_view name(spec->name);
  if (name.starts_with(kBuiltins)) {
    Ref bare = to_py(name.substr(kBuiltins.size()));
    check(PyObject_SetAttrString(type.get(), "__name__", bare.get()));
  }
  // A doc that is only a text signature means no docstring: __doc__ None,
  // not "" (the signature is still read from the slot).
  auto* tp = reinterpret_cast<PyTypeObject*>(type.get());
  if (auto* doc = static_cast<const char*>(PyType_GetSlot(tp, Py_tp_doc))) {
    if (std::string_view(doc).ends_with(")\n--\n\n")) check(PyObject_SetAttrString(type.get(), "__doc__", Py_None));
  }
  return type.release();
}

PyObject* TypeCell::get() {
  if (!type_) {
    PyObject* t = factory_();
    // Creating a type can run Python code; another thread may have won.
    if (type_) {
      Py_DECREF(t);
    } else {
      type_ = t;
    }
  }
  return type_;
}

OLVEX_PASSES_FORCED_UNWIND PyObject* TypeCell::get_for_registration() {
  try {
    return get();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    translate_current_exception();
    Ref cause = Ref::steal(PyErr_GetRaisedException());
    std::string msg = fmt::format("An error occurred while initializing class {}", name_);
    Ref err = Ref::check(PyObject_CallFunction(PyExc_RuntimeError, "s#", msg.data(), (Py_ssize_t)msg.size()));
    PyException_SetCause(err.get(), cause.release());
    PyErr_SetRaisedException(err.release());
    throw PyErrorSet{};
  }
}

namespace {
PyObject* refuse_new(PyTypeObject* type, PyObject*, PyObject*) {
  Ref name = Ref::check(PyType_GetName(type));
  raise(PyExc_TypeError, fmt::format("No constructor defined for {}", utf8(name.get())));
}
}  // namespace

PyObject* no_constructor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return tramp<refuse_new>(type, args, kwargs);
}

}  // namespace olvex::py
