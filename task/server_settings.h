// The server's app settings, from its settings document in HCR.nsf.
#pragma once

#include <cstdint>
#include <string>

#include "notes_api.h"

// The iOS install page that a settings document gets when it has none of
// its own, with the placeholders "%Download HCR App%" and
// "%Configure HCR App%".
extern const char kBuiltInIosPage[];

// Writes value into the text item of the note unless the item already has
// exactly this text (read with a 512-byte buffer, so a longer stored text
// always counts as changed). An empty value never replaces an empty item.
// Sets *changed to 1 when it wrote and never clears it; does not save the
// note. The status of the write, or 0 when nothing was written.
STATUS SetTextItemIfChanged(NOTEHANDLE note, const char *itemName, const std::string &value,
                            int32_t *changed);

// This server's settings document in the database: found through the view
// "(Setup Doc)" by the server's name, or created when the view has no entry
// of that name. Missing or empty settings get their defaults, and the
// reader names of an older document move into a further "DocAuthor" item;
// a document that changed is saved. 0 when there is no view, when the view
// cannot be read, or when the document cannot be opened or created: a
// settings document is never made unless the view surely has none. The
// caller closes the note.
NOTEHANDLE OpenServerSetupDocument(DBHANDLE db, const char *serverName);

// Reads this server's settings document in HCR.nsf (found by the server's
// name) and gives the server part of the app's configure link, the HTML of
// the iOS install page and the query string of the configure link, all in
// UTF-8. The texts have no length limit of their own. When HCR.nsf or the
// settings document cannot be read, the outputs are left as the caller gave
// them. Called on the main thread for every request message, so that a
// change of the settings takes effect with the next request.
void BuildServerAppSettings(const char *serverName, const char *productDirectory,
                            std::string &serverUrl, std::string &iosInstallPage,
                            std::string &appQuery);
