#pragma once
// BufferDescriptor and MemoryRegistry: the classes of the shm submodule;
// olvex_shm hands out the same BufferDescriptor class object.
#include "py/types.hpp"

namespace olvex::shm {

extern py::TypeCell buffer_descriptor_type;
extern py::TypeCell memory_registry_type;

}  // namespace olvex::shm
