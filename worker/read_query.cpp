// The read and the query of out-of-office states.
#include "iphcr.h"
#include "ip_exception.h"

const std::string &IPHCR::ReadOutOfOffice(const std::string &requestFilePath) {
    resultText = "OK";
    getHCRProfile(true);
    getHCRType();
    LoadProfileSettings();
    resultText = getHCRInfo(requestFilePath);
    return resultText;
}
