#include "model/media_folder_rule.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace pixolune {

using platform::Outcome;

// An empty or relative setting would put media and list wherever the host was started.
Outcome MediaFolderProblem(platform::FileSystem& fileSystem, const std::string& folder) {
    if (folder.empty()) return Outcome::Failed("not set");
    if (folder.front() != '/') return Outcome::Failed("not an absolute path");
    struct stat status {};
    if (fileSystem.Stat(folder.c_str(), &status) != 0) return Outcome::FromErrno("");
    if (!S_ISDIR(status.st_mode)) return Outcome::Failed("", ENOTDIR);
    if (fileSystem.Access(folder.c_str(), W_OK | X_OK) != 0) return Outcome::FromErrno("");
    return Outcome::Ok();
}

}  // namespace pixolune
