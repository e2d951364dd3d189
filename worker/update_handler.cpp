// The update: the request's settings into the profile, out-of-office
// switched on or off through the agent or the service, the profile saved,
// read back and answered with the state reply.
#include "iphcr.h"
#include "ip_exception.h"
#include "note_items.h"

const std::string &IPHCR::setHCR(const std::string &requestFilePath) {
    resultText = "OK";
    try {
        getHCRProfile(true);
        getHCRType();
        setHCRContent();
        UpdateStatusFields();
        if (note_items::Present(profileNote, "CalendarCategoryRefresh"))
            SetOptionField("CalendarCategoryRefresh", 2);
        // "UpdateSettings" after a switch off: "1" when it was off before.
        const WORD offSettings = wasDisabledBefore ? 1 : 3;
        if (enabled && agentType != 0) {
            if (EnableByAgent())
                SetOptionField("UpdateSettings", 3);
            SaveHCRProfile(true);
        } else if (enabled) {
            ValidateSettings();
            if (!EnableService()) {
                throw IPException("setHCR",
                                  "The server is not responding. Please try setting Out of "
                                  "Office again.");
            }
            SetOptionField("UpdateSettings", 3);
            SaveHCRProfile(true);
        } else if (agentType != 0) {
            if (DisableByAgent()) {
                SetOptionField("UpdateSettings", offSettings);
                SetSaveOptions(-1);
                SaveHCRProfile(true);
            }
        } else {
            DisableService();
            SetOptionField("UpdateSettings", offSettings);
            // A profile switched off stores the same whichever machinery
            // switched it: -1, as through the agent.
            SetSaveOptions(-1);
            SaveHCRProfile(true);
        }
        if (resultText == "OK") {
            LoadProfileSettings();
            resultText = getHCRInfo(requestFilePath);
        }
        return resultText;
    } catch (const IPException &) {
        FreeUnrecordedEntry();
        throw;
    }
}
