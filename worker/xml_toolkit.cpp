#include "xml_toolkit.h"

#include <mutex>
#include <string>

#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/XMLException.hpp>
#include <xercesc/util/XMLString.hpp>

#include "notes_api.h"

namespace xml_toolkit {
namespace {

void Initialize() {
    xercesc::XMLPlatformUtils::Initialize("en_US", nullptr, nullptr, nullptr);
}

void Terminate() {
    xercesc::XMLPlatformUtils::Terminate();
}

std::mutex &Lock() {
    static std::mutex lock;
    return lock;
}

Calls &CurrentCalls() {
    static Calls calls = {Initialize, Terminate};
    return calls;
}

// The exception's message in the local code page. A library that failed to
// start may have no transcoding service to give it.
std::string MessageOf(const xercesc::XMLException &e) {
    if (xercesc::XMLPlatformUtils::fgTransService == nullptr || e.getMessage() == nullptr) {
        return std::string();
    }
    char *text = xercesc::XMLString::transcode(e.getMessage());
    std::string message = text ? text : "";
    xercesc::XMLString::release(&text);
    return message;
}

}  // namespace

bool Start() {
    std::lock_guard<std::mutex> hold(Lock());
    try {
        CurrentCalls().initialize();
        return true;
    } catch (const xercesc::XMLException &e) {
        AddInLogMessageText("Halcyra: %s(%s)", NOERROR, "XML toolkit initialization error",
                            MessageOf(e).c_str());
        return false;
    }
}

void Stop() {
    std::lock_guard<std::mutex> hold(Lock());
    try {
        CurrentCalls().terminate();
    } catch (const xercesc::XMLException &e) {
        AddInLogMessageText("Halcyra: %s(%s)", NOERROR, "XML toolkit terminate error",
                            MessageOf(e).c_str());
    }
}

Calls ReplaceCallsForTest(const Calls &calls) {
    std::lock_guard<std::mutex> hold(Lock());
    Calls before = CurrentCalls();
    CurrentCalls() = calls;
    return before;
}

}  // namespace xml_toolkit
