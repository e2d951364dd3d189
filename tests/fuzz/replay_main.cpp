// Replays fuzz inputs without libFuzzer, in any build: each file given, and
// each file in each folder given, goes once through the fuzz target. Fails
// when there is nothing to replay, and when one input makes the process's
// memory peak more than the reader's bound above what it held before.
#include <dirent.h>
#include <malloc.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer's redzones and its quarantine of freed blocks come on top.
const long kPeakAboveBeforeKiB = 256 * 1024;
#else
const long kPeakAboveBeforeKiB = 64 * 1024;
#endif

long StatusKiB(const char *key) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::string prefix = std::string(key) + ":";
    while (std::getline(in, line)) {
        if (line.compare(0, prefix.size(), prefix) == 0)
            return std::stol(line.substr(prefix.size()));
    }
    return -1;
}

void Collect(const std::string &path, std::vector<std::string> &files) {
    struct stat status;
    if (stat(path.c_str(), &status) != 0)
        return;
    if (S_ISREG(status.st_mode)) {
        files.push_back(path);
        return;
    }
    if (!S_ISDIR(status.st_mode))
        return;
    std::vector<std::string> inside;
    if (DIR *dir = opendir(path.c_str())) {
        while (dirent *entry = readdir(dir)) {
            if (entry->d_name[0] != '.')
                inside.push_back(path + "/" + entry->d_name);
        }
        closedir(dir);
    }
    std::sort(inside.begin(), inside.end());
    for (const std::string &p : inside)
        Collect(p, files);
}

}  // namespace

int main(int argc, char **argv) {
    std::vector<std::string> files;
    for (int i = 1; i < argc; i++) {
        const size_t before = files.size();
        Collect(argv[i], files);
        if (files.size() == before) {
            std::fprintf(stderr, "replay: nothing to replay in %s\n", argv[i]);
            return 1;
        }
    }
    if (files.empty()) {
        std::fprintf(stderr, "usage: %s FILE-OR-FOLDER...\n", argv[0]);
        return 64;
    }
    LLVMFuzzerInitialize(&argc, &argv);
    int failures = 0;
    long worstKiB = 0;
    std::string worst;
    for (const std::string &file : files) {
        std::ifstream in(file, std::ios::binary);
        const std::string data((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
        if (!in.eof() && in.fail()) {
            std::fprintf(stderr, "replay: cannot read %s\n", file.c_str());
            return 1;
        }
        malloc_trim(0);  // what the allocator kept would hide the peak
        const long before = StatusKiB("VmRSS");
        std::ofstream("/proc/self/clear_refs") << "5";  // the peak starts anew
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(data.data()), data.size());
        const long peak = StatusKiB("VmHWM") - before;
        if (before < 0 || peak >= kPeakAboveBeforeKiB) {
            std::fprintf(stderr, "replay: %s took %ld KiB above the %ld before it\n", file.c_str(),
                         peak, before);
            failures++;
        }
        if (peak > worstKiB) {
            worstKiB = peak;
            worst = file;
        }
    }
    std::printf("replayed %zu inputs; the largest peak, %ld KiB above what came before, by %s\n",
                files.size(), worstKiB, worst.c_str());
    return failures == 0 ? 0 : 1;
}
