#include "ui/main_dialog_logic.h"

#include "ui/dialog_texts.h"
#include "ui/integer_exchange.h"

namespace pixolune::ui {
namespace {

int RowOfType(int32_t type) {
    const FeedKind* kind = FindFeedKind(type);
    return kind ? static_cast<int>(kind - kFeedKinds) : -1;
}

[[nodiscard]] std::optional<MainExchangeFailure> Fail(MainControl control, std::string message,
                                                      int row = -1) {
    return MainExchangeFailure{control, row, std::move(message)};
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
        controls.rows[row].maxFiles = std::to_string(feed.MaxP);
        if (kFeedKinds[row].takesTags) controls.tags = feed.Tags;
    }
    controls.pluginEnabled = values.Enabled != 0;
    controls.folder = values.ImgFolder;
    controls.minutes = std::to_string(values.tmUpdate);
    controls.photos = values.DwlPhoto != 0;
    controls.videos = values.DwlVideo != 0;
    return controls;
}

std::optional<MainExchangeFailure> SaveMainControls(const MainDialogControls& controls,
                                                    ConfigurationValues& values,
                                                    const ConfirmQuestion& confirmShortPolling,
                                                    const FolderProbe& isFolder) {
    int32_t minutes = 0;
    if (auto message = ExchangeInteger(controls.minutes, 0, kMinutesMax, minutes)) {
        return Fail(MainControl::Minutes, *message);
    }
    std::array<int32_t, kFeedRowCount> maxFiles{};
    for (int row = 0; row < kFeedRowCount; ++row) {
        // Rows that are disabled or unchecked are checked as well.
        if (auto message = ExchangeInteger(controls.rows[row].maxFiles, kMaxFilesMin, kMaxFilesMax,
                                           maxFiles[row])) {
            return Fail(MainControl::FeedMaxFiles, *message, row);
        }
    }
    if (minutes < kShortPollingMinutes && !confirmShortPolling(kTextShortPolling)) {
        return Fail(MainControl::Videos, "");
    }
    if (controls.folder.empty()) return Fail(MainControl::Folder, kTextFolderEmpty);
    // A file of that name is no place for media: only an existing folder passes.
    if (!isFolder(controls.folder)) return Fail(MainControl::Folder, kTextFolderMissing);
    if (!controls.photos && !controls.videos) return Fail(MainControl::Photos, kTextNoMediaTypes);

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
        case MainControl::Photos:
        case MainControl::Videos:
            return enabling.mediaKinds;
    }
    return false;
}

}  // namespace pixolune::ui
