// Binding a call's arguments to a function's parameters, and converting
// them, driven by one table per function.
#pragma once

#include <Python.h>

#include <cstdint>

#include "binding/ref.hpp"
#include "binding/views.hpp"

namespace quiltmap::binding {

enum class ParamKind : unsigned char {
    Array,   // an ArrayView by the parameter's ViewRule
    Real,    // double
    Single,  // double rounded to float
    Int32,   // signed 32-bit integer
};

struct Param {
    const char* name;
    ParamKind kind;
    ViewRule view;  // for arrays only
    int line;       // traceback line when this parameter's conversion fails
};

inline constexpr int kMaxParams = 14;

struct Signature {
    const char* name;  // as binding messages show it: "sgm"
    int first_line;    // traceback line of binding failures
    const Param* params;
    int count;
    // The parameter names as interned strings, made once at module start-up
    // so that keywords written as literals match by identity.
    PyObject** interned_names;
};

// Interns the names of `signature`'s parameters once; false with an
// exception set.
bool intern_parameter_names(const Signature& signature);

// The converted parameters of one call.  It holds a strong reference to
// every argument and the view of every array parameter until it is
// destroyed: first the references are dropped, then the views released.
class CallArguments {
public:
    // Fills the parameters from a vectorcall (positional arguments, then the
    // values of the keywords named in kwnames) and converts them in
    // positional order, stopping at the first failure.  Returns false with
    // an exception set and *line set to the traceback line.
    bool bind(const Signature& signature, PyObject* const* args, std::size_t nargsf, PyObject* kwnames,
              int* line);

    PyObject* object(int i) const { return objects_[i].get(); }
    const ArrayView& view(int i) const { return slots_[i].view; }
    double real(int i) const { return slots_[i].real; }
    float single(int i) const { return slots_[i].single; }
    std::int32_t int32(int i) const { return slots_[i].int32; }

private:
    struct Slot {
        ArrayView view;
        double real = 0.0;
        float single = 0.0f;
        std::int32_t int32 = 0;
    };
    // Declared before the references so that they are destroyed after them.
    Slot slots_[kMaxParams];
    Ref objects_[kMaxParams];
};

}  // namespace quiltmap::binding
