// Tests of the stand-in host itself: the call boundary, storage, argument
// checks and the matrix library, each against a plain dense computation.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <Eigen/Dense>
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "kelhost/kel.hpp"

namespace {

using Eigen::MatrixXd;

// Host storage holding a copy of an Eigen matrix, freed on destruction.
struct HostMat {
    double **p;
    int r, c;
    explicit HostMat(const MatrixXd &m) : r(int(m.rows())), c(int(m.cols())) {
        p = MatAllocBlock(r, c);
        for (int i = 0; i < r; ++i)
            for (int j = 0; j < c; ++j) p[i][j] = m(i, j);
    }
    HostMat(int rows, int cols) : p(MatAllocBlock(rows, cols)), r(rows), c(cols) {}
    ~HostMat() { MatFreeBlock(p); }
    MatrixXd eigen(int rows, int cols) const {
        MatrixXd m(rows, cols);
        for (int i = 0; i < rows; ++i)
            for (int j = 0; j < cols; ++j) m(i, j) = p[i][j];
        return m;
    }
};

MatrixXd randomMatrix(std::mt19937_64 &rng, int r, int c, double zeroShare = 0.0) {
    std::normal_distribution<double> n01;
    std::uniform_real_distribution<double> u01;
    MatrixXd m(r, c);
    for (int i = 0; i < r; ++i)
        for (int j = 0; j < c; ++j) m(i, j) = u01(rng) < zeroShare ? 0.0 : n01(rng);
    return m;
}

void expectClose(const MatrixXd &got, const MatrixXd &want, double rel, const char *what) {
    ASSERT_EQ(got.rows(), want.rows());
    ASSERT_EQ(got.cols(), want.cols());
    double scale = std::max(1.0, want.cwiseAbs().maxCoeff());
    for (int i = 0; i < got.rows(); ++i)
        for (int j = 0; j < got.cols(); ++j)
            EXPECT_NEAR(got(i, j), want(i, j), rel * scale)
                << what << " [" << i << "][" << j << "]";
}

const double kEps = std::numeric_limits<double>::epsilon();

// Host functions written for these tests.
void allocThenFail(KelVALUE *, KelVALUE *, int) {
    MatAllocBlock(3, 4);
    TabAllocPlain(2, 2, 4);
    MatAllocBlock(5, 0);
    KelRunErrorMessage("Test(): failing on purpose");
}

void allocThenMemoryError(KelVALUE *, KelVALUE *, int) {
    MatAllocBlock(2, 2);
    KelRunError(KEL_ERROR_MEMORY, nullptr);
}

void checkMatrixArgs(KelVALUE *rtn, KelVALUE *args, int count) {
    KelLibCheckMatrixSize(args, 0, count - 1, 1, 1);
    double s = 0;
    for (int i = 0; i < count; ++i) s += args[i].v.mval.data[0][0];
    rtn->type = KEL_DOUBLE;
    rtn->v.dval = s;
}

void checkReference(KelVALUE *, KelVALUE *args, int) {
    KelLibCheckType(KEL_REFERENCE, args, 0, 0);
    KelRunMessage("reference accepted");
    KelLibValMatMalloc(args[0].v.ref, 2, 3)[1][2] = 7.5;
}

}  // namespace

TEST(HostCall, ErrorsEndTheCallAndFreeTrackedStorage) {
    long before = kelhost_live_blocks();
    KelVALUE rtn;
    kelhost_int(&rtn, 0);
    char buf[64];
    EXPECT_EQ(kelhost_call(allocThenFail, &rtn, nullptr, 0, buf, sizeof buf), KELHOST_ERR_RUNTIME);
    EXPECT_STREQ(buf, "Test(): failing on purpose");
    EXPECT_EQ(kelhost_live_blocks(), before);

    EXPECT_EQ(kelhost_call(allocThenMemoryError, &rtn, nullptr, 0, buf, sizeof buf),
              KELHOST_ERR_MEMORY);
    EXPECT_EQ(kelhost_live_blocks(), before);

    // A short buffer truncates and terminates the text.
    char tiny[5];
    kelhost_call(allocThenFail, &rtn, nullptr, 0, tiny, sizeof tiny);
    EXPECT_STREQ(tiny, "Test");
    EXPECT_EQ(kelhost_call(nullptr, &rtn, nullptr, 0, buf, sizeof buf), KELHOST_ERR_ARGS);
}

TEST(HostCall, NumbersPassMatrixChecksAndAreRestored) {
    KelVALUE args[3], rtn;
    kelhost_int(&args[0], 2);
    kelhost_double(&args[1], 0.5);
    kelhost_matrix(&args[2], 1, 1)[0][0] = 4.0;
    kelhost_int(&rtn, 0);
    char buf[128];
    ASSERT_EQ(kelhost_call(checkMatrixArgs, &rtn, args, 3, buf, sizeof buf), 0) << buf;
    EXPECT_EQ(rtn.v.dval, 6.5);
    EXPECT_EQ(args[0].type, KEL_INT);
    EXPECT_EQ(args[0].v.ival, 2);
    EXPECT_EQ(args[1].type, KEL_DOUBLE);

    kelhost_free_value(&args[2]);
    kelhost_matrix(&args[2], 2, 1);
    EXPECT_EQ(kelhost_call(checkMatrixArgs, &rtn, args, 3, buf, sizeof buf), KELHOST_ERR_SIZE);
    EXPECT_STREQ(buf, "argument 3: 1 x 1 matrix expected, 2 x 1 found");
    EXPECT_EQ(args[0].type, KEL_INT);  // restored after the error too
    kelhost_free_value(&args[2]);
}

TEST(HostCall, ReferencesAndMessages) {
    std::vector<std::string> seen;
    kelhost_set_message_sink(
        [](const char *t, void *c) { static_cast<std::vector<std::string> *>(c)->push_back(t); },
        &seen);
    KelVALUE target, arg, rtn;
    kelhost_int(&target, 0);
    kelhost_ref(&arg, &target);
    kelhost_int(&rtn, 0);
    char buf[128];
    ASSERT_EQ(kelhost_call(checkReference, &rtn, &arg, 1, buf, sizeof buf), 0) << buf;
    ASSERT_EQ(target.type, KEL_MATRIX);
    EXPECT_EQ(target.v.mval.rows, 2);
    EXPECT_EQ(target.v.mval.data[1][2], 7.5);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0], "reference accepted");

    EXPECT_EQ(kelhost_call(checkReference, &rtn, &target, 1, buf, sizeof buf), KELHOST_ERR_TYPE);
    EXPECT_STREQ(buf, "argument 1: reference expected, matrix found");
    kelhost_set_message_sink(nullptr, nullptr);
    kelhost_free_value(&target);
}

// References a Kel program cannot build are refused before the function
// runs; the function never sees them.
TEST(HostCall, RefusesReferencesNoKelProgramCanBuild) {
    KelVALUE target, inner, args[3], rtn;
    kelhost_int(&target, 0);
    kelhost_ref(&inner, &target);
    kelhost_int(&rtn, 0);
    char buf[128];
    struct Case {
        KelVALUE *to;
        const char *text;
    };
    for (const Case &c : {Case{&inner, "kelhost_call: argument 2 refers to a reference"},
                          Case{&args[0], "kelhost_call: argument 2 refers to an argument of the same call"},
                          Case{&args[1], "kelhost_call: argument 2 refers to a reference"},
                          Case{&rtn, "kelhost_call: argument 2 refers to the return record"},
                          Case{nullptr, "kelhost_call: argument 2 refers to nothing"}}) {
        kelhost_double(&args[0], 1.5);
        kelhost_ref(&args[1], c.to);
        kelhost_ref(&args[2], &target);
        EXPECT_EQ(kelhost_call(checkReference, &rtn, args, 3, buf, sizeof buf), KELHOST_ERR_ARGS);
        EXPECT_STREQ(buf, c.text);
        EXPECT_EQ(target.type, KEL_INT);  // checkReference never ran
    }
    // Switched off (for tests of the library's own checks) the call goes on.
    kelhost_check_references(0);
    kelhost_ref(&args[0], &args[2]);
    kelhost_int(&args[2], 0);
    EXPECT_EQ(kelhost_call(checkReference, &rtn, args, 3, buf, sizeof buf), 0) << buf;
    kelhost_check_references(1);
    EXPECT_EQ(args[2].type, KEL_MATRIX);
    kelhost_free_value(&args[2]);
}

TEST(HostCall, AssignedArgumentsPassTheirOwnCopyOfAValue) {
    // The source dies and its storage is taken by another argument: the
    // assigned one must still pass 2.5.
    kel::Arg a(7);
    auto b = std::make_unique<kel::Arg>(2.5);
    a = *b;
    b.reset();
    auto c = std::make_unique<kel::Arg>(9.5);
    KelVALUE slot;
    a.fill(&slot);
    EXPECT_EQ(slot.type, KEL_DOUBLE);
    EXPECT_EQ(slot.v.dval, 2.5);
    kel::Value v(3.0);
    a = kel::ref(v);
    a.fill(&slot);
    EXPECT_EQ(slot.type & KEL_TAG_MASK, KEL_REFERENCE);
}

TEST(HostStorage, SizesAndFailures) {
    long before = kelhost_live_blocks();
    EXPECT_EQ(MatAllocBlock(-1, 2), nullptr);
    EXPECT_EQ(MatAllocBlock(INT_MAX, INT_MAX), nullptr);
    EXPECT_EQ(TabAllocPlain(INT_MAX, 8, 4), nullptr);
    double **view = MatAllocBlock(4, 0);
    ASSERT_NE(view, nullptr);
    HostMat m(4, 3);
    for (int i = 0; i < 4; ++i) view[i] = m.p[i] + 1;  // a view of columns 1..2
    view[3][1] = 9.0;
    EXPECT_EQ(m.p[3][2], 9.0);
    EXPECT_EQ(kelhost_live_blocks(), before + 2);
    MatFreeBlock(view);

    int **t = reinterpret_cast<int **>(TabAllocPlain(3, 5, 4));
    ASSERT_NE(t, nullptr);
    t[2][4] = -7;
    EXPECT_EQ(t[0][0], 0);
    TabFreePlain(reinterpret_cast<void **>(t), 3, 5);

    kelhost_fail_allocations_after(1);
    double **ok = MatAllocBlock(2, 2);
    EXPECT_NE(ok, nullptr);
    EXPECT_EQ(MatAllocBlock(2, 2), nullptr);
    EXPECT_EQ(TabAllocPlain(2, 2, 4), nullptr);
    kelhost_fail_allocations_after(-1);
    MatFreeBlock(ok);
    EXPECT_EQ(kelhost_live_blocks(), before + 1);  // m is still alive
}

TEST(HostStorage, LongRowsAreSpreadOverTheCache) {
    // Rows of 1024 doubles (two pages) would start in the same cache set;
    // they are spaced an odd number of cache lines apart instead, and every
    // entry still belongs to its own row.
    const int rows = 5, cols = 1024;
    double **m = MatAllocBlock(rows, cols);
    ASSERT_NE(m, nullptr);
    for (int i = 0; i + 1 < rows; ++i) {
        std::ptrdiff_t bytes = (m[i + 1] - m[i]) * std::ptrdiff_t(sizeof(double));
        EXPECT_GE(bytes, std::ptrdiff_t(cols * sizeof(double)));
        EXPECT_EQ(bytes % 128, 64) << "row " << i;
    }
    for (int i = 0; i < rows; ++i)
        for (int j = 0; j < cols; ++j) {
            ASSERT_EQ(m[i][j], 0.0);
            m[i][j] = i * cols + j;
        }
    for (int i = 0; i < rows; ++i)
        for (int j = 0; j < cols; ++j) ASSERT_EQ(m[i][j], double(i * cols + j));
    MatFreeBlock(m);
    double **small = MatAllocBlock(3, 4);
    EXPECT_EQ(small[1] - small[0], 4);  // short rows stay packed
    MatFreeBlock(small);
}

long minorFaults() {
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt;
}

// Minor page faults of rounds 1.. of allocating blocks of the given row
// counts and n columns, writing every element (checking that each block
// arrives zeroed) and freeing them; round 0 only warms up.
long faultsOfRounds(std::initializer_list<int> rows, int n, int rounds)
{
    long faults = 0;
    for (int round = 0; round < rounds; ++round) {
        const long before = minorFaults();
        std::vector<double **> blocks;
        for (int r : rows) {
            double **b = MatAllocBlock(r, n);
            EXPECT_NE(b, nullptr);
            if (!b) return -1;
            for (int i = 0; i < r; ++i) {
                EXPECT_EQ(b[i][n - 1], 0.0);
                for (int t = 0; t < n; ++t) b[i][t] = i + t;
            }
            blocks.push_back(b);
        }
        for (double **b : blocks) MatFreeBlock(b);
        if (round > 0) faults += minorFaults() - before;
    }
    return faults;
}

TEST(HostStorage, FreedBlocksAreReusedWithoutPageFaults) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's allocator keeps its own pools";
#endif
    // The blocks one moment estimation of a model with 8 states and 4 series
    // on 20000 time points allocates and frees (filter store, covariances,
    // moments).  The allocator's defaults would give them back to the
    // system on every round, and each round would fault in all of their
    // pages again; a program that calls the library in loops asks the host
    // to keep them.
#if defined(__GLIBC__)
    ASSERT_EQ(kelhost_keep_freed_blocks(), 1);
#endif
    const long pages = (long(46 + 28 + 24) * 20000 * long(sizeof(double))) / 4096;
    EXPECT_LT(faultsOfRounds({46, 28, 24}, 20000, 4), pages / 20)
        << "of " << pages << " pages per round, over three rounds";
}

TEST(HostStorage, LargeFreedBlocksAreKeptByTheHost) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's allocator keeps its own pools";
#endif
    // Blocks above what any C library setting keeps (64 MB, 40 MB): the
    // host holds them itself, so a second round of the same sizes takes no
    // page faults, hands out zeroed storage, and a smaller request does not
    // take a block far larger than it needs.
    const int n = 100000;
    const long pages = (long(80 + 50) * n * long(sizeof(double))) / 4096;
    EXPECT_LT(faultsOfRounds({80, 50}, n, 3), pages / 20)
        << "of " << pages << " pages per round, over two rounds";
    // A block of 10 rows must not be served from the kept 50-row one.
    double **small = MatAllocBlock(10, n);
    const long before = minorFaults();
    double **mid = MatAllocBlock(50, n);
    EXPECT_LT(minorFaults() - before, 50L * n * 8 / 4096 / 20);
    MatFreeBlock(small);
    MatFreeBlock(mid);
    kelhost_release_kept_blocks();
}

TEST(HostMatrix, ProductsMatchDenseFormulas) {
    std::mt19937_64 rng(7);
    for (int trial = 0; trial < 20; ++trial) {
        int r = 1 + trial % 6, c = 1 + (trial * 5) % 7;
        MatrixXd B = randomMatrix(rng, r, c, 0.4);
        MatrixXd S0 = randomMatrix(rng, std::max(r, c), std::max(r, c));
        MatrixXd S = S0 * S0.transpose();
        HostMat hB(B), hS(S), out(std::max(r, c), std::max(r, c));
        double tol = 8 * c * kEps * (1 + S.cwiseAbs().maxCoeff());

        MatBSBt(hB.p, r, hS.p, c, out.p);
        MatrixXd Sc = S.topLeftCorner(c, c);
        expectClose(out.eigen(r, r), B * Sc * B.transpose(), tol * 4, "B S B'");

        MatBtSB(hB.p, r, hS.p, c, out.p);
        MatrixXd Sr = S.topLeftCorner(r, r);
        expectClose(out.eigen(c, c), B.transpose() * Sr * B, tol * 4, "B' S B");

        MatrixXd A = randomMatrix(rng, r, c, 0.3), C = randomMatrix(rng, c, r);
        HostMat hA(A), hC(C), prod(r, r), sum(r, c);
        MatAB(hA.p, r, c, hC.p, r, prod.p);
        expectClose(prod.eigen(r, r), A * C, tol, "A C");
        MatAdd(hA.p, r, c, hB.p, 1.0, sum.p);
        expectClose(sum.eigen(r, c), A + B, 0.0, "A + B");
        MatAdd(hA.p, r, c, hB.p, 2.5, sum.p);
        expectClose(sum.eigen(r, c), A + 2.5 * B, 0.0, "A + 2.5 B");
    }
    // Square sums of every size the small path compiles and one past it,
    // into a third matrix and in place over either operand.
    for (int n = 1; n <= 5; ++n) {
        MatrixXd A = randomMatrix(rng, n, n), B = randomMatrix(rng, n, n);
        HostMat hA(A), hB(B), sum(n, n);
        MatAdd(hA.p, n, n, hB.p, 1.0, sum.p);
        expectClose(sum.eigen(n, n), A + B, 0.0, "square A + B");
        MatAdd(hA.p, n, n, hB.p, 1.0, hA.p);
        expectClose(hA.eigen(n, n), A + B, 0.0, "square A + B into A");
        MatAdd(hA.p, n, n, hB.p, 1.0, hB.p);
        expectClose(hB.eigen(n, n), A + B + B, 0.0, "square (A + B) + B into B");
    }
    HostMat id(3, 3);
    MatI(id.p, 3);
    expectClose(id.eigen(3, 3), MatrixXd::Identity(3, 3), 0.0, "I");
    MatZero(id.p, 3, 3);
    expectClose(id.eigen(3, 3), MatrixXd::Zero(3, 3), 0.0, "0");
}

// Rows as separate heap blocks of exactly their length, so that the address
// sanitizer sees any access past the end of a row.
struct SeparateRows {
    std::vector<std::vector<double>> rows;
    std::vector<double *> p;
    SeparateRows(const MatrixXd &m, int cols) : rows(m.rows()), p(m.rows()) {
        for (int i = 0; i < int(m.rows()); ++i) {
            rows[i].assign(std::size_t(cols), kUntouched);
            for (int j = 0; j < int(m.cols()); ++j) rows[i][j] = m(i, j);
            p[i] = rows[i].data();
        }
    }
    static constexpr double kUntouched = -12345.0;
};

TEST(HostMatrix, SymmetricProductsOfEveryShapeAndPattern) {
    // Shapes across several blocks of four in both directions, outer factors
    // from all zeros through sparse to dense, with rows of exact length; the
    // result must be exactly symmetric and leave its other entries alone.
    std::mt19937_64 rng(21);
    const double shares[] = {1.0, 0.85, 0.5, 0.0};
    for (int r = 1; r <= 19; r += 3)
        for (int c = 1; c <= 17; c += 2)
            for (double share : shares) {
                MatrixXd B = randomMatrix(rng, r, c, share);
                MatrixXd G = randomMatrix(rng, c, c);
                MatrixXd S = G * G.transpose();
                SeparateRows hB(B, c), hS(S, c), out(MatrixXd::Zero(r + 1, 0), r + 2);
                MatBSBt(hB.p.data(), r, hS.p.data(), c, out.p.data());
                MatrixXd want = B * S * B.transpose(), got(r, r);
                for (int i = 0; i < r; ++i)
                    for (int j = 0; j < r; ++j) {
                        got(i, j) = out.p[i][j];
                        ASSERT_EQ(out.p[i][j], out.p[j][i]) << r << "x" << c << " at " << i << "," << j;
                    }
                double tol = 8 * c * kEps * (1 + B.cwiseAbs().maxCoeff() * B.cwiseAbs().maxCoeff() *
                                                     S.cwiseAbs().maxCoeff());
                expectClose(got, want, tol, "B S B' by rows");
                for (int i = 0; i <= r; ++i)
                    for (int j = (i < r ? r : 0); j < r + 2; ++j)
                        ASSERT_EQ(out.p[i][j], SeparateRows::kUntouched) << "entry " << i << "," << j;

                MatrixXd H = randomMatrix(rng, r, r);
                MatrixXd Sr = H * H.transpose();
                SeparateRows hSr(Sr, r);
                SeparateRows outT(MatrixXd::Zero(c, 0), c);
                MatBtSB(hB.p.data(), r, hSr.p.data(), c, outT.p.data());
                MatrixXd gotT(c, c);
                for (int i = 0; i < c; ++i)
                    for (int j = 0; j < c; ++j) gotT(i, j) = outT.p[i][j];
                double tolT = 8 * r * kEps * (1 + B.cwiseAbs().maxCoeff() * B.cwiseAbs().maxCoeff() *
                                                      Sr.cwiseAbs().maxCoeff());
                expectClose(gotT, B.transpose() * Sr * B, tolT, "B' S B by rows");
            }
}

TEST(HostMatrix, ZeroEntriesOfTheOuterFactorAreLeftOut) {
    // A zero row of B contributes nothing, even against an infinite S
    // (0 * inf would be NaN): one column, the small and the blocked path
    // alike.
    const double inf = std::numeric_limits<double>::infinity();
    for (int c : {1, 2, 6}) {
        const int r = 6;
        MatrixXd B = MatrixXd::Zero(r, c), S = MatrixXd::Identity(c, c);
        S(0, 0) = inf;
        for (int i = 1; i < r; i += 2) B(i, 0) = 1.0;   // rows 0, 2, 4 stay zero
        for (int rows : {2, r}) {
            SeparateRows hB(B.topRows(rows), c), hS(S, c), out(MatrixXd::Zero(rows, 0), rows);
            MatBSBt(hB.p.data(), rows, hS.p.data(), c, out.p.data());
            for (int i = 0; i < rows; ++i)
                for (int j = 0; j < rows; ++j) {
                    double want = (i % 2 == 1 && j % 2 == 1) ? inf : 0.0;
                    EXPECT_EQ(out.p[i][j], want) << "c = " << c << ", " << rows << " rows, at " << i << "," << j;
                }
        }
    }
}

TEST(HostMatrix, OneStateProductsAreTheHostsSumsToTheBit) {
    // One state: element (i, j), i <= j, of B S B' is 0.0 + (b_i s) b_j,
    // exact +0 where b_i or b_j is zero, and (j, i) is the same double.
    // Entries of exactly one are where a shortcut could go wrong (the sign
    // of -1, the 0.0 that turns -0 into +0, a NaN's payload), so they stand
    // beside general ones.  Every row count up to six, the first four
    // compiled for their count.
    const double b[] = {1.0, 2.5, -0.75, 0.0, -1.0, 1.0};
    const double nan = std::nan("7"), inf = std::numeric_limits<double>::infinity();
    for (int r = 1; r <= 6; ++r)
    for (double s : {0.37, -0.0, 0.0, nan, -inf, 1e308}) {
        MatrixXd B(r, 1), S(1, 1);
        for (int i = 0; i < r; ++i) B(i, 0) = b[i];
        S(0, 0) = s;
        SeparateRows hB(B, 1), hS(S, 1), out(MatrixXd::Zero(r, 0), r);
        MatBSBt(hB.p.data(), r, hS.p.data(), 1, out.p.data());
        for (int i = 0; i < r; ++i)
            for (int j = 0; j < r; ++j) {
                const double lo = b[std::min(i, j)], hi = b[std::max(i, j)];
                const double want = lo == 0.0 || hi == 0.0 ? 0.0 : 0.0 + (lo * s) * hi;
                EXPECT_EQ(std::memcmp(&out.p[i][j], &want, sizeof want), 0)
                    << r << " rows, s = " << s << " at " << i << "," << j << ": " << out.p[i][j]
                    << " vs " << want;
            }
    }
}

TEST(HostMatrix, DiagonalOuterFactors) {
    // A square outer factor with entries only on its diagonal (some of them
    // zero, one of those -0.0) takes a path of its own: b_i S_ij b_j, exactly
    // symmetric, with rows and columns of a zero b_i exactly 0 even against
    // an infinite S.  One entry off the diagonal sends the same factor down
    // the general path, which must agree.
    const double inf = std::numeric_limits<double>::infinity();
    std::mt19937_64 rng(33);
    std::uniform_real_distribution<double> u(-2.0, 2.0);
    for (int r : {1, 3, 5, 8, 13, 14, 16, 17, 19}) {
        MatrixXd B = MatrixXd::Zero(r, r);
        for (int i = 0; i < r; ++i) B(i, i) = i % 3 == 1 ? 0.0 : u(rng);
        if (r > 4) B(4, 4) = -0.0;
        MatrixXd G = randomMatrix(rng, r, r);
        MatrixXd S = G * G.transpose();
        // Row and column 1 of B are zero.
        if (r > 1) S(1, 1) = S(0, 1) = S(1, 0) = S(1, r - 1) = S(r - 1, 1) = inf;
        for (bool offDiagonal : {false, true}) {
            MatrixXd Bx = B;
            if (offDiagonal) Bx(0, r - 1) += 0.5;
            MatrixXd Sf = S;
            if (r > 1)   // the dense reference without inf
                Sf(1, 1) = Sf(0, 1) = Sf(1, 0) = Sf(1, r - 1) = Sf(r - 1, 1) = 0.0;
            const MatrixXd want = Bx * Sf * Bx.transpose(), wantT = Bx.transpose() * Sf * Bx;
            SeparateRows hB(Bx, r), hS(S, r), out(MatrixXd::Zero(r + 1, 0), r + 2),
                outT(MatrixXd::Zero(r, 0), r);
            MatBSBt(hB.p.data(), r, hS.p.data(), r, out.p.data());
            MatBtSB(hB.p.data(), r, hS.p.data(), r, outT.p.data());
            MatrixXd got(r, r), gotT(r, r);
            for (int i = 0; i < r; ++i)
                for (int j = 0; j < r; ++j) {
                    got(i, j) = out.p[i][j];
                    gotT(i, j) = outT.p[i][j];
                    ASSERT_EQ(out.p[i][j], out.p[j][i]) << r << " at " << i << "," << j;
                    ASSERT_EQ(outT.p[i][j], outT.p[j][i]) << r << " at " << i << "," << j;
                    if (!offDiagonal && (B(i, i) == 0.0 || B(j, j) == 0.0)) {
                        ASSERT_EQ(got(i, j), 0.0) << r << " at " << i << "," << j;
                        ASSERT_FALSE(std::signbit(got(i, j))) << r << " at " << i << "," << j;
                    }
                }
            // |b| < 2, so each element is within a few roundings of its size.
            const double tol = 32 * r * kEps;
            const std::string what = std::string(offDiagonal ? "general" : "diagonal") + " r=" + std::to_string(r);
            expectClose(got, want, tol, ("B S B' " + what).c_str());
            expectClose(gotT, wantT, tol, ("B' S B " + what).c_str());
            for (int i = 0; i <= r; ++i)
                for (int j = (i < r ? r : 0); j < r + 2; ++j)
                    ASSERT_EQ(out.p[i][j], SeparateRows::kUntouched) << "entry " << i << "," << j;
        }
    }
}

TEST(HostMatrix, ProductsFollowChangesOfTheOuterFactorInPlace) {
    // The products remember the zero pattern (and for B' S B the transpose)
    // of recent outer factors; a factor changed in place (an entry switched
    // on or off), more distinct factors in turn than are remembered, a
    // square factor used both ways and a factor too large to be remembered
    // must all still give B S B' and B' S B of the factor as it stands.
    std::mt19937_64 rng(33);
    auto check = [&](SeparateRows &hB, const MatrixXd &B, SeparateRows &hS, const MatrixXd &S,
                     const char *what) {
        const int r = int(B.rows()), c = int(B.cols());
        const double scale = 1 + B.cwiseAbs().maxCoeff() * B.cwiseAbs().maxCoeff() * S.cwiseAbs().maxCoeff();
        SeparateRows out(MatrixXd::Zero(r, 0), r);
        MatBSBt(hB.p.data(), r, hS.p.data(), c, out.p.data());
        MatrixXd got(r, r);
        for (int i = 0; i < r; ++i)
            for (int j = 0; j < r; ++j) got(i, j) = out.p[i][j];
        expectClose(got, B * S.topLeftCorner(c, c) * B.transpose(), 8 * c * kEps * scale, what);
        if (S.rows() < r) return;
        SeparateRows outT(MatrixXd::Zero(c, 0), c);
        MatBtSB(hB.p.data(), r, hS.p.data(), c, outT.p.data());
        MatrixXd gotT(c, c);
        for (int i = 0; i < c; ++i)
            for (int j = 0; j < c; ++j) gotT(i, j) = outT.p[i][j];
        expectClose(gotT, B.transpose() * S.topLeftCorner(r, r) * B, 8 * r * kEps * scale, what);
    };
    const int r = 9, c = 7;
    MatrixXd G = randomMatrix(rng, r, r), S = G * G.transpose();
    SeparateRows hS(S, r);
    MatrixXd B = randomMatrix(rng, r, c, 0.7);
    SeparateRows hB(B, c);
    check(hB, B, hS, S, "first call");
    for (int step = 0; step < 12; ++step) {
        int i = int(rng() % r), j = int(rng() % c);
        B(i, j) = B(i, j) == 0.0 ? 1.5 + step : 0.0;
        hB.p[i][j] = B(i, j);
        check(hB, B, hS, S, "entry switched in place");
    }
    hB.p[0][0] = B(0, 0) = -0.0;   // zero with the sign bit set
    check(hB, B, hS, S, "negative zero");

    std::vector<MatrixXd> factors;
    std::vector<SeparateRows> stores;
    for (int k = 0; k < 6; ++k) {
        factors.push_back(randomMatrix(rng, r, c, 0.2 * (k % 4)));
        stores.emplace_back(factors.back(), c);
    }
    for (int round = 0; round < 3; ++round)
        for (int k = 0; k < 6; ++k) check(stores[k], factors[k], hS, S, "factors in turn");

    MatrixXd Q = randomMatrix(rng, r, r, 0.6);   // square: the same bits taken both ways
    SeparateRows hQ(Q, r);
    for (int round = 0; round < 2; ++round) check(hQ, Q, hS, S, "square factor");
    hQ.p[2][7] = Q(2, 7) = Q(2, 7) == 0.0 ? -3.0 : 0.0;
    check(hQ, Q, hS, S, "square factor changed");

    const int big = 70;   // 70 x 70 outer factor: scanned afresh each time
    MatrixXd Gb = randomMatrix(rng, big, big), Sb = Gb * Gb.transpose();
    MatrixXd Bb = randomMatrix(rng, big, big, 0.9);
    SeparateRows hSb(Sb, big), hBb(Bb, big);
    check(hBb, Bb, hSb, Sb, "large factor");
    hBb.p[3][5] = Bb(3, 5) = Bb(3, 5) == 0.0 ? 2.0 : 0.0;
    check(hBb, Bb, hSb, Sb, "large factor changed");
}

TEST(HostMatrix, InversionOfGeneralAndSingularMatrices) {
    std::mt19937_64 rng(11);
    for (int n = 1; n <= 10; ++n) {
        MatrixXd A = randomMatrix(rng, n, n);  // general, not symmetric
        HostMat h(A);
        double logdet = 0;
        int nonsingular = -1;
        ASSERT_EQ(IInvDet(h.p, n, &logdet, &nonsingular), 0);
        EXPECT_EQ(nonsingular, 1);
        MatrixXd inv = A.inverse();
        double cond = A.norm() * inv.norm();
        expectClose(h.eigen(n, n), inv, 50 * n * kEps * cond, "inverse");
        EXPECT_NEAR(logdet, std::log(std::fabs(A.determinant())), 50 * n * kEps * cond);
    }
    // Exactly and numerically singular matrices are reported, not inverted.
    MatrixXd S(3, 3);
    S << 1, 2, 3, 2, 4, 6, 1, 0, 1;
    HostMat hs(S);
    double ld;
    int ns = -1;
    EXPECT_NE(IInvDet(hs.p, 3, &ld, &ns), 0);
    EXPECT_EQ(ns, 0);
    MatrixXd near = MatrixXd::Ones(2, 2) * 1e8;
    near(1, 1) += 1e-9;  // below n * eps relative to the entries
    HostMat hn(near);
    EXPECT_NE(IInvDet(hn.p, 2, &ld, &ns), 0);
    MatrixXd zero = MatrixXd::Zero(2, 2);
    HostMat hz(zero);
    EXPECT_NE(IInvDet(hz.p, 2, &ld, &ns), 0);
}

TEST(HostMatrix, LdlDecompositionAndRank) {
    std::mt19937_64 rng(5);
    for (int n = 1; n <= 6; ++n) {
        MatrixXd G = randomMatrix(rng, n, n);
        MatrixXd A = G * G.transpose() + MatrixXd::Identity(n, n);
        HostMat h(A);
        std::vector<double> d(static_cast<std::size_t>(n));
        ASSERT_EQ(ILDLdec(h.p, d.data(), n), 0);
        MatrixXd L = MatrixXd::Identity(n, n), D = MatrixXd::Zero(n, n);
        for (int i = 0; i < n; ++i) {
            D(i, i) = 1.0 / d[std::size_t(i)];
            for (int j = 0; j < i; ++j) L(i, j) = h.p[i][j];
        }
        expectClose(L * D * L.transpose(), A, 100 * n * kEps, "L diag(1/d) L'");
    }
    MatrixXd indefinite(2, 2);
    indefinite << 1, 2, 2, 1;
    HostMat hi(indefinite);
    double d2[2];
    EXPECT_NE(ILDLdec(hi.p, d2, 2), 0);

    for (int rank = 0; rank <= 4; ++rank) {
        MatrixXd A = randomMatrix(rng, 6, rank) * randomMatrix(rng, rank, 4);
        if (rank == 0) A = MatrixXd::Zero(6, 4);
        HostMat h(A);
        EXPECT_EQ(IMatRank(h.p, 6, 4, 0, 1e-5), rank);
        HostMat ht(MatrixXd(A.transpose()));
        EXPECT_EQ(IMatRank(ht.p, 4, 6, 0, 1e-5), rank);
    }
}

TEST(HostRandom, SeededDrawsAreReproducibleAndStandardNormal) {
    kelhost_seed(42);
    std::vector<double> first;
    for (int i = 0; i < 5; ++i) first.push_back(DRanNormalPM());
    kelhost_seed(42);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(DRanNormalPM(), first[std::size_t(i)]);
    kelhost_seed(43);
    EXPECT_NE(DRanNormalPM(), first[0]);

    const int n = 200000;
    HostMat m(400, 500);
    kelhost_seed(1);
    MatRann(m.p, 400, 500);
    double s = 0, s2 = 0, s4 = 0;
    for (int i = 0; i < 400; ++i)
        for (int j = 0; j < 500; ++j) {
            double x = m.p[i][j];
            s += x;
            s2 += x * x;
            s4 += x * x * x * x;
        }
    // Five standard errors of each sample moment.
    EXPECT_NEAR(s / n, 0.0, 5 * std::sqrt(1.0 / n));
    EXPECT_NEAR(s2 / n, 1.0, 5 * std::sqrt(2.0 / n));
    EXPECT_NEAR(s4 / n, 3.0, 5 * std::sqrt(96.0 / n));
}

TEST(HostLoader, OpensTheLibraryAndFindsEntryPoints) {
    kel::Host host;
    EXPECT_NE(host.function("LdsVersion"), nullptr);
    EXPECT_THROW(host.function("NoSuchFunction"), std::runtime_error);
    EXPECT_EQ(kelhost_open("/nonexistent/libvantrel.so"), nullptr);
    EXPECT_NE(std::string(kelhost_last_error()), "");
}
