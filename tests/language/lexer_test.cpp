#include "front_end.hpp"
#include "support/expect_throws.hpp"

using namespace Core::Vostel;
using Testing::lex;

namespace {

std::vector<TokenKind> kindsOf(const std::string& source) {
    std::vector<TokenKind> kinds;
    for (const Token& token : lex(source)) kinds.push_back(token.kind);
    return kinds;
}

std::vector<std::string> textsOf(const std::string& source) {
    std::vector<std::string> texts;
    for (const Token& token : lex(source)) texts.push_back(token.text);
    return texts;
}

// "line:column" of every token.
std::vector<std::string> positionsOf(const std::string& source) {
    std::vector<std::string> positions;
    for (const Token& token : lex(source))
        positions.push_back(std::to_string(token.line) + ":" + std::to_string(token.column));
    return positions;
}

using K = TokenKind;

}  // namespace

TEST(Lexer, OperatorsTakeTheLongestMatch) {
    EXPECT_EQ(kindsOf("-> - > => -= += *= /= == != >= <= = !="),
              (std::vector{K::Arrow, K::Minus, K::Greater, K::Assign, K::Greater, K::MinusAssign,
                           K::PlusAssign, K::StarAssign, K::SlashAssign, K::EqualEqual, K::NotEqual,
                           K::GreaterEqual, K::LessEqual, K::Assign, K::NotEqual, K::EndOfFile}));
    EXPECT_EQ(kindsOf("(){}[];:,.<>+-*/"),
              (std::vector{K::LParen, K::RParen, K::LBrace, K::RBrace, K::LBracket, K::RBracket, K::Semicolon,
                           K::Colon, K::Comma, K::Dot, K::Less, K::Greater, K::Plus, K::Minus, K::Star,
                           K::Slash, K::EndOfFile}));
    EXPECT_EQ(textsOf("a->b"), (std::vector<std::string>{"a", "->", "b", ""}));
}

TEST(Lexer, WordsAndNumbersStopBeforeUnitsAndDots) {
    // Keywords are plain identifiers; "3." is a number then a dot, and so is "2.x".
    EXPECT_EQ(kindsOf("name_2 x9_ fork 3. 2.x"),
              (std::vector{K::Identifier, K::Identifier, K::Identifier, K::Number, K::Dot, K::Number, K::Dot,
                           K::Identifier, K::EndOfFile}));
    EXPECT_EQ(
        textsOf("name_2 1.5us 7 3. 2.x 10ms"),
        (std::vector<std::string>{"name_2", "1.5", "us", "7", "3", ".", "2", ".", "x", "10", "ms", ""}));
    auto tokens = lex("1.5 7 0.99999999999999999999");
    EXPECT_EQ(std::tuple(tokens[0].number, tokens[0].isInteger, tokens[0].integer),
              std::tuple(1.5, false, 1));
    EXPECT_EQ(std::tuple(tokens[1].isInteger, tokens[1].integer), std::tuple(true, 7));
    // The integer of a fraction truncates the double, which rounded up to 1.
    EXPECT_EQ(std::tuple(tokens[2].number, tokens[2].integer), std::tuple(1.0, 1));
}

TEST(Lexer, StringsHaveNoEscapes) {
    auto tokens = lex("\"a\\b\r\" \"\"");
    ASSERT_EQ(tokens.size(), 3u);
    EXPECT_EQ(tokens[0].kind, K::String);
    EXPECT_EQ(tokens[0].text, "a\\b\r");  // backslash and carriage return are ordinary bytes
    EXPECT_EQ(tokens[1].text, "");
}

TEST(Lexer, CommentsVanishAndDoNotNest) {
    EXPECT_EQ(kindsOf("a//b"), (std::vector{K::Identifier, K::EndOfFile}));
    EXPECT_EQ(kindsOf("a/ b"), (std::vector{K::Identifier, K::Slash, K::Identifier, K::EndOfFile}));
    EXPECT_EQ(textsOf("/* a /* b */ c */"), (std::vector<std::string>{"c", "*", "/", ""}));
    EXPECT_EQ(textsOf("x/**/y/***/"), (std::vector<std::string>{"x", "y", ""}));
}

// A tab is one column, a line feed restarts the column at 1, and the end sits
// just after the last byte.
TEST(Lexer, TokenPositionsAndTheEnd) {
    EXPECT_EQ(positionsOf("a\tb\r\n  cd /* x\n y */ e\n"),
              (std::vector<std::string>{"1:1", "1:3", "2:3", "3:7", "4:1"}));
    for (const char* source : {"", "  \n\t", "// only a comment", "/* */\n"}) {
        EXPECT_EQ(kindsOf(source), std::vector{K::EndOfFile}) << source;
        EXPECT_EQ(textsOf(source), std::vector<std::string>{""}) << source;
    }
    EXPECT_EQ(positionsOf(""), std::vector<std::string>{"1:1"});
    EXPECT_EQ(positionsOf("/* */\n"), std::vector<std::string>{"2:1"});
    EXPECT_EQ(positionsOf("  // c"), std::vector<std::string>{"1:7"});
}

TEST(Lexer, ErrorsPointAtTheirCause) {
    Testing::expectAllFail({
        {"a /* b\n c", "neukonceny blokovy komentar", 1, 3},  // no "*/" before the end
        {"x = \"ab\ncd\"", "neukonceny retezec", 1, 5},       // a line feed ends no string
        {"\"open", "neukonceny retezec", 1, 1},               // the text ends inside the string
        {"_name", "neznamy znak '_'", 1, 1},                  // no identifier starts with '_'
        {"a !x", "neznamy znak '!'", 1, 3},                   // '!' alone is not an operator
        {"a\n  @", "neznamy znak '@'", 2, 3},                 // position of the byte itself
        {"\xc3\xa1", "neznamy znak '\xc3'", 1, 1},            // bytes above 127 are not letters
        {"a\x0b", "neznamy znak '\x0b'", 1, 2},               // vertical tab is not white space
        {"x #", "neznamy znak '#'", 1, 3},                    // no other punctuation exists
    });
}

TEST(Lexer, LiteralsOutOfRangeFailWithTheConversionTexts) {
    EXPECT_EQ(lex("9223372036854775807")[0].integer, INT64_MAX);
    EXPECT_THROW_MSG(lex("9223372036854775808"), std::out_of_range, "stoll argument out of range");
    EXPECT_THROW_MSG(lex("99999999999999999999.5"), std::out_of_range, "stoll argument out of range");
    EXPECT_THROW_MSG(lex(std::string(400, '9')), std::out_of_range, "stod argument out of range");
}
