// The DXL family: the stand-in's import and export format (standin/dxl.h
// tells the format). Three pieces:
//   dxl_values   the text forms of values (texts, numbers, times, base64)
//   dxl_reader   a streaming parser of DXL text into notes and an ACL
//   dxl_writer   notes as DXL text
// and dxl_import, which stores parsed notes in one transaction and serves
// the standin/dxl.h calls.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "global.h"
#include "nsf_store.h"

namespace notes_internal {
namespace dxl {

// One item as stored: its value is the bytes after the type word.
struct Item {
    std::string name;  // LMBCS
    WORD type = 0;
    WORD flags = 0;
    std::string value;
};

struct Note {
    WORD noteClass = 0;
    bool unidGiven = false;
    UNID unid{};
    DWORD seq = 0;  // 0: not given
    bool seqTimeGiven = false;
    TIMEDATE seqTime{};
    NOTEID id = 0;  // as exported (noteinfo noteid), never used by an import
    std::vector<Item> items;
    unsigned long line = 0;  // where its element starts
};

// ACL levels and entry types, in the order of their names in the format.
constexpr WORD kAclLevels = 7;  // noaccess .. manager
constexpr WORD kAclTypes = 6;   // unspecified .. servergroup

struct AclEntry {
    std::string name;  // LMBCS
    WORD level = 0;    // 0 noaccess .. 6 manager
    WORD type = 0;     // 0 unspecified, 1 person, 2 server, 3 mixedgroup, 4 persongroup,
                       // 5 servergroup
    bool isDefault = false;
    // The privilege booleans given, by their attribute names.
    std::vector<std::pair<std::string, bool>> options;
    std::vector<std::string> roles;
    unsigned long line = 0;
};

struct Acl {
    bool found = false;
    WORD maxInternetAccess = 6;  // as given, manager when not
    bool consistent = false;
    std::vector<std::string> roles;  // LMBCS, in order
    std::vector<AclEntry> entries;
    unsigned long line = 0;
};

// What refused a text: the status, the line (0 when none applies) and a
// message that names what and where ("line 3: unknown element <x> in <item>").
struct Problem {
    STATUS status = NOERROR;
    unsigned long line = 0;
    std::string message;
};

// Values. Texts are LMBCS inside, UTF-8 in the text; a NUL byte inside is a
// line break in the text.

// UTF-8 text to LMBCS; false for text that is not UTF-8 or holds a
// character that XML cannot carry.
bool TextFromXml(const std::string &utf8, std::string *lmbcs);
// LMBCS to the UTF-8 of the text; false when that would not come back the
// same through TextFromXml (the caller then writes the value raw).
bool TextToXml(const std::string &lmbcs, std::string *utf8);
// LMBCS to UTF-8 in pieces of whole characters, for texts of any length.
std::string LmbcsToUtf8(const char *text, size_t length);
// UTF-8 to LMBCS in pieces of whole characters.
std::string Utf8ToLmbcs(const char *text, size_t length);

bool NumberFromXml(const std::string &text, NUMBER *out);
// False for a number that is not finite.
bool NumberToXml(NUMBER number, std::string *out);

// A time's text (see standin/dxl.h) and its dst attribute.
bool TimeFromXml(const std::string &text, bool dst, TIMEDATE *out);
// False for a value that the text cannot carry exactly.
bool TimeToXml(const TIMEDATE &time, std::string *text, bool *dst);

std::string Base64Encode(const std::string &bytes);
// Skips blanks and line breaks; false for anything else that is no base64.
bool Base64Decode(const std::string &text, std::string *bytes);

// The UNID's text: 32 upper-case hex digits; false for any other text.
std::string UnidToText(const UNID &unid);
bool UnidFromText(const std::string &text, UNID *out);

// The note class's text; and back (false for an unknown name or number).
std::string ClassToXml(WORD noteClass, bool *isDefault);
bool ClassFromXml(const std::string &text, bool isDefault, WORD *out);

// "$profile_" NNN name "_" user; false for any other text.
bool ParseProfileName(const std::string &lmbcs, std::string *name, std::string *user);
std::string MakeProfileName(const std::string &name, const std::string &user);

// Reader. Hands the next bytes into buffer (up to capacity), their number
// in *got, 0 at the end.
using ReadChunk = std::function<STATUS(char *buffer, size_t capacity, size_t *got)>;

class Sink {
  public:
    virtual ~Sink() = default;
    // A whole note; a non-zero status (with problem filled) ends the parse.
    virtual STATUS OnNote(Note &note, Problem *problem) = 0;
    // The whole <acl>, checked.
    virtual STATUS OnAcl(Acl &acl, Problem *problem) = 0;
};

// Parses a whole text; the first problem ends it (the sink sees nothing
// after it). A reader's failure is its status, with a message naming the
// line reached.
STATUS Parse(const ReadChunk &read, Sink &sink, Problem *problem);

// Writer. Takes the next bytes of the text.
using WriteChunk = std::function<STATUS(const char *bytes, size_t length)>;

// The text before the notes, one note, and the text after them.
std::string ExportHead(const std::string &path);
// ERR_DXL_UNWRITABLE (message naming the item) for an item name that the
// text cannot carry.
STATUS ExportNote(const Note &note, std::string *out, std::string *problem);
std::string ExportTail();

// Import.

// The ACL store, when the ACL family has one: it stores the ACL in the
// import's transaction (a failure refuses the whole import, problem says
// why). Without it an ACL is checked and reported, never stored.
using AclHook = std::function<STATUS(nsf::TxnContext &txn, const Acl &acl, std::string *problem)>;
void SetAclHook(AclHook hook);

struct ImportResult {
    size_t notes = 0;
    size_t profiles = 0;
    Acl acl;  // the text's ACL as read (acl.found)
    bool aclStored = false;
    Problem problem;   // of a refused text
    std::string note;  // for a stored text: what was not stored
};

STATUS Import(nsf::DbFile &file, const ReadChunk &read, ImportResult *result);
// Every note that is not a stub (with designOnly, every one that is no
// document), in increasing note ID, on one snapshot; a profile without a
// "$Name" item gets one, first.
STATUS ReadAllNotes(nsf::DbFile &file, bool designOnly, std::vector<Note> *out);
STATUS Export(nsf::DbFile &file, const WriteChunk &write, size_t *count, std::string *problem);
STATUS CopyDesign(nsf::DbFile &from, nsf::DbFile &to, size_t *count, std::string *problem);

}  // namespace dxl
}  // namespace notes_internal
