// Shared pieces of notesctl: exit codes, errors, argument parsing and the
// Notes runtime started on a data directory.
#pragma once

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "global.h"

namespace notesctl {

// Exit codes that scripts rely on.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitNoReply = 2;
constexpr int kExitQueueInUse = 3;  // request: the reply queue belongs to another process
constexpr int kExitUsage = 64;

// A failure of the work (exit code 1); what() is the one line shown after
// "notesctl: ".
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Wrong arguments (exit code 64).
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The text of a status, with its value, for error lines.
std::string StatusText(STATUS status);

// Writes "notesctl: TEXT" on standard error.
void Note(const std::string &text);

// One option a verb accepts: "--name" alone, or "--name VALUE" /
// "--name=VALUE" when takesValue.
struct OptionSpec {
    const char *name;
    bool takesValue;
    bool repeatable = false;  // may be given more than once (values() has them all)
};

// The arguments of one verb: positional words in order and the options
// given. "--" ends the options; "--help" and "-h" are always accepted.
class Args {
  public:
    Args(const std::vector<std::string> &words, const std::vector<OptionSpec> &options);

    bool help() const { return help_; }
    const std::vector<std::string> &positional() const { return positional_; }
    bool has(const std::string &option) const { return values_.count(option) != 0; }
    // The value of an option that takes one, or fallback when not given.
    std::string value(const std::string &option, const std::string &fallback = "") const;
    // Every value of a repeatable option, in the order given.
    std::vector<std::string> values(const std::string &option) const;

    // Checks the positional words against their names: the first required
    // ones must be there, and no more than names.size() may be.
    void expect(const std::vector<const char *> &names, size_t required) const;

  private:
    bool help_ = false;
    std::vector<std::string> positional_;
    std::map<std::string, std::string> values_;
    std::map<std::string, std::vector<std::string>> all_;
};

// The Notes runtime, started on the data directory DIR (its notes.ini) for
// the life of the object. Failure when DIR is not a data directory or the
// runtime cannot start on it.
class Runtime {
  public:
    explicit Runtime(const std::string &dir);
    ~Runtime();
    Runtime(const Runtime &) = delete;
    Runtime &operator=(const Runtime &) = delete;

    // The data directory as the runtime resolved it (absolute).
    const std::string &dataDirectory() const { return dataDir_; }

  private:
    std::string dataDir_;
};

// Absolute form of an existing path (symbolic links resolved), or the path
// made absolute against the current folder when it does not exist.
std::string AbsolutePath(const std::string &path);

bool IsDirectory(const std::string &path);

// A database handle, closed when the object dies.
class DbHandle {
  public:
    DbHandle() = default;
    ~DbHandle() { Close(); }
    DbHandle(const DbHandle &) = delete;
    DbHandle &operator=(const DbHandle &) = delete;
    void Close();
    DBHANDLE handle_ = NULLHANDLE;
};

// The DATABASE word, second of the positional ones: UsageError when empty.
const std::string &DatabaseWord(const Args &args);

// Opens the database at path into db: Failure naming the path and the
// platform's text when it cannot be opened.
void OpenDatabase(const std::string &path, DbHandle &db);

// The absolute path of a database path given relative to the data
// directory (or absolute).
std::string DatabasePath(const std::string &dataDirectory, const std::string &path);

// Removes a database file and the files SQLite keeps beside it.
void RemoveDatabaseFiles(const std::string &absolutePath);
bool IsRegularFile(const std::string &path);

// Backslash escapes for bytes shown in one line of output or in a JSON
// string. Both styles write "\\", "\n", "\r" and "\t"; Json also '"', "\b"
// and "\f", and the other control bytes and DEL as "\u00nn" where Line
// writes "\xNN". Every other byte stays as it is.
enum class EscapeStyle { Line, Json };
std::string EscapeBytes(const std::string &bytes, EscapeStyle style);

// Bytes as they may stand in one line of output: control bytes and "\" as
// escapes ("\n", "\t", "\\", "\xNN"), everything else unchanged.
inline std::string EscapeForLine(const std::string &bytes) {
    return EscapeBytes(bytes, EscapeStyle::Line);
}

}  // namespace notesctl
