#include "language/lexer.hpp"

#include "common/convert.hpp"
#include "language/vostel_error.hpp"

#include <iterator>
#include <string>

namespace Core::Vostel {
namespace {

constexpr std::string_view kTokenNames[] = {
    "identifikator", "cislo", "retezec", "'->'", "'{'", "'}'",  "'('",  "')'",  "'['",  "']'",
    "';'",           "':'",   "','",     "'.'",  "'='", "'+='", "'-='", "'*='", "'/='", "'=='",
    "'!='",          "'>='",  "'<='",    "'>'",  "'<'", "'+'",  "'-'",  "'*'",  "'/'",  "<konec>",
};
static_assert(std::size(kTokenNames) == kTokenKindCount, "every token kind needs its display name");

// Character classes of the "C" locale, spelt out so that neither the
// locale nor the signedness of char can change them.
bool isLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Longest name and text a declaration may hold. Names become directory
// names in the run registry, which the file system limits to 255 bytes;
// texts are sentences. Anything longer is a mistake and is refused at once.
constexpr std::size_t kMaxIdentifierLength = 200;
constexpr std::size_t kMaxStringLength = 65536;

struct Operator {
    std::string_view text;
    TokenKind kind;
};

// Two-byte operators are tried first, so "->" never lexes as '-' '>'.
constexpr Operator kTwoByteOperators[] = {
    {"->", TokenKind::Arrow},      {"-=", TokenKind::MinusAssign},  {"+=", TokenKind::PlusAssign},
    {"*=", TokenKind::StarAssign}, {"/=", TokenKind::SlashAssign},  {"==", TokenKind::EqualEqual},
    {"!=", TokenKind::NotEqual},   {">=", TokenKind::GreaterEqual}, {"<=", TokenKind::LessEqual},
};

constexpr Operator kOneByteOperators[] = {
    {"(", TokenKind::LParen},    {")", TokenKind::RParen},   {"*", TokenKind::Star},
    {"+", TokenKind::Plus},      {",", TokenKind::Comma},    {"-", TokenKind::Minus},
    {".", TokenKind::Dot},       {"/", TokenKind::Slash},    {":", TokenKind::Colon},
    {";", TokenKind::Semicolon}, {"<", TokenKind::Less},     {"=", TokenKind::Assign},
    {">", TokenKind::Greater},   {"[", TokenKind::LBracket}, {"]", TokenKind::RBracket},
    {"{", TokenKind::LBrace},    {"}", TokenKind::RBrace},
};

}  // namespace

std::string_view tokenKindName(TokenKind kind) {
    auto index = static_cast<std::size_t>(kind);
    return index < kTokenKindCount ? kTokenNames[index] : std::string_view("?");
}

Lexer::Lexer(std::string source) : source_(std::move(source)) {}

char Lexer::peek(std::size_t offset) const {
    return position_ + offset < source_.size() ? source_[position_ + offset] : '\0';
}

char Lexer::advance() {
    char c = source_[position_++];
    if (c == '\n') {
        ++line_;
        column_ = 1;
    } else {
        ++column_;
    }
    return c;
}

void Lexer::skipWhitespaceAndComments() {
    while (!atEnd()) {
        char c = peek();
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            advance();
        } else if (c == '/' && peek(1) == '/') {
            while (!atEnd() && peek() != '\n') advance();
        } else if (c == '/' && peek(1) == '*') {
            std::uint32_t line = line_, column = column_;
            advance();
            advance();
            // The first "*/" closes the comment: comments do not nest.
            for (;;) {
                if (atEnd()) throw VostelError("neukonceny blokovy komentar", line, column);
                if (peek() == '*' && peek(1) == '/') break;
                advance();
            }
            advance();
            advance();
        } else {
            return;
        }
    }
}

std::vector<Token> Lexer::tokenize() {
    std::vector<Token> tokens;
    skipWhitespaceAndComments();
    while (!atEnd()) {
        tokenLine_ = line_;
        tokenColumn_ = column_;
        char c = peek();
        if (isLetter(c)) {
            tokens.push_back(identifier());
        } else if (isDigit(c)) {
            tokens.push_back(number());
        } else if (c == '"') {
            tokens.push_back(string());
        } else {
            tokens.push_back(punctuation());
        }
        skipWhitespaceAndComments();
    }
    Token end;
    end.kind = TokenKind::EndOfFile;
    end.line = line_;
    end.column = column_;
    tokens.push_back(std::move(end));
    return tokens;
}

Token Lexer::identifier() {
    Token token{TokenKind::Identifier, {}, 0.0, 0, false, tokenLine_, tokenColumn_};
    while (isLetter(peek()) || isDigit(peek()) || peek() == '_') {
        if (token.text.size() == kMaxIdentifierLength)
            throw VostelError("identifikator je delsi nez " + std::to_string(kMaxIdentifierLength) + " znaku",
                              tokenLine_, tokenColumn_);
        token.text.push_back(advance());
    }
    return token;
}

// Digits, optionally '.' and more digits. A '.' without a digit after it is
// left alone, so "3." is the number 3 followed by a Dot.
Token Lexer::number() {
    Token token{TokenKind::Number, {}, 0.0, 0, true, tokenLine_, tokenColumn_};
    while (isDigit(peek())) token.text.push_back(advance());
    std::size_t integerDigits = token.text.size();
    if (peek() == '.' && isDigit(peek(1))) {
        token.isInteger = false;
        token.text.push_back(advance());
        while (isDigit(peek())) token.text.push_back(advance());
    }
    token.number = Core::toDouble(token.text);
    if (token.isInteger) {
        token.integer = Core::toSigned64(token.text);
    } else if (token.number < 9223372036854775808.0) {  // 2^63: the cast below is defined
        token.integer = static_cast<std::int64_t>(token.number);
    } else {
        // Too large for a 64-bit count: the integer part fails the
        // conversion with its standard text (or, right at the edge where
        // the double rounded up to 2^63, converts exactly).
        token.integer = Core::toSigned64(token.text.substr(0, integerDigits));
    }
    return token;
}

// No escapes: a string ends at the next double quote and may not cross a
// line feed. Errors point at the opening quote, where the mistake usually is.
Token Lexer::string() {
    Token token{TokenKind::String, {}, 0.0, 0, false, tokenLine_, tokenColumn_};
    advance();
    for (;;) {
        if (atEnd() || peek() == '\n') throw VostelError("neukonceny retezec", tokenLine_, tokenColumn_);
        char c = advance();
        if (c == '"') return token;
        if (token.text.size() == kMaxStringLength)
            throw VostelError("retezec je delsi nez " + std::to_string(kMaxStringLength) + " znaku",
                              tokenLine_, tokenColumn_);
        token.text.push_back(c);
    }
}

Token Lexer::punctuation() {
    Token token{TokenKind::EndOfFile, {}, 0.0, 0, false, tokenLine_, tokenColumn_};
    char first = peek();
    char second = peek(1);
    for (const Operator& op : kTwoByteOperators) {
        if (op.text[0] == first && op.text[1] == second) {
            token.kind = op.kind;
            token.text.push_back(advance());
            token.text.push_back(advance());
            return token;
        }
    }
    for (const Operator& op : kOneByteOperators) {
        if (op.text[0] == first) {
            token.kind = op.kind;
            token.text.push_back(advance());
            return token;
        }
    }
    throw VostelError(std::string("neznamy znak '") + first + "'", tokenLine_, tokenColumn_);
}

}  // namespace Core::Vostel
