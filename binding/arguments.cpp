#include "binding/arguments.hpp"

#include <cstring>

namespace quiltmap::binding {
namespace {

bool raise_count(const Signature& signature, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", signature.name,
                 "exactly", static_cast<Py_ssize_t>(signature.count), signature.count == 1 ? "" : "s", given);
    return false;
}

// Equality of two exact str objects without a call into the interpreter.
bool same_text(PyObject* a, PyObject* b) {
    if (PyObject_Hash(a) != PyObject_Hash(b)) return false;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    if (length != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) return false;
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<std::size_t>(length) * PyUnicode_KIND(a)) ==
           0;
}

// Index in [first, last) of the parameter named `keyword`, -1 for none, -2
// when the comparison itself raised.
Py_ssize_t find_name(const Signature& signature, PyObject* keyword, Py_ssize_t first, Py_ssize_t last) {
    const bool exact = PyUnicode_CheckExact(keyword);
    for (Py_ssize_t i = first; i < last; ++i) {
        PyObject* name = signature.interned_names[i];
        if (exact) {
            if (same_text(keyword, name)) return i;
            continue;
        }
        const int equal = PyObject_RichCompareBool(keyword, name, Py_EQ);
        if (equal < 0) return -2;
        if (equal) return i;
    }
    return -1;
}

// The parameter a keyword fills, or -1 with TypeError set.
Py_ssize_t match_keyword(const Signature& signature, PyObject* keyword, Py_ssize_t positional) {
    // Literal keywords arrive as the very interned objects the table holds.
    for (Py_ssize_t i = positional; i < signature.count; ++i) {
        if (signature.interned_names[i] == keyword) return i;
    }
    if (!PyUnicode_Check(keyword)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", signature.name);
        return -1;
    }
    const Py_ssize_t free_slot = find_name(signature, keyword, positional, signature.count);
    if (free_slot != -1) return free_slot >= 0 ? free_slot : -1;
    const Py_ssize_t taken = find_name(signature, keyword, 0, positional);
    if (taken == -2) return -1;
    if (taken >= 0) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", signature.name, keyword);
    } else {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", signature.name, keyword);
    }
    return -1;
}

}  // namespace

bool intern_parameter_names(const Signature& signature) {
    for (int i = 0; i < signature.count; ++i) {
        if (signature.interned_names[i] != nullptr) continue;
        signature.interned_names[i] = PyUnicode_InternFromString(signature.names[i]);
        if (signature.interned_names[i] == nullptr) return false;
    }
    return true;
}

bool fill_parameters(const Signature& signature, PyObject* const* args, std::size_t nargsf, PyObject* kwnames,
                     PyObject** filled) {
    const Py_ssize_t positional = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t keywords = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    if (keywords == 0 ? positional != signature.count : positional > signature.count) {
        return raise_count(signature, positional);
    }
    for (Py_ssize_t i = 0; i < positional; ++i) filled[i] = args[i];
    for (Py_ssize_t j = 0; j < keywords; ++j) {
        const Py_ssize_t slot = match_keyword(signature, PyTuple_GET_ITEM(kwnames, j), positional);
        if (slot < 0) return false;
        filled[slot] = args[positional + j];
    }
    // The count reported is that of the parameters in front of the first
    // one left unfilled.
    for (Py_ssize_t i = positional; i < signature.count; ++i) {
        if (filled[i] == nullptr) return raise_count(signature, i);
    }
    return true;
}

}  // namespace quiltmap::binding
