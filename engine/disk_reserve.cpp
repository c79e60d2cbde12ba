#include "engine/disk_reserve.h"

#include <algorithm>

namespace pixolune {

std::optional<DiskSpace> ReadDiskSpace(platform::FileSystem& fileSystem,
                                       const std::string& folder) {
    struct statvfs info {};
    if (fileSystem.StatVfs(folder.c_str(), &info) != 0) return std::nullopt;
    const uint64_t unit = info.f_frsize ? info.f_frsize : info.f_bsize;
    // f_bavail, not f_bfree: the blocks kept for root are not ours to fill.
    return DiskSpace{static_cast<uint64_t>(info.f_blocks) * unit,
                     static_cast<uint64_t>(info.f_bavail) * unit};
}

uint64_t ReserveBytesFor(uint64_t sizeBytes) {
    return std::max(std::min(sizeBytes / 100, kMostShareReserveBytes), kLeastReserveBytes);
}

void DiskReserveGuard::Read() {
    writtenSinceRead_ = 0;
    const std::optional<DiskSpace> space = ReadDiskSpace(fileSystem_, folder_);
    known_ = space.has_value();
    if (!known_) return;
    freeAtRead_ = space->freeBytes;
    reserve_ = ReserveBytesFor(space->sizeBytes);
}

bool DiskReserveGuard::Fits(uint64_t moreBytes) const {
    if (!known_) return true;
    const uint64_t headroom = freeAtRead_ > reserve_ ? freeAtRead_ - reserve_ : 0;
    return writtenSinceRead_ <= headroom && moreBytes <= headroom - writtenSinceRead_;
}

bool DiskReserveGuard::AllowsStart() {
    Read();
    return !known_ || freeAtRead_ > reserve_;
}

bool DiskReserveGuard::AllowsAnnounced(uint64_t contentLengthBytes) {
    Read();
    return Fits(contentLengthBytes);
}

bool DiskReserveGuard::AllowsPiece(size_t pieceBytes) {
    if (writtenSinceRead_ + pieceBytes > kRereadBytes) Read();
    if (!Fits(pieceBytes)) return false;
    writtenSinceRead_ += pieceBytes;
    return true;
}

}  // namespace pixolune
