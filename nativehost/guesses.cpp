#include "guesses.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "folders.h"
#include "hostfiles.h"

namespace fs = std::filesystem;

namespace NATIVEHOST {

namespace {

const int64_t FIRST_WAIT_MS = 1000;
const int64_t LONGEST_WAIT_MS = 60 * 1000;
// An origin quiet for a day starts afresh; this also bounds the file.
const int64_t FORGET_AFTER_MS = 24 * 60 * 60 * 1000;
const size_t MAX_ENTRIES = 1000;
const size_t MAX_FILE_BYTES = 256 * 1024;

} // namespace

std::string GuessLedger::FileIn(const std::string& folder)
{
    // A leading dot: no page can name it as a trace file.
    return folder.empty() ? std::string() : PathIn(folder, ".guesses.json");
}

int64_t GuessLedger::Now()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

int64_t GuessLedger::WaitAfter(unsigned failures)
{
    if (failures == 0)
        return 0;
    if (failures > 7)
        return LONGEST_WAIT_MS;
    int64_t wait = FIRST_WAIT_MS << (failures - 1);
    return wait < LONGEST_WAIT_MS ? wait : LONGEST_WAIT_MS;
}

int64_t GuessLedger::WaitFor(const std::string& origin, int64_t now)
{
    Load();
    auto found = entries.find(origin);
    if (found == entries.end())
        return 0;
    // A clock set back makes the elapsed time negative: the whole wait
    // then, never more.
    int64_t elapsed = now - found->second.last;
    int64_t wait = WaitAfter(found->second.failures);
    if (elapsed < 0)
        return wait;
    return elapsed >= wait ? 0 : wait - elapsed;
}

void GuessLedger::Wrong(const std::string& origin, int64_t now)
{
    Load();
    Entry& entry = entries[origin];
    if (entry.failures < 1000)
        ++entry.failures;
    entry.last = now;
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
    if (entries.erase(origin) > 0)
        Save();
}

void GuessLedger::Load()
{
    if (file.empty())
        return;  // in memory only
    std::ifstream in(fs::u8path(file), std::ios::binary);
    if (!in)
        return;  // nothing written yet, or not ours to read: what we know stays
    std::stringstream text;
    text << in.rdbuf();
    if (text.str().size() > MAX_FILE_BYTES)
        return;
    nlohmann::json saved = nlohmann::json::parse(text.str(), nullptr, false);
    if (!saved.is_object())
        return;
    std::map<std::string, Entry> read;
    for (const auto& item : saved.items()) {
        const nlohmann::json& value = item.value();
        if (!value.is_object() || !value.contains("failures") || !value.contains("last") ||
            !value["failures"].is_number_unsigned() || !value["last"].is_number_integer())
            continue;
        Entry entry;
        entry.failures = value["failures"].get<unsigned>();
        entry.last = value["last"].get<int64_t>();
        read[item.key()] = entry;
    }
    entries.swap(read);
}

void GuessLedger::Save() const
{
    if (file.empty())
        return;
    nlohmann::json saved = nlohmann::json::object();
    for (const auto& entry : entries)
        saved[entry.first] = {{"failures", entry.second.failures}, {"last", entry.second.last}};
    const fs::path path = fs::u8path(file);
    MakeFolders(path.parent_path().u8string(), 0700);
    // Written beside and renamed over: a reader never sees half a file.
    fs::path partial = path;
    partial += ".new";
    {
        std::ofstream out(partial, std::ios::binary | std::ios::trunc);
        out << saved.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        if (!out)
            return;
    }
    std::error_code ignored;
    fs::rename(partial, path, ignored);
}

} // namespace NATIVEHOST
