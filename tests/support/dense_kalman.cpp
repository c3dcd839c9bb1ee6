// dense_kalman.cpp - the textbook reference filter of dense_kalman.hpp.
#include "dense_kalman.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

namespace dense {

namespace {

const double kVbigFactor = 9999999.99;
const double kTwoPi = 6.283185307179586;
const double kTransitionNorm = 0.9;

double nanValue() { return std::numeric_limits<double>::quiet_NaN(); }

const System &systemAt(const std::vector<System> &systems, int t)
{
    return systems.size() == 1 ? systems[0] : systems[t];
}

}  // namespace

double vbig(const Mat &var)
{
    double largest = 1.0;
    for (int i = 0; i < var.rows(); i++)
        if (var(i, i) > largest)
            largest = var(i, i);
    return kVbigFactor * largest;
}

int start(const Mat *init, double vbigValue, int m, Vec &a, Mat &P)
{
    a = Vec::Zero(m);
    P = Mat::Zero(m, m);
    if (!init) {
        P.diagonal().setConstant(vbigValue);
        return m;
    }
    int D = 0;
    const Mat &I = *init;
    for (int i = 0; i < m; i++) {
        a(i) = I(m, i);
        if (I(i, i) < 0) {
            D++;
            P(i, i) = vbigValue;
            continue;
        }
        P(i, i) = I(i, i);
        for (int j = 0; j < i; j++)
            P(i, j) = P(j, i) = I(i, j);
    }
    return D;
}

Run filter(const std::vector<System> &systems, const Mat &Y, const Mat *init,
           double vbigValue)
{
    const int N = static_cast<int>(Y.rows());
    const int n = static_cast<int>(Y.cols());
    const int m = static_cast<int>(systems[0].sys.cols());
    Run run;
    run.vbig = vbigValue > 0.0 ? vbigValue : vbig(systems[0].var);
    Vec a;
    Mat P;
    run.diffuse = start(init, run.vbig, m, a, P);

    for (int t = 0; t < n; t++) {
        const System &s = systemAt(systems, t);
        Mat T = s.sys.topRows(m), Z = s.sys.bottomRows(N);
        Mat Q = s.var.topLeftCorner(m, m), H = s.var.bottomRightCorner(N, N);
        Mat C = s.var.topRightCorner(m, N);
        Vec c = s.mean.head(m), dy = s.mean.tail(N);

        std::vector<int> obs;
        for (int i = 0; i < N; i++)
            if (!std::isnan(Y(i, t)))
                obs.push_back(i);
        const int k = static_cast<int>(obs.size());

        Step st;
        st.observed = k;
        st.a = a;
        st.P = P;
        st.v = Vec::Zero(N);
        st.F = Mat::Zero(N, N);
        st.Finv = Mat::Zero(N, N);
        st.K = Mat::Zero(m, N);
        run.observed += k;

        Vec aNext = T * a + c;
        Mat PNext = T * P * T.transpose() + Q;
        if (k == 0) {
            st.v.setConstant(nanValue());
        } else {
            Mat Zs(k, m), Hs(k, k), Cs(m, k);
            Vec vs(k);
            for (int r = 0; r < k; r++) {
                Zs.row(r) = Z.row(obs[r]);
                Cs.col(r) = C.col(obs[r]);
                vs(r) = Y(obs[r], t) - Z.row(obs[r]).dot(a) - dy(obs[r]);
                for (int q = 0; q < k; q++)
                    Hs(r, q) = H(obs[r], obs[q]);
            }
            Mat Fs = Zs * P * Zs.transpose() + Hs;
            Mat Fsi = Fs.inverse();
            Mat Ks = (T * P * Zs.transpose() + Cs) * Fsi;
            aNext += Ks * vs;
            PNext -= Ks * Fs * Ks.transpose();
            st.logdetF = std::log(std::fabs(Fs.determinant()));
            st.quad = vs.dot(Fsi * vs);
            for (int r = 0; r < k; r++) {
                st.v(obs[r]) = vs(r);
                st.K.col(obs[r]) = Ks.col(r);
                for (int q = 0; q < k; q++) {
                    st.F(obs[r], obs[q]) = Fs(r, q);
                    st.Finv(obs[r], obs[q]) = Fsi(r, q);
                }
            }
        }
        run.steps.push_back(st);
        a = aNext;
        P = PNext;
    }
    run.aNext = a;
    run.PNext = P;
    return run;
}

Mat storeMatrix(const Run &run, int m, int N)
{
    const int R = N + N * m + N * (N + 1) / 2;
    Mat S = Mat::Zero(R, static_cast<int>(run.steps.size()));
    for (int t = 0; t < S.cols(); t++) {
        const Step &st = run.steps[t];
        int r = 0;
        for (int i = 0; i < N; i++)
            S(r++, t) = st.v(i);
        for (int j = 0; j < N; j++) {
            for (int i = 0; i < m; i++)
                S(r++, t) = st.K(i, j);
            for (int i = 0; i <= j; i++)
                S(r++, t) = st.Finv(i, j);
        }
    }
    return S;
}

double sumLogDet(const Run &run)
{
    double s = 0.0;
    for (const Step &st : run.steps)
        s += st.logdetF;
    return s;
}

double sumQuad(const Run &run)
{
    double s = 0.0;
    for (const Step &st : run.steps)
        s += st.quad;
    return s;
}

int count(const Run &run) { return run.observed - run.diffuse; }

double sigma2(const Run &run) { return sumQuad(run) / count(run); }

static double logDetTotal(const Run &run)
{
    return sumLogDet(run) - run.diffuse * std::log(run.vbig);
}

double logLik(const Run &run)
{
    return -0.5 * (count(run) * std::log(kTwoPi) + logDetTotal(run) + sumQuad(run));
}

double logLikConc(const Run &run)
{
    int cnt = count(run);
    return -0.5 * (cnt * std::log(kTwoPi) + logDetTotal(run) +
                   cnt * (std::log(sigma2(run)) + 1.0));
}

System randomSystem(std::mt19937_64 &rng, int m, int N, bool withMean)
{
    std::normal_distribution<double> g(0.0, 1.0);
    const int d = m + N;
    auto rnd = [&](int r, int c) {
        Mat M(r, c);
        for (int i = 0; i < r; i++)
            for (int j = 0; j < c; j++)
                M(i, j) = g(rng);
        return M;
    };
    System s;
    Mat T = rnd(m, m);
    double norm = Eigen::JacobiSVD<Mat>(T).singularValues()(0);
    T *= kTransitionNorm / norm;
    s.sys.resize(d, m);
    s.sys.topRows(m) = T;
    s.sys.bottomRows(N) = rnd(N, m);
    Mat L = rnd(d, d);
    s.var = 0.5 * L * L.transpose() + 0.5 * Mat::Identity(d, d);
    s.var = 0.5 * (s.var + s.var.transpose()).eval();
    s.mean = withMean ? Vec(rnd(d, 1)) : Vec::Zero(d);
    return s;
}

Mat randomData(std::mt19937_64 &rng, int N, int n)
{
    std::normal_distribution<double> g(0.0, 1.0);
    Mat Y(N, n);
    for (int i = 0; i < N; i++)
        for (int t = 0; t < n; t++)
            Y(i, t) = g(rng);
    return Y;
}

kel::Value toValue(const Mat &M)
{
    kel::Value v = kel::Value::matrix(static_cast<int>(M.rows()), static_cast<int>(M.cols()));
    for (int i = 0; i < M.rows(); i++)
        for (int j = 0; j < M.cols(); j++)
            v.at(i, j) = M(i, j);
    return v;
}

kel::Value toValue(const Vec &x) { return toValue(Mat(x)); }

Mat fromValue(const kel::Value &v)
{
    Mat M(v.rows(), v.cols());
    for (int i = 0; i < v.rows(); i++)
        for (int j = 0; j < v.cols(); j++)
            M(i, j) = v(i, j);
    return M;
}

Rows::Rows(int r, int c, double fill)
    : rows(r), cols(c), buf(static_cast<size_t>(r) * c, fill), ptr(r)
{
    for (int i = 0; i < r; i++)
        ptr[i] = buf.data() + static_cast<size_t>(i) * c;
}

Rows::Rows(const Mat &M) : Rows(static_cast<int>(M.rows()), static_cast<int>(M.cols()))
{
    for (int i = 0; i < rows; i++)
        for (int j = 0; j < cols; j++)
            ptr[i][j] = M(i, j);
}

Mat Rows::toMat() const
{
    Mat M(rows, cols);
    for (int i = 0; i < rows; i++)
        for (int j = 0; j < cols; j++)
            M(i, j) = ptr[i][j];
    return M;
}

IntRows::IntRows(const Eigen::MatrixXi &M)
    : buf(static_cast<size_t>(M.rows()) * M.cols()), ptr(M.rows())
{
    for (int i = 0; i < M.rows(); i++) {
        ptr[i] = buf.data() + static_cast<size_t>(i) * M.cols();
        for (int j = 0; j < M.cols(); j++)
            ptr[i][j] = M(i, j);
    }
}

std::string full(double x)
{
    char b[64];
    std::snprintf(b, sizeof b, "%.17g", x);
    return b;
}

testing::AssertionResult near(const Mat &got, const Mat &want, double tol)
{
    if (got.rows() != want.rows() || got.cols() != want.cols())
        return testing::AssertionFailure()
               << "size " << got.rows() << " x " << got.cols() << ", expected "
               << want.rows() << " x " << want.cols();
    for (int i = 0; i < got.rows(); i++) {
        for (int j = 0; j < got.cols(); j++) {
            double g = got(i, j), w = want(i, j);
            bool ok = std::isnan(w) ? std::isnan(g)
                                    : std::fabs(g - w) <= tol * std::max(1.0, std::fabs(w));
            if (!ok)
                return testing::AssertionFailure()
                       << "element (" << i << ", " << j << "): got " << full(g)
                       << ", expected " << full(w) << ", tolerance " << full(tol);
        }
    }
    return testing::AssertionSuccess();
}

std::vector<System> expand(const System &s, const TimeVarying &tv, int n)
{
    std::vector<System> out(n, s);
    for (int t = 0; t < n; t++) {
        System &o = out[t];
        for (int i = 0; i < tv.idxSys.rows(); i++)
            for (int j = 0; j < tv.idxSys.cols(); j++)
                if (tv.idxSys(i, j) >= 0)
                    o.sys(i, j) = tv.X(tv.idxSys(i, j), t);
        for (int i = 0; i < tv.idxVar.rows(); i++)
            for (int j = 0; j < tv.idxVar.cols(); j++)
                if (tv.idxVar(i, j) >= 0)
                    o.var(i, j) = tv.X(tv.idxVar(i, j), t);
        for (int i = 0; i < tv.idxMean.size(); i++)
            if (tv.idxMean(i) >= 0)
                o.mean(i) = tv.X(tv.idxMean(i), t);
    }
    return out;
}

}  // namespace dense
