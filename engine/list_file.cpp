#include "engine/list_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "engine/local_names.h"
#include "platform/atomic_file.h"

namespace pixolune {
namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

// Reads lines of at most kMaxListLineBytes; a longer one is consumed whole
// and reported, so that the URL and name lines never slip out of step.
class ListLineReader {
  public:
    explicit ListLineReader(std::FILE* file) : file_(file) {}

    enum class Line { Ok, TooLong, End };

    Line Next(std::string& line) {
        line.clear();
        bool any = false;
        bool tooLong = false;
        char buffer[kMaxListLineBytes + 1];
        while (std::fgets(buffer, sizeof(buffer), file_)) {
            any = true;
            size_t length = std::strlen(buffer);
            const bool complete = length > 0 && buffer[length - 1] == '\n';
            if (!tooLong) line.append(buffer, length);
            if (line.size() > kMaxListLineBytes + 2) tooLong = true;
            if (complete) break;
        }
        if (!any) return Line::End;
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        if (tooLong || line.size() > kMaxListLineBytes) return Line::TooLong;
        return Line::Ok;
    }

  private:
    std::FILE* file_;
};

long long BoundedCount(const std::string& line) {
    errno = 0;
    const long long n = std::strtoll(line.c_str(), nullptr, 0);
    return n < 0 ? 0 : n;
}

}  // namespace

ListReadResult ReadListFile(const std::string& path, LocalFileMap& files) {
    files.clear();
    ListReadResult result;
    UniqueFile file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        files.reserve(2523);
        return result;
    }
    ListLineReader reader(file.get());
    std::string line;
    if (reader.Next(line) != ListLineReader::Line::Ok || line != kListHeader) {
        result.status = ListReadStatus::WrongHeader;
        return result;
    }
    result.status = ListReadStatus::Loaded;
    if (reader.Next(line) == ListLineReader::Line::End) return result;
    const long long count = BoundedCount(line);
    // Every entry takes at least four bytes ("u\nn\n"), so a damaged count never
    // sizes the table beyond what the file could hold.
    struct stat status {};
    const long long fileCouldHold =
        ::fstat(::fileno(file.get()), &status) == 0 ? status.st_size / 4 + 1 : kMaxListReserve;
    files.reserve(static_cast<size_t>(std::min({count, kMaxListReserve, fileCouldHold})));

    std::string url, name;
    for (long long read = 0; read < count; ++read) {
        const auto urlLine = reader.Next(url);
        if (urlLine == ListLineReader::Line::End) break;
        const auto nameLine = reader.Next(name);
        if (nameLine == ListLineReader::Line::End) break;
        if (urlLine == ListLineReader::Line::TooLong || nameLine == ListLineReader::Line::TooLong ||
            (!url.empty() && !IsUsableLocalName(name))) {
            ++result.skipped;
            continue;
        }
        if (url.empty()) continue;
        CFileData& record = files[url];
        record.SourceUrl = url;
        record.LocalName = name;
        record.Seen = 0;
    }
    return result;
}

bool AppendJournal(const std::string& path, const CFileData& record) {
    const std::string entry = record.SourceUrl + "\r\n" + record.LocalName + "\r\n";
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const ssize_t written = ::write(fd, entry.data(), entry.size());
    const bool closed = ::close(fd) == 0;
    return written == static_cast<ssize_t>(entry.size()) && closed;
}

size_t MergeJournal(const std::string& path, const std::string& folder, LocalFileMap& files) {
    UniqueFile file(std::fopen(path.c_str(), "rb"));
    if (!file) return 0;
    ListLineReader reader(file.get());
    size_t added = 0;
    std::string url, name;
    for (;;) {
        if (reader.Next(url) != ListLineReader::Line::Ok) break;
        const long urlEnd = std::ftell(file.get());
        if (reader.Next(name) != ListLineReader::Line::Ok) break;
        // An entry whose name line has no line end was cut off by a kill.
        std::fseek(file.get(), -1, SEEK_CUR);
        const bool complete = std::fgetc(file.get()) == '\n';
        if (!complete || std::ftell(file.get()) <= urlEnd) break;
        struct stat status {};
        if (url.empty() || !IsUsableLocalName(name) ||
            ::lstat(MediaPath(folder, name).c_str(), &status) != 0 || !S_ISREG(status.st_mode))
            continue;
        CFileData& record = files[url];
        record = CFileData{name, url, 0};
        ++added;
    }
    return added;
}

std::string FormatListFile(const LocalFileMap& files) {
    std::string text;
    size_t size = 64;
    for (const auto& entry : files)
        size += entry.second.SourceUrl.size() + entry.second.LocalName.size() + 4;
    text.reserve(size);
    text += kListHeader;
    text += "\r\n";
    text += std::to_string(files.size());
    text += "\r\n";
    for (const auto& entry : files) {
        text += entry.second.SourceUrl;
        text += "\r\n";
        text += entry.second.LocalName;
        text += "\r\n";
    }
    return text;
}

bool WriteListFile(const std::string& path, const LocalFileMap& files, std::string* error) {
    return platform::WriteFileAtomically(path, FormatListFile(files), 0644, error);
}

}  // namespace pixolune
