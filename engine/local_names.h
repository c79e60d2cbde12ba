#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "platform/file_system.h"

namespace pixolune {

// The list file of the media folder.
inline constexpr const char* kListFileName = "kal_pxln_files.lst";
// Files stored since the list was last written, one URL and name pair each,
// appended as they are stored, so that a killed run cannot lose them.
inline constexpr const char* kJournalFileName = "kal_pxln_files.jnl";
// Held (flock) by the one worker that uses the folder; removed when it leaves.
inline constexpr const char* kLockFileName = "kal_pxln_files.lock";
// The user's sidecars beside files of ours, which are never deleted with them.
inline constexpr const char* kUsersSidecarsFileName = "kal_pxln_users_kprop.lst";
// Suffixes of the files the engine makes beside a media file.
inline constexpr const char* kTempSuffix = "__t";
inline constexpr const char* kSidecarSuffix = "kprop";
// The longest file name the file systems we run on accept.
inline constexpr size_t kMaxLocalNameBytes = 255;

// Where a transfer writes, in the media folder: its part, the note of the
// validator the part came with, and the naming probe. All follow from the
// item's name and address (without its query, which signed addresses
// change), so that a part cut short in one run is found again in the next,
// and all have one shape: the name, a dot, 16 hex digits of the address's
// hash, ".__t" (a note adds ".v" before it). No other name is ours to remove.
struct PartialPaths {
    std::string part;
    std::string note;
    std::string probe;  // tried and removed at once; a hash of its own
};
[[nodiscard]] PartialPaths PartialPathsFor(const std::string& folder, const std::string& fileName,
                                           const std::string& url);
enum class PartialName { None, Part, Note };
// What a file name is to the transfers: a part (or a probe) or a note of ours, or neither.
[[nodiscard]] PartialName KindOfPartialName(std::string_view name);
[[nodiscard]] inline bool IsPartialDownloadName(std::string_view name) {
    return KindOfPartialName(name) != PartialName::None;
}
// The part a note belongs to, and the note a part would have.
[[nodiscard]] std::string PartOfNote(std::string_view noteName);
[[nodiscard]] std::string NoteOfPart(std::string_view partName);

// `name` inside `folder`: a '/' goes between them unless the folder is empty
// (then the name alone, relative to the working folder) or already ends with one.
[[nodiscard]] std::string MediaPath(const std::string& folder, const std::string& name);

// Cuts the path at the last dot of its file name (dot included) and appends
// "." + suffix. Only the last path component is searched, so a dot in a
// folder name never moves the file into another folder.
void ReplaceExtension(std::string& path, const std::string& suffix);

// The file name a media URL's object path gives: the text after its last '/',
// cut before its first '?'. No decoding, no change of case.
[[nodiscard]] std::string FileNameFromObjectPath(const std::string& objectPath);

// Whether a file name may be used inside the media folder: one path component
// that is neither "." nor "..", without control characters, not hidden (the
// atomic writer's temporary files start with a dot), not one of our own
// files or suffixes, and at most kMaxLocalNameBytes long.
[[nodiscard]] bool IsUsableLocalName(std::string_view name);

enum class LocalNameStatus {
    Ok,
    Unparsable,   // the URL is no absolute URL
    Exists,       // a file, folder or link of that name is already there
    Unusable,     // the name is refused, or the file system would not create it
    Unrecordable  // the URL is too long for the list file to give back
};

struct LocalName {
    std::string fullPath;
    std::string fileName;
};

// The naming probe's empty temporary file, kept for the download that
// follows to write into: creating and deleting it first and then creating it
// again costs two inode allocations and a deletion per file, and on file
// systems without a journal every create scans past the inodes deleted in
// the last seconds, so the probes of a batch slow each other down. Removed
// when this goes, unless the download's own file has taken it over.
class KeptProbe {
  public:
    KeptProbe() = default;
    ~KeptProbe();
    KeptProbe(const KeptProbe&) = delete;
    KeptProbe& operator=(const KeptProbe&) = delete;

    void Keep(platform::FileSystem& fileSystem, std::string path, platform::FileHandle file) {
        fileSystem_ = &fileSystem;
        path_ = std::move(path);
        file_ = std::move(file);
    }
    // The probe, still open as it was created: the download's temporary file
    // owns the name from now on (and removes it itself), and never opens it
    // again by name.
    [[nodiscard]] platform::FileHandle HandOver() {
        path_.clear();
        return std::move(file_);
    }

  private:
    platform::FileSystem* fileSystem_ = nullptr;  // the one the probe was made on
    std::string path_;                            // empty: nothing kept
    platform::FileHandle file_;
};

// Makes the local name for `url` in `folder` on `fileSystem` without logging. `out` is filled
// for Ok and Exists (and for Unusable once the name was known). With
// `keptProbe`, a name found Ok leaves its probe (the empty temporary file,
// PartialPathsFor(...).probe) in place, owned by `keptProbe`.
[[nodiscard]] LocalNameStatus MakeLocalName(platform::FileSystem& fileSystem,
                                            const std::string& folder, const std::string& url,
                                            LocalName& out, KeptProbe* keptProbe = nullptr);

// Names the files of new items and says, in the log, why an item gets none.
class LocalNamer {
  public:
    explicit LocalNamer(platform::FileSystem& fileSystem) : fileSystem_(fileSystem) {}

    // MakeLocalName for an item whose URL the list can record; one it can't
    // (said here) would be downloaded anew each run and never pruned.
    [[nodiscard]] LocalNameStatus Name(const std::string& folder, const std::string& url,
                                       LocalName& name, KeptProbe* probe = nullptr);
    // Logs why no file may be made for `url`; true for Ok.
    bool Report(LocalNameStatus status, const LocalName& name, const std::string& url);
    // Names and reports at once: true when a new file may be made; the full
    // path and the file name are given for an existing file as well.
    bool BuildLocalName(const std::string& folder, const std::string& url, std::string& fullPath,
                        std::string& fileName);
    // A new run of the worker says the folder-as-name line again once.
    void ForgetSaid() { folderAsNameSaid_ = false; }

  private:
    platform::FileSystem& fileSystem_;
    // A URL naming no file (".../dir/") finds the folder itself under its
    // name; said once per worker run, not on every pass.
    bool folderAsNameSaid_ = false;
};

}  // namespace pixolune
