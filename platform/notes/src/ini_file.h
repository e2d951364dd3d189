// notes.ini as a file of "KEY=VALUE" lines.
#pragma once

#include <optional>
#include <string>

namespace notes_internal {

// The value of a key (compared without regard to ASCII case) as it stands
// in the file now; nullopt when the file or the key is absent.
std::optional<std::string> IniGet(const std::string &path, const std::string &key);

// Sets the key (appended when absent), or removes it when value is null.
// The file is rewritten through a temporary file and a rename, under an
// exclusive lock on "<path>.lock", keeping every other line as it was.
// False when the file cannot be written.
bool IniSet(const std::string &path, const std::string &key, const char *value);

// True when the file exists and can be read.
bool IniReadable(const std::string &path);

// The text without the spaces, tabs and carriage returns around it: how the
// settings files (notes.ini, servers.ini) and the names in them are read.
std::string TrimBlanks(const std::string &text);

}  // namespace notes_internal
