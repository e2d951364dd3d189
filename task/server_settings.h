// The server's app settings, from its settings document in HCR.nsf.
#pragma once

#include <string>

// Reads this server's settings document in HCR.nsf (found by the server's
// name) and gives the server part of the app's configure link, the HTML of
// the iOS install page and the query string of the configure link. The texts
// have no length limit of their own. When HCR.nsf or the settings document
// cannot be read, the outputs are left as the caller gave them. Called on
// the main thread for every request message, so that a change of the
// settings takes effect with the next request.
void BuildServerAppSettings(const char *serverName, const char *productDirectory,
                            std::string &serverUrl, std::string &iosInstallPage,
                            std::string &appQuery);
