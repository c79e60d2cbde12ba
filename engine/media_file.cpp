#include "engine/media_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace pixolune {

MediaFileWriter::~MediaFileWriter() {
    if (!finished_) Discard();
}

bool MediaFileWriter::Fail(const char* what) {
    error_ = std::string(what) + ": " + std::strerror(errno);
    return false;
}

bool MediaFileWriter::Create() {
    // No following of a link someone put under our temporary name.
    fd_ = platform::CurrentFileOps().open(
        path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd_ < 0) return Fail("open");
    created_ = true;
    return true;
}

bool MediaFileWriter::Write(const char* data, size_t size) {
    auto& ops = platform::CurrentFileOps();
    while (size > 0) {
        const ssize_t written = ops.write(fd_, data, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return Fail("write");
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

bool MediaFileWriter::Finish() {
    // No fsync per file: the list file, which alone makes a file count, is
    // written only after one sync of the whole file system (WriteLocalFileList).
    auto& ops = platform::CurrentFileOps();
    const int fd = fd_;
    fd_ = -1;
    // close() may report a deferred write error; only a clean close counts.
    if (ops.close(fd) != 0) return Fail("close");
    finished_ = true;
    return true;
}

void MediaFileWriter::Discard() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (created_) ::unlink(path_.c_str());
    created_ = false;
    finished_ = true;
}

}  // namespace pixolune
