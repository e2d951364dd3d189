// Helpers of the formula tests: one formula compiled, computed on a note and
// its result written out as text.
#pragma once

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "nsf_formula.h"
#include "nsf_note.h"
#include "os_error.h"
#include "os_mem.h"
#include "os_time.h"
#include "textlist.h"
#include "test_support.h"

namespace formula_test {

// A time as text: "date(2024-06-15)", "clock(14:05:09)", or
// "gmt(2024-06-15 12:05:09)" for a full value (its GMT fields).
inline std::string TimeText(TIMEDATE t) {
    char buffer[64];
    TIME fields{};
    if (t.Innards[0] != ALLDAY && t.Innards[1] != ANYDAY)
        t.Innards[1] &= 0x00FFFFFFu;  // GMT fields
    fields.GM = t;
    if (TimeGMToLocal(&fields))
        return "bad-time";
    if (t.Innards[0] == ALLDAY) {
        std::snprintf(buffer, sizeof buffer, "date(%04d-%02d-%02d)", fields.year, fields.month,
                      fields.day);
    } else if (t.Innards[1] == ANYDAY) {
        std::snprintf(buffer, sizeof buffer, "clock(%02d:%02d:%02d)", fields.hour, fields.minute,
                      fields.second);
    } else {
        std::snprintf(buffer, sizeof buffer, "gmt(%04d-%02d-%02d %02d:%02d:%02d)", fields.year,
                      fields.month, fields.day, fields.hour, fields.minute, fields.second);
    }
    return buffer;
}

inline std::string NumberText(NUMBER n) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.15g", n);
    return buffer;
}

// A result (type word first) as text: entries joined by " : ", texts in
// quotes, "(none)" for a list without entries.
inline std::string Render(const unsigned char *bytes, DWORD length) {
    if (length < 2)
        return "<short>";
    WORD type;
    std::memcpy(&type, bytes, 2);
    std::vector<std::string> entries;
    const unsigned char *value = bytes + 2;
    const DWORD size = length - 2;
    auto fixedList = [&](size_t width, auto render) {
        WORD count = 0, pairs = 0;
        std::memcpy(&count, value, 2);
        std::memcpy(&pairs, value + 2, 2);
        if (size != 4 + width * (count + 2u * pairs))
            return false;
        for (size_t i = 0; i < count + 2u * pairs; i++)
            entries.push_back(render(value + 4 + i * width));
        return true;
    };
    auto number = [](const unsigned char *at) {
        NUMBER n;
        std::memcpy(&n, at, sizeof n);
        return NumberText(n);
    };
    auto time = [](const unsigned char *at) {
        TIMEDATE t;
        std::memcpy(&t, at, sizeof t);
        return TimeText(t);
    };
    switch (type) {
        case TYPE_TEXT_LIST: {
            const WORD count = ListGetNumEntries(value, FALSE);
            if (ListGetSize(value, FALSE) != size)
                return "<bad list>";
            for (WORD i = 0; i < count; i++) {
                char *text = nullptr;
                WORD textLength = 0;
                if (ListGetText(value, FALSE, i, &text, &textLength) != NOERROR)
                    return "<bad entry>";
                entries.push_back("\"" + std::string(text, textLength) + "\"");
            }
            break;
        }
        case TYPE_NUMBER:
            if (size != 8)
                return "<bad number>";
            entries.push_back(number(value));
            break;
        case TYPE_TIME:
            if (size != 8)
                return "<bad time>";
            entries.push_back(time(value));
            break;
        case TYPE_NUMBER_RANGE:
            if (!fixedList(8, number))
                return "<bad numbers>";
            break;
        case TYPE_TIME_RANGE:
            if (!fixedList(8, time))
                return "<bad times>";
            break;
        default:
            return "<type " + std::to_string(type) + ">";
    }
    if (entries.empty())
        return "(none)";
    std::string out;
    for (size_t i = 0; i < entries.size(); i++)
        out += (i ? " : " : "") + entries[i];
    return out;
}

struct Evaluation {
    STATUS status = NOERROR;  // of the first call that failed
    std::string result;       // Render of the result
    WORD type = 0;
    DWORD length = 0;
    BOOL matches = FALSE, deleted = FALSE, modified = FALSE;
};

// Compiles, starts, evaluates on note (0: none) and stops; frees every
// handle it made.
inline Evaluation Evaluate(NOTEHANDLE note, const std::string &formula) {
    Evaluation e;
    FORMULAHANDLE compiled = NULLHANDLE;
    STATUS compileError = NOERROR;
    e.status =
        NSFFormulaCompile(nullptr, 0, formula.data(), static_cast<WORD>(formula.size()), &compiled,
                          nullptr, &compileError, nullptr, nullptr, nullptr, nullptr);
    if (e.status != NOERROR)
        return e;
    HCOMPUTE compute = NULLHANDLE;
    e.status = NSFComputeStart(0, OSLockObject(compiled), &compute);
    OSUnlockObject(compiled);
    if (e.status == NOERROR) {
        DHANDLE result = NULLHANDLE;
        e.status = NSFComputeEvaluate(compute, note, &result, &e.length, &e.matches, &e.deleted,
                                      &e.modified);
        if (e.status == NOERROR) {
            DWORD size = 0;
            EXPECT_EQ(OSMemGetSize(result, &size), NOERROR);
            EXPECT_EQ(size, e.length) << "the result's length is its memory object's size";
            const auto *bytes = static_cast<const unsigned char *>(OSLockObject(result));
            e.result = Render(bytes, e.length);
            std::memcpy(&e.type, bytes, 2);
            OSUnlockObject(result);
            EXPECT_EQ(OSMemFree(result), NOERROR);
        }
        EXPECT_EQ(NSFComputeStop(compute), NOERROR);
    }
    EXPECT_EQ(OSMemFree(compiled), NOERROR);
    return e;
}

// The result as text, or the status's name when a call failed.
inline std::string Result(NOTEHANDLE note, const std::string &formula) {
    Evaluation e = Evaluate(note, formula);
    if (e.status != NOERROR)
        return "status " + test_support::StatusText(e.status);
    return e.result;
}

struct CompileOutcome {
    STATUS returned = NOERROR;
    STATUS error = NOERROR;
    WORD line = 0, column = 0, offset = 0, length = 0;
};

// Compiles and frees; the error and its place.
inline CompileOutcome Compile(const std::string &formula) {
    CompileOutcome c;
    FORMULAHANDLE compiled = NULLHANDLE;
    c.returned =
        NSFFormulaCompile(nullptr, 0, formula.data(), static_cast<WORD>(formula.size()), &compiled,
                          nullptr, &c.error, &c.line, &c.column, &c.offset, &c.length);
    if (compiled != NULLHANDLE) {
        EXPECT_EQ(OSMemFree(compiled), NOERROR);
    }
    return c;
}

// Stores a text list item (NSFItemAppend) of the given entries.
inline STATUS SetTextList(NOTEHANDLE note, const char *name,
                          const std::vector<std::string> &entries) {
    NSFItemDelete(note, name, static_cast<WORD>(std::strlen(name)));
    std::vector<unsigned char> value(2 + 2 * entries.size());
    const WORD count = static_cast<WORD>(entries.size());
    std::memcpy(value.data(), &count, 2);
    for (size_t i = 0; i < entries.size(); i++) {
        const WORD length = static_cast<WORD>(entries[i].size());
        std::memcpy(value.data() + 2 + 2 * i, &length, 2);
        value.insert(value.end(), entries[i].begin(), entries[i].end());
    }
    return NSFItemAppend(note, ITEM_SUMMARY, name, static_cast<WORD>(std::strlen(name)),
                         TYPE_TEXT_LIST, value.data(), static_cast<DWORD>(value.size()));
}

inline STATUS SetText(NOTEHANDLE note, const char *name, const std::string &text) {
    return NSFItemSetText(note, name, text.data(), static_cast<WORD>(text.size()));
}

}  // namespace formula_test
