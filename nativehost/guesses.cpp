#include "guesses.h"

#include <chrono>

#include <nlohmann/json.hpp>

#include "hostfiles.h"
#include "sites.h"

namespace NATIVEHOST {

namespace {

const int64_t FIRST_WAIT_MS = 1000;
const int64_t LONGEST_WAIT_MS = 60 * 1000;
// The fewest failures that wait the longest.
const unsigned MOST_FAILURES = 7;
// A site quiet for a day starts afresh; this also bounds the file.
const int64_t FORGET_AFTER_MS = 24 * 60 * 60 * 1000;
const size_t MAX_ENTRIES = 1000;
// An entry is at most a site (an origin's 300 characters and its scheme)
// and about 50 bytes of counts: 1000 of them fit with room to spare, so a
// ledger this host wrote is never too big to be read back.
const size_t MAX_FILE_BYTES = 1024 * 1024;
// Every site's count after a ledger file that could not be used; no site
// is named "*".
const char FLOOR[] = "*";

} // namespace

const char GuessLedger::FILE_NAME[] = ".guesses.json";

int64_t GuessLedger::Now()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

int64_t GuessLedger::WaitAfter(unsigned failures)
{
    if (failures == 0)
        return 0;
    if (failures >= MOST_FAILURES)
        return LONGEST_WAIT_MS;
    int64_t wait = FIRST_WAIT_MS << (failures - 1);
    return wait < LONGEST_WAIT_MS ? wait : LONGEST_WAIT_MS;
}

GuessLedger::Entry GuessLedger::Current(const std::string& site) const
{
    auto found = entries.find(site);
    auto floor = entries.find(FLOOR);
    // A site heard of since the floor was set has its own count.
    if (floor == entries.end() || (found != entries.end() && found->second.last > floor->second.last))
        return found == entries.end() ? Entry() : found->second;
    Entry entry = floor->second;
    if (found != entries.end() && found->second.failures > entry.failures)
        entry.failures = found->second.failures;
    return entry;
}

int64_t GuessLedger::WaitFor(const std::string& origin, int64_t now)
{
    Load();
    const Entry entry = Current(SiteOf(origin));
    if (entry.failures == 0)
        return 0;
    // A clock set back makes the elapsed time negative: the whole wait
    // then, never more.
    int64_t elapsed = now - entry.last;
    int64_t wait = WaitAfter(entry.failures);
    if (elapsed < 0)
        return wait;
    return elapsed >= wait ? 0 : wait - elapsed;
}

void GuessLedger::Wrong(const std::string& origin, int64_t now)
{
    Load();
    const std::string site = SiteOf(origin);
    Entry entry = Current(site);
    if (entry.failures < 1000)
        ++entry.failures;
    entry.last = now;
    entries[site] = entry;
    // Forget the quiet ones, then the oldest, so the file stays small.
    for (auto it = entries.begin(); it != entries.end();) {
        if (now - it->second.last > FORGET_AFTER_MS)
            it = entries.erase(it);
        else
            ++it;
    }
    while (entries.size() > MAX_ENTRIES) {
        auto oldest = entries.begin();
        for (auto it = entries.begin(); it != entries.end(); ++it) {
            if (it->second.last < oldest->second.last)
                oldest = it;
        }
        entries.erase(oldest);
    }
    Save();
}

void GuessLedger::Right(const std::string& origin)
{
    Load();
    const std::string site = SiteOf(origin);
    if (entries.count(FLOOR)) {
        // Cleared after the floor: this site no longer waits on it.
        entries[site] = Entry{0, std::max(Now(), entries[FLOOR].last + 1)};
        Save();
    } else if (entries.erase(site) > 0) {
        Save();
    }
}

void GuessLedger::Load()
{
    if (folder.empty())
        return;  // in memory only
    std::string text;
    const FileRead read = ReadPrivateFile(folder, FILE_NAME, MAX_FILE_BYTES, text);
    if (read == FileRead::Missing)
        return;  // nothing written yet: what we know stays
    nlohmann::json saved = read == FileRead::Read ? nlohmann::json::parse(text, nullptr, false) : nlohmann::json();
    if (!saved.is_object()) {
        // It may have held any count: every site waits as after the most
        // failures, and what this process knows stays.
        const int64_t now = Now();
        Entry& floor = entries[FLOOR];
        if (floor.failures < MOST_FAILURES || now - floor.last > FORGET_AFTER_MS)
            floor = Entry{MOST_FAILURES, now};
        return;
    }
    std::map<std::string, Entry> loaded;
    for (const auto& item : saved.items()) {
        const nlohmann::json& value = item.value();
        if (!value.is_object() || !value.contains("failures") || !value.contains("last") ||
            !value["failures"].is_number_unsigned() || !value["last"].is_number_integer())
            continue;
        Entry entry;
        entry.failures = value["failures"].get<unsigned>();
        entry.last = value["last"].get<int64_t>();
        // An older host kept origins: their counts join their sites'.
        std::string site = item.key() == FLOOR || item.key() == "localhost" ? item.key() : SiteOf(item.key());
        if (site.empty())
            continue;
        Entry& joined = loaded[site];
        joined.failures = std::max(joined.failures, entry.failures);
        joined.last = std::max(joined.last, entry.last);
    }
    entries.swap(loaded);
}

void GuessLedger::Save()
{
    if (folder.empty())
        return;
    nlohmann::json saved = nlohmann::json::object();
    for (const auto& entry : entries)
        saved[entry.first] = {{"failures", entry.second.failures}, {"last", entry.second.last}};
    // Written beside and renamed over: a reader never sees half a file.
    ReplacePrivateFile(folder, FILE_NAME, saved.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

} // namespace NATIVEHOST
