// BufferDescriptor: what a process needs to rebuild a memoryview over a
// shared segment. Metadata only; immutable once made, so no method borrows.
#include <fmt/format.h>
#include <fmt/ranges.h>

#include <cstdint>
#include <string>
#include <vector>

#include "py/args.hpp"
#include "py/convert.hpp"
#include "py/native.hpp"
#include "py/trampoline.hpp"
#include "shm/shm.hpp"

namespace olvex::shm {

namespace {

struct Descriptor {
  std::string name;
  std::uint64_t size = 0;
  std::vector<std::uint64_t> shape;
  std::string dtype;
};

PyObject* descriptor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const py::Params<4> params{"BufferDescriptor.__new__", {"name", "size", "shape", "dtype"}, 4};
  auto [name, size, shape, dtype] = params.bind(args, kwargs);
  Descriptor d;
  d.name = py::arg_str(name, "name");
  d.size = py::arg_u64(size, "size");
  d.shape = py::arg_u64_list(shape, "shape");
  d.dtype = py::arg_str(dtype, "dtype");
  return py::make_native<Descriptor>(type, std::move(d)).release();
}

const Descriptor& of(PyObject* self) { return py::value_of<Descriptor>(self); }

PyObject* descriptor_name(PyObject* self, void*) { return py::to_py(of(self).name).release(); }
PyObject* descriptor_size(PyObject* self, void*) { return py::to_py_u64(of(self).size).release(); }
PyObject* descriptor_dtype(PyObject* self, void*) { return py::to_py(of(self).dtype).release(); }

PyObject* descriptor_shape(PyObject* self, void*) {
  const std::vector<std::uint64_t>& shape = of(self).shape;
  py::Ref list = py::Ref::check(PyList_New(static_cast<Py_ssize_t>(shape.size())));
  for (std::size_t i = 0; i < shape.size(); ++i) {
    py::check(PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), py::to_py_u64(shape[i]).release()));
  }
  return list.release();
}

PyObject* descriptor_repr(PyObject* self) {
  const Descriptor& d = of(self);
  return py::to_py(fmt::format("<BufferDescriptor name='{}' size={} shape=[{}] dtype='{}'>", d.name, d.size,
                               fmt::join(d.shape, ", "), d.dtype))
      .release();
}

PyGetSetDef descriptor_getset[] = {
    {"name", py::tramp<descriptor_name>, nullptr, nullptr, nullptr},
    {"size", py::tramp<descriptor_size>, nullptr, nullptr, nullptr},
    {"shape", py::tramp<descriptor_shape>, nullptr, nullptr, nullptr},
    {"dtype", py::tramp<descriptor_dtype>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot descriptor_slots[] = {
    {Py_tp_doc, const_cast<char*>("BufferDescriptor(name, size, shape, dtype)\n--\n\n"
                                  "BufferDescriptor: The \"Passport\" for Zero-Copy Data.\n"
                                  "Contains metadata needed for Python to reconstruct a memoryview.")},
    {Py_tp_new, reinterpret_cast<void*>(py::tramp<descriptor_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::tramp<py::dealloc_native<Descriptor>>)},
    {Py_tp_repr, reinterpret_cast<void*>(py::tramp<descriptor_repr>)},
    {Py_tp_getset, descriptor_getset},
    {0, nullptr},
};

PyType_Spec descriptor_spec = {
    "builtins.BufferDescriptor",
    static_cast<int>(sizeof(py::Native<Descriptor>)),
    0,
    Py_TPFLAGS_DEFAULT,
    descriptor_slots,
};

}  // namespace

py::TypeCell buffer_descriptor_type("BufferDescriptor", [] { return py::make_type(&descriptor_spec); });

}  // namespace olvex::shm
