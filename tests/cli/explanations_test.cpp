// Every message the declaration language can produce has an English
// explanation: the test reads the language's sources, rebuilds each message
// from the string literals of the call that raises it and asks the table.

#include "cli/explanations.hpp"

#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

using namespace Core::Cli;

namespace {

struct MessageSite {
    std::string file;
    std::size_t line = 0;
    std::string text;  // the call's string literals joined by " … "
};

// Calls whose arguments make up a language message.
const char* const kRaisers[] = {
    "fail(", "error(", "warning(", "VostelError(", "errors.push_back(", "warnings.push_back(", "parseBody("};

// Skips a string or character literal starting at `i` (on its quote); returns
// the index after it and appends a string literal's content to `literal`.
std::size_t skipLiteral(const std::string& source, std::size_t i, std::string* literal) {
    const char quote = source[i++];
    while (i < source.size() && source[i] != quote) {
        if (source[i] == '\\') {
            if (literal != nullptr) *literal += source.substr(i, 2);
            i += 2;
            continue;
        }
        if (literal != nullptr) *literal += source[i];
        ++i;
    }
    return i + 1;
}

// Comments blanked out (newlines kept, so line numbers hold), literals intact.
std::string withoutComments(const std::string& source) {
    std::string out = source;
    for (std::size_t i = 0; i < out.size();) {
        if (out[i] == '"' || out[i] == '\'') {
            i = skipLiteral(out, i, nullptr);
        } else if (out.compare(i, 2, "//") == 0) {
            while (i < out.size() && out[i] != '\n') out[i++] = ' ';
        } else if (out.compare(i, 2, "/*") == 0) {
            const std::size_t end = out.find("*/", i) + 2;
            for (; i < end; ++i)
                if (out[i] != '\n') out[i] = ' ';
        } else {
            ++i;
        }
    }
    return out;
}

// Constants that hold a whole message: const char* const kName = "...";
void addConstants(const std::string& file, const std::string& source, std::vector<MessageSite>& sites) {
    for (std::size_t at = source.find(" k"); at != std::string::npos; at = source.find(" k", at + 1)) {
        const std::size_t equals = source.find_first_of("=;(", at);
        if (equals == std::string::npos || source[equals] != '=') continue;
        const std::size_t quote = source.find_first_not_of(' ', equals + 1);
        if (quote == std::string::npos || source[quote] != '"') continue;
        std::string literal;
        skipLiteral(source, quote, &literal);
        const auto line = static_cast<std::size_t>(std::count(source.begin(), source.begin() + at, '\n')) + 1;
        sites.push_back({file, line, literal});
    }
}

std::vector<MessageSite> languageMessages() {
    std::vector<MessageSite> sites;
    const std::filesystem::path directory = std::filesystem::path(VOSTEL_SOURCE_DIR) / "language";
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        if (entry.path().extension() != ".cpp") continue;
        // The lowering of the model's declarations reports in English already.
        if (entry.path().filename() == "model_lowering.cpp") continue;
        std::ifstream in(entry.path(), std::ios::binary);
        const std::string source =
            withoutComments({std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()});
        const std::string file = entry.path().filename().string();
        addConstants(file, source, sites);
        for (const char* raiser : kRaisers) {
            const std::string call = raiser;
            for (std::size_t at = source.find(call); at != std::string::npos;
                 at = source.find(call, at + 1)) {
                // A whole name only: "error(" but not "isError(".
                if (at > 0 &&
                    (std::isalnum(static_cast<unsigned char>(source[at - 1])) || source[at - 1] == '_'))
                    continue;
                MessageSite site{
                    file, static_cast<std::size_t>(std::count(source.begin(), source.begin() + at, '\n')) + 1,
                    ""};
                int depth = 1;
                for (std::size_t i = at + call.size(); i < source.size() && depth > 0;) {
                    if (source[i] == '"' || source[i] == '\'') {
                        std::string literal;
                        const bool isString = source[i] == '"';
                        i = skipLiteral(source, i, isString ? &literal : nullptr);
                        if (isString) site.text += (site.text.empty() ? "" : " … ") + literal;
                        continue;
                    }
                    if (source[i] == '(') ++depth;
                    if (source[i] == ')') --depth;
                    ++i;
                }
                sites.push_back(std::move(site));
            }
        }
    }
    // Declarations and bare suffixes carry no message: a message has a word
    // of at least four letters.
    std::erase_if(sites, [](const MessageSite& site) {
        std::size_t run = 0;
        for (const char c : site.text) {
            run = std::isalpha(static_cast<unsigned char>(c)) ? run + 1 : 0;
            if (run >= 4) return false;
        }
        return true;
    });
    return sites;
}

}  // namespace

TEST(Explanations, EveryMessageTheLanguageCanProduceHasOne) {
    const std::vector<MessageSite> sites = languageMessages();
    // The scan must find the messages, or the check below proves nothing.
    ASSERT_GT(sites.size(), 140u);
    for (const MessageSite& site : sites)
        EXPECT_NE(explainMessage(site.text), "") << site.file << ":" << site.line << ": " << site.text;
}

TEST(Explanations, TheMostSpecificEntryWinsInsideAWholeMessage) {
    // A file, line and context around the message do not matter.
    EXPECT_EQ(explainMessage("a.vostel:3:7: ocekavano cislo (seed) (u 'x')"), "expected a number");
    EXPECT_EQ(explainMessage("a.vostel:12: error: experiment 'E': duplicitni metrika 'rate'"),
              "this metric is declared twice: remove one");
    EXPECT_EQ(explainMessage("a.vostel:3: error: duplicitni population 'P'"),
              "this name is declared twice at the same level: rename one");
    EXPECT_EQ(explainMessage("vostel: cannot write out.csv"), "") << "the tool's own messages are English";
}

TEST(Explanations, EachGoesOnTheLineBelowItsMessageIndentedOneStepDeeper) {
    EXPECT_EQ(withExplanations("x.vostel:1:1: neukonceny retezec\n"
                               "plain line\n"
                               "  experiment 'E': chybi 'stimulus'\n"),
              "x.vostel:1:1: neukonceny retezec\n"
              "  (en) unterminated string: close the quote on the same line\n"
              "plain line\n"
              "  experiment 'E': chybi 'stimulus'\n"
              "    (en) the experiment needs a stimulus: stimulus: NAME; naming a declared stimulus\n");
    EXPECT_EQ(withExplanations(""), "");
}
