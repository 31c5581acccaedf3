#pragma once

#include "language/lexer.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Core::Vostel {

// Nanoseconds per time unit for the unit words ns, us, ms and s; absent for
// any other word.
std::optional<double> timeUnitMultiplier(std::string_view unit);

// The parser's view of the token list: a cursor and the expectation
// operations every production is written with. Every failure goes through
// fail(), which alone adds the " (u '...')" suffix and the position of the
// current token.
class TokenCursor {
  public:
    // A list that does not end with EndOfFile gets one appended, so the
    // cursor always has a last token to rest on.
    explicit TokenCursor(std::vector<Token> tokens);

    const Token& current() const { return tokens_[index_]; }
    // Returns the current token and moves on, but never past EndOfFile.
    const Token& advance();

    bool check(TokenKind kind) const { return current().kind == kind; }
    bool checkKeyword(std::string_view text) const;
    bool match(TokenKind kind);
    bool matchKeyword(std::string_view text);
    // The end of a braced list: '}' or, for a file cut short, EndOfFile
    // (the closing expectation then reports it).
    bool atBlockEnd() const { return check(TokenKind::RBrace) || check(TokenKind::EndOfFile); }

    const Token& expect(TokenKind kind);
    void expectKeyword(std::string_view text);
    std::string expectIdentifier(std::string_view what);
    // An integer literal; there is no sign.
    std::int64_t expectInteger(std::string_view what);
    // An optional '-' and a number literal.
    double expectNumber(std::string_view what);
    std::string expectString(std::string_view what);
    // ['-'] number unit, in whole nanoseconds.
    std::int64_t expectDuration(std::string_view what);

    [[noreturn]] void fail(const std::string& message) const;

    // Bounds the recursion of nested productions so that no input, however
    // deeply nested, can exhaust the stack. Hold one per nesting level.
    class Nesting {
      public:
        explicit Nesting(TokenCursor& cursor);
        ~Nesting() { --cursor_.depth_; }
        Nesting(const Nesting&) = delete;
        Nesting& operator=(const Nesting&) = delete;

      private:
        TokenCursor& cursor_;
    };

  private:
    std::vector<Token> tokens_;
    std::size_t index_ = 0;
    int depth_ = 0;
};

}  // namespace Core::Vostel
