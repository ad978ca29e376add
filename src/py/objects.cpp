#include "py/objects.hpp"

#include <bit>

namespace olvex::py {

Str Str::from_code_points(std::u32string_view text) {
  static_assert(sizeof(char32_t) == 4);
  int order = std::endian::native == std::endian::little ? -1 : 1;
  return adopt(Ref::check(PyUnicode_DecodeUTF32(reinterpret_cast<const char*>(text.data()),
                                                static_cast<Py_ssize_t>(text.size() * 4), "surrogatepass",
                                                &order)));
}

std::string_view Str::utf8() const {
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(get(), &n);
  if (!s) throw PyErrorSet{};
  return {s, static_cast<std::size_t>(n)};
}

Utf8 Str::bytes() const {
  Py_ssize_t n = 0;
  if (const char* s = PyUnicode_AsUTF8AndSize(get(), &n)) return {Ref(), {s, static_cast<std::size_t>(n)}};
  if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw PyErrorSet{};
  PyErr_Clear();
  Ref encoded = Ref::check(PyUnicode_AsEncodedString(get(), "utf-8", "surrogatepass"));
  char* raw = nullptr;
  py::check(PyBytes_AsStringAndSize(encoded.get(), &raw, &n));
  return {std::move(encoded), {raw, static_cast<std::size_t>(n)}};
}

std::u32string Str::code_points() const {
  Py_UCS4* raw = PyUnicode_AsUCS4Copy(get());
  if (!raw) throw PyErrorSet{};
  std::u32string out;
  try {
    out.assign(reinterpret_cast<const char32_t*>(raw), static_cast<std::size_t>(length()));
  } catch (...) {
    PyMem_Free(raw);
    throw;
  }
  PyMem_Free(raw);
  return out;
}

Py_ssize_t Str::find(Py_UCS4 c, Py_ssize_t start) const {
  Py_ssize_t at = PyUnicode_FindChar(get(), c, start, length(), 1);
  if (at == -2) throw PyErrorSet{};
  return at;
}

}  // namespace olvex::py
