#include "engine/leftover_files.h"

#include <sys/stat.h>

#include <string_view>
#include <unordered_set>
#include <vector>

#include "engine/list_file.h"
#include "engine/local_names.h"
#include "model/host_link.h"
#include "platform/atomic_file.h"

namespace pixolune {
namespace {

// "." + name + ".tmp" + six characters, where name is a sidecar's.
bool IsSidecarWriteLeftover(std::string_view name) {
    const std::string_view marker = ".kprop.tmp";
    if (name.size() < 1 + marker.size() + 6 || name.front() != '.') return false;
    return name.substr(name.size() - 6 - marker.size(), marker.size()) == marker;
}

bool IsLeftover(const std::string& name, const std::unordered_set<std::string>& names) {
    switch (KindOfPartialName(name)) {
        case PartialName::Part:
            return names.count(NoteOfPart(name)) == 0;
        case PartialName::Note:
            return names.count(PartOfNote(name)) == 0;
        case PartialName::None:
            break;
    }
    return platform::IsAtomicWriteLeftover(name, kListFileName) || IsSidecarWriteLeftover(name);
}

}  // namespace

void RemoveLeftoverFiles(platform::FileSystem& fileSystem, const std::string& folder) {
    // A listing cut short by an error still yields the names read so far.
    std::vector<std::string> names;
    (void)fileSystem.ListFolder(folder.empty() ? "." : folder.c_str(), &names);
    const std::unordered_set<std::string> all(names.begin(), names.end());
    for (const std::string& name : names) {
        if (!IsLeftover(name, all)) continue;
        const std::string path = MediaPath(folder, name);
        struct stat status {};
        if (fileSystem.Lstat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) continue;
        if (fileSystem.Unlink(path.c_str()) == 0)
            Log("RemoveLeftoverFiles: removed %s", path.c_str());
    }
}

}  // namespace pixolune
