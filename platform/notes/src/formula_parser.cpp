// The parser of formulas: recursive descent over the whole token list, one
// function per binding level. Operators of one level form one Chain node,
// so that a long "a + b + c ..." is a wide node, not a deep one.
#include <vector>

#include "formula_lexer.h"
#include "formula_program.h"
#include "os_error.h"

namespace notes_internal {
namespace formula {

namespace {

struct FunctionInfo {
    const char *name;  // folded, without "@"
    Fn fn;
    int minArgs;
    int maxArgs;  // -1: any number
};

const FunctionInfo kFunctions[] = {
    {"adjust", Fn::Adjust, 7, 7},
    {"all", Fn::All, 0, 0},
    {"contains", Fn::Contains, 2, 2},
    {"date", Fn::Date, 1, 6},
    {"deletedocument", Fn::DeleteDocument, 0, 0},
    {"elements", Fn::Elements, 1, 1},
    {"explode", Fn::Explode, 1, 3},
    {"false", Fn::False, 0, 0},
    {"if", Fn::If, 3, -1},
    {"implode", Fn::Implode, 1, 2},
    {"isavailable", Fn::IsAvailable, 1, 1},
    {"isnumber", Fn::IsNumber, 1, 1},
    {"istext", Fn::IsText, 1, 1},
    {"istime", Fn::IsTime, 1, 1},
    {"left", Fn::Left, 2, 2},
    {"lowercase", Fn::LowerCase, 1, 1},
    {"name", Fn::Name, 2, 2},
    {"now", Fn::Now, 0, 0},
    {"right", Fn::Right, 2, 2},
    {"subset", Fn::Subset, 2, 2},
    {"text", Fn::Text, 1, 2},
    {"texttonumber", Fn::TextToNumber, 1, 1},
    {"texttotime", Fn::TextToTime, 1, 1},
    {"today", Fn::Today, 0, 0},
    {"trim", Fn::Trim, 1, 1},
    {"true", Fn::True, 0, 0},
    {"uppercase", Fn::UpperCase, 1, 1},
    {"username", Fn::UserName, 0, 0},
};

const FunctionInfo *FindFunction(const std::string &folded) {
    for (const FunctionInfo &info : kFunctions) {
        if (folded == info.name)
            return &info;
    }
    return nullptr;
}

bool ArgCountFits(const FunctionInfo &info, size_t count) {
    const int n = static_cast<int>(count);
    if (n < info.minArgs || (info.maxArgs >= 0 && n > info.maxArgs))
        return false;
    if (info.fn == Fn::If)
        return n % 2 == 1;
    if (info.fn == Fn::Date)
        return n == 1 || n == 3 || n == 6;
    return true;
}

bool IsReserved(const std::string &folded) {
    return folded == "select" || folded == "field" || folded == "rem";
}

class Parser {
  public:
    Parser(std::vector<Token> tokens, CompileError *error)
        : tokens_(std::move(tokens)), error_(error) {}

    bool ParseProgram(Program *program);

  private:
    const Token &Peek(size_t ahead = 0) const {
        size_t at = pos_ + ahead;
        return at < tokens_.size() ? tokens_[at] : tokens_.back();
    }
    const Token &Take() {
        const Token &token = Peek();
        if (pos_ < tokens_.size() - 1)
            pos_++;
        return token;
    }
    bool Fail(STATUS status, size_t offset, size_t length) {
        error_->status = status;
        error_->offset = offset;
        error_->length = length;
        return false;
    }
    bool FailAt(const Token &token, STATUS status = ERR_FORMULA_SYNTAX) {
        return Fail(status, token.offset, token.length);
    }
    bool Enter(int depth) {
        return depth <= kMaxNesting || FailAt(Peek(), ERR_FORMULA_TOO_COMPLEX);
    }

    bool ParseStatement(Statement *statement);
    bool ParseExpr(int depth, std::unique_ptr<Node> *out);
    bool ParseOr(int depth, std::unique_ptr<Node> *out);
    bool ParseAnd(int depth, std::unique_ptr<Node> *out);
    bool ParseNot(int depth, std::unique_ptr<Node> *out);
    bool ParseCompare(int depth, std::unique_ptr<Node> *out);
    bool ParseAdditive(int depth, std::unique_ptr<Node> *out);
    bool ParseMultiplicative(int depth, std::unique_ptr<Node> *out);
    bool ParseUnary(int depth, std::unique_ptr<Node> *out);
    bool ParseList(int depth, std::unique_ptr<Node> *out);
    bool ParsePrimary(int depth, std::unique_ptr<Node> *out);
    bool ParseCall(int depth, const Token &at, std::unique_ptr<Node> *out);

    // One binding level: operands from `operand`, operators that `opOf`
    // maps (false for a token that is not one of the level's).
    template <class Operand, class OpOf>
    bool ParseChain(int depth, std::unique_ptr<Node> *out, Operand operand, OpOf opOf);

    std::vector<Token> tokens_;  // ends with an End token
    size_t pos_ = 0;
    CompileError *error_;
};

template <class Operand, class OpOf>
bool Parser::ParseChain(int depth, std::unique_ptr<Node> *out, Operand operand, OpOf opOf) {
    std::unique_ptr<Node> first;
    if (!(this->*operand)(depth, &first))
        return false;
    Op op;
    if (!opOf(Peek().kind, &op)) {
        *out = std::move(first);
        return true;
    }
    auto chain = std::make_unique<Node>();
    chain->kind = Node::Kind::Chain;
    chain->kids.push_back(std::move(first));
    while (opOf(Peek().kind, &op)) {
        Take();
        std::unique_ptr<Node> next;
        if (!(this->*operand)(depth, &next))
            return false;
        chain->ops.push_back(op);
        chain->kids.push_back(std::move(next));
    }
    *out = std::move(chain);
    return true;
}

bool Parser::ParseProgram(Program *program) {
    for (;;) {
        while (Peek().kind == Tok::Semicolon)
            Take();
        if (Peek().kind == Tok::End)
            break;
        Statement statement;
        if (!ParseStatement(&statement))
            return false;
        program->statements.push_back(std::move(statement));
        const Token &after = Peek();
        if (after.kind != Tok::Semicolon && after.kind != Tok::End)
            return FailAt(after);
    }
    if (program->statements.empty())
        return FailAt(Peek());  // nothing but blanks and ";"
    return true;
}

bool Parser::ParseStatement(Statement *statement) {
    const Token &first = Peek();
    if (first.kind == Tok::Name) {
        const std::string folded = FoldAscii(first.text);
        if (folded == "select") {
            Take();
            statement->kind = Statement::Kind::Select;
            return ParseExpr(1, &statement->expr);
        }
        if (folded == "rem") {
            Take();
            if (Peek().kind != Tok::Text)
                return FailAt(Peek());
            Take();
            statement->kind = Statement::Kind::Rem;
            return true;
        }
        if (folded == "field") {
            Take();
            const Token &name = Peek();
            if (name.kind != Tok::Name || IsReserved(FoldAscii(name.text)))
                return FailAt(name);
            Take();
            if (Peek().kind != Tok::Assign)
                return FailAt(Peek());
            Take();
            statement->kind = Statement::Kind::Field;
            statement->name = name.text;
            statement->key = FoldAscii(name.text);
            return ParseExpr(1, &statement->expr);
        }
        if (Peek(1).kind == Tok::Assign) {
            Take();
            Take();
            statement->kind = Statement::Kind::Assign;
            statement->name = first.text;
            statement->key = folded;
            return ParseExpr(1, &statement->expr);
        }
    }
    statement->kind = Statement::Kind::Expr;
    return ParseExpr(1, &statement->expr);
}

bool Parser::ParseExpr(int depth, std::unique_ptr<Node> *out) {
    if (!Enter(depth))
        return false;
    return ParseOr(depth, out);
}

bool Parser::ParseOr(int depth, std::unique_ptr<Node> *out) {
    return ParseChain(depth, out, &Parser::ParseAnd, [](Tok kind, Op *op) {
        *op = Op::Or;
        return kind == Tok::Bar;
    });
}

bool Parser::ParseAnd(int depth, std::unique_ptr<Node> *out) {
    return ParseChain(depth, out, &Parser::ParseNot, [](Tok kind, Op *op) {
        *op = Op::And;
        return kind == Tok::Amp;
    });
}

bool Parser::ParseNot(int depth, std::unique_ptr<Node> *out) {
    if (Peek().kind != Tok::Not)
        return ParseCompare(depth, out);
    Take();
    if (!Enter(depth + 1))
        return false;
    auto node = std::make_unique<Node>();
    node->kind = Node::Kind::Unary;
    node->op = Op::Not;
    node->kids.emplace_back();
    if (!ParseNot(depth + 1, &node->kids[0]))
        return false;
    *out = std::move(node);
    return true;
}

bool Parser::ParseCompare(int depth, std::unique_ptr<Node> *out) {
    return ParseChain(depth, out, &Parser::ParseAdditive, [](Tok kind, Op *op) {
        switch (kind) {
            case Tok::Eq:
                *op = Op::Eq;
                return true;
            case Tok::Ne:
                *op = Op::Ne;
                return true;
            case Tok::Lt:
                *op = Op::Lt;
                return true;
            case Tok::Gt:
                *op = Op::Gt;
                return true;
            case Tok::Le:
                *op = Op::Le;
                return true;
            case Tok::Ge:
                *op = Op::Ge;
                return true;
            default:
                return false;
        }
    });
}

bool Parser::ParseAdditive(int depth, std::unique_ptr<Node> *out) {
    return ParseChain(depth, out, &Parser::ParseMultiplicative, [](Tok kind, Op *op) {
        *op = kind == Tok::Plus ? Op::Add : Op::Sub;
        return kind == Tok::Plus || kind == Tok::Minus;
    });
}

bool Parser::ParseMultiplicative(int depth, std::unique_ptr<Node> *out) {
    return ParseChain(depth, out, &Parser::ParseList, [](Tok kind, Op *op) {
        *op = kind == Tok::Star ? Op::Mul : Op::Div;
        return kind == Tok::Star || kind == Tok::Slash;
    });
}

bool Parser::ParseUnary(int depth, std::unique_ptr<Node> *out) {
    const Tok kind = Peek().kind;
    if (kind != Tok::Minus && kind != Tok::Plus)
        return ParsePrimary(depth, out);
    Take();
    if (!Enter(depth + 1))
        return false;
    auto node = std::make_unique<Node>();
    node->kind = Node::Kind::Unary;
    node->op = kind == Tok::Minus ? Op::Neg : Op::Pos;
    node->kids.emplace_back();
    if (!ParseUnary(depth + 1, &node->kids[0]))
        return false;
    *out = std::move(node);
    return true;
}

bool Parser::ParseList(int depth, std::unique_ptr<Node> *out) {
    return ParseChain(depth, out, &Parser::ParseUnary, [](Tok kind, Op *op) {
        *op = Op::List;
        return kind == Tok::Colon;
    });
}

bool Parser::ParsePrimary(int depth, std::unique_ptr<Node> *out) {
    const Token &token = Peek();
    auto node = std::make_unique<Node>();
    switch (token.kind) {
        case Tok::Number:
            Take();
            node->literal = Value::Number(token.number);
            break;
        case Tok::Text:
            Take();
            node->literal = Value::Text(token.text);
            break;
        case Tok::Name:
            if (IsReserved(FoldAscii(token.text)))
                return FailAt(token);
            Take();
            node->kind = Node::Kind::Ref;
            node->name = token.text;
            node->key = FoldAscii(token.text);
            break;
        case Tok::AtName:
            Take();
            return ParseCall(depth, token, out);
        case Tok::LParen: {
            Take();
            if (!ParseExpr(depth + 1, &node))
                return false;
            if (Peek().kind != Tok::RParen)
                return FailAt(Peek());
            Take();
            break;
        }
        default:
            // A keyword outside @Name, an operator where a value belongs,
            // or the end of the text.
            return FailAt(token);
    }
    *out = std::move(node);
    return true;
}

bool Parser::ParseCall(int depth, const Token &at, std::unique_ptr<Node> *out) {
    const FunctionInfo *info = FindFunction(FoldAscii(at.text));
    if (info == nullptr)
        return FailAt(at, ERR_FORMULA_UNKNOWN_FUNCTION);
    auto node = std::make_unique<Node>();
    node->kind = Node::Kind::Call;
    node->fn = info->fn;
    size_t end = at.offset + at.length;
    if (Peek().kind == Tok::LParen) {
        Take();
        if (Peek().kind != Tok::RParen) {
            for (;;) {
                std::unique_ptr<Node> arg;
                const Token &argToken = Peek();
                if (info->fn == Fn::Name && node->kids.empty() && argToken.kind == Tok::Keyword) {
                    const std::string keyword = FoldAscii(argToken.text);
                    arg = std::make_unique<Node>();
                    arg->kind = Node::Kind::Keyword;
                    if (keyword == "cn") {
                        arg->nameForm = NameForm::CommonName;
                    } else if (keyword == "abbreviate") {
                        arg->nameForm = NameForm::Abbreviate;
                    } else if (keyword == "canonicalize") {
                        arg->nameForm = NameForm::Canonicalize;
                    } else {
                        return FailAt(argToken);
                    }
                    Take();
                } else {
                    if (info->fn == Fn::Name && node->kids.empty())
                        return FailAt(argToken);  // @Name needs its keyword first
                    if (info->fn == Fn::IsAvailable &&
                        (argToken.kind != Tok::Name || IsReserved(FoldAscii(argToken.text))))
                        return FailAt(argToken);
                    if (!ParseExpr(depth + 1, &arg))
                        return false;
                }
                node->kids.push_back(std::move(arg));
                if (Peek().kind == Tok::Semicolon) {
                    Take();
                    continue;
                }
                break;
            }
        }
        if (Peek().kind != Tok::RParen)
            return FailAt(Peek());
        end = Take().offset + 1;
    }
    if (!ArgCountFits(*info, node->kids.size()))
        return Fail(ERR_FORMULA_ARG_COUNT, at.offset, end - at.offset);
    if (info->fn == Fn::IsAvailable && node->kids[0]->kind != Node::Kind::Ref)
        return Fail(ERR_FORMULA_SYNTAX, at.offset, end - at.offset);
    *out = std::move(node);
    return true;
}

}  // namespace

STATUS Parse(const char *text, size_t length, Program *program, CompileError *error) {
    *error = CompileError();
    std::vector<Token> tokens;
    Lexer lexer(text, length);
    for (;;) {
        Token token;
        LexError lexError;
        if (!lexer.Next(&token, &lexError)) {
            error->status = lexError.status;
            error->offset = lexError.offset;
            error->length = lexError.length;
            return error->status;
        }
        const bool end = token.kind == Tok::End;
        tokens.push_back(std::move(token));
        if (end)
            break;
    }
    Program parsed;
    Parser parser(std::move(tokens), error);
    if (!parser.ParseProgram(&parsed))
        return error->status;
    *program = std::move(parsed);
    return NOERROR;
}

}  // namespace formula
}  // namespace notes_internal
