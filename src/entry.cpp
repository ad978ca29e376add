// The exported init entry points live in the module library itself so that
// the linker keeps every object of the bindings archive they reach.
#include "module.hpp"

PyMODINIT_FUNC PyInit_olvex_core(void) { return olvex::module::init_core(); }
PyMODINIT_FUNC PyInit_olvex_shm(void) { return olvex::module::init_shm(); }
