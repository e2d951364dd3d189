// Costs of the formula calls: compiling, starting, evaluating on a profile
// note, the profile loader's whole round per formula, and computing a note
// with its form (found by name among other notes).
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "nsf_db.h"
#include "nsf_formula.h"
#include "nsf_note.h"
#include "os_mem.h"
#include "os_runtime.h"
#include "os_time.h"
#include "textlist.h"

namespace {

// The formulas with which the profile loader learns its templates.
const char *const kProfileFormulas[] = {
    "@Text(FirstDayOut;\"T1\")",     "@Text(FirstDayBack;\"T1\")",
    "@Text(@Date(dateFirstDayOut))", "@Text(@Date(dateFirstDayBack))",
    "@Text(dateFirstDayOut;\"S0\")", "@Text(dateFirstDayBack;\"S0\")",
};

DBHANDLE g_db = NULLHANDLE;
NOTEHANDLE g_profile = NULLHANDLE;

void Check(STATUS status, const char *what) {
    if (status != NOERROR) {
        std::fprintf(stderr, "bench_formula: %s failed with 0x%04X\n", what, status);
        std::exit(1);
    }
}

void SetText(NOTEHANDLE note, const char *name, const std::string &text) {
    Check(NSFItemSetText(note, name, text.data(), static_cast<WORD>(text.size())), name);
}

void SetList(NOTEHANDLE note, const char *name, const std::vector<std::string> &entries) {
    std::vector<unsigned char> value(2 + 2 * entries.size());
    const WORD count = static_cast<WORD>(entries.size());
    std::memcpy(value.data(), &count, 2);
    for (size_t i = 0; i < entries.size(); i++) {
        const WORD length = static_cast<WORD>(entries[i].size());
        std::memcpy(value.data() + 2 + 2 * i, &length, 2);
        value.insert(value.end(), entries[i].begin(), entries[i].end());
    }
    Check(NSFItemAppend(note, ITEM_SUMMARY, name, static_cast<WORD>(std::strlen(name)),
                        TYPE_TEXT_LIST, value.data(), static_cast<DWORD>(value.size())),
          name);
}

FORMULAHANDLE CompileOrDie(const char *text) {
    FORMULAHANDLE compiled = NULLHANDLE;
    Check(NSFFormulaCompile(nullptr, 0, text, static_cast<WORD>(std::strlen(text)), &compiled,
                            nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
          "NSFFormulaCompile");
    return compiled;
}

void Compile(benchmark::State &state) {
    const char *text = kProfileFormulas[state.range(0)];
    state.SetLabel(text);
    for (auto _ : state)
        OSMemFree(CompileOrDie(text));
}
BENCHMARK(Compile)->DenseRange(0, 5);

// The same with a text never seen before (a remark keeps it new), so that
// the parser runs every time.
void CompileNew(benchmark::State &state) {
    const std::string text = kProfileFormulas[state.range(0)];
    state.SetLabel(text);
    int salt = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const std::string salted = text + "; REM \"" + std::to_string(salt++) + "\"";
        state.ResumeTiming();
        OSMemFree(CompileOrDie(salted.c_str()));
    }
}
BENCHMARK(CompileNew)->DenseRange(0, 5);

// A long formula: the cache of parsed programs does not help a compile
// with a new text, so this is the parser's own speed.
void CompileWide(benchmark::State &state) {
    std::string text = "x := 1";
    for (int i = 0; i < 2000; i++)
        text += " + " + std::to_string(i);
    text += "; @Text(x)";
    int salt = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const std::string salted = text + " + \"" + std::to_string(salt++) + "\"";
        state.ResumeTiming();
        OSMemFree(CompileOrDie(salted.c_str()));
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}
BENCHMARK(CompileWide);

void StartStop(benchmark::State &state) {
    FORMULAHANDLE compiled = CompileOrDie(kProfileFormulas[2]);
    const void *bytes = OSLockObject(compiled);
    for (auto _ : state) {
        HCOMPUTE compute = NULLHANDLE;
        Check(NSFComputeStart(0, bytes, &compute), "NSFComputeStart");
        NSFComputeStop(compute);
    }
    OSUnlockObject(compiled);
    OSMemFree(compiled);
}
BENCHMARK(StartStop);

void Evaluate(benchmark::State &state) {
    const char *text = kProfileFormulas[state.range(0)];
    state.SetLabel(text);
    FORMULAHANDLE compiled = CompileOrDie(text);
    HCOMPUTE compute = NULLHANDLE;
    Check(NSFComputeStart(0, OSLockObject(compiled), &compute), "NSFComputeStart");
    OSUnlockObject(compiled);
    for (auto _ : state) {
        DHANDLE result = NULLHANDLE;
        Check(NSFComputeEvaluate(compute, g_profile, &result, nullptr, nullptr, nullptr, nullptr),
              "NSFComputeEvaluate");
        OSMemFree(result);
    }
    NSFComputeStop(compute);
    OSMemFree(compiled);
}
BENCHMARK(Evaluate)->DenseRange(0, 5);

// What the profile loader does for one formula: compile, lock, start,
// evaluate, read the text list, free it, stop, unlock and free.
void ProfileRound(benchmark::State &state) {
    const char *text = kProfileFormulas[state.range(0)];
    state.SetLabel(text);
    std::string out;
    for (auto _ : state) {
        FORMULAHANDLE compiled = CompileOrDie(text);
        HCOMPUTE compute = NULLHANDLE;
        Check(NSFComputeStart(0, OSLockObject(compiled), &compute), "NSFComputeStart");
        DHANDLE result = NULLHANDLE;
        BOOL matches = FALSE;
        Check(NSFComputeEvaluate(compute, g_profile, &result, nullptr, &matches, nullptr, nullptr),
              "NSFComputeEvaluate");
        const char *p = static_cast<const char *>(OSLockObject(result));
        for (WORD i = 0; i < ListGetNumEntries(p + 2, FALSE); i++) {
            char *entry = nullptr;
            WORD length = 0;
            if (ListGetText(p + 2, FALSE, i, &entry, &length) == NOERROR)
                out.assign(entry, length);
        }
        OSUnlockObject(result);
        OSMemFree(result);
        NSFComputeStop(compute);
        OSUnlockObject(compiled);
        OSMemFree(compiled);
    }
    benchmark::DoNotOptimize(out);
}
BENCHMARK(ProfileRound)->DenseRange(0, 5);

// Computing the profile with its form, the form found by name in a
// database of range(0) other documents.
void ComputeWithForm(benchmark::State &state) {
    const std::string path = "bench/cwf" + std::to_string(state.range(0)) + ".nsf";
    DBHANDLE db = NULLHANDLE;
    Check(NSFDbCreate(path.c_str(), DBCLASS_BY_EXTENSION, TRUE), "NSFDbCreate");
    Check(NSFDbOpen(path.c_str(), &db), "NSFDbOpen");
    for (int i = 0; i < state.range(0); i++) {
        NOTEHANDLE doc = NULLHANDLE;
        Check(NSFNoteCreate(db, &doc), "NSFNoteCreate");
        SetText(doc, "Subject", "document " + std::to_string(i));
        Check(NSFNoteUpdate(doc, 0), "NSFNoteUpdate");
        NSFNoteClose(doc);
    }
    NOTEHANDLE form = NULLHANDLE;
    Check(NSFNoteCreate(db, &form), "NSFNoteCreate");
    const WORD formClass = NOTE_CLASS_FORM;
    NSFNoteSetInfo(form, _NOTE_CLASS, &formClass);
    SetText(form, "$TITLE", "(Out Of Office Profile)|OOProfile");
    SetList(form, "$Fields", {"dateFirstDayOut", "dateFirstDayBack", "DaysOut", "GeneralSubject"});
    SetList(form, "$FieldKinds", {"computed", "computed", "computed", "default"});
    SetText(form, "$FieldFormula_dateFirstDayOut", "FirstDayOut");
    SetText(form, "$FieldFormula_dateFirstDayBack", "FirstDayBack");
    SetText(form, "$FieldFormula_DaysOut",
            "\"I am out of the office from \" + @Text(@Date(dateFirstDayOut)) + \" until \" + "
            "@Text(@Date(dateFirstDayBack)) + \".\"");
    SetText(form, "$FieldFormula_GeneralSubject",
            "@Name([CN]; $Owner) + \" is out of the office\"");
    Check(NSFNoteUpdate(form, 0), "NSFNoteUpdate");
    NSFNoteClose(form);

    NOTEHANDLE profile = NULLHANDLE;
    Check(NSFNoteCreate(db, &profile), "NSFNoteCreate");
    SetText(profile, "Form", "(Out Of Office Profile)");
    SetText(profile, "$Owner", "CN=John Doe/O=Acme");
    TIMEDATE t1, t2;
    OSCurrentTIMEDATE(&t1);
    t2 = t1;
    TimeDateAdjust(&t2, 0, 0, 0, 1, 0, 0);
    Check(NSFItemSetTime(profile, "FirstDayOut", &t1), "NSFItemSetTime");
    Check(NSFItemSetTime(profile, "FirstDayBack", &t2), "NSFItemSetTime");
    for (auto _ : state)
        Check(NSFNoteComputeWithForm(profile, NULLHANDLE, 0, nullptr, nullptr),
              "NSFNoteComputeWithForm");
    NSFNoteClose(profile);
    NSFDbClose(db);
}
BENCHMARK(ComputeWithForm)->Arg(0)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    char dir[] = "/tmp/bench-formula-XXXXXX";
    if (mkdtemp(dir) == nullptr)
        return 1;
    const std::string ini = std::string(dir) + "/notes.ini";
    std::ofstream(ini) << "[Notes]\nDirectory=" << dir << "\nServerName=Bench/Acme\n";
    std::string arg = "=" + ini;
    char program[] = "bench_formula";
    char *args[] = {program, arg.data(), nullptr};
    Check(NotesRuntimeStart(2, args), "NotesRuntimeStart");
    Check(NSFDbCreate("profile.nsf", DBCLASS_BY_EXTENSION, FALSE), "NSFDbCreate");
    Check(NSFDbOpen("profile.nsf", &g_db), "NSFDbOpen");
    Check(NSFNoteCreate(g_db, &g_profile), "NSFNoteCreate");
    TIMEDATE t1, t2;
    OSCurrentTIMEDATE(&t1);
    t2 = t1;
    TimeDateAdjust(&t2, 0, 0, 0, 1, 0, 0);
    for (const char *name : {"FirstDayOut", "dateFirstDayOut"})
        Check(NSFItemSetTime(g_profile, name, &t1), name);
    for (const char *name : {"FirstDayBack", "dateFirstDayBack"})
        Check(NSFItemSetTime(g_profile, name, &t2), name);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    NSFNoteClose(g_profile);
    NSFDbClose(g_db);
    NotesRuntimeEnd();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return 0;
}
