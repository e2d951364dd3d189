// What the formula calls share with compute-with-form.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "formula_eval.h"
#include "formula_program.h"

namespace notes_internal {
namespace formula {

// The 1-based line and column of a byte offset (lines end with LF).
void PlaceOfOffset(const char *text, size_t offset, WORD *line, WORD *column);

// Parses a formula's text, or takes it from the cache of parsed programs.
STATUS CompileText(const char *text, size_t length, std::shared_ptr<const Program> *out,
                   CompileError *error);

// An item to store, encoded.
struct EncodedItem {
    std::string name;
    WORD type = 0;
    std::string bytes;
};

// The items that an evaluation's FIELD statements set, encoded (so that a
// value that does not fit fails before anything changes).
STATUS FieldsToItems(const Outcome &outcome, std::vector<EncodedItem> *out);

}  // namespace formula
}  // namespace notes_internal
