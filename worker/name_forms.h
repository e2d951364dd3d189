// The abbreviated form of a hierarchical name, as the worker's handlers,
// replies and query elements show it.
#pragma once

#include <string>

#include "notes_api.h"

namespace name_forms {

// The abbreviated form of name, cut at the length that the call reports;
// the status of the call (abbreviated holds what it wrote, also then).
STATUS Abbreviate(const std::string &name, std::string &abbreviated);

// The abbreviated form of name; the name as given when it cannot be
// abbreviated.
std::string Abbreviated(const std::string &name);

}  // namespace name_forms
