#include "lmbcs.h"

namespace notes_internal {

size_t LmbcsCharLength(const unsigned char *p, size_t left) {
    size_t length = 1;
    switch (p[0]) {
        case 0x01:  // code page 850 outside the bytes of the text itself
        case 0x02:  // Greek
        case 0x03:  // Hebrew
        case 0x04:  // Arabic
        case 0x05:  // Cyrillic
        case 0x06:  // Central European
        case 0x08:  // Turkish
        case 0x0B:  // Thai
        case 0x0F:  // control characters
            length = 2;
            break;
        case 0x10:  // Japanese
        case 0x11:  // Korean
        case 0x12:  // Chinese, traditional
        case 0x13:  // Chinese, simplified
        case 0x14:  // any UTF-16 unit
            length = 3;
            break;
        default:
            break;
    }
    for (size_t i = 1; i < length; i++) {
        if (i == left || p[i] == 0)
            return i;
    }
    return length;
}

}  // namespace notes_internal
