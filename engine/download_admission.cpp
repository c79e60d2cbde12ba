#include "engine/download_admission.h"

namespace pixolune {

bool DownloadAdmission::Refuse(Refusal why) {
    refusal_ = why;
    return false;
}

bool DownloadAdmission::AllowsStart() {
    return reserve_.AllowsStart() || Refuse(Refusal::DiskReserve);
}

bool DownloadAdmission::AcceptsHead(const platform::HttpResponseHead& head,
                                    uint64_t promisedBytes) {
    // The type first: a page sent instead of the file is no question of space.
    if (!sniffer_.CheckContentType(head.contentType)) return Refuse(Refusal::NotMedia);
    if (head.contentLength >= 0 &&
        !reserve_.AllowsAnnounced(static_cast<uint64_t>(head.contentLength) + promisedBytes))
        return Refuse(Refusal::DiskReserve);
    return true;
}

bool DownloadAdmission::AcceptsPiece(const char* data, size_t size) {
    if (!sniffer_.Inspect(data, size)) return Refuse(Refusal::NotMedia);
    return reserve_.AllowsPiece(size) || Refuse(Refusal::DiskReserve);
}

bool DownloadAdmission::AcceptsEnd() {
    return sniffer_.Finish() || Refuse(Refusal::NotMedia);
}

}  // namespace pixolune
