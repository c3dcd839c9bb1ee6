# peers.R - the rows of `make bench-peers` whose peer is R's stats package:
# KalmanLike and KalmanSmooth against Vantrel's LdsLik, LdsMomentEst 1 and
# KalmanFil + KalmanSmo on the local level model (n = 100000), and
# KalmanLike against LdsLik on the Nile flows (n = 100).  Vantrel's side is
# bench/peers/vantrel_peers.cpp, loaded into this R process with dyn.load
# and called through .C, so the two alternate call by call (in batches of
# `batch` calls where one call is too short for the clock) in one process.
#
#   Rscript bench/peers/peers.R LIBRARY ROUNDS
#
# Prints one line per row: name, peer ns per time point, Vantrel ns per
# time point (10% quantiles over the rounds), and the largest relative
# difference of the numbers compared.
args <- commandArgs(TRUE)
dyn.load(args[1])
rounds <- as.integer(args[2])

sizes <- function(k) .C("vp_sizes", as.integer(k), out = integer(3))$out
model <- function(k) {
  s <- sizes(k); m <- s[1]; N <- s[2]; n <- s[3]; d <- m + N
  r <- .C("vp_model", as.integer(k), sys = double(d * m), var = double(d * d),
          y = double(N * n))
  list(sys = matrix(r$sys, d, m, byrow = TRUE), var = matrix(r$var, d, d, byrow = TRUE),
       y = matrix(r$y, N, n, byrow = TRUE), m = m, N = N, n = n)
}
check <- function(k, len) .C("vp_check", as.integer(k), out = double(len))$out
vantrel <- function(k, batch) mean(.C("vp_time", as.integer(k), as.integer(batch),
                                      ns = double(batch))$ns)
peer <- function(f, batch) {
  t0 <- Sys.time()
  for (i in seq_len(batch)) f()
  as.numeric(Sys.time() - t0, units = "secs") * 1e9 / batch
}
q10 <- function(x) unname(quantile(x, 0.1, type = 1))
rel <- function(a, b) max(abs(a - b) / pmax(abs(b), 1e-300))

# The local level as R's Kalman functions take it: the same proper
# initial variance 1e7 that Vantrel's jobs pass as Init.
ll <- model(0)
n <- ll$n
y <- ll$y[1, ]
mod <- list(T = matrix(ll$sys[1, 1]), Z = ll$sys[2, 1], h = ll$var[2, 2],
            V = matrix(ll$var[1, 1]), a = 0, P = matrix(1e7), Pn = matrix(1e7))

# LdsLik against KalmanLike: the variance s2 and the sum of log F.
lik <- KalmanLike(y, mod, nit = 0L)
v <- check(0, 2)
sumlogV <- -2 * v[1] - n * log(2 * pi) - n * v[2]
sumlogR <- n * (2 * lik$Lik - log(lik$s2))
errLik <- max(rel(v[2], lik$s2), rel(sumlogV, sumlogR))
# LdsMomentEst 1 against KalmanSmooth: smoothed states at three times.
sm <- KalmanSmooth(y, mod, nit = 0L)
errSmo <- rel(check(1, 3), sm$smooth[c(1, n %/% 2 + 1, n), 1])

# The Nile flows, the variances of the Python front end's benchmark.
nile <- as.numeric(datasets::Nile)
invisible(.C("vp_nile", nile, length(nile)))
nmod <- list(T = matrix(1), Z = 1, h = 15099.0, V = matrix(1469.1), a = 0,
             P = matrix(1e7), Pn = matrix(1e7))
nl <- KalmanLike(nile, nmod, nit = 0L)
v <- check(6, 2)
errNile <- rel(v[2], nl$s2)

t <- matrix(0, rounds, 8)
for (r in seq_len(rounds)) {
  t[r, 1] <- peer(function() KalmanLike(y, mod, nit = 0L), 1)
  t[r, 2] <- vantrel(0, 1)
  t[r, 3] <- peer(function() KalmanSmooth(y, mod, nit = 0L), 1)
  t[r, 4] <- vantrel(1, 1)
  t[r, 5] <- vantrel(2, 1)
  t[r, 6] <- peer(function() KalmanLike(nile, nmod, nit = 0L), 2000)
  t[r, 7] <- vantrel(6, 2000)
}
q <- apply(t, 2, q10)
cat(sprintf("row lik_local %.4g %.4g %.2g\n", q[1] / n, q[2] / n, errLik))
cat(sprintf("row smo_local %.4g %.4g %.2g\n", q[3] / n, q[4] / n, errSmo))
cat(sprintf("row filsmo_local %.4g %.4g %.2g\n", q[3] / n, q[5] / n, errSmo))
cat(sprintf("row nile_c %.4g %.4g %.2g\n", q[6], q[7], errNile))
