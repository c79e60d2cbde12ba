#include "engine/prune.h"

#include <cerrno>
#include <string>
#include <unordered_set>
#include <vector>

#include "engine/local_names.h"

namespace pixolune {
namespace {

constexpr int64_t kSecondsPerHour = 3600;
constexpr int64_t kHoursPerDay = 24;

// A time this far ahead of the clock is not an age (a small skew is).
constexpr int64_t kClockSkewSeconds = 3600;

bool IsYoungEnough(platform::FileSystem& fileSystem, const std::string& mediaPath,
                   const PluginSettings& settings, int64_t nowSeconds, size_t& stampedAnew) {
    struct stat status {};
    if (fileSystem.Lstat(mediaPath.c_str(), &status) != 0) {
        // A file that is gone is treated as old; one whose age cannot be read
        // (an I/O error, a folder gone unreadable) may be young, so it stays.
        return errno != ENOENT && errno != ENOTDIR;
    }
    if (static_cast<int64_t>(status.st_mtime) > nowSeconds + kClockSkewSeconds) {
        // Stored while the clock ran ahead: its age counts from now, also after
        // a restart, or it would stay young until the clock caught up.
        if (fileSystem.SetModifiedTime(mediaPath.c_str(), static_cast<time_t>(nowSeconds)) == 0)
            ++stampedAnew;
        return true;
    }
    const int64_t ageHours = (nowSeconds - static_cast<int64_t>(status.st_mtime)) / kSecondsPerHour;
    const int64_t limitHours = static_cast<int64_t>(settings.OlderDays) * kHoursPerDay +
                               static_cast<int64_t>(settings.OlderHours);
    return ageHours <= limitHours;
}

bool Stays(platform::FileSystem& fileSystem, const CFileData& record,
           const PluginSettings& settings, int64_t nowSeconds, size_t& stampedAnew) {
    if (record.Seen == 1) return true;
    return settings.FeedsSynch != 0 &&
           IsYoungEnough(fileSystem, MediaPath(settings.ImgFolder, record.LocalName), settings,
                         nowSeconds, stampedAnew);
}

// The names of the folder's files other than the sidecars, by the sidecar
// they would share; read only when something is to be removed.
std::unordered_multiset<std::string> MediaBySidecar(platform::FileSystem& fileSystem,
                                                    const std::string& folder) {
    std::vector<std::string> names;
    (void)fileSystem.ListFolder(folder.empty() ? "." : folder.c_str(), &names);
    std::unordered_multiset<std::string> media;
    for (std::string& name : names) {
        std::string sidecar = name;
        ReplaceExtension(sidecar, kSidecarSuffix);
        if (sidecar != name) media.insert(std::move(sidecar));
    }
    return media;
}

}  // namespace

void RemoveSidecarOfGoneFile(platform::FileSystem& fileSystem, const std::string& folder,
                             const std::string& localName,
                             const std::set<std::string>& usersSidecars) {
    if (!IsUsableLocalName(localName)) return;
    std::string sidecar = localName;
    ReplaceExtension(sidecar, kSidecarSuffix);
    if (usersSidecars.count(sidecar) == 0 && MediaBySidecar(fileSystem, folder).count(sidecar) == 0)
        fileSystem.Unlink(MediaPath(folder, sidecar).c_str());
}

size_t PruneFiles(platform::FileSystem& fileSystem, LocalFileMap& files,
                  const PluginSettings& settings, int64_t nowSeconds,
                  const std::set<std::string>& usersSidecars, size_t* stampedAnew) {
    std::vector<LocalFileMap::iterator> leaving;
    std::unordered_set<std::string> keptNames;
    size_t stamped = 0;
    for (auto it = files.begin(); it != files.end(); ++it) {
        if (Stays(fileSystem, it->second, settings, nowSeconds, stamped))
            keptNames.insert(it->second.LocalName);
        else
            leaving.push_back(it);
    }
    if (stampedAnew) *stampedAnew = stamped;
    if (leaving.empty()) return 0;
    std::unordered_multiset<std::string> mediaBySidecar =
        MediaBySidecar(fileSystem, settings.ImgFolder);
    for (const auto& it : leaving) {
        const std::string& name = it->second.LocalName;
        // A name that is not one plain file of the folder is never deleted, nor
        // one that a record kept claims as well; the record goes all the same.
        if (IsUsableLocalName(name) && keptNames.count(name) == 0) {
            const std::string mediaPath = MediaPath(settings.ImgFolder, name);
            std::string sidecar = name;
            ReplaceExtension(sidecar, kSidecarSuffix);
            if (fileSystem.Unlink(mediaPath.c_str()) == 0) {
                const auto own = mediaBySidecar.find(sidecar);
                if (own != mediaBySidecar.end()) mediaBySidecar.erase(own);
            }
            // A sidecar shared with a file that stays (ours or the user's) is
            // that file's; one the user wrote is the user's.
            if (mediaBySidecar.count(sidecar) == 0 && usersSidecars.count(sidecar) == 0)
                fileSystem.Unlink(MediaPath(settings.ImgFolder, sidecar).c_str());
        }
        files.erase(it);
    }
    return leaving.size();
}

}  // namespace pixolune
