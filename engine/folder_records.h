#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "engine/list_file.h"
#include "model/file_data.h"
#include "model/plugin_settings.h"
#include "platform/file_system.h"
#include "platform/outcome.h"

namespace pixolune {

// The media folder's records: which file each address gave (LocalFiles), the
// user's sidecars beside files of ours, and whether the list on disk lags
// behind them. Records are found by address, by name and by the sidecar a name
// shares without a scan, so that storing a file costs the same with a hundred
// records or a hundred thousand; pruning and the list's write stay linear.
class FolderRecords {
  public:
    struct Loaded {
        ListReadResult list;
        size_t listed = 0;  // the list's own records, before the journal's
        ListReadResult journal;
    };
    struct Saved {
        platform::Outcome usersSidecars = platform::Outcome::Ok();
        platform::Outcome list = platform::Outcome::Ok();
    };

    [[nodiscard]] const LocalFileMap& Map() const { return files_; }
    [[nodiscard]] size_t Size() const { return files_.size(); }
    [[nodiscard]] const CFileData* Find(const std::string& url) const;
    [[nodiscard]] bool HasName(const std::string& fileName) const {
        return byName_.count(std::string_view(fileName)) != 0;
    }
    // Whether a recorded file would have the sidecar `sidecarName`.
    [[nodiscard]] bool SharesSidecar(const std::string& sidecarName) const {
        return bySidecar_.count(sidecarName) != 0;
    }
    // The URL of a record other than `url` with the same address but for its
    // query, whose file is `fileName`: the same media under an old signature.
    [[nodiscard]] std::optional<std::string> OldAddressOf(const std::string& url,
                                                          const std::string& fileName) const;
    [[nodiscard]] bool IsUsersSidecar(const std::string& sidecarName) const {
        return usersSidecars_.count(sidecarName) != 0;
    }
    [[nodiscard]] const std::set<std::string>& UsersSidecars() const { return usersSidecars_; }

    // A file stored under `fileName` for `url`, seen. One name, one record: an
    // older record of the name (a moved address) would take the new file with
    // it when it is pruned.
    void Store(const std::string& url, const std::string& fileName);
    // The record of `from` now stands for `to`, seen.
    void MoveAddress(const std::string& from, const std::string& to);
    void Drop(const std::string& url);
    void MarkSeen(const std::string& url);
    void ForgetSeen();
    void NoteUsersSidecar(const std::string& sidecarName) { usersSidecars_.insert(sidecarName); }
    // Removes the files no feed delivered (see PruneFiles) with their records;
    // answers how many left.
    size_t Prune(platform::FileSystem& fileSystem, const PluginSettings& settings,
                 int64_t nowSeconds, size_t* stampedAnew);

    // Files stored since the list was last written: the list must be written
    // and the show told.
    [[nodiscard]] bool HasNewFiles() const { return newFiles_; }
    // Anything the list on disk does not say yet.
    [[nodiscard]] bool Unsaved() const { return newFiles_ || changed_; }
    // The batch is over, whether or not its list could be written.
    void ClearUnsaved();

    // Replaces the records with those of `folder`: its list, the journal's
    // entries stored after it, and the user's sidecars. Records that could not
    // be read stay empty (see ListReadResult).
    [[nodiscard]] Loaded Load(platform::FileSystem& fileSystem, const std::string& folder);
    // Writes the user's sidecars (those files of ours still share) and then
    // the list; with the list written the journal goes and nothing is unsaved.
    [[nodiscard]] Saved Save(platform::FileSystem& fileSystem, const std::string& folder);
    void Clear();

    // For tests: a record put in as a lost list would have left it.
    void TEST_Put(const CFileData& record);

  private:
    void Index(const LocalFileMap::value_type& record);
    void Unindex(const LocalFileMap::value_type& record);
    void Reindex();
    void Erase(LocalFileMap::iterator record);

    LocalFileMap files_;
    // Name → URL (a list from an older run may give one name twice), both
    // viewing the strings of files_' nodes, which stay where they are.
    std::unordered_multimap<std::string_view, const std::string*> byName_;
    // Sidecar name → how many recorded names share it (a photo and a video).
    std::unordered_map<std::string, uint32_t> bySidecar_;
    std::set<std::string> usersSidecars_;
    bool newFiles_ = false;
    bool changed_ = false;  // records dropped, moved or pruned
};

}  // namespace pixolune
