// The transition pattern products against dense products.
#include <random>

#include "exact_fixture.hpp"

namespace {

using dense::Mat;
using dense::Vec;

TEST(TransitionPattern, ProductsMatchDense)
{
    std::mt19937_64 rng(61);
    std::normal_distribution<double> g;
    const int m = 5;
    Mat T(m, m);
    for (int i = 0; i < m; i++)
        for (int j = 0; j < m; j++) {
            const int kind = (i * 7 + j * 3) % 4;  // 0, +1, -1 and other entries
            T(i, j) = kind == 0 ? 0.0 : kind == 1 ? 1.0 : kind == 2 ? -1.0 : g(rng);
        }
    Mat L(m, m);
    for (int i = 0; i < m; i++)
        for (int j = 0; j < m; j++)
            L(i, j) = g(rng);
    Mat P = L * L.transpose(), Q = Mat::Identity(m, m) * 0.5;
    Vec a(m);
    for (int i = 0; i < m; i++)
        a(i) = g(rng);

    dense::Rows Tr(T);
    // T(0, 0) varies over time: listed with the entries read from T.
    ex::Triples triples([&] {
        dense::TimeVarying tv;
        tv.idxSys = Eigen::MatrixXi::Constant(m + 1, m, -1);
        tv.idxSys(0, 0) = 0;
        return tv;
    }());
    ex::Pattern pat(m, m, Tr.p(), triples.p());
    EXPECT_EQ(pat.rows[4][0], 7);  // six random entries and the varying T(0, 0)
    int listed = 0;
    for (int i = 0; i < m; i++)
        for (int j = 0; j < m; j++)
            listed += T(i, j) != 0.0 || (i == 0 && j == 0);
    EXPECT_EQ(pat.rows[0][0] + pat.rows[2][0] + pat.rows[4][0], listed);

    for (int **p : {pat.p(), static_cast<int **>(nullptr)}) {
        std::vector<double> out(m);
        MatTa(m, p, Tr.p(), a.data(), out.data());
        EXPECT_TRUE(dense::near(Eigen::Map<Vec>(out.data(), m), T * a, 1e-14));
        MatTta(m, p, Tr.p(), a.data(), out.data());
        EXPECT_TRUE(dense::near(Eigen::Map<Vec>(out.data(), m), T.transpose() * a, 1e-14));

        dense::Rows Pr(P), work(m, m), res(Q);
        MatTPTt(m, m, p, Tr.p(), Pr.p(), work.p(), res.p());
        EXPECT_TRUE(dense::near(res.toMat(), Q + T * P * T.transpose(), 1e-13));
        MatTPTt(m, m, p, Tr.p(), Pr.p(), work.p(), Pr.p());
        EXPECT_TRUE(dense::near(Pr.toMat(), T * P * T.transpose(), 1e-13));

        dense::Rows Pr2(P), res2(Q);
        MatTtPT(m, m, p, Tr.p(), Pr2.p(), work.p(), res2.p());
        EXPECT_TRUE(dense::near(res2.toMat(), Q + T.transpose() * P * T, 1e-13));
        MatTtPT(m, m, p, Tr.p(), Pr2.p(), work.p(), Pr2.p());
        EXPECT_TRUE(dense::near(Pr2.toMat(), T.transpose() * P * T, 1e-13));
    }

    // An empty pattern is the zero matrix.
    std::vector<std::vector<int>> none(6, std::vector<int>(1, 0));
    std::vector<int *> nonePtr;
    for (auto &r : none)
        nonePtr.push_back(r.data());
    std::vector<double> out(m, 9.0);
    MatTa(m, nonePtr.data(), Tr.p(), a.data(), out.data());
    EXPECT_TRUE(dense::near(Eigen::Map<Vec>(out.data(), m), Vec::Zero(m), 0.0));
}

}  // namespace
