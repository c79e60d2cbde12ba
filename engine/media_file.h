#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "platform/file_system.h"
#include "platform/outcome.h"

namespace pixolune {

// A download's temporary file: created exclusively on Create (or adopted from
// the naming probe, which was made the same way), written
// piece by piece (gathered into larger writes), and on Finish closed with
// every error checked.
// A file that was not finished is removed when the object goes, so a failed
// or cut-short transfer never leaves a part behind. Every call goes through
// the file system it is given.
class MediaFileWriter {
  public:
    MediaFileWriter(platform::FileSystem& fileSystem, std::string path)
        : fileSystem_(fileSystem), path_(std::move(path)) {}
    ~MediaFileWriter();
    MediaFileWriter(const MediaFileWriter&) = delete;
    MediaFileWriter& operator=(const MediaFileWriter&) = delete;

    // Takes over the open file that the naming probe created under Path(); it
    // is this object's from now on, and removed if unfinished.
    void Adopt(platform::FileHandle file);
    [[nodiscard]] bool Create();
    // Creates the file only when nothing is under its name, so that no two
    // transfers ever write one file and no link is followed.
    [[nodiscard]] bool CreateExclusive();
    // Opens a partial file to append to; its size in `sizeBytes`.
    [[nodiscard]] bool OpenToResume(uint64_t& sizeBytes);
    // Drops what the file holds: the transfer starts over.
    [[nodiscard]] bool StartOver();
    [[nodiscard]] bool Write(const char* data, size_t size);
    [[nodiscard]] bool Finish();
    // Closes and removes the file now.
    void Discard();
    // Writes what is pending and closes the file without removing it: the
    // part of a transfer that will be resumed.
    void KeepPart();

    const std::string& Path() const { return path_; }
    // Bytes handed to Write that have not reached the file yet.
    [[nodiscard]] size_t PendingBytes() const { return pending_.size(); }
    // The error text of the last failure.
    [[nodiscard]] std::string Error() const { return error_.Error(); }

  private:
    bool Fail(const char* what);
    [[nodiscard]] bool WritePending();

    platform::FileSystem& fileSystem_;
    std::string path_;
    int fd_ = -1;
    bool created_ = false;
    bool finished_ = false;
    platform::Outcome error_ = platform::Outcome::Ok();
    std::string pending_;  // bytes handed to Write and not yet written
};

// Whether the regular files at `a` and `b` hold the same bytes: sizes first,
// then the contents piece by piece, never a whole file in memory. Links are
// not followed; false on any error.
[[nodiscard]] bool SameFileContents(platform::FileSystem& fileSystem, const std::string& a,
                                    const std::string& b);

}  // namespace pixolune
