// The native deep copy against copy.deepcopy itself, on seeded generated
// trees: shared sub-objects, cycles, tuples with and without mutable
// members, every scalar type, and nestings around the depth bound.
#include <gtest/gtest.h>

#include "engine/deep_copy.hpp"
#include "py/errors.hpp"
#include "py/ref.hpp"

namespace {

using olvex::py::Ref;

// native_copy(x) -> (copy,) or None when the native copy declines.
PyObject* native_copy(PyObject*, PyObject* value) {
  Ref copy_module = Ref::steal(PyImport_ImportModule("copy"));
  if (!copy_module) return nullptr;
  Ref deepcopy = Ref::steal(PyObject_GetAttrString(copy_module.get(), "deepcopy"));
  if (!deepcopy) return nullptr;
  try {
    Ref result = olvex::engine::native_deepcopy(copy_module.get(), deepcopy.get(), value);
    if (!result) Py_RETURN_NONE;
    return PyTuple_Pack(1, result.get());
  } catch (const olvex::py::PyErrorSet&) {
    return nullptr;
  }
}

PyMethodDef native_copy_def = {"native_copy", native_copy, METH_O, nullptr};

const char* kScript = R"PY(
import copy, random

SCALARS = (str, int, float, bool, type(None), bytes)
ATOMS = [0, -7, 10**30, 1.5, float("nan"), True, False, None, "", "k", "é\ud800", b"", b"raw"]


def scalar(r):
    return r.choice(ATOMS)


def key(r):
    k = r.choice(ATOMS)
    return (k, r.choice(ATOMS)) if r.random() < 0.2 else k


def build(r, depth, pool):
    if depth <= 0 or r.random() < 0.25:
        return scalar(r)
    if pool and r.random() < 0.2:
        return r.choice(pool)  # shared, and a cycle when it is an ancestor
    kind = r.choice(["dict", "list", "tuple", "ituple"])
    n = r.randint(0, 4)
    if kind == "ituple":
        return tuple(scalar(r) for _ in range(n))
    if kind == "tuple":
        made = tuple(build(r, depth - 1, pool) for _ in range(n))
        for member in made:
            if r.random() < 0.5 and type(member) is list:
                member.append(made)  # a cycle through the tuple
            elif r.random() < 0.5 and type(member) is dict:
                member[key(r)] = made
        pool.append(made)
        return made
    made = {} if kind == "dict" else []
    pool.append(made)
    for _ in range(n):
        if kind == "dict":
            made[key(r)] = build(r, depth - 1, pool)
        else:
            made.append(build(r, depth - 1, pool))
    return made


def levels(x):
    """The deepest container nesting the native copy walks: first visits
    only, a tuple memoised only when its copy differs from it."""
    memo = set()
    deepest = 0

    def walk(v, d):
        nonlocal deepest
        if type(v) in SCALARS or id(v) in memo:
            return False
        d += 1
        deepest = max(deepest, d)
        if type(v) is tuple:
            changed = any([walk(a, d) for a in v])
            if changed:
                memo.add(id(v))
            return changed
        memo.add(id(v))
        for item in (v.items() if type(v) is dict else v):
            if type(v) is dict:
                walk(item[0], d)
                walk(item[1], d)
            else:
                walk(item, d)
        return True

    walk(x, 0)
    return deepest


def same(a, b, src):
    """a and b have one shape: the same types, the same sharing and
    cycles, the same scalar objects, and the same parts that are the
    source's own objects."""
    forward, backward = {}, {}
    todo = [(a, b, src)]
    while todo:
        x, y, s = todo.pop()
        assert type(x) is type(y), (type(x), type(y))
        assert (x is s) == (y is s)
        if type(x) in SCALARS:
            assert x is y
            continue
        if id(x) in forward:
            assert forward[id(x)] is y and backward[id(y)] is x
            continue
        assert id(y) not in backward
        forward[id(x)], backward[id(y)] = y, x
        if type(x) is dict:
            assert all(k1 is k2 for k1, k2 in zip(x, y)) and len(x) == len(y) == len(s)
            todo.extend((x[k], y[k], s[k]) for k in s)
        else:
            assert len(x) == len(y) == len(s)
            todo.extend(zip(x, y, s))


engaged = 0
for seed in range(400):
    r = random.Random(seed)
    tree = build(r, r.randint(1, 12), [])
    got = native_copy(tree)
    if levels(tree) > 64:
        assert got is None, seed
        continue
    assert got is not None, seed
    engaged += 1
    same(got[0], copy.deepcopy(tree), tree)
assert engaged > 350, engaged

# nestings around the bound, each kind of container
for depth in range(60, 70):
    for wrap in (lambda x: [x], lambda x: {"k": x}, lambda x: (x, []), lambda x: ((x,),)):
        x = 1
        for _ in range(depth):
            x = wrap(x)
        got = native_copy(x)
        if levels(x) <= 64:
            assert got is not None, depth
            same(got[0], copy.deepcopy(x), x)
        else:
            assert got is None, depth

# scalars and immutable tuples are their own copies
for v in ATOMS + [(1, ("a", b"b")), ()]:
    assert native_copy(v)[0] is v

# anything else, anywhere, goes to the host whole
class Obj:
    pass
for v in [Obj(), {"a": [Obj()]}, [frozenset()], {"k": 1j}, (1, {2}), {Obj: 1}, bytearray(), range(2)]:
    assert native_copy(v) is None, v

# a host deepcopy or dispatch that is not the standard library's own
real = copy.deepcopy
copy.deepcopy = lambda x, memo=None: real(x, memo)
try:
    assert native_copy({"a": 1}) is None
finally:
    copy.deepcopy = real
saved = copy._deepcopy_dispatch[int]
copy._deepcopy_dispatch[int] = lambda x, memo: x
try:
    assert native_copy({"a": 1}) is None
    assert native_copy({"a": "text"}) is not None  # only the kinds met matter
finally:
    copy._deepcopy_dispatch[int] = saved
assert native_copy({"a": 1}) is not None
)PY";

TEST(NativeDeepCopy, MatchesCopyDeepcopy) {
  Ref globals = Ref::steal(PyDict_New());
  ASSERT_EQ(PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()), 0);
  Ref fn = Ref::steal(PyCFunction_New(&native_copy_def, nullptr));
  ASSERT_EQ(PyDict_SetItemString(globals.get(), "native_copy", fn.get()), 0);
  Ref code = Ref::steal(Py_CompileString(kScript, "<deep_copy>", Py_file_input));
  Ref result = code ? Ref::steal(PyEval_EvalCode(code.get(), globals.get(), globals.get())) : Ref();
  if (!result) PyErr_Print();
  EXPECT_TRUE(result);
}

}  // namespace
