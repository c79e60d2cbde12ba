#include "user_registry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "atomic_file.h"
#include "file_system.h"
#include "unique_fd.h"

namespace pixolune::platform {
namespace {

std::string ConfigRoot() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    // A relative XDG_CONFIG_HOME is invalid by the XDG rules and is ignored.
    if (xdg && xdg[0] == '/') return xdg;
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/') return std::string(home) + "/.config";
    return {};
}

bool IsSafeComponent(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

// "Software\Maker\Product" -> "Software/Maker/Product", refusing anything that
// could climb out of the store.
bool KeyPathToRelative(const std::string& keyPath, std::string* relative) {
    std::string result;
    size_t start = 0;
    while (start <= keyPath.size()) {
        const size_t end = keyPath.find('\\', start);
        const std::string part =
            keyPath.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!IsSafeComponent(part)) return false;
        if (!result.empty()) result += '/';
        result += part;
        if (end == std::string::npos) break;
        start = end + 1;
    }
    *relative = result;
    return !result.empty();
}

// Creates each missing folder below the root with mode 0700; the key's own
// folder is set to 0700 even if it already existed, whatever the umask.
Outcome MakePrivateFolders(const std::string& root, const std::string& relative) {
    std::string path = root;
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        return Outcome::FromErrno("can't create " + path);
    size_t start = 0;
    while (start < relative.size()) {
        size_t end = relative.find('/', start);
        if (end == std::string::npos) end = relative.size();
        path += "/" + relative.substr(start, end - start);
        if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
            return Outcome::FromErrno("can't create " + path);
        start = end + 1;
    }
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        return Outcome::Failed(path + " is not a folder");
    if ((info.st_mode & 0777) != 0700 && ::chmod(path.c_str(), 0700) != 0)
        return Outcome::FromErrno("can't make " + path + " private");
    return Outcome::Ok();
}

}  // namespace

std::string UserConfigFolder() {
    return ConfigRoot();
}

std::string RegistryKeyFolder(const std::string& keyPath) {
    const std::string root = ConfigRoot();
    std::string relative;
    if (root.empty() || !KeyPathToRelative(keyPath, &relative)) return {};
    return root + "/" + relative;
}

namespace {

RegistryRead ReadFailed(RegistryReadStatus status) {
    RegistryRead result;
    result.status = status;
    return result;
}

// Why an opened value file is not used, or Ok: it must be a plain file of
// this user that nobody else may read, as a token deserves.
RegistryReadStatus CheckValueFile(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return RegistryReadStatus::Unreadable;
    if (info.st_uid != ::geteuid()) return RegistryReadStatus::NotOwned;
    if ((info.st_mode & (S_IRWXG | S_IRWXO)) != 0) return RegistryReadStatus::NotPrivate;
    return RegistryReadStatus::Ok;
}

// The value's text: the file's bytes up to the first NUL, within the buffer.
RegistryRead ReadValueText(int fd) {
    char buffer[kRegistryValueBuffer + 1];
    size_t total = 0;
    while (total < sizeof(buffer)) {
        const ssize_t got = ::read(fd, buffer + total, sizeof(buffer) - total);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return ReadFailed(RegistryReadStatus::Unreadable);
        if (got == 0) break;
        total += static_cast<size_t>(got);
    }
    // The stored form is the text and its NUL, as the registry keeps string values;
    // a file without the NUL still counts one byte for it.
    const size_t textLength = strnlen(buffer, total);
    if (textLength + 1 > kRegistryValueBuffer) return ReadFailed(RegistryReadStatus::TooLong);
    RegistryRead result;
    result.status = RegistryReadStatus::Ok;
    result.text.assign(buffer, textLength);
    return result;
}

}  // namespace

RegistryRead ReadRegistryString(const std::string& keyPath, const std::string& valueName) {
    const std::string folder = RegistryKeyFolder(keyPath);
    if (ConfigRoot().empty()) return ReadFailed(RegistryReadStatus::Missing);  // no store at all
    if (folder.empty() || !IsSafeComponent(valueName)) {
        return ReadFailed(RegistryReadStatus::BadName);
    }
    const std::string path = folder + "/" + valueName;
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (!fd) {
        return ReadFailed(errno == ENOENT  ? RegistryReadStatus::Missing
                          : errno == ELOOP ? RegistryReadStatus::SymbolicLink
                                           : RegistryReadStatus::Unreadable);
    }
    const RegistryReadStatus fileStatus = CheckValueFile(fd.Get());
    if (fileStatus != RegistryReadStatus::Ok) return ReadFailed(fileStatus);
    return ReadValueText(fd.Get());
}

Outcome WriteRegistryString(const std::string& keyPath, const std::string& valueName,
                            const std::string& text) {
    const std::string root = ConfigRoot();
    std::string relative;
    if (root.empty()) return Outcome::Failed(kNoUserConfigFolder);
    if (!KeyPathToRelative(keyPath, &relative) || !IsSafeComponent(valueName))
        return Outcome::Failed("unusable key path or value name");
    if (Outcome folders = MakePrivateFolders(root, relative); !folders) return folders;
    std::string stored = text.substr(0, text.find('\0'));
    stored.push_back('\0');
    return WriteFileAtomically(RealFileSystem(), root + "/" + relative + "/" + valueName, stored,
                               0600);
}

Outcome DeleteRegistryValue(const std::string& keyPath, const std::string& valueName) {
    const std::string folder = RegistryKeyFolder(keyPath);
    if (folder.empty() || !IsSafeComponent(valueName))
        return Outcome::Failed("unusable key path or value name");
    const std::string path = folder + "/" + valueName;
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0)
        return errno == ENOENT ? Outcome::Ok() : Outcome::FromErrno(path);
    if (!S_ISREG(info.st_mode) || info.st_uid != ::geteuid())
        return Outcome::Failed(path + " is not a plain file of this user");
    if (::unlink(path.c_str()) != 0 && errno != ENOENT)
        return Outcome::FromErrno("can't remove " + path);
    return Outcome::Ok();
}

const char* DescribeRegistryStatus(RegistryReadStatus status) {
    switch (status) {
        case RegistryReadStatus::Ok:
            return "ok";
        case RegistryReadStatus::Missing:
            return "missing";
        case RegistryReadStatus::Unreadable:
            return "unreadable";
        case RegistryReadStatus::TooLong:
            return "too long";
        case RegistryReadStatus::SymbolicLink:
            return "a symbolic link";
        case RegistryReadStatus::NotPrivate:
            return "readable by others";
        case RegistryReadStatus::NotOwned:
            return "owned by another user";
        case RegistryReadStatus::BadName:
            return "unusable name";
    }
    return "unknown";
}

}  // namespace pixolune::platform
