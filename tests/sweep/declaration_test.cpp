#include "sweep/declaration.hpp"

#include "common/hash.hpp"
#include "support/expect_throws.hpp"

#include <limits>

using namespace Core::Kvrn;

namespace {

SweepDeclaration oneAxis(std::vector<double> values, std::uint64_t seeds = 2) {
    return SweepDeclaration{{{"g", std::move(values)}}, seeds};
}

const double kNaN = std::numeric_limits<double>::quiet_NaN();

}  // namespace

TEST(SweepValidation, ReportsTheFirstProblemInOrder) {
    // Seeds are checked before anything else, the axes list before the axes.
    EXPECT_THROW_MSG(validateSweep(SweepDeclaration{{}, 0}), InvalidSweep, "a sweep needs at least one seed");
    EXPECT_THROW_MSG(validateSweep(SweepDeclaration{}), InvalidSweep,
                     "a sweep needs at least one parameter axis");
    EXPECT_THROW_MSG(validateSweep(SweepDeclaration{{{"", {1}}}, 1}), InvalidSweep,
                     "a sweep axis must be named");
    // A repeated name is reported even when the second axis is broken otherwise.
    EXPECT_THROW_MSG(validateSweep(SweepDeclaration{{{"g", {0, 1}}, {"g", {}}}, 1}), InvalidSweep,
                     "sweep repeats the axis g");
    EXPECT_THROW_MSG(validateSweep(oneAxis({})), InvalidSweep,
                     "sweep axis g needs at least two values; one value is not a sweep");
    EXPECT_THROW_MSG(validateSweep(oneAxis({1})), InvalidSweep,
                     "sweep axis g needs at least two values; one value is not a sweep");
    EXPECT_THROW_MSG(validateSweep(oneAxis({kNaN, 1, 1})), InvalidSweep,
                     "sweep axis g has a non-finite value");
    EXPECT_THROW_MSG(validateSweep(oneAxis({1, std::numeric_limits<double>::infinity()})), InvalidSweep,
                     "sweep axis g has a non-finite value");
    // Duplicates are found wherever they sit; +0 and -0 are the same value.
    EXPECT_THROW_MSG(validateSweep(oneAxis({1, 3, 2, 1})), InvalidSweep, "sweep axis g repeats a value");
    EXPECT_THROW_MSG(validateSweep(oneAxis({0.0, 1, -0.0})), InvalidSweep, "sweep axis g repeats a value");
    // An earlier valid axis does not hide a later broken one.
    EXPECT_THROW_MSG(validateSweep(SweepDeclaration{{{"a", {0, 1}}, {"b", {2}}}, 1}), InvalidSweep,
                     "sweep axis b needs at least two values; one value is not a sweep");
    EXPECT_THROW_MSG(pointCount(oneAxis({1}, 0)), InvalidSweep, "a sweep needs at least one seed");
    EXPECT_THROW_MSG(expand(oneAxis({1, 1})), InvalidSweep, "sweep axis g repeats a value");
}

TEST(SweepExpansion, LastAxisVariesFastestInDeclaredOrder) {
    const SweepDeclaration sweep{
        {{"stochasticity", {0.1, 0.5, 1}}, {"modulation", {1, 2}}, {"phase", {9, -3}}}, 4};
    EXPECT_EQ(pointCount(sweep), 12u);
    const std::vector<SweepPoint> points = expand(sweep);
    ASSERT_EQ(points.size(), 12u);
    std::size_t k = 0;
    for (double s : {0.1, 0.5, 1.0})
        for (double m : {1.0, 2.0})
            for (double p : {9.0, -3.0}) {
                const auto& parameters = points[k++].parameters;
                ASSERT_EQ(parameters.size(), 3u);
                EXPECT_EQ(parameters[0].name, "stochasticity");
                EXPECT_EQ(parameters[2].name, "phase");
                EXPECT_EQ(parameters[0].value, s);
                EXPECT_EQ(parameters[1].value, m);
                EXPECT_EQ(parameters[2].value, p);
            }
    // Descending values stay descending.
    const std::vector<SweepPoint> down = expand(oneAxis({1, 0.5, 0.1}));
    ASSERT_EQ(down.size(), 3u);
    EXPECT_EQ(down[0].value("g"), 1);
    EXPECT_EQ(down[2].value("g"), 0.1);
}

TEST(SweepPoint, LookupLabelAndHashNearbyValuesShareOnlyALabel) {
    const SweepPoint point{{{"stochasticity", 0.1}, {"modulation", 1}, {"modulation", 7}}};
    EXPECT_EQ(point.value("modulation"), 1);  // the first parameter of that name
    EXPECT_THROW_MSG(point.value("Modulation"), InvalidSweep, "sweep point has no parameter Modulation");
    EXPECT_EQ(point.label(), "stochasticity=0.1_modulation=1_modulation=7");
    EXPECT_EQ(point.hash(),
              Core::stableHash64("stochasticity=0.10000000000000001;modulation=1;modulation=7;"));

    const SweepPoint single;
    EXPECT_EQ(single.label(), "single");
    EXPECT_EQ(single.hash(), 0x14650fb0739d0383ULL);
    EXPECT_THROW_MSG(single.value("g"), InvalidSweep, "sweep point has no parameter g");

    EXPECT_EQ((SweepPoint{{{"g", 1}}}.hash()), 0xe535cdc8ac55d977ULL);
    EXPECT_EQ((SweepPoint{{{"x", 1e-5}}}.label()), "x=1e-05");

    // Labels round to six digits, hashes keep every bit.
    const SweepPoint a{{{"g", 1.0000001}}}, b{{{"g", 1.0000002}}};
    EXPECT_EQ(std::tuple(a.label(), b.label()), std::tuple("g=1", "g=1"));
    EXPECT_EQ(a.hash(), Core::stableHash64("g=1.0000001000000001;"));
    EXPECT_EQ(b.hash(), Core::stableHash64("g=1.0000001999999999;"));
}
