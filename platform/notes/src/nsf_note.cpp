#include "nsf_note.h"

#include <cstring>

#include "fault.h"
#include "nsf_internal.h"
#include "os_error.h"
#include "value_codec.h"

using notes_internal::HandleKind;
using notes_internal::nsf::DbForCall;
using notes_internal::nsf::DbObject;
using notes_internal::nsf::FoldName;
using notes_internal::nsf::ItemIt;
using notes_internal::nsf::NoteObject;

namespace {

constexpr size_t kMaxItemName = 255;
// Far beyond any item of this system; keeps a wrong length from allocating
// gigabytes.
constexpr DWORD kMaxValueSize = 64u << 20;

// A note handle's object, after the fault point of the call.
STATUS NoteForCall(const char *call, NOTEHANDLE handle, std::shared_ptr<NoteObject> *note) {
    STATUS status = notes_internal::nsf::LookupNote(handle, note);
    if (STATUS fault = notes_internal::FaultCheck(
            call, status == NOERROR ? (*note)->db->file->relPath().c_str() : nullptr))
        return fault;
    return status;
}

std::shared_ptr<NoteObject> NoteOrNull(NOTEHANDLE handle) {
    std::shared_ptr<NoteObject> note;
    if (notes_internal::nsf::LookupNote(handle, &note) != NOERROR)
        return nullptr;
    return note;
}

bool ValidName(const char *name, size_t length) {
    return name != nullptr && length > 0 && length <= kMaxItemName;
}

// Copies up to bufferLength - 1 bytes and a terminator; returns the count.
WORD CopyText(const unsigned char *text, size_t length, char *buffer, WORD bufferLength) {
    if (buffer == nullptr || bufferLength == 0)
        return 0;
    size_t n = length < bufferLength - 1u ? length : bufferLength - 1u;
    if (n)
        std::memcpy(buffer, text, n);
    buffer[n] = '\0';
    return static_cast<WORD>(n);
}

// Entry `index` of a text or text-list item; false when there is none.
bool TextEntry(const notes_internal::nsf::Item &item, size_t index, const unsigned char **text,
               size_t *length) {
    return notes_internal::TextEntry(item.type(), item.data(), item.size(), index, text, length);
}

// Appends the new item, then removes the older items of its name: a failed
// append leaves the note as it was.
STATUS ReplaceItem(NoteObject *note, const char *name, WORD type, const void *bytes, size_t size) {
    size_t length = name ? std::strlen(name) : 0;
    if (!ValidName(name, length))
        return ERR_BAD_ITEM_NAME;
    if (STATUS status = note->Append(name, length, type, ITEM_SUMMARY, bytes, size))
        return status;
    auto &same = note->byName[FoldName(name, length)];
    while (same.size() > 1)
        note->Remove(same.front());
    return NOERROR;
}

// The value of the first item of that name when it has the given type and
// holds at least a T (a TIMEDATE or a NUMBER); FALSE otherwise.
template <typename T>
BOOL GetFixedItem(NOTEHANDLE note_handle, const char *item_name, WORD type, T *value) {
    std::shared_ptr<NoteObject> note = NoteOrNull(note_handle);
    if (!note || item_name == nullptr || value == nullptr)
        return FALSE;
    std::lock_guard<std::mutex> lock(note->mutex);
    ItemIt it = note->Find(FoldName(item_name, std::strlen(item_name)));
    if (it == note->items.end() || it->type() != type || it->size() < sizeof(T))
        return FALSE;
    std::memcpy(value, it->data(), sizeof(T));
    return TRUE;
}

// Replaces every item of that name with one item of the given type holding
// *value; `call` names the fault point.
template <typename T>
STATUS SetFixedItem(const char *call, NOTEHANDLE note_handle, const char *item_name, WORD type,
                    const T *value) {
    std::shared_ptr<NoteObject> note;
    if (STATUS status = NoteForCall(call, note_handle, &note))
        return status;
    if (value == nullptr)
        return ERR_BAD_PARAM;
    std::lock_guard<std::mutex> lock(note->mutex);
    return ReplaceItem(note.get(), item_name, type, value, sizeof(T));
}

void FillItemOutputs(const notes_internal::nsf::Item *item, BLOCKID *item_blockid,
                     WORD *value_datatype, BLOCKID *value_blockid, DWORD *value_len) {
    BLOCKID bid{item ? item->valueHandle : NULLHANDLE, NULLBLOCK};
    if (item_blockid)
        *item_blockid = bid;
    if (value_blockid)
        *value_blockid = bid;
    if (value_datatype)
        *value_datatype = item ? item->type() : TYPE_INVALID_OR_UNKNOWN;
    if (value_len)
        *value_len = item ? static_cast<DWORD>(item->value->bytes.size()) : 0;
}

bool ValidValue(WORD type, const unsigned char *value, DWORD size) {
    switch (type) {
        case TYPE_NUMBER:
        case TYPE_TIME:
            return size == 8;
        case TYPE_TEXT_LIST: {
            notes_internal::TextListView list(value, size);
            return size >= 2 && list.Count() == list.Declared();
        }
        default:
            return true;
    }
}

}  // namespace

STATUS LNPUBLIC NSFNoteOpen(DBHANDLE db_handle, NOTEID note_id, WORD open_flags,
                            NOTEHANDLE far *note_handle) {
    (void)open_flags;
    std::shared_ptr<DbObject> db;
    if (STATUS status = DbForCall("NSFNoteOpen", db_handle, &db))
        return status;
    if (note_handle == nullptr)
        return ERR_BAD_PARAM;
    *note_handle = NULLHANDLE;
    if ((note_id & NOTE_ID_SPECIAL) == NOTE_ID_SPECIAL) {
        if (STATUS special = db->file->SpecialNote(static_cast<WORD>(note_id & 0xFFFFu), &note_id))
            return special;
    }
    if (note_id == 0)
        return ERR_INVALID_NOTE;
    std::shared_ptr<NoteObject> note;
    if (STATUS open = notes_internal::nsf::OpenStoredNote(db, note_id, &note))
        return open;
    *note_handle = note->handle;
    return NOERROR;
}

STATUS LNPUBLIC NSFNoteOpenByUNID(DBHANDLE db_handle, const UNID far *pUNID, WORD open_flags,
                                  NOTEHANDLE far *note_handle) {
    (void)open_flags;
    if (note_handle != nullptr)
        *note_handle = NULLHANDLE;
    std::shared_ptr<DbObject> db;
    if (STATUS status = DbForCall("NSFNoteOpenByUNID", db_handle, &db))
        return status;
    if (pUNID == nullptr || note_handle == nullptr)
        return ERR_BAD_PARAM;
    NOTEID id = 0;
    bool deleted = false;
    STATUS status = db->file->FindUnid(*pUNID, &id, &deleted);
    if (status == ERR_INVALID_NOTE)
        return ERR_UNID_NOT_FOUND;
    if (status != NOERROR)
        return status;
    if (deleted)
        return ERR_NOTE_DELETED;
    std::shared_ptr<NoteObject> note;
    if (STATUS open = notes_internal::nsf::OpenStoredNote(db, id, &note))
        return open;
    *note_handle = note->handle;
    return NOERROR;
}

STATUS LNPUBLIC NSFNoteContract(NOTEHANDLE note_handle) {
    std::shared_ptr<NoteObject> note;
    return NoteForCall("NSFNoteContract", note_handle, &note);
}

STATUS LNPUBLIC NSFNoteCreate(DBHANDLE db_handle, NOTEHANDLE far *note_handle) {
    std::shared_ptr<DbObject> db;
    if (STATUS status = DbForCall("NSFNoteCreate", db_handle, &db))
        return status;
    if (note_handle == nullptr)
        return ERR_BAD_PARAM;
    *note_handle = NULLHANDLE;
    auto note = std::make_shared<NoteObject>();
    note->db = db;
    note->header.noteClass = NOTE_CLASS_DOCUMENT;
    if (STATUS reg = notes_internal::nsf::RegisterNote(note))
        return reg;
    *note_handle = note->handle;
    return NOERROR;
}

STATUS LNPUBLIC NSFNoteUpdate(NOTEHANDLE note_handle, WORD update_flags) {
    std::shared_ptr<NoteObject> note;
    if (STATUS status = NoteForCall("NSFNoteUpdate", note_handle, &note))
        return status;
    std::lock_guard<std::mutex> lock(note->mutex);
    if (note->closed)
        return ERR_INVALID_HANDLE;
    notes_internal::nsf::SaveRequest request;
    request.note = note->header;
    request.unidGiven = note->unidGiven;
    request.force = (update_flags & UPDATE_FORCE) != 0;
    if (note->isProfile && note->header.id == 0) {
        request.profileKey = &note->profileKey;
        request.profileUserKey = &note->profileUserKey;
    }
    request.items.reserve(note->items.size());
    for (const auto &item : note->items) {
        request.items.push_back(
            {&item.name, &item.key, item.type(), item.flags, item.data(), item.size()});
    }
    if (STATUS status = note->db->file->SaveNote(&request))
        return status;
    note->header = request.result;
    note->unidGiven = false;
    return NOERROR;
}

STATUS LNPUBLIC NSFNoteDelete(DBHANDLE db_handle, NOTEID note_id, WORD update_flags) {
    (void)update_flags;
    std::shared_ptr<DbObject> db;
    if (STATUS status = DbForCall("NSFNoteDelete", db_handle, &db))
        return status;
    if (note_id == 0)
        return ERR_INVALID_NOTE;
    return db->file->DeleteNote(note_id);
}

STATUS LNPUBLIC NSFNoteClose(NOTEHANDLE note_handle) {
    std::shared_ptr<NoteObject> note;
    if (STATUS status = NoteForCall("NSFNoteClose", note_handle, &note))
        return status;
    note.reset();
    return notes_internal::nsf::CloseNote(note_handle);
}

void LNPUBLIC NSFNoteGetInfo(NOTEHANDLE note_handle, WORD note_member, void far *value_ptr) {
    if (value_ptr == nullptr)
        return;
    std::shared_ptr<NoteObject> note = NoteOrNull(note_handle);
    std::unique_lock<std::mutex> lock;
    if (note)
        lock = std::unique_lock<std::mutex>(note->mutex);
    const notes_internal::nsf::StoredNote empty{};
    const notes_internal::nsf::StoredNote &h = note ? note->header : empty;
    switch (note_member) {
        case _NOTE_DB: {
            DBHANDLE db = note ? note->db->handle : NULLHANDLE;
            std::memcpy(value_ptr, &db, sizeof db);
            break;
        }
        case _NOTE_ID:
            std::memcpy(value_ptr, &h.id, sizeof h.id);
            break;
        case _NOTE_OID: {
            OID oid{h.unid.File, h.unid.Note, h.seq, h.seqTime};
            std::memcpy(value_ptr, &oid, sizeof oid);
            break;
        }
        case _NOTE_CLASS: {
            WORD noteClass = note ? h.noteClass : 0;
            std::memcpy(value_ptr, &noteClass, sizeof noteClass);
            break;
        }
        case _NOTE_MODIFIED:
            std::memcpy(value_ptr, &h.modified, sizeof h.modified);
            break;
        case _NOTE_FLAGS:
            std::memcpy(value_ptr, &h.flags, sizeof h.flags);
            break;
        case _NOTE_ACCESSED: {
            TIMEDATE accessed = note ? note->accessed : TIMEDATE{};
            std::memcpy(value_ptr, &accessed, sizeof accessed);
            break;
        }
        default:
            break;
    }
}

void LNPUBLIC NSFNoteSetInfo(NOTEHANDLE note_handle, WORD note_member, const void far *value_ptr) {
    if (value_ptr == nullptr)
        return;
    std::shared_ptr<NoteObject> note = NoteOrNull(note_handle);
    if (!note)
        return;
    std::lock_guard<std::mutex> lock(note->mutex);
    switch (note_member) {
        case _NOTE_CLASS:
            std::memcpy(&note->header.noteClass, value_ptr, sizeof(WORD));
            break;
        case _NOTE_FLAGS:
            std::memcpy(&note->header.flags, value_ptr, sizeof(WORD));
            break;
        case _NOTE_OID:
            if (note->header.id == 0) {
                OID oid;
                std::memcpy(&oid, value_ptr, sizeof oid);
                note->header.unid.File = oid.File;
                note->header.unid.Note = oid.Note;
                note->unidGiven = true;
            }
            break;
        default:
            break;
    }
}

STATUS LNPUBLIC NSFItemInfo(NOTEHANDLE note_handle, const char far *item_name, WORD name_len,
                            BLOCKID far *item_blockid, WORD far *value_datatype,
                            BLOCKID far *value_blockid, DWORD far *value_len) {
    FillItemOutputs(nullptr, item_blockid, value_datatype, value_blockid, value_len);
    std::shared_ptr<NoteObject> note;
    if (STATUS status = NoteForCall("NSFItemInfo", note_handle, &note))
        return status;
    std::lock_guard<std::mutex> lock(note->mutex);
    ItemIt it = item_name == nullptr || name_len == 0 ? note->items.begin()
                                                      : note->Find(FoldName(item_name, name_len));
    if (it == note->items.end())
        return ERR_ITEM_NOT_FOUND;
    FillItemOutputs(&*it, item_blockid, value_datatype, value_blockid, value_len);
    return NOERROR;
}

STATUS LNPUBLIC NSFItemInfoNext(NOTEHANDLE note_handle, BLOCKID NextItem, const char far *item_name,
                                WORD name_len, BLOCKID far *item_blockid, WORD far *value_datatype,
                                BLOCKID far *value_blockid, DWORD far *value_len) {
    FillItemOutputs(nullptr, item_blockid, value_datatype, value_blockid, value_len);
    std::shared_ptr<NoteObject> note;
    if (STATUS status = NoteForCall("NSFItemInfoNext", note_handle, &note))
        return status;
    std::lock_guard<std::mutex> lock(note->mutex);
    auto found = note->byHandle.find(NextItem.pool);
    if (found == note->byHandle.end() || NextItem.block != NULLBLOCK)
        return ERR_ITEM_NOT_FOUND;
    bool named = item_name != nullptr && name_len > 0;
    std::string key = named ? FoldName(item_name, name_len) : std::string();
    for (ItemIt it = std::next(found->second); it != note->items.end(); ++it) {
        if (named && it->key != key)
            continue;
        FillItemOutputs(&*it, item_blockid, value_datatype, value_blockid, value_len);
        return NOERROR;
    }
    return ERR_ITEM_NOT_FOUND;
}

void LNPUBLIC NSFItemQuery(NOTEHANDLE note_handle, BLOCKID item_bid, char far *item_name,
                           WORD return_buf_len, WORD far *name_len, WORD far *item_flags,
                           WORD far *value_datatype, BLOCKID far *value_bid, DWORD far *value_len) {
    FillItemOutputs(nullptr, nullptr, value_datatype, value_bid, value_len);
    if (item_name && return_buf_len)
        item_name[0] = '\0';
    if (name_len)
        *name_len = 0;
    if (item_flags)
        *item_flags = 0;
    std::shared_ptr<NoteObject> note = NoteOrNull(note_handle);
    if (!note)
        return;
    std::lock_guard<std::mutex> lock(note->mutex);
    auto found = note->byHandle.find(item_bid.pool);
    if (found == note->byHandle.end() || item_bid.block != NULLBLOCK)
        return;
    const auto &item = *found->second;
    WORD copied = CopyText(reinterpret_cast<const unsigned char *>(item.name.data()),
                           item.name.size(), item_name, return_buf_len);
    if (name_len)
        *name_len = copied;
    if (item_flags)
        *item_flags = item.flags;
    FillItemOutputs(&item, nullptr, value_datatype, value_bid, value_len);
}

WORD LNPUBLIC NSFItemGetText(NOTEHANDLE note_handle, const char far *item_name, char far *item_text,
                             WORD text_len) {
    return NSFItemGetTextListEntry(note_handle, item_name, 0, item_text, text_len);
}

STATUS LNPUBLIC NSFItemSetText(NOTEHANDLE note_handle, const char far *item_name,
                               const char far *item_text, WORD text_len) {
    std::shared_ptr<NoteObject> note;
    if (STATUS status = NoteForCall("NSFItemSetText", note_handle, &note))
        return status;
    if (text_len == MAXWORD) {
        if (item_text == nullptr)
            return ERR_BAD_PARAM;
        size_t length = std::strlen(item_text);
        if (length >= MAXWORD)
            return ERR_ITEM_TOO_BIG;
        text_len = static_cast<WORD>(length);
    }
    if (item_text == nullptr && text_len > 0)
        return ERR_BAD_PARAM;
    std::lock_guard<std::mutex> lock(note->mutex);
    return ReplaceItem(note.get(), item_name, TYPE_TEXT, item_text, text_len);
}

BOOL LNPUBLIC NSFItemGetTime(NOTEHANDLE note_handle, const char far *item_name,
                             TIMEDATE far *td_item_value) {
    return GetFixedItem(note_handle, item_name, TYPE_TIME, td_item_value);
}

STATUS LNPUBLIC NSFItemSetTime(NOTEHANDLE note_handle, const char far *item_name,
                               const TIMEDATE far *td_item_value) {
    return SetFixedItem("NSFItemSetTime", note_handle, item_name, TYPE_TIME, td_item_value);
}

BOOL LNPUBLIC NSFItemGetNumber(NOTEHANDLE note_handle, const char far *item_name,
                               NUMBER far *retNumber) {
    return GetFixedItem(note_handle, item_name, TYPE_NUMBER, retNumber);
}

STATUS LNPUBLIC NSFItemSetNumber(NOTEHANDLE note_handle, const char far *item_name,
                                 const NUMBER far *Number) {
    return SetFixedItem("NSFItemSetNumber", note_handle, item_name, TYPE_NUMBER, Number);
}

WORD LNPUBLIC NSFItemGetTextListEntries(NOTEHANDLE note_handle, const char far *item_name) {
    std::shared_ptr<NoteObject> note = NoteOrNull(note_handle);
    if (!note || item_name == nullptr)
        return 0;
    std::lock_guard<std::mutex> lock(note->mutex);
    ItemIt it = note->Find(FoldName(item_name, std::strlen(item_name)));
    if (it == note->items.end())
        return 0;
    if (it->type() == TYPE_TEXT)
        return 1;
    if (it->type() == TYPE_TEXT_LIST)
        return static_cast<WORD>(notes_internal::TextListView(it->data(), it->size()).Count());
    return 0;
}

WORD LNPUBLIC NSFItemGetTextListEntry(NOTEHANDLE note_handle, const char far *item_name,
                                      WORD entry_position, char far *retEntry_text, WORD text_len) {
    CopyText(nullptr, 0, retEntry_text, text_len);
    std::shared_ptr<NoteObject> note = NoteOrNull(note_handle);
    if (!note || item_name == nullptr)
        return 0;
    std::lock_guard<std::mutex> lock(note->mutex);
    ItemIt it = note->Find(FoldName(item_name, std::strlen(item_name)));
    if (it == note->items.end())
        return 0;
    const unsigned char *text;
    size_t length;
    if (!TextEntry(*it, entry_position, &text, &length))
        return 0;
    return CopyText(text, length, retEntry_text, text_len);
}

STATUS LNPUBLIC NSFItemDelete(NOTEHANDLE note_handle, const char far *item_name, WORD name_len) {
    std::shared_ptr<NoteObject> note;
    if (STATUS status = NoteForCall("NSFItemDelete", note_handle, &note))
        return status;
    if (!ValidName(item_name, name_len))
        return ERR_BAD_ITEM_NAME;
    std::lock_guard<std::mutex> lock(note->mutex);
    ItemIt it = note->Find(FoldName(item_name, name_len));
    if (it == note->items.end())
        return ERR_ITEM_NOT_FOUND;
    note->Remove(it);
    return NOERROR;
}

STATUS LNPUBLIC NSFItemDeleteByBLOCKID(NOTEHANDLE note_handle, BLOCKID item_blockid) {
    std::shared_ptr<NoteObject> note;
    if (STATUS status = NoteForCall("NSFItemDeleteByBLOCKID", note_handle, &note))
        return status;
    std::lock_guard<std::mutex> lock(note->mutex);
    auto found = note->byHandle.find(item_blockid.pool);
    if (found == note->byHandle.end() || item_blockid.block != NULLBLOCK)
        return ERR_ITEM_NOT_FOUND;
    note->Remove(found->second);
    return NOERROR;
}

STATUS LNPUBLIC NSFItemAppend(NOTEHANDLE note_handle, WORD item_flags, const char far *item_name,
                              WORD name_len, WORD item_type, const void far *item_value,
                              DWORD value_len) {
    std::shared_ptr<NoteObject> note;
    if (STATUS status = NoteForCall("NSFItemAppend", note_handle, &note))
        return status;
    if (!ValidName(item_name, name_len))
        return ERR_BAD_ITEM_NAME;
    if (item_value == nullptr && value_len > 0)
        return ERR_BAD_PARAM;
    if (value_len > kMaxValueSize)
        return ERR_ITEM_TOO_BIG;
    if (!ValidValue(item_type, static_cast<const unsigned char *>(item_value), value_len))
        return ERR_BAD_PARAM;
    std::lock_guard<std::mutex> lock(note->mutex);
    return note->Append(item_name, name_len, item_type, item_flags, item_value, value_len);
}

STATUS LNPUBLIC NSFItemAppendByBLOCKID(NOTEHANDLE note_handle, WORD item_flags,
                                       const char far *item_name, WORD name_len, BLOCKID value_bid,
                                       DWORD value_len, BLOCKID far *item_bid) {
    if (item_bid != nullptr)
        *item_bid = BLOCKID{NULLHANDLE, NULLBLOCK};
    std::shared_ptr<NoteObject> note;
    if (STATUS status = NoteForCall("NSFItemAppendByBLOCKID", note_handle, &note))
        return status;
    if (!ValidName(item_name, name_len))
        return ERR_BAD_ITEM_NAME;
    std::shared_ptr<notes_internal::MemoryObject> block;
    if (STATUS status = notes_internal::Lookup(HandleKind::Memory, value_bid.pool, &block))
        return status;
    if (block->owner != NULLHANDLE || value_len < sizeof(WORD) ||
        value_len - sizeof(WORD) > kMaxValueSize ||
        static_cast<size_t>(value_bid.block) + value_len > block->bytes.size())
        return ERR_BAD_PARAM;
    const unsigned char *start = block->bytes.data() + value_bid.block;
    WORD type;
    std::memcpy(&type, start, sizeof type);
    const unsigned char *value = start + sizeof(WORD);
    const DWORD size = value_len - static_cast<DWORD>(sizeof(WORD));
    if (!ValidValue(type, value, size))
        return ERR_BAD_PARAM;
    {
        std::lock_guard<std::mutex> lock(note->mutex);
        if (STATUS status = note->Append(item_name, name_len, type, item_flags, value, size))
            return status;
        if (item_bid != nullptr)
            *item_bid = BLOCKID{note->items.back().valueHandle, NULLBLOCK};
    }
    // The note has the bytes: the block is taken over.
    notes_internal::ReleaseHandle(HandleKind::Memory, value_bid.pool);
    return NOERROR;
}
