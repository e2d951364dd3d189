// What the state reply and the query's reply share: the document, its
// writer and the file it goes to, and the times on the server's clock.
#pragma once

#include <string>

#include <xercesc/util/XercesDefs.hpp>

#include "notes_api.h"

XERCES_CPP_NAMESPACE_BEGIN
class DOMDocument;
class DOMElement;
class DOMLSOutput;
class DOMLSSerializer;
class LocalFileFormatTarget;
XERCES_CPP_NAMESPACE_END

namespace state_reply {

// The local fields of a value on the server's clock: a value with a date
// and a time is shown in the server's own zone and daylight rule
// (OSCurrentTimeZone), whatever zone it carries; a date or a time alone as
// it stands. False when the platform cannot convert it.
bool ServerLocalTime(const TIMEDATE &value, TIME &local);

// A reply document with the root "HCRReadObject", written in UTF-8 by the
// library's serializer with its default settings over the file given. The
// file is opened (created, or emptied) when the object is made; whatever
// was made is released and the file closed on every path.
class DocumentWriter {
  public:
    explicit DocumentWriter(const std::string &path);
    ~DocumentWriter();
    DocumentWriter(const DocumentWriter &) = delete;
    DocumentWriter &operator=(const DocumentWriter &) = delete;

    xercesc::DOMElement *root() const;
    // Writes the document, releases it and the serializer, and closes the
    // file.
    void Write();

    xercesc::DOMDocument *document = nullptr;

  private:
    void Open(const std::string &path);
    void Release();

    xercesc::DOMLSSerializer *serializer = nullptr;
    xercesc::DOMLSOutput *output = nullptr;
    xercesc::LocalFileFormatTarget *target = nullptr;
};

}  // namespace state_reply
