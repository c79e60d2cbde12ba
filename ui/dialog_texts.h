#pragma once

#include <cstdint>
#include <string>

namespace pixolune::ui {

// The dialogs' string table; the texts are shown exactly as they stand.
inline constexpr const char* kTextNotAuthenticated =
    "Pixolune Plugin is currently not authenticated, please click on the Authorize button, log "
    "in and allow this plugin to access your account";
inline constexpr const char* kTextAuthenticated = "Pixolune Plugin is currently authenticated";
inline constexpr const char* kTextNoMediaTypes =
    "No download media types selected. Please choose photo, video or both.";
inline constexpr const char* kTextFolderEmpty =
    "Destination folder for downloaded item is empty. Please enter the name of an existing "
    "folder complete with path name.";
inline constexpr const char* kTextFolderMissing =
    "Configured folder doesn't exist, please enter the name of an existing folder";
inline constexpr const char* kTextSelectFolder = "Select Folder";
inline constexpr const char* kTextShortPolling =
    "You set polling time to a rather short value, this may cause a heavy load on the web "
    "server. If the feed doesn't change so often think about using an update time longer than "
    "60 minutes.";
inline constexpr const char* kTextAuthorizationDenied = "Authorization has been denied";
inline constexpr const char* kTextAuthorizationError =
    "The response from Pixolune returned an error";

// Shown in place of the account text while the account check runs.
inline constexpr const char* kTextCheckingAccount = "Checking account\u2026";
// The login window's own page when the service's page cannot be loaded.
inline constexpr const char* kTextLoginPageFailed =
    "The Pixolune login page could not be loaded. Check the network connection, then close "
    "this window and click Authorize... again.";

// The dialog framework's own texts for number edits.
inline constexpr const char* kTextEnterInteger = "Enter an integer.";

// "Pixolune Plugin is currently authenticated\n%s (%s)" with full name and user name.
[[nodiscard]] std::string AuthenticatedAsText(const std::string& fullName,
                                              const std::string& userName);

// "Enter an integer between %1 and %2." with the bounds.
[[nodiscard]] std::string IntegerRangeText(int32_t minimum, int32_t maximum);

// Caption of every message box the dialogs show.
inline constexpr const char* kMessageBoxCaption = "Pixolune PlugIn";

}  // namespace pixolune::ui
