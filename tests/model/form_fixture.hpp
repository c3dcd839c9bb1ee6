// form_fixture.hpp - a small model in state space form for the tests of the
// argument checks and the time-varying elements, a LdsLik caller that
// collects everything a call leaves behind, and the reference filter run
// over the same model.
#ifndef VANTREL_TESTS_MODEL_FORM_FIXTURE_HPP
#define VANTREL_TESTS_MODEL_FORM_FIXTURE_HPP

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kelhost/kel.hpp"
#include "support/dense_kalman.hpp"

namespace form {

using dense::Mat;
using dense::Vec;

const double kEps = std::numeric_limits<double>::epsilon();

// m = 2 states; N = 1 or 2 series; all variances below 1, so Vbig is
// 9999999.99 whatever the time-varying values.
struct Model {
    dense::System s;
    Mat init;  // (m+1) x m, proper (no diffuse element)
    Mat Y;     // N x n
};

inline Model model(int N, int n = 8, unsigned seed = 3)
{
    const int m = 2, d = m + N;
    Model md;
    Mat sys(4, m);
    sys << 0.8, 0.2, -0.1, 0.6, 1.0, 0.3, -0.4, 1.0;
    md.s.sys = sys.topRows(d);
    md.s.var = Mat::Zero(d, d);
    for (int i = 0; i < d; i++)
        md.s.var(i, i) = 0.3 + 0.1 * i;
    md.s.var(0, 1) = md.s.var(1, 0) = 0.05;
    md.s.var(0, m) = md.s.var(m, 0) = 0.04;
    if (N == 2)
        md.s.var(2, 3) = md.s.var(3, 2) = -0.06;
    md.s.mean = Vec::Zero(d);
    md.init = Mat(m + 1, m);
    md.init << 0.9, 0.0, 0.1, 0.7, 0.25, -0.5;
    std::mt19937_64 rng(seed);
    md.Y = dense::randomData(rng, N, n);
    return md;
}

struct Lik {
    int code = -1;
    int ret = -1;
    double ll = 0, s2 = 0;
    bool written = false;  // both references became doubles
    std::string text;
    std::vector<std::string> messages;
};

// LdsLik(&ll, &s2, form...).
inline Lik lik(kel::Host &host, const std::vector<kel::Arg> &formArgs)
{
    kel::Value ll, s2, r;
    std::vector<kel::Arg> args = {kel::ref(ll), kel::ref(s2)};
    args.insert(args.end(), formArgs.begin(), formArgs.end());
    host.clearMessages();
    Lik out;
    out.code = host.tryCall("LdsLik", args, &r, &out.text);
    out.messages = host.messages();
    if (out.code == 0)
        out.ret = r.asInt();
    out.written = ll.type() == KEL_DOUBLE && s2.type() == KEL_DOUBLE;
    if (out.written) {
        out.ll = ll.asDouble();
        out.s2 = s2.asDouble();
    }
    return out;
}

struct Reference {
    double ll, s2;
};

inline Reference reference(const std::vector<dense::System> &systems, const Mat &Y,
                           const Mat *init, double vbigValue = 0.0)
{
    dense::Run run = dense::filter(systems, Y, init, vbigValue);
    return {dense::logLik(run), dense::sigma2(run)};
}

// Tolerance for a value from a filter run over n points of a d-dimensional
// model: proper start values keep the problem well conditioned; a diffuse
// start loses about log10(Vbig) digits.
inline double tolerance(double ref, bool diffuse, int n, int d)
{
    const double scale = diffuse ? 1e8 : 1.0;
    return 64.0 * n * d * kEps * scale * (1.0 + std::fabs(ref));
}

inline void expectMatches(const Lik &got, const Reference &ref, bool diffuse, int n, int d,
                          const std::string &what)
{
    ASSERT_EQ(got.code, 0) << what << ": " << got.text;
    ASSERT_EQ(got.ret, 1) << what;
    ASSERT_TRUE(got.written) << what;
    EXPECT_NEAR(got.ll, ref.ll, tolerance(ref.ll, diffuse, n, d))
        << what << ": loglik " << dense::full(got.ll) << " vs " << dense::full(ref.ll);
    EXPECT_NEAR(got.s2, ref.s2, tolerance(ref.s2, diffuse, n, d))
        << what << ": s2 " << dense::full(got.s2) << " vs " << dense::full(ref.s2);
}

}  // namespace form

#endif
