// The worker's one error type.
#pragma once

#include <string>

// What a failed worker operation throws: the operation's name, a colon and
// the message, joined with nothing between them. The request handlers send
// this text to the requester as it stands, so it never changes on its way
// out. Deliberately not derived from std::exception: the guards around the
// XML library tell it apart from everything else.
class IPException {
  public:
    // A null operation or message counts as empty.
    IPException(const char *operation, const char *message);
    IPException(const std::string &operation, const std::string &message)
        : IPException(operation.c_str(), message.c_str()) {}
    IPException(const IPException &other);
    virtual ~IPException();
    IPException &operator=(const IPException &) = delete;

    // Valid while the exception lives.
    const char *message() const { return text.c_str(); }

  private:
    std::string text;
};
