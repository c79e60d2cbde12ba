#pragma once

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

namespace pixolune::platform {

// Every file operation of the engine and of the helpers here that write
// files. Each method mirrors its system call: it returns -1 and sets errno on
// failure, and otherwise what the call returns. The engine is given one and
// makes no file call of its own; tests wrap the real one to fail any call or
// to report a nearly full disk.
class FileSystem {
  public:
    virtual ~FileSystem() = default;

    // mkostemp(O_CLOEXEC): fills in the template's XXXXXX and opens the new file.
    virtual int MakeTemporary(char* pathTemplate) = 0;
    virtual int Open(const char* path, int flags, mode_t mode) = 0;
    virtual ssize_t Read(int fd, void* data, size_t size) = 0;
    virtual ssize_t Write(int fd, const void* data, size_t size) = 0;
    virtual int Fsync(int fd) = 0;
    // syncfs: every file of the file system that holds `fd`.
    virtual int SyncFileSystem(int fd) = 0;
    // The descriptor is released even when close reports an error.
    virtual int Close(int fd) = 0;
    virtual int Fstat(int fd, struct stat* out) = 0;
    virtual int Ftruncate(int fd, off_t sizeBytes) = 0;
    virtual int Fchmod(int fd, mode_t mode) = 0;
    virtual int Flock(int fd, int operation) = 0;

    virtual int Stat(const char* path, struct stat* out) = 0;
    virtual int Lstat(const char* path, struct stat* out) = 0;
    virtual int Access(const char* path, int mode) = 0;
    virtual int Truncate(const char* path, off_t sizeBytes) = 0;
    // Sets the modification time of `path` itself (never a link's target).
    virtual int SetModifiedTime(const char* path, time_t seconds) = 0;
    virtual int Unlink(const char* path) = 0;
    virtual int Rename(const char* from, const char* to) = 0;
    // Gives `from` the name `to` only when nothing has that name yet: fails
    // with EEXIST otherwise, and never replaces what is there.
    virtual int RenameNoReplace(const char* from, const char* to) = 0;
    virtual int Link(const char* from, const char* to) = 0;
    virtual int StatVfs(const char* path, struct statvfs* out) = 0;
    // opendir/readdir/closedir: the names in `folder` other than "." and "..",
    // in the order the file system gives them, in place of what `names` held.
    // When readdir fails part-way, `names` keeps those read so far.
    virtual int ListFolder(const char* folder, std::vector<std::string>* names) = 0;
};

// The process's real file system.
FileSystem& RealFileSystem();

// Forwards every call to another file system, so that a test overrides only
// the calls it fails.
class FileSystemWrapper : public FileSystem {
  public:
    explicit FileSystemWrapper(FileSystem& target) : target_(target) {}
    FileSystem& Target() const { return target_; }

    int MakeTemporary(char* pathTemplate) override { return target_.MakeTemporary(pathTemplate); }
    int Open(const char* path, int flags, mode_t mode) override {
        return target_.Open(path, flags, mode);
    }
    ssize_t Read(int fd, void* data, size_t size) override { return target_.Read(fd, data, size); }
    ssize_t Write(int fd, const void* data, size_t size) override {
        return target_.Write(fd, data, size);
    }
    int Fsync(int fd) override { return target_.Fsync(fd); }
    int SyncFileSystem(int fd) override { return target_.SyncFileSystem(fd); }
    int Close(int fd) override { return target_.Close(fd); }
    int Fstat(int fd, struct stat* out) override { return target_.Fstat(fd, out); }
    int Ftruncate(int fd, off_t sizeBytes) override { return target_.Ftruncate(fd, sizeBytes); }
    int Fchmod(int fd, mode_t mode) override { return target_.Fchmod(fd, mode); }
    int Flock(int fd, int operation) override { return target_.Flock(fd, operation); }
    int Stat(const char* path, struct stat* out) override { return target_.Stat(path, out); }
    int Lstat(const char* path, struct stat* out) override { return target_.Lstat(path, out); }
    int SetModifiedTime(const char* path, time_t seconds) override {
        return target_.SetModifiedTime(path, seconds);
    }
    int Access(const char* path, int mode) override { return target_.Access(path, mode); }
    int Truncate(const char* path, off_t sizeBytes) override {
        return target_.Truncate(path, sizeBytes);
    }
    int Unlink(const char* path) override { return target_.Unlink(path); }
    int Rename(const char* from, const char* to) override { return target_.Rename(from, to); }
    int RenameNoReplace(const char* from, const char* to) override {
        return target_.RenameNoReplace(from, to);
    }
    int Link(const char* from, const char* to) override { return target_.Link(from, to); }
    int StatVfs(const char* path, struct statvfs* out) override {
        return target_.StatVfs(path, out);
    }
    int ListFolder(const char* folder, std::vector<std::string>* names) override {
        return target_.ListFolder(folder, names);
    }

  private:
    FileSystem& target_;
};

// A descriptor opened on a FileSystem, closed through it by its owner on
// every path.
class FileHandle {
  public:
    FileHandle() = default;
    FileHandle(FileSystem& fileSystem, int fd) : fileSystem_(&fileSystem), fd_(fd) {}
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    FileHandle(FileHandle&& other) noexcept
        : fileSystem_(other.fileSystem_), fd_(other.Release()) {}
    FileHandle& operator=(FileHandle&& other) noexcept {
        if (this != &other) {
            Reset();
            fileSystem_ = other.fileSystem_;
            fd_ = other.Release();
        }
        return *this;
    }
    ~FileHandle() { Reset(); }

    explicit operator bool() const { return fd_ >= 0; }
    int Get() const { return fd_; }
    int Release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes now; the result of close, or 0 when nothing was open.
    int Reset() {
        const int fd = Release();
        return fd >= 0 ? fileSystem_->Close(fd) : 0;
    }

  private:
    FileSystem* fileSystem_ = nullptr;
    int fd_ = -1;
};

// Opens the file at `path` with `flags` (O_NONBLOCK and O_CLOEXEC added) when
// it is a regular file: a FIFO or device put under the name never blocks the
// caller, and anything but a regular file is closed again and fails with
// EINVAL. Opened for writing, a file with a second hard link fails as well
// (EMLINK), so that nothing is written through to another name. On failure
// the handle is empty and errno says why.
[[nodiscard]] FileHandle OpenRegularFile(FileSystem& fileSystem, const std::string& path, int flags,
                                         mode_t mode = 0);

}  // namespace pixolune::platform
