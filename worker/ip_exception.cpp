#include "ip_exception.h"

IPException::IPException(const char *operation, const char *message) {
    text = operation ? operation : "";
    text += ':';
    text += message ? message : "";
}

IPException::IPException(const IPException &other) : text(other.text) {}

IPException::~IPException() = default;
