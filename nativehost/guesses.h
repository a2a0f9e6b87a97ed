// Slows down password guessing. After a wrong password, an origin's next
// call that checks a password waits before it reaches the key: 1 s after
// the first failure, doubling with each further one, at most 60 s. A right
// password clears the origin's count.
//
// The ledger is the host's, so it holds across tabs, frames and reloads;
// it is kept in a file in the user's state folder, so that it also
// survives a restart of the host or the browser. Per origin it holds the
// number of failures and the time of the last one, nothing about any
// password.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace NATIVEHOST {

class GuessLedger {
public:
    // file: where the ledger lives (empty: in memory only).
    explicit GuessLedger(std::string file) : file(std::move(file)) {}

    // The ledger's file in a state folder.
    static std::string FileIn(const std::string& folder);
    // Wall-clock milliseconds, the ledger's time.
    static int64_t Now();

    // How long (ms) a call from origin that checks a password must still
    // wait at time now; 0 when it may go ahead.
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
    void Save() const;

    std::string file;
    std::map<std::string, Entry> entries;
};

} // namespace NATIVEHOST
