#include "sweep/shape.hpp"

#include "support/expect_throws.hpp"
#include "sweep/declaration.hpp"

#include <cmath>
#include <vector>

using namespace Core::Kvrn;

namespace {

const std::vector<double> kAxis5{0, 1, 2, 3, 4};

CurveShape shapeOf(const std::vector<double>& curve) { return classifyShape(kAxis5, curve, 0.05); }

// The axis i * 0.1 for i = 0 ... 10, computed as the product.
std::vector<double> tenthsAxis() {
    std::vector<double> x;
    for (int i = 0; i <= 10; ++i) x.push_back(i * 0.1);
    return x;
}

}  // namespace

// Every shape, each with the name the report prints for it.
TEST(CurveShape, KnownCurves) {
    const std::pair<std::vector<double>, const char*> rows[] = {
        {{1, 2, 3, 4, 5}, "monotone increasing"},
        {{5, 4, 3, 2, 1}, "monotone decreasing"},
        {{3, 3, 3, 3, 3}, "flat"},
        {{3, 3.001, 2.999, 3, 3.001}, "flat"},  // noise below the tolerance
        {{1, 3, 6, 3, 1}, "interior maximum"},
        {{6, 3, 1, 3, 6}, "interior minimum"},
        {{1, 6, 1, 6, 1}, "interior maximum"},  // the last maximum (3) is inside, the first minimum (0) not
        {{6, 1, 6, 1, 6}, "interior minimum"},  // the first minimum (1) is inside, the last maximum (4) not
        {{1, 2, 3, 4, 9}, "monotone increasing"},       // a maximum at the end is no interior one
        {{3, 6, 3, 1, 3}, "non-monotone"},              // both extremes inside
        {{1, 6, 2, 3, 9}, "non-monotone"},              // both extremes at the ends, but not monotone
        {{0, 50, 49, 80, 100}, "monotone increasing"},  // a dip below the step (5 % of the range) is no move
        {{0, 0, 0, 0, 0}, "flat"},                      // all zeros: the scale falls back to 1
    };
    for (const auto& [curve, name] : rows) {
        std::string written;
        for (double v : curve) written += std::to_string(v) + " ";
        EXPECT_EQ(shapeName(shapeOf(curve)), name) << written;
    }
    EXPECT_EQ(classifyShape(kAxis5, std::vector<double>{1, 2, 3, 4, 5}, 0), CurveShape::MonotoneIncreasing);
}

TEST(CurveShape, RefusesBadInputInOrder) {
    const std::vector<double> three{1, 2, 3};
    const std::vector<double> two{1, 2};
    EXPECT_THROW_MSG(classifyShape(kAxis5, three, 0.05), InvalidSweep,
                     "the curve and its parameter axis differ in length");
    EXPECT_THROW_MSG(classifyShape(two, two, -1), InvalidSweep,
                     "classifying a shape needs at least three points");
    EXPECT_THROW_MSG(classifyShape(std::vector<double>{0, 2, 1}, three, std::nan("")), InvalidSweep,
                     "the shape tolerance must be non-negative");
    EXPECT_THROW_MSG(classifyShape(std::vector<double>{0, 2, 1}, three, 0.05), InvalidSweep,
                     "the parameter axis must be strictly increasing");
    EXPECT_THROW_MSG(classifyShape(std::vector<double>{0, 1, 1}, three, 0.05), InvalidSweep,
                     "the parameter axis must be strictly increasing");
}

TEST(RegimeTransition, FindsTheBuiltInStepWithItsVariancePeak) {
    const std::vector<double> x = tenthsAxis();
    std::vector<double> step, variance;
    for (double xi : x) {
        step.push_back(xi < 0.5 ? 0.0 : 1.0);
        variance.push_back(0.5 * std::exp(-40.0 * ((xi - 0.5) * (xi - 0.5))) + 0.01);
    }
    const RegimeTransition r = detectRegimeTransition(x, step, variance, 0.15);
    EXPECT_TRUE(r.candidate);
    EXPECT_EQ(r.index, 5u);
    EXPECT_EQ(r.location, 0.5);
    EXPECT_NEAR(r.curvature, 1.0, 1e-9);
    EXPECT_NEAR(r.varianceRatio, 0.51 / variance[2], 1e-9);  // the median is the value at distance 0.3
    EXPECT_NEAR(r.varianceRatio, 21.55, 0.01);
    // The threshold decides the candidate, nothing else changes.
    const RegimeTransition strict = detectRegimeTransition(x, step, variance, 1.5);
    EXPECT_FALSE(strict.candidate);
    EXPECT_EQ(strict.index, 5u);
}

TEST(RegimeTransition, LinesAndConstantsHaveNone) {
    const std::vector<double> x = tenthsAxis();
    const RegimeTransition line = detectRegimeTransition(x, x, {}, 0.15);
    EXPECT_FALSE(line.candidate);
    EXPECT_EQ(line.varianceRatio, 0.0);
    EXPECT_LT(line.curvature, 1e-12);

    // A constant curve returns before the axis is examined.
    const std::vector<double> flat(11, 2.0);
    const std::vector<double> reversed{10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0};
    const RegimeTransition none = detectRegimeTransition(reversed, flat, {}, 0.0);
    EXPECT_FALSE(none.candidate);
    EXPECT_EQ(none.location, 0.0);
    EXPECT_EQ(none.index, 0u);

    // A non-positive median leaves the ratio at 0.
    const std::vector<double> zeros(11, 0.0);
    EXPECT_EQ(detectRegimeTransition(x, std::vector<double>{0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1}, zeros, 0.15)
                  .varianceRatio,
              0.0);
}

TEST(RegimeTransition, RefusesBadInputInOrder) {
    const std::vector<double> x = tenthsAxis();
    const std::vector<double> three{0, 1, 2};
    EXPECT_THROW_MSG(detectRegimeTransition(three, x, {}, 0.15), InvalidSweep,
                     "the curve and its parameter axis differ in length");
    EXPECT_THROW_MSG(detectRegimeTransition(three, three, std::vector<double>{1, 2}, 0.15), InvalidSweep,
                     "the variance series does not match the curve");
    EXPECT_THROW_MSG(detectRegimeTransition(three, three, {}, 0.15), InvalidSweep,
                     "detecting a regime transition needs at least four points");
    EXPECT_THROW_MSG(
        detectRegimeTransition(std::vector<double>{0, 1, 1, 2}, std::vector<double>{0, 1, 2, 3}, {}, 0.15),
        InvalidSweep, "the parameter axis must be strictly increasing");
}
