#include "formula_note.h"

#include "nsf_note.h"
#include "os_error.h"

namespace notes_internal {
namespace formula {

bool NoteItems::FindItem(const char *name, size_t nameLength, WORD *type,
                         const unsigned char **bytes, size_t *size) const {
    if (note_->closed)
        return false;
    nsf::ItemIt it = note_->Find(nsf::FoldName(name, nameLength));
    if (it == note_->items.end())
        return false;
    *type = it->type();
    *bytes = it->data();
    *size = it->size();
    return true;
}

STATUS EncodeItem(const Value &value, WORD *type, std::string *bytes) {
    return EncodeValue(value, false, type, bytes);
}

STATUS StoreItem(nsf::NoteObject *note, const std::string &name, WORD type,
                 const std::string &bytes) {
    if (note->closed)
        return ERR_INVALID_HANDLE;
    if (STATUS status =
            note->Append(name.data(), name.size(), type, ITEM_SUMMARY, bytes.data(), bytes.size()))
        return status;
    auto &same = note->byName[nsf::FoldName(name.data(), name.size())];
    while (same.size() > 1)
        note->Remove(same.front());
    return NOERROR;
}

}  // namespace formula
}  // namespace notes_internal
