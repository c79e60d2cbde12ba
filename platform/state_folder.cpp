#include "platform/state_folder.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>

namespace pixolune::platform {
namespace {

constexpr mode_t kPrivateFolderMode = 0700;

}  // namespace

std::string KaleidraStateFolder() {
    const char* xdg = std::getenv("XDG_STATE_HOME");
    // A relative XDG_STATE_HOME is invalid by the XDG rules and is ignored.
    if (xdg && xdg[0] == '/') return std::string(xdg) + "/kaleidra";
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/') return std::string(home) + "/.local/state/kaleidra";
    return {};
}

std::string HealthRecordPath(int hostVariant) {
    const std::string folder = KaleidraStateFolder();
    if (folder.empty()) return {};
    return folder + (hostVariant == 1 ? "/health-NVX.json" : "/health-KAL.json");
}

Outcome MakePrivateFolder(const std::string& folder) {
    if (folder.empty() || folder.front() != '/')
        return Outcome::Failed("not an absolute path: " + folder);
    for (size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
        const std::string part = folder.substr(0, slash);
        if (::mkdir(part.c_str(), kPrivateFolderMode) != 0 && errno != EEXIST)
            return Outcome::FromErrno("can't make " + part);
        if (slash == std::string::npos) break;
    }
    struct stat status {};
    if (::lstat(folder.c_str(), &status) != 0)
        return Outcome::FromErrno("can't read " + folder);
    if (!S_ISDIR(status.st_mode)) return Outcome::Failed(folder + " is not a folder");
    if ((status.st_mode & 07777) != kPrivateFolderMode &&
        ::chmod(folder.c_str(), kPrivateFolderMode) != 0)
        return Outcome::FromErrno("can't make " + folder + " private");
    return Outcome::Ok();
}

}  // namespace pixolune::platform
