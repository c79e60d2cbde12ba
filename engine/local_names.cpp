#include "engine/local_names.h"

#include <fcntl.h>

#include <algorithm>
#include <cinttypes>
#include <climits>
#include <cstdio>

#include "engine/list_file.h"
#include "model/host_link.h"
#include "platform/url_parts.h"

namespace pixolune {
namespace {

bool EndsWith(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

constexpr std::string_view kPartSuffix = ".__t";
constexpr std::string_view kNoteMarker = ".v";
constexpr size_t kHashHexDigits = 16;
// "." + hash + ".v" + ".__t": what the longest of the names adds to the item's.
constexpr size_t kAddedNameBytes = 1 + kHashHexDigits + 2 + 4;

// FNV-1a: stable across runs and builds, which std::hash need not be.
uint64_t StableHash(std::string_view text) {
    uint64_t hash = 14695981039346656037ull;
    for (const char c : text) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ull;
    }
    return hash;
}

std::string HashHex(std::string_view text) {
    char hash[kHashHexDigits + 1];
    std::snprintf(hash, sizeof(hash), "%016" PRIx64, StableHash(text));
    return hash;
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
                           const std::string& probe, KeptProbe* keptProbe) {
    if (fullPath.size() >= PATH_MAX) return false;
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

PartialPaths PartialPathsFor(const std::string& folder, const std::string& fileName,
                             const std::string& url) {
    const std::string address = platform::AddressWithoutQuery(url);
    // The name is cut, never refused: the hash alone tells parts apart.
    const std::string name =
        fileName.substr(0, std::min(fileName.size(), kMaxLocalNameBytes - kAddedNameBytes)) + ".";
    const std::string base = name + HashHex(address);
    return {MediaPath(folder, base + std::string(kPartSuffix)),
            MediaPath(folder, base + std::string(kNoteMarker) + std::string(kPartSuffix)),
            MediaPath(folder, name + HashHex(address + "\nprobe") + std::string(kPartSuffix))};
}

PartialName KindOfPartialName(std::string_view name) {
    std::string_view rest = name;
    if (!EndsWith(rest, kPartSuffix)) return PartialName::None;
    rest.remove_suffix(kPartSuffix.size());
    const bool note = EndsWith(rest, kNoteMarker);
    if (note) rest.remove_suffix(kNoteMarker.size());
    if (rest.size() < kHashHexDigits + 2) return PartialName::None;
    const std::string_view hash = rest.substr(rest.size() - kHashHexDigits);
    if (rest[rest.size() - kHashHexDigits - 1] != '.') return PartialName::None;
    const bool hex = std::all_of(hash.begin(), hash.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
    });
    if (!hex) return PartialName::None;
    return note ? PartialName::Note : PartialName::Part;
}

std::string PartOfNote(std::string_view noteName) {
    std::string part(noteName.substr(0, noteName.size() - kNoteMarker.size() - kPartSuffix.size()));
    return part + std::string(kPartSuffix);
}

std::string NoteOfPart(std::string_view partName) {
    std::string note(partName.substr(0, partName.size() - kPartSuffix.size()));
    return note + std::string(kNoteMarker) + std::string(kPartSuffix);
}

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
    if (name == kListFileName || name == kJournalFileName || name == kLockFileName ||
        name == kUsersSidecarsFileName)
        return false;
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
    if (!IsUsableLocalName(fileName) ||
        !FileSystemAcceptsName(fileSystem, fullPath, PartialPathsFor(folder, fileName, url).probe,
                               keptProbe))
        return LocalNameStatus::Unusable;
    return LocalNameStatus::Ok;
}

LocalNameStatus LocalNamer::Name(const std::string& folder, const std::string& url, LocalName& name,
                                 KeptProbe* probe) {
    // A file whose URL the list reader could not give back would never be known
    // again: it would be downloaded anew each run and never pruned.
    if (!IsRecordableUrl(url)) {
        Log("BuildLocalName(): Url can't be recorded in the file list (%d bytes): %.200s",
            static_cast<int>(url.size()), url.c_str());
        return LocalNameStatus::Unrecordable;
    }
    return MakeLocalName(fileSystem_, folder, url, name, probe);
}

bool LocalNamer::BuildLocalName(const std::string& folder, const std::string& url,
                                std::string& fullPath, std::string& fileName) {
    LocalName name;
    const LocalNameStatus status = Name(folder, url, name);
    if (status == LocalNameStatus::Ok || status == LocalNameStatus::Exists) {
        fullPath = name.fullPath;
        fileName = name.fileName;
    }
    return Report(status, name, url);
}

bool LocalNamer::Report(LocalNameStatus status, const LocalName& name, const std::string& url) {
    switch (status) {
        case LocalNameStatus::Ok:
            return true;
        case LocalNameStatus::Unrecordable:  // said where it was found
            return false;
        case LocalNameStatus::Unparsable:
            Log("BuildLocalName(): Url can't be parsed: %s", url.c_str());
            return false;
        case LocalNameStatus::Exists:
            if (!name.fileName.empty() || !folderAsNameSaid_)
                Log("File already exits: %s", name.fullPath.c_str());
            if (name.fileName.empty()) folderAsNameSaid_ = true;
            return false;
        case LocalNameStatus::Unusable:
            Log("BuildLocalName(): Object name can't be used for local file: %s",
                name.fullPath.c_str());
            return false;
    }
    return false;
}

}  // namespace pixolune
