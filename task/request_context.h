// The record that carries one request from the main loop to its request
// thread.
#pragma once

#include <cstddef>
#include <string>

#include "notes_api.h"

// Sizes of the text fields, the terminating NUL included.
constexpr size_t kRequestPathField = 513;
constexpr size_t kProductDirectoryField = 513;
constexpr size_t kIosInstallPageField = 4097;
constexpr size_t kAppQueryField = 513;
constexpr size_t kServerUrlField = 513;

// A fixed-size record of fixed-width texts, each ending with a NUL. The main
// loop zeroes a fresh one for every message, so a field its source leaves
// empty holds an empty text; the request thread that receives it owns it.
struct RequestContext {
    WORD messageLength;                             // bytes of the queue message
    char requestFilePath[kRequestPathField];        // the message: the request file's path
    char productDirectory[kProductDirectoryField];  // notes.ini "HCRDirectory"
    char iosInstallPage[kIosInstallPageField];      // HTML of the iOS install page
    char appQuery[kAppQueryField];                  // query string of the app's configure link
    char serverUrl[kServerUrlField];                // server part of the app's configure link
    WORD productDbBuild;                            // build version of HCR.nsf
};

// Copies length bytes of text into a field of fieldSize bytes. A text that
// does not fit is cut to fieldSize - 1 bytes, at a byte boundary: the record
// has no room for more, and a cut page or query string does less harm than
// writing into the next field. The copy always ends with a NUL and never
// writes past the field. A NUL inside the text ends it, as the reader of the
// field takes the text up to its first NUL.
void CopyToField(char *field, size_t fieldSize, const char *text, size_t length);

template <size_t N>
void CopyToField(char (&field)[N], const std::string &text) {
    CopyToField(field, N, text.data(), text.size());
}

// The text of a field: up to its first NUL, and never past the field, even
// when the NUL is missing.
template <size_t N>
std::string FieldText(const char (&field)[N]) {
    size_t length = 0;
    while (length < N && field[length] != '\0')
        length++;
    return std::string(field, length);
}

// Fills the fields that come from start-up and from the server's app
// settings; requestFilePath and messageLength are the queue message's own and
// stay as the caller put them.
void FillRequestContext(RequestContext &record, const char *productDirectory, WORD productDbBuild,
                        const std::string &serverUrl, const std::string &iosInstallPage,
                        const std::string &appQuery);
