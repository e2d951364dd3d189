// The three app set-up pages: the phone and the desktop configure pages and
// the iOS install page, each written over its request file.
#include "app_pages.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "iphcr.h"

const char kAppStoreAddress[] = "https://apps.vanterra.example/halcyra/ios";

std::string EscapeForAttribute(const std::string &text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '"':
                escaped += "&quot;";
                break;
            case '\'':
                escaped += "&#39;";
                break;
            case '<':
                escaped += "&lt;";
                break;
            case '>':
                escaped += "&gt;";
                break;
            default:
                escaped += c;
        }
    }
    return escaped;
}

namespace {

const char kConfigurePlaceholder[] = "%Configure HCR App%";

// The address that opens the app with the user's account and the server's
// settings, as it goes into the page.
std::string AppLink(const std::string &loginName, const std::string &loginServer,
                    const std::string &serverUrl, const std::string &appQuery) {
    return EscapeForAttribute("halcyraapp://username=" + loginName + "&server=" +
                              (serverUrl.empty() ? loginServer : serverUrl) + appQuery);
}

std::string MobileConfigPage(const std::string &directory, const std::string &appLink) {
    std::string page;
    page +=
        R"P(<html><span style="font-size:52px;"><img style="wisth: 100px;height: 100px" src=")P";
    page += directory;
    page +=
        R"P(/HCR.nsf/hcricon.png">&nbsp<strong><span style="font-family: arial,helvetica,sans-serif;">Quorvane Halcyra<br />Program Version 2.3.1 Build 2051</span></strong></span></p>)P";
    page += R"P(<br><br><HR>)P";
    page +=
        R"P(<BR><BR><span style="font-size:40px;font-family: arial,helvetica,sans-serif;"><A href=")P";
    page += EscapeForAttribute(kAppStoreAddress);
    page += R"P(">Download iPhone HCR App</A></span>)P";
    page += R"P(<br><br>)P";
    page +=
        R"P(<BR><BR><span style="font-size:40px;font-family: arial,helvetica,sans-serif;"><A href=")P";
    page += directory;
    page += R"P(/HCR.nsf/HCR.apk">Download Android HCR App Installer</A></span>)P";
    page += R"P(<br><br><HR>)P";
    page +=
        R"P(<BR><span style="font-size:40px;font-family: arial,helvetica,sans-serif;"><A target="_blank" href=")P";
    page += appLink;
    page += R"P(">Configure HCR App</A></span>)P";
    page += R"P(<br>)P";
    page += R"P(</body></html>)P";
    return page;
}

std::string AppConfigPage(const std::string &directory, const std::string &appLink) {
    std::string page;
    page +=
        R"P(<html><head><span style="font-family: arial,helvetica,sans-serif;"><title>Quorvane Halcyra</title><link href=")P";
    page += directory;
    page +=
        R"P(/HCR.nsf/favicon.ico" rel="SHORTCUT ICON"><style type="text/css"> h3 {font-size:20px;} body {font-size:16px;}</style></span></head>)P";
    page += R"P(<body><span style="font-family: arial,helvetica,sans-serif;"><H3><img src=")P";
    page += directory;
    page +=
        R"P(/HCR.nsf/hcricon.png"> Quorvane Halcyra</H3><H3>Program Version 2.3.1 Build 2051</H3></span>)P";
    page += R"P(<br><br><HR>)P";
    page += R"P(<BR><span style="font-family: arial,helvetica,sans-serif;"><A href=")P";
    page += EscapeForAttribute(kAppStoreAddress);
    page += R"P(">Download iPhone HCR App</A></span>)P";
    page += R"P(<BR><BR><span style="font-family: arial,helvetica,sans-serif;"><A href=")P";
    page += directory;
    page += R"P(/HCR.nsf/HCR.apk">Download Android HCR App Installer</A></span>)P";
    page += R"P(<br><br><HR>)P";
    page +=
        R"P(<BR><span style="font-family: arial,helvetica,sans-serif;"><A target="_blank" href=")P";
    page += appLink;
    page += R"P(">Configure HCR App</A></span>)P";
    page += R"P(<br><br><HR>)P";
    page += R"P(<br>)P";
    page += R"P(</body></html>)P";
    return page;
}

std::string IosInstallPage(const std::string &directory, const std::string &body) {
    std::string page;
    page +=
        R"P(<html><head><meta name = "viewport" content = "width = device-width"><title>Installation and Setup Instructions for iOS devices</title></head><body>)P";
    page += R"P(<img src=")P";
    page += directory;
    page +=
        R"P(/HCR.nsf/hcricon.png">&nbsp<strong><span style="font-family: arial,helvetica,sans-serif;"><span style="font-size:20px;">Quorvane Halcyra</span><br /><span style="font-size:18px;">Program Version 2.3.1 Build 2051</span></span></strong></span></p><hr><br>)P";
    page += body;
    page += R"P(<br>)P";
    page += R"P(</body></html>)P";
    return page;
}

// Every placeholder replaced by the link; the search goes on after the
// inserted link, so that a placeholder the link brings in stays as it is.
std::string ReplacePlaceholders(std::string text, const std::string &link) {
    const size_t length = sizeof kConfigurePlaceholder - 1;
    for (size_t at = text.find(kConfigurePlaceholder); at != std::string::npos;
         at = text.find(kConfigurePlaceholder, at)) {
        text.replace(at, length, link);
        at += link.size();
    }
    return text;
}

// The page as text mode writes it: each line feed as a carriage return and
// a line feed, the form the pages have always had on disk.
std::string InTextMode(const std::string &page) {
    std::string text;
    text.reserve(page.size());
    for (char c : page) {
        if (c == '\n')
            text += '\r';
        text += c;
    }
    return text;
}

// Replaces the request file by the page; the reply text. The request file
// is removed first and the page made anew, truncated, never through a link
// or into anything but a plain file that stands in the request's place.
std::string ReplaceRequestFile(const std::string &path, const std::string &page) {
    std::remove(path.c_str());  // what the open finds decides
    const int file =
        open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
             S_IRUSR | S_IWUSR);
    if (file < 0)
        return "Fail Open xml file (" + path + ")";
    struct stat status;
    if (fstat(file, &status) != 0 || !S_ISREG(status.st_mode)) {
        close(file);
        return "Fail Open xml file (" + path + ")";
    }
    const std::string text = InTextMode(page);
    size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = write(file, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        written += static_cast<size_t>(n);
    }
    // A close that fails may have lost what was written.
    const bool closed = close(file) == 0;
    if (written < text.size() || !closed)
        return "Fail Write xml file (" + path + ")";
    return "OK";
}

}  // namespace

const std::string &IPHCR::WriteMobileConfigPage(const std::string &requestFilePath,
                                                const std::string &productDirectory,
                                                const std::string &serverUrl,
                                                const std::string &appQuery) {
    const std::string link = AppLink(loginName, loginServer, serverUrl, appQuery);
    resultText = ReplaceRequestFile(requestFilePath,
                                    MobileConfigPage(EscapeForAttribute(productDirectory), link));
    return resultText;
}

const std::string &IPHCR::WriteAppConfigPage(const std::string &requestFilePath,
                                             const std::string &productDirectory,
                                             const std::string &serverUrl,
                                             const std::string &appQuery) {
    const std::string link = AppLink(loginName, loginServer, serverUrl, appQuery);
    resultText = ReplaceRequestFile(requestFilePath,
                                    AppConfigPage(EscapeForAttribute(productDirectory), link));
    return resultText;
}

const std::string &IPHCR::WriteIosInstallPage(const std::string &requestFilePath,
                                              const std::string &productDirectory,
                                              const std::string &serverUrl,
                                              const std::string &iosInstallPage) {
    // The query string is in the page already, behind each placeholder.
    const std::string link = AppLink(loginName, loginServer, serverUrl, "");
    resultText = ReplaceRequestFile(requestFilePath,
                                    IosInstallPage(EscapeForAttribute(productDirectory),
                                                   ReplacePlaceholders(iosInstallPage, link)));
    return resultText;
}
