#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "platform/file_system.h"

namespace pixolune {

inline constexpr uint64_t kBytesPerMiB = 1024ull * 1024ull;
// The least a media folder's file system keeps free, whatever its size: a
// photo frame's small card must keep room for the list file, the sidecars
// and whatever else shares it.
inline constexpr uint64_t kLeastReserveBytes = 256ull * kBytesPerMiB;
// The most the 1 % share keeps back: on a disk of terabytes, 1 % would leave
// tens of gigabytes unused and refuse downloads with plenty of room.
inline constexpr uint64_t kMostShareReserveBytes = 4096ull * kBytesPerMiB;

// The size of a file system and what an ordinary user may still write to it.
struct DiskSpace {
    uint64_t sizeBytes = 0;
    uint64_t freeBytes = 0;
};

// Reads the space of the file system holding `folder` through `fileSystem`;
// nothing when the query fails.
[[nodiscard]] std::optional<DiskSpace> ReadDiskSpace(platform::FileSystem& fileSystem,
                                                     const std::string& folder);

// What a file system of `sizeBytes` keeps free: the larger of 256 MiB and the
// smaller of 1 % and 4 GiB.
[[nodiscard]] uint64_t ReserveBytesFor(uint64_t sizeBytes);

// Keeps one download from eating into the reserve of the media folder's disk.
// Bytes are counted against the free space read at the start; the space is
// read again every kRereadBytes written, so that other writers (other
// transfers in flight, other programs) are seen without a query per piece.
// When the space cannot be read at all the download is let through: a failed
// query says nothing about the disk, and refusing every file would be worse.
class DiskReserveGuard {
  public:
    static constexpr uint64_t kRereadBytes = 8 * kBytesPerMiB;

    DiskReserveGuard(platform::FileSystem& fileSystem, std::string folder)
        : fileSystem_(fileSystem), folder_(std::move(folder)) {}

    // Reads the space; false when the reserve is already reached.
    [[nodiscard]] bool AllowsStart();
    // False when a body of the announced length would cross the reserve. The
    // space is read afresh: transfers started beside this one have written since.
    [[nodiscard]] bool AllowsAnnounced(uint64_t contentLengthBytes);
    // Called with each piece before it is written; false when it would cross.
    [[nodiscard]] bool AllowsPiece(size_t pieceBytes);

    // The free space last read and the reserve, for the log line.
    [[nodiscard]] uint64_t FreeMiB() const { return freeAtRead_ / kBytesPerMiB; }
    [[nodiscard]] uint64_t ReserveMiB() const { return reserve_ / kBytesPerMiB; }

  private:
    void Read();
    [[nodiscard]] bool Fits(uint64_t moreBytes) const;

    platform::FileSystem& fileSystem_;
    std::string folder_;
    bool known_ = false;  // the space could be read
    uint64_t freeAtRead_ = 0;
    uint64_t reserve_ = 0;
    uint64_t writtenSinceRead_ = 0;
};

}  // namespace pixolune
