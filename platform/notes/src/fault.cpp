#include "fault.h"

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
    if (text.empty())
        return false;
    char *end = nullptr;
    *out = std::strtoul(text.c_str(), &end, 0);
    return end && *end == '\0';
}

}  // namespace

STATUS FaultCheckSlow(const char *call, const char *path) {
    Faults &f = TheFaults();
    std::lock_guard<std::mutex> lock(f.mutex);
    for (Rule &rule : f.rules) {
        if (rule.call != call)
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
        return rule.status;
    }
    return 0;
}

void LoadFaultsFromEnvironment() {
    if (const char *rules = std::getenv("NOTES_STANDIN_FAULTS"))
        StandinFaultParse(rules);
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
    struct Parsed {
        std::string call, path;
        unsigned long status, skip, times;
        bool anyPath;
    };
    std::vector<Parsed> parsed;
    std::string text(rules);
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(';', start);
        if (end == std::string::npos)
            end = text.size();
        std::string item = text.substr(start, end - start);
        start = end + 1;
        if (item.empty())
            continue;
        size_t eq = item.find('=');
        if (eq == std::string::npos || eq == 0)
            return FALSE;
        Parsed p{item.substr(0, eq), "", 0, 0, 0, true};
        std::string rest = item.substr(eq + 1);
        // Split off the optional parts from the right: *TIMES, +SKIP, @PATH.
        size_t star = rest.rfind('*');
        if (star != std::string::npos) {
            if (!notes_internal::ParseNumber(rest.substr(star + 1), &p.times))
                return FALSE;
            rest.erase(star);
        }
        size_t plus = rest.rfind('+');
        if (plus != std::string::npos) {
            if (!notes_internal::ParseNumber(rest.substr(plus + 1), &p.skip))
                return FALSE;
            rest.erase(plus);
        }
        size_t at = rest.find('@');
        if (at != std::string::npos) {
            p.path = rest.substr(at + 1);
            p.anyPath = false;
            rest.erase(at);
        }
        if (!notes_internal::ParseNumber(rest, &p.status) || p.status > 0xFFFF)
            return FALSE;
        parsed.push_back(p);
    }
    for (const Parsed &p : parsed) {
        StandinFault fault{p.call.c_str(), static_cast<STATUS>(p.status),
                           static_cast<unsigned>(p.skip), static_cast<unsigned>(p.times),
                           p.anyPath ? nullptr : p.path.c_str()};
        StandinFaultInject(fault);
    }
    return TRUE;
}
