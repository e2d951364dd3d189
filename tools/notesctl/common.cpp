#include "common.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <iostream>

#include "notes_api.h"
#include "standin/runtime.h"

namespace notesctl {

std::string StatusText(STATUS status) {
    char text[256];
    OSLoadString(nullptr, ERR(status), text, sizeof text);
    char code[16];
    std::snprintf(code, sizeof code, "0x%04X", static_cast<unsigned>(ERR(status)));
    return std::string(text) + " (status " + code + ")";
}

void Note(const std::string &text) {
    std::cerr << "notesctl: " << text << std::endl;
}

Args::Args(const std::vector<std::string> &words, const std::vector<OptionSpec> &options) {
    bool optionsEnded = false;
    for (size_t i = 0; i < words.size(); i++) {
        const std::string &word = words[i];
        if (optionsEnded || word.size() < 2 || word[0] != '-') {
            positional_.push_back(word);
            continue;
        }
        if (word == "--") {
            optionsEnded = true;
            continue;
        }
        if (word == "--help" || word == "-h") {
            help_ = true;
            continue;
        }
        std::string name = word;
        std::string value;
        bool inlineValue = false;
        size_t equals = word.find('=');
        if (word.compare(0, 2, "--") == 0 && equals != std::string::npos) {
            name = word.substr(0, equals);
            value = word.substr(equals + 1);
            inlineValue = true;
        }
        const OptionSpec *spec = nullptr;
        for (const OptionSpec &candidate : options) {
            if (name == candidate.name)
                spec = &candidate;
        }
        if (spec == nullptr)
            throw UsageError("unknown option " + name);
        if (spec->takesValue) {
            if (!inlineValue) {
                if (i + 1 >= words.size())
                    throw UsageError("option " + name + " needs a value");
                value = words[++i];
            }
        } else if (inlineValue) {
            throw UsageError("option " + name + " takes no value");
        }
        if (values_.count(name) != 0 && !spec->repeatable)
            throw UsageError("option " + name + " given twice");
        values_[name] = value;
        all_[name].push_back(value);
    }
}

std::string Args::value(const std::string &option, const std::string &fallback) const {
    auto it = values_.find(option);
    return it == values_.end() ? fallback : it->second;
}

std::vector<std::string> Args::values(const std::string &option) const {
    auto it = all_.find(option);
    return it == all_.end() ? std::vector<std::string>() : it->second;
}

void Args::expect(const std::vector<const char *> &names, size_t required) const {
    if (positional_.size() < required) {
        throw UsageError(std::string("missing ") + names[positional_.size()]);
    }
    if (positional_.size() > names.size()) {
        throw UsageError("unexpected argument \"" + positional_[names.size()] + "\"");
    }
}

Runtime::Runtime(const std::string &dir) {
    if (dir.empty())
        throw UsageError("the data directory is empty");
    if (!IsDirectory(dir))
        throw Failure("no data directory " + dir + " (it does not exist)");
    std::string ini = dir + "/notes.ini";
    if (!IsRegularFile(ini)) {
        throw Failure(
            dir + " is not a data directory: it has no notes.ini (make one with notesctl init)");
    }
    std::string iniArgument = "=" + ini;
    char program[] = "notesctl";
    char *argv[] = {program, &iniArgument[0], nullptr};
    STATUS status = NotesRuntimeStart(2, argv);
    if (status != NOERROR) {
        throw Failure("cannot start the Notes runtime on " + dir + ": " + StatusText(status));
    }
    char resolved[PATH_MAX] = {};
    if (StandinDataDirectory(resolved, sizeof resolved)) {
        dataDir_ = resolved;
    } else {
        dataDir_ = AbsolutePath(dir);
    }
}

Runtime::~Runtime() {
    NotesRuntimeEnd();
}

std::string AbsolutePath(const std::string &path) {
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) != nullptr)
        return resolved;
    if (!path.empty() && path[0] == '/')
        return path;
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr)
        return path;
    return std::string(cwd) + "/" + path;
}

bool IsDirectory(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void DbHandle::Close() {
    if (handle_ != NULLHANDLE)
        NSFDbClose(handle_);
    handle_ = NULLHANDLE;
}

const std::string &DatabaseWord(const Args &args) {
    const std::string &path = args.positional()[1];
    if (path.empty())
        throw UsageError("the DATABASE path is empty");
    return path;
}

void OpenDatabase(const std::string &path, DbHandle &db) {
    STATUS status = NSFDbOpen(path.c_str(), &db.handle_);
    if (status != NOERROR)
        throw Failure("cannot open " + path + ": " + StatusText(status));
}

std::string DatabasePath(const std::string &dataDirectory, const std::string &path) {
    // A path of the platform's world may separate its folders with "\".
    std::string file = path;
    std::replace(file.begin(), file.end(), '\\', '/');
    return !file.empty() && file[0] == '/' ? file : dataDirectory + "/" + file;
}

void RemoveDatabaseFiles(const std::string &absolutePath) {
    for (const char *suffix : {"", "-wal", "-shm", "-journal"})
        unlink((absolutePath + suffix).c_str());
}

bool IsRegularFile(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string EscapeBytes(const std::string &bytes, EscapeStyle style) {
    const bool json = style == EscapeStyle::Json;
    std::string out;
    out.reserve(bytes.size());
    for (unsigned char c : bytes) {
        const char *named = nullptr;
        switch (c) {
            case '\\':
                named = "\\\\";
                break;
            case '\n':
                named = "\\n";
                break;
            case '\r':
                named = "\\r";
                break;
            case '\t':
                named = "\\t";
                break;
            case '"':
                named = json ? "\\\"" : nullptr;
                break;
            case '\b':
                named = json ? "\\b" : nullptr;
                break;
            case '\f':
                named = json ? "\\f" : nullptr;
                break;
            default:
                break;
        }
        if (named != nullptr) {
            out += named;
        } else if (c < 0x20 || c == 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, json ? "\\u%04x" : "\\x%02X", c);
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

}  // namespace notesctl
