// What the app set-up pages and the server's app settings share.
#pragma once

#include <string>

// The iOS app's page in the app store: the link of "Download iPhone HCR App"
// on the two configure pages and what replaces "%Download HCR App%" in the
// iOS install page. The project's own address: whoever runs the front end
// points it at the real store page through a redirect there.
extern const char kAppStoreAddress[];

// A text as it may stand inside a link's attribute, quoted with either kind
// of quote: '"', '\'', '<' and '>' become character references, every other
// byte stays. Texts of the request and of the settings (a login name, a
// server URL) go through it, so that none of them can end the attribute
// and bring a tag or an attribute of its own into the page.
std::string EscapeForAttribute(const std::string &text);
