#include "language/token_cursor.hpp"

#include "language/vostel_error.hpp"

#include <cmath>

namespace Core::Vostel {
namespace {

// Far beyond any sensible declaration, far below what the stack holds.
constexpr int kMaxNesting = 200;

std::string inParentheses(std::string_view what) { return " (" + std::string(what) + ")"; }

}  // namespace

std::optional<double> timeUnitMultiplier(std::string_view unit) {
    if (unit == "ns") return 1.0;
    if (unit == "us") return 1000.0;
    if (unit == "ms") return 1000000.0;
    if (unit == "s") return 1000000000.0;
    return std::nullopt;
}

TokenCursor::TokenCursor(std::vector<Token> tokens) : tokens_(std::move(tokens)) {
    if (tokens_.empty() || tokens_.back().kind != TokenKind::EndOfFile) {
        Token end;
        if (!tokens_.empty()) {
            end.line = tokens_.back().line;
            end.column = tokens_.back().column;
        }
        tokens_.push_back(std::move(end));
    }
}

const Token& TokenCursor::advance() {
    const Token& token = tokens_[index_];
    if (index_ + 1 < tokens_.size()) ++index_;
    return token;
}

bool TokenCursor::checkKeyword(std::string_view text) const {
    return current().kind == TokenKind::Identifier && current().text == text;
}

bool TokenCursor::match(TokenKind kind) {
    if (!check(kind)) return false;
    advance();
    return true;
}

bool TokenCursor::matchKeyword(std::string_view text) {
    if (!checkKeyword(text)) return false;
    advance();
    return true;
}

const Token& TokenCursor::expect(TokenKind kind) {
    if (!check(kind)) fail("ocekavano " + std::string(tokenKindName(kind)));
    return advance();
}

void TokenCursor::expectKeyword(std::string_view text) {
    if (!matchKeyword(text)) fail("ocekavano klicove slovo '" + std::string(text) + "'");
}

std::string TokenCursor::expectIdentifier(std::string_view what) {
    if (!check(TokenKind::Identifier)) fail("ocekavan identifikator" + inParentheses(what));
    return advance().text;
}

std::int64_t TokenCursor::expectInteger(std::string_view what) {
    if (!check(TokenKind::Number) || !current().isInteger) fail("ocekavano cele cislo" + inParentheses(what));
    return advance().integer;
}

double TokenCursor::expectNumber(std::string_view what) {
    bool negative = match(TokenKind::Minus);
    if (!check(TokenKind::Number)) fail("ocekavano cislo" + inParentheses(what));
    double value = advance().number;
    return negative ? -value : value;
}

std::string TokenCursor::expectString(std::string_view what) {
    if (!check(TokenKind::String)) fail("ocekavan retezcovy literal" + inParentheses(what));
    return advance().text;
}

std::int64_t TokenCursor::expectDuration(std::string_view what) {
    bool negative = match(TokenKind::Minus);
    if (!check(TokenKind::Number)) fail("ocekavana doba trvani" + inParentheses(what));
    double value = advance().number;
    std::optional<double> multiplier;
    if (check(TokenKind::Identifier)) multiplier = timeUnitMultiplier(current().text);
    if (!multiplier) fail("chybi jednotka casu (ns|us|ms|s) u " + std::string(what));
    advance();
    double nanoseconds = value * *multiplier;
    if (nanoseconds != std::floor(nanoseconds)) {
        fail("doba trvani neni cely nasobek nanosekundy" + inParentheses(what));
    }
    // Literals have no sign, so the product is never negative; 2^63 and
    // above has no 64-bit count.
    if (!(nanoseconds < 9223372036854775808.0)) fail("doba trvani mimo rozsah" + inParentheses(what));
    auto count = static_cast<std::int64_t>(nanoseconds);
    return negative ? -count : count;
}

void TokenCursor::fail(const std::string& message) const {
    const Token& token = current();
    std::string near = token.kind == TokenKind::EndOfFile ? std::string("<konec>") : token.text;
    throw VostelError(message + " (u '" + near + "')", token.line, token.column);
}

TokenCursor::Nesting::Nesting(TokenCursor& cursor) : cursor_(cursor) {
    if (cursor_.depth_ >= kMaxNesting) cursor_.fail("prilis hluboke vnoreni");
    ++cursor_.depth_;
}

}  // namespace Core::Vostel
