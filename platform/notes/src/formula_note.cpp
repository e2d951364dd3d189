#include "formula_note.h"

#include "nsf_note.h"
#include "os_error.h"

namespace notes_internal {
namespace formula {

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
