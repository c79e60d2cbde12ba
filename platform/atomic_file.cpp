#include "atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "file_ops.h"

namespace pixolune::platform {
namespace {

struct PathParts {
    std::string folder;
    std::string name;
};

PathParts SplitPath(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return {".", path};
    if (slash == 0) return {"/", path.substr(1)};
    return {path.substr(0, slash), path.substr(slash + 1)};
}

bool Fail(std::string* error, const std::string& what) {
    if (error) *error = what + ": " + std::strerror(errno);
    return false;
}

}  // namespace

bool IsAtomicWriteLeftover(std::string_view fileName, std::string_view targetName) {
    const std::string prefix = "." + std::string(targetName) + ".tmp";
    return fileName.size() == prefix.size() + 6 && fileName.substr(0, prefix.size()) == prefix;
}

bool WriteFileAtomically(const std::string& path, std::string_view contents, mode_t mode,
                         std::string* error) {
    const PathParts parts = SplitPath(path);
    if (parts.name.empty()) {
        errno = EINVAL;
        return Fail(error, "no file name in " + path);
    }
    std::string tempTemplate = parts.folder + "/." + parts.name + ".tmpXXXXXX";
    std::vector<char> tempPath(tempTemplate.begin(), tempTemplate.end());
    tempPath.push_back('\0');

    FileOps& ops = CurrentFileOps();
    UniqueFd fd(ops.mkstemp(tempPath.data()));
    if (!fd) return Fail(error, "can't create a temporary file in " + parts.folder);
    const std::string temp(tempPath.data());
    auto abandon = [&](const std::string& what) {
        const int saved = errno;
        fd.Reset();
        ::unlink(temp.c_str());
        errno = saved;
        return Fail(error, what);
    };

    if (::fchmod(fd.Get(), mode) != 0) return abandon("can't set the mode of " + temp);
    const char* data = contents.data();
    size_t left = contents.size();
    while (left > 0) {
        const ssize_t written = ops.write(fd.Get(), data, left);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return abandon("can't write " + temp);
        data += written;
        left -= static_cast<size_t>(written);
    }
    if (ops.fsync(fd.Get()) != 0) return abandon("can't sync " + temp);
    // close() can report a deferred write error; only a clean close may replace the old file.
    if (ops.close(fd.Release()) != 0) return abandon("can't close " + temp);
    if (ops.rename(temp.c_str(), path.c_str()) != 0) return abandon("can't rename " + temp);

    UniqueFd folder(::open(parts.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder && ops.fsync(folder.Get()) != 0) {
        // The new file is in place; only its durability across a power loss is in doubt.
        return Fail(error, "can't sync folder " + parts.folder);
    }
    return true;
}

}  // namespace pixolune::platform
