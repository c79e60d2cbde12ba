#include "engine/media_file.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace pixolune {
namespace {

// Pieces arrive 4 KiB at a time; a system call for each made the write the
// larger part of a download's cost on a fast link.
constexpr size_t kWriteChunkBytes = 64 * 1024;

}  // namespace

MediaFileWriter::~MediaFileWriter() {
    if (!finished_) Discard();
}

bool MediaFileWriter::Fail(const char* what) {
    error_ = platform::Outcome::FromErrno(what);
    return false;
}

void MediaFileWriter::Adopt(platform::FileHandle file) {
    fd_ = file.Release();
    created_ = fd_ >= 0;
}

bool MediaFileWriter::Create() {
    if (fd_ >= 0) return true;  // the naming probe's, made as below
    // Whatever holds the name is a leftover of ours. Only a file created here
    // is written: a FIFO, a link or a second name of someone's file put under
    // the temporary name is replaced, never opened. Not O_TRUNC on a reused
    // file either: on ext4 truncating marks it for a flush at close, which
    // would start a write-back per download.
    fileSystem_.Unlink(path_.c_str());
    fd_ =
        fileSystem_.Open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd_ < 0) return Fail("open");
    created_ = true;
    return true;
}

bool MediaFileWriter::CreateExclusive() {
    fd_ =
        fileSystem_.Open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd_ < 0) return Fail("open");
    created_ = true;
    return true;
}

bool MediaFileWriter::OpenToResume(uint64_t& sizeBytes) {
    fd_ = fileSystem_.Open(path_.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0);
    if (fd_ < 0) return Fail("open");
    created_ = true;
    struct stat status {};
    if (fileSystem_.Fstat(fd_, &status) != 0) return Fail("fstat");
    if (!S_ISREG(status.st_mode)) {
        errno = EINVAL;
        return Fail("not a regular file");
    }
    sizeBytes = static_cast<uint64_t>(status.st_size);
    return true;
}

bool MediaFileWriter::StartOver() {
    pending_.clear();
    // O_APPEND writes follow the cut, wherever the file was opened.
    if (fileSystem_.Ftruncate(fd_, 0) != 0) return Fail("ftruncate");
    return true;
}

void MediaFileWriter::KeepPart() {
    if (fd_ >= 0) {
        if (!WritePending()) {
            Discard();
            return;
        }
        fileSystem_.Close(fd_);
        fd_ = -1;
    }
    finished_ = true;
}

bool MediaFileWriter::Write(const char* data, size_t size) {
    if (pending_.capacity() < kWriteChunkBytes) pending_.reserve(kWriteChunkBytes);
    pending_.append(data, size);
    return pending_.size() < kWriteChunkBytes || WritePending();
}

bool MediaFileWriter::WritePending() {
    const char* data = pending_.data();
    size_t size = pending_.size();
    while (size > 0) {
        const ssize_t written = fileSystem_.Write(fd_, data, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return Fail("write");
        data += written;
        size -= static_cast<size_t>(written);
    }
    pending_.clear();
    return true;
}

bool MediaFileWriter::Finish() {
    // Not synced here: the commit syncs the bytes just before the rename
    // gives the file its name, and not at all for a part set aside.
    if (!WritePending()) return false;
    const int fd = fd_;
    fd_ = -1;
    // close() may report a deferred write error; only a clean close counts.
    if (fileSystem_.Close(fd) != 0) return Fail("close");
    finished_ = true;
    return true;
}

void MediaFileWriter::Discard() {
    pending_.clear();
    if (fd_ >= 0) {
        fileSystem_.Close(fd_);
        fd_ = -1;
    }
    if (created_) fileSystem_.Unlink(path_.c_str());
    created_ = false;
    finished_ = true;
}

namespace {

constexpr size_t kCompareChunkBytes = 64 * 1024;

// Reads up to `size` bytes; fewer only at the end of the file.
ssize_t ReadFull(platform::FileSystem& fileSystem, int fd, char* data, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t got = fileSystem.Read(fd, data + done, size - done);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return -1;
        if (got == 0) break;
        done += static_cast<size_t>(got);
    }
    return static_cast<ssize_t>(done);
}

}  // namespace

bool SameFileContents(platform::FileSystem& fileSystem, const std::string& a,
                      const std::string& b) {
    platform::FileHandle first = platform::OpenRegularFile(fileSystem, a, O_RDONLY | O_NOFOLLOW);
    platform::FileHandle second = platform::OpenRegularFile(fileSystem, b, O_RDONLY | O_NOFOLLOW);
    if (!first || !second) return false;
    struct stat firstStatus {
    }, secondStatus{};
    if (fileSystem.Fstat(first.Get(), &firstStatus) != 0 ||
        fileSystem.Fstat(second.Get(), &secondStatus) != 0 ||
        firstStatus.st_size != secondStatus.st_size)
        return false;
    std::vector<char> firstBytes(kCompareChunkBytes), secondBytes(kCompareChunkBytes);
    for (;;) {
        const ssize_t got = ReadFull(fileSystem, first.Get(), firstBytes.data(), firstBytes.size());
        const ssize_t other =
            ReadFull(fileSystem, second.Get(), secondBytes.data(), secondBytes.size());
        if (got < 0 || got != other) return false;
        if (got == 0) return true;
        if (std::memcmp(firstBytes.data(), secondBytes.data(), static_cast<size_t>(got)) != 0)
            return false;
    }
}

}  // namespace pixolune
