#include "name_forms.h"

namespace name_forms {

namespace {
constexpr WORD kNameBuffer = 256;
}

STATUS Abbreviate(const std::string &name, std::string &abbreviated) {
    char buffer[kNameBuffer] = "";
    WORD length = 0;
    STATUS status = DNAbbreviate(0, nullptr, name.c_str(), buffer, kNameBuffer, &length);
    if (length >= kNameBuffer)
        length = kNameBuffer - 1;
    abbreviated.assign(buffer, length);
    return status;
}

std::string Abbreviated(const std::string &name) {
    std::string abbreviated;
    return Abbreviate(name, abbreviated) == NOERROR ? abbreviated : name;
}

}  // namespace name_forms
