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
