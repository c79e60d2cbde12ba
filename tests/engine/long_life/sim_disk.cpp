#include "sim_disk.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "engine/local_names.h"

namespace pixolune::life {
namespace {

std::string NameIn(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

// The media file a name belongs to: "NAME.<16 hex>.__t" is the part of
// NAME, and its note is the part's.
std::string MediaNameOf(const std::string& name) {
    constexpr size_t kPartNameTail = 1 + 16 + 4;
    const PartialName kind = KindOfPartialName(name);
    const std::string part = kind == PartialName::Note ? PartOfNote(name) : name;
    if (kind != PartialName::None && part.size() > kPartNameTail)
        return part.substr(0, part.size() - kPartNameTail);
    return name;
}

int Fail(int error) {
    errno = error;
    return -1;
}

}  // namespace

struct SimDisk::Node {
    ino_t inode = 0;
    std::string bytes;
    std::string durable;  // what its last sync left on the disk
    mode_t mode = 0644;
    time_t modified = 0;
    int lockedBy = -1;           // the descriptor holding flock's lock
    bool inMediaFolder = false;  // named there once: its changes are the folder's
};

SimDisk::SimDisk(std::vector<std::string> folders, std::string mediaFolder, SimClock& clock)
    : folders_(folders.begin(), folders.end()),
      mediaFolder_(std::move(mediaFolder)),
      clock_(clock) {}

SimDisk::~SimDisk() = default;

void SimDisk::DieAfter(uint64_t changes, std::function<void()> onDeath) {
    dieAfter_ = changes;
    onDeath_ = std::move(onDeath);
}

bool SimDisk::Lives() {
    if (dead_) return false;
    if (dieAfter_ == 0 || --dieAfter_ > 0) return true;
    dead_ = true;
    if (onDeath_) std::exchange(onDeath_, nullptr)();
    return false;
}

std::set<std::string> SimDisk::Revive() {
    std::set<std::string> lost;
    for (const auto& [path, node] : names_)
        if (unsyncedBytes_.count(node) != 0 && node->bytes != node->durable)
            lost.insert(MediaNameOf(NameIn(path)));
    for (const NodePtr& node : unsyncedBytes_) node->bytes = node->durable;
    for (const auto& [folder, changed] : unsyncedNames_) {
        for (const auto& [path, before] : changed) {
            if (Find(path) != before) lost.insert(MediaNameOf(NameIn(path)));
            Name(path, before);
        }
    }
    unsyncedNames_.clear();
    unsyncedBytes_.clear();
    // The dead process's descriptors, and its locks, went with it.
    for (auto& [fd, handle] : handles_)
        if (handle.node) handle.node->lockedBy = -1;
    handles_.clear();
    dead_ = false;
    dieAfter_ = 0;
    ++mediaFolderChanges_;  // whatever the cut took back
    return lost;
}

void SimDisk::WriteOthersFile(const std::string& path, const std::string& bytes) {
    auto node = std::make_shared<Node>();
    node->inode = nextInode_++;
    node->bytes = node->durable = bytes;
    node->modified = static_cast<time_t>(clock_.WallSeconds());
    Name(path, node);
    unsyncedNames_[FolderOf(path)].erase(path);
}

void SimDisk::RemoveOthersWay(const std::string& path) {
    Name(path, nullptr);
    unsyncedNames_[FolderOf(path)].erase(path);
}

const std::string* SimDisk::Contents(const std::string& path) const {
    const auto found = names_.find(path);
    return found == names_.end() || !found->second ? nullptr : &found->second->bytes;
}

const std::set<std::string>& SimDisk::Names(const std::string& folder) const {
    static const std::set<std::string> kNone;
    const auto found = folderNames_.find(folder);
    return found == folderNames_.end() ? kNone : found->second;
}

bool SimDisk::Refuses(const std::string& path) const {
    return unwritable_ && path.compare(0, mediaFolder_.size(), mediaFolder_) == 0;
}

SimDisk::NodePtr SimDisk::Find(const std::string& path) const {
    const auto found = names_.find(path);
    return found == names_.end() ? nullptr : found->second;
}

SimDisk::Handle* SimDisk::HandleOf(int fd) {
    const auto found = handles_.find(fd);
    return found == handles_.end() ? nullptr : &found->second;
}

std::string SimDisk::FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

void SimDisk::SetName(const std::string& path, NodePtr node) {
    auto& changed = unsyncedNames_[FolderOf(path)];
    if (changed.count(path) == 0) changed[path] = Find(path);
    Name(path, std::move(node));
}

void SimDisk::Name(const std::string& path, NodePtr node) {
    const std::string folder = FolderOf(path);
    std::set<std::string>& inFolder = folderNames_[folder];
    if (folder == mediaFolder_) {
        ++mediaFolderChanges_;
        if (node) node->inMediaFolder = true;
    }
    if (node) {
        names_[path] = std::move(node);
        inFolder.insert(NameIn(path));
    } else {
        names_.erase(path);
        inFolder.erase(NameIn(path));
    }
}

void SimDisk::Touch(Node& node) {
    node.modified = static_cast<time_t>(clock_.WallSeconds());
    if (node.inMediaFolder) ++mediaFolderChanges_;
}

int SimDisk::NewDescriptor(Handle handle) {
    const int fd = nextDescriptor_++;
    handles_[fd] = std::move(handle);
    return fd;
}

int SimDisk::MakeTemporary(char* pathTemplate) {
    std::string path(pathTemplate);
    if (path.size() < 6 || path.compare(path.size() - 6, 6, "XXXXXX") != 0) return Fail(EINVAL);
    if (!IsFolder(FolderOf(path))) return Fail(ENOENT);
    if (Refuses(path)) return Fail(EACCES);
    if (!Lives()) return Fail(EIO);
    do {
        char tail[7];
        std::snprintf(tail, sizeof tail, "%06llu",
                      static_cast<unsigned long long>(++temporaries_ % 1000000));
        path.replace(path.size() - 6, 6, tail);
    } while (Find(path));
    std::memcpy(pathTemplate, path.data(), path.size());
    auto node = std::make_shared<Node>();
    node->inode = nextInode_++;
    node->mode = 0600;
    Touch(*node);
    SetName(path, node);
    Handle handle;
    handle.node = node;
    handle.writes = true;
    return NewDescriptor(std::move(handle));
}

int SimDisk::Open(const char* pathText, int flags, mode_t mode) {
    const std::string path(pathText);
    const bool writes = (flags & (O_WRONLY | O_RDWR | O_CREAT | O_TRUNC)) != 0;
    if (IsFolder(path)) {
        if (writes) return Fail(EISDIR);
        Handle handle;
        handle.folder = path;
        return NewDescriptor(std::move(handle));
    }
    if (!IsFolder(FolderOf(path))) return Fail(ENOENT);
    if ((flags & O_DIRECTORY) != 0) return Fail(Find(path) ? ENOTDIR : ENOENT);
    if (writes && Refuses(path)) return Fail(EACCES);
    NodePtr node = Find(path);
    if (node && (flags & O_CREAT) != 0 && (flags & O_EXCL) != 0) return Fail(EEXIST);
    if (!node && (flags & O_CREAT) == 0) return Fail(ENOENT);
    if (writes && !Lives()) return Fail(EIO);
    if (!node) {
        node = std::make_shared<Node>();
        node->inode = nextInode_++;
        node->mode = mode & 07777;
        Touch(*node);
        SetName(path, node);
    }
    if ((flags & O_TRUNC) != 0 && !node->bytes.empty()) {
        node->bytes.clear();
        unsyncedBytes_.insert(node);
        Touch(*node);
    }
    Handle handle;
    handle.node = node;
    handle.append = (flags & O_APPEND) != 0;
    handle.writes = (flags & (O_WRONLY | O_RDWR)) != 0;
    const std::string name = NameIn(path);
    if (handle.writes && KindOfPartialName(name) == PartialName::Part)
        handle.partOf = MediaNameOf(name);
    return NewDescriptor(std::move(handle));
}

ssize_t SimDisk::Read(int fd, void* data, size_t size) {
    Handle* handle = HandleOf(fd);
    if (!handle) return Fail(EBADF);
    if (!handle->node) return Fail(EISDIR);
    const std::string& bytes = handle->node->bytes;
    if (handle->offset >= static_cast<off_t>(bytes.size())) return 0;
    const size_t got = std::min(size, bytes.size() - static_cast<size_t>(handle->offset));
    std::memcpy(data, bytes.data() + handle->offset, got);
    handle->offset += static_cast<off_t>(got);
    return static_cast<ssize_t>(got);
}

ssize_t SimDisk::Write(int fd, const void* data, size_t size) {
    Handle* handle = HandleOf(fd);
    if (!handle) return Fail(EBADF);
    if (!handle->node || !handle->writes) return Fail(EBADF);
    if (!Lives()) return Fail(EIO);
    std::string& bytes = handle->node->bytes;
    if (handle->append) handle->offset = static_cast<off_t>(bytes.size());
    const size_t end = static_cast<size_t>(handle->offset) + size;
    if (bytes.size() < end) bytes.resize(end);
    std::memcpy(bytes.data() + handle->offset, data, size);
    handle->offset = static_cast<off_t>(end);
    unsyncedBytes_.insert(handle->node);
    Touch(*handle->node);
    if (!handle->partOf.empty()) {
        Fetched& fetched = fetched_[handle->partOf];
        if (fetched.bytes == 0) fetched.firstMs = clock_.NowMs();
        fetched.lastMs = clock_.NowMs();
        fetched.bytes += size;
    }
    return static_cast<ssize_t>(size);
}

int SimDisk::Fsync(int fd) {
    Handle* handle = HandleOf(fd);
    if (!handle) return Fail(EBADF);
    if (!Lives()) return Fail(EIO);
    if (!handle->node) {
        unsyncedNames_.erase(handle->folder);
        return 0;
    }
    handle->node->durable = handle->node->bytes;
    unsyncedBytes_.erase(handle->node);
    return 0;
}

int SimDisk::SyncFileSystem(int fd) {
    if (!HandleOf(fd)) return Fail(EBADF);
    if (!Lives()) return Fail(EIO);
    for (const NodePtr& node : unsyncedBytes_) node->durable = node->bytes;
    unsyncedBytes_.clear();
    unsyncedNames_.clear();
    return 0;
}

int SimDisk::Close(int fd) {
    Handle* handle = HandleOf(fd);
    if (!handle) return Fail(EBADF);
    if (handle->node && handle->node->lockedBy == fd) handle->node->lockedBy = -1;
    handles_.erase(fd);
    return 0;
}

int SimDisk::Fstat(int fd, struct stat* out) {
    Handle* handle = HandleOf(fd);
    if (!handle) return Fail(EBADF);
    if (!handle->node) return Lstat(handle->folder.c_str(), out);
    *out = {};
    out->st_ino = handle->node->inode;
    out->st_mode = S_IFREG | handle->node->mode;
    out->st_nlink = 1;
    out->st_size = static_cast<off_t>(handle->node->bytes.size());
    out->st_mtime = handle->node->modified;
    return 0;
}

int SimDisk::Ftruncate(int fd, off_t sizeBytes) {
    Handle* handle = HandleOf(fd);
    if (!handle || !handle->node || !handle->writes) return Fail(EBADF);
    if (!Lives()) return Fail(EIO);
    handle->node->bytes.resize(static_cast<size_t>(sizeBytes));
    unsyncedBytes_.insert(handle->node);
    Touch(*handle->node);
    return 0;
}

int SimDisk::Fchmod(int fd, mode_t mode) {
    Handle* handle = HandleOf(fd);
    if (!handle || !handle->node) return Fail(EBADF);
    if (!Lives()) return Fail(EIO);
    handle->node->mode = mode & 07777;
    return 0;
}

int SimDisk::Flock(int fd, int operation) {
    Handle* handle = HandleOf(fd);
    if (!handle || !handle->node) return Fail(EBADF);
    Node& node = *handle->node;
    if ((operation & LOCK_UN) != 0) {
        if (node.lockedBy == fd) node.lockedBy = -1;
        return 0;
    }
    if (node.lockedBy != -1 && node.lockedBy != fd) return Fail(EWOULDBLOCK);
    node.lockedBy = fd;
    return 0;
}

int SimDisk::Lstat(const char* pathText, struct stat* out) {
    const std::string path(pathText);
    *out = {};
    if (IsFolder(path)) {
        out->st_ino = 1;
        out->st_mode = S_IFDIR | 0755;
        out->st_nlink = 2;
        return 0;
    }
    const NodePtr node = Find(path);
    if (!node) return Fail(IsFolder(FolderOf(path)) ? ENOENT : ENOTDIR);
    out->st_ino = node->inode;
    out->st_mode = S_IFREG | node->mode;
    out->st_nlink = 1;
    out->st_size = static_cast<off_t>(node->bytes.size());
    out->st_mtime = node->modified;
    return 0;
}

int SimDisk::Access(const char* pathText, int mode) {
    const std::string path(pathText);
    if (!IsFolder(path) && !Find(path)) return Fail(ENOENT);
    if ((mode & W_OK) != 0 && Refuses(path)) return Fail(EACCES);
    return 0;
}

int SimDisk::Truncate(const char* pathText, off_t sizeBytes) {
    const NodePtr node = Find(pathText);
    if (!node) return Fail(ENOENT);
    if (Refuses(pathText)) return Fail(EACCES);
    if (!Lives()) return Fail(EIO);
    node->bytes.resize(static_cast<size_t>(sizeBytes));
    unsyncedBytes_.insert(node);
    Touch(*node);
    return 0;
}

int SimDisk::SetModifiedTime(const char* pathText, time_t seconds) {
    const NodePtr node = Find(pathText);
    if (!node) return Fail(ENOENT);
    if (!Lives()) return Fail(EIO);
    node->modified = seconds;
    if (node->inMediaFolder) ++mediaFolderChanges_;
    return 0;
}

int SimDisk::Unlink(const char* pathText) {
    const std::string path(pathText);
    if (IsFolder(path)) return Fail(EISDIR);
    if (Refuses(path)) return Fail(EACCES);
    if (!Find(path)) return Fail(ENOENT);
    if (!Lives()) return Fail(EIO);
    SetName(path, nullptr);
    // A file removed and fetched again later is a new download.
    if (FolderOf(path) == mediaFolder_) fetched_.erase(path.substr(mediaFolder_.size() + 1));
    return 0;
}

int SimDisk::Rename(const char* fromText, const char* toText) {
    const std::string from(fromText), to(toText);
    if (Refuses(from) || Refuses(to)) return Fail(EACCES);
    const NodePtr node = Find(from);
    if (!node) return Fail(ENOENT);
    if (IsFolder(to)) return Fail(EISDIR);
    if (!IsFolder(FolderOf(to))) return Fail(ENOENT);
    if (!Lives()) return Fail(EIO);
    if (from == to) return 0;
    SetName(to, node);
    SetName(from, nullptr);
    return 0;
}

int SimDisk::RenameNoReplace(const char* from, const char* to) {
    if (IsFolder(to) || Find(to)) return Fail(EEXIST);
    return Rename(from, to);
}

int SimDisk::Link(const char* fromText, const char* toText) {
    const std::string to(toText);
    if (Refuses(to)) return Fail(EACCES);
    const NodePtr node = Find(fromText);
    if (!node) return Fail(ENOENT);
    if (IsFolder(to) || Find(to)) return Fail(EEXIST);
    if (!Lives()) return Fail(EIO);
    SetName(to, node);
    return 0;
}

int SimDisk::StatVfs(const char*, struct statvfs* out) {
    *out = {};
    out->f_bsize = out->f_frsize = 4096;
    out->f_blocks = 16u << 20;  // 64 GiB
    // A full disk shows no more than its reserve free.
    out->f_bavail = out->f_bfree = diskFull_ ? 0 : 8u << 20;
    return 0;
}

int SimDisk::ListFolder(const char* folder, std::vector<std::string>* names) {
    if (!IsFolder(folder)) return Fail(ENOENT);
    const std::set<std::string>& inFolder = Names(folder);
    names->assign(inFolder.begin(), inFolder.end());
    return 0;
}

SimDisk::Fetched SimDisk::FetchedOf(const std::string& name) const {
    const auto found = fetched_.find(name);
    return found == fetched_.end() ? Fetched{} : found->second;
}

}  // namespace pixolune::life
