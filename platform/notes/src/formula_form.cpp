// Computing a note with its form: the form's field definitions (see
// nsf_formula.h), the lookup of a form by name, and the field loop.
#include <cstdio>
#include <cstring>
#include <new>
#include <unordered_map>

#include "fault.h"
#include "formula_calls.h"
#include "formula_lexer.h"
#include "formula_note.h"
#include "nsf_formula.h"
#include "nsf_note.h"
#include "os_error.h"

namespace notes_internal {
namespace formula {

namespace {

constexpr size_t kMaxFieldName = 241;  // "$FieldFormula_" and the name fit an item name
const char kFieldsItem[] = "$Fields";
const char kKindsItem[] = "$FieldKinds";
const char kFormulaPrefix[] = "$FieldFormula_";

struct FormField {
    std::string name;
    bool computed = true;
    std::string formula;
};

// The items of a stored note, as ReadNote hands them out: the first item of
// each name.
class StoredItems : public ItemSource {
  public:
    void Add(const unsigned char *name, size_t nameLength, WORD type, const unsigned char *value,
             size_t size) {
        const std::string key = nsf::FoldName(reinterpret_cast<const char *>(name), nameLength);
        items_.emplace(key, Item{type, std::string(reinterpret_cast<const char *>(value), size)});
    }
    void Clear() { items_.clear(); }

    bool FindItem(const char *name, size_t nameLength, WORD *type, const unsigned char **bytes,
                  size_t *size) const override {
        auto found = items_.find(nsf::FoldName(name, nameLength));
        if (found == items_.end())
            return false;
        *type = found->second.type;
        *bytes = reinterpret_cast<const unsigned char *>(found->second.value.data());
        *size = found->second.value.size();
        return true;
    }
    WORD NoteClass() const override { return noteClass; }
    NOTEID NoteId() const override { return noteId; }

    WORD noteClass = 0;
    NOTEID noteId = 0;

  private:
    struct Item {
        WORD type;
        std::string value;
    };
    std::unordered_map<std::string, Item> items_;
};

// The texts of an item; false when it is missing or not text.
bool ReadTexts(const ItemSource &source, const char *name, std::vector<std::string> *out) {
    WORD type;
    const unsigned char *bytes;
    size_t size;
    if (!source.FindItem(name, std::strlen(name), &type, &bytes, &size))
        return false;
    Value value;
    if (DecodeValue(type, bytes, size, &value) != NOERROR || value.kind != ValueKind::Text)
        return false;
    *out = std::move(value.texts);
    return true;
}

bool ItemPresent(const ItemSource &source, const std::string &name) {
    WORD type;
    const unsigned char *bytes;
    size_t size;
    return source.FindItem(name.data(), name.size(), &type, &bytes, &size);
}

// The field definitions of a form; ERR_FORM_DAMAGED when they are not as
// nsf_formula.h tells. A form without both lists has no fields.
STATUS ReadFields(const ItemSource &form, std::vector<FormField> *out) {
    out->clear();
    std::vector<std::string> names, kinds;
    const bool haveNames = ReadTexts(form, kFieldsItem, &names);
    const bool haveKinds = ReadTexts(form, kKindsItem, &kinds);
    if (!haveNames && !haveKinds && !ItemPresent(form, kFieldsItem) &&
        !ItemPresent(form, kKindsItem))
        return NOERROR;
    if (!haveNames || !haveKinds || names.size() != kinds.size())
        return ERR_FORM_DAMAGED;
    for (size_t i = 0; i < names.size(); i++) {
        FormField field;
        field.name = names[i];
        if (field.name.empty() || field.name.size() > kMaxFieldName ||
            field.name.find('\0') != std::string::npos)
            return ERR_FORM_DAMAGED;
        const std::string kind = FoldAscii(kinds[i]);
        if (kind == "computed") {
            field.computed = true;
        } else if (kind == "default") {
            field.computed = false;
        } else {
            return ERR_FORM_DAMAGED;
        }
        std::vector<std::string> formula;
        const std::string item = kFormulaPrefix + field.name;
        if (!ReadTexts(form, item.c_str(), &formula) || formula.size() != 1)
            return ERR_FORM_DAMAGED;
        field.formula = std::move(formula[0]);
        out->push_back(std::move(field));
    }
    return NOERROR;
}

std::string TrimBlanks(const std::string &text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return std::string();
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// The first form of the database that the name names (a name or alias of
// its "$TITLE", through the design index), read whole into *form.
STATUS FindForm(nsf::DbFile *file, const std::string &name, StoredItems *form) {
    form->Clear();
    NOTEID id = 0;
    STATUS status = file->FindDesign(NOTE_CLASS_FORM, name.data(), name.size(), &id);
    if (status == ERR_DESIGN_NOT_FOUND)
        return ERR_FORM_NOT_FOUND;
    if (status != NOERROR)
        return status;
    nsf::StoredNote header;
    status = file->ReadNote(id, &header,
                            [&](const unsigned char *itemName, size_t nameLength, WORD type, WORD,
                                const unsigned char *value, size_t size) -> STATUS {
                                form->Add(itemName, nameLength, type, value, size);
                                return NOERROR;
                            });
    if (status == ERR_NOTE_DELETED || status == ERR_INVALID_NOTE)
        status = ERR_FORM_NOT_FOUND;  // deleted since the lookup
    if (status != NOERROR) {
        form->Clear();
        return status;
    }
    form->noteClass = header.noteClass;
    form->noteId = id;
    return NOERROR;
}

std::string ErrorText(STATUS status, const std::string &formula, const CompileError *error) {
    char text[256];
    OSLoadString(nullptr, status, text, sizeof text);
    std::string out = text;
    if (error) {
        WORD line = 0, column = 0;
        PlaceOfOffset(formula.data(), error->offset, &line, &column);
        char place[64];
        std::snprintf(place, sizeof place, " (line %u, column %u)", static_cast<unsigned>(line),
                      static_cast<unsigned>(column));
        out += place;
    }
    return out;
}

}  // namespace

}  // namespace formula
}  // namespace notes_internal

STATUS LNPUBLIC NSFNoteComputeWithForm(NOTEHANDLE hNote, NOTEHANDLE hFormNote, DWORD dwFlags,
                                       CWF_ERROR_PROC ErrorRoutine, void far *CallersContext) {
    using namespace notes_internal::formula;
    using notes_internal::nsf::NoteObject;
    std::shared_ptr<NoteObject> note;
    STATUS noteStatus = notes_internal::nsf::LookupNote(hNote, &note);
    if (STATUS fault = notes_internal::FaultCheck(
            "NSFNoteComputeWithForm",
            noteStatus == NOERROR ? note->db->file->relPath().c_str() : nullptr))
        return fault;
    if (noteStatus != NOERROR)
        return noteStatus;
    if (dwFlags != 0)
        return ERR_BAD_PARAM;
    try {
        std::vector<FormField> fields;
        if (hFormNote != NULLHANDLE) {
            std::shared_ptr<NoteObject> form;
            if (STATUS status = notes_internal::nsf::LookupNote(hFormNote, &form))
                return status;
            std::lock_guard<std::mutex> lock(form->mutex);
            if (form->closed)
                return ERR_INVALID_HANDLE;
            if (STATUS status = ReadFields(*form, &fields))
                return status;
        } else {
            std::vector<std::string> formName;
            {
                std::lock_guard<std::mutex> lock(note->mutex);
                if (note->closed)
                    return ERR_INVALID_HANDLE;
                if (!ReadTexts(*note, "Form", &formName) || formName.empty())
                    return ERR_FORM_NOT_FOUND;
            }
            const std::string name = TrimBlanks(formName[0]);
            if (name.empty())
                return ERR_FORM_NOT_FOUND;
            StoredItems form;
            if (STATUS status = FindForm(note->db->file.get(), name, &form))
                return status;
            if (STATUS status = ReadFields(form, &fields))
                return status;
        }

        STATUS first = NOERROR;
        // Tells the error routine; true when it asks to stop.
        auto failed = [&](const FormField &field, WORD phase, STATUS status,
                          const CompileError *error) {
            if (first == NOERROR)
                first = status;
            if (ErrorRoutine == nullptr)
                return false;
            const std::string text = ErrorText(status, field.formula, error);
            return ErrorRoutine(field.name.c_str(), phase, status, text.c_str(), CallersContext) !=
                   CWF_NEXT_FIELD;
        };
        for (const FormField &field : fields) {
            std::shared_ptr<const Program> program;
            CompileError error;
            if (STATUS status =
                    CompileText(field.formula.data(), field.formula.size(), &program, &error)) {
                if (failed(field, CWF_PHASE_COMPILE, status, &error))
                    return status;
                continue;
            }
            WORD phase = CWF_PHASE_EVALUATE;
            STATUS status = NOERROR;
            {
                std::lock_guard<std::mutex> lock(note->mutex);
                if (note->closed)
                    return ERR_INVALID_HANDLE;
                const notes_internal::ItemSource &items = *note;
                if (!field.computed && ItemPresent(items, field.name))
                    continue;
                Outcome outcome;
                std::vector<EncodedItem> stores;
                EncodedItem own;
                own.name = field.name;
                status = Evaluate(*program, &items, &outcome);
                if (status == NOERROR) {
                    phase = CWF_PHASE_STORE;
                    status = FieldsToItems(outcome, &stores);
                }
                if (status == NOERROR)
                    status = EncodeItem(outcome.result, &own.type, &own.bytes);
                if (status == NOERROR) {
                    // The field's own value last: it wins over a FIELD
                    // statement of the same name.
                    stores.push_back(std::move(own));
                    for (const EncodedItem &item : stores) {
                        status = StoreItem(note.get(), item.name, item.type, item.bytes);
                        if (status != NOERROR)
                            break;
                    }
                }
            }
            if (status != NOERROR && failed(field, phase, status, nullptr))
                return status;
        }
        return first;
    } catch (const std::bad_alloc &) {
        return ERR_MEMORY;
    }
}
