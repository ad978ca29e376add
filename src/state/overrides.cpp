#include "state/overrides.hpp"

#include <cstdint>

#include "py/args.hpp"
#include "py/convert.hpp"
#include "py/trampoline.hpp"
#include "support/zones.hpp"

namespace olvex::state {

namespace {

PyObject* register_override(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const py::Params<2> params{"register_physics_override", {"path", "caps"}, 2};
  auto [path_obj, caps_obj] = params.bind(args, nargs, kwnames);
  // Both arguments are converted before the table is touched.
  std::string_view path = py::arg_str(path_obj, "path");
  auto caps = py::arg_unsigned<std::uint8_t>(caps_obj, "caps");
  support::register_physics_override(path, caps);
  return py::none().release();
}

PyObject* clear_overrides(PyObject*, PyObject*) {
  support::clear_physics_overrides();
  return py::none().release();
}

}  // namespace

PyMethodDef register_physics_override_def = {
    "register_physics_override", py::method<register_override>(), METH_FASTCALL | METH_KEYWORDS,
    "register_physics_override(path, caps)\n--\n\n"};

PyMethodDef clear_physics_overrides_def = {"clear_physics_overrides", py::method<clear_overrides>(), METH_NOARGS,
                                           "clear_physics_overrides()\n--\n\n"};

}  // namespace olvex::state
