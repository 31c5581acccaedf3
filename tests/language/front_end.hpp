#pragma once

#include "language/lexer.hpp"
#include "language/parser.hpp"
#include "language/vostel_error.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace Testing {

inline std::vector<Core::Vostel::Token> lex(const std::string& source) {
    return Core::Vostel::Lexer(source).tokenize();
}

inline Core::Vostel::Model parse(const std::string& source) {
    return Core::Vostel::Parser(lex(source)).parseModel();
}

// "construct/capability@line" for each capability use of `model`, in order.
inline std::vector<std::string> capabilityUsesOf(const Core::Vostel::Model& model) {
    std::vector<std::string> uses;
    for (const Core::Vostel::CapabilityUse& use : model.capabilityUses)
        uses.push_back(use.construct + "/" + use.capability + "@" + std::to_string(use.line));
    return uses;
}

// One bad input of a table-driven error test; `why` is the reason it is bad.
struct BadInput {
    std::string source;
    std::string message;
    std::uint32_t line;
    std::uint32_t column;
};

// Lexes and parses `source` and checks that it fails with VostelError of
// exactly this message at exactly this position.
inline ::testing::AssertionResult failsAt(const std::string& source, const std::string& message,
                                          std::uint32_t line, std::uint32_t column) {
    try {
        parse(source);
    } catch (const Core::Vostel::VostelError& e) {
        if (e.what() == message && e.line == line && e.column == column) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure()
               << "got \"" << e.what() << "\" at " << e.line << ":" << e.column << ", expected \"" << message
               << "\" at " << line << ":" << column;
    } catch (const std::exception& e) {
        return ::testing::AssertionFailure() << "wrong exception type with \"" << e.what() << "\"";
    }
    return ::testing::AssertionFailure() << "parsed without error; expected \"" << message << "\"";
}

inline void expectAllFail(const std::vector<BadInput>& table) {
    for (const BadInput& row : table) {
        EXPECT_TRUE(failsAt(row.source, row.message, row.line, row.column)) << "input: " << row.source;
    }
}

}  // namespace Testing
