#include "py/caught.hpp"

namespace olvex::py {

Ref describe_exception(PyObject* exc) {
  Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(exc)));
  if (!name) {
    discard_ordinary();
    name = Ref::check(PyUnicode_FromString("unknown"));
  }
  Ref text = Ref::steal(PyObject_Str(exc));
  if (!text) {
    discard_ordinary();
    return Ref::check(PyUnicode_FromFormat("%U: <exception str() failed>", name.get()));
  }
  return Ref::check(PyUnicode_FromFormat("%U: %U", name.get(), text.get()));
}

}  // namespace olvex::py
