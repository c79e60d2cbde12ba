#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>

#include "model/file_data.h"
#include "platform/file_system.h"
#include "platform/outcome.h"

namespace pixolune {

using LocalFileMap = std::unordered_map<std::string, CFileData>;

inline constexpr const char* kListHeader = "[Kaleidra Pixolune List]";
// The reader's line buffer: longer lines are not ours and are skipped, and
// the writer records nothing longer.
inline constexpr size_t kMaxListLineBytes = 8191;
// A damaged count never sizes the table beyond this many entries.
inline constexpr long long kMaxListReserveRecords = 1'000'000;

// Unreadable: the file is there (or may be) but could not be opened or read
// to its end; its records are unknown and nothing may replace it.
enum class ListReadStatus { Loaded, NotFound, WrongHeader, Unreadable };

// What reading the list or merging its journal came to.
struct ListReadResult {
    ListReadStatus status = ListReadStatus::NotFound;
    size_t skipped = 0;  // entries dropped: overlong or NUL-holding lines, unusable local names
    size_t added = 0;    // the journal's entries taken in
    bool trimmed = false;  // a torn last journal entry was cut off the file
    // The journal's entries whose files are not in the folder: a store a kill
    // cut short before its rename, or a file deleted since.
    std::vector<std::string> unnamed;
    // Why the file is Unreadable, or why a torn journal entry could not be cut.
    platform::Outcome failure = platform::Outcome::Ok();
    [[nodiscard]] bool Readable() const { return status != ListReadStatus::Unreadable; }
};

// Empties `files` and loads the list file at `path` into it. Entries whose
// lines are too long or hold a NUL, or whose local name would not be one
// plain file of the folder, are skipped, so that a damaged list can never
// make the pruning touch anything else. Only a missing file reads as NotFound;
// any other failure to open or read leaves `files` empty and says Unreadable.
[[nodiscard]] ListReadResult ReadListFile(platform::FileSystem& fileSystem, const std::string& path,
                                          LocalFileMap& files);

// Whether the reader would give `record` back exactly as it is: a URL of at
// most kMaxListLineBytes without line ends or NUL bytes, and a usable name.
[[nodiscard]] bool IsRecordable(const CFileData& record);
[[nodiscard]] bool IsRecordableUrl(std::string_view url);

// Appends one stored file to the journal at `path` in one write; refuses a
// record that could not be read back.
[[nodiscard]] bool AppendJournal(platform::FileSystem& fileSystem, const std::string& path,
                                 const CFileData& record);

// Adds the journal's complete entries whose files are still in `folder` to
// `files`. A cut-off last entry is trimmed from the file, so that the next
// append starts on a line of its own; a damaged entry is skipped alone. An
// Unreadable journal leaves `files` unchanged, and must be kept.
[[nodiscard]] ListReadResult MergeJournal(platform::FileSystem& fileSystem, const std::string& path,
                                          const std::string& folder, LocalFileMap& files);

// The list file's bytes: header, count and two lines per record, CR LF ends.
// A record the reader could not give back is left out (and not counted).
[[nodiscard]] std::string FormatListFile(const LocalFileMap& files);

// Replaces the list file whole; the old one stays intact on any failure.
[[nodiscard]] platform::Outcome WriteListFile(platform::FileSystem& fileSystem,
                                              const std::string& path, const LocalFileMap& files);

}  // namespace pixolune
