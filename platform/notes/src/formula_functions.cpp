// The @functions of the formula language (nsf_formula.h).
#include <cmath>
#include <cstring>

#include "dname.h"
#include "formula_eval.h"
#include "os_env.h"
#include "os_error.h"
#include "os_time.h"

namespace notes_internal {
namespace formula {

namespace {

Value Flag(bool value) {
    return Value::Number(value ? 1 : 0);
}

// The first entry of a number argument as an int (toward zero);
// ERR_FORMULA_TYPE for another kind, ERR_FORMULA_VALUE for none or one out
// of range.
STATUS IntArg(const Value &value, int *out) {
    if (value.kind != ValueKind::Number)
        return ERR_FORMULA_TYPE;
    if (value.numbers.empty())
        return ERR_FORMULA_VALUE;
    const double n = std::trunc(value.numbers[0]);
    if (!(n >= INT32_MIN && n <= INT32_MAX))
        return ERR_FORMULA_VALUE;
    *out = static_cast<int>(n);
    return NOERROR;
}

// The first entry of a text argument ("" for none).
STATUS TextArg(const Value &value, std::string *out) {
    if (value.kind != ValueKind::Text)
        return ERR_FORMULA_TYPE;
    *out = value.texts.empty() ? std::string() : value.texts[0];
    return NOERROR;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string Trim(const std::string &text) {
    std::string out;
    bool pendingBlank = false;
    for (size_t i = 0; i < text.size();) {
        const size_t length = CharLength(text, i);
        if (length == 1 && IsBlank(text[i])) {
            pendingBlank = !out.empty();
            i++;
            continue;
        }
        if (pendingBlank)
            out += ' ';
        pendingBlank = false;
        out.append(text, i, length);
        i += length;
    }
    return out;
}

// A name through one of the name calls; a name that cannot be converted
// (or that holds a NUL byte or is too long) stays as it is.
std::string ConvertName(const std::string &name, NameForm form) {
    if (name.empty() || name.size() >= MAXDNAME || name.find('\0') != std::string::npos)
        return name;
    if (form == NameForm::CommonName) {
        DN_COMPONENTS parts;
        if (DNParse(0, nullptr, name.c_str(), &parts, sizeof parts) != NOERROR)
            return name;
        return parts.CN ? std::string(parts.CN, parts.CNLength) : std::string();
    }
    char buffer[MAXDNAME];
    WORD length = 0;
    const STATUS status =
        form == NameForm::Abbreviate
            ? DNAbbreviate(0, nullptr, name.c_str(), buffer, sizeof buffer, &length)
            : DNCanonicalize(0, nullptr, name.c_str(), buffer, sizeof buffer, &length);
    return status == NOERROR ? std::string(buffer, length) : name;
}

// The pieces of text between separator characters.
void Explode(const std::string &text, const std::vector<std::string> &separators, bool keepEmpty,
             std::vector<std::string> *out) {
    std::string piece;
    for (size_t i = 0; i < text.size();) {
        const size_t length = CharLength(text, i);
        bool separator = false;
        for (const std::string &s : separators) {
            if (s.size() == length && text.compare(i, length, s) == 0) {
                separator = true;
                break;
            }
        }
        if (separator) {
            if (keepEmpty || !piece.empty())
                out->push_back(piece);
            piece.clear();
        } else {
            piece.append(text, i, length);
        }
        i += length;
    }
    if (keepEmpty || !piece.empty())
        out->push_back(piece);
}

std::vector<std::string> Characters(const std::string &text) {
    std::vector<std::string> out;
    for (size_t i = 0; i < text.size(); i += CharLength(text, i))
        out.push_back(text.substr(i, CharLength(text, i)));
    return out;
}

}  // namespace

STATUS Evaluator::EvalCall(const Node &node, Value *out) {
    // Functions that choose what to evaluate, or read no value.
    switch (node.fn) {
        case Fn::If: {
            const size_t n = node.kids.size();
            for (size_t i = 0; i + 1 < n; i += 2) {
                Value condition;
                if (STATUS status = Eval(*node.kids[i], &condition))
                    return status;
                bool truth = false;
                if (STATUS status = Truth(condition, &truth))
                    return status;
                if (truth)
                    return Eval(*node.kids[i + 1], out);
            }
            return Eval(*node.kids[n - 1], out);
        }
        case Fn::IsAvailable:
            *out = Flag(HasItem(node.kids[0]->key, node.kids[0]->name));
            return NOERROR;
        case Fn::Name: {
            Value names;
            if (STATUS status = Eval(*node.kids[1], &names))
                return status;
            if (names.kind != ValueKind::Text)
                return ERR_FORMULA_TYPE;
            for (std::string &name : names.texts)
                name = ConvertName(name, node.kids[0]->nameForm);
            *out = std::move(names);
            return NOERROR;
        }
        default:
            break;
    }

    std::vector<Value> args(node.kids.size());
    for (size_t i = 0; i < node.kids.size(); i++) {
        if (STATUS status = Eval(*node.kids[i], &args[i]))
            return status;
    }
    const size_t argc = args.size();

    switch (node.fn) {
        case Fn::True:
        case Fn::All:
            *out = Flag(true);
            return NOERROR;
        case Fn::False:
            *out = Flag(false);
            return NOERROR;
        case Fn::DeleteDocument:
            out_->deleteNote = true;
            *out = Flag(true);
            return NOERROR;
        case Fn::Now:
        case Fn::Today: {
            if (STATUS status = EnsureLocale())
                return status;
            TIMEDATE now = locale_.now;
            if (node.fn == Fn::Today) {
                if (STATUS status = TimeDateSplit(&locale_.now, TIMEDATE_PART_DATE, &now))
                    return status;
            }
            *out = Value::Time(now);
            return NOERROR;
        }
        case Fn::UserName: {
            char name[MAXUSERNAME];
            if (STATUS status = SECKFMGetUserName(name))
                return status;
            // notes.ini holds UTF-8; formulas work in LMBCS.
            const size_t length = std::strlen(name);
            std::string lmbcs(3 * length + 1, '\0');
            lmbcs.resize(OSTranslate(OS_TRANSLATE_UTF8_TO_LMBCS, name, static_cast<WORD>(length),
                                     &lmbcs[0], static_cast<WORD>(lmbcs.size())));
            *out = Value::Text(std::move(lmbcs));
            return NOERROR;
        }
        case Fn::IsText:
        case Fn::IsTime:
        case Fn::IsNumber: {
            const ValueKind kind = node.fn == Fn::IsText   ? ValueKind::Text
                                   : node.fn == Fn::IsTime ? ValueKind::Time
                                                           : ValueKind::Number;
            *out = Flag(args[0].kind == kind);
            return NOERROR;
        }
        case Fn::Elements: {
            const Value &v = args[0];
            const bool blank =
                v.kind == ValueKind::Text && v.texts.size() == 1 && v.texts[0].empty();
            *out = Value::Number(blank ? 0 : static_cast<NUMBER>(v.Count()));
            return NOERROR;
        }
        case Fn::Subset: {
            int n = 0;
            if (STATUS status = IntArg(args[1], &n))
                return status;
            if (n == 0)
                return ERR_FORMULA_VALUE;
            Value v = std::move(args[0]);
            const size_t count = v.Count();
            const size_t take = std::min(count, static_cast<size_t>(n < 0 ? -int64_t(n) : n));
            const size_t from = n > 0 ? 0 : count - take;
            auto cut = [&](auto &entries) {
                entries.erase(entries.begin() + static_cast<ptrdiff_t>(from + take), entries.end());
                entries.erase(entries.begin(), entries.begin() + static_cast<ptrdiff_t>(from));
            };
            switch (v.kind) {
                case ValueKind::Text:
                    cut(v.texts);
                    break;
                case ValueKind::Number:
                    cut(v.numbers);
                    break;
                case ValueKind::Time:
                    cut(v.times);
                    break;
            }
            *out = std::move(v);
            return NOERROR;
        }
        default:
            break;
    }

    // Functions of texts, entry by entry.
    switch (node.fn) {
        case Fn::Trim:
        case Fn::LowerCase:
        case Fn::UpperCase: {
            Value v = std::move(args[0]);
            if (v.kind != ValueKind::Text)
                return ERR_FORMULA_TYPE;
            std::vector<std::string> texts;
            for (const std::string &text : v.texts) {
                if (node.fn == Fn::Trim) {
                    std::string trimmed = Trim(text);
                    if (!trimmed.empty())
                        texts.push_back(std::move(trimmed));
                } else {
                    texts.push_back(node.fn == Fn::LowerCase ? LowerCaseText(text)
                                                             : UpperCaseText(text));
                }
            }
            *out = Value::Texts(std::move(texts));
            return NOERROR;
        }
        case Fn::Left:
        case Fn::Right: {
            Value v = std::move(args[0]);
            if (v.kind != ValueKind::Text)
                return ERR_FORMULA_TYPE;
            const bool left = node.fn == Fn::Left;
            if (args[1].kind == ValueKind::Text) {
                std::string sub;
                TextArg(args[1], &sub);
                for (std::string &text : v.texts) {
                    if (STATUS status = Charge(text.size() + sub.size()))
                        return status;
                    const size_t at = FindText(text, sub);
                    if (at == std::string::npos)
                        text.clear();
                    else
                        text = left ? text.substr(0, at) : text.substr(at + sub.size());
                }
            } else {
                int n = 0;
                if (STATUS status = IntArg(args[1], &n))
                    return status;
                for (std::string &text : v.texts) {
                    if (n <= 0) {
                        text.clear();
                        continue;
                    }
                    const size_t chars = CharCount(text);
                    const size_t keep = std::min(chars, static_cast<size_t>(n));
                    text = left ? text.substr(0, ByteOffsetOfChar(text, keep))
                                : text.substr(ByteOffsetOfChar(text, chars - keep));
                }
            }
            *out = std::move(v);
            return NOERROR;
        }
        case Fn::Contains: {
            if (args[0].kind != ValueKind::Text || args[1].kind != ValueKind::Text)
                return ERR_FORMULA_TYPE;
            bool found = false;
            for (const std::string &text : args[0].texts) {
                for (const std::string &sub : args[1].texts) {
                    if (STATUS status = Charge(text.size() + sub.size() + 1))
                        return status;
                    if (FindText(text, sub) != std::string::npos) {
                        found = true;
                        break;
                    }
                }
                if (found)
                    break;
            }
            *out = Flag(found);
            return NOERROR;
        }
        case Fn::Implode: {
            if (args[0].kind != ValueKind::Text)
                return ERR_FORMULA_TYPE;
            std::string separator = " ";
            if (argc > 1) {
                if (STATUS status = TextArg(args[1], &separator))
                    return status;
            }
            std::string joined;
            for (size_t i = 0; i < args[0].texts.size(); i++) {
                if (i > 0)
                    joined += separator;
                joined += args[0].texts[i];
                if (joined.size() > kMaxTextBytes)
                    return ERR_FORMULA_LIMIT;
            }
            *out = Value::Text(std::move(joined));
            return NOERROR;
        }
        case Fn::Explode: {
            if (args[0].kind != ValueKind::Text)
                return ERR_FORMULA_TYPE;
            std::string separators = " ,;";
            if (argc > 1) {
                if (STATUS status = TextArg(args[1], &separators))
                    return status;
            }
            bool keepEmpty = false;
            if (argc > 2) {
                if (STATUS status = Truth(args[2], &keepEmpty))
                    return status;
            }
            const std::vector<std::string> characters = Characters(separators);
            std::vector<std::string> pieces;
            for (const std::string &text : args[0].texts) {
                if (STATUS status = Charge(text.size() * (characters.size() + 1)))
                    return status;
                Explode(text, characters, keepEmpty, &pieces);
                if (pieces.size() > kMaxEntries)
                    return ERR_FORMULA_LIMIT;
            }
            *out = Value::Texts(std::move(pieces));
            return NOERROR;
        }
        default:
            break;
    }

    // Functions of times and of numbers as text.
    switch (node.fn) {
        case Fn::Text: {
            std::string format;
            if (argc > 1) {
                if (STATUS status = TextArg(args[1], &format))
                    return status;
            }
            Value v = std::move(args[0]);
            if (v.kind == ValueKind::Text) {
                *out = std::move(v);
                return NOERROR;
            }
            if (STATUS status = EnsureLocale())
                return status;
            std::vector<std::string> texts;
            for (size_t i = 0; i < v.Count(); i++) {
                std::string text;
                STATUS status = v.kind == ValueKind::Number
                                    ? FormatNumber(v.numbers[i], format, locale_, &text)
                                    : FormatTime(v.times[i], format, locale_, &text);
                if (status != NOERROR)
                    return status;
                texts.push_back(std::move(text));
            }
            *out = Value::Texts(std::move(texts));
            return NOERROR;
        }
        case Fn::Date: {
            if (STATUS status = EnsureLocale())
                return status;
            if (argc == 1) {
                Value v = std::move(args[0]);
                if (v.kind != ValueKind::Time)
                    return ERR_FORMULA_TYPE;
                for (TIMEDATE &t : v.times) {
                    const TIMEDATE local = OnServerClock(t, locale_);
                    if (STATUS status = TimeDateSplit(&local, TIMEDATE_PART_DATE, &t))
                        return status;
                }
                *out = std::move(v);
                return NOERROR;
            }
            int f[6] = {0, 0, 0, 12, 0, 0};
            for (size_t i = 0; i < argc; i++) {
                if (STATUS status = IntArg(args[i], &f[i]))
                    return status;
            }
            TIME t{};
            t.year = f[0], t.month = f[1], t.day = f[2];
            t.hour = f[3], t.minute = f[4], t.second = f[5];
            t.zone = locale_.zone;
            t.dst = locale_.dst;
            if (TimeLocalToGM(&t))
                return ERR_BAD_TIME;
            TIMEDATE result = t.GM;
            if (argc == 3) {
                if (STATUS status = TimeDateSplit(&t.GM, TIMEDATE_PART_DATE, &result))
                    return status;
            }
            *out = Value::Time(result);
            return NOERROR;
        }
        case Fn::Adjust: {
            Value v = std::move(args[0]);
            if (v.kind != ValueKind::Time)
                return ERR_FORMULA_TYPE;
            int by[6];
            for (size_t i = 0; i < 6; i++) {
                if (STATUS status = IntArg(args[i + 1], &by[i]))
                    return status;
            }
            for (TIMEDATE &t : v.times) {
                if (STATUS status = AdjustTime(&t, by[0], by[1], by[2], by[3], by[4], by[5]))
                    return status;
            }
            *out = std::move(v);
            return NOERROR;
        }
        case Fn::TextToNumber: {
            Value v = std::move(args[0]);
            if (v.kind == ValueKind::Number) {
                *out = std::move(v);
                return NOERROR;
            }
            if (v.kind != ValueKind::Text)
                return ERR_FORMULA_TYPE;
            if (STATUS status = EnsureLocale())
                return status;
            std::vector<NUMBER> numbers;
            for (const std::string &text : v.texts) {
                double n = 0;
                if (!ParseNumberText(text, locale_, &n))
                    return ERR_FORMULA_VALUE;
                numbers.push_back(n);
            }
            *out = Value::Numbers(std::move(numbers));
            return NOERROR;
        }
        case Fn::TextToTime: {
            Value v = std::move(args[0]);
            if (v.kind == ValueKind::Time) {
                *out = std::move(v);
                return NOERROR;
            }
            if (v.kind != ValueKind::Text)
                return ERR_FORMULA_TYPE;
            if (STATUS status = EnsureLocale())
                return status;
            std::vector<TIMEDATE> times;
            for (const std::string &text : v.texts) {
                TIMEDATE t;
                if (ParseTimeText(text, locale_, &t))
                    times.push_back(t);
            }
            // A text that is no time gives "", as an absent item reads.
            *out = times.empty() && !v.texts.empty() ? Value::Text("")
                                                     : Value::Times(std::move(times));
            return NOERROR;
        }
        default:
            break;
    }
    return ERR_FORMULA_SYNTAX;  // the parser knows no other function
}

}  // namespace formula
}  // namespace notes_internal
