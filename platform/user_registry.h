#pragma once

#include <string>

#include "platform/outcome.h"

namespace pixolune::platform {

// A per-user store of small string values under key paths written with
// backslashes ("Software\Maker\Product"), standing in for the current user's
// registry hive. Each value is one file, "<config>/<key path>/<value name>",
// holding the text and its terminating NUL, where <config> is
// $XDG_CONFIG_HOME or else $HOME/.config. Values are written atomically with
// mode 0600 into folders of mode 0700, and never read through a symbolic link.

enum class RegistryReadStatus {
    Ok,
    Missing,       // no store, no key or no value
    Unreadable,    // not a regular file, or reading failed
    SymbolicLink,  // a link where the value's file belongs: never followed
    TooLong,       // the value and its NUL exceed the read buffer
    NotPrivate,    // group or others may read or write the file: not trusted
    NotOwned,      // the file belongs to another user: not trusted
    BadName        // the key path or value name would leave the store
};

struct RegistryRead {
    RegistryReadStatus status = RegistryReadStatus::Missing;
    std::string text;  // empty unless status is Ok
};

// Values with their NUL longer than this read as TooLong (the host's buffer size).
inline constexpr size_t kRegistryValueBuffer = 512;

[[nodiscard]] RegistryRead ReadRegistryString(const std::string& keyPath,
                                              const std::string& valueName);

// Creates the key's folders as needed; a failure says why, and leaves the
// previous value untouched.
[[nodiscard]] Outcome WriteRegistryString(const std::string& keyPath, const std::string& valueName,
                                          const std::string& text);

// $XDG_CONFIG_HOME, else $HOME/.config: where each user's settings belong.
// Empty when neither holds an absolute path; kNoUserConfigFolder says so then.
[[nodiscard]] std::string UserConfigFolder();
inline constexpr const char* kNoUserConfigFolder = "neither XDG_CONFIG_HOME nor HOME is set";

// Removes the value; nothing to remove is no failure. Anything but a plain
// file of this user in its place is left as it is and reported.
[[nodiscard]] Outcome DeleteRegistryValue(const std::string& keyPath, const std::string& valueName);

// The folder that holds the key, or empty when neither XDG_CONFIG_HOME nor HOME is set
// or the names are unusable.
[[nodiscard]] std::string RegistryKeyFolder(const std::string& keyPath);

const char* DescribeRegistryStatus(RegistryReadStatus status);

}  // namespace pixolune::platform
