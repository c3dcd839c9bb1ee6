// kel.cpp - the C++ layer over the stand-in host's C API.
#include "kelhost/kel.hpp"

#include <cstring>

namespace kel {

#ifdef VANTREL_LIBRARY_PATH
const char *defaultLibraryPath() { return VANTREL_LIBRARY_PATH; }
#else
const char *defaultLibraryPath() { return "libvantrel.so"; }
#endif

namespace {

void fillRows(KelVALUE *rec, const std::vector<std::vector<double>> &rows) {
    int r = int(rows.size());
    int c = r ? int(rows[0].size()) : 0;
    for (const auto &row : rows)
        if (int(row.size()) != c) throw std::invalid_argument("kel::Value: ragged matrix rows");
    double **d = kelhost_matrix(rec, r, c);
    if (!d) throw std::bad_alloc();
    for (int i = 0; i < r; ++i)
        for (int j = 0; j < c; ++j) d[i][j] = rows[std::size_t(i)][std::size_t(j)];
}

void collect(const char *text, void *context) {
    static_cast<std::vector<std::string> *>(context)->push_back(text);
}

}  // namespace

Value::Value(std::initializer_list<std::initializer_list<double>> rows) {
    std::vector<std::vector<double>> v;
    for (const auto &row : rows) v.emplace_back(row);
    kelhost_int(&rec_, 0);
    fillRows(&rec_, v);
}

Value::Value(const std::vector<std::vector<double>> &rows) {
    kelhost_int(&rec_, 0);
    fillRows(&rec_, rows);
}

Value::Value(const Value &other) {
    kelhost_int(&rec_, 0);
    if (other.rec_.type != KEL_MATRIX) {
        rec_ = other.rec_;
        return;
    }
    int r = other.rows(), c = other.cols();
    double **d = kelhost_matrix(&rec_, r, c);
    if (!d) throw std::bad_alloc();
    for (int i = 0; i < r; ++i)
        for (int j = 0; j < c; ++j) d[i][j] = other.rec_.v.mval.data[i][j];
}

Value::Value(Value &&other) noexcept : rec_(other.rec_) { kelhost_int(&other.rec_, 0); }

Value &Value::operator=(Value other) noexcept {
    std::swap(rec_, other.rec_);
    return *this;
}

Value Value::matrix(int rows, int cols, double fill) {
    Value v;
    double **d = kelhost_matrix(&v.rec_, rows, cols);
    if (!d) throw std::bad_alloc();
    for (int i = 0; i < rows; ++i)
        for (int j = 0; j < cols; ++j) d[i][j] = fill;
    return v;
}

Value Value::row(const std::vector<double> &v) {
    return Value(std::vector<std::vector<double>>{v});
}

Value Value::column(const std::vector<double> &v) {
    Value out = matrix(int(v.size()), 1);
    for (std::size_t i = 0; i < v.size(); ++i) out.at(int(i), 0) = v[i];
    return out;
}

int Value::asInt() const {
    if (rec_.type != KEL_INT) throw std::logic_error("kel::Value: not an int");
    return rec_.v.ival;
}

double Value::asDouble() const {
    if (rec_.type == KEL_DOUBLE) return rec_.v.dval;
    if (rec_.type == KEL_INT) return rec_.v.ival;
    throw std::logic_error("kel::Value: not a number");
}

double Value::operator()(int i, int j) const {
    if (!isMatrix() || i < 0 || j < 0 || i >= rows() || j >= cols())
        throw std::out_of_range("kel::Value: index out of range");
    return rec_.v.mval.data[i][j];
}

double &Value::at(int i, int j) {
    if (!isMatrix() || i < 0 || j < 0 || i >= rows() || j >= cols())
        throw std::out_of_range("kel::Value: index out of range");
    return rec_.v.mval.data[i][j];
}

std::vector<std::vector<double>> Value::toRows() const {
    std::vector<std::vector<double>> out(static_cast<std::size_t>(rows()));
    for (int i = 0; i < rows(); ++i)
        out[std::size_t(i)].assign(rec_.v.mval.data[i], rec_.v.mval.data[i] + cols());
    return out;
}

Arg::Arg(const Arg &other) : owned_(other.owned_), value_(other.value_), ref_(other.ref_) {
    if (other.value_ == &other.owned_) value_ = &owned_;
}

// An argument holding its own value points at its own copy, never at the
// other argument's.
Arg &Arg::operator=(const Arg &other) {
    if (this != &other) {
        owned_ = other.owned_;
        value_ = other.value_ == &other.owned_ ? &owned_ : other.value_;
        ref_ = other.ref_;
    }
    return *this;
}

void Arg::fill(KelVALUE *slot) const {
    if (ref_) kelhost_ref(slot, value_->raw());
    else *slot = *value_->raw();
}

Host::Host(const std::string &path) {
    handle_ = kelhost_open(path.empty() ? defaultLibraryPath() : path.c_str());
    if (!handle_) throw std::runtime_error(std::string("kel::Host: ") + kelhost_last_error());
    kelhost_set_message_sink(collect, &messages_);
}

Host::~Host() {
    kelhost_set_message_sink(nullptr, nullptr);
    kelhost_close(handle_);
}

KelHostFunction Host::function(const std::string &name) {
    KelHostFunction fn = kelhost_lookup(handle_, name.c_str());
    if (!fn) throw std::runtime_error("kel::Host: no host function " + name);
    return fn;
}

void *Host::symbol(const std::string &name) { return kelhost_symbol(handle_, name.c_str()); }

int Host::tryCall(const std::string &name, const std::vector<Arg> &args, Value *result,
                  std::string *text) {
    KelHostFunction fn = function(name);
    std::vector<KelVALUE> slots(args.size() ? args.size() : 1);
    for (std::size_t i = 0; i < args.size(); ++i) args[i].fill(&slots[i]);
    Value rtn;
    char buf[1024];
    int code = kelhost_call(fn, rtn.raw(), slots.data(), int(args.size()), buf, sizeof buf);
    if (text) *text = buf;
    if (result) *result = std::move(rtn);
    return code;
}

Value Host::call(const std::string &name, const std::vector<Arg> &args) {
    Value result;
    std::string text;
    int code = tryCall(name, args, &result, &text);
    if (code != 0) throw Error(code, text);
    return result;
}

}  // namespace kel
