// A parsed formula: its statements as trees, and the parser that makes
// them (the language: nsf_formula.h).
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "global.h"
#include "value_codec.h"

namespace notes_internal {
namespace formula {

// Nesting of parentheses, calls and prefix operators. Evaluation recurses
// only as deep as the tree, so this bounds its stack too.
constexpr int kMaxNesting = 64;

enum class Op {
    Or,
    And,
    Not,
    Eq,
    Ne,
    Lt,
    Gt,
    Le,
    Ge,
    Add,
    Sub,
    Mul,
    Div,
    Neg,
    Pos,
    List,
};

enum class Fn {
    Adjust,
    All,
    Contains,
    Date,
    DeleteDocument,
    Elements,
    Explode,
    False,
    If,
    Implode,
    IsAvailable,
    IsNumber,
    IsText,
    IsTime,
    Left,
    LowerCase,
    Name,
    Now,
    Right,
    Subset,
    Text,
    TextToNumber,
    TextToTime,
    Today,
    Trim,
    True,
    UpperCase,
    UserName,
};

// The keywords of @Name.
enum class NameForm { CommonName, Abbreviate, Canonicalize };

struct Node {
    enum class Kind { Literal, Ref, Keyword, Call, Unary, Chain };
    Kind kind = Kind::Literal;
    Value literal;                            // Literal
    std::string name;                         // Ref: as written
    std::string key;                          // Ref: folded
    Fn fn = Fn::True;                         // Call
    NameForm nameForm{};                      // Keyword
    Op op = Op::Neg;                          // Unary
    std::vector<Op> ops;                      // Chain: ops[i] joins kids[i] and kids[i + 1]
    std::vector<std::unique_ptr<Node>> kids;  // Call arguments, Unary operand, Chain operands
};

struct Statement {
    enum class Kind { Expr, Assign, Field, Select, Rem };
    Kind kind = Kind::Expr;
    std::string name;  // Assign, Field: as written
    std::string key;   // folded
    std::unique_ptr<Node> expr;
};

struct Program {
    std::vector<Statement> statements;
};

// Where a formula's text fails to compile.
struct CompileError {
    STATUS status = NOERROR;
    size_t offset = 0;
    size_t length = 0;
};

// Parses a formula; NOERROR, or the status of the first error with its
// place in *error. Never reads past length.
STATUS Parse(const char *text, size_t length, Program *program, CompileError *error);

}  // namespace formula
}  // namespace notes_internal
