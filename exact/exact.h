/*
 * exact.h - the Kalman filter and smoothers with an exactly treated diffuse
 * initial state, for code that links the library directly (no host
 * function calls them).  None allocates, prints or keeps state.
 *
 * Dimensions: m states, N series, n time points, d = m + N.  Sys is d x m
 * (rows 0..m-1 the transition T, row m+i the observation row Z_i; where a
 * selection vector s is read, Sys has a row d holding it), Var is d x d
 * (only the state block and the diagonal observation variances are read),
 * Mean has d entries (0..m-1 added to the predicted state, m+i subtracted
 * from observation i).  Init is the (m+1) x m initial-state matrix (a
 * negative diagonal element marks a diffuse element, whose variance scale
 * is its absolute value) or null (every element diffuse, scale 1).  The
 * triple table and X give the time-varying elements (X null: none); pat
 * is the T pattern of model.h (iMatTPattern), or null for a dense T.
 *
 * Each time point's N observations are scalar steps s = t N + i, i running
 * fastest; a missing observation is a step too.  Two stores, m+3 rows by
 * at least N n columns, pass the steps from routine to routine:
 *
 *   diffuse store (IKalmanInitial): row 0 0.0 observed / NaN missing;
 *     rows 1..m M_inf = P_inf Z_i'; row m+1 F_inf = Z_i P_inf Z_i'; row m+2
 *     the step kind: 0.0 diffuse step, 1.0 no diffuse information, -1.0
 *     missing.  P_inf refers to the absolute diffuse entries of Init.
 *   exact filter store (fKalmanExact), column s by kind (row m+2):
 *      1.0 ordinary:           v, K = M* / F*, 1/F*
 *      0.0 diffuse, modes 1, 11: v, F* K0 - M*, F*   (K0 = M_inf/F_inf)
 *      0.0 diffuse, other modes: 0, K0, 0
 *      2.0 F* = 0 with N > 1:  v, 0, 0 (no update)
 *     -1.0 missing:            NaN, 0, 0
 *   with v = y - Mean[m+i] - Z_i a, M* = P* Z_i', F* = Z_i P* Z_i' + Var[m+i][m+i].
 *
 * Every routine follows the step kinds recorded by IKalmanInitial, so all
 * agree on which steps are diffuse.  Usual order: IKalmanInitial,
 * fKalmanExact, then a smoother or fKalmanExactMean.
 */
#ifndef VANTREL_EXACT_EXACT_H
#define VANTREL_EXACT_EXACT_H

#include "host/api.h"

#ifdef __cplusplus
extern "C" {
#endif

/*
 * IKalmanInitial: the diffuse variance recursion alone.  Returns the length
 * d* of the diffuse period in scalar steps (the step at which the first
 * observation after the rank of P_inf has fallen to zero would be taken;
 * N n when it never falls), or 0 when P_inf has rank 0 or n < 1.
 *   N, n, m     series, time points, states
 *   Y           N x n observations, read (NaN = missing)
 *   Sys         d x m (d+1 rows when sigOut is given), overwritten from X
 *   triples, X  time-varying elements (X null: none), read
 *   pat         T pattern or null, read
 *   Init        (m+1) x m or null, read
 *   dwork       (m+1) x m workspace: P_inf (scaled by 100), row m K_inf
 *   scratch     m x m workspace
 *   dstore      diffuse store, m+3 x (N n), written up to column d*-1
 *   varOut      (m+N) x n or null: diag P_inf, then Z_i P_inf Z_i' per t
 *   lowOut      m(m-1)/2 x n or null: P_inf[1][0], [2][0], [2][1], ...
 *   sigOut      m x n or null: s P_inf (s = row d of Sys)
 *   The per-time outputs are written for the time points the period spans.
 */
VANTREL_API int IKalmanInitial(int N, int n, double **Y, int m, double **Sys, int **triples,
                               double **X, int **pat, double **Init, double **dwork,
                               double **scratch, double **dstore, double **varOut,
                               double **lowOut, double **sigOut);

/*
 * fKalmanExact: the exact diffuse filter over all data.  Result 1, or 0
 * when F* = 0 for one series (N = 1), when a diffuse period was used but
 * fewer than N h ordinary updates follow it, or when no term is left to
 * divide the sum of squares by.
 *   mode        1 or 11: diffuse columns keep v, F* K0 - M*, F* (what the
 *               state smoothers need); 5 and 10: the state work ends with
 *               the filtered values of the last time point when it lies
 *               after the diffuse period; 9, 10, 11 select the outputs below
 *   h           prediction horizon (1: one step; >= 2: the accumulators
 *               take h-step prediction errors after the diffuse period)
 *   N, n, m     series, time points, states
 *   Y           N x n, read
 *   Sys, Var, Mean  d x m (d+1 rows for modes 9, 10, 11), d x d, d;
 *               overwritten from X
 *   triples, X, pat, Init  as above, read
 *   dstar       IKalmanInitial's result (0: no diffuse period)
 *   dstore      diffuse store, read (columns 0..dstar-1)
 *   swork       (m+2) x m workspace: P* rows 0..m-1, a row m, gain row m+1
 *   pwork       (m+1) x m workspace
 *   hwork       (m+1) x m workspace for h >= 2, else not read (may be null)
 *   estore      exact filter store m+3 x (N n), written, or null
 *   predOut     predicted values, written, or null: mode 9, 2 x n (s a,
 *               s P* s'); mode 11, (m+1) x n (P* s', s a); else 2d x n (a,
 *               Z_i a + Mean[m+i], diag P*, Z_i P* Z_i').  Column t is taken
 *               before the updates of t; with h >= 2, after the diffuse
 *               period, column t+h-1 holds the h-step values made at t and
 *               columns nothing fills are 0 (inside the period: one-step
 *               values for modes 9 and 11, zeros for the others)
 *   lowOut      m(m-1)/2 x n or null: P*[1][0], [2][0], [2][1], ... before
 *               the updates of t
 *   filtOut     after the N steps of t, or null: mode 10, 2 x n (s a,
 *               s P* s'); else 2d x n as predOut
 *   pLogDet     sum of log F_inf (diffuse steps) and log F* (terms taken),
 *               or null
 *   pSumSq      sum of v^2 / F* over the terms taken, divided by their
 *               count, or null
 *   pCount      the number of ordinary updates, or null
 */
VANTREL_API int fKalmanExact(int mode, int h, int N, int n, double **Y, int m, double **Sys,
                             double **Var, double *Mean, int **triples, double **X, int **pat,
                             double **Init, int dstar, double **dstore, double **swork,
                             double **pwork, double **hwork, double **estore,
                             double **predOut, double **lowOut, double **filtOut,
                             double *pLogDet, double *pSumSq, int *pCount);

/*
 * fKalmanExactMean: the state mean recursion alone, with the gains of an
 * exact filter store (written in a mode other than 1 and 11 it reproduces
 * fKalmanExact's means).  Returns 1.
 *   mode        0: out column t = predicted a and Z_i a (no Mean);
 *               5: the same after the N steps of t; other: out not written
 *   N, n, m     series, time points, states
 *   Y           N x n, read, or null: row 0 of estore is read as the data
 *   Sys, Mean   d x m, d; overwritten from X
 *   triples, X, pat, Init  as above, read
 *   work        3 x m workspace: row 0 scratch, row 2 the state mean
 *   estore      exact filter store, read
 *   innov       N n doubles, written (NaN for missing steps), or null
 *   out         (m+N) x n, written, or null
 */
VANTREL_API int fKalmanExactMean(int mode, int N, int n, double **Y, int m, double **Sys,
                                 double *Mean, int **triples, double **X, int **pat,
                                 double **Init, double **work, double **estore, double *innov,
                                 double **out);

/*
 * The four disturbance smoothers read every column of the exact filter
 * store with the ordinary formula e = v h - g' r, r += e Z_i' (g = rows
 * 1..m, h = row m+1); a store written in a mode other than 1 and 11 makes
 * that the exact recursion of the diffuse period too.  Missing steps are
 * skipped and give zeros.  In all of them:
 *   N, n, m     series, time points, states
 *   Sys         d x m, overwritten from X; triples, X, pat as above
 *   estore      exact filter store, read
 */

/* DistSmoExactMean: r per time point, e per step.  `unused` is not read.
 *   work        2 x m workspace (row 0 r, row 1 scratch)
 *   out         d x (n+1), written, or null: column t+1 holds r_t (rows
 *               0..m-1) and the e of time t (rows m..d-1); column 0 r_-1
 *               and zeros */
VANTREL_API void DistSmoExactMean(int unused, int N, int n, int m, double **Sys, int **triples,
                                  double **X, int **pat, double **work, double **estore,
                                  double **out);

/* DistSmoExact: r, e and their variances N, D, and score sums.
 *   S           (m+1) x m workspace: N rows 0..m-1, r row m; on return the
 *               final N and r
 *   W           (m+2) x m workspace
 *   acc         d x d, written, or null: state block sum over t of
 *               (r_t r_t' - N_t), diagonal m+i sum of (e^2 - D), rest 0
 *   score       m x m, written, or null: r_-1 r_-1' - N_-1
 *   out         2d x (n+1), written, or null: rows as DistSmoExactMean,
 *               then diag N and the D of each step in rows d..2d-1 */
VANTREL_API void DistSmoExact(int unused, int N, int n, int m, double **Sys, int **triples,
                              double **X, int **pat, double **S, double **W, double **estore,
                              double **acc, double **score, double **out);

/* DistSmoAuxExactMean: smoothed disturbance means, column t for time t.
 *   sel         7: observation disturbances only (out N x n); 8: state
 *               disturbances only (out m x n); other: both (out d x n)
 *   Var         d x d, overwritten from X
 *   work        2 x m workspace
 *   out         written, or null */
VANTREL_API void DistSmoAuxExactMean(int sel, int N, int n, int m, double **Sys, double **Var,
                                     int **triples, double **X, int **pat, double **work,
                                     double **estore, double **out);

/* DistSmoAuxExact: smoothed disturbance means (rows 0..d-1) and the
 * diagonal of Var D Var, the reduction of their variances (rows d..2d-1).
 *   Var         d x d, overwritten from X
 *   S, W        as DistSmoExact
 *   out         2d x n, written, or null */
VANTREL_API void DistSmoAuxExact(int N, int n, int m, double **Sys, double **Var,
                                 int **triples, double **X, int **pat, double **S, double **W,
                                 double **estore, double **out);

/*
 * Model draws, the bootstrap and prediction weights.  LdsBootstrap and
 * fWeightPred read the gains of an exact filter store written in a mode
 * other than 1 and 11: K_s = rows 1..m and g_s = row m+1 of column s.
 */

/* LdsDraw: the model run forward from given disturbances:
 * a_0 = U[0..m-1][0], signal Z_i a_t, observation Z_i a_t + U[m+i][t+1]
 * (Mean[m+i] is added to neither), a_{t+1} = T a_t + Mean[0..m-1] +
 * U[0..m-1][t+1].
 *   N, n, m     series, time points, states
 *   Sys, Mean   d x m, d; overwritten from X
 *   triples, X, pat  as above
 *   unused      not read
 *   work        2 x m workspace (row 0 the state, row 1 scratch)
 *   U           d x (n+1), read: column 0 the initial state (rows
 *               0..m-1), column t+1 the disturbances of time t
 *   stateOut    d x n, written, or null: a_t (rows 0..m-1), Z_i a_t
 *   obsOut      N x n, written, or null: the observations */
VANTREL_API void LdsDraw(int N, int n, int m, double **Sys, double *Mean, int **triples,
                         double **X, int **pat, double **unused, double **work, double **U,
                         double **stateOut, double **obsOut);

/* LdsBootstrap: observations rebuilt from standardised innovations.  Step
 * s takes e = z / sqrt(g_s), z = Y[i][t] or, with an index table, the
 * standardised innovation v_j sqrt(g_j) of step j = index[i][t] (0 when j
 * lies outside the store or g_j is not positive); then Y[i][t] = e + Mean[m+i] +
 * Z_i a and a += e K_s.  A diffuse or skipped step takes e = 0 (Y gets the
 * prediction Mean[m+i] + Z_i a), a missing one NaN; neither moves a.
 * The state starts from 0 (Init is not read).
 *   N, n        series, time points
 *   index       N x n int table of step numbers, read, or null
 *   m           states
 *   Sys, Mean   d x m, d; overwritten from X
 *   triples, X, pat  as above
 *   work        2 x m workspace (row 0 the state, row 1 scratch)
 *   estore      exact filter store, read
 *   Y           N x n, read (unless index is given) and written */
VANTREL_API void LdsBootstrap(int N, int n, int **index, int m, double **Sys, double *Mean,
                              int **triples, double **X, int **pat, double **work,
                              double **estore, double **Y);

/* fWeightPred: the weights w_s with which the observation of each step s
 * enters the predicted state at tau (a_tau from y before time tau), or in
 * mode 5 the filtered state at tau (y up to time tau).  Result 1; 0 when
 * tau lies outside 0..n (mode 5: 0..n-1; W cleared) or N n exceeds the
 * int range (nothing written).
 *   mode        5 filtered, other: predicted
 *   tau         the time point
 *   N, n, m     series, time points, states
 *   Sys         d x m, overwritten from X; triples, X, pat as above
 *   M           m x m workspace
 *   x           m doubles, workspace
 *   estore      exact filter store, read
 *   W           d x (N n), written: column s = t N + i holds w_s (rows
 *               0..m-1) and Z_t w_s (rows m..d-1, the rows of time t);
 *               zero for missing steps and steps that do not enter */
VANTREL_API int fWeightPred(int mode, int tau, int N, int n, int m, double **Sys,
                            int **triples, double **X, int **pat, double **M, double *x,
                            double **estore, double **W);

/*
 * The two state smoothers carry r0 and r1 (and N0, N1, N2) exactly through
 * the diffuse period.  They read the diffuse store and an exact filter store
 * written in mode 1 or 11.
 */

/* QuickStateSmo: smoothed states by a backward pass over the cumulants and
 * a forward pass through the model.
 *   sel         1: the signals Mean[m+i] + Z_i alpha_t too
 *   N, n, m     series, time points, states
 *   Sys, Var, Mean  d x m, d x d, d; overwritten from X
 *   triples, X, pat, Init  as above (Init null: every element diffuse)
 *   work        2 x m workspace (row 0 the running smoothed state)
 *   cum         2 x d workspace (row 0 r0, then the forward vector; row 1 r1)
 *   dstar, dstore  IKalmanInitial's result and store, read
 *   estore      exact filter store (mode 1 or 11), read
 *   out         m x n (sel 1: d x n), written: smoothed states (and signals) */
VANTREL_API void QuickStateSmo(int sel, int N, int n, int m, double **Sys, double **Var,
                               double *Mean, int **triples, double **X, int **pat,
                               double **Init, double **work, double **cum, int dstar,
                               double **dstore, double **estore, double **out);

/* StateSmoExact: smoothed state and signal moments.
 *   sel         1: state and signal means and variances, into pred;
 *               11: mean and variance of s alpha_t, into out2;
 *               other: the cumulants only
 *   N, n, m     series, time points, states
 *   Sys         d x m (d+1 rows for sel 11), overwritten from X
 *   triples, X, pat  as above
 *   A0          (m+2) x m workspace; A1 m x m workspace
 *   S0, S1, S2  (m+2) x m workspaces: N0, N1, N2 in rows 0..m-1, r0, r1
 *               in row m of S0, S1; on return the final cumulants
 *   dstar, dstore  IKalmanInitial's result and store, read
 *   estore      exact filter store (mode 1 or 11), read
 *   infA        sel 1: IKalmanInitial's varOut; sel 11: its sigOut; read
 *   infLow      sel 1: IKalmanInitial's lowOut (null when m = 1); read
 *   pred        fKalmanExact's predOut (h = 1): sel 1, 2d x n, read and
 *               overwritten with smoothed state means, signal means (with
 *               Mean), state variances, signal variances (without noise);
 *               sel 11, (m+1) x n, read
 *   low         fKalmanExact's lowOut (null when m = 1), read
 *   out2        2 x n, written for sel 11: mean and variance of s alpha_t */
VANTREL_API void StateSmoExact(int sel, int N, int n, int m, double **Sys, int **triples,
                               double **X, int **pat, double **A0, double **A1, double **S0,
                               double **S1, double **S2, int dstar, double **dstore,
                               double **estore, double **infA, double **infLow, double **pred,
                               double **low, double **out2);

/*
 * Draws of the innovations of the exact filter, one per scalar step, over
 * the gains of an exact filter store written in a mode other than 1 and
 * 11.  The innovation v = Z e + eps of a step splits into the part that
 * the finite initial state and the state disturbances drive (variance F0)
 * and the part the observation disturbances drive (variance 1/g - F0, g
 * the stored inverse variance); one part is computed from given
 * disturbances, the other drawn.  The normal numbers come from the host's
 * DRanNormalPM.  In all three:
 *   N, n, m     series, time points, states
 *   Sys         d x m, overwritten from X; triples, X, pat as above
 *   estore      exact filter store, read (a NaN in row 0 marks a missing
 *               step)
 */

/* SimSmoWgtExact: the scale of each step's drawn part: sqrt(F0) in mode 7
 * (the observation disturbances given), sqrt(1/g - F0) in the others (the
 * state disturbances given); 0 at missing steps and where g is not above
 * 0 (diffuse and skipped steps).
 *   mode        7 or other, as above
 *   Var         d x d, overwritten from X (state block read)
 *   Init        (m+1) x m or null (every element diffuse), read
 *   Pwork       (m+1) x m workspace: the variance of the state-driven
 *               error in rows 0..m-1, the gain in row m
 *   Wwork       (m+1) x m workspace
 *   scale       N n doubles, written */
VANTREL_API void SimSmoWgtExact(int mode, int N, int n, int m, double **Sys, double **Var,
                                int **triples, double **X, int **pat, double **Init,
                                double **Pwork, double **Wwork, double **estore,
                                double *scale);

/* SimSmoEpsExact: out[s] = the innovation the observation disturbances E
 * drive, plus scale[s] z; NaN at missing steps.  Draws one z per observed
 * step.
 *   work        3 x m workspace (rows 0 and 2)
 *   E           N x n observation disturbances, read
 *   scale       N n doubles (SimSmoWgtExact, mode 7), read
 *   out         N n doubles, written */
VANTREL_API void SimSmoEpsExact(int N, int n, int m, double **Sys, int **triples, double **X,
                                int **pat, double **work, double **estore, double **E,
                                const double *scale, double *out);

/* SimSmoEtaExact: out[s] = the innovation a standard normal initial state
 * and the state disturbances H drive, plus scale[s] z; NaN at missing
 * steps.  Draws the m initial elements, then one z per observed step.
 *   work        3 x m workspace (rows 0 and 2)
 *   H           m x n state disturbances (column t enters after time t),
 *               read
 *   scale       N n doubles (SimSmoWgtExact, a mode other than 7), read
 *   out         N n doubles, written */
VANTREL_API void SimSmoEtaExact(int N, int n, int m, double **Sys, int **triples, double **X,
                                int **pat, double **work, double **estore, double **H,
                                const double *scale, double *out);

/*
 * Smoothing a stretch of data that later data follow.  After the diffuse
 * period the later observations enter the smoothed states of the stretch
 * only through the cumulant r and its variance N that belong to the state
 * after the stretch; an ordinary smoother over the later data (started
 * from the exact filter's predicted state there) gives them.
 */

/* StateSmoExactFrom: StateSmoExact over the n time points of the stretch,
 * with N0 (rows 0..m-1) and r0 (row m) of S0 given on entry: those of the
 * state at time point n, whose predicted moments the exact filter over
 * the stretch ends with.  The stretch must cover the diffuse period
 * (dstar <= n N), as r1, N1 and N2 start from 0.  Parameters as
 * StateSmoExact; S1 and S2 are cleared, S0 is read and then written. */
VANTREL_API void StateSmoExactFrom(int sel, int N, int n, int m, double **Sys, int **triples,
                                   double **X, int **pat, double **A0, double **A1,
                                   double **S0, double **S1, double **S2, int dstar,
                                   double **dstore, double **estore, double **infA,
                                   double **infLow, double **pred, double **low,
                                   double **out2);

#ifdef __cplusplus
}
#endif

#endif
