#include "fault.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "standin/fault.h"

namespace notes_internal {

std::atomic<int> g_faultRuleCount{0};

namespace {

// Every name that the library checks rules for. A rule for any other name
// would never fire, so a text that names one is refused. Keep in step with
// the FaultCheck calls (the fault test scans the sources for them).
const char *const kFaultPoints[] = {
    "ACLAddEntry",
    "ACLDeleteEntry",
    "ACLEnumEntries",
    "ACLGetPrivName",
    "ACLLookupAccess",
    "ACLSetPrivName",
    "ACLUpdateEntry",
    "AddInTaskResult",
    "AddInTaskStart",
    "AgentIsEnabled",
    "AgentOpen",
    "DNAbbreviate",
    "DNCanonicalize",
    "DNParse",
    "DXLCreateImporter",
    "DXLDeleteImporter",
    "DXLImport",
    "DXLSetImporterProperty",
    "DesignReplace",
    "ListAddEntry",
    "ListAllocate",
    "MQClose",
    "MQCreate",
    "MQGet",
    "MQGet.DieHoldingLock",
    "MQOpen",
    "MQPut",
    "MQPut.DieHoldingLock",
    "MQPutQuitMsg",
    "NAMEExpandNamesList",
    "NAMEGetTextItem2",
    "NAMELocateItem2",
    "NAMELocateNextMatch2",
    "NAMELocateNextName2",
    "NAMELookup2",
    "NIFCloseCollection",
    "NIFFindByName",
    "NIFFindDesignNoteExt",
    "NIFOpenCollection",
    "NIFReadEntries",
    "NSFComputeEvaluate",
    "NSFComputeStart",
    "NSFComputeStop",
    "NSFDbClose",
    "NSFDbCopyTemplateACL",
    "NSFDbCreate",
    "NSFDbCreateAndCopy",
    "NSFDbGetBuildVersion",
    "NSFDbGetSpecialNoteID",
    "NSFDbInfoGet",
    "NSFDbInfoModify",
    "NSFDbInfoParse",
    "NSFDbInfoSet",
    "NSFDbOpen",
    "NSFDbReadACL",
    "NSFDbReopen",
    "NSFDbStoreACL",
    "NSFFormulaCompile",
    "NSFItemAppend",
    "NSFItemAppendByBLOCKID",
    "NSFItemDelete",
    "NSFItemDeleteByBLOCKID",
    "NSFItemInfo",
    "NSFItemInfoNext",
    "NSFItemSetNumber",
    "NSFItemSetText",
    "NSFItemSetTime",
    "NSFNoteClose",
    "NSFNoteComputeWithForm",
    "NSFNoteContract",
    "NSFNoteCreate",
    "NSFNoteDelete",
    "NSFNoteOpen",
    "NSFNoteOpenByUNID",
    "NSFNoteSign",
    "NSFNoteUpdate",
    "NSFProfileGetField",
    "NSFProfileOpen",
    "NSFSearch",
    "NotesInitThread",
    "NotesProcessGate",
    "NotesRuntimeArgs",
    "NotesRuntimeStart",
    "ODSLength",
    "ODSReadMemory",
    "ODSWriteMemory",
    "OOOEndOperation",
    "OOOGetState",
    "OOOInit",
    "OOOStartOperation",
    "OOOTerm",
    "OSGetDataDirectory",
    "OSMemAlloc",
    "OSPathNetConstruct",
    "OSSetEnvironmentInt",
    "OSSetEnvironmentVariable",
    "SECKFMGetUserName",
    "SQLiteStep",
    "StandinDbCheck",
    "StandinDbCopyDesign",
    "StandinDbCreate",
    "StandinDbNoteIDs",
    "StandinDbSetBuildVersion",
    "StandinDxlExport",
    "StandinDxlImport",
    "StandinServerRegister",
    "StandinServerSetDown",
    "TimeDateAdjust",
    "TimeDateSplit",
};

struct Rule {
    std::string call;
    STATUS status;
    unsigned skip;
    unsigned times;
    bool anyPath;
    std::string path;
    unsigned fired = 0;
};

struct Faults {
    std::mutex mutex;
    std::vector<Rule> rules;
    std::map<std::string, unsigned> hits;
    std::string lastWildcardCall;
};

Faults &TheFaults() {
    static Faults *faults = new Faults;
    return *faults;
}

std::string NormalizePath(const char *path) {
    std::string out;
    for (const char *p = path; *p; ++p)
        out += (*p == '\\') ? '/' : *p;
    while (out.compare(0, 2, "./") == 0)
        out.erase(0, 2);
    return out;
}

bool ParseNumber(const std::string &text, unsigned long *out) {
    if (text.empty() || text[0] == '-' || text[0] == '+')
        return false;
    char *end = nullptr;
    errno = 0;
    *out = std::strtoul(text.c_str(), &end, 0);
    return errno == 0 && end && *end == '\0';
}

// A rule for "*" fails any public call of the library (the internal points
// "SQLiteStep" and "X.Y" are left out), so that a test can walk "fail the
// Nth call" over a whole request by its skip count.
bool WildcardCovers(const char *call) {
    return std::strcmp(call, "SQLiteStep") != 0 && std::strchr(call, '.') == nullptr;
}

bool KnownFaultPoint(const std::string &call) {
    if (call == "*")
        return true;
    for (const char *point : kFaultPoints) {
        if (call == point)
            return true;
    }
    return false;
}

std::string Trim(const std::string &text) {
    const char *space = " \t\r\n";
    size_t first = text.find_first_not_of(space);
    if (first == std::string::npos)
        return std::string();
    return text.substr(first, text.find_last_not_of(space) - first + 1);
}

struct ParsedRule {
    std::string call, path;
    unsigned long status = 0, skip = 0, times = 0;
    bool anyPath = true;
};

// One rule, "CALL=STATUS[@PATH][+SKIP][*TIMES]"; the reason when it is bad.
bool ParseRule(const std::string &item, ParsedRule *p, std::string *why) {
    size_t eq = item.find('=');
    if (eq == std::string::npos) {
        *why = "it has no \"=\" between the call and the status";
        return false;
    }
    p->call = Trim(item.substr(0, eq));
    if (p->call.empty()) {
        *why = "it names no call";
        return false;
    }
    if (!KnownFaultPoint(p->call)) {
        *why = "no call of the library has a fault point named \"" + p->call + "\"";
        return false;
    }
    std::string rest = Trim(item.substr(eq + 1));
    // Split off the optional parts from the right: *TIMES, +SKIP, @PATH.
    size_t star = rest.rfind('*');
    if (star != std::string::npos) {
        if (!ParseNumber(Trim(rest.substr(star + 1)), &p->times) || p->times > 0xFFFFFFFFul) {
            *why = "the count after \"*\" is not a number";
            return false;
        }
        rest.erase(star);
    }
    size_t plus = rest.rfind('+');
    if (plus != std::string::npos) {
        if (!ParseNumber(Trim(rest.substr(plus + 1)), &p->skip) || p->skip > 0xFFFFFFFFul) {
            *why = "the count after \"+\" is not a number";
            return false;
        }
        rest.erase(plus);
    }
    size_t at = rest.find('@');
    if (at != std::string::npos) {
        p->path = Trim(rest.substr(at + 1));
        p->anyPath = false;
        rest.erase(at);
        if (p->path.empty()) {
            *why = "the database after \"@\" is empty";
            return false;
        }
    }
    if (!ParseNumber(Trim(rest), &p->status) || p->status > 0xFFFF) {
        *why = "the status is not a number from 0 to 0xFFFF";
        return false;
    }
    return true;
}

// Every rule of a text, or the first bad one and why.
bool ParseRules(const char *rules, std::vector<ParsedRule> *out, std::string *bad,
                std::string *why) {
    std::string text(rules);
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(';', start);
        if (end == std::string::npos)
            end = text.size();
        std::string item = Trim(text.substr(start, end - start));
        start = end + 1;
        if (item.empty())
            continue;
        ParsedRule p;
        if (!ParseRule(item, &p, why)) {
            *bad = item;
            return false;
        }
        out->push_back(p);
    }
    return true;
}

void AddRules(const std::vector<ParsedRule> &parsed) {
    for (const ParsedRule &p : parsed) {
        StandinFault fault{p.call.c_str(), static_cast<STATUS>(p.status),
                           static_cast<unsigned>(p.skip), static_cast<unsigned>(p.times),
                           p.anyPath ? nullptr : p.path.c_str()};
        StandinFaultInject(fault);
    }
}

}  // namespace

STATUS FaultCheckSlow(const char *call, const char *path) {
    Faults &f = TheFaults();
    std::lock_guard<std::mutex> lock(f.mutex);
    for (Rule &rule : f.rules) {
        const bool wildcard = rule.call == "*";
        if (wildcard ? !WildcardCovers(call) : rule.call != call)
            continue;
        if (!rule.anyPath && (path == nullptr || NormalizePath(path) != rule.path))
            continue;
        if (rule.skip > 0) {
            rule.skip--;
            continue;
        }
        if (rule.times != 0 && rule.fired >= rule.times)
            continue;
        rule.fired++;
        f.hits[rule.call]++;
        if (wildcard) {
            f.hits[call]++;
            f.lastWildcardCall = call;
        }
        return rule.status;
    }
    return 0;
}

void LoadFaultsFromEnvironment() {
    // Once per process: a runtime started again must not add the same rules
    // a second time, which would double their counts.
    static std::once_flag once;
    std::call_once(once, [] {
        const char *rules = std::getenv("NOTES_STANDIN_FAULTS");
        if (rules == nullptr)
            return;
        std::vector<ParsedRule> parsed;
        std::string bad, why;
        if (!ParseRules(rules, &parsed, &bad, &why)) {
            // A run that was asked for faults must not go on without them and
            // pass for a run that tested them.
            std::fprintf(stderr,
                         "libnnotes: NOTES_STANDIN_FAULTS has a bad rule \"%s\": %s; the process "
                         "stops rather than run without the faults it was given\n",
                         bad.c_str(), why.c_str());
            std::fflush(stderr);
            std::abort();
        }
        AddRules(parsed);
    });
}

}  // namespace notes_internal

using notes_internal::TheFaults;

void StandinFaultInject(const StandinFault &fault) {
    if (fault.call == nullptr)
        return;
    notes_internal::Rule rule{fault.call,
                              fault.status,
                              fault.skip,
                              fault.times,
                              fault.path == nullptr,
                              fault.path ? notes_internal::NormalizePath(fault.path) : ""};
    auto &f = TheFaults();
    std::lock_guard<std::mutex> lock(f.mutex);
    f.rules.push_back(rule);
    notes_internal::g_faultRuleCount.store(static_cast<int>(f.rules.size()));
}

void StandinFaultClear(void) {
    auto &f = TheFaults();
    std::lock_guard<std::mutex> lock(f.mutex);
    f.rules.clear();
    f.hits.clear();
    f.lastWildcardCall.clear();
    notes_internal::g_faultRuleCount.store(0);
}

unsigned StandinFaultHits(const char *call) {
    auto &f = TheFaults();
    std::lock_guard<std::mutex> lock(f.mutex);
    auto it = f.hits.find(call ? call : "");
    return it == f.hits.end() ? 0 : it->second;
}

BOOL StandinFaultParse(const char *rules) {
    if (rules == nullptr)
        return FALSE;
    std::vector<notes_internal::ParsedRule> parsed;
    std::string bad, why;
    if (!notes_internal::ParseRules(rules, &parsed, &bad, &why))
        return FALSE;
    notes_internal::AddRules(parsed);
    return TRUE;
}

size_t StandinFaultLastWildcardCall(char *name, size_t capacity) {
    auto &f = TheFaults();
    std::lock_guard<std::mutex> lock(f.mutex);
    if (name != nullptr && capacity > 0) {
        size_t n = std::min(capacity - 1, f.lastWildcardCall.size());
        std::memcpy(name, f.lastWildcardCall.data(), n);
        name[n] = '\0';
    }
    return f.lastWildcardCall.size();
}

size_t StandinFaultPoints(const char **names, size_t capacity) {
    const size_t count =
        sizeof notes_internal::kFaultPoints / sizeof notes_internal::kFaultPoints[0];
    for (size_t i = 0; names != nullptr && i < count && i < capacity; i++)
        names[i] = notes_internal::kFaultPoints[i];
    return count;
}
