// The record that carries one request from the main loop to its request
// thread.
#pragma once

#include <cstddef>
#include <string>

#include "notes_api.h"

// One request and the settings it is served with. Each text is owned by the
// record and has any length, so an iOS page or a query string of the
// settings arrives whole, never cut inside a tag or a character; the main
// loop makes a fresh record for every message, and the request thread that
// receives it owns it.
struct RequestContext {
    WORD messageLength = 0;        // bytes of the queue message
    std::string requestFilePath;   // the message: the request file's path
    std::string productDirectory;  // notes.ini "HCRDirectory"
    std::string iosInstallPage;    // HTML of the iOS install page
    std::string appQuery;          // query string of the app's configure link
    std::string serverUrl;         // server part of the app's configure link
    WORD productDbBuild = 0;       // build version of HCR.nsf
};

// The text of length bytes up to their first NUL: a queue message's text
// is the request file's path up to there, as its reader always took it.
std::string TextBeforeNul(const char *bytes, size_t length);

// Fills the fields that come from start-up and from the server's app
// settings; requestFilePath and messageLength are the queue message's own and
// stay as the caller put them. productDirectory is read up to its first NUL,
// at most kMaxProductDirectory bytes (the buffer it is read into at start-up).
constexpr size_t kMaxProductDirectory = 512;
void FillRequestContext(RequestContext &record, const char *productDirectory, WORD productDbBuild,
                        const std::string &serverUrl, const std::string &iosInstallPage,
                        const std::string &appQuery);
