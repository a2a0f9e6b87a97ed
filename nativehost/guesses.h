// Slows down password guessing. After a wrong password, a site's next
// call that checks a password waits before it reaches the key: 1 s after
// the first failure, doubling with each further one, at most 60 s. A right
// password clears the site's count. The count is the site's (sites.h), not
// one origin's: a page cannot start afresh from a subdomain, another port
// or a trailing dot.
//
// The ledger is the host's, so it holds across tabs, frames and reloads;
// it is kept in a file in the user's state folder, so that it also
// survives a restart of the host or the browser. Per site it holds the
// number of failures and the time of the last one, nothing about any
// password. A ledger file that is there but cannot be used (damaged, too
// big, not a regular file of the user's) may have held any count: every
// site then waits as after the most failures, until its next right
// password or for a day.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace NATIVEHOST {

class GuessLedger {
public:
    // folder: where the ledger's file lives (empty: in memory only).
    explicit GuessLedger(std::string folder) : folder(std::move(folder)) {}

    // The ledger's file name in its folder.
    static const char FILE_NAME[];
    // Wall-clock milliseconds, the ledger's time.
    static int64_t Now();

    // How long (ms) a call from origin that checks a password must still
    // wait at time now; 0 when it may go ahead. The origin's site decides.
    int64_t WaitFor(const std::string& origin, int64_t now);
    // What the key said of a password from origin: wrong (counts), right
    // (clears). Anything else leaves the ledger alone.
    void Wrong(const std::string& origin, int64_t now);
    void Right(const std::string& origin);

    // The wait after the given number of consecutive failures.
    static int64_t WaitAfter(unsigned failures);

private:
    struct Entry {
        unsigned failures = 0;
        int64_t last = 0;  // ms
    };
    // Another host process (the other browser's) may have written since:
    // every decision reads the file first.
    void Load();
    void Save();
    // A site's count as it stands, the unusable file's floor included.
    Entry Current(const std::string& site) const;

    std::string folder;
    std::map<std::string, Entry> entries;  // site -> its count; FLOOR: every site's
};

} // namespace NATIVEHOST
