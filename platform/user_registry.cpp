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
        return Outcome::Failed(ErrnoText("can't create " + path, errno));
    size_t start = 0;
    while (start < relative.size()) {
        size_t end = relative.find('/', start);
        if (end == std::string::npos) end = relative.size();
        path += "/" + relative.substr(start, end - start);
        if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
            return Outcome::Failed(ErrnoText("can't create " + path, errno));
        start = end + 1;
    }
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        return Outcome::Failed(path + " is not a folder");
    if ((info.st_mode & 0777) != 0700 && ::chmod(path.c_str(), 0700) != 0)
        return Outcome::Failed(ErrnoText("can't make " + path + " private", errno));
    return Outcome::Ok();
}

}  // namespace

std::string RegistryKeyFolder(const std::string& keyPath) {
    const std::string root = ConfigRoot();
    std::string relative;
    if (root.empty() || !KeyPathToRelative(keyPath, &relative)) return {};
    return root + "/" + relative;
}

RegistryRead ReadRegistryString(const std::string& keyPath, const std::string& valueName) {
    RegistryRead result;
    const std::string folder = RegistryKeyFolder(keyPath);
    if (ConfigRoot().empty()) return result;  // no store at all: Missing
    if (folder.empty() || !IsSafeComponent(valueName)) {
        result.status = RegistryReadStatus::BadName;
        return result;
    }
    const std::string path = folder + "/" + valueName;
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (!fd) {
        result.status = errno == ENOENT  ? RegistryReadStatus::Missing
                        : errno == ELOOP ? RegistryReadStatus::SymbolicLink
                                         : RegistryReadStatus::Unreadable;
        return result;
    }
    struct stat info {};
    if (::fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        result.status = RegistryReadStatus::Unreadable;
        return result;
    }
    if (info.st_uid != ::geteuid()) {
        result.status = RegistryReadStatus::NotOwned;
        return result;
    }
    if ((info.st_mode & 077) != 0) {
        result.status = RegistryReadStatus::NotPrivate;
        return result;
    }
    char buffer[kRegistryValueBuffer + 1];
    size_t total = 0;
    while (total < sizeof(buffer)) {
        const ssize_t got = ::read(fd.Get(), buffer + total, sizeof(buffer) - total);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            result.status = RegistryReadStatus::Unreadable;
            return result;
        }
        if (got == 0) break;
        total += static_cast<size_t>(got);
    }
    // The stored form is the text and its NUL, as the registry keeps string values;
    // a file without the NUL still counts one byte for it.
    const size_t textLength = strnlen(buffer, total);
    if (textLength + 1 > kRegistryValueBuffer) {
        result.status = RegistryReadStatus::TooLong;
        return result;
    }
    result.status = RegistryReadStatus::Ok;
    result.text.assign(buffer, textLength);
    return result;
}

Outcome WriteRegistryString(const std::string& keyPath, const std::string& valueName,
                            const std::string& text) {
    const std::string root = ConfigRoot();
    std::string relative;
    if (root.empty()) return Outcome::Failed("neither XDG_CONFIG_HOME nor HOME is set");
    if (!KeyPathToRelative(keyPath, &relative) || !IsSafeComponent(valueName))
        return Outcome::Failed("unusable key path or value name");
    if (Outcome folders = MakePrivateFolders(root, relative); !folders) return folders;
    std::string stored = text.substr(0, text.find('\0'));
    stored.push_back('\0');
    return WriteFileAtomically(RealFileSystem(), root + "/" + relative + "/" + valueName, stored,
                               0600);
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
