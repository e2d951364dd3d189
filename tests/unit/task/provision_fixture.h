// A data directory for the provisioning tests: the shipped product
// templates in the product folder "hcr", names.nsf with this server's
// document, and readers of what provisioning leaves behind.
#pragma once

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "notes_api.h"
#include "standin/dxl.h"
#include "standin/nsf.h"
#include "standin/runtime.h"
#include "standin/sign.h"
#include "test_support.h"

namespace provision_test {

const char kServer[] = "CN=Vanterra Test/O=Acme";

inline STATUS LNCALLBACK ReadString(void *context, char *buffer, DWORD length, DWORD *retLength) {
    auto *text = static_cast<std::pair<const std::string *, size_t> *>(context);
    size_t n = std::min<size_t>(length, text->first->size() - text->second);
    std::memcpy(buffer, text->first->data() + text->second, n);
    text->second += n;
    *retLength = static_cast<DWORD>(n);
    return NOERROR;
}

// Imports the DXL text into the database at path, made when missing.
inline void Import(const std::string &path, const std::string &dxl) {
    DBHANDLE db = NULLHANDLE;
    if (NSFDbOpen(path.c_str(), &db) != NOERROR) {
        ASSERT_NOERROR(NSFDbCreate(path.c_str(), DBCLASS_BY_EXTENSION, FALSE));
        ASSERT_NOERROR(NSFDbOpen(path.c_str(), &db));
    }
    std::pair<const std::string *, size_t> reader{&dxl, 0};
    StandinDxlResult result{};
    STATUS status = StandinDxlImport(db, ReadString, &reader, &result);
    NSFDbClose(db);
    ASSERT_EQ(status, 0) << path << ": " << test_support::StatusText(status) << " "
                         << result.message;
}

inline std::string Design(const char *file) {
    return test_support::ReadFile(std::string(DESIGNS_DIR) + "/" + file);
}

inline std::string TextList(const std::vector<std::string> &names) {
    std::string out = "<textlist>";
    for (const std::string &name : names)
        out += "<text>" + name + "</text>";
    return out + "</textlist>";
}

// One ACL entry in a line: "NAME LEVEL 0xFLAGS [ROLE ...]".
inline void CollectLine(void *context, const char *name, WORD level,
                        const ACL_PRIVILEGES *privileges, WORD flags) {
    auto *acl = static_cast<std::pair<DHANDLE, std::vector<std::string> *> *>(context);
    char head[32];
    std::snprintf(head, sizeof head, " %u 0x%04X", level, flags);
    std::string line = std::string(name) + head;
    for (WORD slot = 0; slot < ACL_PRIVCOUNT; slot++) {
        if (ACLIsPrivSet(*privileges, slot)) {
            char role[ACL_PRIVSTRINGMAX] = {};
            ACLGetPrivName(acl->first, slot, role);
            line += std::string(" ") + role;
        }
    }
    acl->second->push_back(line);
}

// The ACL of a database, one line per entry in order, the roles first.
inline std::vector<std::string> Acl(const std::string &path) {
    std::vector<std::string> lines;
    DBHANDLE db = NULLHANDLE;
    if (NSFDbOpen(path.c_str(), &db) != NOERROR)
        return {"<no database>"};
    DHANDLE acl = NULLHANDLE;
    if (NSFDbReadACL(db, &acl) == NOERROR) {
        std::string roles = "roles";
        for (WORD slot = 0; slot < ACL_PRIVCOUNT; slot++) {
            char role[ACL_PRIVSTRINGMAX] = {};
            ACLGetPrivName(acl, slot, role);
            if (role[0])
                roles += std::string(" ") + role;
        }
        lines.push_back(roles);
        std::pair<DHANDLE, std::vector<std::string> *> context{acl, &lines};
        ACLEnumEntries(acl, CollectLine, &context);
        OSMemFree(acl);
    }
    NSFDbClose(db);
    return lines;
}

inline std::string InfoPart(const std::string &path, WORD part) {
    DBHANDLE db = NULLHANDLE;
    if (NSFDbOpen(path.c_str(), &db) != NOERROR)
        return "<no database>";
    char info[NSF_INFO_SIZE] = {}, value[NSF_INFO_SIZE] = {};
    if (NSFDbInfoGet(db, info) != NOERROR)
        std::strcpy(value, "<no information>");
    else
        NSFDbInfoParse(info, part, value, sizeof value);
    NSFDbClose(db);
    return value;
}

inline std::string IconText(const std::string &path, const char *item) {
    DBHANDLE db = NULLHANDLE;
    if (NSFDbOpen(path.c_str(), &db) != NOERROR)
        return "<no database>";
    char text[256] = {};
    NOTEHANDLE icon = NULLHANDLE;
    if (NSFNoteOpen(db, NOTE_ID_SPECIAL | NOTE_CLASS_ICON, 0, &icon) == NOERROR) {
        NSFItemGetText(icon, item, text, sizeof text);
        NSFNoteClose(icon);
    }
    NSFDbClose(db);
    return text;
}

// Each note of the classes, as "CLASS SIGNER" ("-" unsigned or no
// longer matching) with " $POID" when it has one.
inline std::vector<std::string> Signers(const std::string &path, WORD classes) {
    std::vector<std::string> out;
    DBHANDLE db = NULLHANDLE;
    if (NSFDbOpen(path.c_str(), &db) != NOERROR)
        return {"<no database>"};
    std::pair<DBHANDLE, std::vector<std::string> *> context(db, &out);
    NSFSearch(
        db, NULLHANDLE, nullptr, 0, classes, nullptr,
        [](void *context, SEARCH_MATCH *match, ITEM_TABLE *) -> STATUS {
            auto *c = static_cast<std::pair<DBHANDLE, std::vector<std::string> *> *>(context);
            NOTEHANDLE note = NULLHANDLE;
            if (NSFNoteOpen(c->first, match->NoteID, 0, &note) != NOERROR)
                return NOERROR;
            char signer[MAXUSERNAME] = {};
            std::string line = std::to_string(match->NoteClass) + " ";
            line += StandinNoteVerifySignature(note, signer, sizeof signer, nullptr) == NOERROR
                        ? signer
                        : "-";
            if (NSFItemInfo(note, "$POID", 5, nullptr, nullptr, nullptr, nullptr) == NOERROR)
                line += " $POID";
            NSFNoteClose(note);
            c->second->push_back(line);
            return NOERROR;
        },
        &context, nullptr);
    NSFDbClose(db);
    return out;
}

class ProvisionTest : public test_support::DataDirTest {
  protected:
    std::vector<std::string> IniLines() const override { return {"HCRDirectory=hcr"}; }

    void SetUp() override {
        DataDirTest::SetUp();
        ASSERT_EQ(mkdir(dataFile("hcr").c_str(), 0755), 0);
    }

    void MakeTemplates(bool ntf = true, bool ex = true) {
        if (ntf)
            Import("hcr/HCR.ntf", Design("HCR.ntf.xml"));
        if (ex)
            Import("hcr/HCREx.ntf", Design("HCREx.ntf.xml"));
    }

    // names.nsf with its views and this server's document.
    void MakeDirectory(const std::vector<std::string> &admins,
                       const std::vector<std::string> &fullAdmins) {
        Import("names.nsf", Design("names-views.xml"));
        Import("names.nsf",
               "<database><document form='Server'>"
               "<item name='Type' summary='true'><text>Server</text></item>"
               "<item name='ServerName' summary='true' names='true'><text>" +
                   std::string(kServer) +
                   "</text></item>"
                   "<item name='Administrator' summary='true' names='true'>" +
                   TextList(admins) + "</item><item name='FullAdmin' summary='true' names='true'>" +
                   TextList(fullAdmins) + "</item></document></database>");
    }

    void SetIni(const std::string &key, int value) { OSSetEnvironmentInt(key.c_str(), value); }
    int Ini(const std::string &key) { return OSGetEnvironmentInt(key.c_str()); }

    // Adds "$POID" to every design note of the database, as a database
    // that was replicated has them.
    void AddPoids(const std::string &path) {
        DBHANDLE db = NULLHANDLE;
        ASSERT_NOERROR(NSFDbOpen(path.c_str(), &db));
        std::vector<NOTEID> ids;
        NSFSearch(
            db, NULLHANDLE, nullptr, 0, NOTE_CLASS_ALLNONDATA & ~NOTE_CLASS_ICON, nullptr,
            [](void *context, SEARCH_MATCH *match, ITEM_TABLE *) -> STATUS {
                static_cast<std::vector<NOTEID> *>(context)->push_back(match->NoteID);
                return NOERROR;
            },
            &ids, nullptr);
        for (NOTEID id : ids) {
            NOTEHANDLE note = NULLHANDLE;
            ASSERT_NOERROR(NSFNoteOpen(db, id, 0, &note));
            ASSERT_NOERROR(NSFItemSetText(note, "$POID", "poid", MAXWORD));
            ASSERT_NOERROR(NSFNoteUpdate(note, 0));
            NSFNoteClose(note);
        }
        NSFDbClose(db);
    }

    bool Exists(const std::string &name) { return test_support::FileExists(dataFile(name)); }

    // Removes a database file and what SQLite keeps beside it.
    void RemoveDb(const std::string &name) {
        for (const char *suffix : {"", "-wal", "-shm"})
            std::remove(dataFile(name + suffix).c_str());
    }
};

}  // namespace provision_test
