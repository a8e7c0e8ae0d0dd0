// The module's function type: vectorcall objects with the attributes of a
// Python function (name, qualified name, module, documentation, code object
// with the parameters and locals, globals, annotations, an empty closure and
// no defaults), bound to an instance when stored on a class and pickled by
// reference, so that inspect, pydoc and pickle treat them like the Python
// functions whose interface they keep.
#pragma once

#include <Python.h>

#include <cstddef>

#include "binding/arguments.hpp"

namespace quiltmap::binding {

// One call of a function: its module's globals, and the source line of the
// statement that failed, which the traceback entry shows.
class Call {
public:
    Call(PyObject* globals, int first_line) : globals_(globals), line_(first_line) {}
    PyObject* globals() const { return globals_; }
    int line() const { return line_; }
    // Reports a failure (the exception is set) at `line`; returns null.
    PyObject* fail(int line) {
        line_ = line;
        return nullptr;
    }

private:
    PyObject* globals_;
    int line_;
};

// Binds a call by the parameter table `params`, then runs `body`, which
// starts with the converted arguments and the interpreter lock held and
// returns a new reference, or null through Call::fail.
template <const auto& params, PyObject* (*body)(const Arguments<params>&, Call&)>
PyObject* bind_and_run(const Signature& signature, PyObject* const* args, std::size_t nargsf, PyObject* kwnames,
                       Call& call) {
    Arguments<params> arguments;
    int line = signature.first_line;
    if (!arguments.bind(signature, args, nargsf, kwnames, &line)) return call.fail(line);
    return body(arguments, call);
}

// Everything the machinery needs of one function.
struct FunctionDef {
    const char* name;
    const char* qualified_name;  // as the traceback entry shows it
    const char* source_path;     // the traceback entry's file
    const Signature& signature;
    const char* const* locals;
    int local_count;
    const char* doc;
    PyObject* (*run)(const Signature&, PyObject* const*, std::size_t, PyObject*, Call&);  // a bind_and_run
};

// Readies the function type; once per process, at module start-up.
bool ready_function_type();

// A code object that describes `def`'s parameters and locals, for
// __code__ and for the frames of traceback entries to point at.
PyObject* make_code_object(const FunctionDef& def);

// A new function object for `def` in the module `module_name` whose
// dictionary is `globals`.
PyObject* new_function(const FunctionDef& def, PyObject* code, PyObject* module_name, PyObject* globals);

}  // namespace quiltmap::binding
