#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace Core::Vostel {

// The values are stable: they are part of the token records that tools see.
enum class TokenKind : std::uint32_t {
    Identifier,
    Number,
    String,
    Arrow,
    LBrace,
    RBrace,
    LParen,
    RParen,
    LBracket,
    RBracket,
    Semicolon,
    Colon,
    Comma,
    Dot,
    Assign,
    PlusAssign,
    MinusAssign,
    StarAssign,
    SlashAssign,
    EqualEqual,
    NotEqual,
    GreaterEqual,
    LessEqual,
    Greater,
    Less,
    Plus,
    Minus,
    Star,
    Slash,
    EndOfFile,
};

inline constexpr std::size_t kTokenKindCount = static_cast<std::size_t>(TokenKind::EndOfFile) + 1;

// How a kind is named in messages: punctuation quoted as written ("'{'"),
// the three open kinds by a Czech word, the end of the text as "<konec>".
std::string_view tokenKindName(TokenKind kind);

struct Token {
    TokenKind kind = TokenKind::EndOfFile;
    // Identifier text, a number literal as written, a string's contents
    // without its quotes, an operator's characters; empty at the end.
    std::string text;
    double number = 0.0;
    // For a literal with a fractional part: the number truncated toward zero.
    std::int64_t integer = 0;
    bool isInteger = false;
    std::uint32_t line = 1;
    std::uint32_t column = 1;
};

// Splits one declaration file into tokens. Keywords are not special here:
// every word is an Identifier and the parser compares its text.
class Lexer {
  public:
    explicit Lexer(std::string source);

    // All tokens in order, always ending with one EndOfFile token. Throws
    // VostelError on a lexical error and std::invalid_argument /
    // std::out_of_range (the stod/stoll texts) for a literal that does not
    // convert.
    std::vector<Token> tokenize();

  private:
    bool atEnd() const { return position_ >= source_.size(); }
    // The byte `offset` places ahead, or 0 past the end of the text.
    char peek(std::size_t offset = 0) const;
    char advance();
    void skipWhitespaceAndComments();
    Token identifier();
    Token number();
    Token string();
    Token punctuation();

    std::string source_;
    std::size_t position_ = 0;
    std::uint32_t line_ = 1;
    std::uint32_t column_ = 1;
    std::uint32_t tokenLine_ = 1;
    std::uint32_t tokenColumn_ = 1;
};

}  // namespace Core::Vostel
