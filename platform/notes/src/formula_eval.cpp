#include "formula_eval.h"

#include <algorithm>
#include <cmath>

#include "os_error.h"
#include "os_time.h"

namespace notes_internal {
namespace formula {

namespace {

constexpr DWORD kDayMask = 0x00FFFFFFu;
constexpr int64_t kSecondsInDay = 86400;

int64_t FloorMod(int64_t a, int64_t b) {
    const int64_t r = a % b;
    return r < 0 ? r + b : r;
}

Value Flag(bool value) {
    return Value::Number(value ? 1 : 0);
}

bool SameKind(const Value &a, const Value &b) {
    return a.kind == b.kind;
}

// Entry i of a list extended with its last entry.
size_t At(size_t i, size_t count) {
    return i < count ? i : count - 1;
}

}  // namespace

STATUS AdjustTime(TIMEDATE *time, int years, int months, int days, int hours, int minutes,
                  int seconds) {
    const bool hasDate = time->Innards[1] != ANYDAY, hasTime = time->Innards[0] != ALLDAY;
    if (!hasDate && !hasTime)
        return ERR_BAD_TIME;
    if (hasDate && hasTime)
        return TimeDateAdjust(time, seconds, minutes, hours, days, months, years);
    const int64_t clock = static_cast<int64_t>(hours) * 3600 + static_cast<int64_t>(minutes) * 60 +
                          static_cast<int64_t>(seconds);
    if (!hasDate) {
        // A clock time turns round the clock.
        if (time->Innards[0] >= TICKS_IN_DAY)
            return ERR_BAD_TIME;
        const int64_t ticks =
            static_cast<int64_t>(time->Innards[0]) + FloorMod(clock, kSecondsInDay) * 100;
        time->Innards[0] = static_cast<DWORD>(ticks % TICKS_IN_DAY);
        return NOERROR;
    }
    // A calendar date: moved as noon GMT of that date, so that no zone or
    // daylight change moves it off its day; the clock arguments count in
    // whole days.
    TIME fields{};
    fields.GM = *time;
    if (TimeGMToLocal(&fields))
        return ERR_BAD_TIME;
    TIME noon{};
    noon.year = fields.year;
    noon.month = fields.month;
    noon.day = fields.day;
    noon.hour = 12;
    if (TimeLocalToGM(&noon))
        return ERR_BAD_TIME;
    const int64_t wholeDays = static_cast<int64_t>(days) + clock / kSecondsInDay;
    if (wholeDays > INT32_MAX || wholeDays < INT32_MIN)
        return ERR_BAD_TIME;
    TIMEDATE moved = noon.GM;
    if (STATUS status = TimeDateAdjust(&moved, 0, 0, 0, static_cast<int>(wholeDays), months, years))
        return status;
    TIMEDATE date;
    if (STATUS status = TimeDateSplit(&moved, TIMEDATE_PART_DATE, &date))
        return status;
    time->Innards[1] = (date.Innards[1] & kDayMask) | (time->Innards[1] & ~kDayMask);
    return NOERROR;
}

STATUS Evaluate(const Program &program, const ItemSource *source, Outcome *out) {
    *out = Outcome();
    Evaluator evaluator(source, out);
    return evaluator.Run(program);
}

STATUS Evaluator::Charge(uint64_t units) {
    work_ += units;
    return work_ > kMaxWork ? ERR_FORMULA_LIMIT : NOERROR;
}

STATUS Evaluator::Made(const Value &value) {
    const size_t count = value.Count();
    if (count > kMaxEntries)
        return ERR_FORMULA_LIMIT;
    uint64_t units = 16 + 16 * static_cast<uint64_t>(count);
    for (const std::string &text : value.texts) {
        if (text.size() > kMaxTextBytes)
            return ERR_FORMULA_LIMIT;
        units += text.size();
    }
    return Charge(units);
}

STATUS Evaluator::Truth(const Value &value, bool *out) {
    if (value.kind != ValueKind::Number)
        return ERR_FORMULA_TYPE;
    *out = std::any_of(value.numbers.begin(), value.numbers.end(), [](NUMBER n) { return n != 0; });
    return NOERROR;
}

STATUS Evaluator::EnsureLocale() {
    if (localeLoaded_)
        return NOERROR;
    if (STATUS status = LoadLocale(&locale_))
        return status;
    localeLoaded_ = true;
    return NOERROR;
}

STATUS Evaluator::Run(const Program &program) {
    // The last statement that has a value gives the result.
    size_t last = program.statements.size();
    for (size_t i = 0; i < program.statements.size(); i++) {
        if (program.statements[i].kind != Statement::Kind::Rem)
            last = i;
    }
    for (size_t i = 0; i < program.statements.size(); i++) {
        const Statement &statement = program.statements[i];
        if (statement.kind == Statement::Kind::Rem)
            continue;
        Value value;
        if (STATUS status = Eval(*statement.expr, &value))
            return status;
        if (i == last)
            out_->result = value;
        switch (statement.kind) {
            case Statement::Kind::Select: {
                bool match = false;
                if (STATUS status = Truth(value, &match))
                    return status;
                out_->matches = match;
                break;
            }
            case Statement::Kind::Assign:
                variables_[statement.key] = std::move(value);
                break;
            case Statement::Kind::Field: {
                auto found = fieldIndex_.find(statement.key);
                if (found == fieldIndex_.end()) {
                    fieldIndex_.emplace(statement.key, out_->fields.size());
                    out_->fields.push_back({statement.name, std::move(value)});
                } else {
                    out_->fields[found->second].value = std::move(value);
                }
                break;
            }
            default:
                break;
        }
    }
    if (last == program.statements.size())
        out_->result = Value::Text("");
    return NOERROR;
}

STATUS Evaluator::Eval(const Node &node, Value *out) {
    STATUS status = NOERROR;
    switch (node.kind) {
        case Node::Kind::Literal:
            *out = node.literal;
            break;
        case Node::Kind::Ref:
            status = ReadRef(node, out);
            break;
        case Node::Kind::Chain:
            status = EvalChain(node, out);
            break;
        case Node::Kind::Unary:
            status = EvalUnary(node, out);
            break;
        case Node::Kind::Call:
            status = EvalCall(node, out);
            break;
        case Node::Kind::Keyword:
            return ERR_FORMULA_SYNTAX;  // the parser lets keywords stand only in @Name
    }
    if (status != NOERROR)
        return status;
    return Made(*out);
}

bool Evaluator::HasItem(const std::string &key, const std::string &name) const {
    if (fieldIndex_.count(key) != 0)
        return true;
    WORD type;
    const unsigned char *bytes;
    size_t size;
    return source_ != nullptr && source_->FindItem(name.data(), name.size(), &type, &bytes, &size);
}

STATUS Evaluator::ReadRef(const Node &node, Value *out) {
    auto variable = variables_.find(node.key);
    if (variable != variables_.end()) {
        *out = variable->second;
        return NOERROR;
    }
    auto field = fieldIndex_.find(node.key);
    if (field != fieldIndex_.end()) {
        *out = out_->fields[field->second].value;
        return NOERROR;
    }
    WORD type;
    const unsigned char *bytes;
    size_t size;
    if (source_ == nullptr ||
        !source_->FindItem(node.name.data(), node.name.size(), &type, &bytes, &size) ||
        !IsCodecType(type)) {
        *out = Value::Text("");
        return NOERROR;
    }
    if (STATUS status = Charge(size))
        return status;  // before a large item is copied
    return DecodeValue(type, bytes, size, out);
}

STATUS Evaluator::EvalUnary(const Node &node, Value *out) {
    Value operand;
    if (STATUS status = Eval(*node.kids[0], &operand))
        return status;
    if (node.op == Op::Not) {
        bool truth = false;
        if (STATUS status = Truth(operand, &truth))
            return status;
        *out = Flag(!truth);
        return NOERROR;
    }
    if (operand.kind != ValueKind::Number)
        return ERR_FORMULA_TYPE;
    if (node.op == Op::Neg) {
        for (NUMBER &n : operand.numbers)
            n = -n;
    }
    *out = std::move(operand);
    return NOERROR;
}

STATUS Evaluator::EvalChain(const Node &node, Value *out) {
    Value acc;
    if (STATUS status = Eval(*node.kids[0], &acc))
        return status;
    for (size_t i = 0; i < node.ops.size(); i++) {
        const Op op = node.ops[i];
        if (op == Op::Or || op == Op::And) {
            bool truth = false;
            if (STATUS status = Truth(acc, &truth))
                return status;
            // The right side cannot change a known result: skip it.
            if ((op == Op::Or && truth) || (op == Op::And && !truth)) {
                acc = Flag(truth);
                continue;
            }
            Value next;
            if (STATUS status = Eval(*node.kids[i + 1], &next))
                return status;
            if (STATUS status = Truth(next, &truth))
                return status;
            acc = Flag(truth);
            continue;
        }
        Value next;
        if (STATUS status = Eval(*node.kids[i + 1], &next))
            return status;
        Value result;
        STATUS status;
        switch (op) {
            case Op::List:
                // Each part was charged when it was made; the whole list is
                // charged once, when the chain's value is.
                if (STATUS joined = Concatenate(&acc, std::move(next)))
                    return joined;
                continue;
            case Op::Eq:
            case Op::Ne:
            case Op::Lt:
            case Op::Gt:
            case Op::Le:
            case Op::Ge:
                status = Compare(op, acc, next, &result);
                break;
            default:
                status = Arithmetic(op, acc, next, &result);
                break;
        }
        if (status != NOERROR)
            return status;
        if (STATUS made = Made(result))
            return made;
        acc = std::move(result);
    }
    *out = std::move(acc);
    return NOERROR;
}

STATUS Evaluator::Concatenate(Value *a, Value &&b) {
    if (b.Empty())
        return NOERROR;
    if (a->Empty()) {
        *a = std::move(b);
        return NOERROR;
    }
    if (!SameKind(*a, b))
        return ERR_FORMULA_TYPE;
    if (a->Count() + b.Count() > kMaxEntries)
        return ERR_FORMULA_LIMIT;
    switch (a->kind) {
        case ValueKind::Text:
            a->texts.insert(a->texts.end(), std::make_move_iterator(b.texts.begin()),
                            std::make_move_iterator(b.texts.end()));
            break;
        case ValueKind::Number:
            a->numbers.insert(a->numbers.end(), b.numbers.begin(), b.numbers.end());
            break;
        case ValueKind::Time:
            a->times.insert(a->times.end(), b.times.begin(), b.times.end());
            break;
    }
    return NOERROR;
}

STATUS Evaluator::Arithmetic(Op op, const Value &a, const Value &b, Value *out) {
    const size_t na = a.Count(), nb = b.Count();
    const size_t n = (na == 0 || nb == 0) ? 0 : std::max(na, nb);
    if (a.kind == ValueKind::Text && b.kind == ValueKind::Text && op == Op::Add) {
        Value result = Value::Texts({});
        result.texts.reserve(n);
        for (size_t i = 0; i < n; i++) {
            const std::string &x = a.texts[At(i, na)], &y = b.texts[At(i, nb)];
            if (x.size() + y.size() > kMaxTextBytes)
                return ERR_FORMULA_LIMIT;
            if (STATUS status = Charge(x.size() + y.size()))
                return status;
            result.texts.push_back(x + y);
        }
        *out = std::move(result);
        return NOERROR;
    }
    if (a.kind == ValueKind::Number && b.kind == ValueKind::Number) {
        Value result = Value::Numbers({});
        result.numbers.reserve(n);
        for (size_t i = 0; i < n; i++) {
            const NUMBER x = a.numbers[At(i, na)], y = b.numbers[At(i, nb)];
            NUMBER r = 0;
            switch (op) {
                case Op::Add:
                    r = x + y;
                    break;
                case Op::Sub:
                    r = x - y;
                    break;
                case Op::Mul:
                    r = x * y;
                    break;
                default:
                    if (y == 0)
                        return ERR_FORMULA_ARITHMETIC;
                    r = x / y;
                    break;
            }
            if (!std::isfinite(r) && std::isfinite(x) && std::isfinite(y))
                return ERR_FORMULA_ARITHMETIC;
            result.numbers.push_back(r);
        }
        *out = std::move(result);
        return NOERROR;
    }
    // Times: time +/- seconds, seconds + time, time - time.
    const bool timeNumber = a.kind == ValueKind::Time && b.kind == ValueKind::Number;
    const bool numberTime = a.kind == ValueKind::Number && b.kind == ValueKind::Time;
    const bool timeTime = a.kind == ValueKind::Time && b.kind == ValueKind::Time;
    if (timeTime && op == Op::Sub) {
        Value result = Value::Numbers({});
        for (size_t i = 0; i < n; i++) {
            result.numbers.push_back(
                static_cast<NUMBER>(TimeDateDifference(&a.times[At(i, na)], &b.times[At(i, nb)])));
        }
        *out = std::move(result);
        return NOERROR;
    }
    if (!((timeNumber && (op == Op::Add || op == Op::Sub)) || (numberTime && op == Op::Add)))
        return ERR_FORMULA_TYPE;
    const Value &times = timeNumber ? a : b;
    const Value &numbers = timeNumber ? b : a;
    const size_t nt = times.Count(), nn = numbers.Count();
    Value result = Value::Times({});
    for (size_t i = 0; i < n; i++) {
        double seconds = std::trunc(numbers.numbers[At(i, nn)]);
        if (op == Op::Sub)
            seconds = -seconds;
        if (!(seconds >= INT32_MIN && seconds <= INT32_MAX))
            return ERR_FORMULA_ARITHMETIC;
        TIMEDATE t = times.times[At(i, nt)];
        if (STATUS status = AdjustTime(&t, 0, 0, 0, 0, 0, static_cast<int>(seconds)))
            return status;
        result.times.push_back(t);
    }
    *out = std::move(result);
    return NOERROR;
}

STATUS Evaluator::Compare(Op op, const Value &a, const Value &b, Value *out) {
    const size_t na = a.Count(), nb = b.Count();
    if (na == 0 || nb == 0) {
        *out = Flag(false);
        return NOERROR;
    }
    if (!SameKind(a, b))
        return ERR_FORMULA_TYPE;
    const size_t n = std::max(na, nb);
    bool any = false;
    for (size_t i = 0; i < n && !any; i++) {
        int c = 0;
        switch (a.kind) {
            case ValueKind::Text: {
                const std::string &x = a.texts[At(i, na)], &y = b.texts[At(i, nb)];
                if (STATUS status = Charge(std::min(x.size(), y.size())))
                    return status;
                c = CollateTexts(x, y);
                break;
            }
            case ValueKind::Number: {
                const NUMBER x = a.numbers[At(i, na)], y = b.numbers[At(i, nb)];
                c = x < y ? -1 : (x > y ? 1 : 0);
                break;
            }
            case ValueKind::Time:
                c = TimeDateCompare(&a.times[At(i, na)], &b.times[At(i, nb)]);
                break;
        }
        switch (op) {
            case Op::Eq:
                any = c == 0;
                break;
            case Op::Ne:
                any = c != 0;
                break;
            case Op::Lt:
                any = c < 0;
                break;
            case Op::Gt:
                any = c > 0;
                break;
            case Op::Le:
                any = c <= 0;
                break;
            default:
                any = c >= 0;
                break;
        }
    }
    *out = Flag(any);
    return NOERROR;
}

}  // namespace formula
}  // namespace notes_internal
