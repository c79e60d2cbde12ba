#include "engine/users_sidecars.h"

#include <fcntl.h>

#include <cerrno>
#include <string_view>

#include "engine/local_names.h"
#include "platform/atomic_file.h"

namespace pixolune {
namespace {

// A list of a few names; a larger file is not ours.
constexpr size_t kLargestFileBytes = 1 << 20;

bool IsSidecarName(std::string_view name) {
    const std::string_view suffix = ".kprop";
    return name.size() > suffix.size() && name.substr(name.size() - suffix.size()) == suffix &&
           name.find('/') == std::string_view::npos && name.front() != '.' &&
           name.size() <= kMaxLocalNameBytes &&
           name.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

std::string ReadWhole(platform::FileSystem& fileSystem, const std::string& path) {
    platform::FileHandle file = platform::OpenRegularFile(fileSystem, path, O_RDONLY, 0);
    std::string text;
    char buffer[4096];
    ssize_t got = 0;
    while (file && text.size() < kLargestFileBytes &&
           (got = fileSystem.Read(file.Get(), buffer, sizeof(buffer))) > 0)
        text.append(buffer, static_cast<size_t>(got));
    return text;
}

}  // namespace

std::set<std::string> ReadUsersSidecars(platform::FileSystem& fileSystem,
                                        const std::string& path) {
    const std::string text = ReadWhole(fileSystem, path);
    std::set<std::string> names;
    size_t start = 0;
    bool header = true;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) break;  // a line cut off by a kill is no name
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        if (header) {
            if (line != kUsersSidecarsHeader) return {};
            header = false;
        } else if (IsSidecarName(line)) {
            names.insert(line);
        }
    }
    return names;
}

bool NoteUsersSidecar(platform::FileSystem& fileSystem, const std::string& path,
                      const std::string& sidecarName) {
    if (!IsSidecarName(sidecarName)) return false;
    struct stat status {};
    const bool isNew = fileSystem.Lstat(path.c_str(), &status) != 0;
    const std::string entry =
        (isNew ? std::string(kUsersSidecarsHeader) + "\n" : std::string()) + sidecarName + "\n";
    platform::FileHandle file = platform::OpenRegularFile(
        fileSystem, path, O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW, 0644);
    if (!file) return false;
    const ssize_t written = fileSystem.Write(file.Get(), entry.data(), entry.size());
    return written == static_cast<ssize_t>(entry.size()) && file.Reset() == 0;
}

platform::Outcome WriteUsersSidecars(platform::FileSystem& fileSystem, const std::string& path,
                                     const std::set<std::string>& names) {
    if (names.empty()) {
        if (fileSystem.Unlink(path.c_str()) != 0 && errno != ENOENT)
            return platform::Outcome::FromErrno("remove " + path);
        return platform::Outcome::Ok();
    }
    std::string text = std::string(kUsersSidecarsHeader) + "\n";
    for (const std::string& name : names) text += name + "\n";
    return platform::WriteFileAtomically(fileSystem, path, text, 0644);
}

}  // namespace pixolune
