// exact_fixture.cpp - the runner and the cases of exact_fixture.hpp.
#include "exact_fixture.hpp"

#include <algorithm>
#include <random>

namespace ex {

Triples::Triples(const dense::TimeVarying &tv)
{
    auto add = [&](int part, std::initializer_list<int> values) {
        int k = 0;
        for (int v : values)
            rows[part + k++].push_back(v);
        rows[part][0]++;
    };
    for (int i = 0; i < tv.idxSys.rows(); i++)
        for (int j = 0; j < tv.idxSys.cols(); j++)
            if (tv.idxSys(i, j) >= 0)
                add(0, {i, j, tv.idxSys(i, j)});
    for (int i = 0; i < tv.idxVar.rows(); i++)
        for (int j = 0; j < tv.idxVar.cols(); j++)
            if (tv.idxVar(i, j) >= 0)
                add(3, {i, j, tv.idxVar(i, j)});
    for (int i = 0; i < tv.idxMean.size(); i++)
        if (tv.idxMean(i) >= 0)
            add(6, {i, tv.idxMean(i)});
    size_t width = 0;
    for (auto &r : rows)
        width = std::max(width, r.size());
    for (auto &r : rows) {
        r.resize(width, 0);
        ptr.push_back(r.data());
    }
}

Pattern::Pattern(int r, int c, double **T, int **triples)
    : rows(6, std::vector<int>(size_t(r) * c + 1))
{
    for (auto &row : rows)
        ptr.push_back(row.data());
    iMatTPattern(r, c, T, triples, ptr.data());
}

Lib::Lib(const Case &cs)
    : c(cs), Y(cs.Y), sys(cs.sysWithSel()), var(cs.s.var), X(cs.tv.X), mean(cs.s.mean),
      init(cs.init.size() ? cs.init : Mat(1, 1)), triples(cs.tv),
      pat(cs.m(), cs.m(), sys.p(), cs.timeVarying() ? triples.p() : nullptr)
{
}

void Lib::reset()
{
    sys = dense::Rows(c.sysWithSel());
    var = dense::Rows(c.s.var);
    mean = c.s.mean;
}

ExactRun runExact(Lib &lib, int mode, int h)
{
    const Case &c = lib.c;
    const int m = c.m(), N = c.N(), n = c.n(), d = c.d(), steps = N * n;
    const int lowRows = std::max(1, m * (m - 1) / 2);
    const int predRows = mode == 9 ? 2 : mode == 11 ? m + 1 : 2 * d;
    const int filtRows = mode == 10 ? 2 : 2 * d;
    lib.reset();
    dense::Rows dwork(m + 1, m), scratch(m, m), dstore(m + 3, steps, -777.0);
    dense::Rows varInf(m + N, n), lowInf(lowRows, n), sigInf(m, n);
    ExactRun r;
    r.dstar = IKalmanInitial(N, n, lib.Y.p(), m, lib.sys.p(), lib.triplesP(), lib.xP(),
                             lib.pat.p(), lib.initP(), dwork.p(), scratch.p(), dstore.p(),
                             varInf.p(), lowInf.p(), sigInf.p());
    lib.reset();
    dense::Rows swork(m + 2, m), pwork(m + 1, m), hwork(m + 1, m);
    dense::Rows estore(m + 3, steps, -777.0), pred(predRows, n, -777.0), low(lowRows, n),
        filt(filtRows, n);
    r.ok = fKalmanExact(mode, h, N, n, lib.Y.p(), m, lib.sys.p(), lib.var.p(), lib.mean.data(),
                        lib.triplesP(), lib.xP(), lib.pat.p(), lib.initP(), r.dstar,
                        dstore.p(), swork.p(), pwork.p(), hwork.p(), estore.p(), pred.p(),
                        low.p(), filt.p(), &r.logdet, &r.sumsq, &r.count);
    r.dstore = dstore.toMat();
    r.estore = estore.toMat();
    r.pred = pred.toMat();
    r.low = low.toMat();
    r.filt = filt.toMat();
    r.varInf = varInf.toMat();
    r.lowInf = lowInf.toMat();
    r.sigInf = sigInf.toMat();
    r.swork = swork.toMat();
    lib.reset();
    return r;
}

dense::Posterior posterior(const Case &c) { return c.joint().condition(c.Y, c.n()); }

namespace {

// N x n data around a random walk, so that the levels are not all zero.
Mat walkData(std::mt19937_64 &rng, int N, int n)
{
    std::normal_distribution<double> g(0.0, 1.0);
    Mat Y(N, n);
    double level = 10.0;
    for (int t = 0; t < n; t++) {
        level += g(rng);
        for (int i = 0; i < N; i++)
            Y(i, t) = (i + 1) * level + g(rng);
    }
    return Y;
}

dense::System structure(const Mat &T, const Mat &Z, const Vec &q, const Vec &h)
{
    const int m = int(T.rows()), N = int(Z.rows()), d = m + N;
    dense::System s;
    s.sys.resize(d, m);
    s.sys << T, Z;
    s.var = Mat::Zero(d, d);
    s.var.diagonal() << q, h;
    s.mean = Vec::Zero(d);
    return s;
}

}  // namespace

Case localLevel(int n, double q, double h, unsigned seed)
{
    std::mt19937_64 rng(seed);
    Case c;
    c.name = "local level";
    c.s = structure(Mat::Ones(1, 1), Mat::Ones(1, 1), Vec::Constant(1, q), Vec::Constant(1, h));
    c.init = Mat::Zero(2, 1);
    c.init(0, 0) = -1.0;
    c.Y = walkData(rng, 1, n);
    c.sel = Vec::Ones(1);
    return c;
}

Case localLinearTrend(int n, unsigned seed)
{
    std::mt19937_64 rng(seed);
    Case c;
    c.name = "local linear trend";
    Mat T(2, 2);
    T << 1, 1, 0, 1;
    Mat Z(1, 2);
    Z << 1, 0;
    Vec q(2);
    q << 0.5, 0.05;
    c.s = structure(T, Z, q, Vec::Constant(1, 1.5));
    c.Y = walkData(rng, 1, n);  // no Init: both elements diffuse
    c.sel = Vec::Ones(2);
    return c;
}

Case timeVaryingTrend(int n, unsigned seed)
{
    Case c = localLinearTrend(n, seed);
    c.name = "time-varying";
    c.tv.idxSys = Eigen::MatrixXi::Constant(3, 2, -1);
    c.tv.idxSys(0, 1) = 0;
    c.tv.idxSys(2, 1) = 1;  // the observation loads the slope too
    c.tv.X = Mat(2, n);
    for (int t = 0; t < n; t++) {
        c.tv.X(0, t) = 1.0 + 0.1 * std::cos(t);
        c.tv.X(1, t) = 0.2 * (t % 4);
    }
    return c;
}

Case basicStructural(int n, unsigned seed)
{
    std::mt19937_64 rng(seed);
    Case c;
    c.name = "basic structural";
    const int m = 5;
    Mat T = Mat::Zero(m, m);
    T(0, 0) = T(0, 1) = T(1, 1) = 1.0;
    T.row(2) << 0, 0, -1, -1, -1;
    T(3, 2) = T(4, 3) = 1.0;
    Mat Z(1, m);
    Z << 1, 0, 1, 0, 0;
    Vec q(m);
    q << 0.4, 0.02, 0.1, 0, 0;
    c.s = structure(T, Z, q, Vec::Constant(1, 0.8));
    c.init = Mat::Zero(m + 1, m);
    for (int i = 0; i < m; i++)
        c.init(i, i) = -(1.0 + i);  // scales 1..5
    c.Y = walkData(rng, 1, n);
    c.sel = Vec::Zero(m);
    c.sel << 1, 0, 1, 0, 0;
    return c;
}

Case twoFactor(int n, unsigned seed)
{
    std::mt19937_64 rng(seed);
    Case c;
    c.name = "two factors";
    Mat T(2, 2);
    T << 1, 0, 0, 0.5;
    Mat Z(2, 2);
    Z << 1, 1, 2, 2;  // the second series adds no diffuse information at t = 0
    Vec q(2), h(2);
    q << 0.3, 1.2;
    h << 0.7, 2.0;
    c.s = structure(T, Z, q, h);
    c.Y = walkData(rng, 2, n);
    c.sel = Vec::Ones(2);
    return c;
}

Case threeSeries(int n, unsigned seed)
{
    std::mt19937_64 rng(seed);
    Case c;
    c.name = "three series";
    dense::System r = dense::randomSystem(rng, 3, 3, true);
    Vec q(3), h(3);
    q << 0.5, 0.2, 0.8;
    h << 1.0, 0.6, 1.4;
    c.s = structure(r.sys.topRows(3), r.sys.bottomRows(3), q, h);
    c.s.mean = r.mean;
    c.init = Mat::Zero(4, 3);
    c.init(0, 0) = 2.0;
    c.init(2, 0) = 0.3;  // covariance of the two proper elements
    c.init(1, 1) = -2.0;
    c.init(2, 2) = 1.5;
    c.init.row(3) << 0.5, 9.0, -1.0;  // 9.0 belongs to the diffuse element: unused
    c.Y = walkData(rng, 3, n);
    c.sel = Vec::Zero(3);
    c.sel << 1, -1, 0.5;
    return c;
}

Case varyingThree(int n, unsigned seed)
{
    Case c = threeSeries(n, seed);
    c.name = "three series, time-varying";
    c.tv.idxSys = Eigen::MatrixXi::Constant(6, 3, -1);
    c.tv.idxSys(0, 1) = 0;
    c.tv.idxSys(4, 2) = 1;
    c.tv.idxMean = Eigen::VectorXi::Constant(6, -1);
    c.tv.idxMean(0) = 2;
    c.tv.idxMean(4) = 1;
    c.tv.X = Mat(3, n);
    for (int t = 0; t < n; t++)
        c.tv.X.col(t) << 0.3 * std::sin(t), 1.0 + 0.2 * std::cos(t), 0.1 * t;
    return c;
}

}  // namespace ex
