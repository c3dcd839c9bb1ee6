"""The whole model as one joint Gaussian, by plain dense algebra.

For a time-invariant model with a proper initial state,
    alpha_{t+1} = T alpha_t + u_t,  y_t = Z alpha_t + e_t,  (u_t, e_t) ~ N(0, Var),
every state alpha_0..alpha_n and every observation is a linear map A of
x = (alpha_0, w_0, ..., w_{n-1}), w_t = (u_t, e_t), whose law is
N((a1, 0, ...), blockdiag(P1, Var, ..., Var)).  Any moment is then a
Gaussian conditioning on the observed entries of y.
"""
import numpy as np

LOG2PI = np.log(2 * np.pi)


class Dense:
    def __init__(self, sys, var, init, y):
        sys, var, init, y = (np.asarray(a, float) for a in (sys, var, init, y))
        self.m = m = sys.shape[1]
        self.N = N = sys.shape[0] - m
        self.n = n = y.shape[1]
        d = m + N
        T, Z = sys[:m], sys[m:]
        P1 = np.tril(init[:m]) + np.tril(init[:m], -1).T
        a1 = init[m]
        k = m + n * d
        mu = np.zeros(k)
        mu[:m] = a1
        S = np.zeros((k, k))
        S[:m, :m] = P1
        for t in range(n):
            S[m + t * d:m + (t + 1) * d, m + t * d:m + (t + 1) * d] = var
        # alpha_t = St[t] x, y_t = Yt[t] x
        St = [np.zeros((m, k)) for _ in range(n + 1)]
        St[0][:, :m] = np.eye(m)
        Yt = []
        for t in range(n):
            w = np.zeros((d, k))
            w[:, m + t * d:m + (t + 1) * d] = np.eye(d)
            St[t + 1] = T @ St[t] + w[:m]
            Yt.append(Z @ St[t] + w[m:])
        self.T, self.Z, self.var, self.mu, self.S = T, Z, var, mu, S
        self.St, self.Yt = St, Yt
        self.W = [np.eye(k)[m + t * d:m + (t + 1) * d] for t in range(n)]
        self.y = y
        self.P1, self.a1 = P1, a1

    def _obs(self, upto):
        """Rows of the observed y entries at times < upto, and their values."""
        rows, vals = [], []
        for t in range(min(upto, self.n)):
            for i in range(self.N):
                if not np.isnan(self.y[i, t]):
                    rows.append(self.Yt[t][i])
                    vals.append(self.y[i, t])
        return np.array(rows).reshape(-1, self.mu.size), np.array(vals)

    def condition(self, upto):
        """Mean and variance of x given the observations at times < upto."""
        A, v = self._obs(upto)
        if A.shape[0] == 0:
            return self.mu, self.S
        C = A @ self.S @ A.T
        G = self.S @ A.T @ np.linalg.inv(C)
        return self.mu + G @ (v - A @ self.mu), self.S - G @ A @ self.S

    def loglik(self):
        A, v = self._obs(self.n)
        C = A @ self.S @ A.T
        r = v - A @ self.mu
        return -0.5 * (len(v) * LOG2PI + np.linalg.slogdet(C)[1] + r @ np.linalg.solve(C, r))

    def moments(self, M, cond):
        """Means (rows) and variance diagonals of M_t x for each time t."""
        mean, cov = cond
        return (np.array([Mt @ mean for Mt in M]),
                np.array([np.diag(Mt @ cov @ Mt.T) for Mt in M]))

    def predicted(self):
        """State and signal given the past, per time point (and beyond)."""
        out = [self.condition(t) for t in range(self.n + 1)]
        st = [self.moments([self.St[t]], out[t]) for t in range(self.n + 1)]
        sig = [self.moments([self.Yt[t]], out[t]) for t in range(self.n)]
        return st, sig, out

    def filtered(self):
        out = [self.condition(t + 1) for t in range(self.n)]
        st = [self.moments([self.St[t]], out[t]) for t in range(self.n)]
        sig = [self.moments([self.Z @ self.St[t]], out[t]) for t in range(self.n)]
        return st, sig

    def smoothed(self):
        c = self.condition(self.n)
        return (self.moments(self.St[:self.n], c),
                self.moments([self.Z @ s for s in self.St[:self.n]], c),
                self.moments(self.W, c), c)

    def observed(self, upto):
        """(t, i) of the observed y entries at times < upto, in _obs order."""
        return [(t, i) for t in range(min(upto, self.n)) for i in range(self.N)
                if not np.isnan(self.y[i, t])]

    def estimator(self, M, upto):
        """G with E(M x | y before upto) = M mu + G (y_obs - A mu): the
        weight of each observed entry (columns in observed() order)."""
        A, _ = self._obs(upto)
        if A.shape[0] == 0:
            return np.zeros((M.shape[0], 0))
        return M @ self.S @ A.T @ np.linalg.inv(A @ self.S @ A.T)

    def covariance_given(self, rows):
        """Variance of x given every observation and the linear functions
        `rows` of x (whatever their values)."""
        A, _ = self._obs(self.n)
        A = np.vstack([A, rows]) if len(rows) else A
        SA = self.S @ A.T
        return self.S - SA @ np.linalg.solve(A @ SA, SA.T)


def flat_smoothed(sys, var, y, a1, P1, A):
    """Smoothed state means and variance diagonals (n, m) of a model with
    per-time sys[t] (d x m) and var[t] (d x d) and the initial state
    a1 + x + A u, x ~ N(0, P1), u flat (the limit of an infinite variance):
    generalised least squares removes u, whose uncertainty Q^-1 then widens
    the posterior."""
    m = P1.shape[0]
    N, n = y.shape
    d = m + N
    q = A.shape[1]
    k = m + n * d
    S = np.zeros((k, k))
    S[:m, :m] = P1
    for t in range(n):
        S[m + t * d:m + (t + 1) * d, m + t * d:m + (t + 1) * d] = var[t]
    G = np.zeros((m, k))             # alpha_t = a_t + G b + B u
    G[:, :m] = np.eye(m)
    B, a = A.copy(), a1.astype(float).copy()
    states, rows, vals, hs = [], [], [], []
    for t in range(n):
        states.append((a.copy(), G.copy(), B.copy()))
        T, Z = sys[t][:m], sys[t][m:]
        w = np.zeros((d, k))
        w[:, m + t * d:m + (t + 1) * d] = np.eye(d)
        for i in range(N):
            if not np.isnan(y[i, t]):
                rows.append(Z[i] @ G + w[m + i])
                hs.append(Z[i] @ B)
                vals.append(y[i, t] - Z[i] @ a)
        a, G, B = T @ a, T @ G + w[:m], T @ B
    C, H, R = np.array(rows), np.array(hs).reshape(-1, q), np.array(vals)
    Vi = np.linalg.inv(C @ S @ C.T)
    Qi = np.linalg.inv(H.T @ Vi @ H)
    u = Qi @ H.T @ Vi @ R
    mean, var_ = [], []
    for a, G, B in states:
        K = G @ S @ C.T @ Vi
        mean.append(a + B @ u + K @ (R - H @ u))
        J = B - K @ H
        var_.append(np.diag(G @ S @ G.T - K @ C @ S @ G.T + J @ Qi @ J.T))
    return np.array(mean), np.array(var_)
