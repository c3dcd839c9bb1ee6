// dense_smooth.cpp - one dense Gaussian conditioning over the whole model.
#include "dense_smooth.hpp"

#include <cmath>
#include <limits>

namespace dense {

namespace {

const System &systemAt(const std::vector<System> &s, int t)
{
    return s.size() == 1 ? s[0] : s[t];
}

MatL toL(const Mat &M) { return M.cast<long double>(); }
VecL toLv(const Vec &v) { return v.cast<long double>(); }

// Inverse of a symmetric positive definite matrix in long double.
MatL inverse(const MatL &A)
{
    return A.ldlt().solve(MatL::Identity(A.rows(), A.cols()));
}

}  // namespace

Moments Posterior::of(const Lin &q) const
{
    Moments r;
    r.mean = (q.c + q.G * mean).cast<double>();
    MatL v = q.G * cov * q.G.transpose();
    r.var = (0.5L * (v + v.transpose())).cast<double>();
    return r;
}

Joint::Joint(const std::vector<System> &systems, int n, const Vec &a1, const Mat &P1,
             const Mat &diffuse)
    : m_(int(systems[0].sys.cols())), N_(int(systems[0].sys.rows()) - m_), n_(n),
      q_(int(diffuse.cols())), sys_(systems)
{
    const int m = m_, d = m_ + N_, B = m + n * d + q_;
    mu_ = VecL::Zero(B);
    mu_.head(m) = toLv(a1);
    sigma_ = MatL::Zero(B, B);
    sigma_.topLeftCorner(m, m) = toL(P1);
    for (int t = 0; t < n; t++)
        sigma_.block(m + t * d, m + t * d, d, d) = toL(systemAt(sys_, t).var);

    Lin a{VecL::Zero(m), MatL::Zero(m, B)};
    a.G.leftCols(m) = MatL::Identity(m, m);
    if (q_ > 0)
        a.G.rightCols(q_) = toL(diffuse);
    for (int t = 0; t < n; t++) {
        const System &s = systemAt(sys_, t);
        MatL T = toL(Mat(s.sys.topRows(m))), Z = toL(Mat(s.sys.bottomRows(N_)));
        VecL cs = toLv(Vec(s.mean.head(m))), cy = toLv(Vec(s.mean.tail(N_)));
        alpha_.push_back(a);
        Lin y{Z * a.c + cy, Z * a.G};
        y.G.block(0, m + t * d + m, N_, N_) += MatL::Identity(N_, N_);
        y_.push_back(y);
        Lin next{T * a.c + cs, T * a.G};
        next.G.block(0, m + t * d, m, m) += MatL::Identity(m, m);
        a = next;
    }
    alpha_.push_back(a);
}

Lin Joint::signal(int t) const
{
    const System &s = systemAt(sys_, t);
    MatL Z = toL(Mat(s.sys.bottomRows(N_)));
    return Lin{Z * alpha_[t].c, Z * alpha_[t].G};
}

Lin Joint::disturbance(int t) const
{
    const int d = m_ + N_;
    Lin e{VecL::Zero(d), MatL::Zero(d, base())};
    e.G.block(0, m_ + t * d, d, d) = MatL::Identity(d, d);
    return e;
}

void Joint::observed(const Mat &Y, int upto, MatL &Hall, VecL &resid) const
{
    std::vector<std::pair<int, int>> seen;
    for (int t = 0; t < upto; t++)
        for (int i = 0; i < N_; i++)
            if (!std::isnan(Y(i, t)))
                seen.push_back({t, i});
    const int k = int(seen.size());
    Hall.resize(k, base());
    resid.resize(k);
    for (int j = 0; j < k; j++) {
        const Lin &y = y_[seen[j].first];
        Hall.row(j) = y.G.row(seen[j].second);
        resid(j) = (long double)Y(seen[j].second, seen[j].first) - y.c(seen[j].second) -
                   Hall.row(j).dot(mu_);
    }
}

Posterior Joint::condition(const Mat &Y, int upto) const
{
    MatL Hall;
    VecL resid;
    observed(Y, upto, Hall, resid);
    Posterior p{mu_, sigma_};
    if (Hall.rows() == 0)
        return p;
    if (q_ == 0) {
        MatL SH = sigma_ * Hall.transpose();
        MatL gain = SH * inverse(Hall * SH);
        p.mean = mu_ + gain * resid;
        MatL cov = sigma_ - gain * SH.transpose();
        p.cov = 0.5L * (cov + cov.transpose());
        return p;
    }
    // b = the first B0 entries (proper), u the last q (flat).
    const int B0 = base() - q_;
    MatL G = Hall.leftCols(B0), H = Hall.rightCols(q_);
    MatL Sigma = sigma_.topLeftCorner(B0, B0);
    MatL SG = Sigma * G.transpose();
    MatL Vinv = inverse(G * SG);
    MatL Qinv = inverse(H.transpose() * Vinv * H);
    VecL u = Qinv * (H.transpose() * (Vinv * resid));
    MatL A = SG * Vinv;          // Sigma G' V^-1
    MatL AH = A * H;             // Sigma G' V^-1 H
    p.mean.head(B0) = mu_.head(B0) + A * (resid - H * u);
    p.mean.tail(q_) = u;
    MatL cov(base(), base());
    cov.topLeftCorner(B0, B0) = Sigma - A * SG.transpose() + AH * Qinv * AH.transpose();
    cov.topRightCorner(B0, q_) = -AH * Qinv;
    cov.bottomLeftCorner(q_, B0) = cov.topRightCorner(B0, q_).transpose();
    cov.bottomRightCorner(q_, q_) = Qinv;
    p.cov = 0.5L * (cov + cov.transpose());
    return p;
}

Estimator Joint::estimator(const Lin &q, const Mat &Y, int upto) const
{
    Estimator e;
    e.weight.assign(N_, Mat::Zero(q.G.rows(), n_));
    VecL constant = q.c + q.G * mu_;
    std::vector<std::pair<int, int>> seen;
    for (int t = 0; t < upto; t++)
        for (int i = 0; i < N_; i++)
            if (!std::isnan(Y(i, t)))
                seen.push_back({t, i});
    if (!seen.empty()) {
        const int k = int(seen.size());
        MatL H(k, base());
        VecL c(k);
        for (int j = 0; j < k; j++) {
            H.row(j) = y_[seen[j].first].G.row(seen[j].second);
            c(j) = y_[seen[j].first].c(seen[j].second);
        }
        // The proper part b of the base vector by its covariance; a flat
        // part u by generalised least squares, u^ = Q^-1 H_u' V^-1 (y - ...),
        // whose error the proper part's weights then absorb.
        const int B0 = base() - q_;
        MatL Hb = H.leftCols(B0);
        MatL SH = sigma_.topLeftCorner(B0, B0) * Hb.transpose();
        MatL Vinv = inverse(Hb * SH);
        MatL W = q.G.leftCols(B0) * SH * Vinv;
        if (q_ > 0) {
            MatL Hu = H.rightCols(q_);
            MatL U = inverse(Hu.transpose() * Vinv * Hu) * Hu.transpose() * Vinv;
            W += (q.G.rightCols(q_) - W * Hu) * U;
        }
        constant -= W * (c + H * mu_);
        for (int j = 0; j < k; j++)
            e.weight[seen[j].second].col(seen[j].first) = W.col(j).cast<double>();
    }
    e.constant = constant.cast<double>();
    return e;
}

Lin Joint::innovation(const Mat &Y, int t, int i) const
{
    Mat before = Y;
    for (int k = i; k < N_; k++)
        before(k, t) = std::numeric_limits<double>::quiet_NaN();
    MatL Hall;
    VecL resid;
    observed(before, t + 1, Hall, resid);
    const MatL row = y_[t].G.row(i);
    MatL W = MatL::Zero(1, Hall.rows());
    if (Hall.rows() > 0) {
        const int B0 = base() - q_;
        MatL G = Hall.leftCols(B0), H = Hall.rightCols(q_);
        MatL SG = sigma_.topLeftCorner(B0, B0) * G.transpose();
        MatL Vinv = inverse(G * SG);
        W = row.leftCols(B0) * SG * Vinv;
        if (q_ > 0) {
            MatL HV = H.transpose() * Vinv;
            Eigen::CompleteOrthogonalDecomposition<MatL> cod;
            cod.setThreshold(1e-12L);
            cod.compute(HV * H);
            W += (row.rightCols(q_) - W * H) * cod.pseudoInverse() * HV;
        }
    }
    Lin v{VecL::Zero(1), row - W * Hall};
    v.c = -(v.G * mu_);
    return v;
}

Lin stackRows(const std::vector<Lin> &parts, const std::vector<int> &rows)
{
    const int k = int(rows.size());
    const int B = parts.empty() ? 0 : int(parts[0].G.cols());
    Lin s{VecL::Zero(k * int(parts.size())), MatL::Zero(k * int(parts.size()), B)};
    for (std::size_t j = 0; j < parts.size(); j++)
        for (int i = 0; i < k; i++) {
            s.c(int(j) * k + i) = parts[j].c(rows[i]);
            s.G.row(int(j) * k + i) = parts[j].G.row(rows[i]);
        }
    return s;
}

Joint::FlatLik Joint::flatLikelihood(const Mat &Y) const
{
    MatL Hall;
    VecL resid;
    observed(Y, n_, Hall, resid);
    const int B0 = base() - q_;
    MatL G = Hall.leftCols(B0), H = Hall.rightCols(q_);
    MatL V = G * sigma_.topLeftCorner(B0, B0) * G.transpose();
    MatL Vinv = inverse(V);
    FlatLik r;
    r.count = int(Hall.rows());
    r.q = q_;
    r.logDetV = double(V.ldlt().vectorD().array().log().sum());
    long double quad = resid.dot(Vinv * resid);
    if (q_ > 0) {
        MatL Q = H.transpose() * Vinv * H;
        r.logDetQ = double(Q.ldlt().vectorD().array().log().sum());
        VecL z = H.transpose() * (Vinv * resid);
        quad -= z.dot(inverse(Q) * z);
    }
    r.quad = double(quad);
    return r;
}

SmoothRef smoothReference(const std::vector<System> &systems, const Mat &Y,
                          const Vec &a1, const Mat &P1)
{
    const int n = int(Y.cols());
    Joint joint(systems, n, a1, P1);
    Posterior post = joint.condition(Y, n);
    SmoothRef r;
    for (int t = 0; t < n; t++) {
        MatL Vinv = inverse(toL(systemAt(systems, t).var));
        Lin e = joint.disturbance(t);
        VecL mean = e.G * post.mean;
        MatL cov = e.G * post.cov * e.G.transpose();
        MatL var = toL(systemAt(systems, t).var);
        r.u.push_back((Vinv * mean).cast<double>());
        r.D.push_back((Vinv * (var - cov) * Vinv).cast<double>());
        r.state.push_back(post.of(joint.state(t)));
        r.signal.push_back(post.of(joint.signal(t)));
        r.disturbance.push_back(post.of(e));
    }
    MatL Pinv = inverse(toL(P1));
    const Lin &a0 = joint.state(0);
    VecL mean0 = a0.c + a0.G * post.mean;
    MatL var0 = a0.G * post.cov * a0.G.transpose();
    r.r0 = (Pinv * (mean0 - toLv(a1))).cast<double>();
    r.N0 = (Pinv * (toL(P1) - var0) * Pinv).cast<double>();
    r.beyond = post.of(joint.state(n));
    return r;
}

}  // namespace dense
