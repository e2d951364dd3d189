// The Domino Directory of the server that runs the task: the servers of a
// cluster, and a person's mail location and full name.
#include <algorithm>
#include <cstring>

#include "iphcr.h"

namespace {

constexpr size_t kMaxDirectoryText = MailLocation::kFieldBytes - 1;
constexpr WORD kListMemberBuffer = 256;

// A lookup result buffer, locked while the object lives and freed with it.
class LookupResult {
  public:
    // One name in one name space, with the items given as packed texts.
    LookupResult(const char *nameSpace, const std::string &name, WORD itemCount,
                 const char *items) {
        status_ =
            NAMELookup2(nullptr, 0, 1, nameSpace, 1, name.c_str(), itemCount, items, &buffer_);
        if (status_ == NOERROR && buffer_ != NULLHANDLE)
            lookup_ = OSLockObject(buffer_);
        if (lookup_ != nullptr)
            name_ = NAMELocateNextName2(lookup_, nullptr, &matches_);
    }
    ~LookupResult() {
        if (lookup_ != nullptr)
            OSUnlockObject(buffer_);
        if (buffer_ != NULLHANDLE)
            OSMemFree(buffer_);
    }
    LookupResult(const LookupResult &) = delete;
    LookupResult &operator=(const LookupResult &) = delete;

    STATUS status() const { return status_; }
    // The matches of the one name, 0 without an entry.
    WORD matches() const { return name_ != nullptr ? matches_ : 0; }
    // The match after the one given (the first for null); null after the
    // last.
    void *NextMatch(void *match) const {
        return name_ != nullptr ? NAMELocateNextMatch2(lookup_, name_, match) : nullptr;
    }

  private:
    STATUS status_ = NOERROR;
    DHANDLE buffer_ = NULLHANDLE;
    void *lookup_ = nullptr;
    void *name_ = nullptr;
    WORD matches_ = 0;
};

// The text of a TYPE_TEXT value of a match, cut to the directory's field
// size; false for any other type or a missing item.
bool TextItem(void *match, WORD item, std::string &text) {
    WORD type = 0;
    WORD size = 0;
    const char *value = static_cast<const char *>(NAMELocateItem2(match, item, &type, &size));
    if (value == nullptr || type != TYPE_TEXT || size < sizeof(WORD))
        return false;
    text.assign(value + sizeof(WORD), std::min<size_t>(size - sizeof(WORD), kMaxDirectoryText));
    return true;
}

// The first member of a text list value.
std::string FirstListMember(void *match, WORD item) {
    char text[kListMemberBuffer] = "";
    if (NAMEGetTextItem2(match, item, 0, text, sizeof text) != NOERROR)
        return std::string();
    return text;
}

void CopyField(char (&field)[MailLocation::kFieldBytes], const std::string &text) {
    const size_t length = std::min(text.size(), kMaxDirectoryText);
    std::memcpy(field, text.data(), length);
    field[length] = '\0';
}

}  // namespace

WORD IPHCR::GetClusterServers(const std::string &serverName, std::vector<std::string> &servers) {
    servers.clear();
    std::string cluster;
    {
        const char items[] = "ServerName\0ClusterName";
        LookupResult result("($Servers)", serverName, 2, items);
        void *match = nullptr;
        for (WORD i = 0; result.status() == NOERROR && i < result.matches(); i++) {
            match = result.NextMatch(match);
            if (match == nullptr)
                break;
            std::string name;
            if (TextItem(match, 1, name))
                cluster = name;  // a later match wins
        }
    }
    if (cluster.empty())
        return 0;
    const char items[] = "ServerName";
    LookupResult result("($Clusters)", cluster, 1, items);
    void *match = nullptr;
    for (WORD i = 0; result.status() == NOERROR && i < result.matches(); i++) {
        match = result.NextMatch(match);
        if (match == nullptr)
            break;
        std::string name;
        if (TextItem(match, 0, name))
            servers.push_back(name);
    }
    return static_cast<WORD>(std::min<size_t>(servers.size(), MAXWORD));
}

STATUS IPHCR::LookupMailLocations(const std::string &name, std::vector<MailLocation> &locations,
                                  int32_t firstMatch) {
    const char items[] = "MailServer\0MailFile\0FullName";
    LookupResult result("$Users", name, 3, items);
    if (result.status() != NOERROR)
        return result.status();
    const WORD records = firstMatch ? std::min<WORD>(result.matches(), 1) : result.matches();
    void *match = nullptr;
    bool exhausted = false;
    for (WORD i = 0; i < records; i++) {
        MailLocation location;
        std::memset(&location, 0, sizeof location);
        // After the last match a record stays empty; the walk never starts
        // again from the first.
        if (!exhausted)
            match = result.NextMatch(match);
        exhausted = exhausted || match == nullptr;
        if (!exhausted) {
            char(*fields[])[MailLocation::kFieldBytes] = {&location.mailServer, &location.mailFile,
                                                          &location.fullName};
            for (WORD item = 0; item < 3; item++) {
                WORD type = 0;
                NAMELocateItem2(match, item, &type, nullptr);
                std::string text;
                if (type == TYPE_TEXT)
                    TextItem(match, item, text);
                else if (type == TYPE_TEXT_LIST)
                    text = FirstListMember(match, item);
                CopyField(*fields[item], text);
            }
        }
        locations.push_back(location);
    }
    return NOERROR;
}

STATUS IPHCR::LookupFullName(const std::string &name, std::string &fullName) {
    fullName = name;
    const char items[] = "FullName";
    LookupResult result("$Users", name, 1, items);
    if (result.status() != NOERROR)
        return result.status();
    std::string found;
    void *match = result.matches() > 0 ? result.NextMatch(nullptr) : nullptr;
    if (match != nullptr) {
        WORD type = 0;
        NAMELocateItem2(match, 0, &type, nullptr);
        if (type == TYPE_TEXT || type == TYPE_TEXT_LIST)
            found = FirstListMember(match, 0);
    }
    if (!found.empty())
        fullName = found;
    return NOERROR;
}
