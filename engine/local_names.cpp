#include "engine/local_names.h"

#include <fcntl.h>

#include <climits>

#include "platform/url_parts.h"

namespace pixolune {
namespace {

bool EndsWith(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

bool HasControlCharacter(std::string_view name) {
    for (const char c : name) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) return true;
    }
    return false;
}

// Creating and removing a file is how we learn that the file system takes
// the name, whatever its own rules are. The probe uses the download's
// temporary name, never the final one: a process killed between the two
// calls must not leave an empty file that would take the name for good (the
// temporary names are cleared at every start). The final name's own test is
// the rename that gives the finished download its name.
bool FileSystemAcceptsName(platform::FileSystem& fileSystem, const std::string& fullPath,
                           KeptProbe* keptProbe) {
    if (fullPath.size() >= PATH_MAX) return false;
    std::string probe = fullPath;
    ReplaceExtension(probe, kTempSuffix);
    platform::FileHandle fd(
        fileSystem,
        fileSystem.Open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd) return false;
    if (keptProbe) {
        keptProbe->Keep(fileSystem, std::move(probe), std::move(fd));
    } else {
        (void)fd.Reset();
        fileSystem.Unlink(probe.c_str());
    }
    return true;
}

}  // namespace

KeptProbe::~KeptProbe() {
    (void)file_.Reset();
    if (!path_.empty()) fileSystem_->Unlink(path_.c_str());
}

std::string MediaPath(const std::string& folder, const std::string& name) {
    if (folder.empty() || folder.back() == '/') return folder + name;
    return folder + "/" + name;
}

void ReplaceExtension(std::string& path, const std::string& suffix) {
    const size_t slash = path.rfind('/');
    const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    const size_t dot = path.rfind('.');
    if (dot != std::string::npos && dot >= nameStart) path.erase(dot);
    path += ".";
    path += suffix;
}

std::string FileNameFromObjectPath(const std::string& objectPath) {
    std::string name = objectPath;
    if (const size_t slash = name.rfind('/'); slash != std::string::npos) name.erase(0, slash + 1);
    if (const size_t question = name.find('?'); question != std::string::npos) name.erase(question);
    return name;
}

bool IsUsableLocalName(std::string_view name) {
    if (name.empty() || name.size() > kMaxLocalNameBytes) return false;
    if (name == "." || name == "..") return false;
    if (name.find('/') != std::string_view::npos || HasControlCharacter(name)) return false;
    if (name.front() == '.') return false;
    if (name == kListFileName || name == kJournalFileName || name == kLockFileName) return false;
    if (EndsWith(name, std::string(".") + kTempSuffix) ||
        EndsWith(name, std::string(".") + kSidecarSuffix))
        return false;
    return true;
}

LocalNameStatus MakeLocalName(platform::FileSystem& fileSystem, const std::string& folder,
                              const std::string& url, LocalName& out, KeptProbe* keptProbe) {
    const auto parts = platform::ParseUrl(url);
    if (!parts) return LocalNameStatus::Unparsable;
    const std::string fileName = FileNameFromObjectPath(parts->objectPath);
    const std::string fullPath = MediaPath(folder, fileName);
    struct stat status {};
    // lstat: a dangling link of that name is as much in the way as a file.
    if (fileSystem.Lstat(fullPath.empty() ? "." : fullPath.c_str(), &status) == 0) {
        out = {fullPath, fileName};
        return LocalNameStatus::Exists;
    }
    out = {fullPath, fileName};
    if (!IsUsableLocalName(fileName) || !FileSystemAcceptsName(fileSystem, fullPath, keptProbe))
        return LocalNameStatus::Unusable;
    return LocalNameStatus::Ok;
}

}  // namespace pixolune
