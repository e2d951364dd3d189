// The evaluator of parsed formulas (the language: nsf_formula.h).
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "formula_program.h"
#include "formula_text.h"
#include "item_source.h"
#include "value_codec.h"

namespace notes_internal {
namespace formula {

// Limits of one evaluation.
constexpr size_t kMaxEntries = 65535;
constexpr size_t kMaxTextBytes = 65535;
// Work: every value made costs its entries and bytes, every text search its
// lengths; 64 Mi units take well under a second.
constexpr uint64_t kMaxWork = 64u << 20;

// An item that a FIELD statement (or a form's field) sets.
struct FieldSet {
    std::string name;
    Value value;
};

struct Outcome {
    Value result;
    bool matches = true;
    bool deleteNote = false;
    std::vector<FieldSet> fields;  // in the order first set; each name once
};

// Evaluates a program on the items of a note (source null: no note).
STATUS Evaluate(const Program &program, const ItemSource *source, Outcome *out);

// Everything one evaluation holds.
class Evaluator {
  public:
    Evaluator(const ItemSource *source, Outcome *out) : source_(source), out_(out) {}

    STATUS Run(const Program &program);

  private:
    STATUS Eval(const Node &node, Value *out);
    STATUS EvalChain(const Node &node, Value *out);
    STATUS EvalUnary(const Node &node, Value *out);
    STATUS EvalCall(const Node &node, Value *out);
    STATUS ReadRef(const Node &node, Value *out);
    bool HasItem(const std::string &key, const std::string &name) const;

    STATUS Arithmetic(Op op, const Value &a, const Value &b, Value *out);
    STATUS Compare(Op op, const Value &a, const Value &b, Value *out);
    STATUS Concatenate(Value *a, Value &&b);

    // Counts work; ERR_FORMULA_LIMIT once it passes kMaxWork.
    STATUS Charge(uint64_t units);
    // Checks a value made against the limits and charges for it.
    STATUS Made(const Value &value);
    STATUS Truth(const Value &value, bool *out);
    STATUS EnsureLocale();

    const ItemSource *source_;
    Outcome *out_;
    std::unordered_map<std::string, Value> variables_;
    std::unordered_map<std::string, size_t> fieldIndex_;  // folded name -> out_->fields
    uint64_t work_ = 0;
    bool localeLoaded_ = false;
    Locale locale_;
};

// A time moved as @Adjust moves it (nsf_formula.h): ERR_BAD_TIME when it
// leaves the calendar.
STATUS AdjustTime(TIMEDATE *time, int years, int months, int days, int hours, int minutes,
                  int seconds);

}  // namespace formula
}  // namespace notes_internal
