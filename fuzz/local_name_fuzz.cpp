// Arbitrary bytes as a media URL, turned into a local name in a scratch folder.
#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "engine/local_names.h"
#include "fuzz/local_name_check.h"

namespace {

// One folder for the whole run, with a media folder inside it, so that a
// name escaping upwards would land in a place the target can see.
struct ScratchMediaFolder {
    ScratchMediaFolder() {
        char pattern[] = "/tmp/fuzz_local_name_XXXXXX";
        if (!::mkdtemp(pattern)) __builtin_trap();
        root = pattern;
        media = root + "/media";
        if (::mkdir(media.c_str(), 0700) != 0) __builtin_trap();
    }
    ~ScratchMediaFolder() {
        ::rmdir(media.c_str());
        ::rmdir(root.c_str());
    }
    std::string root, media;
};

size_t EntryCount(const std::string& path) {
    DIR* dir = ::opendir(path.c_str());
    if (!dir) __builtin_trap();
    size_t count = 0;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") ++count;
    }
    ::closedir(dir);
    return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static ScratchMediaFolder folder;
    const std::string url(reinterpret_cast<const char*>(data), size);
    pixolune::LocalName name;
    const pixolune::LocalNameStatus status =
        pixolune::MakeLocalName(pixolune::platform::RealFileSystem(), folder.media, url, name);
    if (status == pixolune::LocalNameStatus::Ok) {
        const std::string violation = pixolune::proof::LocalNameViolation(folder.media, name);
        if (!violation.empty()) {
            std::fprintf(stderr, "local name %s: %s\n", name.fileName.c_str(), violation.c_str());
            __builtin_trap();
        }
    }
    // Nothing may stay behind, in the media folder or beside it.
    if (EntryCount(folder.media) != 0 || EntryCount(folder.root) != 1) __builtin_trap();
    return 0;
}
