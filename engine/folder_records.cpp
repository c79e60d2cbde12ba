#include "engine/folder_records.h"

#include "engine/local_names.h"
#include "engine/prune.h"
#include "engine/users_sidecars.h"
#include "model/host_link.h"
#include "platform/url_parts.h"

namespace pixolune {
namespace {

std::string SidecarOf(const std::string& fileName) {
    std::string sidecar = fileName;
    ReplaceExtension(sidecar, kSidecarSuffix);
    return sidecar;
}

}  // namespace

const CFileData* FolderRecords::Find(const std::string& url) const {
    const auto record = files_.find(url);
    return record == files_.end() ? nullptr : &record->second;
}

std::optional<std::string> FolderRecords::OldAddressOf(const std::string& url,
                                                       const std::string& fileName) const {
    const auto [first, last] = byName_.equal_range(std::string_view(fileName));
    if (first == last) return std::nullopt;
    const std::string address = platform::AddressWithoutQuery(url);
    for (auto named = first; named != last; ++named)
        if (*named->second != url && platform::AddressWithoutQuery(*named->second) == address)
            return *named->second;
    return std::nullopt;
}

void FolderRecords::Store(const std::string& url, const std::string& fileName) {
    newFiles_ = true;
    const auto [first, last] = byName_.equal_range(std::string_view(fileName));
    std::vector<std::string> older;
    for (auto named = first; named != last; ++named)
        if (*named->second != url) older.push_back(*named->second);
    for (const std::string& olderUrl : older) Erase(files_.find(olderUrl));
    const auto known = files_.find(url);
    if (known != files_.end()) Erase(known);
    Index(*files_.emplace(url, CFileData{fileName, url, 1}).first);
}

void FolderRecords::MoveAddress(const std::string& from, const std::string& to) {
    const auto record = files_.find(from);
    if (record == files_.end()) return;
    const std::string fileName = record->second.LocalName;
    Erase(record);
    const auto taken = files_.find(to);
    if (taken != files_.end()) Erase(taken);
    Index(*files_.emplace(to, CFileData{fileName, to, 1}).first);
    changed_ = true;
}

void FolderRecords::Drop(const std::string& url) {
    const auto record = files_.find(url);
    if (record == files_.end()) return;
    Erase(record);
    changed_ = true;
}

void FolderRecords::MarkSeen(const std::string& url) {
    const auto record = files_.find(url);
    if (record != files_.end()) record->second.Seen = 1;
}

void FolderRecords::ForgetSeen() {
    for (auto& entry : files_) entry.second.Seen = 0;
}

size_t FolderRecords::Prune(platform::FileSystem& fileSystem, const PluginSettings& settings,
                            int64_t nowSeconds, size_t* stampedAnew) {
    const size_t pruned =
        PruneFiles(fileSystem, files_, settings, nowSeconds, usersSidecars_, stampedAnew);
    if (pruned == 0) return 0;
    changed_ = true;
    Reindex();
    return pruned;
}

FolderRecords::Loaded FolderRecords::Load(platform::FileSystem& fileSystem,
                                          const std::string& folder) {
    Clear();
    Loaded loaded;
    loaded.list = ReadListFile(fileSystem, MediaPath(folder, kListFileName), files_);
    loaded.listed = files_.size();
    usersSidecars_ = ReadUsersSidecars(fileSystem, MediaPath(folder, kUsersSidecarsFileName));
    if (loaded.list.Readable())
        loaded.journal =
            MergeJournal(fileSystem, MediaPath(folder, kJournalFileName), folder, files_);
    if (!loaded.list.Readable() || !loaded.journal.Readable()) {
        // Unknown records: nothing may be decided on a part of them.
        Clear();
        return loaded;
    }
    // The journal's files reach the list with the next write.
    newFiles_ = loaded.journal.added > 0;
    Reindex();
    // A store cut short between its sidecar and its rename left the sidecar
    // alone: ours, unless the user's or shared with another file.
    for (const std::string& name : loaded.journal.unnamed)
        if (!HasName(name)) RemoveSidecarOfGoneFile(fileSystem, folder, name, usersSidecars_);
    return loaded;
}

FolderRecords::Saved FolderRecords::Save(platform::FileSystem& fileSystem,
                                         const std::string& folder) {
    // A sidecar no file of ours shares any more is the user's alone: not ours to note.
    std::set<std::string> stillShared;
    for (const std::string& sidecar : usersSidecars_)
        if (SharesSidecar(sidecar)) stillShared.insert(sidecar);
    usersSidecars_ = std::move(stillShared);
    Saved saved;
    // Before the list: a kill between the two leaves the user's sidecars
    // known for every file the list names.
    saved.usersSidecars = WriteUsersSidecars(
        fileSystem, MediaPath(folder, kUsersSidecarsFileName), usersSidecars_);
    saved.list = WriteListFile(fileSystem, MediaPath(folder, kListFileName), files_);
    if (saved.list) fileSystem.Unlink(MediaPath(folder, kJournalFileName).c_str());
    return saved;
}

void FolderRecords::ClearUnsaved() {
    newFiles_ = false;
    changed_ = false;
}

void FolderRecords::Clear() {
    files_.clear();
    byName_.clear();
    bySidecar_.clear();
    usersSidecars_.clear();
    ClearUnsaved();
}

void FolderRecords::TEST_Put(const CFileData& record) {
    const auto known = files_.find(record.SourceUrl);
    if (known != files_.end()) Erase(known);
    Index(*files_.emplace(record.SourceUrl, record).first);
}

void FolderRecords::Index(const LocalFileMap::value_type& record) {
    byName_.emplace(std::string_view(record.second.LocalName), &record.first);
    ++bySidecar_[SidecarOf(record.second.LocalName)];
}

void FolderRecords::Unindex(const LocalFileMap::value_type& record) {
    const auto [first, last] = byName_.equal_range(std::string_view(record.second.LocalName));
    for (auto named = first; named != last; ++named) {
        if (named->second == &record.first) {
            byName_.erase(named);
            break;
        }
    }
    const auto shared = bySidecar_.find(SidecarOf(record.second.LocalName));
    if (shared != bySidecar_.end() && --shared->second == 0) bySidecar_.erase(shared);
}

void FolderRecords::Reindex() {
    byName_.clear();
    bySidecar_.clear();
    byName_.reserve(files_.size());
    for (const auto& record : files_) Index(record);
}

void FolderRecords::Erase(LocalFileMap::iterator record) {
    Unindex(*record);
    files_.erase(record);
}

}  // namespace pixolune
