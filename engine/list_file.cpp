#include "engine/list_file.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "engine/local_names.h"
#include "platform/atomic_file.h"

namespace pixolune {
namespace {

// A folder without a list yet starts with room for this many records, so
// that its first batches do not grow the table again and again.
constexpr size_t kNoListReserveRecords = 2523;

// Hands out a file's lines by bytes up to '\n', read through the file system
// it is given. A NUL spoils its own line only, a longer line than the
// reader's bound is consumed whole, so the URL and name lines never slip out
// of step; a failing read is reported, never taken for the end of the file.
class ListLineReader {
  public:
    ListLineReader(platform::FileSystem& fileSystem, int fd)
        : fileSystem_(fileSystem), fd_(fd), buffer_(kReadPieceBytes) {}

    enum class Line { Ok, Damaged, End, Error };

    Line Next(std::string& line) {
        line.clear();
        lineEnded_ = false;
        bool any = false;
        bool tooLong = false;
        bool hasNul = false;
        while (!lineEnded_) {
            if (begin_ == end_ && !Fill()) {
                if (error_ != 0) return Line::Error;
                break;
            }
            any = true;
            const char* start = buffer_.data() + begin_;
            const size_t available = end_ - begin_;
            const char* newline = static_cast<const char*>(std::memchr(start, '\n', available));
            const size_t length = newline ? static_cast<size_t>(newline - start) : available;
            hasNul = hasNul || std::memchr(start, '\0', length) != nullptr;
            if (!tooLong) line.append(start, length);
            tooLong = tooLong || line.size() > kMaxListLineBytes + 1;
            lineEnded_ = newline != nullptr;
            const size_t consumed = length + (lineEnded_ ? 1 : 0);
            begin_ += consumed;
            offset_ += consumed;
        }
        if (!any) return Line::End;
        while (!line.empty() && line.back() == '\r') line.pop_back();
        if (tooLong || hasNul || line.size() > kMaxListLineBytes) return Line::Damaged;
        return Line::Ok;
    }

    // Bytes consumed up to the end of the last line handed out.
    off_t Offset() const { return offset_; }
    // Whether that line ended with '\n' (else it was cut off by the file's end).
    bool LineEnded() const { return lineEnded_; }
    int Error() const { return error_; }

  private:
    static constexpr size_t kReadPieceBytes = 64 * 1024;

    bool Fill() {
        for (;;) {
            const ssize_t got = fileSystem_.Read(fd_, buffer_.data(), buffer_.size());
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) error_ = errno != 0 ? errno : EIO;
            if (got <= 0) return false;
            begin_ = 0;
            end_ = static_cast<size_t>(got);
            return true;
        }
    }

    platform::FileSystem& fileSystem_;
    int fd_;
    std::vector<char> buffer_;
    size_t begin_ = 0;
    size_t end_ = 0;
    off_t offset_ = 0;
    bool lineEnded_ = false;
    int error_ = 0;
};

long long BoundedCount(const std::string& line) {
    errno = 0;
    const long long n = std::strtoll(line.c_str(), nullptr, 0);
    return n < 0 ? 0 : n;
}

// Only a missing file is an empty list; a refused or failing open is not.
platform::FileHandle OpenForReading(platform::FileSystem& fileSystem, const std::string& path,
                                    platform::Outcome& failure) {
    // A FIFO or device under the list's name must not hang the worker.
    platform::FileHandle fd = platform::OpenRegularFile(fileSystem, path, O_RDONLY);
    failure = fd ? platform::Outcome::Ok() : platform::Outcome::FromErrno("");
    return fd;
}

ListReadResult Unreadable(platform::Outcome failure) {
    ListReadResult result;
    result.status = ListReadStatus::Unreadable;
    result.failure = std::move(failure);
    return result;
}

ListReadResult Unreadable(int error, LocalFileMap& files) {
    files.clear();
    return Unreadable(platform::Outcome::Failed("", error != 0 ? error : EIO));
}

// Every entry takes at least four bytes ("u\nn\n"), so a damaged count never
// sizes the table beyond what the file could hold.
constexpr long long kLeastEntryBytes = 4;

void ReserveForCount(platform::FileSystem& fileSystem, int fd, long long count,
                     LocalFileMap& files) {
    struct stat status {};
    const long long fileCouldHold = fileSystem.Fstat(fd, &status) == 0
                                        ? status.st_size / kLeastEntryBytes + 1
                                        : kMaxListReserveRecords;
    files.reserve(static_cast<size_t>(std::min({count, kMaxListReserveRecords, fileCouldHold})));
}

// Reads up to `count` URL and name line pairs into `files`; false when a read failed.
bool ReadListEntries(ListLineReader& reader, long long count, LocalFileMap& files,
                     size_t& skipped) {
    std::string url, name;
    for (long long read = 0; read < count; ++read) {
        const auto urlLine = reader.Next(url);
        if (urlLine == ListLineReader::Line::End) break;
        const auto nameLine = urlLine == ListLineReader::Line::Error ? urlLine : reader.Next(name);
        if (nameLine == ListLineReader::Line::Error) return false;
        if (nameLine == ListLineReader::Line::End) break;
        if (urlLine == ListLineReader::Line::Damaged || nameLine == ListLineReader::Line::Damaged ||
            (!url.empty() && !IsUsableLocalName(name))) {
            ++skipped;
            continue;
        }
        if (url.empty()) continue;
        CFileData& record = files[url];
        record.SourceUrl = url;
        record.LocalName = name;
        record.Seen = 0;
    }
    return true;
}

// Collects the journal's complete entries whose files are still in `folder`;
// `wholeEntriesEnd` is where the last complete entry ends. False when a read failed.
bool ReadJournalEntries(platform::FileSystem& fileSystem, ListLineReader& reader,
                        const std::string& folder, std::vector<CFileData>& found,
                        std::vector<std::string>& unnamed, off_t& wholeEntriesEnd) {
    std::string url, name;
    for (;;) {
        const auto urlLine = reader.Next(url);
        if (urlLine == ListLineReader::Line::End) break;
        const auto nameLine = urlLine == ListLineReader::Line::Error ? urlLine : reader.Next(name);
        if (nameLine == ListLineReader::Line::Error) return false;
        // An entry whose name line has no line end was cut off by a kill.
        if (nameLine == ListLineReader::Line::End || !reader.LineEnded()) break;
        wholeEntriesEnd = reader.Offset();
        struct stat status {};
        if (urlLine != ListLineReader::Line::Ok || nameLine != ListLineReader::Line::Ok ||
            url.empty() || !IsUsableLocalName(name))
            continue;
        if (fileSystem.Lstat(MediaPath(folder, name).c_str(), &status) != 0) {
            if (errno == ENOENT) unnamed.push_back(name);
            continue;
        }
        if (!S_ISREG(status.st_mode)) continue;
        found.push_back(CFileData{name, url, 0});
    }
    return true;
}

}  // namespace

ListReadResult ReadListFile(platform::FileSystem& fileSystem, const std::string& path,
                            LocalFileMap& files) {
    files.clear();
    ListReadResult result;
    platform::Outcome opened = platform::Outcome::Ok();
    const platform::FileHandle fd = OpenForReading(fileSystem, path, opened);
    if (!fd) {
        if (opened.ErrorNumber() != ENOENT) return Unreadable(opened.ErrorNumber(), files);
        files.reserve(kNoListReserveRecords);
        return result;
    }
    ListLineReader reader(fileSystem, fd.Get());
    std::string line;
    const auto header = reader.Next(line);
    if (header == ListLineReader::Line::Error) return Unreadable(reader.Error(), files);
    if (header != ListLineReader::Line::Ok || line != kListHeader) {
        result.status = ListReadStatus::WrongHeader;
        return result;
    }
    result.status = ListReadStatus::Loaded;
    const auto countLine = reader.Next(line);
    if (countLine == ListLineReader::Line::Error) return Unreadable(reader.Error(), files);
    if (countLine == ListLineReader::Line::End) return result;
    const long long count = BoundedCount(line);
    ReserveForCount(fileSystem, fd.Get(), count, files);
    if (!ReadListEntries(reader, count, files, result.skipped))
        return Unreadable(reader.Error(), files);
    return result;
}

bool IsRecordableUrl(std::string_view url) {
    return !url.empty() && url.size() <= kMaxListLineBytes &&
           url.find_first_of(std::string_view("\n\0", 2)) == std::string_view::npos &&
           url.back() != '\r';
}

bool IsRecordable(const CFileData& record) {
    return IsRecordableUrl(record.SourceUrl) && IsUsableLocalName(record.LocalName);
}

bool AppendJournal(platform::FileSystem& fileSystem, const std::string& path,
                   const CFileData& record) {
    if (!IsRecordable(record)) return false;
    const std::string entry = record.SourceUrl + "\r\n" + record.LocalName + "\r\n";
    platform::FileHandle fd = platform::OpenRegularFile(
        fileSystem, path, O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW, 0644);
    if (!fd) return false;
    const ssize_t written = fileSystem.Write(fd.Get(), entry.data(), entry.size());
    const bool closed = fd.Reset() == 0;
    return written == static_cast<ssize_t>(entry.size()) && closed;
}

ListReadResult MergeJournal(platform::FileSystem& fileSystem, const std::string& path,
                            const std::string& folder, LocalFileMap& files) {
    ListReadResult result;
    result.status = ListReadStatus::Loaded;
    platform::Outcome opened = platform::Outcome::Ok();
    const platform::FileHandle fd = OpenForReading(fileSystem, path, opened);
    if (!fd) {
        if (opened.ErrorNumber() == ENOENT) result.status = ListReadStatus::NotFound;
        return opened.ErrorNumber() == ENOENT ? result : Unreadable(std::move(opened));
    }
    ListLineReader reader(fileSystem, fd.Get());
    std::vector<CFileData> found;
    off_t wholeEntriesEnd = 0;
    if (!ReadJournalEntries(fileSystem, reader, folder, found, result.unnamed, wholeEntriesEnd))
        return Unreadable(platform::Outcome::Failed("", reader.Error()));
    // Appends after a torn entry would otherwise be read out of step for ever;
    // but a second name of someone's file is never cut.
    if (reader.Offset() > wholeEntriesEnd) {
        struct stat status {};
        if (fileSystem.Fstat(fd.Get(), &status) == 0 && status.st_nlink > 1)
            result.failure = platform::Outcome::Failed("", EMLINK);
        else if (fileSystem.Truncate(path.c_str(), wholeEntriesEnd) == 0)
            result.trimmed = true;
        else
            result.failure = platform::Outcome::FromErrno("");
    }
    for (CFileData& record : found) files[record.SourceUrl] = std::move(record);
    result.added = found.size();
    return result;
}

std::string FormatListFile(const LocalFileMap& files) {
    std::string text;
    size_t size = 64;
    for (const auto& entry : files)
        size += entry.second.SourceUrl.size() + entry.second.LocalName.size() + 4;
    text.reserve(size);
    text += kListHeader;
    text += "\r\n";
    size_t recordable = 0;
    for (const auto& entry : files) recordable += IsRecordable(entry.second) ? 1 : 0;
    text += std::to_string(recordable);
    text += "\r\n";
    for (const auto& entry : files) {
        if (!IsRecordable(entry.second)) continue;
        text += entry.second.SourceUrl;
        text += "\r\n";
        text += entry.second.LocalName;
        text += "\r\n";
    }
    return text;
}

platform::Outcome WriteListFile(platform::FileSystem& fileSystem, const std::string& path,
                                const LocalFileMap& files) {
    return platform::WriteFileAtomically(fileSystem, path, FormatListFile(files), 0644);
}

}  // namespace pixolune
