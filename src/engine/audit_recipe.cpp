// AuditRecipe: the four settings an AuditSystem copies at construction.
#include "engine/audit.hpp"
#include "py/args.hpp"
#include "py/convert.hpp"
#include "py/native.hpp"
#include "py/trampoline.hpp"

namespace olvex::engine {

using support::AuditRecipe;

namespace {

AuditRecipe& recipe_of(PyObject* self) noexcept { return py::value_of<AuditRecipe>(self); }
py::BorrowFlag& flag(PyObject* self) noexcept { return py::flag_of<AuditRecipe>(self); }

PyObject* recipe_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const py::Params<4> params{
      "AuditRecipe.__new__", {"level", "threshold_max", "threshold_min", "reset_on_success"}, 0};
  auto [level, max, min, reset] = params.bind(args, kwargs);
  AuditRecipe r;
  if (PyObject* l = py::optional(level)) r.level = arg_audit_level(l, "level");
  if (max) r.threshold_max = py::arg_unsigned<std::uint32_t>(max, "threshold_max");
  if (min) r.threshold_min = py::arg_unsigned<std::uint32_t>(min, "threshold_min");
  if (reset) r.reset_on_success = py::arg_bool(reset, "reset_on_success");
  return py::make_native<AuditRecipe>(type, r).release();
}

// Setters convert first, then borrow: a conversion may run Python code.
void refuse_delete(PyObject* value) {
  if (!value) py::raise(PyExc_AttributeError, "can't delete attribute");
}

PyObject* get_level(PyObject* self, void*) {
  py::SharedBorrow borrow(flag(self));
  return audit_level_object(recipe_of(self).level).release();
}

int set_level(PyObject* self, PyObject* value, void*) {
  refuse_delete(value);
  support::AuditLevel level = arg_audit_level(value, "level");
  py::ExclusiveBorrow borrow(flag(self));
  recipe_of(self).level = level;
  return 0;
}

template <std::uint32_t AuditRecipe::*Field>
PyObject* get_threshold(PyObject* self, void*) {
  py::SharedBorrow borrow(flag(self));
  return py::to_py_u64(recipe_of(self).*Field).release();
}

template <std::uint32_t AuditRecipe::*Field>
int set_threshold(PyObject* self, PyObject* value, void* name) {
  refuse_delete(value);
  auto v = py::arg_unsigned<std::uint32_t>(value, static_cast<const char*>(name));
  py::ExclusiveBorrow borrow(flag(self));
  recipe_of(self).*Field = v;
  return 0;
}

PyObject* get_reset_on_success(PyObject* self, void*) {
  py::SharedBorrow borrow(flag(self));
  return py::boolean(recipe_of(self).reset_on_success).release();
}

int set_reset_on_success(PyObject* self, PyObject* value, void*) {
  refuse_delete(value);
  bool v = py::arg_bool(value, "reset_on_success");
  py::ExclusiveBorrow borrow(flag(self));
  recipe_of(self).reset_on_success = v;
  return 0;
}

PyGetSetDef recipe_getset[] = {
    {"level", py::tramp<get_level>, py::tramp<set_level>, nullptr, nullptr},
    {"threshold_max", py::tramp<get_threshold<&AuditRecipe::threshold_max>>,
     py::tramp<set_threshold<&AuditRecipe::threshold_max>>, nullptr, const_cast<char*>("threshold_max")},
    {"threshold_min", py::tramp<get_threshold<&AuditRecipe::threshold_min>>,
     py::tramp<set_threshold<&AuditRecipe::threshold_min>>, nullptr, const_cast<char*>("threshold_min")},
    {"reset_on_success", py::tramp<get_reset_on_success>, py::tramp<set_reset_on_success>, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot recipe_slots[] = {
    {Py_tp_doc, const_cast<char*>("AuditRecipe(level=None, threshold_max=3, threshold_min=0, reset_on_success=True)\n"
                                  "--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(py::tramp<recipe_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::tramp<py::dealloc_native<AuditRecipe>>)},
    {Py_tp_getset, recipe_getset},
    {0, nullptr},
};

PyType_Spec recipe_spec = {
    "olvex_core.AuditRecipe",
    static_cast<int>(sizeof(py::Native<AuditRecipe>)),
    0,
    Py_TPFLAGS_DEFAULT,
    recipe_slots,
};

}  // namespace

py::TypeCell audit_recipe_type("AuditRecipe", [] { return py::make_type(&recipe_spec); });

AuditRecipe arg_audit_recipe(PyObject* o, const char* arg) {
  if (!PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject*>(audit_recipe_type.get()))) {
    py::raise_arg_type(arg, o, "AuditRecipe");
  }
  // A recipe is held exclusively only inside its own setters, which run no
  // Python code once they hold it.
  py::SharedBorrow borrow(flag(o), py::OnConflict::Panic);
  return recipe_of(o);
}

}  // namespace olvex::engine
