#include "data_dir.h"

namespace e2e {

RunResult Notesctl(const std::vector<std::string> &args, double timeoutSeconds) {
    std::vector<std::string> argv = {NOTESCTL_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    return Run(argv, timeoutSeconds);
}

std::vector<std::string> Lines(const std::string &text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

RuntimeOn::RuntimeOn(const std::string &dir) : ini_("=" + dir + "/notes.ini") {
    char program[] = "e2e-test";
    char *argv[] = {program, &ini_[0], nullptr};
    status_ = NotesRuntimeStart(2, argv);
}

RuntimeOn::~RuntimeOn() {
    if (status_ == NOERROR)
        NotesRuntimeEnd();
}

OwnQueue::OwnQueue(const std::string &name) {
    status = MQCreate(name.c_str(), 0, 0);
    if (status == NOERROR)
        status = MQOpen(name.c_str(), 0, &handle);
}

OwnQueue::~OwnQueue() {
    if (status == NOERROR)
        MQClose(handle, 0);
}

void DataDirFixture::SetUp() {
    dir_ = tmp_.file("data");
    RunResult r = Notesctl({"init", dir_});
    ASSERT_EQ(r.exitCode, 0) << r.err;
}

}  // namespace e2e
