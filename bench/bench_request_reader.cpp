// The request reader: time to read a typical request, and time and peak
// memory (above what the process held before) to refuse the hostile ones.
#include <benchmark/benchmark.h>

#include <dirent.h>
#include <malloc.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "ip_exception.h"
#include "iphcr.h"
#include "xml_toolkit.h"

namespace {

std::string WriteTemp(const std::string &name, const std::string &content) {
    std::string path = std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") +
                       "/vanterra-bench-" + name;
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    return path;
}

long StatusKiB(const char *key) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(key, 0) == 0)
            return std::stol(line.substr(line.find(':') + 1));
    }
    return -1;
}

bool Parse(const std::string &path) {
    IPHCR worker;
    try {
        return worker.xmlParser(path);
    } catch (const IPException &) {
        return false;
    }
}

// The peak memory that one read adds to what the process holds; freed
// memory that the allocator kept goes back first, so that it does not hide
// the peak.
long PeakExtraKiB(const std::string &path, bool *accepted) {
    malloc_trim(0);
    long before = StatusKiB("VmRSS:");
    std::ofstream("/proc/self/clear_refs") << "5";
    bool ok = Parse(path);
    if (accepted != nullptr)
        *accepted = ok;
    return StatusKiB("VmHWM:") - before;
}

// One pass to measure the peak memory that a read adds, then the timing.
// The library calls a benchmark more than once: the first pass counts.
void Read(benchmark::State &state, const std::string &path) {
    static std::map<std::string, std::pair<long, bool>> firstPass;
    auto pass = firstPass.find(path);
    if (pass == firstPass.end()) {
        bool accepted = false;
        const long peak = PeakExtraKiB(path, &accepted);
        pass = firstPass.emplace(path, std::make_pair(peak, accepted)).first;
    }
    state.counters["peak_extra_KiB"] = static_cast<double>(pass->second.first);
    state.counters["accepted"] = pass->second.second ? 1 : 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(Parse(path));
}

const char kTypical[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Request><Username MQName=\"MQ$Reply_7\" "
    "Action=\"2\" MailServer=\"Mail1/Acme\" MailBox=\"mail\\jdoe\" HCREnable=\"1\" "
    "Subject=\"Out of office\" Message=\"I am away.&#10;Back on Monday.\" "
    "StartTimeYear=\"2031\" StartTimeMonth=\"3\" StartTimeDay=\"5\" StartTimeHour=\"9\" "
    "StartTimeMin=\"0\" EndTimeYear=\"2031\" EndTimeMonth=\"3\" EndTimeDay=\"12\" "
    "EndTimeHour=\"17\" EndTimeMin=\"30\" ShowHours=\"1\">John Doe/Acme</Username></Request>";

void BM_TypicalRequest(benchmark::State &state) {
    Read(state, WriteTemp("typical.xml", kTypical));
}
BENCHMARK(BM_TypicalRequest)->Unit(benchmark::kMicrosecond);

// The same while another worker keeps the XML library running, as when
// requests overlap: the difference is the library's own start and stop.
void BM_TypicalRequestLibraryHeld(benchmark::State &state) {
    bool held = xml_toolkit::Start();
    Read(state, WriteTemp("typical.xml", kTypical));
    if (held)
        xml_toolkit::Stop();
}
BENCHMARK(BM_TypicalRequestLibraryHeld)->Unit(benchmark::kMicrosecond);

void BM_BillionLaughsRefused(benchmark::State &state) {
    std::string xml = "<!DOCTYPE r [<!ENTITY l0 \"lol\">";
    for (int i = 1; i <= 10; i++) {
        xml += "<!ENTITY l" + std::to_string(i) + " \"";
        for (int j = 0; j < 10; j++)
            xml += "&l" + std::to_string(i - 1) + ";";
        xml += "\">";
    }
    xml += "]><r><Username MQName=\"Q\">&l10;</Username></r>";
    Read(state, WriteTemp("laughs.xml", xml));
}
BENCHMARK(BM_BillionLaughsRefused)->Unit(benchmark::kMicrosecond);

// The largest expansion still allowed: one 200 KiB entity used 16 times.
void BM_LargestAllowedExpansion(benchmark::State &state) {
    std::string refs;
    for (int i = 0; i < 16; i++)
        refs += "&b;";
    Read(state, WriteTemp("largest.xml",
                          "<!DOCTYPE r [<!ENTITY b \"" + std::string(200 * 1024, 'x') +
                              "\">]><r><Username MQName=\"Q\">" + refs + "</Username></r>"));
}
BENCHMARK(BM_LargestAllowedExpansion)->Unit(benchmark::kMillisecond);

void BM_LongMessage(benchmark::State &state) {
    std::string message;
    while (message.size() < 150000)
        message += "line \xC3\xA9\xE4\xB8\xAD&#10;";
    Read(state, WriteTemp("long.xml", "<r><Username MQName=\"Q\" Message=\"" + message +
                                          "\">u</Username></r>"));
}
BENCHMARK(BM_LongMessage)->Unit(benchmark::kMillisecond);

// A request at the size limit of request files (256 KiB) whose elements each
// take a copy of an attribute default: the worst that a file may ask of the
// parser, refused by its memory budget.
std::string DefaultsCopiedInto(const std::string &declarations, const std::string &element) {
    std::string xml = "<!DOCTYPE r [" + declarations + "]><r><Username MQName=\"Q\">u</Username>";
    while (xml.size() + element.size() + 4 <= 256 * 1024)
        xml += element;
    return xml + "</r>";
}

void BM_DefaultOfAnEntityAtTheLimit(benchmark::State &state) {
    std::string refs;
    for (int i = 0; i < 15; i++)
        refs += "&e;";
    Read(state, WriteTemp("default-entity.xml",
                          DefaultsCopiedInto("<!ENTITY e \"" + std::string(12000, 'x') +
                                                 "\"><!ATTLIST n a CDATA \"" + refs + "\">",
                                             "<n/>")));
}
BENCHMARK(BM_DefaultOfAnEntityAtTheLimit)->Unit(benchmark::kMillisecond);

void BM_DefaultWrittenOutAtTheLimit(benchmark::State &state) {
    Read(state,
         WriteTemp("default-plain.xml",
                   DefaultsCopiedInto("<!ATTLIST n a CDATA \"" + std::string(100000, 'y') + "\">",
                                      "<n/>")));
}
BENCHMARK(BM_DefaultWrittenOutAtTheLimit)->Unit(benchmark::kMillisecond);

void BM_ManyDefaultsAtTheLimit(benchmark::State &state) {
    std::string many;
    for (int i = 0; i < 100; i++)
        many += " a" + std::to_string(i) + " CDATA \"" + std::string(1000, 'z') + "\"";
    Read(state,
         WriteTemp("default-many.xml", DefaultsCopiedInto("<!ATTLIST n" + many + ">", "<n/>")));
}
BENCHMARK(BM_ManyDefaultsAtTheLimit)->Unit(benchmark::kMillisecond);

// Half a surrogate pair at the end of a UTF-16 attribute value.
void BM_HalfSurrogatePairRefused(benchmark::State &state) {
    const std::u16string text = u"<r><Username MQName=\"Q\" Message=\"away" +
                                std::u16string(1, char16_t(0xD800)) + u"\">u</Username></r>";
    std::string bytes = "\xFF\xFE";
    for (char16_t unit : text) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>(unit >> 8);
    }
    Read(state, WriteTemp("half.xml", bytes));
}
BENCHMARK(BM_HalfSurrogatePairRefused)->Unit(benchmark::kMicrosecond);

// Every file of the hostile corpus that the tests replay: the largest peak
// of one, and the time for all of them.
void BM_HostileCorpus(benchmark::State &state) {
    std::string here = __FILE__;
    const std::string dir = here.substr(0, here.rfind('/')) + "/../tests/assets/requests";
    std::vector<std::string> files;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *entry = readdir(d)) {
            std::string name = entry->d_name;
            if (name.size() > 4 && name.compare(name.size() - 4, 4, ".xml") == 0)
                files.push_back(dir + "/" + name);
        }
        closedir(d);
    }
    if (files.empty()) {
        state.SkipWithError(("no hostile corpus in " + dir).c_str());
        return;
    }
    long worst = 0;
    for (const std::string &file : files)
        worst = std::max(worst, PeakExtraKiB(file, nullptr));
    state.counters["peak_extra_KiB"] = static_cast<double>(worst);
    state.counters["files"] = static_cast<double>(files.size());
    for (auto _ : state) {
        for (const std::string &file : files)
            benchmark::DoNotOptimize(Parse(file));
    }
}
BENCHMARK(BM_HostileCorpus)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
