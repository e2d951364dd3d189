#include "os_env.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "dname.h"
#include "fault.h"
#include "ini_file.h"
#include "os_error.h"
#include "runtime_state.h"

namespace {

std::optional<std::string> Get(const char *name) {
    if (name == nullptr || *name == '\0' || !notes_internal::RuntimeStarted())
        return std::nullopt;
    return notes_internal::IniGet(notes_internal::IniPath(), name);
}

long ParseLong(const std::string &text) {
    const char *p = text.c_str();
    while (*p == ' ' || *p == '\t')
        p++;
    return std::strtol(p, nullptr, 10);
}

}  // namespace

BOOL LNPUBLIC OSGetEnvironmentString(const char far *VariableName, char far *retValueBuffer,
                                     WORD BufferLength) {
    std::optional<std::string> value = Get(VariableName);
    if (retValueBuffer != nullptr && BufferLength > 0) {
        size_t length = value ? value->size() : 0;
        if (length > BufferLength - 1u)
            length = BufferLength - 1u;
        if (length)
            std::memcpy(retValueBuffer, value->data(), length);
        retValueBuffer[length] = '\0';
    }
    return value ? TRUE : FALSE;
}

int LNPUBLIC OSGetEnvironmentInt(const char far *VariableName) {
    std::optional<std::string> value = Get(VariableName);
    return value ? static_cast<int>(ParseLong(*value)) : 0;
}

long LNPUBLIC OSGetEnvironmentLong(const char far *VariableName) {
    std::optional<std::string> value = Get(VariableName);
    return value ? ParseLong(*value) : 0;
}

void LNPUBLIC OSSetEnvironmentVariable(const char far *VariableName, const char far *Value) {
    if (VariableName == nullptr || *VariableName == '\0' || !notes_internal::RuntimeStarted())
        return;
    if (notes_internal::FaultCheck("OSSetEnvironmentVariable"))
        return;
    const char *value = (Value != nullptr && *Value != '\0') ? Value : nullptr;
    notes_internal::IniSet(notes_internal::IniPath(), VariableName, value);
}

void LNPUBLIC OSSetEnvironmentInt(const char far *VariableName, int Value) {
    if (notes_internal::FaultCheck("OSSetEnvironmentInt"))
        return;
    OSSetEnvironmentVariable(VariableName, std::to_string(Value).c_str());
}

STATUS LNPUBLIC SECKFMGetUserName(char far *retUserName) {
    if (retUserName == nullptr)
        return ERR_BAD_PARAM;
    retUserName[0] = '\0';
    if (STATUS fault = notes_internal::FaultCheck("SECKFMGetUserName"))
        return fault;
    if (!notes_internal::RuntimeStarted())
        return ERR_NOT_INITIALIZED;
    std::optional<std::string> name = Get("ServerName");
    if (!name || name->empty())
        return ERR_NO_SERVER_NAME;
    WORD length = 0;
    return DNCanonicalize(0, nullptr, name->c_str(), retUserName, MAXUSERNAME, &length);
}
