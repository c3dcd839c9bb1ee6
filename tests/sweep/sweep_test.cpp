// Argument sweep: every host function driven through generated calls with a
// fixed seed, on a few models.  Each call must end in a host error, in the
// function's own warning, or in a success whose results are all finite; it
// must leave no host block alive and every argument passed by value as it
// was.  Running the sweep under the sanitizer build adds "no memory fault".
//
// A host function joins the sweep with one line in kFunctions: its Kel name
// and its signature, the kind of result before the colon, one letter per
// argument after it (the letters are the kinds in makeKinds()).  A '*'
// after a letter marks an argument passed by value that the function
// writes into by design (the time-varying values of SimSmoWgt, SimSmoDraw
// and LdsWeights go into the caller's Sys and Var): it is not required to
// come back unchanged.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "kelhost/kel.hpp"

namespace {

struct HostFunction {
    const char *name;
    // Result: 'f' an int flag (0 = failure), 'm' a matrix (int 0 = failure),
    // 's' a filter store (a NaN innovation where every series is missing),
    // 'c' a matrix of LdsCondDens (int 0 = failure; with the int 4 as first
    // argument, NaN in the last rows, one per series, where that series is
    // missing), 'v' a value that cannot fail, '-' nothing.  Then ':' and
    // the arguments.
    const char *signature;
};

const HostFunction kFunctions[] = {
    {"LdsVersion", "v:"},
    {"LdsAbout", "-:"},
    {"LdsWarning", "-:1"},
    {"LdsLik", "f:rrdSVIMjklX"},
    {"LdsLikConc", "f:rrdSVIMjklX"},
    {"LdsLikSco", "f:rrrdSVIMjklX"},
    {"LdsLikSco", "f:rrdSVIMjklX"},
    {"KalmanFil", "s:dSVIMjklX"},
    {"KalmanSmo", "m:FSVIMjklX"},
    {"LdsMomentEst", "m:0rdSVIMjklX"},
    {"LdsMomentEst", "m:1rdSVIMjklX"},
    {"LdsMomentEst", "m:3rdSVIMjklX"},
    {"LdsMomentEst", "m:5rdSVIMjklX"},
    {"LdsCondDens", "c:1dSVIMjklX"},
    {"LdsCondDens", "c:2dSVIMjklX"},
    {"LdsCondDens", "c:3dSVIMjklX"},
    {"LdsCondDens", "c:4dSVIMjklX"},
    {"SimSmoWgt", "m:GFS*V*IMjklX"},
    {"SimSmoDraw", "m:GZWFS*V*IMjklX"},
    {"LdsRecursion", "m:ESVIMjklY"},
    {"LdsWeights", "m:0PS*V*IMjklX"},
    {"LdsWeights", "m:1PS*V*IMjklX"},
    {"LdsWeights", "m:3PS*V*IMjklX"},
    {"LdsWeights", "m:5PS*V*IMjklX"},
    {"GetLdsStsm", "m:crrr"},
    {"GetLdsArma", "f:abprrr"},
    {"GetLdsReg", "f:xrrrr"},
    {"AddLdsReg", "-:xRRRe"},
    {"GetLdsSpline", "f:hqrrrrrr"},
};

using Rows = std::vector<std::vector<double>>;
const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

// Values put into every numeric slot, and into the index matrices.
const double kSpecial[] = {kNaN, kInf, -kInf, 1e308, -1e308, 1e154, 5e-324, -0.0};
const double kIndexSpecial[] = {0.5, -0.5, -2.0, 3e9, -3e9, 99.0};

// A model in the argument order of the statistical host functions.
struct Model {
    std::string name;
    kel::Value data, sys, var, init, mean, idxSys, idxVar, idxMean, X, store;
    // Disturbances (d x (n+1)) for LdsRecursion; a pattern (the data's
    // missing values, zeros, a 1.0 marking series 0 at time point 3) for
    // LdsWeights.
    kel::Value dist, pattern;
    // For SimSmoWgt and SimSmoDraw: a selection of the state disturbances,
    // its weight store and m x n normal numbers (made by the sweep).
    kel::Value sel, wgt, z;
};

Model makeModel(const std::string &name, Rows data, Rows sys, Rows var, Rows init, Rows mean) {
    Model m;
    m.name = name;
    m.data = kel::Value(data);
    m.sys = kel::Value(sys);
    m.var = kel::Value(var);
    m.init = kel::Value(init);
    m.mean = kel::Value(mean);
    // Time-invariant: the index matrices absent, X one row of zeros.
    m.idxSys = m.idxVar = m.idxMean = kel::Value(0);
    m.X = kel::Value::matrix(1, int(data[0].size()));
    const int n = int(data[0].size()), N = int(data.size()), d = int(sys.size());
    m.dist = kel::Value::matrix(d, n + 1);
    for (int i = 0; i < d; ++i)
        for (int t = 0; t <= n; ++t) m.dist.at(i, t) = 0.1 * ((i + 2 * t) % 5) - 0.2;
    m.pattern = kel::Value::matrix(N, n);
    for (int i = 0; i < N; ++i)
        for (int t = 0; t < n; ++t) m.pattern.at(i, t) = std::isnan(data[i][t]) ? kNaN : 0.0;
    m.pattern.at(0, 3) = 1.0;
    const int ms = d - N;
    m.sel = kel::Value::matrix(d, d);
    for (int i = 0; i < ms; ++i) m.sel.at(i, i) = 1.0;
    m.z = kel::Value::matrix(ms, n);
    for (int i = 0; i < ms; ++i)
        for (int t = 0; t < n; ++t) m.z.at(i, t) = 0.3 * ((3 * i + t) % 7) - 0.9;
    return m;
}

std::vector<Model> makeModels() {
    std::vector<Model> models;
    // Local level, one series, a missing value, a diffuse start.
    models.push_back(makeModel("local level", {{1.0, 0.5, kNaN, 2.0, 1.5, 0.7}}, {{1.0}, {1.0}},
                               {{0.5, 0.0}, {0.0, 1.0}}, {{-1.0}, {0.3}}, {{0.1}, {0.0}}));
    // Two series, two states, one element diffuse, one time point without
    // observations and one partly observed.
    models.push_back(makeModel("two series",
                               {{0.3, kNaN, 1.0, -0.4, 0.8}, {1.2, kNaN, kNaN, 0.1, -0.6}},
                               {{0.8, 0.1}, {0.0, 0.5}, {1.0, 0.0}, {0.5, 1.0}},
                               {{0.6, 0.1, 0.0, 0.1},
                                {0.1, 0.4, 0.0, 0.0},
                                {0.0, 0.0, 1.0, 0.2},
                                {0.1, 0.0, 0.2, 0.8}},
                               {{-1.0, 0.0}, {0.2, 1.5}, {0.0, 0.4}}, {{0.0}, {0.1}, {0.2}, {0.0}}));
    // Three states, one series, Z, the observation variance and a mean
    // varying over time.
    Model tv = makeModel("time-varying",
                         {{0.2, 1.1, -0.3, kNaN, 0.9}},
                         {{0.9, 1.0, 0.0}, {0.0, 0.5, 0.2}, {0.0, 0.0, -0.3}, {1.0, 0.0, 1.0}},
                         {{0.5, 0.0, 0.0, 0.0},
                          {0.0, 0.3, 0.1, 0.0},
                          {0.0, 0.1, 0.2, 0.0},
                          {0.0, 0.0, 0.0, 1.0}},
                         {{1.0, 0.0, 0.0}, {0.2, -1.0, 0.0}, {0.0, 0.0, 0.7}, {0.0, 0.0, 0.0}},
                         {{0.0}, {0.0}, {0.0}, {0.3}});
    tv.idxSys = kel::Value({{-1, -1, -1}, {-1, -1, -1}, {-1, -1, -1}, {0, -1, 1}});
    tv.idxVar = kel::Value({{-1, -1, -1, -1}, {-1, -1, -1, -1}, {-1, -1, -1, -1}, {-1, -1, -1, 2}});
    tv.idxMean = kel::Value({{-1}, {-1}, {-1}, {1}});
    tv.X = kel::Value({{1.0, 0.9, 1.1, 1.0, 0.8}, {0.2, 0.1, 0.0, -0.1, 0.3}, {1.0, 2.0, 0.5, 1.0, 1.5}});
    models.push_back(std::move(tv));
    return models;
}

// One argument of a call: a value passed by value, or a reference to a
// variable of its own.
struct ArgValue {
    kel::Value value;
    bool reference = false;
    // A reference no Kel program can make, which the host refuses: to the
    // argument record of this position (-1: none), or to a reference.
    int toArgument = -1;
    bool toReference = false;
};

// A kind of argument: the valid value for a model, and further values at
// and past the limits of the argument.
struct Kind {
    std::function<ArgValue(const Model &)> valid;
    std::function<std::vector<ArgValue>(const Model &)> edges;
};

ArgValue byValue(kel::Value v) { return ArgValue{std::move(v), false}; }
ArgValue byRef(kel::Value v) { return ArgValue{std::move(v), true}; }

Rows stsmSpec(double sigma = 1.0) {
    return {{0, sigma, 0, 0, 0},         {1, 0.5, 0, 0, 0},       {4, 0.3, 4, 0, 0},
            {7, 0.8, 0.5, 0.9, 0},       {17, 1.0, 0, 0.5, 0},    {18, 1.0, 0, 0.4, -0.3},
            {6, 0.7, 0.4, 0.8, 2},       {19, sigma, 0, 0, 0}};
}

std::vector<ArgValue> values(std::vector<kel::Value> vs, bool reference = false) {
    std::vector<ArgValue> out;
    for (auto &v : vs) out.push_back(ArgValue{std::move(v), reference});
    return out;
}

std::map<char, Kind> makeKinds() {
    std::map<char, Kind> k;
    auto none = [](const Model &) { return std::vector<ArgValue>{}; };
    auto model = [&](kel::Value Model::*member) {
        return Kind{[member](const Model &m) { return byValue(m.*member); }, none};
    };
    k['r'] = {[](const Model &) { return byRef(kel::Value()); }, none};
    k['d'] = model(&Model::data);
    k['S'] = model(&Model::sys);
    k['V'] = model(&Model::var);
    k['I'] = model(&Model::init);
    k['M'] = model(&Model::mean);
    k['j'] = model(&Model::idxSys);
    k['k'] = model(&Model::idxVar);
    k['l'] = model(&Model::idxMean);
    k['X'] = model(&Model::X);
    k['F'] = model(&Model::store);
    k['E'] = model(&Model::dist);
    // Y: X for LdsRecursion, one column per column of the disturbances: the
    // last time point repeated.
    k['Y'] = {[](const Model &m) {
                  kel::Value w = kel::Value::matrix(m.X.rows(), m.X.cols() + 1);
                  for (int i = 0; i < m.X.rows(); ++i)
                      for (int t = 0; t <= m.X.cols(); ++t)
                          w.at(i, t) = m.X(i, std::min(t, m.X.cols() - 1));
                  return byValue(w);
              },
              none};
    k['P'] = model(&Model::pattern);
    k['G'] = model(&Model::sel);
    k['Z'] = model(&Model::z);
    k['W'] = model(&Model::wgt);
    for (char c = '0'; c <= '9'; ++c)
        k[c] = {[c](const Model &) { return byValue(kel::Value(int(c - '0'))); },
                [](const Model &) {
                    return values({kel::Value(-1), kel::Value(2), kel::Value(4), kel::Value(INT_MIN),
                                   kel::Value(INT_MAX)});
                }};
    // Builders.
    k['c'] = {[](const Model &) { return byValue(kel::Value(stsmSpec())); },
              [](const Model &) {
                  Rows irr = {{19, 1, 0, 0, 0}};
                  auto with = [&](Rows r) {
                      r.insert(r.end(), irr.begin(), irr.end());
                      return kel::Value(r);
                  };
                  return values({with({{2, 1, 1.0, 0, 0}}), with({{2, 1, 9.999, 0, 0}}),
                                 with({{2, 1, 10.0, 0, 0}}), with({{2, 1, 0.999, 0, 0}}),
                                 with({{5, 1, 2.0, 0, 0}}), with({{5, 1, 1.999, 0, 0}}),
                                 with({{5, 1e154, 4.0, 0, 0}}), with({{3, 1, 2e9, 0, 0}}),
                                 with({{8, 1, 0.5, 1.0, 0}}), with({{8, 1, 0.5, 1.0000000000000002, 0}}),
                                 with({{8, 1, 2147483647.0, 0.5, 0}}), with({{8, 1, 2147483648.0, 0.5, 0}}),
                                 with({{6, 1, 0.5, 0.999999, 9.99}}), with({{6, 1, 0.5, 0.5, 10}}),
                                 with({{6, 1, 0.5, 1.0, 2}}), with({{17, 1, 0, 1.0, 0}}),
                                 with({{17, 1, 0, -1.0000000000000002, 0}}),
                                 with({{18, 1, 0, 1.0, -1.0}}), with({{18, 1, 0, -0.999999, 0.999999}}),
                                 kel::Value(stsmSpec(1e154)), kel::Value(stsmSpec(1.35e154)),
                                 kel::Value(stsmSpec(-1e154))});
              }};
    k['a'] = {[](const Model &) { return byValue(kel::Value({{0.5, -0.2}})); },
              [](const Model &) {
                  std::vector<double> past(54, 0.0), many(20, 0.0);
                  past[0] = many[0] = 0.5;
                  return values({kel::Value({{1.0}}), kel::Value({{1e300}}), kel::Value({{1e155, 0.5}}),
                                 kel::Value::row(past), kel::Value::column(many),
                                 kel::Value::matrix(2, 2, 0.1)});
              }};
    k['b'] = {[](const Model &) { return byValue(kel::Value({{0.3}})); },
              [](const Model &) {
                  std::vector<double> past(53, 0.1);
                  return values({kel::Value({{1e200}}), kel::Value({{1e154, 1e154}}),
                                 kel::Value::column(past), kel::Value::empty()});
              }};
    k['p'] = {[](const Model &) { return byValue(kel::Value(1.5)); },
              [](const Model &) {
                  return values({kel::Value(1e154), kel::Value(1.35e154), kel::Value(-1e154),
                                 kel::Value(0.0), kel::Value(5e-324)});
              }};
    k['x'] = {[](const Model &) { return byValue(kel::Value::matrix(2, 5, 0.5)); },
              [](const Model &) {
                  return values({kel::Value::matrix(0, 5), kel::Value::matrix(46341, 1)});
              }};
    k['R'] = {[](const Model &) { return byRef(kel::Value({{1.0}, {1.0}})); }, none};
    // AddLdsReg's Var and Init are the second and third 'R': told apart by
    // the position (see argValue).
    k['e'] = {[](const Model &) { return byRef(kel::Value::empty()); }, none};
    k['h'] = {[](const Model &) { return byValue(kel::Value(2.0)); },
              [](const Model &) {
                  return values({kel::Value(1e308), kel::Value(-1.0), kel::Value(0.0),
                                 kel::Value(5e-324)});
              }};
    k['q'] = {[](const Model &) { return byValue(kel::Value({{1.0, 2.0, 0.5, 1.0, 3.0}})); },
              [](const Model &) {
                  return values({kel::Value({{1.0, 1e102}}), kel::Value({{1.0, 1e103}}),
                                 kel::Value({{-1e200}}), kel::Value::matrix(0, 3),
                                 kel::Value::matrix(3, 0)});
              }};
    return k;
}

struct Signature {
    char result;
    std::string args;          // one kind letter per argument
    std::vector<bool> writes;  // written into by design
};

Signature parse(const HostFunction &f) {
    Signature s;
    s.result = f.signature[0];
    for (const char *c = f.signature + 2; *c; ++c) {
        if (*c == '*') {
            s.writes.back() = true;
            continue;
        }
        s.args += *c;
        s.writes.push_back(false);
    }
    return s;
}

class Sweep {
public:
    Sweep() : kinds_(makeKinds()), models_(makeModels()), rng_(20261209) {
        noMessages_ = static_cast<int *>(host_.symbol("fLdsNoErrorMessage"));
        for (Model &m : models_)
            m.store = host_.call("KalmanFil", {m.data, m.sys, m.var, m.init, m.mean, m.idxSys,
                                               m.idxVar, m.idxMean, m.X});
        for (Model &m : models_) {
            // SimSmoWgt writes the time-varying values into Sys and Var.
            kel::Value sys = m.sys, var = m.var;
            m.wgt = host_.call("SimSmoWgt", {m.sel, m.store, sys, var, m.init, m.mean, m.idxSys,
                                             m.idxVar, m.idxMean, m.X});
        }
    }

    void run(const HostFunction &f);
    long calls() const { return calls_; }

private:
    ArgValue argValue(const Signature &s, int pos, const Model &m);
    std::vector<ArgValue> validArgs(const Signature &s, const Model &m);
    // Returns true for a success.
    bool call(const HostFunction &f, const Signature &s, const Model &m,
              std::vector<ArgValue> args, const std::string &what);
    void checkFinite(const HostFunction &f, const Signature &s, const kel::Value &v,
                     const std::vector<ArgValue> &args, const std::string &what);
    kel::Value randomMatrix(int rows, int cols);

    kel::Host host_;
    std::map<char, Kind> kinds_;
    std::vector<Model> models_;
    std::mt19937_64 rng_;
    int *noMessages_ = nullptr;
    long calls_ = 0;
};

ArgValue Sweep::argValue(const Signature &s, int pos, const Model &m) {
    char kind = s.args[std::size_t(pos)];
    if (kind == 'R') {
        // Sys, Var and Init of a local level model, in that order.
        int which = int(std::count(s.args.begin(), s.args.begin() + pos, 'R'));
        if (which == 1) return byRef(kel::Value({{1.0, 0.0}, {0.0, 2.0}}));
        if (which == 2) return byRef(kel::Value({{-1.0}, {0.0}}));
    }
    return kinds_.at(kind).valid(m);
}

std::vector<ArgValue> Sweep::validArgs(const Signature &s, const Model &m) {
    std::vector<ArgValue> args;
    for (int i = 0; i < int(s.args.size()); ++i) args.push_back(argValue(s, i, m));
    return args;
}

kel::Value Sweep::randomMatrix(int rows, int cols) {
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    kel::Value v = kel::Value::matrix(rows, cols);
    for (int i = 0; i < rows; ++i)
        for (int j = 0; j < cols; ++j) v.at(i, j) = u(rng_);
    return v;
}

bool sameBits(const kel::Value &a, const kel::Value &b) {
    if (a.type() != b.type()) return false;
    if (!a.isMatrix()) return std::memcmp(a.raw(), b.raw(), sizeof(KelVALUE)) == 0;
    if (a.rows() != b.rows() || a.cols() != b.cols()) return false;
    for (int i = 0; i < a.rows() && a.cols() > 0; ++i)
        if (std::memcmp(a.raw()->v.mval.data[i], b.raw()->v.mval.data[i],
                        sizeof(double) * std::size_t(a.cols())) != 0)
            return false;
    return true;
}

// Every double of a result is finite, except for the NaN innovation of a
// filter store at a time point where every series of the data is missing,
// and the NaN drawn observation disturbance of LdsCondDens code 4 where its
// series is missing.
void Sweep::checkFinite(const HostFunction &f, const Signature &s, const kel::Value &v,
                        const std::vector<ArgValue> &args, const std::string &what) {
    if (v.type() == KEL_DOUBLE) {
        EXPECT_TRUE(std::isfinite(v.asDouble())) << f.name << " " << what << ": success with "
                                                 << v.asDouble();
        return;
    }
    if (!v.isMatrix()) return;
    const kel::Value *data = nullptr;
    std::size_t d = s.args.find('d');
    if (s.result == 's' && d < args.size()) data = &args[d].value;
    const kel::Value *drawn = nullptr;
    if (s.result == 'c' && d < args.size() && !args.empty() && args[0].value.type() == KEL_INT &&
        args[0].value.asInt() == 4 && args[d].value.isMatrix())
        drawn = &args[d].value;
    for (int t = 0; t < v.cols(); ++t) {
        bool missing = data && data->isMatrix() && t < data->cols();
        for (int i = 0; missing && i < data->rows(); ++i) missing = std::isnan((*data)(i, t));
        for (int i = 0; i < v.rows(); ++i) {
            if (missing && i < data->rows()) continue;
            const int series = drawn ? i - (v.rows() - drawn->rows()) : -1;
            if (series >= 0 && t < drawn->cols() && std::isnan((*drawn)(series, t))) continue;
            if (!std::isfinite(v(i, t))) {
                ADD_FAILURE() << f.name << " " << what << ": success with " << v(i, t) << " at ("
                              << i << ", " << t << ")";
                return;
            }
        }
    }
}

bool Sweep::call(const HostFunction &f, const Signature &s, const Model &m,
                 std::vector<ArgValue> args, const std::string &what) {
    ++calls_;
    std::vector<KelVALUE> slots(args.size() + 1);
    std::vector<kel::Value> before;
    KelVALUE inner;
    bool refused = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i].reference) kelhost_ref(&slots[i], args[i].value.raw());
        else slots[i] = *args[i].value.raw();
        if (args[i].toArgument >= 0) kelhost_ref(&slots[i], &slots[std::size_t(args[i].toArgument)]);
        if (args[i].toReference) {
            kelhost_ref(&inner, args[i].value.raw());
            kelhost_ref(&slots[i], &inner);
        }
        refused = refused || args[i].toArgument >= 0 || args[i].toReference;
        before.push_back(args[i].reference ? kel::Value() : args[i].value);
    }
    *noMessages_ = 0;
    host_.clearMessages();
    kel::Value rtn;
    char text[512];
    long live = kelhost_live_blocks();
    int code = kelhost_call(host_.function(f.name), rtn.raw(), slots.data(), int(args.size()),
                            text, sizeof text);
    *noMessages_ = 0;
    std::string where = std::string(f.name) + " (" + m.name + ", " + what + ")";
    EXPECT_EQ(kelhost_live_blocks(), live) << where << ": host blocks left alive";
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (!args[i].reference && !(i < s.writes.size() && s.writes[i])) {
            EXPECT_TRUE(sameBits(args[i].value, before[i]))
                << where << ": argument " << i + 1 << " passed by value was changed";
        }
    }
    if (refused) {
        EXPECT_EQ(code, KELHOST_ERR_ARGS) << where << ": " << text;
        return false;
    }
    if (code != 0) {
        EXPECT_TRUE(code == KELHOST_ERR_RUNTIME || code == KELHOST_ERR_TYPE ||
                    code == KELHOST_ERR_SIZE || code == KELHOST_ERR_MEMORY)
            << where << ": code " << code << " " << text;
        EXPECT_GT(std::strlen(text), 0u) << where;
        return false;
    }
    bool failed = (s.result == 'f' || s.result == 'm' || s.result == 's' || s.result == 'c') &&
                  rtn.type() == KEL_INT && rtn.asInt() == 0;
    if (failed) {
        std::string prefix = std::string(f.name) + "(): ";
        bool warned = false;
        for (const std::string &msg : host_.messages())
            warned = warned || msg.compare(0, prefix.size(), prefix) == 0;
        EXPECT_TRUE(warned) << where << ": failed without a host error or its warning";
        return false;
    }
    checkFinite(f, s, rtn, args, where + ", result");
    for (std::size_t i = 0; i < args.size(); ++i)
        if (args[i].reference)
            checkFinite(f, s, args[i].value, args, where + ", argument " + std::to_string(i + 1));
    return true;
}

void Sweep::run(const HostFunction &f) {
    Signature s = parse(f);
    const int len = int(s.args.size());
    for (const Model &m : models_) {
        // Every argument count, one past the maximum included.
        for (int count = 0; count <= len + 1; ++count) {
            std::vector<ArgValue> args = validArgs(s, m);
            args.resize(std::size_t(count) <= args.size() ? std::size_t(count) : args.size());
            if (count == len + 1) args.push_back(byValue(kel::Value(0)));
            bool ok = call(f, s, m, std::move(args), std::to_string(count) + " arguments");
            // The sweep starts from calls that work.
            if (count == len) {
                EXPECT_TRUE(ok) << f.name << " (" << m.name << "): the valid call fails";
            }
        }
        for (int p = 0; p < len; ++p) {
            const ArgValue valid = argValue(s, p, m);
            // Other types and shapes in position p.
            std::vector<ArgValue> subs;
            subs.push_back(byValue(kel::Value(1)));
            subs.push_back(byValue(kel::Value(0.5)));
            subs.push_back(byRef(kel::Value()));
            subs.push_back(byValue(kel::Value::empty()));
            subs.push_back(byValue(kel::Value({{0.5}})));
            subs.push_back(byValue(randomMatrix(1, 3)));
            subs.push_back(byValue(randomMatrix(3, 1)));
            if (valid.value.isMatrix()) {
                int r = valid.value.rows(), c = valid.value.cols();
                for (int dr = -1; dr <= 1; ++dr)
                    for (int dc = -1; dc <= 1; ++dc)
                        if ((dr == 0) != (dc == 0) && r + dr >= 0 && c + dc >= 0)
                            subs.push_back(byValue(randomMatrix(r + dr, c + dc)));
            }
            for (ArgValue &e : kinds_.at(s.args[std::size_t(p)]).edges(m)) subs.push_back(std::move(e));
            for (int target = 0; target < len; ++target) {
                subs.push_back(byRef(kel::Value()));
                subs.back().toArgument = target;
            }
            subs.push_back(byRef(kel::Value()));
            subs.back().toReference = true;
            for (std::size_t k = 0; k < subs.size(); ++k) {
                std::vector<ArgValue> args = validArgs(s, m);
                args[std::size_t(p)] = subs[k];
                call(f, s, m, std::move(args), "argument " + std::to_string(p + 1) + " variant " +
                                                   std::to_string(k));
            }
            // Special values in every numeric slot of a value passed by value.
            if (valid.reference) continue;
            kel::Value base = valid.value;
            if (base.type() == KEL_DOUBLE) {
                for (double x : kSpecial) {
                    std::vector<ArgValue> args = validArgs(s, m);
                    args[std::size_t(p)] = byValue(kel::Value(x));
                    call(f, s, m, std::move(args), "argument " + std::to_string(p + 1) + " = " +
                                                       std::to_string(x));
                }
                continue;
            }
            if (!base.isMatrix()) continue;
            char kind = s.args[std::size_t(p)];
            std::vector<double> specials(std::begin(kSpecial), std::end(kSpecial));
            if (kind == 'j' || kind == 'k' || kind == 'l')
                specials.insert(specials.end(), std::begin(kIndexSpecial), std::end(kIndexSpecial));
            for (int i = 0; i < base.rows(); ++i)
                for (int j = 0; j < base.cols(); ++j)
                    for (double x : specials) {
                        std::vector<ArgValue> args = validArgs(s, m);
                        args[std::size_t(p)].value.at(i, j) = x;
                        call(f, s, m, std::move(args),
                             "argument " + std::to_string(p + 1) + " (" + std::to_string(i) +
                                 ", " + std::to_string(j) + ") = " + std::to_string(x));
                    }
        }
        // Allocation failure at every allocation of the valid call.
        bool through = false;
        for (long after = 0; after < 64 && !through; ++after) {
            kelhost_fail_allocations_after(after);
            std::vector<ArgValue> args = validArgs(s, m);
            std::vector<KelVALUE> slots(args.size() + 1);
            for (std::size_t i = 0; i < args.size(); ++i) {
                if (args[i].reference) kelhost_ref(&slots[i], args[i].value.raw());
                else slots[i] = *args[i].value.raw();
            }
            kel::Value rtn;
            char text[256];
            long live = kelhost_live_blocks();
            int code = kelhost_call(host_.function(f.name), rtn.raw(), slots.data(),
                                    int(args.size()), text, sizeof text);
            kelhost_fail_allocations_after(-1);
            *noMessages_ = 0;
            ++calls_;
            EXPECT_EQ(kelhost_live_blocks(), live) << f.name << " (" << m.name
                                                   << ", allocation " << after << " failing)";
            // The first count at which the call gets through has passed
            // every allocation.
            bool failed = code != 0 || (std::strchr("fmsc", s.result) &&
                                        rtn.type() == KEL_INT && rtn.asInt() == 0);
            through = !failed;
        }
        EXPECT_TRUE(through) << f.name << " (" << m.name << "): more allocations than injected";
    }
}

TEST(Sweep, EveryHostFunction) {
    Sweep sweep;
    for (const HostFunction &f : kFunctions) {
        SCOPED_TRACE(f.name);
        sweep.run(f);
    }
    RecordProperty("calls", int(sweep.calls()));
    std::printf("%ld calls\n", sweep.calls());
}

}  // namespace
