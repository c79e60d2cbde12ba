#include "engine/media_folder_hold.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "engine/local_names.h"
#include "model/host_link.h"

namespace pixolune {

std::string MediaFolderProblem(platform::FileSystem& fileSystem, const std::string& folder) {
    // An empty or relative setting would put media and list wherever the host was started.
    if (folder.empty()) return "not set";
    if (folder.front() != '/') return "not an absolute path";
    struct stat status {};
    if (fileSystem.Stat(folder.c_str(), &status) != 0) return std::strerror(errno);
    if (!S_ISDIR(status.st_mode)) return std::strerror(ENOTDIR);
    if (fileSystem.Access(folder.c_str(), W_OK | X_OK) != 0) return std::strerror(errno);
    return {};
}

void MediaFolderHold::SayProblemOnce(const std::string& folder, const std::string& line) {
    if (problemSaid_ == folder + "\n" + line) return;
    problemSaid_ = folder + "\n" + line;
    Log("%s", line.c_str());
}

bool MediaFolderHold::Lock(const std::string& folder) {
    const auto attempt = lock_.TryAcquire(fileSystem_, MediaPath(folder, kLockFileName));
    switch (attempt.status) {
        case platform::FolderLock::Status::Held:
            return true;
        case platform::FolderLock::Status::Busy:
            SayProblemOnce(folder, "DownloadNext(): the media folder " + folder +
                                       " is in use by another host; waiting");
            return false;
        case platform::FolderLock::Status::Failed:
            SayProblemOnce(folder, "DownloadNext(): the media folder " + folder +
                                       " can't be used (" + std::strerror(attempt.errorNumber) +
                                       ")");
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

MediaFolderHold::Settled MediaFolderHold::Settle(const std::string& folder) {
    problemSaid_.clear();
    active_ = folder;
    if (folder == last_) return Settled::SameAsLast;
    const bool first = last_.empty();
    last_ = folder;
    return first ? Settled::First : Settled::OtherThanLast;
}

void MediaFolderHold::Release() {
    lock_.Release();
    active_.reset();
}

}  // namespace pixolune
