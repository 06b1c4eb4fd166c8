// Owning reference to a Python object: releases it when it goes out of scope.
#pragma once

#include <Python.h>

#include <utility>

namespace flarix {

class Ref {
public:
    Ref() = default;
    // Takes over a new reference (or nullptr after a failed call, with the error set).
    explicit Ref(PyObject* p) : p_(p) {}
    static Ref borrow(PyObject* p)
    {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept
    {
        if (this != &o) {
            Py_XDECREF(p_);
            p_ = std::exchange(o.p_, nullptr);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

}  // namespace flarix
