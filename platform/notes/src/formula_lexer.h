// The tokens of a formula's text (the language: nsf_formula.h).
#pragma once

#include <cstddef>
#include <string>

#include "global.h"

namespace notes_internal {
namespace formula {

enum class Tok {
    End,
    Text,     // "..."; text holds the bytes without the escapes
    Number,   // number holds the value
    Name,     // an item or variable name, or a keyword (SELECT, FIELD, REM)
    AtName,   // @name; text holds the name without "@"
    Keyword,  // [name]; text holds the name without the brackets
    LParen,
    RParen,
    Semicolon,
    Colon,
    Assign,  // :=
    Plus,
    Minus,
    Star,
    Slash,
    Eq,
    Ne,  // != or <>
    Lt,
    Gt,
    Le,
    Ge,
    Amp,
    Bar,
    Not,
};

struct Token {
    Tok kind = Tok::End;
    size_t offset = 0;
    size_t length = 0;
    std::string text;
    double number = 0;
};

// A lexical error: its status and the bytes it covers.
struct LexError {
    STATUS status = NOERROR;
    size_t offset = 0;
    size_t length = 0;
};

constexpr size_t kMaxNameLength = 255;

class Lexer {
  public:
    Lexer(const char *text, size_t length) : text_(text), length_(length) {}

    // The next token; false (and *error set) when the text there is not one.
    bool Next(Token *token, LexError *error);

  private:
    bool Fail(LexError *error, size_t offset, size_t length);
    bool LexText(Token *token, LexError *error);
    bool LexNumber(Token *token, LexError *error);

    const char *text_;
    size_t length_;
    size_t pos_ = 0;
};

// ASCII case folding of a name: the form in which names are compared.
std::string FoldAscii(const std::string &text);

}  // namespace formula
}  // namespace notes_internal
