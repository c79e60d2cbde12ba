#include "file_ops.h"

#include <fcntl.h>
#include <stdlib.h>

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

const FileOps kRealOps{RealMkstemp, RealOpen,   RealWrite, RealFsync,
                       RealClose,   RealRename, RealRead};

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
