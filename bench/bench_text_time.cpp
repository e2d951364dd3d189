// Costs of the time, text, names and text-list calls of the stand-in.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <time.h>

#include <string>
#include <thread>
#include <vector>

#include "dname.h"
#include "os_mem.h"
#include "os_text.h"
#include "os_time.h"
#include "textlist.h"

namespace {

void UseZone(benchmark::State &state) {
    static const char *zones[] = {"UTC0", "EST5EDT,M3.2.0,M11.1.0"};
    setenv("TZ", zones[state.range(0)], 1);
    tzset();
    state.SetLabel(zones[state.range(0)]);
}

void LocalToGM(benchmark::State &state) {
    UseZone(state);
    TIME t{};
    t.year = 2024, t.month = 7, t.day = 1, t.hour = 12;
    OSCurrentTimeZone(&t.zone, &t.dst);
    for (auto _ : state) {
        TIME copy = t;
        benchmark::DoNotOptimize(TimeLocalToGM(&copy));
    }
}
BENCHMARK(LocalToGM)->Arg(0)->Arg(1);

void GMToLocal(benchmark::State &state) {
    UseZone(state);
    TIME t{};
    OSCurrentTIMEDATE(&t.GM);
    for (auto _ : state)
        benchmark::DoNotOptimize(TimeGMToLocal(&t));
}
BENCHMARK(GMToLocal)->Arg(0)->Arg(1);

std::string MixedText(size_t bytes) {
    const std::string piece =
        "Out of office \xC3\xA9t\xC3\xA9 \xE2\x82\xAC \xE6\x97\xA5 \xF0\x9F\x8C\xB4";
    std::string text;
    while (text.size() + piece.size() <= bytes)
        text += piece;
    return text;
}

void Utf8ToLmbcs(benchmark::State &state) {
    const std::string text = MixedText(static_cast<size_t>(state.range(0)));
    std::vector<char> out(3 * text.size() + 1);
    for (auto _ : state)
        benchmark::DoNotOptimize(OSTranslate(OS_TRANSLATE_UTF8_TO_LMBCS, text.data(),
                                             static_cast<WORD>(text.size()), out.data(),
                                             static_cast<WORD>(out.size())));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(Utf8ToLmbcs)->Arg(256)->Arg(21000);

// A name or a subject in ASCII alone.
void Utf8ToLmbcsAscii(benchmark::State &state) {
    const std::string text(static_cast<size_t>(state.range(0)), 'a');
    std::vector<char> out(3 * text.size() + 1);
    for (auto _ : state)
        benchmark::DoNotOptimize(OSTranslate(OS_TRANSLATE_UTF8_TO_LMBCS, text.data(),
                                             static_cast<WORD>(text.size()), out.data(),
                                             static_cast<WORD>(out.size())));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(Utf8ToLmbcsAscii)->Arg(64)->Arg(21000);

void LmbcsToUtf8(benchmark::State &state) {
    const std::string utf8 = MixedText(static_cast<size_t>(state.range(0)));
    std::vector<char> lmbcs(3 * utf8.size() + 1);
    WORD n = OSTranslate(OS_TRANSLATE_UTF8_TO_LMBCS, utf8.data(), static_cast<WORD>(utf8.size()),
                         lmbcs.data(), static_cast<WORD>(lmbcs.size()));
    std::vector<char> out(3 * n + 1);
    for (auto _ : state)
        benchmark::DoNotOptimize(OSTranslate(OS_TRANSLATE_LMBCS_TO_UTF8, lmbcs.data(), n,
                                             out.data(), static_cast<WORD>(out.size())));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * n));
}
BENCHMARK(LmbcsToUtf8)->Arg(256)->Arg(21000);

std::string JapaneseText(size_t bytes) {
    const std::string piece =
        "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xE3\x81\xAE\xE3\x83\x86\xE3\x82\xAD\xE3\x82\xB9"
        "\xE3\x83\x88\xE3\x80\x82";
    std::string text;
    while (text.size() + piece.size() <= bytes)
        text += piece;
    return text;
}

void Utf8ToLmbcsJapanese(benchmark::State &state) {
    const std::string text = JapaneseText(static_cast<size_t>(state.range(0)));
    std::vector<char> out(3 * text.size() + 1);
    for (auto _ : state)
        benchmark::DoNotOptimize(OSTranslate(OS_TRANSLATE_UTF8_TO_LMBCS, text.data(),
                                             static_cast<WORD>(text.size()), out.data(),
                                             static_cast<WORD>(out.size())));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(Utf8ToLmbcsJapanese)->Arg(256)->Arg(21000);

void LmbcsToUtf8Japanese(benchmark::State &state) {
    const std::string utf8 = JapaneseText(static_cast<size_t>(state.range(0)));
    std::vector<char> lmbcs(3 * utf8.size() + 1);
    WORD n = OSTranslate(OS_TRANSLATE_UTF8_TO_LMBCS, utf8.data(), static_cast<WORD>(utf8.size()),
                         lmbcs.data(), static_cast<WORD>(lmbcs.size()));
    std::vector<char> out(3 * n + 1);
    for (auto _ : state)
        benchmark::DoNotOptimize(OSTranslate(OS_TRANSLATE_LMBCS_TO_UTF8, lmbcs.data(), n,
                                             out.data(), static_cast<WORD>(out.size())));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * n));
}
BENCHMARK(LmbcsToUtf8Japanese)->Arg(256)->Arg(21000);

// A bounded output that holds half the result: the characters that fit
// whole are found.
void Utf8ToLmbcsHalfRoom(benchmark::State &state) {
    const std::string text = MixedText(static_cast<size_t>(state.range(0)));
    std::vector<char> out(text.size() / 2);
    for (auto _ : state)
        benchmark::DoNotOptimize(OSTranslate(OS_TRANSLATE_UTF8_TO_LMBCS, text.data(),
                                             static_cast<WORD>(text.size()), out.data(),
                                             static_cast<WORD>(out.size())));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(Utf8ToLmbcsHalfRoom)->Arg(256)->Arg(21000);

// A request thread's first conversion, against a thread that converts
// nothing: the cost of the thread's own converter.
void NewThreadConverts(benchmark::State &state) {
    const std::string text = MixedText(256);
    const bool convert = state.range(0) != 0;
    for (auto _ : state) {
        std::thread thread([&] {
            if (convert) {
                char out[1024];
                benchmark::DoNotOptimize(OSTranslate(OS_TRANSLATE_UTF8_TO_LMBCS, text.data(),
                                                     static_cast<WORD>(text.size()), out,
                                                     sizeof out));
            }
        });
        thread.join();
    }
    state.SetLabel(convert ? "one conversion" : "none");
}
BENCHMARK(NewThreadConverts)->Arg(0)->Arg(1)->UseRealTime();

void Abbreviate(benchmark::State &state) {
    char out[MAXUSERNAME];
    WORD length;
    for (auto _ : state)
        benchmark::DoNotOptimize(DNAbbreviate(
            0, nullptr, "CN=John Doe/OU=Sales/OU=East/O=Acme/C=US", out, sizeof out, &length));
}
BENCHMARK(Abbreviate);

void BuildList(benchmark::State &state) {
    const int entries = static_cast<int>(state.range(0));
    for (auto _ : state) {
        DHANDLE h;
        WORD size;
        ListAllocate(0, 0, TRUE, &h, nullptr, &size);
        for (int i = 0; i < entries; i++)
            ListAddEntry(h, TRUE, &size, static_cast<WORD>(i), "CN=Member/O=Acme", 16);
        OSMemFree(h);
    }
}
BENCHMARK(BuildList)->Arg(10)->Arg(1000);

}  // namespace

BENCHMARK_MAIN();
