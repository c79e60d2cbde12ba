#include "platform/media_folder_rule.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace pixolune::platform {

// An empty or relative setting would put media and list wherever the host was started.
std::string MediaFolderProblem(FileSystem& fileSystem, const std::string& folder) {
    if (folder.empty()) return "not set";
    if (folder.front() != '/') return "not an absolute path";
    struct stat status {};
    if (fileSystem.Stat(folder.c_str(), &status) != 0) return std::strerror(errno);
    if (!S_ISDIR(status.st_mode)) return std::strerror(ENOTDIR);
    if (fileSystem.Access(folder.c_str(), W_OK | X_OK) != 0) return std::strerror(errno);
    return {};
}

}  // namespace pixolune::platform
