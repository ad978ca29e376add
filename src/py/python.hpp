#pragma once
// Every native file includes Python through here so the limited API level is
// the same everywhere.
#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030D0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>
