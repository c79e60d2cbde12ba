#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <utility>

#include "platform/file_system.h"

namespace pixolune {

// One note appended to a file of ours (the journal, the user's sidecars),
// which can be taken back while it is the last one.
class AppendedNote {
  public:
    AppendedNote(platform::FileSystem& fileSystem, std::string path)
        : fileSystem_(fileSystem), path_(std::move(path)) {
        struct stat status {};
        existed_ = fileSystem_.Lstat(path_.c_str(), &status) == 0;
        sizeBefore_ = existed_ ? status.st_size : 0;
    }

    // `append` writes the note to the path; true when it did.
    template <typename Writer>
    [[nodiscard]] bool Append(Writer&& write) {
        appended_ = write(fileSystem_, path_);
        return appended_;
    }
    // An appended note reaches the disk, before what it speaks of may.
    void Sync() const {
        if (appended_) SyncFileAt(fileSystem_, path_);
    }
    static void SyncFileAt(platform::FileSystem& fileSystem, const std::string& path) {
        const platform::FileHandle fd(
            fileSystem, fileSystem.Open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC, 0));
        if (fd) (void)fileSystem.Fsync(fd.Get());
    }
    [[nodiscard]] const std::string& Path() const { return path_; }

    void Retract() {
        if (!appended_) return;
        appended_ = false;
        if (existed_)
            (void)fileSystem_.Truncate(path_.c_str(), sizeBefore_);
        else
            fileSystem_.Unlink(path_.c_str());
    }

  private:
    platform::FileSystem& fileSystem_;
    std::string path_;
    bool existed_ = false;
    off_t sizeBefore_ = 0;
    bool appended_ = false;
};

}  // namespace pixolune
