// The leave and return dates of the profile checked before out-of-office is
// switched on; whole-day periods start at midnight.
#include "iphcr.h"
#include "ip_exception.h"

namespace {

const char kContext[] = "ValidateSettings";
const char kNotInFuture[] = "The return date must be in the future.";
const char kNotAfterLeave[] = "Your return date must be later than the date on which you leave.";
const char kUnderOneHour[] =
    "Your Out of Office duration must be at least one hour.  Please check your start and end "
    "times.";

// 00:00 as a time of day without a date.
const TIMEDATE kMidnightTimeOnly = {{0, ANYDAY}};

// The zone and daylight bits of word 1, and the date beneath them.
constexpr DWORD kZoneBits = 0xFF000000u;

}  // namespace

int32_t IPHCR::GetUITimes() {
    if (profileNote == NULLHANDLE)
        return 0;
    const struct {
        const char *item;
        TIMEDATE &field;
        const char *missing;
    } items[] = {{"DateFirstDayOut", uiFirstDayOut, "No DateFirstDayOut Item"},
                 {"DateFirstDayBack", uiFirstDayBack, "No DateFirstDayBack Item"},
                 {"StartTime", uiStartTime, "No StartTime Item"},
                 {"EndTime", uiEndTime, "No EndTime Item"}};
    for (const auto &i : items) {
        if (!NSFItemGetTime(profileNote, i.item, &i.field))
            throw IPException("GetUITimes", i.missing);
    }
    return 1;
}

// The start of the source's local date on the server's clock: the local
// midnight of that date, or, where the clocks skip midnight, the first time
// that the date has. The day is not shortened by subtracting the hours as
// elapsed time, which lands an hour off on a day whose clocks change before
// the source's time. The hundredths of the source stay.
void IPHCR::TruncateToDayStart(const TIMEDATE &source, TIMEDATE &target) {
    TIMEDATE server;
    OSCurrentTIMEDATE(&server);
    TIME local = TIME();
    local.GM = source;
    // The same moment, seen in the server's zone.
    local.GM.Innards[1] = (source.Innards[1] & ~kZoneBits) | (server.Innards[1] & kZoneBits);
    target = source;
    if (source.Innards[0] == ALLDAY || source.Innards[1] == ANYDAY || TimeGMToLocal(&local))
        return;
    local.hour = 0;
    local.minute = 0;
    local.second = 0;
    if (!TimeLocalToGM(&local))
        target = local.GM;
}

int32_t IPHCR::ValidateSettings() {
    TIMEDATE now;
    OSCurrentTIMEDATE(&now);
    GetUITimes();
    if (TimeDateDifference(&uiFirstDayBack, &now) < 0)
        throw IPException(kContext, kNotInFuture);
    if (TimeDateDifference(&uiFirstDayBack, &uiFirstDayOut) < 0)
        throw IPException(kContext, kNotAfterLeave);

    if (agentType != 0) {
        TruncateToDayStart(uiFirstDayOut, uiFirstDayOut);
        TruncateToDayStart(uiFirstDayBack, uiFirstDayBack);
        if (TimeDateDifference(&uiFirstDayBack, &uiFirstDayOut) == 0)
            throw IPException(kContext, kNotAfterLeave);
        // The absence starts with its first day unless it ends today.
        if (TimeDateDifference(&uiFirstDayBack, &now) > 0) {
            if (STATUS status = NSFItemSetTime(profileNote, "StartTime", &kMidnightTimeOnly))
                ThrowStatus(kContext, status);
        }
    } else if (showHours != "1") {
        TruncateToDayStart(uiFirstDayOut, uiFirstDayOut);
        TruncateToDayStart(uiFirstDayBack, uiFirstDayBack);
        if (TimeDateDifference(&uiFirstDayBack, &uiFirstDayOut) == 0)
            throw IPException(kContext, kNotAfterLeave);
        for (const char *item : {"StartTime", "EndTime"}) {
            if (STATUS status = NSFItemSetTime(profileNote, item, &kMidnightTimeOnly))
                ThrowStatus(kContext, status);
        }
    } else if (TimeDateDifference(&uiFirstDayBack, &uiFirstDayOut) < 3600) {
        throw IPException(kContext, kUnderOneHour);
    }
    return 1;
}
