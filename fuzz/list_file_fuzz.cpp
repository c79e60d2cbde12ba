// Arbitrary bytes as the list file and as the journal of the media folder.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/list_file.h"
#include "engine/local_names.h"

namespace {

struct ScratchFolder {
    ScratchFolder() {
        char pattern[] = "/tmp/fuzz_list_file_XXXXXX";
        if (!::mkdtemp(pattern)) __builtin_trap();
        path = pattern;
    }
    ~ScratchFolder() {
        ::unlink(File().c_str());
        ::rmdir(path.c_str());
    }
    // Hidden, so that no entry can name it as a media file of the folder.
    std::string File() const { return path + "/.input"; }
    std::string path;
};

void WriteWhole(const std::string& path, const std::string& bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) __builtin_trap();
    if (::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
        __builtin_trap();
    ::close(fd);
}

// What the pruning and the download rely on for every record read.
void CheckRecords(const pixolune::LocalFileMap& files) {
    for (const auto& [url, record] : files) {
        if (url.empty() || record.SourceUrl != url || record.Seen != 0) __builtin_trap();
        if (!pixolune::IsUsableLocalName(record.LocalName)) __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static ScratchFolder folder;
    WriteWhole(folder.File(), std::string(reinterpret_cast<const char*>(data), size));

    pixolune::LocalFileMap files;
    const pixolune::ListReadResult result =
        pixolune::ReadListFile(pixolune::platform::RealFileSystem(), folder.File(), files);
    if (result.status == pixolune::ListReadStatus::NotFound ||
        result.status == pixolune::ListReadStatus::Unreadable)
        __builtin_trap();
    if (result.status == pixolune::ListReadStatus::WrongHeader && !files.empty()) __builtin_trap();
    CheckRecords(files);

    // What was read must survive a write and a read unchanged.
    WriteWhole(folder.File(), pixolune::FormatListFile(files));
    pixolune::LocalFileMap again;
    if (pixolune::ReadListFile(pixolune::platform::RealFileSystem(), folder.File(), again).status !=
        pixolune::ListReadStatus::Loaded)
        __builtin_trap();
    if (again.size() != files.size()) __builtin_trap();
    for (const auto& [url, record] : files) {
        const auto found = again.find(url);
        if (found == again.end() || found->second.LocalName != record.LocalName) __builtin_trap();
    }

    // As a journal: the folder holds no media file, so no entry may be taken,
    // and a torn tail is cut back to a whole entry, which reads the same.
    WriteWhole(folder.File(), std::string(reinterpret_cast<const char*>(data), size));
    pixolune::LocalFileMap journal;
    const pixolune::ListReadResult merged = pixolune::MergeJournal(
        pixolune::platform::RealFileSystem(), folder.File(), folder.path, journal);
    if (!merged.Readable() || merged.added != 0 || !journal.empty()) __builtin_trap();
    if (merged.trimmed) {
        const pixolune::ListReadResult again = pixolune::MergeJournal(
            pixolune::platform::RealFileSystem(), folder.File(), folder.path, journal);
        if (!again.Readable() || again.trimmed || again.added != 0) __builtin_trap();
    }
    return 0;
}
