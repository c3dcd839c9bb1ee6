// What every builder refuses: result references no Kel program can make
// (checked by the library itself, with the host's own check switched off),
// scales whose square overflows, and forms whose elements would overflow.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "builders/builders.h"
#include "builders_util.hpp"

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

// A builder call as raw records: by-value arguments first, then `refs`
// result references, each to a variable of its own (int 0) unless bent.
struct RawCall {
    std::vector<kel::Value> values;
    std::vector<kel::Value> vars;
    std::vector<KelVALUE> slots;
    KelVALUE inner;

    RawCall(std::vector<kel::Value> byValue, int refs) : values(std::move(byValue)), vars(size_t(refs)) {
        for (kel::Value &v : values) slots.push_back(*v.raw());
        for (kel::Value &v : vars) {
            KelVALUE r;
            kelhost_ref(&r, v.raw());
            slots.push_back(r);
        }
    }
    int call(kel::Host &host, const char *name, std::string *text) {
        kel::Value rtn;
        char buf[256];
        int code = kelhost_call(host.function(name), rtn.raw(), slots.data(), int(slots.size()), buf,
                                sizeof buf);
        *text = buf;
        return code;
    }
};

TEST(BuilderLimits, ResultReferencesToTheCallsOwnRecords) {
    kel::Host host;
    struct Builder {
        const char *name;
        std::vector<kel::Value> byValue;
        int refs;
    };
    std::vector<Builder> builders = {
        {"GetLdsStsm", {kel::Value{{0, 1, 0, 0, 0}, {19, 1, 0, 0, 0}}}, 3},
        {"GetLdsArma", {kel::Value{{0.5}}, kel::Value::empty(), kel::Value(1.0)}, 3},
        {"GetLdsReg", {kel::Value::matrix(2, 3, 1.0)}, 4},
        {"AddLdsReg", {kel::Value::matrix(2, 3, 1.0)}, 4},
        {"GetLdsSpline", {kel::Value(2.0), kel::Value{{1.0, 2.0}}}, 6},
    };
    kelhost_check_references(0);
    for (const Builder &b : builders) {
        int first = int(b.byValue.size()), last = first + b.refs - 1;
        for (int bend = 0; bend < 4; ++bend) {
            SCOPED_TRACE(std::string(b.name) + " bend " + std::to_string(bend));
            RawCall c(b.byValue, b.refs);
            for (kel::Value &v : c.vars) v = kel::Value::empty();  // AddLdsReg: an empty model
            if (bend == 0) kelhost_ref(&c.slots[size_t(last)], &c.slots[0]);
            if (bend == 1) kelhost_ref(&c.slots[size_t(last)], &c.slots[size_t(first)]);
            if (bend == 2) {
                kelhost_ref(&c.inner, c.vars[0].raw());
                kelhost_ref(&c.slots[size_t(last)], &c.inner);
            }
            if (bend == 3) kelhost_ref(&c.slots[size_t(first)], nullptr);
            std::vector<KelVALUE> records = c.slots;
            long before = kelhost_live_blocks();
            std::string text;
            EXPECT_EQ(c.call(host, b.name, &text), KELHOST_ERR_RUNTIME);
            EXPECT_EQ(text, std::string(b.name) + "(): result arguments must refer to distinct variables");
            EXPECT_EQ(kelhost_live_blocks(), before);
            EXPECT_EQ(std::memcmp(records.data(), c.slots.data(), records.size() * sizeof(KelVALUE)), 0);
        }
    }
    kelhost_check_references(1);

    // With its check on, the host refuses such calls before the library runs.
    RawCall c({kel::Value::matrix(1, 3, 1.0)}, 4);
    kelhost_ref(&c.slots[4], &c.slots[0]);
    std::string text;
    EXPECT_EQ(c.call(host, "GetLdsReg", &text), KELHOST_ERR_ARGS);
    EXPECT_EQ(text, "kelhost_call: argument 5 refers to an argument of the same call");
}

TEST(BuilderLimits, ScalesAndStepsThatOverflow) {
    kel::Host host;
    kel::Value sys, var, init, idxSys, idxVar, X, spec;
    auto stsm = [&](double sigma, std::vector<double> row) {
        spec = kel::Value(std::vector<std::vector<double>>{row, {19, sigma, 0, 0, 0}});
        return std::vector<kel::Arg>{spec, kel::ref(sys), kel::ref(var), kel::ref(init)};
    };
    for (double sigma : {1.35e154, -1e200, kNaN})
        bt::expectRuntimeError(host, "GetLdsStsm", stsm(sigma, {0, 1, 0, 0, 0}),
                               "GetLdsStsm(): standard deviation not appropriate in argument 1");
    // sigma^2 = 1e308 is a variance
    host.call("GetLdsStsm", stsm(1e154, {0, 1e154, 0, 0, 0}));
    EXPECT_EQ(var(0, 0), 1e154 * 1e154);
    EXPECT_EQ(var(1, 1), 1e154 * 1e154);
    // the zero-sum seasonal forms (s - 1) sigma^2 first: it overflows
    bt::expectRuntimeError(host, "GetLdsStsm", stsm(1.0, {5, 1e154, 4, 0, 0}),
                           "GetLdsStsm(): no correct model specified in argument 1");

    auto spline = [&](double delta, const kel::Value &gaps) {
        return std::vector<kel::Arg>{delta, gaps, kel::ref(sys), kel::ref(var), kel::ref(init),
                                     kel::ref(idxSys), kel::ref(idxVar), kel::ref(X)};
    };
    kel::Value gaps = {{1.0, 2.0}};
    // a negative ratio makes Q = delta [[1/3, 1/2], [1/2, 1]] no variance;
    // 0 gives Q = 0, the straight line
    for (double delta : {std::numeric_limits<double>::infinity(), kNaN, -1.0, -1e-300})
        bt::expectRuntimeError(host, "GetLdsSpline", spline(delta, gaps),
                               "GetLdsSpline(): smoothing parameter not appropriate in argument 1");
    host.call("GetLdsSpline", spline(0.0, gaps));
    bdense::Mat straight = bdense::Mat::Zero(3, 3);
    straight(2, 2) = 1.0;
    EXPECT_TRUE(bdense::near(bdense::fromValue(var), straight, 0));
    // delta Delta^3 / 3: 1e306 / 1.5 stays finite, 1e309 does not
    host.call("GetLdsSpline", spline(1.0, kel::Value{{1e102}}));
    EXPECT_EQ(X(3, 0), ((1e102 * 1e102 * 0.5) * 1e102) / 1.5);
    kel::Value before = X;
    for (double step : {1e103, kNaN, -std::numeric_limits<double>::infinity(), -0.5})
        bt::expectRuntimeError(host, "GetLdsSpline", spline(1.0, kel::Value{{1.0, step}}),
                               "GetLdsSpline(): time steps not appropriate in argument 2");
    EXPECT_EQ(X(3, 0), before(3, 0));  // nothing was replaced
}

}  // namespace
