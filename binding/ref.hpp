// One owner per strong reference.
#pragma once

#include <Python.h>

#include <utility>

namespace quiltmap::binding {

// Holds one strong reference (or none) and drops it exactly once, so that a
// failure path is a plain `return`.
class Ref {
public:
    Ref() = default;
    // Takes over a new reference, as returned by most C-API calls; null is
    // allowed and means "the call failed".
    explicit Ref(PyObject* owned) : object_(owned) {}
    static Ref borrow(PyObject* borrowed) {
        Py_XINCREF(borrowed);
        return Ref(borrowed);
    }

    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(object_);
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    PyObject* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    // Hands the reference to the caller (a return value, a stealing call).
    PyObject* release() { return std::exchange(object_, nullptr); }

private:
    PyObject* object_ = nullptr;
};

// A statically allocated type object with every slot empty, to be filled in
// by name; such objects are never deallocated, hence the reference.
inline PyTypeObject blank_static_type() {
    PyTypeObject type{};
    Py_SET_REFCNT(reinterpret_cast<PyObject*>(&type), 1);
    return type;
}

// The interpreter lock is given up for the lifetime of this guard.  Nothing
// inside its scope may touch a Python object.
class WithoutInterpreterLock {
public:
    WithoutInterpreterLock() : saved_(PyEval_SaveThread()) {}
    ~WithoutInterpreterLock() { PyEval_RestoreThread(saved_); }
    WithoutInterpreterLock(const WithoutInterpreterLock&) = delete;
    WithoutInterpreterLock& operator=(const WithoutInterpreterLock&) = delete;

private:
    PyThreadState* saved_;
};

}  // namespace quiltmap::binding
