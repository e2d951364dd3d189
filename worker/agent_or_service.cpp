// Whether the open mail file runs its out-of-office through its own agent
// or through the server's service: the platform's out-of-office API decides
// where it may be asked, else the profile's "TaskType".
#include "iphcr.h"
#include "ip_exception.h"
#include "win32.h"

namespace {

constexpr WORD kItemBuffer = 1024;

// Whether the note has the item and its text begins with c.
bool ItemBeginsWith(NOTEHANDLE note, const char *item, char c) {
    if (NSFItemInfo(note, item, static_cast<WORD>(std::char_traits<char>::length(item)), nullptr,
                    nullptr, nullptr, nullptr) != NOERROR) {
        return false;
    }
    char text[kItemBuffer] = "";
    WORD length = NSFItemGetText(note, item, text, sizeof text);
    return length > 0 && text[0] == c;
}

// The five out-of-office calls, resolved by name from the module that
// holds them, for the length of one decision.
struct OooCalls {
    OOOINITPROC init = nullptr;
    OOOTERMPROC term = nullptr;
    OOOSTARTOPERATIONPROC start = nullptr;
    OOOENDOPERATIONPROC end = nullptr;
    OOOGETSTATEPROC getState = nullptr;

    bool Resolve(HMODULE module) {
        init = reinterpret_cast<OOOINITPROC>(GetProcAddress(module, "OOOInit"));
        term = reinterpret_cast<OOOTERMPROC>(GetProcAddress(module, "OOOTerm"));
        start =
            reinterpret_cast<OOOSTARTOPERATIONPROC>(GetProcAddress(module, "OOOStartOperation"));
        end = reinterpret_cast<OOOENDOPERATIONPROC>(GetProcAddress(module, "OOOEndOperation"));
        getState = reinterpret_cast<OOOGETSTATEPROC>(GetProcAddress(module, "OOOGetState"));
        return init && term && start && end && getState;
    }
};

}  // namespace

int32_t IPHCR::getHCRType() {
    agentType = 1;
    STATUS status = NOERROR;
    if (OSGetEnvironmentInt("HCRUseOOOAPI") != 1)
        useOooApi = 0;

    bool useTaskType = true;
    if (useOooApi != 0 && ItemBeginsWith(profileNote, "TaskState", '0')) {
        HMODULE module = LoadLibraryA("nnotes");
        if (module != nullptr) {
            OooCalls calls;
            if (calls.Resolve(module)) {
                status = calls.init();
                if (status == NOERROR) {
                    DHANDLE operation = NULLHANDLE;
                    OOOCONTEXT *context = nullptr;
                    status = calls.start(userName.c_str(), mailServer.c_str(), TRUE, mailDb,
                                         &operation, &context);
                    if (status == NOERROR) {
                        WORD version = 0;
                        WORD state = 0;
                        status = calls.getState(context, &version, &state);
                        if (status == NOERROR) {
                            agentType = version == OOO_VERSION_AGENT ? 1 : 0;
                            useTaskType = false;
                        }
                        calls.end(operation, context);
                    }
                    calls.term();
                }
            }
            FreeLibrary(module);
        }
    }
    if (useTaskType && ItemBeginsWith(profileNote, "TaskType", '2'))
        agentType = 0;
    if (status != NOERROR) {
        SetErrorFromStatus(status);
        throw IPException("getHCRType", resultText);
    }
    return agentType;
}
