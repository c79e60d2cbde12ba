#pragma once

#include <cstddef>
#include <string>
#include <utility>

#include "engine/disk_reserve.h"
#include "engine/media_sniff.h"
#include "platform/http_client.h"

namespace pixolune {

// The checks one media download passes before its file may be kept: the
// disk reserve of the media folder and a body that is media. A transfer's
// hooks call them in this order; each false ends the download, and
// Refused() says why.
class DownloadAdmission {
  public:
    enum class Refusal { None, DiskReserve, NotMedia };

    DownloadAdmission(platform::FileSystem& fileSystem, std::string folder)
        : reserve_(fileSystem, std::move(folder)) {}

    // Before the request: false when the disk is already at its reserve.
    [[nodiscard]] bool AllowsStart();
    // With the final answer's headers: its content type and announced length,
    // which must fit beside `promisedBytes` that other transfers will still write.
    [[nodiscard]] bool AcceptsHead(const platform::HttpResponseHead& head,
                                   uint64_t promisedBytes = 0);
    // The part of an earlier transfer that this one continues: its first
    // bytes are the body's, for the media check.
    [[nodiscard]] bool AcceptsPrefix(const char* data, size_t size) {
        return sniffer_.Inspect(data, size) || Refuse(Refusal::NotMedia);
    }
    // With each piece of the body, before it is written.
    [[nodiscard]] bool AcceptsPiece(const char* data, size_t size);
    // Once the body is complete.
    [[nodiscard]] bool AcceptsEnd();

    [[nodiscard]] Refusal Refused() const { return refusal_; }
    [[nodiscard]] const DiskReserveGuard& Reserve() const { return reserve_; }
    [[nodiscard]] const MediaSniffer& Sniffer() const { return sniffer_; }

  private:
    bool Refuse(Refusal why);

    DiskReserveGuard reserve_;
    MediaSniffer sniffer_;
    Refusal refusal_ = Refusal::None;
};

}  // namespace pixolune
