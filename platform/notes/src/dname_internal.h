// Names for the library's own use: the conversions of dname.h without the
// calls' fault points, so that a lookup that converts a name does not fire
// a rule meant for the system's own DNCanonicalize.
#pragma once

#include <string>

#include "global.h"

namespace notes_internal {

// The canonical (or abbreviated) form of a name, as DNCanonicalize (or
// DNAbbreviate) gives it without a template: ERR_DN_INVALID and
// ERR_DN_TOO_LONG as they do.
STATUS NameForm(const std::string &name, bool canonical, std::string *out);

}  // namespace notes_internal
