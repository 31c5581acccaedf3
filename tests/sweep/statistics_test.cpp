#include "sweep/statistics.hpp"

#include "support/expect_throws.hpp"
#include "support/golden.hpp"
#include "sweep/declaration.hpp"

#include <cmath>
#include <limits>
#include <vector>

using namespace Core::Kvrn;

// The reference rows hold the printed 0.975 table (nu = 1 ... 1000) with its
// large-nu limit, the median, both tails at nu = 10 and fractional nu.
TEST(StudentT, QuantilesMatchReferenceBitForBit) {
    const auto rows = Testing::readTsv(Testing::dataPath("golden/student-t.tsv"));
    ASSERT_FALSE(rows.empty());
    for (const auto& row : rows) {
        const double p = std::stod(row[0]);
        const double nu = std::stod(row[1]);
        EXPECT_EQ(Testing::bitsOf(studentTQuantile(p, nu)), Testing::hexBits(row[2]))
            << "p=" << p << " nu=" << nu;
    }
}

TEST(StudentT, DistributionAndBetaEdges) {
    EXPECT_EQ(studentTCdf(0, 3), 0.5);
    EXPECT_NEAR(studentTCdf(-2, 5) + studentTCdf(2, 5), 1.0, 1e-15);
    EXPECT_EQ(incompleteBeta(2, 3, 0), 0.0);
    EXPECT_EQ(incompleteBeta(2, 3, -1), 0.0);
    EXPECT_EQ(incompleteBeta(2, 3, 1), 1.0);
    // I_x(1, 1) = x, and both branches of the symmetry are taken across x = 0.5.
    EXPECT_NEAR(incompleteBeta(1, 1, 0.3), 0.3, 1e-15);
    EXPECT_NEAR(incompleteBeta(1, 1, 0.8), 0.8, 1e-15);
    // I_x(a, 1) = x^a.
    EXPECT_NEAR(incompleteBeta(3, 1, 0.5), 0.125, 1e-15);
    // Far beyond the bracket the quantile sits at its edge.
    EXPECT_EQ(studentTQuantile(1e-12, 0.05), -10000.0);
}

TEST(StudentT, RefusesBadArgumentsProbabilityFirst) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (double p : {0.0, 1.0, nan})
        EXPECT_THROW_MSG(studentTQuantile(p, 0), InvalidSweep, "a quantile probability must lie in (0, 1)");
    for (double nu : {0.0, -1.0, nan})
        EXPECT_THROW_MSG(studentTQuantile(0.5, nu), InvalidSweep,
                         "Student's t needs positive degrees of freedom");
}

TEST(Summary, MeanVarianceAndStudentInterval) {
    const std::vector<double> sample{2, 4, 4, 4, 5, 5, 7, 9};
    const SampleSummary s = summarize(sample, 0.95);
    EXPECT_EQ(s.count, 8u);
    EXPECT_EQ(s.level, 0.95);
    EXPECT_NEAR(s.mean, 5, 1e-12);
    EXPECT_NEAR(s.variance, 32.0 / 7.0, 1e-12);
    EXPECT_NEAR(s.standardError, std::sqrt(4.0 / 7.0), 1e-12);
    const double h = studentTQuantile(0.975, 7) * s.standardError;
    EXPECT_NEAR(s.lower, 5 - h, 1e-12);
    EXPECT_NEAR(s.upper, 5 + h, 1e-12);
    // A level of 0.9 uses the 0.95 quantile: a narrower interval.
    const SampleSummary narrow = summarize(sample, 0.9);
    EXPECT_NEAR(narrow.upper - narrow.mean, studentTQuantile(0.95, 7) * s.standardError, 1e-12);
}

TEST(Summary, OneValueHasNoSpreadAndEmptyOrBadLevelIsRefused) {
    const std::vector<double> one{3};
    const SampleSummary s = summarize(one, 0.95);
    EXPECT_EQ(s.count, 1u);
    EXPECT_EQ(s.mean, 3);
    EXPECT_TRUE(std::isnan(s.variance));
    EXPECT_TRUE(std::isnan(s.standardError));
    EXPECT_EQ(s.lower, -std::numeric_limits<double>::infinity());
    EXPECT_EQ(s.upper, std::numeric_limits<double>::infinity());

    EXPECT_THROW_MSG(summarize({}, 2.0), InvalidSweep, "cannot summarize an empty sample");
    for (double level : {0.0, 1.0, std::numeric_limits<double>::quiet_NaN()})
        EXPECT_THROW_MSG(summarize(one, level), InvalidSweep, "the confidence level must lie in (0, 1)");
}
