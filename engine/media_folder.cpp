#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "engine/feed_engine.h"
#include "engine/local_names.h"
#include "model/host_link.h"

namespace pixolune {
namespace {

// Why the worker must not use `folder`, or empty when it may. An empty or
// relative setting would put media and list wherever the host was started.
std::string MediaFolderProblem(platform::FileSystem& fileSystem, const std::string& folder) {
    if (folder.empty()) return "not set";
    if (folder.front() != '/') return "not an absolute path";
    struct stat status {};
    if (fileSystem.Stat(folder.c_str(), &status) != 0) return std::strerror(errno);
    if (!S_ISDIR(status.st_mode)) return std::strerror(ENOTDIR);
    if (fileSystem.Access(folder.c_str(), W_OK | X_OK) != 0) return std::strerror(errno);
    return {};
}

}  // namespace

std::string CFeedEngine::MediaFolder() const {
    if (activeFolder_) return *activeFolder_;
    return SettingsSnapshot().ImgFolder;
}

void CFeedEngine::SayFolderProblemOnce(const std::string& folder, const std::string& line) {
    Health.FolderUnusable(folder, line);
    if (folderProblemSaid_ == folder + "\n" + line) return;
    folderProblemSaid_ = folder + "\n" + line;
    Log("%s", line.c_str());
}

bool CFeedEngine::TakeMediaFolder() {
    const std::string folder = SettingsSnapshot().ImgFolder;
    const std::string problem = MediaFolderProblem(FileSystem, folder);
    if (activeFolder_ && *activeFolder_ == folder && problem.empty()) return true;
    if (activeFolder_) {
        if (*activeFolder_ != folder)
            Log("DownloadNext(): the media folder changed from %s to %s", activeFolder_->c_str(),
                folder.c_str());
        LeaveMediaFolder();
    }
    if (!problem.empty()) {
        SayFolderProblemOnce(folder, "DownloadNext(): the media folder " + folder +
                                         " can't be used (" + problem + ")");
        return false;
    }
    if (!LockMediaFolder(folder)) return false;
    SettleInMediaFolder(folder);
    return true;
}

bool CFeedEngine::LockMediaFolder(const std::string& folder) {
    const auto attempt = folderLock_.TryAcquire(FileSystem, MediaPath(folder, kLockFileName));
    switch (attempt.status) {
        case platform::FolderLock::Status::Held:
            return true;
        case platform::FolderLock::Status::Busy:
            SayFolderProblemOnce(folder, "DownloadNext(): the media folder " + folder +
                                             " is in use by another host; waiting");
            return false;
        case platform::FolderLock::Status::Failed:
            SayFolderProblemOnce(folder, "DownloadNext(): the media folder " + folder +
                                             " can't be used (" +
                                             std::strerror(attempt.errorNumber) + ")");
            return false;
        case platform::FolderLock::Status::Unsupported:
            // Unlocked, as before there was a lock: better than no downloads at all.
            Log("DownloadNext(): the media folder %s can't be locked (%s); another host must not "
                "use it as well",
                folder.c_str(), std::strerror(attempt.errorNumber));
            return true;
    }
    return false;
}

void CFeedEngine::SettleInMediaFolder(const std::string& folder) {
    folderProblemSaid_.clear();
    Health.FolderUsable(folder);
    activeFolder_ = folder;
    if (folder != lastFolder_) {
        // A new folder lacks what the last one got: every feed is read for it again.
        if (!lastFolder_.empty()) MakeFeedsDue();
        pruneOffSince_.reset();
        lastFolder_ = folder;
    }
    RemoveLeftoverFiles();
    ReadLocalFileList();
}

void CFeedEngine::LeaveMediaFolder() {
    // Transfers in flight write into the folder being left; their parts go with them.
    CancelDownloads();
    if (!activeFolder_) return;
    if (NewFiles) WriteLocalFileList();
    folderLock_.Release();
    activeFolder_.reset();
    LocalFiles.clear();
    NewFiles = 0;
    BatchActive = 0;
}

}  // namespace pixolune
