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

::testing::AssertionResult lexFailsAt(const std::string& source, const std::string& message,
                                      std::uint32_t line, std::uint32_t column) {
    try {
        lex(source);
    } catch (const VostelError& e) {
        if (e.what() == message && e.line == line && e.column == column) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "got \"" << e.what() << "\" at " << e.line << ":" << e.column;
    }
    return ::testing::AssertionFailure() << "no error";
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

TEST(Lexer, WordsAreIdentifiersWithDigitsAndUnderscores) {
    auto tokens = lex("name_2 x9_ fork");
    ASSERT_EQ(tokens.size(), 4u);
    EXPECT_EQ(tokens[0].text, "name_2");
    EXPECT_EQ(tokens[1].text, "x9_");
    EXPECT_EQ(tokens[2].kind, K::Identifier);  // keywords are plain identifiers
    EXPECT_EQ(tokenKindName(K::LBrace), "'{'");
    EXPECT_EQ(tokenKindName(K::EndOfFile), "<konec>");
}

TEST(Lexer, NumbersKeepTheirTextAndStopBeforeUnitsAndDots) {
    auto tokens = lex("1.5us 7 3. 2.x 10ms 0.99999999999999999999");
    ASSERT_EQ(tokens.size(), 12u);
    EXPECT_EQ(tokens[0].text, "1.5");
    EXPECT_EQ(tokens[0].number, 1.5);
    EXPECT_FALSE(tokens[0].isInteger);
    EXPECT_EQ(tokens[0].integer, 1);
    EXPECT_EQ(tokens[1].text, "us");
    EXPECT_TRUE(tokens[2].isInteger);
    EXPECT_EQ(tokens[2].integer, 7);
    // "3." is a number then a dot; so is "2.x".
    EXPECT_EQ(tokens[3].text, "3");
    EXPECT_EQ(tokens[4].kind, K::Dot);
    EXPECT_EQ(tokens[5].text, "2");
    EXPECT_EQ(tokens[6].kind, K::Dot);
    EXPECT_EQ(tokens[7].text, "x");
    EXPECT_EQ(tokens[8].integer, 10);
    EXPECT_EQ(tokens[9].text, "ms");
    // The integer of a fraction truncates the double, which rounded up to 1.
    EXPECT_EQ(tokens[10].number, 1.0);
    EXPECT_EQ(tokens[10].integer, 1);
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

TEST(Lexer, TokenPositions) {
    auto tokens = lex("a\tb\r\n  cd /* x\n y */ e\n");
    ASSERT_EQ(tokens.size(), 5u);
    EXPECT_EQ(tokens[0].column, 1u);
    EXPECT_EQ(tokens[1].column, 3u);  // a tab is one column
    EXPECT_EQ(tokens[2].line, 2u);
    EXPECT_EQ(tokens[2].column, 3u);  // after a line feed the column restarts at 1
    EXPECT_EQ(tokens[3].line, 3u);
    EXPECT_EQ(tokens[3].column, 7u);
    EXPECT_EQ(tokens[4].kind, K::EndOfFile);
    EXPECT_EQ(tokens[4].line, 4u);
    EXPECT_EQ(tokens[4].column, 1u);
}

TEST(Lexer, EmptyTextGivesOnlyTheEnd) {
    for (const char* source : {"", "  \n\t", "// only a comment", "/* */\n"}) {
        auto tokens = lex(source);
        ASSERT_EQ(tokens.size(), 1u) << source;
        EXPECT_EQ(tokens[0].kind, K::EndOfFile);
        EXPECT_EQ(tokens[0].text, "");
    }
    EXPECT_EQ(lex("")[0].column, 1u);
    EXPECT_EQ(lex("/* */\n")[0].line, 2u);
    EXPECT_EQ(lex("  // c")[0].column, 7u);  // the position after the last byte
}

TEST(Lexer, ErrorsPointAtTheirCause) {
    struct Row {
        const char* source;
        const char* message;
        std::uint32_t line, column;
    };
    const Row rows[] = {
        {"a /* b\n c", "neukonceny blokovy komentar", 1, 3},  // no "*/" before the end
        {"x = \"ab\ncd\"", "neukonceny retezec", 1, 5},       // a line feed ends no string
        {"\"open", "neukonceny retezec", 1, 1},               // the text ends inside the string
        {"_name", "neznamy znak '_'", 1, 1},                  // no identifier starts with '_'
        {"a !x", "neznamy znak '!'", 1, 3},                   // '!' alone is not an operator
        {"a\n  @", "neznamy znak '@'", 2, 3},                 // position of the byte itself
        {"\xc3\xa1", "neznamy znak '\xc3'", 1, 1},            // bytes above 127 are not letters
        {"a\x0b", "neznamy znak '\x0b'", 1, 2},               // vertical tab is not white space
        {"x #", "neznamy znak '#'", 1, 3},                    // no other punctuation exists
    };
    for (const Row& row : rows) {
        EXPECT_TRUE(lexFailsAt(row.source, row.message, row.line, row.column)) << row.source;
    }
}

TEST(Lexer, LiteralsOutOfRangeFailWithTheConversionTexts) {
    EXPECT_EQ(lex("9223372036854775807")[0].integer, INT64_MAX);
    EXPECT_THROW_MSG(lex("9223372036854775808"), std::out_of_range, "stoll argument out of range");
    EXPECT_THROW_MSG(lex("99999999999999999999.5"), std::out_of_range, "stoll argument out of range");
    EXPECT_THROW_MSG(lex(std::string(400, '9')), std::out_of_range, "stod argument out of range");
}
