#include "engine/media_folder_hold.h"

#include "engine/local_names.h"
#include "model/host_link.h"

namespace pixolune {

void MediaFolderHold::SayProblemOnce(const std::string& folder, const std::string& line) {
    lastProblem_ = line;
    if (problemSaid_ == folder + "\n" + line) return;
    problemSaid_ = folder + "\n" + line;
    Log("%s", line.c_str());
}

bool MediaFolderHold::Lock(const std::string& folder) {
    const auto attempt = lock_.TryAcquire(fileSystem_, MediaPath(folder, kLockFileName));
    heldByAnother_ = attempt.status == platform::FolderLock::Status::Busy;
    switch (attempt.status) {
        case platform::FolderLock::Status::Held:
            return true;
        case platform::FolderLock::Status::Busy:
            SayProblemOnce(folder, "DownloadNext(): the media folder " + folder +
                                       " is in use by another host; waiting");
            return false;
        case platform::FolderLock::Status::Failed:
            SayProblemOnce(folder, "DownloadNext(): the media folder " + folder +
                                       " can't be used (" + attempt.failure.Error() + ")");
            return false;
        case platform::FolderLock::Status::Unsupported:
            // Unlocked, as before there was a lock: better than no downloads at all.
            Log("DownloadNext(): the media folder %s can't be locked (%s); another host must not "
                "use it as well",
                folder.c_str(), attempt.failure.Error().c_str());
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
