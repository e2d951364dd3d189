// Operations whose work is still to be built. Each fails the request with
// its own name, so a requester never takes a pending operation for a
// served one; each goes when its real implementation arrives.
#include "iphcr.h"
#include "ip_exception.h"

namespace {
const char kNotAvailable[] = "This operation is not available yet.";
}

// PENDING: the update of a user's out-of-office state.
const std::string &IPHCR::setHCR(const std::string &) {
    throw IPException("setHCR", kNotAvailable);
}

// PENDING: the phone configure page.
const std::string &IPHCR::WriteMobileConfigPage(const std::string &, const std::string &,
                                                const std::string &, const std::string &) {
    throw IPException("WriteMobileConfigPage", kNotAvailable);
}

// PENDING: the desktop configure page.
const std::string &IPHCR::WriteAppConfigPage(const std::string &, const std::string &,
                                             const std::string &, const std::string &) {
    throw IPException("WriteAppConfigPage", kNotAvailable);
}

// PENDING: the iOS install page.
const std::string &IPHCR::WriteIosInstallPage(const std::string &, const std::string &,
                                              const std::string &, const std::string &) {
    throw IPException("WriteIosInstallPage", kNotAvailable);
}
