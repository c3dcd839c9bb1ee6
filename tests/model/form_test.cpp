// Checking of the state space arguments, through LdsLik (data at position 2)
// and KalmanFil (data at position 0).
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "form_fixture.hpp"

namespace {

using dense::toValue;
using form::Mat;

const char kNoTimeVarying[] = "Lds(): no time-varying state space model";

std::string rowsColsMessage(int f)
{
    return "\nLds(): number of rows or columns not correct in argument " + std::to_string(f) +
           "\n";
}

void expectError(const form::Lik &got, int code, const std::string &text, const char *what)
{
    EXPECT_EQ(got.code, code) << what << ": " << got.text;
    EXPECT_EQ(got.text, text) << what;
    EXPECT_FALSE(got.written) << what;
}

TEST(FormCheck, DimensionErrors)
{
    kel::Host host;
    const long blocks = kelhost_live_blocks();
    form::Model md = form::model(2);
    kel::Value y = toValue(md.Y), sys = toValue(md.s.sys), var = toValue(md.s.var);

    kel::Value square = toValue(Mat(md.s.sys.topRows(2)));
    kel::Value wide = toValue(Mat(md.s.sys.topRows(1)));
    kel::Value var2 = toValue(Mat(md.s.var.topLeftCorner(2, 2)));
    expectError(form::lik(host, {y, square, var2}), KELHOST_ERR_RUNTIME, rowsColsMessage(2),
                "square Sys");
    expectError(form::lik(host, {y, wide, var2}), KELHOST_ERR_RUNTIME, rowsColsMessage(2),
                "Sys with fewer rows than columns");
    std::string text;
    EXPECT_EQ(host.tryCall("KalmanFil", {y, square, var2}, nullptr, &text), KELHOST_ERR_RUNTIME);
    EXPECT_EQ(text, rowsColsMessage(0));

    kel::Value var3 = toValue(Mat(md.s.var.topLeftCorner(3, 3)));
    expectError(form::lik(host, {y, sys, var3}), KELHOST_ERR_SIZE,
                "argument 5: 4 x 4 matrix expected, 3 x 3 found", "Var too small");
    kel::Value y3 = toValue(Mat(Mat::Zero(3, 8)));
    expectError(form::lik(host, {y3, sys, var}), KELHOST_ERR_SIZE,
                "argument 3: 2 x 8 matrix expected, 3 x 8 found", "data rows");
    kel::Value other;
    EXPECT_EQ(form::lik(host, {y, kel::ref(other), var}).code, KELHOST_ERR_TYPE);
    expectError(form::lik(host, {y, sys}), KELHOST_ERR_RUNTIME,
                "Lds(): too few arguments for a state space form", "no Var");
    EXPECT_EQ(kelhost_live_blocks(), blocks);
}

TEST(FormCheck, OptionalArgumentsAbsentOrPresent)
{
    kel::Host host;
    for (int N : {1, 2}) {
        form::Model md = form::model(N);
        const int d = 2 + N, n = static_cast<int>(md.Y.cols());
        md.s.mean = dense::Vec::LinSpaced(d, 0.3, -0.2);
        kel::Value y = toValue(md.Y), sys = toValue(md.s.sys), var = toValue(md.s.var);
        kel::Value init = toValue(md.init), mean = toValue(md.s.mean);
        const std::string tag = "N = " + std::to_string(N);

        // Placeholders for Init; Mean is used.
        form::Reference diffuse = form::reference({md.s}, md.Y, nullptr);
        form::Lik first = form::lik(host, {y, sys, var, 0, mean});
        form::expectMatches(first, diffuse, true, n, d, tag + ", Init 0");
        kel::Value empty = kel::Value::empty(), zero = {{0.0}};
        const std::vector<kel::Arg> placeholders = {0.0, empty, zero};
        for (const kel::Arg &p : placeholders) {
            form::Lik got = form::lik(host, {y, sys, var, p, mean});
            EXPECT_EQ(got.ll, first.ll) << tag;
            EXPECT_EQ(got.s2, first.s2) << tag;
        }

        form::Reference proper = form::reference({md.s}, md.Y, &md.init);
        form::expectMatches(form::lik(host, {y, sys, var, init, mean}), proper, false, n, d,
                            tag + ", Init and Mean");
        dense::System noMean = md.s;
        noMean.mean.setZero();
        form::expectMatches(form::lik(host, {y, sys, var, init, kel::Value::empty()}),
                            form::reference({noMean}, md.Y, &md.init), false, n, d,
                            tag + ", Mean absent");

        // Present values of the wrong size; a NaN is present.
        kel::Value nan1 = {{kel::nan()}};
        std::string initSize = "argument 6: 3 x 2 matrix expected, 1 x 1 found";
        expectError(form::lik(host, {y, sys, var, nan1}), KELHOST_ERR_SIZE, initSize,
                    "NaN Init");
        expectError(form::lik(host, {y, sys, var, 2.5}), KELHOST_ERR_SIZE, initSize,
                    "number as Init");
        expectError(form::lik(host, {y, sys, var, init, nan1}), KELHOST_ERR_SIZE,
                    "argument 7: " + std::to_string(d) + " x 1 matrix expected, 1 x 1 found",
                    "NaN Mean");
    }
}

TEST(FormCheck, PartialOrEmptyTimeVaryingBlock)
{
    kel::Host host;
    form::Model md = form::model(2);
    const int d = 4, n = static_cast<int>(md.Y.cols());
    kel::Value y = toValue(md.Y), sys = toValue(md.s.sys), var = toValue(md.s.var);
    kel::Value init = toValue(md.init), mean = toValue(md.s.mean);
    form::Reference ref = form::reference({md.s}, md.Y, &md.init);
    kel::Value junk = {{1.0, 2.0, 3.0}};  // the wrong size for any index matrix
    kel::Value X = {{5.0, 6.0}};          // the wrong number of columns
    kel::Value empty = kel::Value::empty(), noRows = kel::Value::matrix(0, 8);

    // Part of the block only, then nine arguments with an empty X: a warning
    // and a time-invariant run, the index matrices unchecked.
    const std::vector<std::vector<kel::Arg>> calls = {
        {y, sys, var, init, mean, junk},
        {y, sys, var, init, mean, junk, junk},
        {y, sys, var, init, mean, junk, junk, junk},
        {y, sys, var, init, mean, junk, junk, junk, empty},
        {y, sys, var, init, mean, junk, junk, junk, noRows},
    };
    for (std::size_t i = 0; i < calls.size(); i++) {
        form::Lik got = form::lik(host, calls[i]);
        form::expectMatches(got, ref, false, n, d, "call " + std::to_string(i));
        ASSERT_EQ(got.messages.size(), 1u) << "call " << i;
        EXPECT_EQ(got.messages[0], kNoTimeVarying);
    }
    host.call("LdsWarning", {0});
    for (const auto &c : calls) {
        form::Lik got = form::lik(host, c);
        form::expectMatches(got, ref, false, n, d, "warnings off");
        EXPECT_TRUE(got.messages.empty());
    }
    host.call("LdsWarning", {1});

    // Up to Mean only: no warning.  All index matrices 0 with a non-empty
    // X: accepted as time-varying, X not checked.
    form::Lik upToMean = form::lik(host, {y, sys, var, init, mean});
    EXPECT_TRUE(upToMean.messages.empty());
    form::Lik noIndex = form::lik(host, {y, sys, var, init, mean, 0, 0.0, kel::Value{{0.0}}, X});
    form::expectMatches(noIndex, ref, false, n, d, "no index matrix");
    EXPECT_TRUE(noIndex.messages.empty());

    // The block is type-checked, and with an index present X must have n
    // columns.
    kel::Value other;
    EXPECT_EQ(form::lik(host, {y, sys, var, init, mean, kel::ref(other), 0, 0, X}).code,
              KELHOST_ERR_TYPE);
    kel::Value idxMean = toValue(Mat(Mat::Constant(d, 1, -1.0)));
    expectError(form::lik(host, {y, sys, var, init, mean, 0, 0, idxMean, X}), KELHOST_ERR_SIZE,
                "argument 11: 1 x 8 matrix expected, 1 x 2 found", "X columns");
    expectError(form::lik(host, {y, sys, var, init, mean, junk, 0, 0, X}), KELHOST_ERR_SIZE,
                "argument 8: 4 x 2 matrix expected, 1 x 3 found", "IdxSys size");
}

// KalmanFil returns the R x n store; R = N m + N (N+1)/2 + N follows from
// the checked dimensions.
TEST(FormCheck, StoreRows)
{
    kel::Host host;
    for (int N : {1, 2, 3}) {
        for (int m : {1, 3}) {
            const int d = m + N, n = 4;
            Mat sys = Mat::Zero(d, m), var = Mat::Identity(d, d);
            sys.topRows(m).diagonal().setConstant(0.5);
            sys.bottomRows(N).setOnes();
            Mat Y = Mat::Constant(N, n, 0.25);
            kel::Value store = host.call("KalmanFil", {toValue(Y), toValue(sys), toValue(var)});
            EXPECT_EQ(store.rows(), N * m + N * (N + 1) / 2 + N) << "N " << N << " m " << m;
            EXPECT_EQ(store.cols(), n);
        }
    }

    // KalmanSmo takes the store back as its data argument: R rows required.
    form::Model md = form::model(2);
    kel::Value y = toValue(md.Y), sys = toValue(md.s.sys), var = toValue(md.s.var);
    kel::Value store = host.call("KalmanFil", {y, sys, var});
    ASSERT_EQ(store.rows(), 9);
    EXPECT_EQ(host.tryCall("KalmanSmo", {store, sys, var}), 0);
    kel::Value shortStore = toValue(Mat(dense::fromValue(store).topRows(8)));
    std::string text;
    EXPECT_EQ(host.tryCall("KalmanSmo", {shortStore, sys, var}, nullptr, &text),
              KELHOST_ERR_SIZE);
    EXPECT_EQ(text, "argument 1: 9 x 8 matrix expected, 8 x 8 found");
}

}  // namespace
