// dense_smooth.hpp - the smoothing reference: the whole model over n time
// points written as one Gaussian vector and conditioned on the observed
// elements in one dense step (long double), with no recursion at all.
//
// Base vector b = (alpha_0, eps_0, ..., eps_{n-1}), eps_t = (state noise,
// observation noise) of time t with variance Var_t, alpha_0 ~ (a1, P1).
// Every state, signal, observation and disturbance is c + G b:
//
//   alpha_{t+1} = Mean_s,t + T_t alpha_t + eps_t[0..m-1]
//   y_t         = Mean_y,t + Z_t alpha_t + eps_t[m..d-1]
//
// Conditioning on y_0..y_{upto-1} gives predicted (upto = t), filtered
// (upto = t+1) and smoothed (upto = n) moments.  From the smoothed
// disturbances follow the quantities of the backward recursion:
//
//   u_t = Var_t^-1 E(eps_t | y),  D_t = Var_t^-1 (Var_t - V(eps_t | y)) Var_t^-1,
//   r_{-1} = P1^-1 (E(alpha_0 | y) - a1),  N_{-1} = P1^-1 (P1 - V(alpha_0 | y)) P1^-1.
//
// A diffuse initial state: alpha_0 = a1 + x_0 + A u with x_0 ~ (0, P1) and
// u (q entries, appended to b) given a flat prior, the limit of an infinite
// variance.  Conditioning then first removes u by generalised least squares:
// with the observed rows y = c + G b + H u, R = y - c - G mu, V = G Sigma G',
// Q = H' V^-1 H, the estimate u^ = Q^-1 H' V^-1 R and the posterior of b
// given y and u^, widened by the uncertainty Q^-1 of u^.
//
// Typical use:
//
//   dense::Joint joint(systems, n, a1, P1);
//   dense::Posterior post = joint.condition(Y, n);
//   dense::Moments s = post.of(joint.state(t));
#ifndef VANTREL_TESTS_SUPPORT_DENSE_SMOOTH_HPP
#define VANTREL_TESTS_SUPPORT_DENSE_SMOOTH_HPP

#include <vector>

#include <Eigen/Dense>

#include "dense_kalman.hpp"

namespace dense {

using MatL = Eigen::Matrix<long double, Eigen::Dynamic, Eigen::Dynamic>;
using VecL = Eigen::Matrix<long double, Eigen::Dynamic, 1>;

// A linear function c + G b of the base vector.
struct Lin {
    VecL c;
    MatL G;
};

// Mean and variance, rounded to double.
struct Moments {
    Vec mean;
    Mat var;
};

// The linear estimate E(q | y_obs) = constant + sum over the observed
// elements of weight * y, weight = Cov(q, y_obs) Var(y_obs)^-1 (with a
// flat part, its limit as the flat variance grows without bound).
struct Estimator {
    Vec constant;             // rows of q
    std::vector<Mat> weight;  // per series i: rows of q x n, zero where
                              // the element is not conditioned on
};

struct Posterior {
    VecL mean;  // of b
    MatL cov;
    Moments of(const Lin &q) const;
};

class Joint {
public:
    // systems: one per time point or one for all; a1 (m), P1 (m x m);
    // diffuse (m x q, may be empty): the loading A of the flat part.
    Joint(const std::vector<System> &systems, int n, const Vec &a1, const Mat &P1,
          const Mat &diffuse = Mat());

    int base() const { return int(mu_.size()); }
    const Lin &state(int t) const { return alpha_[t]; }  // t = 0..n
    const Lin &obs(int t) const { return y_[t]; }        // with constant
    Lin signal(int t) const;                             // Z_t alpha_t only
    Lin disturbance(int t) const;                        // eps_t (d)

    // Given the non-NaN elements of Y (N x n) in columns 0..upto-1.  With a
    // flat part, H' V^-1 H must be non-singular (u identified by the data).
    Posterior condition(const Mat &Y, int upto) const;
    // The estimator of q from the same elements.
    Estimator estimator(const Lin &q, const Mat &Y, int upto) const;

    // b's own mean and covariance, before any observation.
    Posterior prior() const { return Posterior{mu_, sigma_}; }

    // The innovation of the scalar observation Y(i, t): the observation less
    // its best linear prediction from the non-NaN elements before it in the
    // order (t, i), i running fastest, the prediction unbiased whatever the
    // flat part (generalised least squares; a pseudo-inverse where the
    // earlier elements do not identify all of it).  Centred: c = -G mean(b).
    // Meaningful when the observation's own loading on the flat part is
    // spanned by those of the earlier elements (no diffuse information left).
    Lin innovation(const Mat &Y, int t, int i) const;

    // The diffuse likelihood of all non-NaN elements of Y: the Gaussian
    // likelihood of y after generalised least squares has removed u is
    // -0.5 ((count - q) log 2pi + logDetV + logDetQ + quad), quad =
    // R' (V^-1 - V^-1 H Q^-1 H' V^-1) R.
    struct FlatLik {
        double logDetV = 0, logDetQ = 0, quad = 0;
        int count = 0, q = 0;
    };
    FlatLik flatLikelihood(const Mat &Y) const;

private:
    // Observed rows of (c, [G H]) and their residuals at the prior mean.
    void observed(const Mat &Y, int upto, MatL &Hall, VecL &resid) const;

    int m_, N_, n_, q_;
    std::vector<System> sys_;
    VecL mu_;
    MatL sigma_;
    std::vector<Lin> alpha_, y_;
};

// Elements `rows` of each of `parts` in turn (rows of parts[0], then of
// parts[1], ...): e.g. selected disturbances over all time points, whose
// joint moments Posterior::of then gives, cross-time covariances included.
Lin stackRows(const std::vector<Lin> &parts, const std::vector<int> &rows);

// Smoothed quantities in the library's conventions (see the top).
struct SmoothRef {
    std::vector<Vec> u;     // per t, d
    std::vector<Mat> D;     // per t, d x d
    Vec r0;                 // r_{-1}
    Mat N0;                 // N_{-1}
    std::vector<Moments> state, signal, disturbance;  // smoothed, per t
    Moments beyond;         // alpha_n given all observations
};

SmoothRef smoothReference(const std::vector<System> &systems, const Mat &Y,
                          const Vec &a1, const Mat &P1);

}  // namespace dense

#endif
