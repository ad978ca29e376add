#pragma once
// The forced unwinding with which the C library ends a thread (CPython ends
// daemon threads so at exit) must pass through every `catch (...)`: each one
// that could see it is preceded by `catch (abi::__forced_unwind&) { throw; }`.
//
// That unwinding carries no C++ object, yet the handler binds a reference to
// it, which the undefined-behaviour sanitizer's null check reports; the
// functions holding such a handler are left out of that one check.
#include <cxxabi.h>

#define OLVEX_PASSES_FORCED_UNWIND __attribute__((no_sanitize("null")))
