#pragma once
#include "py/python.hpp"

namespace olvex::module {
PyObject* init_core() noexcept;
PyObject* init_shm() noexcept;
}
