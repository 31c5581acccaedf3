#include "front_end.hpp"
#include "support/golden.hpp"

#include <random>

using namespace Core::Vostel;

namespace {

enum class Outcome { Parsed, VostelFailure, ConversionFailure };

// Anything but these three outcomes (another exception, a crash, a hang)
// fails the test.
Outcome outcomeOf(const std::string& source) {
    try {
        Testing::parse(source);
        return Outcome::Parsed;
    } catch (const VostelError& e) {
        if (e.line == 0 || e.column == 0) ADD_FAILURE() << "error without a position: " << e.what();
        return Outcome::VostelFailure;
    } catch (const std::invalid_argument&) {
        return Outcome::ConversionFailure;
    } catch (const std::out_of_range&) {
        return Outcome::ConversionFailure;
    }
}

// Pieces that steer mutations towards the interesting corners of the grammar.
// clang-format off
const std::vector<std::string> kFragments = {
    "{", "}", "(", ")", "[", "]", ";", ":", ",", ".", "->", "-", "=", "<", "\"", "/*", "*/", "//", "\n",
    "_", "!", "\xff", "1.5", "0.5 ns", "3.", "ms", "linspace(0, 1, 1)", "seeds: 2;",
    "99999999999999999999", "9223372036854775807 s", "not", "and", "use", "connect a -> b",
    "adapter low_rank as x { }", "sweep {", "experiment", "neuron", "tau_m 1;", "oscillator o {", "when",
    "vostel \"2.0\";"};
// clang-format on

std::string mutate(std::string text, std::mt19937_64& random) {
    auto below = [&](std::size_t n) {
        return n == 0 ? std::size_t{0} : static_cast<std::size_t>(random() % n);
    };
    std::size_t edits = 1 + below(4);
    for (std::size_t i = 0; i < edits; ++i) {
        std::size_t at = below(text.size() + 1);
        switch (random() % 5) {
            case 0:
                text.erase(at, 1 + below(16));
                break;
            case 1:
                text.insert(at, 1, static_cast<char>(random() % 256));
                break;
            case 2:
                text.insert(at, kFragments[below(kFragments.size())]);
                break;
            case 3: {
                std::size_t from = below(text.size());
                text.insert(at, text.substr(from, 1 + below(40)));
                break;
            }
            default:
                text.resize(at);
                break;
        }
    }
    return text;
}

}  // namespace

TEST(Robustness, MutatedFilesEndInAModelOrAnError) {
    const std::string sources[] = {
        Testing::readFile(Testing::dataPath("vostel/architecture.vostel")),
        Testing::readFile(Testing::dataPath("vostel/experiments.vostel")),
    };
    std::mt19937_64 random(20240611);  // fixed: every run tries the same inputs
    std::size_t counts[3] = {0, 0, 0};
    for (int i = 0; i < 4000; ++i) {
        std::string mutated = mutate(sources[i % 2], random);
        ++counts[static_cast<int>(outcomeOf(mutated))];
    }
    // The mutations must reach all three endings, or they test too little.
    EXPECT_GT(counts[static_cast<int>(Outcome::Parsed)], 100u);
    EXPECT_GT(counts[static_cast<int>(Outcome::VostelFailure)], 1000u);
    EXPECT_GT(counts[static_cast<int>(Outcome::ConversionFailure)], 0u);
}

TEST(Robustness, DeepNestingFailsInsteadOfExhaustingTheStack) {
    std::string parentheses = "event e when " + std::string(10000, '(') + "1;";
    EXPECT_TRUE(
        Testing::failsAt(parentheses, "prilis hluboke vnoreni (u '(')", 1, 13 + 201));  // 200 levels pass
    std::string negations = "event e when ";
    for (int i = 0; i < 10000; ++i) negations += "not ";
    EXPECT_EQ(outcomeOf(negations + "x;"), Outcome::VostelFailure);
    std::string fields = "oscillator o {";
    for (int i = 0; i < 10000; ++i) fields += " f {";
    EXPECT_EQ(outcomeOf(fields), Outcome::VostelFailure);
}

TEST(Robustness, ParserSurvivesTokenListsWithoutAnEnd) {
    EXPECT_TRUE(Parser({}).parseModel().experiments.empty());
    Token seed{TokenKind::Identifier, "seed", 0.0, 0, false, 3, 4};
    try {
        Parser({seed}).parseModel();
        FAIL() << "a seed without its value parsed";
    } catch (const VostelError& e) {
        EXPECT_STREQ(e.what(), "ocekavano cele cislo (seed) (u '<konec>')");
        EXPECT_EQ(e.line, 3u);
    }
}
