#include "atomic_file.h"

#include <fcntl.h>

#include <cerrno>
#include <vector>

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

Outcome Fail(const std::string& what) {
    return Outcome::FromErrno(what);
}

}  // namespace

bool IsAtomicWriteLeftover(std::string_view fileName, std::string_view targetName) {
    const std::string prefix = "." + std::string(targetName) + ".tmp";
    return fileName.size() == prefix.size() + 6 && fileName.substr(0, prefix.size()) == prefix;
}

Outcome WriteFileAtomically(FileSystem& fileSystem, const std::string& path,
                            std::string_view contents, mode_t mode) {
    const PathParts parts = SplitPath(path);
    if (parts.name.empty()) {
        errno = EINVAL;
        return Fail("no file name in " + path);
    }
    std::string tempTemplate = parts.folder + "/." + parts.name + ".tmpXXXXXX";
    std::vector<char> tempPath(tempTemplate.begin(), tempTemplate.end());
    tempPath.push_back('\0');

    FileHandle fd(fileSystem, fileSystem.MakeTemporary(tempPath.data()));
    if (!fd) return Fail("can't create a temporary file in " + parts.folder);
    const std::string temp(tempPath.data());
    auto abandon = [&](const std::string& what) {
        const int saved = errno;
        (void)fd.Reset();
        fileSystem.Unlink(temp.c_str());
        errno = saved;
        return Fail(what);
    };

    if (fileSystem.Fchmod(fd.Get(), mode) != 0) return abandon("can't set the mode of " + temp);
    const char* data = contents.data();
    size_t left = contents.size();
    while (left > 0) {
        const ssize_t written = fileSystem.Write(fd.Get(), data, left);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return abandon("can't write " + temp);
        data += written;
        left -= static_cast<size_t>(written);
    }
    if (fileSystem.Fsync(fd.Get()) != 0) return abandon("can't sync " + temp);
    // close() can report a deferred write error; only a clean close may replace the old file.
    if (fd.Reset() != 0) return abandon("can't close " + temp);
    if (fileSystem.Rename(temp.c_str(), path.c_str()) != 0) return abandon("can't rename " + temp);

    FileHandle folder(fileSystem,
                      fileSystem.Open(parts.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
    if (folder && fileSystem.Fsync(folder.Get()) != 0) {
        // The new file is in place; only its durability across a power loss is in doubt.
        return Fail("can't sync folder " + parts.folder);
    }
    return Outcome::Ok();
}

}  // namespace pixolune::platform
