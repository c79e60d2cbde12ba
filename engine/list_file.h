#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>

#include "engine/file_data.h"

namespace pixolune {

using LocalFileMap = std::unordered_map<std::string, CFileData>;

inline constexpr const char* kListHeader = "[Kaleidra Pixolune List]";
// The reader's line buffer: longer lines are not ours and are skipped.
inline constexpr size_t kMaxListLineBytes = 8191;
// A damaged count never sizes the table beyond this many entries.
inline constexpr long long kMaxListReserve = 1'000'000;

enum class ListReadStatus { Loaded, NotFound, WrongHeader };

struct ListReadResult {
    ListReadStatus status = ListReadStatus::NotFound;
    size_t skipped = 0;  // entries dropped: overlong lines or unusable local names
};

// Empties `files` and loads the list file at `path` into it. Entries whose
// lines are too long or whose local name would not be one plain file of the
// folder are skipped, so that a damaged list can never make the pruning
// touch anything else.
[[nodiscard]] ListReadResult ReadListFile(const std::string& path, LocalFileMap& files);

// Appends one stored file to the journal at `path` in one write.
[[nodiscard]] bool AppendJournal(const std::string& path, const CFileData& record);

// Adds the journal's complete entries whose files are still in `folder` to
// `files`; returns how many were added. A cut-off last entry is ignored.
size_t MergeJournal(const std::string& path, const std::string& folder, LocalFileMap& files);

// The list file's bytes: header, count and two lines per record, CR LF ends.
[[nodiscard]] std::string FormatListFile(const LocalFileMap& files);

// Replaces the list file whole; the old one stays intact on any failure.
[[nodiscard]] bool WriteListFile(const std::string& path, const LocalFileMap& files,
                                 std::string* error = nullptr);

}  // namespace pixolune
