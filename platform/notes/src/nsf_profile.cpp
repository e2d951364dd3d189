#include "nsf_profile.h"

#include <cstring>

#include "nsf_internal.h"
#include "nsf_note.h"
#include "os_error.h"

using notes_internal::nsf::DbForCall;
using notes_internal::nsf::DbObject;
using notes_internal::nsf::NoteObject;

namespace {

constexpr WORD kMaxProfileName = 255;

// The keys a profile is stored under: its folded name and the normalised
// user name ("" for none).
STATUS ProfileKeys(const char *name, WORD nameLength, const char *user, WORD userLength,
                   std::string *key, std::string *userKey) {
    if (name == nullptr || nameLength == 0 || nameLength > kMaxProfileName)
        return ERR_NOT_PROFILE;
    if (user == nullptr && userLength > 0)
        return ERR_BAD_PARAM;
    *key = notes_internal::nsf::FoldName(name, nameLength);
    *userKey = userLength ? notes_internal::nsf::NormaliseName(std::string(user, userLength)) : "";
    return NOERROR;
}

}  // namespace

STATUS LNPUBLIC NSFProfileOpen(DBHANDLE hDB, const char far *ProfileName, WORD ProfileNameLength,
                               const char far *UserName, WORD UserNameLength, BOOL CopyProfile,
                               NOTEHANDLE far *rethProfileNote) {
    (void)CopyProfile;
    std::shared_ptr<DbObject> db;
    if (STATUS status = DbForCall("NSFProfileOpen", hDB, &db))
        return status;
    if (rethProfileNote == nullptr)
        return ERR_BAD_PARAM;
    *rethProfileNote = NULLHANDLE;
    std::string key, userKey;
    if (STATUS status =
            ProfileKeys(ProfileName, ProfileNameLength, UserName, UserNameLength, &key, &userKey))
        return status;
    NOTEID id = 0;
    if (STATUS status = db->file->FindProfile(key, userKey, &id))
        return status;
    std::shared_ptr<NoteObject> note;
    if (id != 0) {
        if (STATUS status = notes_internal::nsf::OpenStoredNote(db, id, &note))
            return status;
    } else {
        note = std::make_shared<NoteObject>();
        note->db = db;
        note->header.noteClass = NOTE_CLASS_DOCUMENT;
        if (STATUS status = notes_internal::nsf::RegisterNote(note))
            return status;
    }
    std::lock_guard<std::mutex> lock(note->mutex);
    note->isProfile = true;
    note->profileKey = std::move(key);
    note->profileUserKey = std::move(userKey);
    *rethProfileNote = note->handle;
    return NOERROR;
}

STATUS LNPUBLIC NSFProfileGetField(DBHANDLE hDB, const char far *ProfileName,
                                   WORD ProfileNameLength, const char far *UserName,
                                   WORD UserNameLength, const char far *FieldName,
                                   WORD FieldNameLength, WORD far *retDatatype,
                                   BLOCKID far *retbhValue, DWORD far *retValueLength) {
    if (retDatatype)
        *retDatatype = TYPE_INVALID_OR_UNKNOWN;
    if (retbhValue)
        *retbhValue = BLOCKID{NULLHANDLE, NULLBLOCK};
    if (retValueLength)
        *retValueLength = 0;
    std::shared_ptr<DbObject> db;
    if (STATUS status = DbForCall("NSFProfileGetField", hDB, &db))
        return status;
    if (retbhValue == nullptr)
        return ERR_BAD_PARAM;
    std::string key, userKey;
    if (STATUS status =
            ProfileKeys(ProfileName, ProfileNameLength, UserName, UserNameLength, &key, &userKey))
        return status;
    if (FieldName == nullptr || FieldNameLength == 0 || FieldNameLength > 255)
        return ERR_BAD_ITEM_NAME;
    WORD type = 0;
    std::vector<unsigned char> bytes;
    if (STATUS status = db->file->ReadProfileItem(
            key, userKey, notes_internal::nsf::FoldName(FieldName, FieldNameLength), &type, &bytes))
        return status;
    std::vector<unsigned char> value(bytes.size() + 2);
    std::memcpy(value.data(), &type, 2);
    if (!bytes.empty())
        std::memcpy(value.data() + 2, bytes.data(), bytes.size());
    DWORD length = static_cast<DWORD>(value.size());
    DHANDLE handle = notes_internal::NewMemoryObject(std::move(value));
    if (handle == NULLHANDLE)
        return ERR_MEMORY;
    if (retDatatype)
        *retDatatype = type;
    *retbhValue = BLOCKID{handle, NULLBLOCK};
    if (retValueLength)
        *retValueLength = length;
    return NOERROR;
}
