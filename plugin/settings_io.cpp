#include "plugin/settings_io.h"

#include <cstdio>
#include <mutex>

#include "model/host_link.h"
#include "model/settings_table.h"
#include "platform/token_store.h"
#include "platform/user_registry.h"
#include "plugin/host_store.h"

namespace pixolune {
namespace {

// A stored number outside a refusing row's range takes the row's default.
int ReadNumber(const SettingRow& row) {
    const int stored = ReadHostInt(kSettingsSection, row.key, row.loadDefault);
    if (row.range.stored == StoredRange::Taken) return stored;
    if (stored >= row.range.lowest && stored <= row.range.highest) return stored;
    Log("LoadSettings: %s=%d is out of range (%d to %d), %d used", row.key, stored,
        row.range.lowest, row.range.highest, row.loadDefault);
    return row.loadDefault;
}

void ReadSetting(const SettingRow& row, DialogSettings& values) {
    if (row.text)
        values.*row.text = ReadHostText(kSettingsSection, row.key, "");
    else
        values.*row.number = ReadNumber(row);
}

void WriteSetting(const SettingRow& row, const DialogSettings& values) {
    if (row.text)
        WriteHostText(kSettingsSection, row.key, values.*row.text);
    else
        WriteHostInt(kSettingsSection, row.key, values.*row.number);
}

// The field a row of kSettings or kFeedSettings names, from one record to another.
template <typename Row, typename Record>
void CopyField(const Row& row, const Record& from, Record& to) {
    if (row.text)
        to.*row.text = from.*row.text;
    else
        to.*row.number = from.*row.number;
}

std::string FeedKey(size_t index, const FeedSettingRow& row) {
    char key[64];
    std::snprintf(key, sizeof(key), "Feed%zu_%s", index, row.suffix);
    return key;
}

void ReadFeedSetting(size_t index, const FeedSettingRow& row, CPixoluneFeed& feed) {
    const std::string key = FeedKey(index, row);
    if (row.text)
        feed.*row.text = ReadHostText(kSettingsSection, key.c_str(), "");
    else
        feed.*row.number = ReadHostInt(kSettingsSection, key.c_str(), row.loadDefault);
}

void WriteFeedSetting(size_t index, const FeedSettingRow& row, const CPixoluneFeed& feed) {
    const std::string key = FeedKey(index, row);
    if (row.text)
        WriteHostText(kSettingsSection, key.c_str(), feed.*row.text);
    else
        WriteHostInt(kSettingsSection, key.c_str(), feed.*row.number);
}

// White space around a token is never part of it: a file written with echo
// ends in a line break, which would otherwise travel inside every API URL.
std::string TrimmedToken(const std::string& text) {
    const char* const blanks = " \t\r\n\v\f";
    const size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// Tells the user what to do about a token file the plug-in refused to read.
void LogRefusedToken(const char* valueName, platform::RegistryReadStatus status) {
    const std::string path = platform::RegistryKeyFolder(kTokenKeyPath) + "/" + valueName;
    const char* why = platform::DescribeRegistryStatus(status);
    switch (status) {
        case platform::RegistryReadStatus::NotPrivate:
            Log("LoadFeedsAndToken: token value %s not used (%s); to use it, run: chmod 600 %s",
                valueName, why, path.c_str());
            break;
        case platform::RegistryReadStatus::SymbolicLink:
            Log("LoadFeedsAndToken: token value %s not used (%s); to use it, replace the link by "
                "a plain file of mode 600: %s",
                valueName, why, path.c_str());
            break;
        default:
            Log("LoadFeedsAndToken: token value %s not used (%s): %s", valueName, why,
                path.c_str());
    }
}

platform::TokenStore Tokens() {
    return platform::TokenStore();
}

// A person reading the log learns once why the token is not in the keyring,
// not at every load; a new reason is said again.
void SayOnceWhyTheFileIsUsed(const char* operation, const std::string& path,
                             const std::string& why) {
    static std::mutex mutex;
    static std::string lastSaid;  // guarded by mutex
    {
        const std::lock_guard<std::mutex> lock(mutex);
        if (why == lastSaid) return;
        lastSaid = why;
    }
    Log("%s: the token is kept in the file %s, not in the desktop's keyring: %s", operation,
        path.c_str(), why.c_str());
}

std::string LoadToken(int hostVariant) {
    const char* valueName = TokenValueName(hostVariant);
    const platform::TokenStore tokens = Tokens();
    const platform::StoredToken read = tokens.Read(valueName);
    if (read.fileStatus != platform::RegistryReadStatus::Ok &&
        read.fileStatus != platform::RegistryReadStatus::Missing) {
        LogRefusedToken(valueName, read.fileStatus);
    }
    if (read.place == platform::TokenPlace::File) {
        SayOnceWhyTheFileIsUsed(
            "LoadFeedsAndToken", tokens.FilePath(valueName),
            read.keyring.Usable() ? "it moves there at the next save" : read.keyring.problem);
    } else if (read.keyring.state == platform::KeyringState::Locked) {
        Log("LoadFeedsAndToken: token value %s in the desktop's keyring not used: %s", valueName,
            read.keyring.problem.c_str());
    }
    return TrimmedToken(read.text);
}

// An empty token replaces the stored value only when the user cleared the
// token or nothing is stored: a token the load refused, or one another
// session stored since, is the user's login and must survive the save.
bool MayStoreEmptyToken(const char* valueName, const std::string& tokenAtLoad) {
    if (!tokenAtLoad.empty()) return true;  // the user cleared it in the dialog
    const platform::StoredToken stored = Tokens().Read(valueName);
    const bool refusedFile = stored.fileStatus != platform::RegistryReadStatus::Ok &&
                             stored.fileStatus != platform::RegistryReadStatus::Missing;
    if (!refusedFile && stored.place == platform::TokenPlace::None) return true;
    Log("SaveFeedsAndToken: stored token value %s left as it is (%s)", valueName,
        refusedFile ? platform::DescribeRegistryStatus(stored.fileStatus) : "not loaded");
    return false;
}

// The keyring's manager lists the item under this label.
std::string TokenLabel(int hostVariant) {
    return hostVariant == 1 ? "Pixolune plug-in sign-in (second host product, TokenNVX)"
                            : "Pixolune plug-in sign-in (Kaleidra, TokenKAL)";
}

void SaveToken(int hostVariant, const std::string& token, const std::string& tokenAtLoad) {
    const char* valueName = TokenValueName(hostVariant);
    if (token.empty() && !MayStoreEmptyToken(valueName, tokenAtLoad)) return;
    const platform::TokenStore tokens = Tokens();
    const platform::SavedToken saved = tokens.Write(valueName, TokenLabel(hostVariant), token);
    if (!saved.outcome) {
        // The token stays in memory; the next save tries again.
        Log("SaveFeedsAndToken: token not stored, %s", saved.outcome.Error().c_str());
    } else if (saved.place == platform::TokenPlace::File) {
        SayOnceWhyTheFileIsUsed("SaveFeedsAndToken", tokens.FilePath(valueName),
                                saved.keyring.problem);
    } else if (saved.place == platform::TokenPlace::Keyring) {
        Log("SaveFeedsAndToken: token value %s kept in the desktop's keyring", valueName);
    }
}

int BoundFeedCount(int stored) {
    if (stored >= 0 && stored <= kMaxStoredFeeds) return stored;
    Log("LoadFeedsAndToken: nFeeds=%d is out of range, %d feeds loaded", stored,
        stored < 0 ? 0 : kMaxStoredFeeds);
    return stored < 0 ? 0 : kMaxStoredFeeds;
}

}  // namespace

LoadedSettings LoadSettings(int hostVariant) {
    LoadedSettings loaded;
    for (const SettingRow& row : kSettings) ReadSetting(row, loaded.values);
    loaded.token = LoadToken(hostVariant);
    const int count = BoundFeedCount(ReadHostInt(kSettingsSection, "nFeeds", 0));
    loaded.feeds.resize(static_cast<size_t>(count));
    for (size_t i = 0; i < loaded.feeds.size(); ++i)
        for (const FeedSettingRow& row : kFeedSettings) ReadFeedSetting(i, row, loaded.feeds[i]);
    return loaded;
}

void ApplyLoadedSettings(const LoadedSettings& loaded, PluginSettings& settings, FeedArray& feeds,
                         std::string& token) {
    for (const SettingRow& row : kSettings)
        CopyField<SettingRow, DialogSettings>(row, loaded.values, settings);
    token = loaded.token;
    // Entries that already existed keep their items, schedule and retries.
    feeds.resize(loaded.feeds.size());
    for (size_t i = 0; i < feeds.size(); ++i)
        for (const FeedSettingRow& row : kFeedSettings) CopyField(row, loaded.feeds[i], feeds[i]);
    if (settings.IsSecondHost()) {
        settings.DwlPhoto = 1;
        settings.DwlVideo = 0;
    }
    settings.SettingsChanged = 0;
}

void SaveSettings(const PluginSettings& settings, const FeedArray& feeds, const std::string& token,
                  const std::string& tokenAtLoad) {
    for (const SettingRow& row : kSettings) WriteSetting(row, settings);
    SaveToken(settings.HostVariant, token, tokenAtLoad);
    WriteHostInt(kSettingsSection, "nFeeds", static_cast<int>(feeds.size()));
    for (size_t i = 0; i < feeds.size(); ++i)
        for (const FeedSettingRow& row : kFeedSettings) WriteFeedSetting(i, row, feeds[i]);
    WriteHostInt(kHostSection, kRebuildListKey, 1);
}

}  // namespace pixolune
