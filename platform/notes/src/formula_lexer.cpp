#include "formula_lexer.h"

#include <charconv>
#include <cmath>

#include "os_error.h"

namespace notes_internal {
namespace formula {

namespace {

bool IsDigit(unsigned char c) {
    return c >= '0' && c <= '9';
}

bool IsNameStart(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '$' || c == '_' || c >= 0x80;
}

bool IsNameByte(unsigned char c) {
    return IsNameStart(c) || IsDigit(c) || c == '.';
}

}  // namespace

std::string FoldAscii(const std::string &text) {
    std::string folded(text);
    for (char &c : folded) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return folded;
}

bool Lexer::Fail(LexError *error, size_t offset, size_t length) {
    error->status = ERR_FORMULA_SYNTAX;
    error->offset = offset;
    error->length = length;
    return false;
}

bool Lexer::LexText(Token *token, LexError *error) {
    const size_t start = pos_++;
    std::string text;
    while (pos_ < length_) {
        const char c = text_[pos_++];
        if (c == '"') {
            token->kind = Tok::Text;
            token->offset = start;
            token->length = pos_ - start;
            token->text = std::move(text);
            return true;
        }
        if (c == '\\') {
            if (pos_ >= length_)
                break;
            text += text_[pos_++];
        } else {
            text += c;
        }
    }
    // Unterminated: the error covers the literal up to the end.
    return Fail(error, start, length_ - start);
}

bool Lexer::LexNumber(Token *token, LexError *error) {
    const size_t start = pos_;
    const auto *p = reinterpret_cast<const unsigned char *>(text_);
    while (pos_ < length_ && IsDigit(p[pos_]))
        pos_++;
    if (pos_ < length_ && p[pos_] == '.') {
        pos_++;
        while (pos_ < length_ && IsDigit(p[pos_]))
            pos_++;
    }
    if (pos_ < length_ && (p[pos_] == 'e' || p[pos_] == 'E')) {
        size_t exp = pos_ + 1;
        if (exp < length_ && (p[exp] == '+' || p[exp] == '-'))
            exp++;
        if (exp >= length_ || !IsDigit(p[exp]))
            return Fail(error, start, exp - start);
        pos_ = exp;
        while (pos_ < length_ && IsDigit(p[pos_]))
            pos_++;
    }
    // A name glued to a number ("12abc") is a mistake, not two tokens.
    if (pos_ < length_ && IsNameStart(p[pos_])) {
        size_t end = pos_;
        while (end < length_ && IsNameByte(p[end]))
            end++;
        return Fail(error, start, end - start);
    }
    if (pos_ - start == 1 && p[start] == '.')
        return Fail(error, start, 1);
    double value = 0;
    auto parsed = std::from_chars(text_ + start, text_ + pos_, value);
    if (parsed.ec != std::errc() || parsed.ptr != text_ + pos_ || !std::isfinite(value))
        return Fail(error, start, pos_ - start);
    token->kind = Tok::Number;
    token->offset = start;
    token->length = pos_ - start;
    token->number = value;
    return true;
}

bool Lexer::Next(Token *token, LexError *error) {
    const auto *p = reinterpret_cast<const unsigned char *>(text_);
    while (pos_ < length_ &&
           (p[pos_] == ' ' || p[pos_] == '\t' || p[pos_] == '\r' || p[pos_] == '\n'))
        pos_++;
    *token = Token();
    token->offset = pos_;
    if (pos_ >= length_) {
        token->kind = Tok::End;
        return true;
    }
    const unsigned char c = p[pos_];
    const unsigned char next = pos_ + 1 < length_ ? p[pos_ + 1] : 0;
    auto single = [&](Tok kind, size_t length) {
        token->kind = kind;
        token->length = length;
        pos_ += length;
        return true;
    };
    if (c == '"')
        return LexText(token, error);
    if (IsDigit(c) || (c == '.' && IsDigit(next)))
        return LexNumber(token, error);
    if (IsNameStart(c) || c == '@') {
        const size_t start = pos_;
        if (c == '@')
            pos_++;
        const size_t nameStart = pos_;
        if (pos_ >= length_ || !IsNameStart(p[pos_]))
            return Fail(error, start, pos_ - start);
        while (pos_ < length_ && IsNameByte(p[pos_]))
            pos_++;
        if (pos_ - nameStart > kMaxNameLength)
            return Fail(error, start, pos_ - start);
        token->kind = c == '@' ? Tok::AtName : Tok::Name;
        token->length = pos_ - start;
        token->text.assign(text_ + nameStart, pos_ - nameStart);
        return true;
    }
    if (c == '[') {
        const size_t start = pos_++;
        while (pos_ < length_ && IsNameByte(p[pos_]))
            pos_++;
        if (pos_ >= length_ || p[pos_] != ']' || pos_ == start + 1)
            return Fail(error, start, (pos_ < length_ ? pos_ + 1 : pos_) - start);
        token->kind = Tok::Keyword;
        token->text.assign(text_ + start + 1, pos_ - start - 1);
        pos_++;
        token->length = pos_ - start;
        return true;
    }
    switch (c) {
        case '(':
            return single(Tok::LParen, 1);
        case ')':
            return single(Tok::RParen, 1);
        case ';':
            return single(Tok::Semicolon, 1);
        case ':':
            return next == '=' ? single(Tok::Assign, 2) : single(Tok::Colon, 1);
        case '+':
            return single(Tok::Plus, 1);
        case '-':
            return single(Tok::Minus, 1);
        case '*':
            return single(Tok::Star, 1);
        case '/':
            return single(Tok::Slash, 1);
        case '=':
            return single(Tok::Eq, 1);
        case '!':
            return next == '=' ? single(Tok::Ne, 2) : single(Tok::Not, 1);
        case '<':
            if (next == '>')
                return single(Tok::Ne, 2);
            return next == '=' ? single(Tok::Le, 2) : single(Tok::Lt, 1);
        case '>':
            return next == '=' ? single(Tok::Ge, 2) : single(Tok::Gt, 1);
        case '&':
            return single(Tok::Amp, 1);
        case '|':
            return single(Tok::Bar, 1);
        default:
            return Fail(error, pos_, 1);
    }
}

}  // namespace formula
}  // namespace notes_internal
