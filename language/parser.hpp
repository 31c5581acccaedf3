#pragma once

#include "language/lexer.hpp"
#include "language/syntax.hpp"
#include "language/token_cursor.hpp"

#include <vector>

namespace Core::Vostel {

// Recursive descent over the tokens of one declaration file. It stops at
// the first error (VostelError carrying the position of the token where
// the parse stopped); there is no recovery.
class Parser {
  public:
    explicit Parser(std::vector<Token> tokens);

    // Parses the whole token list once.
    Model parseModel();

  private:
    TokenCursor cursor_;
};

}  // namespace Core::Vostel
