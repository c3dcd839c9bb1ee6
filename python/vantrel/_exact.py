"""The exact diffuse routines of exact/ called directly through ctypes.

The routines take row-pointer matrices (double **, int **) and caller-owned
storage.  `Rows` builds a pointer array over a C-ordered numpy array, and
`Engine` prepares a model once (copies of the form, the triple table of its
time-varying elements, the pattern of T) and runs the filter and smoothers
over one data matrix.

A full observation variance is not read by the element-wise routines, which
take the observation noise of each series as independent.  The engine then
rotates the series: with H = L D L' (L unit lower triangular) over the
observed series of a time point, the rotated observations L^-1 (y - c) have
the rows L^-1 Z and the independent noise variances D.  The rotation keeps
the diffuse log-likelihood (det L = 1) and every state moment; the signal
moments are computed from the original rows.
"""
import ctypes
import math

import numpy as np

from ._host import VantrelError, host

_P = ctypes.c_void_p
_I = ctypes.c_int

_SIGNATURES = {
    "IKalmanInitial": (_I, [_I, _I, _P, _I, _P, _P, _P, _P, _P, _P, _P, _P, _P, _P, _P]),
    "fKalmanExact": (_I, [_I, _I, _I, _I, _P, _I, _P, _P, _P, _P, _P, _P, _P, _I, _P, _P, _P,
                          _P, _P, _P, _P, _P, _P, _P, _P]),
    "fKalmanExactMean": (_I, [_I, _I, _I, _P, _I, _P, _P, _P, _P, _P, _P, _P, _P, _P, _P]),
    "DistSmoExact": (None, [_I, _I, _I, _I, _P, _P, _P, _P, _P, _P, _P, _P, _P, _P]),
    "DistSmoAuxExact": (None, [_I, _I, _I, _P, _P, _P, _P, _P, _P, _P, _P, _P]),
    "DistSmoAuxExactMean": (None, [_I, _I, _I, _I, _P, _P, _P, _P, _P, _P, _P, _P]),
    "StateSmoExact": (None, [_I, _I, _I, _I, _P, _P, _P, _P, _P, _P, _P, _P, _P, _I, _P, _P,
                             _P, _P, _P, _P, _P]),
    "StateSmoExactFrom": (None, [_I, _I, _I, _I, _P, _P, _P, _P, _P, _P, _P, _P, _P, _I, _P,
                                 _P, _P, _P, _P, _P, _P]),
    "LdsDraw": (None, [_I, _I, _I, _P, _P, _P, _P, _P, _P, _P, _P, _P, _P]),
    "fWeightPred": (_I, [_I, _I, _I, _I, _I, _P, _P, _P, _P, _P, _P, _P, _P]),
    "iMatTPattern": (_I, [_I, _I, _P, _P, _P]),
}

_functions = {}
_BUFS = {}
_ROWS = {}


def routine(name):
    """The exported C routine `name` as a ctypes function."""
    fn = _functions.get(name)
    if fn is None:
        addr = host().symbol(name)
        if not addr:
            raise AttributeError("vantrel: the library does not export %s" % name)
        restype, argtypes = _SIGNATURES[name]
        fn = ctypes.CFUNCTYPE(restype, *argtypes)(addr)
        _functions[name] = fn
    return fn


class Rows:
    """A row-pointer array over the rows of a C-ordered 2-D numpy array
    (float64 or int32), kept alive with it; `ptr` is what a routine takes."""

    __slots__ = ("a", "p", "ptr")

    def __init__(self, a):
        rows = a.shape[0]
        base = a.__array_interface__["data"][0]
        step = a.strides[0]
        self.a = a
        if rows <= 16:
            self.p = (ctypes.c_size_t * max(rows, 1))(*range(base, base + rows * step, step))
            self.ptr = ctypes.addressof(self.p) if rows else None
        else:
            self.p = np.arange(rows, dtype=np.uintp) * np.uintp(step) + np.uintp(base)
            self.ptr = self.p.__array_interface__["data"][0]


def _ptr(rows):
    return None if rows is None else rows.ptr


class Keep:
    """Row-pointer arrays made for one call, kept alive until it returns:
    keep(a) is the pointer for array `a` (None for None)."""

    def __init__(self):
        self.rows = []

    def __call__(self, a):
        if a is None:
            return None
        r = Rows(a)
        self.rows.append(r)
        return r.ptr


def _vec(a):
    return None if a is None else a.__array_interface__["data"][0]


def _ldl(H):
    """Batched L D L' of symmetric positive semi-definite matrices (k, N, N):
    L unit lower triangular, D >= 0.  A zero pivot leaves its column of L at
    the unit vector."""
    k, N, _ = H.shape
    L = np.zeros_like(H)
    D = np.zeros((k, N))
    for j in range(N):
        s = H[:, j, j] - np.einsum("kl,kl,kl->k", L[:, j, :j], L[:, j, :j], D[:, :j])
        D[:, j] = s
        L[:, j, j] = 1.0
        if j + 1 < N:
            c = H[:, j + 1:, j] - np.einsum("kil,kl,kl->ki", L[:, j + 1:, :j], L[:, j, :j],
                                            D[:, :j])
            pos = s > 1e-300
            L[:, j + 1:, j] = np.where(pos[:, None], c / np.where(pos, s, 1.0)[:, None], 0.0)
    return L, D


class Engine:
    """A model prepared for the exact routines."""

    def __init__(self, model):
        self.m = m = model.m
        self.N = N = model.nseries
        self.d = d = m + N
        self.model = model
        self.sys = np.zeros((d + 1, m))
        self.sys[:d] = model.sys
        self.var = np.array(model.var)
        self.mean = np.zeros(d) if model.mean is None else np.array(model.mean[:, 0])
        self.init = None if model.init is None else np.array(model.init)
        x = model.x
        self.x = None if x is None else np.array(x)
        # (matrix, row, column, row of x) of every time-varying element.
        self.tv_sys, self.tv_var, self.tv_mean = [], [], []
        for table, out in ((model.idx_sys, self.tv_sys), (model.idx_var, self.tv_var)):
            if table is not None:
                r, c = np.nonzero(table >= 0)
                out.extend(zip(r.tolist(), c.tolist(), table[r, c].astype(int).tolist()))
        if model.idx_mean is not None:
            e = np.nonzero(model.idx_mean[:, 0] >= 0)[0]
            self.tv_mean.extend(zip(e.tolist(), model.idx_mean[e, 0].astype(int).tolist()))
        rows = 0 if x is None else x.shape[0]
        for name, items in (("idx_sys", self.tv_sys), ("idx_var", self.tv_var),
                            ("idx_mean", self.tv_mean)):
            for item in items:
                if item[-1] >= rows:
                    raise VantrelError("Lds(): dimension of data matrix is not correct (%s "
                                       "selects row %d of x, which has %d rows)"
                                       % (name, item[-1], rows))
        obs = self.var[m:, m:]
        self.tv_obsvar = any(i >= m and j >= m and i != j for i, j, _ in self.tv_var)
        self.rotate = self.tv_obsvar or bool(np.any(obs != np.diag(np.diag(obs))))
        self.time_varying = bool(self.tv_sys or self.tv_var or self.tv_mean)
        self._static = None

    @staticmethod
    def work(name, shape, zero=False):
        """Engine.buf's array with its row pointers (a Rows)."""
        r = _ROWS.get(name)
        if r is None or r.a.shape != shape:
            r = _ROWS[name] = Rows(np.empty(shape))
        if zero:
            r.a.fill(0.0)
        return r

    @staticmethod
    def buf(name, shape, zero=False):
        """A work array kept from call to call and shared by all models (a
        fit builds a new model at every step): fresh memory costs a page
        fault per page on first touch, which for long series takes longer
        than the recursions that fill it.  Callers hold the host lock while
        they use it and copy what they hand out."""
        a = _BUFS.get(name)
        if a is None or a.shape != shape:
            a = _BUFS[name] = np.empty(shape)
        if zero:
            a.fill(0.0)
        return a

    # ---- per-time values ------------------------------------------------
    def obs_rows(self, n):
        """Z_t (n, N, m) or None when Z does not vary over time."""
        m = self.m
        z = [(i - m, j, k) for i, j, k in self.tv_sys if m <= i < self.d]
        if not z:
            return None
        Z = np.broadcast_to(self.sys[m:self.d], (n, self.N, m)).copy()
        for i, j, k in z:
            Z[:, i, j] = self.x[k, :n]
        return Z

    def obs_var(self, n):
        """H_t (n, N, N) or None when it does not vary over time."""
        m = self.m
        h = [(i - m, j - m, k) for i, j, k in self.tv_var if i >= m and j >= m]
        if not h:
            return None
        H = np.broadcast_to(self.var[m:, m:], (n, self.N, self.N)).copy()
        for i, j, k in h:
            H[:, i, j] = self.x[k, :n]
        return H

    def obs_const(self, n):
        """c_t (n, N): the observation constants."""
        c = np.broadcast_to(self.mean[self.m:], (n, self.N)).copy()
        for e, k in self.tv_mean:
            if e >= self.m:
                c[:, e - self.m] = self.x[k, :n]
        return c

    def state_var(self, n):
        """Q_t (n, m, m) or the constant Q (m, m)."""
        m = self.m
        q = [(i, j, k) for i, j, k in self.tv_var if i < m and j < m]
        if not q:
            return self.var[:m, :m]
        Q = np.broadcast_to(self.var[:m, :m], (n, m, m)).copy()
        for i, j, k in q:
            Q[:, i, j] = self.x[k, :n]
        return Q

    # ---- the form handed to the routines --------------------------------
    def full_var(self, n):
        """Var_t (n, d, d), or the constant Var (d, d)."""
        if not self.tv_var:
            return self.var
        V = np.broadcast_to(self.var, (n, self.d, self.d)).copy()
        for i, j, k in self.tv_var:
            V[:, i, j] = self.x[k, :n]
        return V

    def form(self, y, rotate=True):
        """The data and form for the routines: a dict with Y, sys, var, mean,
        x, triples (Rows or None), pat, and `rot` (None, or L (n, N, N) of
        the rotation).  The arrays are fresh copies (the routines write
        time-varying values into them)."""
        n = y.shape[1]
        if not (self.rotate and rotate):
            # The routines write only the time-varying elements, each before
            # it is read: one form serves every call.
            if self._static is None:
                self._static = self._form(y, False)
            f = dict(self._static)
            f["Y"], f["n"] = Rows(y), n
            return f
        return self._form(y, rotate)

    def _form(self, y, rotate):
        m, N, d = self.m, self.N, self.d
        n = y.shape[1]
        sys, var, mean = self.sys.copy(), self.var.copy(), self.mean.copy()
        tv_sys, tv_var, tv_mean = list(self.tv_sys), list(self.tv_var), list(self.tv_mean)
        x = self.x
        Y = y
        rot = None
        if self.rotate and rotate:
            obs = ~np.isnan(y.T)                         # (n, N)
            H = self.obs_var(n)
            if H is None:
                H = np.broadcast_to(var[m:, m:], (n, N, N))
            both = obs[:, :, None] & obs[:, None, :]
            eye = np.eye(N, dtype=bool)
            Hm = np.where(both, H, np.where(eye, 1.0, 0.0))
            L, D = _ldl(Hm)
            D = np.where(obs, D, 0.0)
            Z = self.obs_rows(n)
            Zt = np.broadcast_to(sys[m:d], (n, N, m)) if Z is None else Z
            c = self.obs_const(n)
            yc = np.where(obs, y.T - c, 0.0)
            yr = np.linalg.solve(L, yc[:, :, None])[:, :, 0]
            Zr = np.linalg.solve(L, Zt)
            Y = np.ascontiguousarray(np.where(obs, yr, np.nan).T)
            rot = L
            mean[m:] = 0.0
            tv_mean = [(e, k) for e, k in tv_mean if e < m]
            tv_sys = [(i, j, k) for i, j, k in tv_sys if i < m]
            tv_var = [(i, j, k) for i, j, k in tv_var if i < m and j < m]
            var[m:, :] = 0.0
            var[:, m:] = 0.0
            var[:m, :m] = self.var[:m, :m]
            if (Zr == Zr[0]).all() and (D == D[0]).all():
                sys[m:d] = Zr[0]
                var[m:, m:] = np.diag(D[0])
            else:
                base = 0 if x is None else x.shape[0]
                extra = np.concatenate([Zr.reshape(n, N * m).T, D.T])
                x = extra if x is None else np.concatenate(
                    [x[:, :n] if x.shape[1] >= n else x, extra])
                tv_sys += [(m + i, j, base + i * m + j) for i in range(N) for j in range(m)]
                tv_var += [(m + i, m + i, base + N * m + i) for i in range(N)]
        triples = None
        if tv_sys or tv_var or tv_mean:
            c = max(len(tv_sys), len(tv_var), len(tv_mean))
            t = np.zeros((8, c + 1), dtype=np.int32)
            for part, items in ((0, tv_sys), (3, tv_var)):
                t[part, 0] = len(items)
                for k, item in enumerate(items, 1):
                    t[part:part + 3, k] = item
            t[6, 0] = len(tv_mean)
            for k, item in enumerate(tv_mean, 1):
                t[6:8, k] = item
            triples = Rows(t)
            x = np.ascontiguousarray(x, dtype=np.float64)
        else:
            x = None
        sysr = Rows(sys)
        pat = np.zeros((6, m * m + 1), dtype=np.int32)
        patr = Rows(pat)
        routine("iMatTPattern")(m, m, sysr.ptr, _ptr(triples), patr.ptr)
        return dict(Y=Rows(np.ascontiguousarray(Y)), sys=sysr, var=Rows(var), mean=mean,
                    x=None if x is None else Rows(x), triples=triples, pat=patr, rot=rot,
                    init=None if self.init is None else Rows(self.init), n=n)

    # ---- the filter ------------------------------------------------------
    def filter(self, f, mode, *, store=True, pred=False, low=False, filt=False,
               inf_out=False, head=False):
        """IKalmanInitial and fKalmanExact over form `f`.  Returns a dict with
        ok, dstar, dstore, estore, the outputs asked for and `upto`, the
        time points filtered: all, or with `head` those of the diffuse
        period and one more (swork then holds the predicted a and P* of
        time point upto)."""
        m, N, d, n = self.m, self.N, self.d, f["n"]
        w = self.work
        steps = N * n
        lw = m * (m - 1) // 2
        dstore = w("dstore", (m + 3, steps))
        var_inf = w("var_inf", (m + N, n), True) if inf_out else None
        low_inf = w("low_inf", (lw, n), True) if inf_out and lw else None
        dstar = routine("IKalmanInitial")(
            N, n, f["Y"].ptr, m, f["sys"].ptr, _ptr(f["triples"]), _ptr(f["x"]), f["pat"].ptr,
            _ptr(f["init"]), w("dwork", (m + 1, m)).ptr, w("scratch", (m, m)).ptr, dstore.ptr,
            _ptr(var_inf), _ptr(low_inf), None)
        upto = min(n, -(-dstar // N) + 1) if head else n
        swork = w("swork", (m + 2, m))
        estore = w("estore", (m + 3, steps)) if store else None
        predo = w("pred", (2 * d, n)) if pred else None
        lowo = w("low", (lw, n)) if low and lw else None
        filto = w("filt", (2 * d, n)) if filt else None
        logdet, sumsq, count = ctypes.c_double(), ctypes.c_double(), ctypes.c_int()
        ok = routine("fKalmanExact")(
            mode, 1, N, upto, f["Y"].ptr, m, f["sys"].ptr, f["var"].ptr, _vec(f["mean"]),
            _ptr(f["triples"]), _ptr(f["x"]), f["pat"].ptr, _ptr(f["init"]), dstar,
            dstore.ptr, swork.ptr, w("pwork", (m + 1, m)).ptr, None, _ptr(estore), _ptr(predo),
            _ptr(lowo), _ptr(filto), ctypes.byref(logdet), ctypes.byref(sumsq),
            ctypes.byref(count))
        a = lambda r: None if r is None else r.a
        return dict(ok=bool(ok), dstar=dstar, dstore=dstore.a, estore=a(estore), pred=a(predo),
                    low=a(lowo), filt=a(filto), var_inf=a(var_inf), low_inf=a(low_inf),
                    swork=swork.a.copy(), logdet=logdet.value, sumsq=sumsq.value,
                    count=count.value, upto=upto,
                    rows=dict(dstore=dstore, estore=estore, pred=predo, low=lowo,
                              var_inf=var_inf, low_inf=low_inf))

    # ---- smoothers -------------------------------------------------------
    def _common(self, f):
        return (self.N, f["n"], self.m, f["sys"].ptr, _ptr(f["triples"]), _ptr(f["x"]),
                f["pat"].ptr)

    def dist_smooth(self, f, res):
        """DistSmoExact over a store of mode 0: the d x d score sums and the
        m x m initial-state score."""
        m, d, w, rows = self.m, self.d, self.work, res["rows"]
        acc, init = np.zeros((d, d)), np.zeros((m, m))
        k = Keep()
        routine("DistSmoExact")(0, *self._common(f), w("S", (m + 1, m)).ptr,
                                w("W", (m + 2, m)).ptr, rows["estore"].ptr, k(acc), k(init),
                                None)
        return acc, init

    def disturbances(self, f, res):
        """DistSmoAuxExact over a store of mode 0: 2d x n, smoothed
        disturbance means and the diagonals of Var D Var; and S."""
        m, d, w, rows = self.m, self.d, self.work, res["rows"]
        out, S = w("dist", (2 * d, f["n"])), w("S", (m + 1, m))
        N, n, m_, sys, trip, x, pat = self._common(f)
        routine("DistSmoAuxExact")(N, n, m_, sys, f["var"].ptr, trip, x, pat, S.ptr,
                                   w("W", (m + 2, m)).ptr, rows["estore"].ptr, out.ptr)
        return out.a, S.a.copy()

    def state_smooth(self, f, res, given=None):
        """StateSmoExact (selector 1) over a run of mode 1 with pred, low and
        the diffuse outputs: res["pred"] becomes the smoothed moments.  With
        `given` ((m+2) x m, N0 and r0 of the state after the f["n"] time
        points), StateSmoExactFrom.  Returns S0 (N0 in rows 0..m-1, r0 in
        row m)."""
        m, w, rows = self.m, self.work, res["rows"]
        S0 = w("S0", (m + 2, m))
        if given is not None:
            S0.a[:] = given
        routine("StateSmoExact" if given is None else "StateSmoExactFrom")(
            1, *self._common(f), w("A0", (m + 2, m)).ptr,
                                 w("A1", (m, m)).ptr, S0.ptr, w("S1", (m + 2, m)).ptr,
                                 w("S2", (m + 2, m)).ptr, res["dstar"], rows["dstore"].ptr,
                                 rows["estore"].ptr, _ptr(rows["var_inf"]),
                                 _ptr(rows["low_inf"]), rows["pred"].ptr, _ptr(rows["low"]),
                                 None)
        return S0.a.copy()

    def combination(self, f, srow, smooth):
        """Mean and variance (2 x n) of s alpha_t, s = srow (m), smoothed
        (StateSmoExact, selector 11) or filtered (fKalmanExact, mode 10),
        under form `f`; None when the filter fails."""
        k = Keep()
        m, N, n = self.m, self.N, f["n"]
        f["sys"].a[self.d] = srow
        steps = N * n
        dstore = self.buf("dstore", (m + 3, steps))
        sig = self.buf("sig_inf", (m, n), True) if smooth else None
        dstar = routine("IKalmanInitial")(
            N, n, f["Y"].ptr, m, f["sys"].ptr, _ptr(f["triples"]), _ptr(f["x"]), f["pat"].ptr,
            _ptr(f["init"]), k(np.zeros((m + 1, m))), k(np.zeros((m, m))), k(dstore), None,
            None, k(sig))
        estore = self.buf("estore", (m + 3, steps)) if smooth else None
        out = self.buf("comb", (m + 1, n) if smooth else (2, n))
        ok = routine("fKalmanExact")(
            11 if smooth else 10, 1, N, n, f["Y"].ptr, m, f["sys"].ptr, f["var"].ptr,
            _vec(f["mean"]), _ptr(f["triples"]), _ptr(f["x"]), f["pat"].ptr, _ptr(f["init"]),
            dstar, k(dstore), k(np.zeros((m + 2, m))), k(np.zeros((m + 1, m))), None, k(estore),
            k(out) if smooth else None, None, None if smooth else k(out), None, None, None)
        if not ok:
            return None
        if not smooth:
            return out.copy()
        out2 = np.zeros((2, n))
        A0, A1 = np.zeros((m + 2, m)), np.zeros((m, m))
        S0, S1, S2 = (np.zeros((m + 2, m)) for _ in range(3))
        routine("StateSmoExact")(11, *self._common(f), k(A0), k(A1), k(S0), k(S1), k(S2),
                                 dstar, k(dstore), k(estore), k(sig), None, k(out), None,
                                 k(out2))
        return out2

    def weights(self, f, res, mode, tau):
        """fWeightPred over a store of mode 0: d x (N n)."""
        k = Keep()
        m = self.m
        W = self.buf("weights", (self.d, self.N * f["n"]))
        M, x = np.zeros((m, m)), np.zeros(m)
        routine("fWeightPred")(mode, tau, *self._common(f), k(M), x.ctypes.data,
                               k(res["estore"]), k(W))
        return W

    def draw(self, f, U):
        """LdsDraw: states (m x n) and observations (N x n, without the
        observation constants) from U (d x (n+1))."""
        k = Keep()
        m, N, n = self.m, self.N, f["n"]
        work = np.zeros((2, m))
        state, obs = np.zeros((self.d, n)), np.zeros((N, n))
        N_, n_, m_, sys, trip, x, pat = self._common(f)
        routine("LdsDraw")(N_, n_, m_, sys, f["mean"].ctypes.data, trip, x, pat, None, k(work),
                           k(U), k(state), k(obs))
        return state[:m], obs


def factor(V):
    """F with F F' = V for symmetric positive semi-definite V (..., d, d)."""
    w, Q = np.linalg.eigh(V)
    return Q * np.sqrt(np.maximum(w, 0.0))[..., None, :]


def full_var(diag, low):
    """(n, m, m) variances from their diagonals (m x n) and the lower
    triangles (m(m-1)/2 x n, row by row) of the filter's outputs."""
    m, n = diag.shape
    P = np.zeros((n, m, m))
    idx = np.arange(m)
    P[:, idx, idx] = diag.T
    if m > 1:
        i, j = np.tril_indices(m, -1)
        P[:, i, j] = low.T
        P[:, j, i] = low.T
    return P


LOG2PI = math.log(2.0 * math.pi)


def loglik_terms(res, y):
    """(loglik, count of observed elements, sum of squares, ordinary count,
    sum of log-determinants) of a filter run over all of y."""
    nobs = int(np.count_nonzero(~np.isnan(y)))
    k = res["count"]
    ss = res["sumsq"] * k
    return -0.5 * (nobs * LOG2PI + res["logdet"] + ss), nobs, ss, k, res["logdet"]
