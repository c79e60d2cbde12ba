#pragma once

#include <optional>
#include <string>

#include "platform/file_system.h"
#include "platform/folder_lock.h"

namespace pixolune {

// The worker's hold on its media folder: which folder it holds, its lock,
// and the folder problem it said last, so that each is said once.
class MediaFolderHold {
  public:
    explicit MediaFolderHold(platform::FileSystem& fileSystem) : fileSystem_(fileSystem) {}

    [[nodiscard]] const std::optional<std::string>& Active() const { return active_; }
    [[nodiscard]] bool Holds(const std::string& folder) const {
        return active_ && *active_ == folder;
    }
    // Takes the folder's lock; false, said once, when another host holds it or
    // it can't be had.
    [[nodiscard]] bool Lock(const std::string& folder);
    // What the folder the worker settles in is to the one it held last.
    enum class Settled { SameAsLast, First, OtherThanLast };
    [[nodiscard]] Settled Settle(const std::string& folder);
    void Release();
    void SayProblemOnce(const std::string& folder, const std::string& line);
    // The line said of the last problem.
    [[nodiscard]] const std::string& LastProblem() const { return lastProblem_; }
    // Whether the last Lock failed because another host holds the folder.
    [[nodiscard]] bool HeldByAnotherHost() const { return heldByAnother_; }

  private:
    platform::FileSystem& fileSystem_;
    std::optional<std::string> active_;  // the folder the worker holds
    std::string last_;                   // the last folder it held
    platform::FolderLock lock_;
    std::string problemSaid_;  // the folder and problem last logged
    std::string lastProblem_;
    bool heldByAnother_ = false;
};

}  // namespace pixolune
