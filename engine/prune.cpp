#include "engine/prune.h"

#include <cerrno>

#include "engine/local_names.h"

namespace pixolune {
namespace {

constexpr int64_t kSecondsPerHour = 3600;
constexpr int64_t kHoursPerDay = 24;

bool IsYoungEnough(platform::FileSystem& fileSystem, const std::string& mediaPath,
                   const PluginSettings& settings, int64_t nowSeconds) {
    struct stat status {};
    if (fileSystem.Lstat(mediaPath.c_str(), &status) != 0) {
        // A file that is gone is treated as old; one whose age cannot be read
        // (an I/O error, a folder gone unreadable) may be young, so it stays.
        return errno != ENOENT && errno != ENOTDIR;
    }
    const int64_t ageHours = (nowSeconds - static_cast<int64_t>(status.st_mtime)) / kSecondsPerHour;
    const int64_t limitHours = static_cast<int64_t>(settings.OlderDays) * kHoursPerDay +
                               static_cast<int64_t>(settings.OlderHours);
    return ageHours <= limitHours;
}

}  // namespace

size_t PruneFiles(platform::FileSystem& fileSystem, LocalFileMap& files,
                  const PluginSettings& settings, int64_t nowSeconds) {
    size_t removed = 0;
    for (auto it = files.begin(); it != files.end();) {
        const CFileData& record = it->second;
        if (record.Seen == 1) {
            ++it;
            continue;
        }
        const std::string mediaPath = MediaPath(settings.ImgFolder, record.LocalName);
        if (settings.FeedsSynch != 0 &&
            IsYoungEnough(fileSystem, mediaPath, settings, nowSeconds)) {
            ++it;
            continue;
        }
        // A name that is not one plain file of the folder is never deleted; its record goes.
        if (IsUsableLocalName(record.LocalName)) {
            std::string sidecar = mediaPath;
            ReplaceExtension(sidecar, kSidecarSuffix);
            fileSystem.Unlink(mediaPath.c_str());
            fileSystem.Unlink(sidecar.c_str());
        }
        it = files.erase(it);
        ++removed;
    }
    return removed;
}

}  // namespace pixolune
