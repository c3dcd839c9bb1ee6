// The innovation draws of the exact filter against the dense model with a
// flat prior on the diffuse elements.  There the innovation of step s (the
// observation less its prediction from the ones before it) is G b over the
// base vector b = (alpha_0, eps_0, ..., eps_{n-1}, flat part); its columns
// split it into v_eta, driven by the initial state and the state
// disturbances, and v_eps, driven by the observation disturbances.  In
// words: sqrt(F0) is the standard deviation the innovation keeps when every
// observation disturbance is known, sqrt(Var v_eta); sqrt(1/g - F0) the one
// it keeps when the initial state and every state disturbance are known,
// sqrt(Var v_eps).  Given observation disturbances E, SimSmoEpsExact draws
// mean v_eps(E), variance Var v_eta; given state disturbances H and a
// standard normal initial state, SimSmoEtaExact draws mean v_eta(H), variance
// |G of alpha_0|^2 + Var v_eps.
#include "exact_fixture.hpp"

#include <functional>
#include <random>

#include "kelhost/kelhost.h"

namespace {

using namespace ex;

const double kTol = 1e-7;
const int kDraws = 20000;
const unsigned long long kSeed = 2026;
enum { INIT = 1, STATE = 2, OBS = 4 };

// The columns of v's G driven by the given parts of b, others zeroed.
Vec part(const Case &c, const dense::Lin &v, int parts)
{
    const int m = c.m(), d = c.d(), flat = m + c.n() * d;
    Vec g = v.G.row(0).cast<double>().transpose();
    for (int k = 0; k < g.size(); k++)
        if (!(parts & (k < m ? INIT : k >= flat ? 0 : (k - m) % d < m ? STATE : OBS)))
            g(k) = 0.0;
    return g;
}

// What a step's draw should be: missing (NaN), not compared (diffuse or
// skipped), or mean + init' z0 + scale z and, over draws, mean and var.
struct Want {
    bool missing = false, compared = false;
    double mean = 0, var = 0, scale = 0;
    Vec init;
};

// The normal numbers in step order (first the initial ones, then one for
// every observed step, scale 0 or not), then moments of kDraws draws to
// five standard errors.
void expectDraws(const std::vector<Want> &want, int initial,
                 const std::function<void(double *)> &draw, const char *what)
{
    const size_t steps = want.size();
    std::vector<double> out(steps), sum(steps), sumSq(steps);
    kelhost_seed(kSeed);
    draw(out.data());
    kelhost_seed(kSeed);
    Vec z0(initial);
    for (int j = 0; j < initial; j++)
        z0(j) = DRanNormalPM();
    for (size_t s = 0; s < steps; s++) {
        if (want[s].missing) {
            EXPECT_TRUE(std::isnan(out[s])) << what << s;
            continue;
        }
        const double z = DRanNormalPM();
        if (!want[s].compared)
            continue;
        const double init = initial ? want[s].init.dot(z0) : 0.0;
        const double w = want[s].mean + init + want[s].scale * z;
        EXPECT_NEAR(out[s], w, kTol * (1 + std::fabs(w))) << what << s;
    }
    for (int r = 0; r < kDraws; r++) {
        draw(out.data());
        for (size_t s = 0; s < steps; s++) {
            sum[s] += out[s];
            sumSq[s] += out[s] * out[s];
        }
    }
    for (size_t s = 0; s < steps; s++) {
        if (!want[s].compared)
            continue;
        const double mean = sum[s] / kDraws, var = sumSq[s] / kDraws - mean * mean;
        const double v = want[s].var, slack = 1e-8 * (1 + std::fabs(want[s].mean));
        EXPECT_NEAR(mean, want[s].mean, 5 * std::sqrt(v / kDraws) + slack) << what << s;
        EXPECT_NEAR(var, v, 5 * v * std::sqrt(2.0 / kDraws) + slack) << what << s;
    }
}

void expectCase(const Case &c)
{
    SCOPED_TRACE(c.name);
    const int m = c.m(), N = c.N(), n = c.n(), d = c.d(), steps = N * n;
    dense::Joint joint = c.joint();
    const dense::Posterior prior = joint.prior();
    Lib lib(c);
    ExactRun run = runExact(lib, 0);
    ASSERT_EQ(run.ok, 1);
    dense::Rows estore(run.estore), P(m + 1, m), W(m + 1, m), work(3, m), E(N, n), H(m, n);
    std::vector<double> scaleEps(steps), scaleEta(steps), zero(steps);
    for (int mode : {7, 0}) {
        SimSmoWgtExact(mode, N, n, m, lib.sys.p(), lib.var.p(), lib.triplesP(), lib.xP(),
                       lib.pat.p(), lib.initP(), P.p(), W.p(), estore.p(),
                       (mode == 7 ? scaleEps : scaleEta).data());
        lib.reset();
    }
    std::mt19937_64 rng(5);
    std::normal_distribution<double> normal;
    Vec bE = Vec::Zero(joint.base()), bH = bE;  // E and H in b's layout
    for (int t = 0; t < n; t++) {
        for (int j = 0; j < m; j++)
            bH(m + t * d + j) = H.p()[j][t] = normal(rng);
        for (int i = 0; i < N; i++)
            bE(m + t * d + m + i) = E.p()[i][t] = normal(rng);
    }
    auto variance = [&](const Vec &g) {
        return prior.of({dense::VecL::Zero(1), g.transpose().cast<long double>()}).var(0, 0);
    };

    std::vector<Want> eps(steps), eta(steps);
    for (int s = 0; s < steps; s++) {
        eps[s].missing = eta[s].missing = std::isnan(run.estore(0, s));
        if (!(run.estore(m + 1, s) > 0)) {  // missing, diffuse, skipped
            EXPECT_EQ(scaleEps[s], 0.0) << s;
            EXPECT_EQ(scaleEta[s], 0.0) << s;
            continue;
        }
        const dense::Lin v = joint.innovation(c.Y, s / N, s % N);
        const Vec gEta = part(c, v, INIT | STATE), gEps = part(c, v, OBS);
        const double varEta = variance(gEta), varEps = variance(gEps);
        EXPECT_NEAR(scaleEps[s], std::sqrt(varEta), kTol) << "mode 7 s = " << s;
        EXPECT_NEAR(scaleEta[s], std::sqrt(varEps), kTol) << "mode 0 s = " << s;
        const Vec init = part(c, v, INIT).head(m);
        eps[s] = {false, true, gEps.dot(bE), varEta, scaleEps[s], Vec()};
        eta[s] = {false, true, gEta.dot(bH), init.squaredNorm() + varEps, scaleEta[s], init};
    }
    auto draw = [&](double **given, const std::vector<double> &scale, double *out) {
        (given == H.p() ? SimSmoEtaExact : SimSmoEpsExact)(
            N, n, m, lib.sys.p(), lib.triplesP(), lib.xP(), lib.pat.p(), work.p(),
            estore.p(), given, scale.data(), out);
        lib.reset();
    };
    expectDraws(eps, 0, [&](double *o) { draw(E.p(), scaleEps, o); }, "eps s = ");
    expectDraws(eta, m, [&](double *o) { draw(H.p(), scaleEta, o); }, "eta s = ");

    // No spread and no disturbances: zeros, NaN where missing.
    std::vector<Want> none(steps);
    for (int s = 0; s < steps; s++)
        none[s].compared = !(none[s].missing = eps[s].missing);
    dense::Rows E0(N, n);
    expectDraws(none, 0, [&](double *o) { draw(E0.p(), zero, o); }, "zero s = ");
}

TEST(ExactSimulation, DrawsMatchFlatPriorInnovations)
{
    Case level = localLevel(12, 0.5, 2.0, 51);  // Init: one diffuse element
    level.Y(0, 0) = level.Y(0, 6) = kNaN;       // the diffuse step moves to s = 1
    expectCase(level);
    // No Init (P* = 0 in the period); series 1 at t = 0 is an ordinary step
    // inside the period with F0 = 0.
    Case two = twoFactor(8, 52);
    two.Y(1, 3) = kNaN;
    expectCase(two);
    Case bsm = basicStructural(16, 53);
    bsm.Y(0, 4) = kNaN;
    expectCase(bsm);
    Case three = threeSeries(8, 54);  // proper and diffuse elements
    three.Y(0, 0) = three.Y(2, 3) = kNaN;
    expectCase(three);
    Case tv = timeVaryingTrend(12, 55);  // Sys and the state variance vary
    tv.tv.idxVar = Eigen::MatrixXi::Constant(3, 3, -1);
    tv.tv.idxVar(0, 0) = 2;
    tv.tv.X.conservativeResize(3, Eigen::NoChange);
    tv.tv.X.row(2) = 0.3 + 0.25 * Vec::LinSpaced(12, 0, 11).array().sin();
    tv.Y(0, 5) = kNaN;
    expectCase(tv);
}

}  // namespace
