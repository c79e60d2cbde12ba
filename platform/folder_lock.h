#pragma once

#include <string>

#include "platform/file_system.h"
#include "platform/outcome.h"

namespace pixolune::platform {

// An exclusive advisory lock (flock) on a lock file, held from TryAcquire()
// until Release() or destruction. Two holders of one path never coexist, also
// across processes: the file is removed on release, and a lock taken on a file
// that was removed meanwhile is given up and taken again on the new one.
class FolderLock {
  public:
    enum class Status {
        Held,         // ours now
        Busy,         // another open file holds it; nothing was written
        Unsupported,  // the file system takes no flock; nothing is held
        Failed        // the lock file can't be opened or created
    };
    // What TryAcquire found; `failure` says why for Unsupported and Failed.
    struct [[nodiscard]] Attempt {
        Status status = Status::Failed;
        Outcome failure = Outcome::Ok();
    };

    FolderLock() = default;
    ~FolderLock() { Release(); }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

    // Opens (creating it when missing, mode 0644) the lock file at `path` on
    // `fileSystem` and locks it without waiting; the lock file is removed
    // through the same file system.
    Attempt TryAcquire(FileSystem& fileSystem, const std::string& path);
    // Removes the lock file and unlocks; nothing when not held.
    void Release();
    [[nodiscard]] bool Held() const { return static_cast<bool>(fd_); }

  private:
    FileSystem* fileSystem_ = nullptr;  // the one the lock was taken on
    FileHandle fd_;
    std::string path_;
};

}  // namespace pixolune::platform
