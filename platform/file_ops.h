#pragma once

#include <sys/statvfs.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstddef>

namespace pixolune::platform {

// A file descriptor that is closed by its owner on every path.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            Reset();
            fd_ = other.Release();
        }
        return *this;
    }
    ~UniqueFd() { Reset(); }

    explicit operator bool() const { return fd_ >= 0; }
    int Get() const { return fd_; }
    int Release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void Reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

  private:
    int fd_ = -1;
};

// The system calls through which files that must not be lost are written,
// and the free-space query of the media folder's file system. Tests replace
// them to make each call fail in turn or to report a nearly full disk; the
// release build has only the real ones.
struct FileOps {
    int (*mkstemp)(char* pathTemplate);
    int (*open)(const char* path, int flags, mode_t mode);
    ssize_t (*write)(int fd, const void* data, size_t size);
    int (*fsync)(int fd);
    int (*close)(int fd);
    int (*rename)(const char* from, const char* to);
    // Gives `from` the name `to` only when nothing has that name yet: fails
    // with EEXIST otherwise, and never replaces what is there.
    int (*renameNoReplace)(const char* from, const char* to);
    ssize_t (*read)(int fd, void* data, size_t size);
    int (*statvfs)(const char* path, struct statvfs* out);
};

FileOps& CurrentFileOps();

#ifdef PIXOLUNE_FAULT_INJECTION
// Installs `ops` for every later write until RestoreFileOps().
void ReplaceFileOps(const FileOps& ops);
void RestoreFileOps();
const FileOps& RealFileOps();
#endif

}  // namespace pixolune::platform
