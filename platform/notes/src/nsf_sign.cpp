// Signing notes (nsf_sign.h) and checking their signatures
// (standin/sign.h).
#include "nsf_sign.h"

#include <cstring>
#include <memory>

#include "collation.h"
#include "dname.h"
#include "fault.h"
#include "ini_file.h"
#include "nsf_internal.h"
#include "os_error.h"
#include "runtime_state.h"
#include "sha256.h"
#include "signature.h"
#include "standin/sign.h"

namespace notes_internal {
namespace sign {

namespace {

constexpr WORD kLayoutVersion = 1;
constexpr WORD kSha256 = 1;

void PutWord(std::string *out, WORD value) {
    out->push_back(static_cast<char>(value & 0xFF));
    out->push_back(static_cast<char>(value >> 8));
}

void PutDword(std::string *out, DWORD value) {
    PutWord(out, static_cast<WORD>(value & 0xFFFF));
    PutWord(out, static_cast<WORD>(value >> 16));
}

WORD GetWord(const unsigned char *p) {
    return static_cast<WORD>(p[0] | (p[1] << 8));
}

DWORD GetDword(const unsigned char *p) {
    return GetWord(p) | (static_cast<DWORD>(GetWord(p + 2)) << 16);
}

}  // namespace

bool IsSignatureItem(const char *name, size_t length) {
    return CollationEqual(name, length, SIGNATURE_ITEM, sizeof SIGNATURE_ITEM - 1);
}

void Digest(WORD noteClass, const std::vector<ItemView> &items, unsigned char *digest) {
    Sha256 hash;
    std::string head;
    PutWord(&head, noteClass);
    hash.Update(head.data(), head.size());
    for (const ItemView &item : items) {
        if (IsSignatureItem(item.name, item.nameLength))
            continue;
        std::string fields;
        PutWord(&fields, static_cast<WORD>(item.nameLength));
        fields.append(item.name, item.nameLength);
        PutWord(&fields, item.type);
        PutWord(&fields, item.flags);
        PutDword(&fields, static_cast<DWORD>(item.size));
        hash.Update(fields.data(), fields.size());
        hash.Update(item.value, item.size);
    }
    static_assert(Sha256::kDigestSize == kDigestSize, "the signature holds a SHA-256 digest");
    hash.Final(digest);
}

std::string MakeValue(const std::string &signer, const TIMEDATE &when,
                      const unsigned char *digest) {
    std::string value;
    PutWord(&value, kLayoutVersion);
    PutWord(&value, kSha256);
    PutWord(&value, static_cast<WORD>(signer.size()));
    PutWord(&value, 0);
    PutDword(&value, when.Innards[0]);
    PutDword(&value, when.Innards[1]);
    value.append(reinterpret_cast<const char *>(digest), kDigestSize);
    value += signer;
    return value;
}

bool ParseValue(const unsigned char *value, size_t size, Parsed *out) {
    if (size < kHeaderSize || GetWord(value) != kLayoutVersion || GetWord(value + 2) != kSha256)
        return false;
    const size_t signerLength = GetWord(value + 4);
    if (signerLength == 0 || signerLength >= MAXUSERNAME || size != kHeaderSize + signerLength)
        return false;
    out->when.Innards[0] = GetDword(value + 8);
    out->when.Innards[1] = GetDword(value + 12);
    std::memcpy(out->digest, value + 16, kDigestSize);
    out->signer.assign(reinterpret_cast<const char *>(value + kHeaderSize), signerLength);
    return true;
}

Verdict Check(WORD noteClass, const std::vector<ItemView> &items, Parsed *parsed) {
    const ItemView *signature = nullptr;
    for (const ItemView &item : items) {
        if (IsSignatureItem(item.name, item.nameLength)) {
            signature = &item;
            break;
        }
    }
    if (signature == nullptr)
        return Verdict::Unsigned;
    if (signature->type != TYPE_SIGNATURE || !ParseValue(signature->value, signature->size, parsed))
        return Verdict::Damaged;
    unsigned char digest[kDigestSize];
    Digest(noteClass, items, digest);
    return std::memcmp(digest, parsed->digest, kDigestSize) == 0 ? Verdict::Matches
                                                                 : Verdict::Differs;
}

}  // namespace sign
}  // namespace notes_internal

namespace {

using notes_internal::nsf::NoteObject;

std::vector<notes_internal::sign::ItemView> ViewsOf(const NoteObject &note) {
    std::vector<notes_internal::sign::ItemView> views;
    views.reserve(note.items.size());
    for (const auto &item : note.items)
        views.push_back({item.name.data(), item.name.size(), item.type(), item.flags, item.data(),
                         item.size()});
    return views;
}

// The canonical name of notes.ini "ServerName".
STATUS ServerName(std::string *out) {
    if (!notes_internal::RuntimeStarted())
        return ERR_NOT_INITIALIZED;
    std::optional<std::string> name =
        notes_internal::IniGet(notes_internal::IniPath(), "ServerName");
    if (!name || name->empty())
        return ERR_NO_SERVER_NAME;
    char canonical[MAXUSERNAME] = {};
    WORD length = 0;
    if (STATUS status =
            DNCanonicalize(0, nullptr, name->c_str(), canonical, sizeof canonical, &length))
        return status;
    out->assign(canonical, length);
    return NOERROR;
}

}  // namespace

STATUS LNPUBLIC NSFNoteSign(NOTEHANDLE hNote) {
    std::shared_ptr<NoteObject> note;
    STATUS status = notes_internal::nsf::LookupNote(hNote, &note);
    if (STATUS fault = notes_internal::FaultCheck(
            "NSFNoteSign", status == NOERROR ? note->db->file->relPath().c_str() : nullptr))
        return fault;
    if (status != NOERROR)
        return status;
    std::string signer;
    if (STATUS named = ServerName(&signer))
        return named;
    std::lock_guard<std::mutex> lock(note->mutex);
    if (note->closed)
        return ERR_INVALID_HANDLE;
    unsigned char digest[notes_internal::sign::kDigestSize];
    notes_internal::sign::Digest(note->header.noteClass, ViewsOf(*note), digest);
    const std::string value =
        notes_internal::sign::MakeValue(signer, notes_internal::nsf::NowTimedate(), digest);
    // Appended first, so that a failure leaves the note as it was.
    if (STATUS appended = note->Append(SIGNATURE_ITEM, sizeof SIGNATURE_ITEM - 1, TYPE_SIGNATURE, 0,
                                       value.data(), value.size()))
        return appended;
    auto same =
        note->byName.find(notes_internal::nsf::FoldName(SIGNATURE_ITEM, sizeof SIGNATURE_ITEM - 1));
    while (same != note->byName.end() && same->second.size() > 1) {
        note->Remove(same->second.front());
        same = note->byName.find(
            notes_internal::nsf::FoldName(SIGNATURE_ITEM, sizeof SIGNATURE_ITEM - 1));
    }
    return NOERROR;
}

STATUS StandinNoteVerifySignature(NOTEHANDLE hNote, char *retSigner, WORD SignerLength,
                                  TIMEDATE *retWhen) {
    if (retSigner != nullptr && SignerLength > 0)
        retSigner[0] = '\0';
    if (retWhen != nullptr)
        *retWhen = TIMEDATE{};
    if (retSigner == nullptr && SignerLength > 0)
        return ERR_BAD_PARAM;
    std::shared_ptr<NoteObject> note;
    if (STATUS status = notes_internal::nsf::LookupNote(hNote, &note))
        return status;
    notes_internal::sign::Parsed parsed;
    notes_internal::sign::Verdict verdict;
    {
        std::lock_guard<std::mutex> lock(note->mutex);
        verdict = notes_internal::sign::Check(note->header.noteClass, ViewsOf(*note), &parsed);
    }
    switch (verdict) {
        case notes_internal::sign::Verdict::Unsigned:
            return ERR_NOTE_NOT_SIGNED;
        case notes_internal::sign::Verdict::Damaged:
            return ERR_SIGNATURE_DAMAGED;
        default:
            break;
    }
    if (retSigner != nullptr && SignerLength > 0) {
        size_t n =
            parsed.signer.size() < SignerLength - 1u ? parsed.signer.size() : SignerLength - 1u;
        std::memcpy(retSigner, parsed.signer.data(), n);
        retSigner[n] = '\0';
    }
    if (retWhen != nullptr)
        *retWhen = parsed.when;
    return verdict == notes_internal::sign::Verdict::Matches ? NOERROR : ERR_SIGNATURE_MISMATCH;
}
