// kel.hpp - a thin C++ layer over the stand-in host's C API, so that tests,
// demos and benchmarks read like the Kel programs they stand for:
//
//   kel::Host host;                       // loads libvantrel.so
//   kel::Value ll, s2;
//   kel::Value y = {{1.0, 2.0, kel::nan()}};
//   host.call("LdsLik", {kel::ref(ll), kel::ref(s2), y, sys, var});
//   double loglik = ll.asDouble();
//
// Host errors come back as kel::Error (code and message text); warnings
// printed by the library are collected in host.messages().
#ifndef KELHOST_KEL_HPP
#define KELHOST_KEL_HPP

#include <cstddef>
#include <initializer_list>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "kelhost/kelhost.h"

namespace kel {

inline double nan() { return std::numeric_limits<double>::quiet_NaN(); }

struct Error : std::runtime_error {
    int code;
    Error(int c, const std::string &text) : std::runtime_error(text), code(c) {}
};

// A Kel value that owns its record: an int, a double or a matrix.
class Value {
public:
    Value() { kelhost_int(&rec_, 0); }
    Value(int v) { kelhost_int(&rec_, v); }
    Value(double v) { kelhost_double(&rec_, v); }
    // A matrix from its rows; all rows must have the same length.
    Value(std::initializer_list<std::initializer_list<double>> rows);
    Value(const std::vector<std::vector<double>> &rows);
    Value(const Value &other);
    Value(Value &&other) noexcept;
    Value &operator=(Value other) noexcept;
    ~Value() { kelhost_free_value(&rec_); }

    static Value matrix(int rows, int cols, double fill = 0.0);
    static Value empty() { return matrix(0, 0); }
    // A row vector (1 x n) or a column vector (n x 1).
    static Value row(const std::vector<double> &v);
    static Value column(const std::vector<double> &v);

    int type() const { return rec_.type; }
    bool isMatrix() const { return rec_.type == KEL_MATRIX; }
    int asInt() const;        // throws std::logic_error unless an int
    double asDouble() const;  // an int or double
    int rows() const { return isMatrix() ? rec_.v.mval.rows : 0; }
    int cols() const { return isMatrix() ? rec_.v.mval.cols : 0; }
    double operator()(int i, int j) const;  // bounds-checked
    double &at(int i, int j);                // bounds-checked
    double **data() { return isMatrix() ? rec_.v.mval.data : nullptr; }
    std::vector<std::vector<double>> toRows() const;

    KelVALUE *raw() { return &rec_; }
    const KelVALUE *raw() const { return &rec_; }

private:
    KelVALUE rec_;
};

// An argument of a host call: a value passed as it is (the library sees the
// same matrix storage, as in Kel) or a reference to a variable.
class Arg {
public:
    Arg(Value &v) : value_(&v), ref_(false) {}
    Arg(const Value &v) : value_(const_cast<Value *>(&v)), ref_(false) {}
    Arg(int v) : owned_(v), value_(&owned_), ref_(false) {}
    Arg(double v) : owned_(v), value_(&owned_), ref_(false) {}
    Arg(const Arg &other);
    Arg &operator=(const Arg &other);
    static Arg reference(Value &v) { Arg a(v); a.ref_ = true; return a; }

    void fill(KelVALUE *slot) const;  // shallow record for the call

private:
    Value owned_;
    Value *value_;
    bool ref_;
};

inline Arg ref(Value &v) { return Arg::reference(v); }

class Host {
public:
    // Loads the library at `path` (default: the library this tree builds).
    explicit Host(const std::string &path = std::string());
    ~Host();
    Host(const Host &) = delete;
    Host &operator=(const Host &) = delete;

    // Calls the host function `name`; returns the return record.
    Value call(const std::string &name, const std::vector<Arg> &args);
    // The same, returning the error code (0 on success) instead of throwing;
    // the message text goes to *text when given.
    int tryCall(const std::string &name, const std::vector<Arg> &args,
                Value *result = nullptr, std::string *text = nullptr);

    KelHostFunction function(const std::string &name);
    void *symbol(const std::string &name);

    // Warnings printed since construction or the last clearMessages().
    const std::vector<std::string> &messages() const { return messages_; }
    void clearMessages() { messages_.clear(); }

    static void seed(unsigned long long s) { kelhost_seed(s); }

private:
    void *handle_;
    std::vector<std::string> messages_;
};

// Default path of libvantrel.so, set by the build.
const char *defaultLibraryPath();

}  // namespace kel

#endif
