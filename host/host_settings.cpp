#include "host_settings.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>

#include "platform/atomic_file.h"
#include "platform/outcome.h"
#include "platform/user_registry.h"

namespace kalhost {
namespace {

// A new settings file gets the usual mode of a configuration file.
constexpr mode_t kNewFileMode = 0644;

std::string Section(const HostSettingRequest& request) {
    return request.section ? request.section : "";
}

std::string Key(const HostSettingRequest& request) {
    return request.key ? request.key : "";
}

enum class NumberParse { Ok, NotANumber, OutOfRange };

NumberParse ParseInt32(const std::string& text, int32_t* value) {
    errno = 0;
    char* end = nullptr;
    const long long number = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || end == text.c_str() || *end != '\0') return NumberParse::NotANumber;
    // Wrapping a larger number into 32 bits would turn a user's 4294967296 into 0.
    if (errno == ERANGE || number < std::numeric_limits<int32_t>::min() ||
        number > std::numeric_limits<int32_t>::max())
        return NumberParse::OutOfRange;
    *value = static_cast<int32_t>(number);
    return NumberParse::Ok;
}

// The file a save replaces: the target of a symbolic link, so that a linked
// settings file stays linked.
std::string WriteTarget(const std::string& path, std::string* error) {
    namespace fs = std::filesystem;
    std::error_code code;
    if (!fs::is_symlink(path, code)) return path;
    const fs::path target = fs::canonical(path, code);
    if (code) {
        *error = "can't follow the link " + path + ": " + code.message();
        return {};
    }
    return target.string();
}

// A save replaces the file whole, which the file's own mode would not stop: a
// file that nobody may write, or that we may not, is refused as an unwritable
// folder is.
bool MayReplace(const std::string& path, const struct stat& info, std::string* error) {
    if ((info.st_mode & 0222) == 0) {
        char mode[8];
        std::snprintf(mode, sizeof(mode), "%04o", static_cast<unsigned>(info.st_mode & 07777));
        *error = path + " is read-only (mode " + mode + ")";
        return false;
    }
    if (::access(path.c_str(), W_OK) != 0) {
        *error = pixolune::platform::Outcome::FromErrno("can't write " + path).Error();
        return false;
    }
    return true;
}

enum class FileRead { Ok, Missing, Failed };

FileRead ReadWholeFile(const std::string& path, std::string* bytes, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (errno == ENOENT) return FileRead::Missing;
        *error = pixolune::platform::Outcome::FromErrno("can't read " + path).Error();
        return FileRead::Failed;
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) {
        *error = "can't read " + path;
        return FileRead::Failed;
    }
    *bytes = text.str();
    return FileRead::Ok;
}

}  // namespace

HostSettings::HostSettings(const std::string& path, const std::string& seedPath) : path_(path) {
    if (path.empty()) {
        readError_ = pixolune::platform::kNoUserConfigFolder;
        return;
    }
    std::string bytes;
    const FileRead read = ReadWholeFile(path, &bytes, &readError_);
    if (read == FileRead::Failed) return;
    std::string seedError;  // a seed that can't be read only means starting empty
    if (read == FileRead::Missing && !seedPath.empty() &&
        ReadWholeFile(seedPath, &bytes, &seedError) == FileRead::Ok)
        seededFrom_ = seedPath;
    document_ = IniDocument::Parse(bytes);
}

std::string HostSettings::Read(HostSettingRequest& request) {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::optional<std::string> stored = document_.Value(Section(request), Key(request));
    if (request.kind == KAL_SETTING_INT) {
        request.value = request.defaultValue;
        if (!stored) return {};
        int32_t number = 0;
        const NumberParse parsed = ParseInt32(*stored, &number);
        if (parsed == NumberParse::Ok) {
            request.value = number;
            return {};
        }
        return Key(request) + "=" + *stored + " in section " + Section(request) + " of " + path_ +
               (parsed == NumberParse::OutOfRange ? " is out of range" : " is not a number") +
               "; the default " + std::to_string(request.defaultValue) + " is used";
    }
    const char* fallback =
        request.defaultValue ? reinterpret_cast<const char*>(request.defaultValue) : "";
    const std::string text = stored ? *stored : fallback;
    char* buffer = reinterpret_cast<char*>(request.value);
    if (buffer && text.size() <= static_cast<size_t>(request.capacity)) {
        std::memcpy(buffer, text.c_str(), text.size() + 1);
        return {};
    }
    // Longer than the plug-in's buffer: hand over our own copy instead.
    longText_ = text;
    request.value = reinterpret_cast<intptr_t>(longText_.c_str());
    return {};
}

void HostSettings::Write(const HostSettingRequest& request) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string value;
    if (request.kind == KAL_SETTING_INT) {
        value = std::to_string(static_cast<int32_t>(request.value));
    } else {
        const char* text = reinterpret_cast<const char*>(request.value);
        value = text ? text : "";
    }
    if (document_.SetValue(Section(request), Key(request), value)) changed_ = true;
}

bool HostSettings::Flush(std::string* error) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!changed_) return true;
    if (!readError_.empty()) {
        // Writing now would replace a file we never saw with our keys alone.
        *error = readError_;
        return false;
    }
    const std::string target = WriteTarget(path_, error);
    if (target.empty()) return false;
    std::error_code code;
    std::filesystem::create_directories(std::filesystem::path(target).parent_path(), code);
    struct stat info {};
    const bool exists = ::stat(target.c_str(), &info) == 0;
    if (exists && !MayReplace(target, info, error)) return false;
    const mode_t mode = exists ? (info.st_mode & 07777) : kNewFileMode;
    const pixolune::platform::Outcome written = pixolune::platform::WriteFileAtomically(
        pixolune::platform::RealFileSystem(), target, document_.Bytes(), mode);
    if (!written) {
        *error = written.Error();
        return false;
    }
    changed_ = false;
    return true;
}

std::string DefaultSettingsPath(int hostVariant) {
    // Without a home the token store refuses to work; so do the settings, rather
    // than land in whatever folder kalhost was started from.
    const std::string folder = pixolune::platform::UserConfigFolder();
    if (folder.empty()) return {};
    return folder + (hostVariant == 1 ? "/kaleidra/kalhost-NVX.ini" : "/kaleidra/kalhost.ini");
}

}  // namespace kalhost
