#include "file_ops.h"

#include <fcntl.h>
#include <stdlib.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

namespace pixolune::platform {
namespace {

int RealMkstemp(char* pathTemplate) {
    return ::mkostemp(pathTemplate, O_CLOEXEC);
}
int RealOpen(const char* path, int flags, mode_t mode) {
    return ::open(path, flags, mode);
}
ssize_t RealWrite(int fd, const void* data, size_t size) {
    return ::write(fd, data, size);
}
int RealFsync(int fd) {
    return ::fsync(fd);
}
int RealClose(int fd) {
    return ::close(fd);
}
int RealRename(const char* from, const char* to) {
    return std::rename(from, to);
}
ssize_t RealRead(int fd, void* data, size_t size) {
    return ::read(fd, data, size);
}
int RealStatvfs(const char* path, struct statvfs* out) {
    return ::statvfs(path, out);
}

// The kernel's no-replace rename; where the file system lacks it, a hard
// link (which never replaces either) and the removal of the old name; where
// it has no hard links, a test for the name just before a plain rename, which
// leaves only a short window for a file to appear under it.
int RealRenameNoReplace(const char* from, const char* to) {
    if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return -1;
    if (::link(from, to) == 0) {
        ::unlink(from);
        return 0;
    }
    if (errno != EPERM && errno != ENOTSUP && errno != ENOSYS) return -1;
    struct stat status {};
    if (::lstat(to, &status) == 0) {
        errno = EEXIST;
        return -1;
    }
    return std::rename(from, to);
}

const FileOps kRealOps{RealMkstemp, RealOpen,   RealWrite,           RealFsync,
                       RealClose,   RealRename, RealRenameNoReplace, RealRead,
                       RealStatvfs};

FileOps& Installed() {
    static FileOps ops = kRealOps;
    return ops;
}

}  // namespace

FileOps& CurrentFileOps() {
    return Installed();
}

#ifdef PIXOLUNE_FAULT_INJECTION
void ReplaceFileOps(const FileOps& ops) {
    Installed() = ops;
}
void RestoreFileOps() {
    Installed() = kRealOps;
}
const FileOps& RealFileOps() {
    return kRealOps;
}
#endif

}  // namespace pixolune::platform
