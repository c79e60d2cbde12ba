#pragma once

// The disk of a simulated life, in memory: folders of files that take the
// simulated time, the faults of a life (a disk at its reserve, a folder that
// refuses writes) and the death of the process that writes them. What is not
// synced may be lost: a death makes every later change fail without effect,
// and the revival drops what no sync made durable, as a power cut would:
// bytes written since their file's last sync, and names made, changed or
// removed since their folder's last sync.

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/file_system.h"
#include "sim_clock.h"

namespace pixolune::life {

class SimDisk final : public platform::FileSystem {
  public:
    // `folders` exist from the start; writes into `mediaFolder` may be refused.
    SimDisk(std::vector<std::string> folders, std::string mediaFolder, SimClock& clock);
    ~SimDisk() override;

    void SetDiskFull(bool full) { diskFull_ = full; }
    void SetUnwritable(bool unwritable) { unwritable_ = unwritable; }

    // The process dies at its `changes`th change to come (0: never), and
    // `onDeath` is called then.
    void DieAfter(uint64_t changes, std::function<void()> onDeath);
    [[nodiscard]] bool Dead() const { return dead_; }
    // After the dead process is gone: drops what was not synced and lets a
    // new one work; the media names that lost bytes or their name.
    std::set<std::string> Revive();

    // What the user does beside the engine, durable at once.
    void WriteOthersFile(const std::string& path, const std::string& bytes);
    void RemoveOthersWay(const std::string& path);
    // The file's bytes as they stand; null when there is no such file.
    [[nodiscard]] const std::string* Contents(const std::string& path) const;
    [[nodiscard]] const std::set<std::string>& Names(const std::string& folder) const;
    [[nodiscard]] size_t OpenDescriptors() const { return handles_.size(); }
    // Counts every change of the media folder's names, bytes and times.
    [[nodiscard]] uint64_t MediaFolderChanges() const { return mediaFolderChanges_; }

    // The bytes written into the parts of each media name: what came down the
    // line and was taken, and the simulated times of the first and last write.
    struct Fetched {
        uint64_t bytes = 0;
        uint64_t firstMs = 0;
        uint64_t lastMs = 0;
    };
    [[nodiscard]] Fetched FetchedOf(const std::string& name) const;
    // The file is fetched anew for a reason of the script's (the user deleted it).
    void ForgetFetched(const std::string& name) { fetched_.erase(name); }

    int MakeTemporary(char* pathTemplate) override;
    int Open(const char* path, int flags, mode_t mode) override;
    ssize_t Read(int fd, void* data, size_t size) override;
    ssize_t Write(int fd, const void* data, size_t size) override;
    int Fsync(int fd) override;
    int SyncFileSystem(int fd) override;
    int Close(int fd) override;
    int Fstat(int fd, struct stat* out) override;
    int Ftruncate(int fd, off_t sizeBytes) override;
    int Fchmod(int fd, mode_t mode) override;
    int Flock(int fd, int operation) override;
    int Stat(const char* path, struct stat* out) override { return Lstat(path, out); }
    int Lstat(const char* path, struct stat* out) override;
    int Access(const char* path, int mode) override;
    int Truncate(const char* path, off_t sizeBytes) override;
    int SetModifiedTime(const char* path, time_t seconds) override;
    int Unlink(const char* path) override;
    int Rename(const char* from, const char* to) override;
    int RenameNoReplace(const char* from, const char* to) override;
    int Link(const char* from, const char* to) override;
    // A disk of a fixed size, so that a life does not depend on the machine's.
    int StatVfs(const char* path, struct statvfs* out) override;
    // In name order.
    int ListFolder(const char* folder, std::vector<std::string>* names) override;

  private:
    struct Node;
    using NodePtr = std::shared_ptr<Node>;
    struct Handle {
        NodePtr node;
        std::string folder;  // a folder's own handle: its path
        off_t offset = 0;
        bool append = false;
        bool writes = false;
        std::string partOf;  // the media name of a part written through it
    };

    // False when the process dies at this change (or is dead): nothing happens.
    [[nodiscard]] bool Lives();
    [[nodiscard]] bool Refuses(const std::string& path) const;
    [[nodiscard]] NodePtr Find(const std::string& path) const;
    [[nodiscard]] Handle* HandleOf(int fd);
    [[nodiscard]] static std::string FolderOf(const std::string& path);
    [[nodiscard]] bool IsFolder(const std::string& path) const { return folders_.count(path) != 0; }
    // `path` names `node` (null: nothing) from now on; the name's state at
    // its folder's last sync is kept for a death to go back to.
    void SetName(const std::string& path, NodePtr node);
    // The same, for good: no death takes it back.
    void Name(const std::string& path, NodePtr node);
    void Touch(Node& node);
    [[nodiscard]] int NewDescriptor(Handle handle);

    const std::set<std::string> folders_;
    const std::string mediaFolder_;
    SimClock& clock_;
    bool diskFull_ = false;
    bool unwritable_ = false;
    uint64_t dieAfter_ = 0;
    std::function<void()> onDeath_;
    bool dead_ = false;

    std::unordered_map<std::string, NodePtr> names_;            // every file by its path
    std::map<std::string, std::set<std::string>> folderNames_;  // the names in each folder
    // Per folder: each name changed since the folder's last sync, with what it named then.
    std::map<std::string, std::map<std::string, NodePtr>> unsyncedNames_;
    std::set<NodePtr> unsyncedBytes_;
    std::map<int, Handle> handles_;
    int nextDescriptor_ = 1000;
    ino_t nextInode_ = 2;
    uint64_t temporaries_ = 0;
    uint64_t mediaFolderChanges_ = 0;

    std::map<std::string, Fetched> fetched_;
};

}  // namespace pixolune::life
