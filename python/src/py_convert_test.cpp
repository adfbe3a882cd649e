// Native exceptions in the binding layer, forced on every path in an
// embedded interpreter: thrown by a hook inside the critical section of each
// converter (sequence items, dict entries) and by an entry point's body
// behind the fast-call entry, as std::bad_alloc, a std::runtime_error and an
// exception of no standard type. Each must come out as MemoryError or
// RuntimeError with the exact text, and the interpreter must go on working.
#include <Python.h>
#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "py_convert.hpp"
#include "py_ref.hpp"

// The embedded interpreter keeps some memory until the process ends by
// design; only this program's own allocations are checked for leaks.
extern "C" const char* __lsan_default_suppressions() { return "leak:libpython"; }

namespace korvex::py {
namespace {

class Interpreter : public ::testing::Environment {
 public:
  void SetUp() override { Py_InitializeEx(0); }
  void TearDown() override { Py_FinalizeEx(); }
};
[[maybe_unused]] ::testing::Environment* const kInterpreter =
    ::testing::AddGlobalTestEnvironment(new Interpreter);

struct NotAStdException {};

enum class Thrown { kBadAlloc, kRuntimeError, kOther };

[[noreturn]] void throw_one(Thrown kind) {
  switch (kind) {
    case Thrown::kBadAlloc: throw std::bad_alloc();
    case Thrown::kRuntimeError: throw std::runtime_error("stage text \xC3\xA9");
    case Thrown::kOther: throw NotAStdException{};
  }
  throw NotAStdException{};
}

struct Case {
  const char* name;
  Thrown thrown;
  const char* type;     // name of the Python exception type
  const char* message;  // its str()
};

const std::vector<Case>& cases() {
  static const std::vector<Case> all = {
      {"bad_alloc", Thrown::kBadAlloc, "MemoryError", ""},
      {"runtime_error", Thrown::kRuntimeError, "RuntimeError", "stage text \xC3\xA9"},
      {"no standard type", Thrown::kOther, "RuntimeError", "unknown native failure"},
  };
  return all;
}

// Takes the raised exception and checks its type name and text; then checks
// that nothing is left raised and that Python code still runs.
void expect_raised(const Case& c) {
  ASSERT_NE(PyErr_Occurred(), nullptr) << c.name;
#if PY_VERSION_HEX >= 0x030C0000
  Ref value = Ref::steal(PyErr_GetRaisedException());
#else
  PyObject* raw_type = nullptr;
  PyObject* raw_value = nullptr;
  PyObject* raw_traceback = nullptr;
  PyErr_Fetch(&raw_type, &raw_value, &raw_traceback);
  PyErr_NormalizeException(&raw_type, &raw_value, &raw_traceback);
  Ref type = Ref::steal(raw_type);
  Ref value = Ref::steal(raw_value);
  Ref traceback = Ref::steal(raw_traceback);
#endif
  ASSERT_TRUE(value) << c.name;
  EXPECT_STREQ(Py_TYPE(value.get())->tp_name, c.type) << c.name;
  Ref text = Ref::steal(PyObject_Str(value.get()));
  ASSERT_TRUE(text) << c.name;
  EXPECT_STREQ(PyUnicode_AsUTF8(text.get()), c.message) << c.name;
  EXPECT_EQ(PyErr_Occurred(), nullptr) << c.name;
  EXPECT_EQ(PyRun_SimpleString("assert sum(range(10)) == 45"), 0) << c.name;
}

TEST(NativeExceptions, SequenceItemHookInsideTheCriticalSection) {
  Ref list = Ref::steal(Py_BuildValue("[ss]", "a", "b"));
  ASSERT_TRUE(list);
  for (const Case& c : cases()) {
    std::vector<std::string> out;
    const bool ok = copy_sequence(list.get(), out, [&](PyObject*, std::string&) -> bool { throw_one(c.thrown); });
    EXPECT_FALSE(ok) << c.name;
    expect_raised(c);
    // The section was ended: the same object converts again.
    out.clear();
    EXPECT_TRUE(copy_str_sequence(list.get(), out)) << c.name;
    EXPECT_EQ(out, (std::vector<std::string>{"a", "b"})) << c.name;
  }
}

TEST(NativeExceptions, DictEntryHookInsideTheCriticalSection) {
  Ref dict = Ref::steal(Py_BuildValue("{sisi}", "a", 1, "b", 2));
  ASSERT_TRUE(dict);
  for (const Case& c : cases()) {
    const bool ok = walk_dict(dict.get(), [&](PyObject*, PyObject*) -> bool { throw_one(c.thrown); });
    EXPECT_FALSE(ok) << c.name;
    expect_raised(c);
    int entries = 0;
    EXPECT_TRUE(walk_dict(dict.get(), [&](PyObject*, PyObject*) { return ++entries > 0; })) << c.name;
    EXPECT_EQ(entries, 2) << c.name;
  }
}

template <Thrown kind>
PyObject* throwing_body(PyObject* const*, Py_ssize_t, PyObject*) {
  throw_one(kind);
}

template <Thrown kind>
PyMethodDef throwing_def = method_def<throwing_body<kind>>("throwing", nullptr);

TEST(NativeExceptions, ThroughTheFastCallEntry) {
  PyMethodDef* defs[] = {&throwing_def<Thrown::kBadAlloc>, &throwing_def<Thrown::kRuntimeError>,
                         &throwing_def<Thrown::kOther>};
  for (std::size_t i = 0; i < cases().size(); ++i) {
    const Case& c = cases()[i];
    Ref function = Ref::steal(PyCFunction_NewEx(defs[i], nullptr, nullptr));
    ASSERT_TRUE(function) << c.name;
    Ref result = Ref::steal(PyObject_CallNoArgs(function.get()));
    EXPECT_FALSE(result) << c.name;
    expect_raised(c);
  }
}

}  // namespace
}  // namespace korvex::py
