#include "test_support.h"

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "os_error.h"
#include "os_runtime.h"
#include "standin/fault.h"

namespace test_support {

TempDir::TempDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "vanterra-test-XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = buffer.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

void WriteFile(const std::string &path, const std::string &content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool FileExists(const std::string &path) {
    return access(path.c_str(), F_OK) == 0;
}

void DataDirTest::SetUp() {
    std::string ini = "[Notes]\nDirectory=" + dir_.path() + "\nServerName=Vanterra Test/Acme\n";
    for (const std::string &line : IniLines())
        ini += line + "\n";
    WriteFile(iniPath(), ini);
    std::string arg = "=" + iniPath();
    char program[] = "unit-test";
    char *argv[] = {program, arg.data(), nullptr};
    ASSERT_NOERROR(NotesRuntimeStart(2, argv));
}

void DataDirTest::TearDown() {
    StandinFaultClear();
    NotesRuntimeEnd();
}

std::string StatusText(STATUS status) {
    char text[256];
    OSLoadString(nullptr, status, text, sizeof text);
    return text;
}

std::vector<std::string> TaskLogLines(const std::string &consoleLog) {
    std::vector<std::string> lines;
    if (!FileExists(consoleLog))
        return lines;
    const std::string log = ReadFile(consoleLog);
    size_t begin = 0;
    while (begin < log.size()) {
        size_t end = log.find('\n', begin);
        if (end == std::string::npos)
            end = log.size();
        const std::string line = log.substr(begin, end - begin);
        const size_t task = line.find("Halcyra:");
        if (task != std::string::npos)
            lines.push_back(line.substr(task));
        begin = end + 1;
    }
    return lines;
}

}  // namespace test_support
