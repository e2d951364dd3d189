#include "server_settings.h"

void BuildServerAppSettings(const char *serverName, const char *productDirectory,
                            std::string &serverUrl, std::string &iosInstallPage,
                            std::string &appQuery) {
    // The reader of the settings document comes later. Until then nothing
    // is read, which is what happens when the settings cannot be read: the
    // outputs stay as they are, and the app pages go out without a server
    // URL, query string or iOS page.
    (void)serverName;
    (void)productDirectory;
    (void)serverUrl;
    (void)iosInstallPage;
    (void)appQuery;
}
