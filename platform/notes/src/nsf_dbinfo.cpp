// The information text of a database (nsf_dbinfo.h) and a second handle
// to an open database.
#include "nsf_dbinfo.h"

#include <cstring>

#include "collation.h"
#include "fault.h"
#include "lmbcs.h"
#include "nsf_internal.h"
#include "nsf_note.h"
#include "os_error.h"
#include "value_codec.h"

using notes_internal::nsf::DbForCall;
using notes_internal::nsf::DbObject;

namespace {

constexpr WORD kParts = 4;
const char kTitle[] = "$TITLE";

// The length of the text at info, up to NSF_INFO_SIZE - 1 bytes.
size_t InfoLength(const char *info) {
    size_t n = 0;
    while (n < NSF_INFO_SIZE - 1 && info[n] != '\0')
        n++;
    return n;
}

// At most limit bytes of text, never ending inside an LMBCS character.
size_t CutLength(const char *text, size_t length, size_t limit) {
    const auto *bytes = reinterpret_cast<const unsigned char *>(text);
    size_t n = 0;
    while (n < length) {
        size_t next = n + notes_internal::LmbcsCharLength(bytes + n, length - n);
        if (next > limit)
            break;
        n = next;
    }
    return n;
}

// The parts of a text: split at every line feed.
std::vector<std::string> Split(const std::string &text) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t end = text.find('\n', start);
        parts.push_back(text.substr(start, end == std::string::npos ? end : end - start));
        if (end == std::string::npos)
            return parts;
        start = end + 1;
    }
}

}  // namespace

STATUS LNPUBLIC NSFDbInfoGet(DBHANDLE hDB, char far *retBuffer) {
    if (retBuffer != nullptr)
        retBuffer[0] = '\0';
    std::shared_ptr<DbObject> db;
    if (STATUS status = DbForCall("NSFDbInfoGet", hDB, &db))
        return status;
    if (retBuffer == nullptr)
        return ERR_BAD_PARAM;
    NOTEID icon = 0;
    if (STATUS status = db->file->SpecialNote(NOTE_CLASS_ICON, &icon))
        return status;
    std::string title;
    bool found = false;
    notes_internal::nsf::StoredNote header;
    STATUS status = db->file->ReadNote(
        icon, &header,
        [&](const unsigned char *name, size_t nameLen, WORD type, WORD, const unsigned char *value,
            size_t size) {
            if (found || !notes_internal::CollationEqual(reinterpret_cast<const char *>(name),
                                                         nameLen, kTitle, sizeof kTitle - 1))
                return static_cast<STATUS>(NOERROR);
            found = true;
            const unsigned char *text = nullptr;
            size_t length = 0;
            if (notes_internal::TextEntry(type, value, size, 0, &text, &length))
                title.assign(reinterpret_cast<const char *>(text), length);
            return static_cast<STATUS>(NOERROR);
        });
    if (status != NOERROR)
        return status;
    // The text ends at its first NUL byte, as a C string would.
    title = title.substr(0, std::strlen(title.c_str()));
    size_t n = CutLength(title.data(), title.size(), NSF_INFO_SIZE - 1);
    std::memcpy(retBuffer, title.data(), n);
    retBuffer[n] = '\0';
    return NOERROR;
}

STATUS LNPUBLIC NSFDbInfoSet(DBHANDLE hDB, const char far *Buffer) {
    std::shared_ptr<DbObject> db;
    if (STATUS status = DbForCall("NSFDbInfoSet", hDB, &db))
        return status;
    if (Buffer == nullptr)
        return ERR_BAD_PARAM;
    const size_t length = std::strlen(Buffer);
    if (length >= NSF_INFO_SIZE)
        return ERR_DBINFO_TOO_LONG;
    const std::string text(Buffer, length);

    notes_internal::nsf::Transaction txn(*db->file);
    if (STATUS status = txn.Begin())
        return status;
    if (STATUS saved = notes_internal::nsf::SetIconText(txn, kTitle, text))
        return saved;
    return txn.Commit();
}

STATUS LNPUBLIC NSFDbInfoParse(const char far *Info, WORD What, char far *Buffer, WORD Length) {
    if (Buffer != nullptr && Length > 0)
        Buffer[0] = '\0';
    if (STATUS fault = notes_internal::FaultCheck("NSFDbInfoParse"))
        return fault;
    if (Info == nullptr || Buffer == nullptr || Length == 0 || What >= kParts)
        return ERR_BAD_PARAM;
    const std::vector<std::string> parts = Split(std::string(Info, InfoLength(Info)));
    if (What >= parts.size())
        return NOERROR;
    const std::string &part = parts[What];
    size_t n = CutLength(part.data(), part.size(), Length - 1u);
    std::memcpy(Buffer, part.data(), n);
    Buffer[n] = '\0';
    return NOERROR;
}

STATUS LNPUBLIC NSFDbInfoModify(char far *Info, WORD What, const char far *Buffer) {
    if (STATUS fault = notes_internal::FaultCheck("NSFDbInfoModify"))
        return fault;
    if (Info == nullptr || What >= kParts)
        return ERR_BAD_PARAM;
    const std::string value = Buffer ? std::string(Buffer) : std::string();
    if (value.find('\n') != std::string::npos)
        return ERR_BAD_PARAM;
    std::vector<std::string> parts = Split(std::string(Info, InfoLength(Info)));
    if (parts.size() <= What)
        parts.resize(What + 1u);
    parts[What] = value;
    while (parts.size() > 1 && parts.back().empty())
        parts.pop_back();
    std::string text;
    for (size_t i = 0; i < parts.size(); i++)
        text += (i ? "\n" : "") + parts[i];
    if (text.size() >= NSF_INFO_SIZE)
        return ERR_DBINFO_TOO_LONG;
    std::memcpy(Info, text.c_str(), text.size() + 1);
    return NOERROR;
}

STATUS LNPUBLIC NSFDbReopen(DBHANDLE hDB, DBHANDLE far *rethDB) {
    if (rethDB != nullptr)
        *rethDB = NULLHANDLE;
    std::shared_ptr<DbObject> db;
    if (STATUS status = DbForCall("NSFDbReopen", hDB, &db))
        return status;
    if (rethDB == nullptr)
        return ERR_BAD_PARAM;
    auto again = std::make_shared<DbObject>();
    again->file = db->file;
    return notes_internal::nsf::RegisterDb(again, rethDB);
}
