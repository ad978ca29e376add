#pragma once
#include "py/python.hpp"

namespace olvex::module {
// Not noexcept: an import on a thread that the interpreter ends at exit is
// unwound through here.
PyObject* init_core();
PyObject* init_shm();
}
