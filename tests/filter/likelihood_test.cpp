// LdsLik, LdsLikConc and KalmanFil through the stand-in host, against the
// dense textbook filter.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>

#include "kelhost/kel.hpp"
#include "support/dense_kalman.hpp"

namespace {

using dense::Mat;
using dense::Vec;

const double kEps = std::numeric_limits<double>::epsilon();
const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kUnwritten = 123.25;
const char *kLikMsg = "LdsLik(): non-positive semi-definite innovation variance matrix";
const char *kConcMsg = "LdsLikConc(): non-positive semi-definite innovation variance matrix";
const char *kFilMsg = "KalmanFil(): non-positive semi-definite innovation variance matrix";

struct Lik {
    int ret = -1;
    kel::Value ll{kUnwritten}, s2{kUnwritten};
};

// One likelihood call with the model arguments after the two references;
// checks that no host block outlives it.
Lik callLik(kel::Host &host, const std::string &fn, const std::vector<kel::Arg> &model)
{
    Lik r;
    std::vector<kel::Arg> args{kel::ref(r.ll), kel::ref(r.s2)};
    args.insert(args.end(), model.begin(), model.end());
    long before = kelhost_live_blocks();
    r.ret = host.call(fn, args).asInt();
    EXPECT_EQ(kelhost_live_blocks(), before) << fn << " leaked host blocks";
    return r;
}

kel::Value callFil(kel::Host &host, const std::vector<kel::Arg> &model)
{
    long before = kelhost_live_blocks();
    kel::Value v = host.call("KalmanFil", model);
    EXPECT_EQ(kelhost_live_blocks(), before) << "KalmanFil leaked host blocks";
    return v;
}

void expectNearRel(double got, double want, double tol, const char *what)
{
    EXPECT_NEAR(got, want, tol * std::max(1.0, std::fabs(want)))
        << what << ": got " << dense::full(got) << ", expected " << dense::full(want);
}

TEST(Likelihood, RandomModelsMatchDenseFilter)
{
    std::mt19937_64 rng(777);
    kel::Host host;
    const int n = 30, m = 2;
    for (int N = 1; N <= 3; N++) {
        for (int withInit = 0; withInit <= 1; withInit++) {
            SCOPED_TRACE("N=" + std::to_string(N) + " init=" + std::to_string(withInit));
            dense::System s = dense::randomSystem(rng, m, N, withInit == 1);
            Mat Y = dense::randomData(rng, N, n);
            Y(0, 4) = kNaN;
            Y.col(9).setConstant(kNaN);
            Mat init(m + 1, m);
            init.topRows(m) = s.var.topLeftCorner(m, m);
            init.row(m).setConstant(0.25);
            if (!withInit)  // diffuse: one series at a time while it lasts
                Y.block(1, 0, N - 1, m).setConstant(kNaN);
            dense::Run ref = dense::filter({s}, Y, withInit ? &init : nullptr);
            double tol = (withInit ? 1e3 : 1e2 * ref.vbig) * kEps * n;

            kel::Value y = dense::toValue(Y), sys = dense::toValue(s.sys),
                       var = dense::toValue(s.var), iv = dense::toValue(init),
                       mean = dense::toValue(s.mean);
            std::vector<kel::Arg> model{y, sys, var};
            if (withInit)
                model = {y, sys, var, iv, mean};

            Lik lik = callLik(host, "LdsLik", model);
            ASSERT_EQ(lik.ret, 1);
            ASSERT_EQ(lik.ll.type(), KEL_DOUBLE);
            ASSERT_EQ(lik.s2.type(), KEL_DOUBLE);
            expectNearRel(lik.ll.asDouble(), dense::logLik(ref), tol, "loglik");
            expectNearRel(lik.s2.asDouble(), dense::sigma2(ref), tol, "s2");

            Lik conc = callLik(host, "LdsLikConc", model);
            ASSERT_EQ(conc.ret, 1);
            expectNearRel(conc.ll.asDouble(), dense::logLikConc(ref), tol, "concentrated");
            expectNearRel(conc.s2.asDouble(), dense::sigma2(ref), tol, "s2 (conc)");

            kel::Value store = callFil(host, model);
            ASSERT_EQ(store.rows(), N + N * m + N * (N + 1) / 2);
            ASSERT_EQ(store.cols(), n);
            EXPECT_TRUE(dense::near(dense::fromValue(store), dense::storeMatrix(ref, m, N), tol));
        }
    }
    EXPECT_TRUE(host.messages().empty());
}

// Sys, Var and Mean elements from X through the index matrices; the host's
// own Sys and Var are unchanged afterwards.
TEST(Likelihood, TimeVaryingModel)
{
    std::mt19937_64 rng(99);
    kel::Host host;
    const int n = 20, m = 2;
    for (int N = 1; N <= 2; N++) {
        const int d = m + N;
        dense::System s = dense::randomSystem(rng, m, N, true);
        Mat Y = dense::randomData(rng, N, n);
        Y(N - 1, 6) = kNaN;
        dense::TimeVarying tv;
        tv.X = dense::randomData(rng, 3, n);
        tv.X.row(0) *= 0.5;
        tv.X.row(2) = tv.X.row(2).cwiseAbs().array() + s.var(d - 1, d - 1);
        tv.idxSys = Eigen::MatrixXi::Constant(d, m, -1);
        tv.idxSys(0, 1) = 0;
        tv.idxSys(m, 0) = 1;
        tv.idxVar = Eigen::MatrixXi::Constant(d, d, -1);
        tv.idxVar(d - 1, d - 1) = 2;
        tv.idxMean = Eigen::VectorXi::Constant(d, -1);
        tv.idxMean(m) = 1;
        Mat init(m + 1, m);
        init.topRows(m) = Mat::Identity(m, m);
        init.row(m).setZero();
        dense::Run ref = dense::filter(dense::expand(s, tv, n), Y, &init, dense::vbig(s.var));
        double tol = 1e3 * kEps * n;

        kel::Value y = dense::toValue(Y), sys = dense::toValue(s.sys),
                   var = dense::toValue(s.var), iv = dense::toValue(init),
                   mean = dense::toValue(s.mean), x = dense::toValue(tv.X);
        kel::Value is = dense::toValue(Mat(tv.idxSys.cast<double>())),
                   ivar = dense::toValue(Mat(tv.idxVar.cast<double>())),
                   imean = dense::toValue(Vec(tv.idxMean.cast<double>()));
        std::vector<kel::Arg> model{y, sys, var, iv, mean, is, ivar, imean, x};
        Lik lik = callLik(host, "LdsLik", model);
        ASSERT_EQ(lik.ret, 1);
        expectNearRel(lik.ll.asDouble(), dense::logLik(ref), tol, "loglik");
        kel::Value store = callFil(host, model);
        EXPECT_TRUE(dense::near(dense::fromValue(store), dense::storeMatrix(ref, m, N), tol));
        EXPECT_TRUE(dense::near(dense::fromValue(sys), s.sys, 0.0)) << "host Sys changed";
        EXPECT_TRUE(dense::near(dense::fromValue(var), s.var, 0.0)) << "host Var changed";

        // An index one beyond the rows of X is an error.
        kel::Value bad = is;
        bad.at(0, 1) = 3.0;
        std::string text;
        long before = kelhost_live_blocks();
        Lik unused;
        int code = host.tryCall("LdsLik", {kel::ref(unused.ll), kel::ref(unused.s2), y, sys, var,
                                           iv, mean, bad, ivar, imean, x},
                                nullptr, &text);
        EXPECT_NE(code, 0);
        EXPECT_NE(text.find("Lds(): dimension of data matrix is not correct"), std::string::npos)
            << text;
        EXPECT_EQ(kelhost_live_blocks(), before);
        EXPECT_EQ(unused.ll.asDouble(), kUnwritten);

        // Only part of the block: a warning and a time-invariant run.
        host.clearMessages();
        dense::Run fixed = dense::filter({s}, Y, &init);
        Lik part = callLik(host, "LdsLik", {y, sys, var, iv, mean, is});
        ASSERT_EQ(part.ret, 1);
        expectNearRel(part.ll.asDouble(), dense::logLik(fixed), tol, "time-invariant loglik");
        ASSERT_EQ(host.messages().size(), 1u);
        EXPECT_EQ(host.messages()[0], "Lds(): no time-varying state space model");
        host.clearMessages();
    }
}

// Numerical failures: return 0, one warning, references untouched, the
// KalmanFil result released; silent with warnings off.
TEST(Likelihood, NumericalFailures)
{
    kel::Host host;
    auto expectFailure = [&](const std::vector<kel::Arg> &model, const char *what) {
        SCOPED_TRACE(what);
        host.clearMessages();
        Lik lik = callLik(host, "LdsLik", model);
        EXPECT_EQ(lik.ret, 0);
        EXPECT_EQ(lik.ll.asDouble(), kUnwritten);
        EXPECT_EQ(lik.s2.asDouble(), kUnwritten);
        Lik conc = callLik(host, "LdsLikConc", model);
        EXPECT_EQ(conc.ret, 0);
        EXPECT_EQ(conc.ll.asDouble(), kUnwritten);
        kel::Value fil = callFil(host, model);
        EXPECT_FALSE(fil.isMatrix());
        ASSERT_EQ(host.messages().size(), 3u);
        EXPECT_EQ(host.messages()[0], kLikMsg);
        EXPECT_EQ(host.messages()[1], kConcMsg);
        EXPECT_EQ(host.messages()[2], kFilMsg);
    };

    // Everything missing, N = 1 and N = 2.
    kel::Value sys1 = {{0.9}, {1.0}}, var1 = {{1.0, 0.0}, {0.0, 1.0}};
    kel::Value y1 = {{kNaN, kNaN, kNaN}};
    expectFailure({y1, sys1, var1}, "all missing, N = 1");
    kel::Value sys2 = {{0.9}, {1.0}, {0.5}};
    kel::Value var2 = {{1.0, 0.0, 0.0}, {0.0, 1.0, 0.0}, {0.0, 0.0, 1.0}};
    kel::Value y2 = {{kNaN, kNaN}, {kNaN, kNaN}};
    expectFailure({y2, sys2, var2}, "all missing, N = 2");

    // A zero innovation variance (N = 1): no observation loading, no noise.
    kel::Value sys0 = {{0.9}, {0.0}}, var0 = {{1.0, 0.0}, {0.0, 0.0}};
    kel::Value init0 = {{1.0}, {0.0}};
    kel::Value y0 = {{1.0, 2.0}};
    expectFailure({y0, sys0, var0, init0}, "zero F");

    // A singular F (N = 2): two identical noiseless series.
    kel::Value sysS = {{0.9}, {1.0}, {1.0}};
    kel::Value varS = {{1.0, 0.0, 0.0}, {0.0, 0.0, 0.0}, {0.0, 0.0, 0.0}};
    kel::Value yS = {{1.0, 2.0}, {1.0, 2.0}};
    expectFailure({yS, sysS, varS, init0}, "singular F");

    host.call("LdsWarning", {kel::Value(0)});
    host.clearMessages();
    Lik quiet = callLik(host, "LdsLik", {yS, sysS, varS, init0});
    EXPECT_EQ(quiet.ret, 0);
    EXPECT_TRUE(host.messages().empty());
    host.call("LdsWarning", {kel::Value(1)});
}

// Every allocation failing in turn: either a memory error or a normal
// result, and never a leaked block.
TEST(Likelihood, AllocationFailures)
{
    std::mt19937_64 rng(3);
    kel::Host host;
    const int m = 1, N = 2, n = 8, d = m + N;
    dense::System s = dense::randomSystem(rng, m, N);
    kel::Value y = dense::toValue(dense::randomData(rng, N, n)),
               sys = dense::toValue(s.sys), var = dense::toValue(s.var);
    kel::Value is = kel::Value::matrix(d, m, -1.0), iv = kel::Value::matrix(d, d, -1.0);
    is.at(0, 0) = 0.0;
    iv.at(1, 1) = 0.0;
    kel::Value x = kel::Value::matrix(1, n, 0.5);
    for (const char *fn : {"LdsLik", "KalmanFil"}) {
        int failures = 0;
        for (long k = 0; k < 12; k++) {
            kel::Value ll(kUnwritten), s2(kUnwritten), rtn;
            std::vector<kel::Arg> model{y, sys, var, 0, 0, is, iv, 0, x};
            std::vector<kel::Arg> args;
            if (std::string(fn) == "LdsLik")
                args = {kel::ref(ll), kel::ref(s2)};
            args.insert(args.end(), model.begin(), model.end());
            long before = kelhost_live_blocks();
            kelhost_fail_allocations_after(k);
            int code = host.tryCall(fn, args, &rtn);
            kelhost_fail_allocations_after(-1);
            EXPECT_EQ(kelhost_live_blocks(), before) << fn << " k=" << k;
            if (code != 0) {
                failures++;
                EXPECT_EQ(code, KEL_ERROR_MEMORY) << fn << " k=" << k;
                EXPECT_EQ(ll.asDouble(), kUnwritten);
            }
        }
        EXPECT_GT(failures, 2) << fn;
    }
}

}  // namespace
