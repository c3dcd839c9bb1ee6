// LdsLikSco: the log-likelihood and the score S = sum_t (u_t u_t' - D_t).
//
// With l = -1/2 sum_t (log|F_t| + v_t' F_t^-1 v_t) and every element of Var
// taken as a free variable, dl/dVar = 1/2 S.  For the symmetric Var the
// test perturbs Var[i][i] alone, or the pair Var[i][j] = Var[j][i]
// together, by h:
//
//   dl/dVar[i][i]           = 0.5 * S[i][i]
//   dl/d(Var[i][j] = Var[j][i]) = 0.5 * (S[i][j] + S[j][i]) = S[i][j],  i != j
//
// checked below against central differences of LdsLik.
#include <gtest/gtest.h>

#include "smooth_fixture.hpp"

namespace {

using namespace smo;

double logLik(kel::Host &host, const Case &c)
{
    kel::Value ll, s2;
    HostArgs form(c);
    EXPECT_EQ(host.call("LdsLik", form.with({kel::ref(ll), kel::ref(s2)})).asInt(), 1);
    return ll.asDouble();
}

struct Sco {
    int ret;
    kel::Value ll, s2, score;
};

Sco callScore(kel::Host &host, const Case &c, bool threeRefs)
{
    Sco r;
    r.ll = kel::Value(-1.5);
    r.s2 = kel::Value(-2.5);
    HostArgs form(c);
    std::vector<kel::Arg> front = {kel::ref(r.ll)};
    if (threeRefs)
        front.push_back(kel::ref(r.s2));
    front.push_back(kel::ref(r.score));
    r.ret = host.call("LdsLikSco", form.with(front)).asInt();
    return r;
}

TEST(LdsLikSco, ScoreIsTwiceTheVarianceGradient)
{
    kel::Host host;
    // Proper Init only: with diffuse elements the likelihood also moves
    // with Vbig, which follows the largest diagonal element of Var.
    for (const Case &base : {univCase(), wideCase()}) {
        SCOPED_TRACE(base.name);
        Sco r = callScore(host, base, true);
        ASSERT_EQ(r.ret, 1);
        const int d = base.d();
        ASSERT_EQ(r.score.rows(), d);
        ASSERT_EQ(r.score.cols(), d);

        dense::Run run = dense::filter(base.systems(), base.Y, &base.init);
        EXPECT_NEAR(r.ll.asDouble(), dense::logLik(run), 1e-12 * std::fabs(dense::logLik(run)));
        EXPECT_NEAR(r.s2.asDouble(), dense::sigma2(run), 1e-12);

        const double h = 1e-5;
        for (int i = 0; i < d; i++) {
            for (int j = i; j < d; j++) {
                Case up = base, down = base;
                up.s.var(i, j) += h;
                down.s.var(i, j) -= h;
                if (i != j) {
                    up.s.var(j, i) += h;
                    down.s.var(j, i) -= h;
                }
                double fd = (logLik(host, up) - logLik(host, down)) / (2 * h);
                double want = i == j ? fd / 0.5 : fd;
                // Central difference: O(h^2) truncation plus rounding of
                // about eps |l| / h.
                EXPECT_NEAR(r.score(i, j), want, 1e-6 * std::max(1.0, std::fabs(want)))
                    << "element " << i << ", " << j;
                EXPECT_EQ(r.score(i, j), r.score(j, i));
            }
        }
    }
}

TEST(LdsLikSco, MatchesDenseScoreAndReferenceCount)
{
    kel::Host host;
    Case c = multiCase();
    dense::SmoothRef ref = c.smoothed();
    Mat want = Mat::Zero(c.d(), c.d());
    for (int t = 0; t < c.n(); t++)
        want += ref.u[t] * ref.u[t].transpose() - ref.D[t];

    Sco two = callScore(host, c, false);
    ASSERT_EQ(two.ret, 1);
    EXPECT_TRUE(dense::near(dense::fromValue(two.score), want, 1e-10));
    EXPECT_EQ(two.s2.asDouble(), -2.5);  // the second reference is the score

    Sco three = callScore(host, c, true);
    ASSERT_EQ(three.ret, 1);
    dense::Run run = dense::filter(c.systems(), c.Y, &c.init, c.vbig());
    EXPECT_NEAR(three.s2.asDouble(), dense::sigma2(run), 1e-12);
    EXPECT_NEAR(three.ll.asDouble(), dense::logLik(run), 1e-12 * std::fabs(dense::logLik(run)));
    EXPECT_EQ(three.ll.asDouble(), two.ll.asDouble());
}

TEST(LdsLikSco, FailuresLeaveReferencesAlone)
{
    kel::Host host;
    Case c = univCase();
    c.Y.setConstant(kNaN);
    kel::Value ll(7.5), s2(8.5), score = kel::Value::matrix(2, 2, 1.0);
    HostArgs form(c);
    kel::Value ret =
        host.call("LdsLikSco", form.with({kel::ref(ll), kel::ref(s2), kel::ref(score)}));
    EXPECT_EQ(ret.asInt(), 0);
    EXPECT_EQ(ll.asDouble(), 7.5);
    EXPECT_EQ(s2.asDouble(), 8.5);
    EXPECT_FALSE(score.isMatrix());
    ASSERT_EQ(host.messages().size(), 1u);
    EXPECT_EQ(host.messages()[0], "LdsLikSco(): non-positive semi-definite innovation matrix");

    // The score reference may name the variable passed as data: the run
    // still reads the data it was given.
    Case good = univCase();
    HostArgs aliased(good);
    kel::Value &y = aliased.data();
    kel::Value ll2;
    ASSERT_EQ(host.call("LdsLikSco", aliased.with({kel::ref(ll2), kel::ref(y)})).asInt(), 1);
    Sco plain = callScore(host, good, false);
    EXPECT_TRUE(dense::near(dense::fromValue(y), dense::fromValue(plain.score), 0.0));
    EXPECT_EQ(ll2.asDouble(), plain.ll.asDouble());

    HostArgs goodForm(good);
    const long baseline = kelhost_live_blocks();
    for (long k = 0;; k++) {
        kelhost_fail_allocations_after(k);
        kel::Value l3(3.0), sc(4.0);
        std::string text;
        int code = host.tryCall("LdsLikSco", goodForm.with({kel::ref(l3), kel::ref(sc)}),
                                nullptr, &text);
        kelhost_fail_allocations_after(-1);
        EXPECT_EQ(kelhost_live_blocks(), baseline) << "after " << k;
        if (code == 0)
            break;
        // The score matrix in the referenced variable has its own message.
        if (code == KELHOST_ERR_RUNTIME)
            EXPECT_EQ(text, "LdsLikSco(): memory allocation failure");
        else
            EXPECT_EQ(code, KEL_ERROR_MEMORY) << "after " << k;
        EXPECT_EQ(l3.asDouble(), 3.0);
        ASSERT_LT(k, 100);
    }
}

}  // namespace
