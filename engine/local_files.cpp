#include <fcntl.h>

#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "engine/feed_engine.h"
#include "engine/kprop_file.h"
#include "engine/list_file.h"
#include "engine/local_names.h"
#include "engine/prune.h"
#include "engine/users_sidecars.h"
#include "model/host_link.h"
#include "platform/atomic_file.h"

namespace pixolune {
namespace {

// "." + name + ".tmp" + six characters, where name is a sidecar's.
bool IsSidecarWriteLeftover(std::string_view name) {
    const std::string_view marker = ".kprop.tmp";
    if (name.size() < 1 + marker.size() + 6 || name.front() != '.') return false;
    return name.substr(name.size() - 6 - marker.size(), marker.size()) == marker;
}

// What a killed run left: the atomic writer's temporary files, and a part
// without its note (a probe, or a part that can't be resumed) or a note
// without its part. A part with its note waits for its item.
bool IsLeftover(const std::string& name, const std::unordered_set<std::string>& names) {
    switch (KindOfPartialName(name)) {
        case PartialName::Part:
            return names.count(NoteOfPart(name)) == 0;
        case PartialName::Note:
            return names.count(PartOfNote(name)) == 0;
        case PartialName::None:
            break;
    }
    return platform::IsAtomicWriteLeftover(name, kListFileName) || IsSidecarWriteLeftover(name);
}

}  // namespace

LocalNameStatus CFeedEngine::NameNewItem(const std::string& folder, const std::string& url,
                                         LocalName& name, KeptProbe* probe) {
    // A file whose URL the list reader could not give back would never be known
    // again: it would be downloaded anew each run and never pruned.
    if (!IsRecordableUrl(url)) {
        Log("BuildLocalName(): Url can't be recorded in the file list (%d bytes): %.200s",
            static_cast<int>(url.size()), url.c_str());
        return LocalNameStatus::Unrecordable;
    }
    return MakeLocalName(FileSystem, folder, url, name, probe);
}

bool CFeedEngine::BuildLocalName(const std::string& url, std::string& fullPath,
                                 std::string& fileName) {
    LocalName name;
    const LocalNameStatus status = NameNewItem(MediaFolder(), url, name);
    if (status == LocalNameStatus::Ok || status == LocalNameStatus::Exists) {
        fullPath = name.fullPath;
        fileName = name.fileName;
    }
    return ReportLocalName(status, name, url);
}

bool CFeedEngine::ReportLocalName(LocalNameStatus status, const LocalName& name,
                                  const std::string& url) {
    switch (status) {
        case LocalNameStatus::Ok:
            return true;
        case LocalNameStatus::Unrecordable:  // said where it was found
            return false;
        case LocalNameStatus::Unparsable:
            Log("BuildLocalName(): Url can't be parsed: %s", url.c_str());
            return false;
        case LocalNameStatus::Exists:
            if (!name.fileName.empty() || !folderAsNameSaid_)
                Log("File already exits: %s", name.fullPath.c_str());
            if (name.fileName.empty()) folderAsNameSaid_ = true;
            return false;
        case LocalNameStatus::Unusable:
            Log("BuildLocalName(): Object name can't be used for local file: %s",
                name.fullPath.c_str());
            return false;
    }
    return false;
}

void CFeedEngine::ReadLocalFileList() {
    BatchActive = 0;
    differingUrls_.clear();
    folderAsNameSaid_ = false;
    const std::string folder = MediaFolder();
    const std::string path = MediaPath(folder, kListFileName);
    const FolderRecords::Loaded loaded = LocalFiles.Load(FileSystem, folder);
    const ListReadResult& result = loaded.list;
    switch (result.status) {
        case ListReadStatus::NotFound:
            Log("ReadLocalFileList: file list not found");
            break;
        case ListReadStatus::WrongHeader:
            Log("ReadLocalFileList: wrong file header");
            break;
        case ListReadStatus::Unreadable:
            Log("ReadLocalFileList: can't read %s (%s)", path.c_str(),
                result.failure.Error().c_str());
            break;
        case ListReadStatus::Loaded:
            if (result.skipped > 0)
                Log("ReadLocalFileList: %d damaged entries skipped",
                    static_cast<int>(result.skipped));
            Log("ReadLocalFileList: file list loaded (%d entries)",
                static_cast<int>(loaded.listed));
            break;
    }
    localListUnreadable_ = !result.Readable() || !ReportJournal(folder, loaded.journal);
    if (localListUnreadable_)
        Log("ReadLocalFileList: the folder is left alone until the list can be read");
}

bool CFeedEngine::ReportJournal(const std::string& folder, const ListReadResult& merged) {
    const std::string path = MediaPath(folder, kJournalFileName);
    if (!merged.Readable()) {
        Log("ReadLocalFileList: can't read %s (%s)", path.c_str(), merged.failure.Error().c_str());
        return false;
    }
    if (merged.trimmed)
        Log("ReadLocalFileList: cut-off journal entry removed from %s", path.c_str());
    if (!merged.failure)
        Log("ReadLocalFileList: can't trim %s (%s)", path.c_str(), merged.failure.Error().c_str());
    if (merged.added > 0)
        Log("ReadLocalFileList: %d files stored after the last list write recovered",
            static_cast<int>(merged.added));
    return true;
}

void CFeedEngine::WriteLocalFileList() {
    const std::string folder = MediaFolder();
    const std::string path = MediaPath(folder, kListFileName);
    // The records of a list that could not be read are unknown: writing would drop them all.
    if (localListUnreadable_) {
        Log("WriteLocalFileList: %s could not be read, it is left as it is", path.c_str());
        return;
    }
    // The media files stored since the last list reach the disk before a list names them.
    platform::FileHandle folderFd(FileSystem,
                                  FileSystem.Open(folder.empty() ? "." : folder.c_str(),
                                                  O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
    if (folderFd) FileSystem.SyncFileSystem(folderFd.Get());
    const FolderRecords::Saved saved = LocalFiles.Save(FileSystem, folder);
    if (!saved.usersSidecars) Log("WriteLocalFileList: %s", saved.usersSidecars.Error().c_str());
    if (!saved.list) {
        Log("WriteLocalFileList: can't create file %s", path.c_str());
        Log("WriteLocalFileList: %s", saved.list.Error().c_str());
    }
}

void CFeedEngine::WriteKpropFile(const std::string& fullPath, const CPixoluneItem& item) {
    const platform::Outcome written =
        WriteKpropSidecar(FileSystem, fullPath, configuration_.Settings(), item);
    if (!written)
        Log("WriteKpropFile: can't write the sidecar of %s (%s)", fullPath.c_str(),
            written.Error().c_str());
}

void CFeedEngine::PruneLocalFiles() {
    PluginSettings settings = configuration_.Settings();
    settings.ImgFolder = MediaFolder();  // the folder the records belong to
    size_t stampedAnew = 0;
    (void)LocalFiles.Prune(FileSystem, settings, clock_.WallSeconds(), &stampedAnew);
    if (stampedAnew > 0 && !futureTimesSaid_)
        Log("PruneLocalFiles: %d files carry a time ahead of the clock; the clock and the files "
            "disagree, so their age counts from now",
            static_cast<int>(stampedAnew));
    if (stampedAnew > 0) futureTimesSaid_ = true;
}

void CFeedEngine::RemoveLeftoverFiles() {
    const std::string folder = MediaFolder();
    // A listing cut short by an error still yields the names read so far.
    std::vector<std::string> names;
    (void)FileSystem.ListFolder(folder.empty() ? "." : folder.c_str(), &names);
    const std::unordered_set<std::string> all(names.begin(), names.end());
    for (const std::string& name : names) {
        if (!IsLeftover(name, all)) continue;
        const std::string path = MediaPath(folder, name);
        struct stat status {};
        if (FileSystem.Lstat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) continue;
        if (FileSystem.Unlink(path.c_str()) == 0)
            Log("RemoveLeftoverFiles: removed %s", path.c_str());
    }
}

}  // namespace pixolune
