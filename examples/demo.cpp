// demo.cpp - a Kel-style program: fits a local level model to the Nile flows
// and a basic structural model to the log airline passengers, calling the
// library through its host functions; the Nile model is fitted once more
// with the exact diffuse likelihood of the routines the library exports for
// code that links it directly.
//
//   demo [output-directory]        (default: out)
//
// Writes <dir>/nile_smoothed.csv, <dir>/nile_weights.csv and <dir>/nile_draws.csv
// (the smoothed level with conditional draws of the level from the
// simulation smoother), which examples/plot_nile.gp, examples/plot_weights.gp
// and examples/plot_nile_draws.gp draw.  Exits with status 1 when a host
// call fails or the Nile estimates miss the published ones.
#include <nlopt.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "builders/builders.h"  // the STSM_* component codes
#include "exact/exact.h"        // the exact diffuse routines' declarations
#include "kelhost/kel.hpp"

namespace {

// Published maximum likelihood estimates for the Nile local level model.
const double kNileObsVar = 15099.0;
const double kNileLevelVar = 1469.1;
const double kNileTolerance = 0.005;  // relative

const double kNormal95 = 1.6448536269514722;  // bounds a two-sided 90% band
const int kNileFirstYear = 1871;
const int kNilePrintStep = 20;  // years between the rows shown on screen
const int kAirlinePeriod = 12;
const int kWeightsYear = 1920;   // target of the smoothed level's weights
const int kWeightsPerLine = 10;  // weights shown on one screen line
const int kSmoothedWeights = 1;  // LdsWeights selection

// Conditional draws of the Nile level in the second picture, from a fixed
// seed so that the picture is the same on every run.
const int kNileDraws = 3;
const unsigned long long kNileDrawSeed = 18711970ULL;
const int kCondSmoothed = 1;  // LdsCondDens codes
const int kCondDrawn = 2;

// Box and stopping rule of the search over log variance ratios.  The lower
// bound stands for a ratio of zero: the likelihood is flat far below it.
const double kLogRatioLow = -30.0;
const double kLogRatioHigh = 10.0;
const double kLogRatioStep = 1.0;
const double kXtolRel = 1e-10;
const int kMaxEvaluations = 5000;

struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// One column of a CSV file with a header line.
std::vector<double> readColumn(const std::string &name, int column) {
    const std::string path = std::string(VANTREL_SOURCE_DIR) + "/examples/data/" + name;
    std::ifstream in(path);
    if (!in) throw Failure("cannot read " + path);
    std::vector<double> values;
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::stringstream fields(line);
        std::string field;
        for (int i = 0; i <= column && std::getline(fields, field, ','); ++i) {}
        values.push_back(std::stod(field));
    }
    return values;
}

// A state space form from GetLdsStsm, with the variance matrix held at unit
// standard deviations so that each component's block can be rescaled.
struct Model {
    kel::Value sys, var, init, pos;
    kel::Value unitVar;
    int m = 0;
};

// A component whose variance is free, relative to the irregular's.
struct FreeBlock {
    int row;     // its row of the component matrix
    int states;  // its number of state elements
};

Model buildStsm(kel::Host &host, const kel::Value &spec) {
    Model model;
    model.pos = host.call("GetLdsStsm",
                          {spec, kel::ref(model.sys), kel::ref(model.var), kel::ref(model.init)});
    model.m = model.sys.cols();
    model.unitVar = model.var;
    return model;
}

// Var = the unit-deviation variance with each free block scaled by its ratio.
void setRatios(Model &model, const std::vector<FreeBlock> &blocks, const double *logRatio) {
    model.var = model.unitVar;
    for (std::size_t b = 0; b < blocks.size(); ++b) {
        const int first = int(model.pos(0, blocks[b].row));
        const double ratio = std::exp(logRatio[b]);
        for (int i = first; i < first + blocks[b].states; ++i)
            for (int j = first; j < first + blocks[b].states; ++j)
                model.var.at(i, j) = ratio * model.unitVar(i, j);
    }
}

// LdsLik or LdsLikConc; false when the call fails or returns 0.  Never
// throws, so it is safe inside the optimiser's callback.
bool likelihood(kel::Host &host, const char *name, const kel::Value &y, const Model &model,
                double *loglik, double *s2) {
    kel::Value ll, var, status;
    if (host.tryCall(name, {kel::ref(ll), kel::ref(var), y, model.sys, model.var, model.init},
                     &status) != 0 || status.asDouble() != 1.0)
        return false;
    *loglik = ll.asDouble();
    *s2 = var.asDouble();
    return true;
}

struct Search {
    kel::Host *host;
    const kel::Value *y;
    Model *model;
    const std::vector<FreeBlock> *blocks;
};

double negConcLik(unsigned, const double *x, double *, void *data) {
    Search *s = static_cast<Search *>(data);
    setRatios(*s->model, *s->blocks, x);
    double ll, s2;
    if (!likelihood(*s->host, "LdsLikConc", *s->y, *s->model, &ll, &s2)) return HUGE_VAL;
    return -ll;
}

// Maximises the concentrated likelihood over the log ratios of the free
// blocks; leaves Var at the estimated variances (ratios times the scale)
// and returns the log-likelihood there.
double fitRatios(kel::Host &host, const kel::Value &y, Model &model,
                 const std::vector<FreeBlock> &blocks) {
    const unsigned dim = unsigned(blocks.size());
    std::vector<double> x(dim, 0.0), low(dim, kLogRatioLow), high(dim, kLogRatioHigh),
        step(dim, kLogRatioStep);
    Search search{&host, &y, &model, &blocks};
    nlopt_opt opt = nlopt_create(NLOPT_LN_BOBYQA, dim);
    nlopt_set_min_objective(opt, negConcLik, &search);
    nlopt_set_lower_bounds(opt, low.data());
    nlopt_set_upper_bounds(opt, high.data());
    nlopt_set_initial_step(opt, step.data());
    nlopt_set_xtol_rel(opt, kXtolRel);
    nlopt_set_maxeval(opt, kMaxEvaluations);
    double best;
    const nlopt_result rc = nlopt_optimize(opt, x.data(), &best);
    nlopt_destroy(opt);
    if (rc < 0) throw Failure("the likelihood search failed");

    double ll, s2;
    setRatios(model, blocks, x.data());
    if (!likelihood(host, "LdsLikConc", y, model, &ll, &s2))
        throw Failure("LdsLikConc failed at the estimate");
    for (int i = 0; i < model.var.rows(); ++i)
        for (int j = 0; j < model.var.cols(); ++j) model.var.at(i, j) *= s2;
    if (!likelihood(host, "LdsLik", y, model, &ll, &s2))
        throw Failure("LdsLik failed at the estimate");
    return ll;
}

// Variance of the component in specification row `row` (its first element).
double componentVar(const Model &model, int row) {
    const int i = int(model.pos(0, row));
    return model.var(i, i);
}

kel::Value momentEst(kel::Host &host, int selection, const kel::Value &y, const Model &model) {
    kel::Value moments;
    host.call("LdsMomentEst",
              {selection, kel::ref(moments), y, model.sys, model.var, model.init});
    return moments;
}

bool within(double value, double target) {
    return std::fabs(value - target) <= kNileTolerance * target;
}

void writeNileCsv(const std::string &path, const kel::Value &y, const Model &model,
                  const kel::Value &states, const kel::Value &disturb) {
    const int m = model.m, d = m + 1, level = int(model.pos(0, 0));
    std::FILE *f = std::fopen(path.c_str(), "w");
    if (!f) throw Failure("cannot write " + path);
    std::fprintf(f, "year,flow,level,lower,upper,obs_disturbance,level_disturbance\n");
    std::printf("  year   flow    level   90%% band          obs.dist  level.dist\n");
    for (int t = 0; t < y.cols(); ++t) {
        const double mean = states(level, t), sd = std::sqrt(states(d + level, t));
        const double lo = mean - kNormal95 * sd, hi = mean + kNormal95 * sd;
        const double eps = disturb(m, t), eta = disturb(level, t);
        std::fprintf(f, "%d,%.17g,%.17g,%.17g,%.17g,%.17g,%.17g\n", kNileFirstYear + t, y(0, t),
                     mean, lo, hi, eps, eta);
        if (t % kNilePrintStep == 0 || t == y.cols() - 1)
            std::printf("  %4d %6.0f %8.1f  [%6.1f, %6.1f] %9.1f %10.1f\n", kNileFirstYear + t,
                        y(0, t), mean, lo, hi, eps, eta);
    }
    std::fclose(f);
}

// The weights of every year's flow in the smoothed level of one year: the
// local level model's two-sided exponential decay around it.
void writeNileWeights(kel::Host &host, const std::string &path, const kel::Value &y,
                      const Model &model) {
    const int level = int(model.pos(0, 0)), target = kWeightsYear - kNileFirstYear;
    kel::Value pattern = kel::Value::matrix(1, y.cols());
    pattern.at(0, target) = 1.0;
    const kel::Value w =
        host.call("LdsWeights", {kSmoothedWeights, pattern, model.sys, model.var, model.init});
    std::FILE *f = std::fopen(path.c_str(), "w");
    if (!f) throw Failure("cannot write " + path);
    std::fprintf(f, "year,weight\n");
    std::printf("  weights of each year's flow in the smoothed level of %d:\n", kWeightsYear);
    double sum = 0.0;
    for (int t = 0; t < y.cols(); ++t) {
        std::fprintf(f, "%d,%.17g\n", kNileFirstYear + t, w(level, t));
        if (t % kWeightsPerLine == 0) std::printf("  %4d", kNileFirstYear + t);
        std::printf(" %6.3f", w(level, t));
        if (t % kWeightsPerLine == kWeightsPerLine - 1 || t == y.cols() - 1) std::printf("\n");
        sum += w(level, t);
    }
    std::fclose(f);
    std::printf("  (they sum to %.6f)\n", sum);
}

// The smoothed level and kNileDraws draws of the level given all flows.
void writeNileDraws(kel::Host &host, const std::string &path, const kel::Value &y,
                    const Model &model) {
    const int level = int(model.pos(0, 0));
    const kel::Value smoothed =
        host.call("LdsCondDens", {kCondSmoothed, y, model.sys, model.var, model.init});
    kel::Host::seed(kNileDrawSeed);
    std::vector<kel::Value> draws;
    for (int k = 0; k < kNileDraws; ++k)
        draws.push_back(
            host.call("LdsCondDens", {kCondDrawn, y, model.sys, model.var, model.init}));
    std::FILE *f = std::fopen(path.c_str(), "w");
    if (!f) throw Failure("cannot write " + path);
    std::fprintf(f, "year,flow,level");
    for (int k = 0; k < kNileDraws; ++k) std::fprintf(f, ",draw%d", k + 1);
    std::fprintf(f, "\n");
    for (int t = 0; t < y.cols(); ++t) {
        std::fprintf(f, "%d,%.17g,%.17g", kNileFirstYear + t, y(0, t), smoothed(level, t));
        for (const kel::Value &d : draws) std::fprintf(f, ",%.17g", d(level, t));
        std::fprintf(f, "\n");
    }
    std::fclose(f);
}

// The exact diffuse routines, looked up in the loaded library.
struct ExactApi {
    decltype(&IKalmanInitial) initial;
    decltype(&fKalmanExact) filter;
    explicit ExactApi(kel::Host &host)
        : initial(reinterpret_cast<decltype(&IKalmanInitial)>(host.symbol("IKalmanInitial"))),
          filter(reinterpret_cast<decltype(&fKalmanExact)>(host.symbol("fKalmanExact"))) {
        if (!initial || !filter) throw Failure("the exact diffuse routines are not exported");
    }
};

// Row-pointer storage for the direct calls.
struct Rows {
    std::vector<double> buf;
    std::vector<double *> ptr;
    Rows(int r, int c) : buf(std::size_t(r) * std::size_t(c)), ptr(r) {
        for (int i = 0; i < r; ++i) ptr[i] = buf.data() + std::size_t(i) * std::size_t(c);
    }
    double **p() { return ptr.data(); }
};

// The local level with level variance q times the observation variance and
// a diffuse initial level: the exact diffuse log-likelihood with the scale
// concentrated out (false when the filter fails); *s2 the scale.
struct ExactSearch {
    const ExactApi *api;
    std::vector<double> y;
};

bool exactConcLik(const ExactSearch &s, double q, double *loglik, double *s2) {
    const int n = int(s.y.size()), m = 1, N = 1;
    Rows Y(1, n), sys(2, 1), var(2, 2), init(2, 1), dwork(2, 1), scratch(1, 1),
        dstore(m + 3, n), swork(m + 2, m), pwork(m + 1, m);
    Y.buf = s.y;
    sys.buf = {1.0, 1.0};
    var.buf = {q, 0.0, 0.0, 1.0};
    init.buf = {-1.0, 0.0};
    std::vector<double> mean(2, 0.0);
    const int dstar = s.api->initial(N, n, Y.p(), m, sys.p(), nullptr, nullptr, nullptr, init.p(),
                                     dwork.p(), scratch.p(), dstore.p(), nullptr, nullptr, nullptr);
    double logDet, sumSq;
    int count;
    if (s.api->filter(0, 1, N, n, Y.p(), m, sys.p(), var.p(), mean.data(), nullptr, nullptr,
                      nullptr, init.p(), dstar, dstore.p(), swork.p(), pwork.p(), nullptr,
                      nullptr, nullptr, nullptr, nullptr, &logDet, &sumSq, &count) != 1)
        return false;
    const double twoPi = 6.283185307179586;
    *s2 = sumSq;
    *loglik = -0.5 * (count * (std::log(twoPi) + std::log(sumSq) + 1.0) + logDet);
    return true;
}

double negExactConcLik(unsigned, const double *x, double *, void *data) {
    double ll, s2;
    if (!exactConcLik(*static_cast<ExactSearch *>(data), std::exp(x[0]), &ll, &s2))
        return HUGE_VAL;
    return -ll;
}

// Fits the Nile local level by the exact diffuse likelihood; returns the
// log-likelihood and the two variances.
double fitExact(kel::Host &host, const kel::Value &y, double *obsVar, double *levelVar) {
    const ExactApi api(host);
    ExactSearch search{&api, std::vector<double>(y.cols())};
    for (int t = 0; t < y.cols(); ++t) search.y[t] = y(0, t);
    double x = 0.0, low = kLogRatioLow, high = kLogRatioHigh, step = kLogRatioStep, best;
    nlopt_opt opt = nlopt_create(NLOPT_LN_BOBYQA, 1);
    nlopt_set_min_objective(opt, negExactConcLik, &search);
    nlopt_set_lower_bounds(opt, &low);
    nlopt_set_upper_bounds(opt, &high);
    nlopt_set_initial_step(opt, &step);
    nlopt_set_xtol_rel(opt, kXtolRel);
    nlopt_set_maxeval(opt, kMaxEvaluations);
    const nlopt_result rc = nlopt_optimize(opt, &x, &best);
    nlopt_destroy(opt);
    if (rc < 0) throw Failure("the exact likelihood search failed");
    double ll, s2;
    if (!exactConcLik(search, std::exp(x), &ll, &s2)) throw Failure("fKalmanExact failed");
    *obsVar = s2;
    *levelVar = std::exp(x) * s2;
    return ll;
}

bool nile(kel::Host &host, const std::string &outDir) {
    const kel::Value y = kel::Value::row(readColumn("nile.csv", 1));
    Model model = buildStsm(host, {{double(STSM_LEVEL), 1.0}, {double(STSM_IRREG), 1.0}});
    const double ll = fitRatios(host, y, model, {{0, 1}});
    const double obsVar = componentVar(model, 1), levelVar = componentVar(model, 0);
    const bool ok = within(obsVar, kNileObsVar) && within(levelVar, kNileLevelVar);
    std::printf("Nile, local level model (n = %d)\n", y.cols());
    std::printf("  observation variance %10.1f   (published %.1f)\n", obsVar, kNileObsVar);
    std::printf("  level variance       %10.1f   (published %.1f)\n", levelVar, kNileLevelVar);
    std::printf("  log-likelihood       %10.4f\n", ll);
    std::printf("  %s\n", ok ? "estimates agree with the published ones within 0.5%"
                             : "ESTIMATES DIFFER FROM THE PUBLISHED ONES BY MORE THAN 0.5%");

    double exactObs, exactLevel;
    const double exactLl = fitExact(host, y, &exactObs, &exactLevel);
    const bool exactOk = within(exactObs, kNileObsVar) && within(exactLevel, kNileLevelVar);
    std::printf("  the same model by the exact diffuse likelihood (IKalmanInitial, fKalmanExact):\n");
    std::printf("                        %12s %14s\n", "LdsLikConc", "exact diffuse");
    std::printf("  observation variance  %12.1f %14.1f\n", obsVar, exactObs);
    std::printf("  level variance        %12.1f %14.1f\n", levelVar, exactLevel);
    std::printf("  log-likelihood        %12.4f %14.4f\n", ll, exactLl);
    std::printf("  %s\n", exactOk ? "exact estimates agree with the published ones within 0.5%"
                                  : "EXACT ESTIMATES DIFFER FROM THE PUBLISHED ONES BY MORE THAN 0.5%");

    const kel::Value states = momentEst(host, 1, y, model);
    const kel::Value disturb = momentEst(host, 3, y, model);
    const std::string csv = outDir + "/nile_smoothed.csv";
    writeNileCsv(csv, y, model, states, disturb);
    std::printf("  smoothed level and disturbances written to %s\n", csv.c_str());
    const std::string weights = outDir + "/nile_weights.csv";
    writeNileWeights(host, weights, y, model);
    std::printf("  weights written to %s\n\n", weights.c_str());
    const std::string drawsCsv = outDir + "/nile_draws.csv";
    writeNileDraws(host, drawsCsv, y, model);
    std::printf("  smoothed level and %d conditional draws of it written to %s\n\n", kNileDraws,
                drawsCsv.c_str());
    return ok && exactOk;
}

void airline(kel::Host &host) {
    std::vector<double> passengers = readColumn("airline.csv", 2);
    for (double &v : passengers) v = std::log(v);
    const kel::Value y = kel::Value::row(passengers);
    Model model = buildStsm(host, {{double(STSM_LEVEL), 1.0, 0.0},
                                   {double(STSM_SLOPE), 1.0, 0.0},
                                   {double(STSM_SEAS_TRIG), 1.0, double(kAirlinePeriod)},
                                   {double(STSM_IRREG), 1.0, 0.0}});
    const double ll = fitRatios(host, y, model, {{0, 1}, {1, 1}, {2, kAirlinePeriod - 1}});
    std::printf("Airline passengers (logs), basic structural model (n = %d, m = %d)\n",
                y.cols(), model.m);
    std::printf("  level variance       %12.5e\n", componentVar(model, 0));
    std::printf("  slope variance       %12.5e\n", componentVar(model, 1));
    std::printf("  seasonal variance    %12.5e\n", componentVar(model, 2));
    std::printf("  irregular variance   %12.5e\n", componentVar(model, 3));
    std::printf("  log-likelihood       %12.4f\n", ll);
}

}  // namespace

int main(int argc, char **argv) {
    const std::string outDir = argc > 1 ? argv[1] : "out";
    try {
        std::filesystem::create_directories(outDir);
        kel::Host host;
        const int version = host.call("LdsVersion", {}).asInt();
        std::printf("Vantrel version %d.%02d\n", version / 100, version % 100);
        host.call("LdsAbout", {});
        for (const std::string &line : host.messages()) std::printf("%s\n", line.c_str());
        std::printf("\n");
        host.clearMessages();

        const bool ok = nile(host, outDir);
        airline(host);
        for (const std::string &line : host.messages())
            std::printf("warning: %s\n", line.c_str());
        return ok ? 0 : 1;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "demo: %s\n", e.what());
        return 1;
    }
}
