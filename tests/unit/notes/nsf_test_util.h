// Helpers of the database, note and profile tests.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "nsf_db.h"
#include "nsf_note.h"
#include "os_mem.h"
#include "standin/nsf.h"
#include "standin/runtime.h"
#include "test_support.h"

namespace nsf_test {

// The text of an item, NUL bytes included (4096-byte buffer).
inline std::string Text(NOTEHANDLE note, const char *name) {
    char buffer[4096];
    WORD length = NSFItemGetText(note, name, buffer, sizeof buffer);
    return std::string(buffer, length);
}

// The value bytes of the first item of that name (without the type word),
// read through its BLOCKID; "<missing>" when there is none.
inline std::string ValueBytes(NOTEHANDLE note, const char *name, WORD *type = nullptr) {
    BLOCKID value;
    DWORD length = 0;
    WORD dataType = 0;
    if (NSFItemInfo(note, name, static_cast<WORD>(std::strlen(name)), nullptr, &dataType, &value,
                    &length) != NOERROR)
        return "<missing>";
    if (type)
        *type = dataType;
    const char *p = OSLockBlock(char, value);
    if (p == nullptr)
        return "<unlockable>";
    std::string bytes(p + 2, length - 2);
    OSUnlockBlock(value);
    return bytes;
}

// Names of every item in order, walked with NSFItemInfo / NSFItemInfoNext.
inline std::vector<std::string> ItemNames(NOTEHANDLE note) {
    std::vector<std::string> names;
    BLOCKID item;
    if (NSFItemInfo(note, nullptr, 0, &item, nullptr, nullptr, nullptr) != NOERROR)
        return names;
    for (;;) {
        char name[256];
        WORD length = 0;
        NSFItemQuery(note, item, name, sizeof name, &length, nullptr, nullptr, nullptr, nullptr);
        names.emplace_back(name, length);
        BLOCKID next;
        if (NSFItemInfoNext(note, item, nullptr, 0, &next, nullptr, nullptr, nullptr) != NOERROR)
            break;
        item = next;
    }
    return names;
}

// A text list value (without the type word) of the given entries.
inline std::vector<unsigned char> TextList(const std::vector<std::string> &entries) {
    std::vector<unsigned char> value(2 + 2 * entries.size());
    WORD count = static_cast<WORD>(entries.size());
    std::memcpy(value.data(), &count, 2);
    for (size_t i = 0; i < entries.size(); i++) {
        WORD length = static_cast<WORD>(entries[i].size());
        std::memcpy(value.data() + 2 + 2 * i, &length, 2);
        value.insert(value.end(), entries[i].begin(), entries[i].end());
    }
    return value;
}

inline NOTEID NoteId(NOTEHANDLE note) {
    NOTEID id = 0;
    NSFNoteGetInfo(note, _NOTE_ID, &id);
    return id;
}

inline OID NoteOid(NOTEHANDLE note) {
    OID oid{};
    NSFNoteGetInfo(note, _NOTE_OID, &oid);
    return oid;
}

inline std::vector<NOTEID> NoteIds(DBHANDLE db) {
    DWORD count = 0;
    if (StandinDbNoteIDs(db, nullptr, 0, &count) != NOERROR)
        return {};
    std::vector<NOTEID> ids(count);
    if (StandinDbNoteIDs(db, ids.data(), count, &count) != NOERROR)
        return {};
    ids.resize(count);
    return ids;
}

// Runs body in a forked child and returns its exit code (-1 when it did
// not exit normally). The child leaves with _exit, never through the
// parent's test runner.
template <class Body>
int InChild(Body body) {
    pid_t pid = fork();
    if (pid == 0)
        _exit(body());
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A data directory with the runtime started and helpers for databases.
class NsfTest : public test_support::DataDirTest {
  protected:
    void SetUp() override {
        test_support::DataDirTest::SetUp();
        baseHandles_ = StandinHandleCount(STANDIN_HANDLE_ANY);
    }
    void TearDown() override {
        EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_ANY), baseHandles_)
            << "handles left open by the test";
        test_support::DataDirTest::TearDown();
    }

    DBHANDLE CreateAndOpen(const char *path) {
        EXPECT_NOERROR(NSFDbCreate(path, DBCLASS_BY_EXTENSION, FALSE));
        DBHANDLE db = NULLHANDLE;
        EXPECT_NOERROR(NSFDbOpen(path, &db));
        return db;
    }

    // Stores a new document with the given text items; returns its ID.
    NOTEID StoreNote(DBHANDLE db, const std::vector<std::pair<std::string, std::string>> &items) {
        NOTEHANDLE note = NULLHANDLE;
        EXPECT_NOERROR(NSFNoteCreate(db, &note));
        for (const auto &item : items)
            EXPECT_NOERROR(NSFItemSetText(note, item.first.c_str(), item.second.data(),
                                          static_cast<WORD>(item.second.size())));
        EXPECT_NOERROR(NSFNoteUpdate(note, 0));
        NOTEID id = NoteId(note);
        EXPECT_NOERROR(NSFNoteClose(note));
        return id;
    }

    DWORD baseHandles_ = 0;
};

}  // namespace nsf_test
