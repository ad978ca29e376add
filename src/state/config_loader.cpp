// ConfigLoader: a class with one static method over the shape check in
// support/schema_config.hpp; it keeps nothing.
#include "state/config_loader.hpp"

#include "py/args.hpp"
#include "py/convert.hpp"
#include "py/trampoline.hpp"
#include "state/exceptions.hpp"
#include "support/schema_config.hpp"

namespace olvex::state {

namespace {

PyObject* load_from_string(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const py::Params<1> params{"load_from_string", {"content"}, 1};
  auto [content] = params.bind(args, nargs, kwnames);
  std::string_view text = py::arg_str(content, "content");
  if (auto problem = support::check_schema_config(text)) raise(Exc::SchemaViolationError, "Config Error: " + *problem);
  return py::none().release();
}

PyMethodDef loader_methods[] = {
    {"load_from_string", py::method<load_from_string>(), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "load_from_string(content)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot loader_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(py::no_constructor_new)},
    {Py_tp_methods, loader_methods},
    {0, nullptr},
};

PyType_Spec loader_spec = {
    "olvex_core.ConfigLoader",
    0,
    0,
    Py_TPFLAGS_DEFAULT,
    loader_slots,
};

}  // namespace

py::TypeCell config_loader_type("ConfigLoader", [] { return py::make_type(&loader_spec); });

}  // namespace olvex::state
