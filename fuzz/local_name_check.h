// What every local name the engine accepts must be, whatever URL it came from:
// shared by the fuzz target and the property test so both prove the same thing.
#pragma once

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "engine/local_names.h"

namespace pixolune::proof {

inline std::string RealPath(const std::string& path) {
    std::unique_ptr<char, decltype(&::free)> resolved(::realpath(path.c_str(), nullptr), &::free);
    return resolved ? std::string(resolved.get()) : std::string();
}

// Empty when `name` (accepted with status Ok for `folder`) keeps every
// property; otherwise which one it breaks. Creates the file for a moment to
// see where the system resolves it, then removes it.
inline std::string LocalNameViolation(const std::string& folder, const LocalName& name) {
    const std::string& file = name.fileName;
    if (file.empty()) return "empty name";
    if (file == "." || file == "..") return "dot name";
    if (file.size() > kMaxLocalNameBytes) return "longer than 255 bytes";
    for (const char c : file) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (c == '/') return "slash in the name";
        if (byte < 0x20 || byte == 0x7F) return "control character in the name";
    }
    if (name.fullPath != MediaPath(folder, file)) return "full path is not folder + name";
    const int fd = ::open(name.fullPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
    if (fd < 0) return "accepted name cannot be created";
    ::close(fd);
    const std::string resolved = RealPath(name.fullPath);
    ::unlink(name.fullPath.c_str());
    const size_t slash = resolved.rfind('/');
    if (slash == std::string::npos || resolved.substr(0, slash) != RealPath(folder))
        return "resolves outside the media folder: " + resolved;
    return {};
}

}  // namespace pixolune::proof
