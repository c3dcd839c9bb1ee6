// LdsDraw against the model's linear map of its disturbances; LdsBootstrap
// giving back the data from their standardised innovations, and against the
// rebuild written out over a diffuse period and a permuting index table.
#include <algorithm>
#include <numeric>
#include <random>

#include "exact_fixture.hpp"

namespace {

using namespace ex;

TEST(LdsDraw, FollowsTheModel)
{
    std::mt19937_64 rng(30);
    Case c = varyingThree(9, 31);
    const int m = c.m(), N = c.N(), n = c.n(), d = c.d();
    Mat U = dense::randomData(rng, d, n + 1);
    Lib lib(c);
    dense::Rows u(U), work(2, m), out(d, n, -777.0), obs(N, n, -777.0);
    LdsDraw(N, n, m, lib.sys.p(), lib.mean.data(), lib.triplesP(), lib.xP(), lib.pat.p(),
            nullptr, work.p(), u.p(), out.p(), obs.p());
    // Base vector (alpha_0, eps_0, ..., eps_{n-1}) = U without rows m.. of column 0.
    dense::Joint joint(c.systems(), n, Vec::Zero(m), Mat::Identity(m, m));
    dense::VecL b(joint.base());
    b << U.col(0).head(m).cast<long double>(), U.rightCols(n).reshaped().cast<long double>();
    auto at = [&](const dense::Lin &q) { return Vec((q.c + q.G * b).cast<double>()); };
    for (int t = 0; t < n; t++) {
        Vec want(d);
        want << at(joint.state(t)), at(joint.signal(t));
        EXPECT_TRUE(dense::near(out.toMat().col(t), want, 1e-12)) << "t = " << t;
        Vec y = at(joint.obs(t)) - c.systems()[t].mean.tail(N);  // no observation constant
        EXPECT_TRUE(dense::near(obs.toMat().col(t), y, 1e-12)) << "t = " << t;
    }
}

Mat bootstrap(Lib &lib, const Mat &estore, const Mat &Z, Eigen::MatrixXi *index)
{
    const Case &c = lib.c;
    lib.reset();
    dense::Rows y(Z), work(2, c.m()), st(estore);
    dense::IntRows idx(index ? *index : Eigen::MatrixXi(1, 1));
    LdsBootstrap(c.N(), c.n(), index ? idx.p() : nullptr, c.m(), lib.sys.p(), lib.mean.data(),
                 lib.triplesP(), lib.xP(), lib.pat.p(), work.p(), st.p(), y.p());
    return y.toMat();
}

// Each observed y is v + Mean + Z a with the filter's own v and a: the
// innovations v sqrt(g), put back on their scales, rebuild the data.  A
// skipped step (F* = 0, no update) gets its prediction y - v, a missing
// one NaN, and neither may spread a NaN into the later steps.
TEST(LdsBootstrap, InnovationsGiveBackTheData)
{
    Case ll = localLevel(15, 0.5, 2.0, 41);
    ll.init(0, 0) = 2.0;
    ll.Y(0, 3) = ll.Y(0, 9) = kNaN;
    Case three = varyingThree(10, 42);
    three.init(1, 1) = 1.0;
    three.init.row(3).setZero();
    three.Y(1, 0) = three.Y(2, 4) = kNaN;
    three.Y.col(6).setConstant(kNaN);
    // Zero observation noise and Z_1 = 2 Z_0: nothing left to learn from
    // series 1 at t = 0 (F* = 0 exactly).
    Case skip = twoFactor(8, 43);
    skip.init = Mat::Identity(3, 2);
    skip.s.var(2, 2) = skip.s.var(3, 3) = 0.0;
    skip.Y.row(1).tail(7).setConstant(kNaN);
    for (Case *c : {&ll, &three, &skip}) {
        SCOPED_TRACE(c->name);
        const int m = c->m(), N = c->N();
        Lib lib(*c);
        ExactRun r = runExact(lib, 0);
        ASSERT_EQ(r.ok, 1);
        ASSERT_EQ(r.dstar, 0);
        Mat z(N, c->n()), want = c->Y;
        int skipped = 0;
        for (int s = 0; s < N * c->n(); s++) {
            z(s % N, s / N) = r.estore(0, s) * std::sqrt(r.estore(m + 1, s));
            if (r.estore(m + 2, s) == 2.0) {
                want(s % N, s / N) -= r.estore(0, s);
                skipped++;
            }
        }
        EXPECT_EQ(skipped, c == &skip ? 1 : 0);
        EXPECT_TRUE(dense::near(bootstrap(lib, r.estore, z, nullptr), want, 1e-10));
    }
}

// The rebuild on the dense systems: e per step, NaN at a missing step.
Mat rebuild(const Case &c, const Mat &E, const Mat &st)
{
    const int m = c.m(), N = c.N();
    std::vector<dense::System> sys = c.systems();
    Vec a = Vec::Zero(m);
    Mat Y(N, c.n());
    for (int t = 0; t < c.n(); t++) {
        const dense::System &s = sys[sys.size() == 1 ? 0 : t];
        for (int i = 0; i < N; i++) {
            const int k = t * N + i;
            if (st(m + 2, k) == -1.0) {
                Y(i, t) = kNaN;
                continue;
            }
            Y(i, t) = E(i, t) + s.mean(m + i) + s.sys.row(m + i).dot(a);
            a += E(i, t) * st.col(k).segment(1, m);
        }
        a = s.sys.topRows(m) * a + s.mean.head(m);
    }
    return Y;
}

// Diffuse steps take no draw (e = 0); an index table takes the
// standardised innovation of another step, none from a step outside the
// store or one without an ordinary update.
TEST(LdsBootstrap, DiffusePeriodAndIndexTable)
{
    std::mt19937_64 rng(50);
    Case bsm = basicStructural(16, 51);
    bsm.Y(0, 2) = bsm.Y(0, 9) = kNaN;
    Case three = varyingThree(10, 52);
    three.Y(0, 0) = three.Y(2, 5) = kNaN;
    for (Case *c : {&bsm, &three}) {
        SCOPED_TRACE(c->name);
        const int m = c->m(), N = c->N(), n = c->n(), steps = N * n;
        Lib lib(*c);
        ExactRun r = runExact(lib, 0);
        ASSERT_EQ(r.ok, 1);
        ASSERT_GT(r.dstar, 0);
        const Mat &st = r.estore;
        auto scale = [&](int s) {
            return st(m + 2, s) == 1.0 && st(m + 1, s) > 0 ? std::sqrt(st(m + 1, s)) : 0.0;
        };
        Mat perm(N, n);
        std::vector<int> order(steps);
        std::iota(order.begin(), order.end(), 0);
        std::shuffle(order.begin(), order.end(), rng);
        order[1] = -1;
        order[steps - 1] = steps;
        Eigen::MatrixXi index(N, n);
        for (int s = 0; s < steps; s++) {
            const int i = s % N, t = s / N, j = order[s];
            index(i, t) = j;
            const double k = scale(s), kj = j >= 0 && j < steps ? scale(j) : 0.0;
            perm(i, t) = k > 0 && kj > 0 ? st(0, j) * kj / k : 0.0;
        }
        Mat junk = Mat::Constant(N, n, 1e300);  // not read with an index table
        EXPECT_TRUE(dense::near(bootstrap(lib, st, junk, &index), rebuild(*c, perm, st), 1e-10));
    }
}

}  // namespace
