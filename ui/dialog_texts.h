#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "model/settings_table.h"
#include "model/translatable.h"

namespace pixolune::ui {

// A value put into a text: a name or number as it stands, or a text of ours
// (a control's label) that is translated with the rest.
struct UiArg {
    std::string text;
    bool ours = false;
    // A control's label of ours named in a sentence: without its closing ':'.
    bool label = false;
};

// A text for the user: one of the texts below, with %1, %2... filled from
// `args`. The widgets translate `source` (and the args that are ours); the
// logic and its tests read the English.
struct UiText {
    std::string source;
    std::vector<UiArg> args;

    UiText() = default;
    UiText(const char* text) : source(text) {}  // NOLINT: every text of ours is one
    UiText(std::string text, std::vector<UiArg> values)
        : source(std::move(text)), args(std::move(values)) {}
    [[nodiscard]] bool empty() const { return source.empty(); }
};

// The English text, the placeholders filled in one pass (a value holding
// "%2" stays as it is).
[[nodiscard]] std::string English(const UiText& text);
[[nodiscard]] std::string WithoutClosingColon(std::string text);

// The dialogs' string table, marked for lupdate: the English as it stands,
// translated where the dialogs show it.
inline constexpr const char* kTextNotAuthenticated = QT_TRANSLATE_NOOP(
    "pixolune::ui",
    "Pixolune Plugin is currently not authenticated, please click on the Authorize button, log "
    "in and allow this plugin to access your account");
inline constexpr const char* kTextAuthenticated =
    QT_TRANSLATE_NOOP("pixolune::ui", "Pixolune Plugin is currently authenticated");
inline constexpr const char* kTextNoMediaTypes = QT_TRANSLATE_NOOP(
    "pixolune::ui", "No download media types selected. Please choose photo, video or both.");
inline constexpr const char* kTextFolderEmpty = QT_TRANSLATE_NOOP(
    "pixolune::ui",
    "Destination folder for downloaded item is empty. Please enter the name of an existing "
    "folder complete with path name.");
inline constexpr const char* kTextFolderMissing = QT_TRANSLATE_NOOP(
    "pixolune::ui", "Configured folder doesn't exist, please enter the name of an existing folder");
inline constexpr const char* kTextSelectFolder = QT_TRANSLATE_NOOP("pixolune::ui", "Select Folder");
inline constexpr const char* kTextShortPolling = QT_TRANSLATE_NOOP(
    "pixolune::ui",
    "You set polling time to a rather short value, this may cause a heavy load on the web "
    "server. If the feed doesn't change so often think about using an update time longer than "
    "60 minutes.");
inline constexpr const char* kTextAuthorizationDenied =
    QT_TRANSLATE_NOOP("pixolune::ui", "Authorization has been denied");
inline constexpr const char* kTextAuthorizationError =
    QT_TRANSLATE_NOOP("pixolune::ui", "The response from Pixolune returned an error");

// Shown in place of the account text while the account check runs.
inline constexpr const char* kTextCheckingAccount =
    QT_TRANSLATE_NOOP("pixolune::ui", "Checking account\u2026");
// The login window's own page when the service's page cannot be loaded.
inline constexpr const char* kTextLoginPageFailed = QT_TRANSLATE_NOOP(
    "pixolune::ui",
    "The Pixolune login page could not be loaded. Check the network connection, then close "
    "this window and click Authorize... again.");

// Number edits: the message names the field and its bounds. The settings'
// own messages are in their rows of kSettings.
inline constexpr const char* kTextRowMaxFilesRange = QT_TRANSLATE_NOOP(
    "pixolune::ui", "\"%1\", Max N. of files: enter an integer between %2 and %3.");

// %1: the label of the feed kind that takes tags.
inline constexpr const char* kTextNoTags =
    QT_TRANSLATE_NOOP("pixolune::ui", "\"%1\": enter at least one tag; separate tags with commas.");
inline constexpr const char* kTextTagsPlaceholder =
    QT_TRANSLATE_NOOP("pixolune::ui", "Tags, separated by commas");
inline constexpr const char* kTextFolderRelative = QT_TRANSLATE_NOOP(
    "pixolune::ui",
    "The folder must be a full path starting with /. Please enter the name of an existing "
    "folder complete with path name.");
inline constexpr const char* kTextFolderUnusable = QT_TRANSLATE_NOOP(
    "pixolune::ui",
    "The folder %1 can't be used for downloads (%2). Please choose a folder you may write to.");

// The account check that failed, by what failed.
inline constexpr const char* kTextAuthenticatedAs =
    QT_TRANSLATE_NOOP("pixolune::ui", "Pixolune Plugin is currently authenticated\n%1 (%2)");
inline constexpr const char* kTextAccountNotChecked = QT_TRANSLATE_NOOP(
    "pixolune::ui",
    "Pixolune Plugin is authenticated, but the account could not be checked now. The sign-in "
    "is kept.");
inline constexpr const char* kTextSignInRefused =
    QT_TRANSLATE_NOOP("pixolune::ui", "The Pixolune service refused the sign-in; authorize again.");
inline constexpr const char* kTextServiceFailed = QT_TRANSLATE_NOOP(
    "pixolune::ui",
    "The Pixolune service failed to answer the account check (%1). The sign-in is kept; try "
    "again later.");
inline constexpr const char* kTextServiceUnreachable = QT_TRANSLATE_NOOP(
    "pixolune::ui",
    "The Pixolune service could not be reached (%1). Check the network connection; the sign-in "
    "is kept.");

// The sign-in window's own lines.
inline constexpr const char* kTextSignInNotCompleted = QT_TRANSLATE_NOOP(
    "pixolune::ui",
    "The sign-in did not complete: the answer did not come from the Pixolune sign-in page. "
    "Close this window and click Authorize... again.");
inline constexpr const char* kTextOtherSiteRefused = QT_TRANSLATE_NOOP(
    "pixolune::ui", "This window only shows the Pixolune sign-in; the page of %1 was not opened.");
inline constexpr const char* kTextNewWindowRefused = QT_TRANSLATE_NOOP(
    "pixolune::ui",
    "This window only shows the Pixolune sign-in; the new window a page asked for was not "
    "opened.");
inline constexpr const char* kTextSignInAsRoot = QT_TRANSLATE_NOOP(
    "pixolune::ui",
    "The sign-in cannot open: this program runs as root, and the web view that shows the "
    "Pixolune page does not run as root with its sandbox on.\n\nRun the slide show and its "
    "settings as an ordinary user, or, if you accept that the sign-in page runs without the "
    "sandbox, start the settings again with QTWEBENGINE_DISABLE_SANDBOX=1 set, for example: "
    "QTWEBENGINE_DISABLE_SANDBOX=1 kalhost configure");
inline constexpr const char* kTextServiceDoesNotAnswer =
    QT_TRANSLATE_NOOP("pixolune::ui", "The Pixolune service does not answer.");
inline constexpr const char* kTextTryAgain = QT_TRANSLATE_NOOP("pixolune::ui", "&Try Again");

inline constexpr const char* kTextHelp = QT_TRANSLATE_NOOP(
    "pixolune::ui",
    "PlugIn Enabled: download media while the slide show runs.\n"
    "Folder: the full path of an existing folder you may write to; the photos and videos "
    "go there, and files that left the feeds are removed from it.\n"
    "Feeds: choose which lists to follow and how many files to take from each; tags are "
    "separated by commas.\n"
    "Check downloads every N minutes: how often the feeds are read (0: only at startup).\n"
    "Settings...: slide show restart, descriptions and the removal of old files.\n\n"
    "To sign in, click Authorize..., log in to Pixolune and allow this plugin to access your "
    "account; OK keeps the sign-in.\n\n"
    "The plug-in writes what it does to the host's log (kalhost prints it on its console).");

// A number outside its setting's range: the row's message, naming the bounds.
[[nodiscard]] UiText RangeMessage(const SettingRow& row);

// "Pixolune Plugin is currently authenticated\n%s (%s)" with full name and user name.
[[nodiscard]] UiText AuthenticatedAsText(const std::string& fullName, const std::string& userName);

// Caption of every message box the dialogs show.
inline constexpr const char* kMessageBoxCaption =
    QT_TRANSLATE_NOOP("pixolune::ui", "Pixolune PlugIn");

}  // namespace pixolune::ui
