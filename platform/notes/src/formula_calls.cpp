// The formula calls: compiling a formula into a self-contained block,
// computations behind handles, and evaluating them on notes.
#include <cstring>
#include <list>
#include <mutex>
#include <new>
#include <set>
#include <unordered_map>

#include "fault.h"
#include "formula_calls.h"
#include "formula_eval.h"
#include "formula_note.h"
#include "nsf_formula.h"
#include "os_error.h"
#include "runtime_state.h"

namespace notes_internal {
namespace formula {

namespace {

// The compiled block: a header, then the name, then the text.
//   0  DWORD magic      4  WORD version   6  WORD header size
//   8  DWORD total size 12 WORD name length 14 WORD text length
//   16 DWORD checksum (FNV-1a of every byte but these four)
//   20 DWORD reserved, 0
constexpr DWORD kMagic = 0x314D4656;  // "VFM1"
constexpr WORD kVersion = 1;
constexpr size_t kHeaderSize = 24;
constexpr size_t kMaxFormulaName = 255;

template <typename T>
T ReadAt(const unsigned char *bytes, size_t offset) {
    T value;
    std::memcpy(&value, bytes + offset, sizeof value);
    return value;
}

template <typename T>
void WriteAt(unsigned char *bytes, size_t offset, T value) {
    std::memcpy(bytes + offset, &value, sizeof value);
}

DWORD Checksum(const unsigned char *bytes, size_t total) {
    DWORD hash = 2166136261u;
    for (size_t i = 0; i < total; i++) {
        if (i >= 16 && i < 20)
            continue;
        hash = (hash ^ bytes[i]) * 16777619u;
    }
    return hash;
}

// Parsed programs by their text, so that starting a computation of a
// formula that was just compiled (or started before) does not parse again.
// Bounded; dropped when the runtime ends.
class ProgramCache {
  public:
    std::shared_ptr<const Program> Find(const std::string &text) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = entries_.find(text);
        if (found == entries_.end())
            return nullptr;
        order_.splice(order_.begin(), order_, found->second.position);
        return found->second.program;
    }

    void Add(const std::string &text, std::shared_ptr<const Program> program) {
        if (text.size() > kMaxBytes / 4)
            return;
        std::lock_guard<std::mutex> lock(mutex_);
        if (entries_.count(text) != 0)
            return;
        order_.push_front(text);
        entries_.emplace(text, Entry{std::move(program), order_.begin()});
        bytes_ += text.size();
        while (entries_.size() > kMaxEntries || bytes_ > kMaxBytes) {
            bytes_ -= order_.back().size();
            entries_.erase(order_.back());
            order_.pop_back();
        }
    }

    void Clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        entries_.clear();
        order_.clear();
        bytes_ = 0;
    }

  private:
    static constexpr size_t kMaxEntries = 256;
    static constexpr size_t kMaxBytes = 4u << 20;
    struct Entry {
        std::shared_ptr<const Program> program;
        std::list<std::string>::iterator position;
    };
    std::mutex mutex_;
    std::list<std::string> order_;  // most recently used first
    std::unordered_map<std::string, Entry> entries_;
    size_t bytes_ = 0;
};

ProgramCache &TheCache() {
    static auto *cache = new ProgramCache;
    return *cache;
}

struct ComputeObject : HandleObject {
    std::shared_ptr<const Program> program;
};

struct OpenComputations {
    std::mutex mutex;
    std::set<DHANDLE> handles;
};

OpenComputations &TheComputations() {
    static auto *open = new OpenComputations;
    return *open;
}

void StopEverything() {
    OpenComputations &open = TheComputations();
    std::set<DHANDLE> handles;
    {
        std::lock_guard<std::mutex> lock(open.mutex);
        handles.swap(open.handles);
    }
    for (DHANDLE handle : handles)
        ReleaseHandle(HandleKind::Compute, handle);
    TheCache().Clear();
}

void PutOutputs(DHANDLE *rethResult, DWORD *retResultLength, BOOL *matches, BOOL *deleted,
                BOOL *modified, DHANDLE result, DWORD length, const Outcome *outcome) {
    if (rethResult)
        *rethResult = result;
    if (retResultLength)
        *retResultLength = length;
    if (matches)
        *matches = outcome && outcome->matches ? TRUE : FALSE;
    if (deleted)
        *deleted = outcome && outcome->deleteNote ? TRUE : FALSE;
    if (modified)
        *modified = outcome && !outcome->fields.empty() ? TRUE : FALSE;
}

}  // namespace

void PlaceOfOffset(const char *text, size_t offset, WORD *line, WORD *column) {
    size_t l = 1, c = 1;
    for (size_t i = 0; i < offset; i++) {
        if (text[i] == '\n') {
            l++;
            c = 1;
        } else {
            c++;
        }
    }
    *line = static_cast<WORD>(l < MAXWORD ? l : MAXWORD);
    *column = static_cast<WORD>(c < MAXWORD ? c : MAXWORD);
}

STATUS CompileText(const char *text, size_t length, std::shared_ptr<const Program> *out,
                   CompileError *error) {
    const std::string key(text, length);
    if (auto cached = TheCache().Find(key)) {
        *error = CompileError();
        *out = std::move(cached);
        return NOERROR;
    }
    auto program = std::make_shared<Program>();
    if (STATUS status = Parse(text, length, program.get(), error))
        return status;
    TheCache().Add(key, program);
    *out = std::move(program);
    return NOERROR;
}

STATUS FieldsToItems(const Outcome &outcome, std::vector<EncodedItem> *out) {
    out->clear();
    for (const FieldSet &field : outcome.fields) {
        EncodedItem item;
        item.name = field.name;
        if (STATUS status = EncodeItem(field.value, &item.type, &item.bytes))
            return status;
        out->push_back(std::move(item));
    }
    return NOERROR;
}

}  // namespace formula
}  // namespace notes_internal

using notes_internal::HandleKind;
using notes_internal::formula::CompileError;
using notes_internal::formula::ComputeObject;
using notes_internal::formula::Outcome;
using notes_internal::formula::Program;

STATUS LNPUBLIC NSFFormulaCompile(const char far *FormulaName, WORD FormulaNameLength,
                                  const char far *FormulaText, WORD FormulaTextLength,
                                  FORMULAHANDLE far *rethFormula, DWORD far *retFormulaLength,
                                  STATUS far *retCompileError, WORD far *retCompileErrorLine,
                                  WORD far *retCompileErrorColumn, WORD far *retCompileErrorOffset,
                                  WORD far *retCompileErrorLength) {
    using namespace notes_internal::formula;
    if (rethFormula)
        *rethFormula = NULLHANDLE;
    if (retFormulaLength)
        *retFormulaLength = 0;
    auto report = [&](STATUS status, WORD line, WORD column, WORD offset, WORD length) {
        if (retCompileError)
            *retCompileError = status;
        if (retCompileErrorLine)
            *retCompileErrorLine = line;
        if (retCompileErrorColumn)
            *retCompileErrorColumn = column;
        if (retCompileErrorOffset)
            *retCompileErrorOffset = offset;
        if (retCompileErrorLength)
            *retCompileErrorLength = length;
    };
    report(NOERROR, 0, 0, 0, 0);
    if (STATUS fault = notes_internal::FaultCheck("NSFFormulaCompile"))
        return fault;
    const size_t nameLength = FormulaName ? FormulaNameLength : 0;
    if (rethFormula == nullptr || (FormulaText == nullptr && FormulaTextLength != 0) ||
        nameLength > kMaxFormulaName)
        return ERR_BAD_PARAM;
    const char *text = FormulaText ? FormulaText : "";
    std::shared_ptr<const Program> program;
    CompileError error;
    try {
        if (STATUS status = CompileText(text, FormulaTextLength, &program, &error)) {
            WORD line = 0, column = 0;
            PlaceOfOffset(text, error.offset, &line, &column);
            report(status, line, column, static_cast<WORD>(error.offset),
                   static_cast<WORD>(error.length));
            return status;
        }
        const size_t total = kHeaderSize + nameLength + FormulaTextLength;
        std::vector<unsigned char> block(total);
        WriteAt<DWORD>(block.data(), 0, kMagic);
        WriteAt<WORD>(block.data(), 4, kVersion);
        WriteAt<WORD>(block.data(), 6, static_cast<WORD>(kHeaderSize));
        WriteAt<DWORD>(block.data(), 8, static_cast<DWORD>(total));
        WriteAt<WORD>(block.data(), 12, static_cast<WORD>(nameLength));
        WriteAt<WORD>(block.data(), 14, FormulaTextLength);
        WriteAt<DWORD>(block.data(), 20, 0);
        if (nameLength)
            std::memcpy(block.data() + kHeaderSize, FormulaName, nameLength);
        if (FormulaTextLength)
            std::memcpy(block.data() + kHeaderSize + nameLength, FormulaText, FormulaTextLength);
        WriteAt<DWORD>(block.data(), 16, Checksum(block.data(), total));
        DHANDLE handle = notes_internal::NewMemoryObject(std::move(block));
        if (handle == NULLHANDLE)
            return ERR_MEMORY;
        *rethFormula = handle;
        if (retFormulaLength)
            *retFormulaLength = static_cast<DWORD>(total);
    } catch (const std::bad_alloc &) {
        return ERR_MEMORY;
    }
    return NOERROR;
}

STATUS LNPUBLIC NSFComputeStart(WORD wFlags, const void far *lpCompiledFormula,
                                HCOMPUTE far *rethCompute) {
    using namespace notes_internal::formula;
    if (rethCompute)
        *rethCompute = NULLHANDLE;
    if (STATUS fault = notes_internal::FaultCheck("NSFComputeStart"))
        return fault;
    if (rethCompute == nullptr || lpCompiledFormula == nullptr || wFlags != 0)
        return ERR_BAD_PARAM;
    const auto *bytes = static_cast<const unsigned char *>(lpCompiledFormula);
    // The header first, and only then as many bytes as it says (never more
    // than the largest formula).
    if (ReadAt<DWORD>(bytes, 0) != kMagic)
        return ERR_FORMULA_DAMAGED;
    if (ReadAt<WORD>(bytes, 4) != kVersion || ReadAt<WORD>(bytes, 6) != kHeaderSize ||
        ReadAt<DWORD>(bytes, 20) != 0)
        return ERR_FORMULA_DAMAGED;
    const size_t total = ReadAt<DWORD>(bytes, 8);
    const size_t nameLength = ReadAt<WORD>(bytes, 12);
    const size_t textLength = ReadAt<WORD>(bytes, 14);
    if (nameLength > kMaxFormulaName || total != kHeaderSize + nameLength + textLength ||
        Checksum(bytes, total) != ReadAt<DWORD>(bytes, 16))
        return ERR_FORMULA_DAMAGED;
    try {
        auto object = std::make_shared<ComputeObject>();
        CompileError error;
        const char *text = reinterpret_cast<const char *>(bytes + kHeaderSize + nameLength);
        if (CompileText(text, textLength, &object->program, &error) != NOERROR)
            return ERR_FORMULA_DAMAGED;  // a whole block of a text that never compiled
        DHANDLE handle = notes_internal::RegisterHandle(HandleKind::Compute, object);
        if (handle == NULLHANDLE)
            return ERR_MEMORY;
        notes_internal::AtRuntimeEnd(StopEverything);
        OpenComputations &open = TheComputations();
        {
            std::lock_guard<std::mutex> lock(open.mutex);
            open.handles.insert(handle);
        }
        *rethCompute = handle;
    } catch (const std::bad_alloc &) {
        return ERR_MEMORY;
    }
    return NOERROR;
}

STATUS LNPUBLIC NSFComputeEvaluate(HCOMPUTE hCompute, NOTEHANDLE hNote, DHANDLE far *rethResult,
                                   DWORD far *retResultLength, BOOL far *retNoteMatchesFormula,
                                   BOOL far *retNoteShouldBeDeleted, BOOL far *retNoteModified) {
    using namespace notes_internal::formula;
    using notes_internal::nsf::NoteObject;
    PutOutputs(rethResult, retResultLength, retNoteMatchesFormula, retNoteShouldBeDeleted,
               retNoteModified, NULLHANDLE, 0, nullptr);
    std::shared_ptr<NoteObject> note;
    STATUS noteStatus = NOERROR;
    if (hNote != NULLHANDLE)
        noteStatus = notes_internal::nsf::LookupNote(hNote, &note);
    if (STATUS fault = notes_internal::FaultCheck(
            "NSFComputeEvaluate", note ? note->db->file->relPath().c_str() : nullptr))
        return fault;
    std::shared_ptr<ComputeObject> compute;
    if (STATUS status = notes_internal::Lookup(HandleKind::Compute, hCompute, &compute))
        return status;
    if (noteStatus != NOERROR)
        return noteStatus;
    try {
        Outcome outcome;
        std::vector<EncodedItem> fields;
        std::string resultBytes;
        WORD resultType = 0;
        DHANDLE result = NULLHANDLE;
        std::unique_lock<std::mutex> lock;
        if (note) {
            lock = std::unique_lock<std::mutex>(note->mutex);
            if (note->closed)
                return ERR_INVALID_HANDLE;
        }
        const notes_internal::ItemSource *items = note.get();
        if (STATUS status = Evaluate(*compute->program, items, &outcome))
            return status;
        // Everything that can fail comes before the note changes.
        if (STATUS status = FieldsToItems(outcome, &fields))
            return status;
        if (rethResult) {
            const bool text = outcome.result.kind == notes_internal::ValueKind::Text;
            if (STATUS status =
                    notes_internal::EncodeValue(outcome.result, text, &resultType, &resultBytes))
                return status;
            std::vector<unsigned char> bytes(2 + resultBytes.size());
            std::memcpy(bytes.data(), &resultType, 2);
            std::memcpy(bytes.data() + 2, resultBytes.data(), resultBytes.size());
            result = notes_internal::NewMemoryObject(std::move(bytes));
            if (result == NULLHANDLE)
                return ERR_MEMORY;
        }
        if (note) {
            for (const EncodedItem &field : fields) {
                if (STATUS status = StoreItem(note.get(), field.name, field.type, field.bytes)) {
                    if (result)
                        notes_internal::ReleaseHandle(HandleKind::Memory, result);
                    return status;
                }
            }
        }
        const DWORD resultLength = result ? static_cast<DWORD>(2 + resultBytes.size()) : 0;
        PutOutputs(rethResult, retResultLength, retNoteMatchesFormula, retNoteShouldBeDeleted,
                   retNoteModified, result, resultLength, &outcome);
        if (!note && retNoteModified)
            *retNoteModified = FALSE;  // no note to change
    } catch (const std::bad_alloc &) {
        return ERR_MEMORY;
    }
    return NOERROR;
}

STATUS LNPUBLIC NSFComputeStop(HCOMPUTE hCompute) {
    using namespace notes_internal::formula;
    if (STATUS fault = notes_internal::FaultCheck("NSFComputeStop"))
        return fault;
    if (STATUS status = notes_internal::ReleaseHandle(HandleKind::Compute, hCompute))
        return status;
    OpenComputations &open = TheComputations();
    std::lock_guard<std::mutex> lock(open.mutex);
    open.handles.erase(hCompute);
    return NOERROR;
}
