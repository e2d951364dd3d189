#include "ini_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <vector>

namespace notes_internal {
namespace {

bool KeyEquals(const std::string &a, const std::string &b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); i++) {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z')
            x = static_cast<unsigned char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<unsigned char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

// The key of a "KEY=VALUE" line, or "" for any other line.
std::string LineKey(const std::string &line, std::string *value) {
    size_t eq = line.find('=');
    if (eq == std::string::npos)
        return "";
    std::string key = TrimBlanks(line.substr(0, eq));
    if (key.empty() || key[0] == '[' || key[0] == ';')
        return "";
    if (value) {
        *value = line.substr(eq + 1);
        if (!value->empty() && value->back() == '\r')
            value->pop_back();
    }
    return key;
}

bool ReadLines(const std::string &path, std::vector<std::string> *lines) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::string line;
    while (std::getline(in, line))
        lines->push_back(line);
    return !in.bad();
}

// Parsed copy of the last file read, reused while the file is unchanged.
struct Cache {
    std::mutex mutex;
    std::string path;
    struct stat st {};
    std::vector<std::string> lines;
};

Cache &TheCache() {
    static Cache *cache = new Cache;
    return *cache;
}

bool SameFile(const struct stat &a, const struct stat &b) {
    return a.st_ino == b.st_ino && a.st_dev == b.st_dev && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

}  // namespace

std::string TrimBlanks(const std::string &text) {
    size_t b = text.find_first_not_of(" \t\r");
    if (b == std::string::npos)
        return "";
    size_t e = text.find_last_not_of(" \t\r");
    return text.substr(b, e - b + 1);
}

bool IniReadable(const std::string &path) {
    return access(path.c_str(), R_OK) == 0;
}

std::optional<std::string> IniGet(const std::string &path, const std::string &key) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0)
        return std::nullopt;
    Cache &cache = TheCache();
    std::lock_guard<std::mutex> lock(cache.mutex);
    if (cache.path != path || !SameFile(cache.st, st)) {
        std::vector<std::string> lines;
        if (!ReadLines(path, &lines))
            return std::nullopt;
        cache.path = path;
        cache.st = st;
        cache.lines = std::move(lines);
    }
    for (const std::string &line : cache.lines) {
        std::string value;
        if (KeyEquals(LineKey(line, &value), key))
            return value;
    }
    return std::nullopt;
}

bool IniSet(const std::string &path, const std::string &key, const char *value) {
    std::string lockPath = path + ".lock";
    int lockFd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lockFd < 0)
        return false;
    if (flock(lockFd, LOCK_EX) != 0) {
        close(lockFd);
        return false;
    }
    std::vector<std::string> lines;
    ReadLines(path, &lines);  // an absent file starts empty
    bool found = false;
    std::vector<std::string> out;
    for (const std::string &line : lines) {
        if (KeyEquals(LineKey(line, nullptr), key)) {
            if (!found && value != nullptr)
                out.push_back(key + "=" + value);
            found = true;
            continue;
        }
        out.push_back(line);
    }
    if (!found && value != nullptr)
        out.push_back(key + "=" + value);

    std::string temp = path + ".tmp" + std::to_string(getpid());
    bool ok = false;
    if (FILE *f = std::fopen(temp.c_str(), "wb")) {
        for (const std::string &line : out)
            std::fprintf(f, "%s\n", line.c_str());
        ok = std::fflush(f) == 0 && fsync(fileno(f)) == 0;
        ok = (std::fclose(f) == 0) && ok;
        if (ok)
            ok = std::rename(temp.c_str(), path.c_str()) == 0;
        if (!ok)
            std::remove(temp.c_str());
    }
    flock(lockFd, LOCK_UN);
    close(lockFd);
    return ok;
}

}  // namespace notes_internal
