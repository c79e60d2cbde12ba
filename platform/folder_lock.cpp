#include "platform/folder_lock.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>
#include <utility>

namespace pixolune::platform {
namespace {

// A holder that releases between our open and our flock removes the file we
// locked; a few retries cover that, a longer race means someone else is busy.
constexpr int kAcquireAttempts = 4;

bool IsSameFile(FileSystem& fileSystem, int fd, const std::string& path) {
    struct stat opened {
    }, named{};
    if (fileSystem.Fstat(fd, &opened) != 0 || fileSystem.Lstat(path.c_str(), &named) != 0)
        return false;
    return opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

}  // namespace

FolderLock::Attempt FolderLock::TryAcquire(FileSystem& fileSystem, const std::string& path) {
    Release();
    for (int attempt = 0; attempt < kAcquireAttempts; ++attempt) {
        FileHandle fd(fileSystem, fileSystem.Open(path.c_str(),
                                                  O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644));
        if (!fd) return {Status::Failed, Outcome::FromErrno("")};
        if (fileSystem.Flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
            if (errno == EWOULDBLOCK) return {Status::Busy};
            return {Status::Unsupported, Outcome::FromErrno("")};
        }
        if (!IsSameFile(fileSystem, fd.Get(), path)) continue;  // released and removed meanwhile
        fileSystem_ = &fileSystem;
        fd_ = std::move(fd);
        path_ = path;
        return {Status::Held};
    }
    return {Status::Busy};
}

void FolderLock::Release() {
    if (!fd_) return;
    // Removed while still locked, so that a waiter who opened this file finds
    // it gone after its flock and takes the lock on a new one.
    fileSystem_->Unlink(path_.c_str());
    (void)fd_.Reset();
    path_.clear();
}

}  // namespace pixolune::platform
