// The user's mail file and its two out-of-office profiles, with the fall
// over to the other servers of the mail server's cluster.
#include <cstring>

#include "iphcr.h"
#include "ip_exception.h"

namespace {

const char kProfile[] = "OutOfOfficeProfile";
const char kServiceProfile[] = "ooserviceprofile";

STATUS OpenMailDb(const std::string &server, const std::string &file, DBHANDLE &db) {
    char path[MAXPATH] = "";
    STATUS status = OSPathNetConstruct(nullptr, server.c_str(), file.c_str(), path);
    if (status != NOERROR)
        return status;
    return NSFDbOpen(path, &db);
}

}  // namespace

STATUS IPHCR::OpenProfiles() {
    STATUS status = NSFProfileOpen(mailDb, kProfile, static_cast<WORD>(std::strlen(kProfile)),
                                   nullptr, 0, TRUE, &profileNote);
    if (status != NOERROR) {
        profileNote = NULLHANDLE;
        return status;
    }
    // The service profile is optional: a mail file without one is served
    // all the same.
    if (NSFProfileOpen(mailDb, kServiceProfile, static_cast<WORD>(std::strlen(kServiceProfile)),
                       nullptr, 0, TRUE, &serviceProfileNote) != NOERROR) {
        serviceProfileNote = NULLHANDLE;
    }
    return NOERROR;
}

STATUS IPHCR::getHCRProfile(bool raise) {
    STATUS status = OpenMailDb(mailServer, mailFile, mailDb);
    if (status == NOERROR) {
        status = OpenProfiles();
    } else {
        mailDb = NULLHANDLE;
        if (ERR(status) == ERR_SERVER_NOT_RESPONDING) {
            // The mail server does not answer: try the other servers of its
            // cluster, in the directory's order, until one serves the mail
            // file and its profile.
            std::vector<std::string> servers;
            GetClusterServers(mailServer, servers);
            for (const std::string &server : servers) {
                if (status == NOERROR)
                    break;
                // The server itself (and an empty name) is no other server.
                if (mailServer.compare(0, server.size(), server) == 0)
                    continue;
                if (mailDb != NULLHANDLE) {
                    NSFDbClose(mailDb);
                    mailDb = NULLHANDLE;
                }
                DBHANDLE db = NULLHANDLE;
                if (OpenMailDb(server, mailFile, db) != NOERROR)
                    continue;
                mailDb = db;
                mailServer = server;
                status = OpenProfiles();
            }
        }
    }
    if (status == NOERROR)
        return NOERROR;
    if (raise) {
        SetErrorFromStatus(status);
        throw IPException("getHCRProfile", resultText);
    }
    return status;
}
