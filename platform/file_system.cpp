#include "platform/file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>

namespace pixolune::platform {
namespace {

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};

class PosixFileSystem final : public FileSystem {
  public:
    int MakeTemporary(char* pathTemplate) override { return ::mkostemp(pathTemplate, O_CLOEXEC); }
    int Open(const char* path, int flags, mode_t mode) override {
        return ::open(path, flags, mode);
    }
    ssize_t Read(int fd, void* data, size_t size) override { return ::read(fd, data, size); }
    ssize_t Write(int fd, const void* data, size_t size) override {
        return ::write(fd, data, size);
    }
    int Fsync(int fd) override { return ::fsync(fd); }
    int SyncFileSystem(int fd) override { return ::syncfs(fd); }
    int Close(int fd) override { return ::close(fd); }
    int Fstat(int fd, struct stat* out) override { return ::fstat(fd, out); }
    int Ftruncate(int fd, off_t sizeBytes) override { return ::ftruncate(fd, sizeBytes); }
    int Fchmod(int fd, mode_t mode) override { return ::fchmod(fd, mode); }
    int Flock(int fd, int operation) override { return ::flock(fd, operation); }
    int Stat(const char* path, struct stat* out) override { return ::stat(path, out); }
    int Lstat(const char* path, struct stat* out) override { return ::lstat(path, out); }
    int Access(const char* path, int mode) override { return ::access(path, mode); }
    int Truncate(const char* path, off_t sizeBytes) override { return ::truncate(path, sizeBytes); }
    int SetModifiedTime(const char* path, time_t seconds) override {
        const struct timespec times[2] = {{0, UTIME_OMIT}, {seconds, 0}};
        return ::utimensat(AT_FDCWD, path, times, AT_SYMLINK_NOFOLLOW);
    }
    int Unlink(const char* path) override { return ::unlink(path); }
    int Rename(const char* from, const char* to) override { return std::rename(from, to); }
    int Link(const char* from, const char* to) override { return ::link(from, to); }
    int StatVfs(const char* path, struct statvfs* out) override { return ::statvfs(path, out); }

    // The kernel's no-replace rename; where the file system lacks it, a hard
    // link (which never replaces either) and the removal of the old name; where
    // it has no hard links, a test for the name just before a plain rename,
    // which leaves only a short window for a file to appear under it.
    int RenameNoReplace(const char* from, const char* to) override {
        if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
        if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return -1;
        if (Link(from, to) == 0) {
            Unlink(from);
            return 0;
        }
        if (errno != EPERM && errno != ENOTSUP && errno != ENOSYS) return -1;
        struct stat status {};
        if (Lstat(to, &status) == 0) {
            errno = EEXIST;
            return -1;
        }
        return Rename(from, to);
    }

    int ListFolder(const char* folder, std::vector<std::string>* names) override {
        std::unique_ptr<DIR, DirCloser> dir(::opendir(folder));
        if (!dir) return -1;
        names->clear();
        for (;;) {
            errno = 0;
            const dirent* entry = ::readdir(dir.get());
            if (!entry) break;
            const std::string name = entry->d_name;
            if (name != "." && name != "..") names->push_back(name);
        }
        return errno == 0 ? 0 : -1;
    }
};

}  // namespace

FileSystem& RealFileSystem() {
    static PosixFileSystem real;
    return real;
}

FileHandle OpenRegularFile(FileSystem& fileSystem, const std::string& path, int flags,
                           mode_t mode) {
    FileHandle file(fileSystem,
                    fileSystem.Open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC, mode));
    if (!file) return file;
    struct stat status {};
    if (fileSystem.Fstat(file.Get(), &status) != 0) {
        const int error = errno;
        (void)file.Reset();
        errno = error;
        return file;
    }
    const bool writing = (flags & O_ACCMODE) != O_RDONLY;
    const int refusal = !S_ISREG(status.st_mode)           ? EINVAL
                        : (writing && status.st_nlink > 1) ? EMLINK
                                                           : 0;
    if (refusal != 0) {
        (void)file.Reset();
        errno = refusal;
    }
    return file;
}

}  // namespace pixolune::platform
