#pragma once

#include <array>
#include <functional>
#include <optional>
#include <string>

#include "model/configuration_values.h"
#include "model/feed_kinds.h"
#include "platform/outcome.h"
#include "ui/dialog_texts.h"

namespace pixolune::ui {

inline constexpr int kFeedRowCount = kFeedKindCount;  // one row per kind, in kFeedKinds' order
inline constexpr int32_t kDefaultRowMaxFiles = 100;
inline constexpr int32_t kMaxFilesMin = 1;
inline constexpr int32_t kMaxFilesMax = kMaxItemsPerList;  // what a query takes at most
inline constexpr int32_t kShortPollingMinutes = 60;

// The controls of the main settings dialog that validation can name.
enum class MainControl { PluginEnabled, Folder, Minutes, FeedMaxFiles, Tags, Photos, Videos };

struct FeedRowControls {
    bool checked = false;
    std::string maxFiles = std::to_string(kDefaultRowMaxFiles);
};

// What the main dialog's controls hold, as texts and check states.
struct MainDialogControls {
    bool pluginEnabled = false;
    std::string folder;
    std::string minutes;
    std::array<FeedRowControls, kFeedRowCount> rows;
    std::string tags;
    bool photos = false;
    bool videos = false;
};

// The control that gets the focus and the message to show; an empty message
// shows nothing (the user has already answered a question).
struct MainExchangeFailure {
    MainControl control;
    int row = -1;  // for FeedMaxFiles: 0 to 4
    UiText message;
};

// Asks the user an OK/Cancel question; true for OK.
using ConfirmQuestion = std::function<bool(const std::string& text)>;
// Why downloads cannot go to the folder at `path`, or empty when they can
// (MediaFolderProblem: the worker's own rule).
using FolderProbe = std::function<platform::Outcome(const std::string& path)>;

// The English label of each feed row, top to bottom, as the feed kinds' table
// has it (a message names it without its colon).
[[nodiscard]] const char* FeedRowName(int row);

struct MainEnabling;

// Fills the controls from the dialog's values: the first five feeds by type
// (a later feed of the same type wins, other types are ignored).
[[nodiscard]] MainDialogControls LoadMainControls(const ConfigurationValues& values);

// The exchange on OK, in the dialog's order; the first failure stops it and
// leaves `values` untouched. A control that `enabling` greys out is not
// checked: a number there keeps the value it was loaded with. On success the
// feed array is rebuilt from the checked rows and every edited field is replaced.
[[nodiscard]] std::optional<MainExchangeFailure> SaveMainControls(
    const MainDialogControls& controls, ConfigurationValues& values, const MainEnabling& enabling,
    const ConfirmQuestion& confirmShortPolling, const FolderProbe& folderProblem);

// Which controls are enabled.
struct MainEnabling {
    bool folderAndTiming =
        false;                // folder label, edit, "...", minutes, "Settings...", "Authorize..."
    bool mediaKinds = false;  // "Photos", "Videos"
    bool feedChecks = false;  // the five feed check boxes
    // Each row's label and edit; the row of a kind that takes tags also the tags edit.
    std::array<bool, kFeedRowCount> rowFields{};
};

[[nodiscard]] MainEnabling ComputeMainEnabling(bool pluginEnabled, bool hasToken, int hostVariant,
                                               const std::array<bool, kFeedRowCount>& rowChecked);

// Whether the enabling rules leave `control` (of feed row `row`) enabled. A
// failed validation puts the focus only on such a control and never unlocks
// one: a locked "Videos" must not become a value the host may not get.
[[nodiscard]] bool IsEnabledByRules(const MainEnabling& enabling, MainControl control, int row);

// A token is only a token when something is left after trimming.
[[nodiscard]] bool HasToken(const std::string& token);

}  // namespace pixolune::ui
