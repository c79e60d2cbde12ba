#include "ui/main_dialog_logic.h"

#include <algorithm>
#include <cerrno>

#include "ui/dialog_texts.h"
#include "ui/integer_exchange.h"

namespace pixolune::ui {
namespace {

int RowOfType(int32_t type) {
    const FeedKind* kind = FindFeedKind(type);
    return kind ? static_cast<int>(kind - kFeedKinds) : -1;
}

[[nodiscard]] std::optional<MainExchangeFailure> Fail(MainControl control, UiText message,
                                                      int row = -1) {
    return MainExchangeFailure{control, row, std::move(message)};
}

// The message for a folder the worker would refuse, as the user reads it.
UiText FolderMessage(const std::string& folder, const platform::Outcome& problem) {
    if (folder.empty()) return kTextFolderEmpty;
    if (folder.front() != '/') return kTextFolderRelative;
    if (problem.ErrorNumber() == ENOENT) return kTextFolderMissing;
    return {kTextFolderUnusable, {{folder}, {problem.Error()}}};
}

// Tags are separated by commas; commas and blanks alone name none.
bool HasAnyTag(const std::string& tags) {
    return tags.find_first_not_of(", \t\r\n") != std::string::npos;
}

// The number a greyed-out row keeps: the one it was loaded with.
int32_t LoadedMaxFiles(const ConfigurationValues& values, int row) {
    const std::string loaded = LoadMainControls(values).rows[row].maxFiles;
    return IntegerInRange(loaded, kMaxFilesMin, kMaxFilesMax).value_or(kDefaultRowMaxFiles);
}

FeedArray FeedsFromRows(const MainDialogControls& controls,
                        const std::array<int32_t, kFeedRowCount>& maxFiles) {
    FeedArray feeds;
    for (int row = 0; row < kFeedRowCount; ++row) {
        if (!controls.rows[row].checked) continue;
        CPixoluneFeed feed;
        feed.Type = kFeedKinds[row].type;
        feed.MaxP = maxFiles[row];
        feed.Flg = kFeedEnabledFlag;
        if (kFeedKinds[row].takesTags) feed.Tags = controls.tags;
        feeds.push_back(std::move(feed));
    }
    return feeds;
}

}  // namespace

bool HasToken(const std::string& token) {
    return !TrimWhiteSpace(token).empty();
}

MainDialogControls LoadMainControls(const ConfigurationValues& values) {
    MainDialogControls controls;
    const size_t looked = std::min<size_t>(values.Feeds.size(), kFeedRowCount);
    for (size_t i = 0; i < looked; ++i) {
        const CPixoluneFeed& feed = values.Feeds[i];
        const int row = RowOfType(feed.Type);
        if (row < 0) continue;
        controls.rows[row].checked = true;
        // A stored number above the limit shows as the limit the queries use.
        controls.rows[row].maxFiles = std::to_string(std::min(feed.MaxP, kMaxFilesMax));
        if (kFeedKinds[row].takesTags) controls.tags = feed.Tags;
    }
    controls.pluginEnabled = values.Enabled != 0;
    controls.folder = values.ImgFolder;
    controls.minutes = std::to_string(values.tmUpdate);
    controls.photos = values.DwlPhoto != 0;
    controls.videos = values.DwlVideo != 0;
    return controls;
}

const char* FeedRowName(int row) {
    return row >= 0 && row < kFeedRowCount ? kFeedKinds[row].label : "";
}

std::optional<MainExchangeFailure> SaveMainControls(const MainDialogControls& controls,
                                                    ConfigurationValues& values,
                                                    const MainEnabling& enabling,
                                                    const ConfirmQuestion& confirmShortPolling,
                                                    const FolderProbe& folderProblem) {
    int32_t minutes = values.tmUpdate;
    if (enabling.folderAndTiming) {
        constexpr const SettingRow& minutesRow = SettingOf(&DialogSettings::tmUpdate);
        const auto typed =
            IntegerInRange(controls.minutes, minutesRow.range.lowest, minutesRow.range.highest);
        if (!typed) return Fail(MainControl::Minutes, RangeMessage(minutesRow));
        minutes = *typed;
    }
    std::array<int32_t, kFeedRowCount> maxFiles{};
    for (int row = 0; row < kFeedRowCount; ++row) {
        maxFiles[row] = LoadedMaxFiles(values, row);
        if (!enabling.rowFields[row]) continue;
        const auto typed = IntegerInRange(controls.rows[row].maxFiles, kMaxFilesMin, kMaxFilesMax);
        if (!typed) {
            return Fail(MainControl::FeedMaxFiles,
                        {kTextRowMaxFilesRange,
                         {{FeedRowName(row), true, true},
                          {std::to_string(kMaxFilesMin)},
                          {std::to_string(kMaxFilesMax)}}},
                        row);
        }
        maxFiles[row] = *typed;
    }
    // A tag feed without tags would ask the service for nothing.
    const int tagRow = kFeedTagged - 1;
    if (enabling.rowFields[tagRow] && !HasAnyTag(controls.tags))
        return Fail(MainControl::Tags, {kTextNoTags, {{FeedRowName(tagRow), true, true}}});
    if (enabling.folderAndTiming && minutes < kShortPollingMinutes &&
        !confirmShortPolling(kTextShortPolling)) {
        return Fail(MainControl::Minutes, UiText());
    }
    if (enabling.folderAndTiming) {
        const platform::Outcome problem = folderProblem(controls.folder);
        if (controls.folder.empty() || !problem)
            return Fail(MainControl::Folder, FolderMessage(controls.folder, problem));
    }
    if (enabling.mediaKinds && !controls.photos && !controls.videos)
        return Fail(MainControl::Photos, kTextNoMediaTypes);

    values.Enabled = controls.pluginEnabled ? 1 : 0;
    values.ImgFolder = controls.folder;
    values.tmUpdate = minutes;
    values.DwlPhoto = controls.photos ? 1 : 0;
    values.DwlVideo = controls.videos ? 1 : 0;
    values.Feeds = FeedsFromRows(controls, maxFiles);
    return std::nullopt;
}

MainEnabling ComputeMainEnabling(bool pluginEnabled, bool hasToken, int hostVariant,
                                 const std::array<bool, kFeedRowCount>& rowChecked) {
    MainEnabling enabling;
    enabling.folderAndTiming = pluginEnabled;
    enabling.mediaKinds = pluginEnabled && hostVariant != 1;
    enabling.feedChecks = pluginEnabled && hasToken;
    for (int row = 0; row < kFeedRowCount; ++row) {
        enabling.rowFields[row] = enabling.feedChecks && rowChecked[row];
    }
    return enabling;
}

bool IsEnabledByRules(const MainEnabling& enabling, MainControl control, int row) {
    switch (control) {
        case MainControl::PluginEnabled:
            return true;
        case MainControl::Folder:
        case MainControl::Minutes:
            return enabling.folderAndTiming;
        case MainControl::FeedMaxFiles:
            return row >= 0 && row < kFeedRowCount && enabling.rowFields[row];
        case MainControl::Tags:
            return enabling.rowFields[kFeedTagged - 1];
        case MainControl::Photos:
        case MainControl::Videos:
            return enabling.mediaKinds;
    }
    return false;
}

}  // namespace pixolune::ui
