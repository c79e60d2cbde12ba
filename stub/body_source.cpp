#include "stub/body_source.h"

#include <algorithm>
#include <cstring>

namespace pixolune::stub {

size_t StringBody::Read(uint64_t offset, char* out, size_t n) const {
    if (offset >= text_.size()) return 0;
    size_t count = std::min<uint64_t>(n, text_.size() - offset);
    std::memcpy(out, text_.data() + offset, count);
    return count;
}

RepeatedBody::RepeatedBody(std::vector<Run> runs) : runs_(std::move(runs)) {
    for (const auto& run : runs_) size_ += run.pattern.size() * run.repeat;
}

size_t RepeatedBody::Read(uint64_t offset, char* out, size_t n) const {
    size_t written = 0;
    uint64_t runStart = 0;
    for (const auto& run : runs_) {
        uint64_t runSize = run.pattern.size() * run.repeat;
        while (written < n && offset >= runStart && offset < runStart + runSize) {
            uint64_t inRun = offset - runStart;
            size_t count = std::min<uint64_t>(n - written, runStart + runSize - offset);
            if (run.pattern.size() == 1) {
                std::memset(out + written, run.pattern[0], count);
            } else {
                for (size_t i = 0; i < count; ++i) {
                    out[written + i] = run.pattern[(inRun + i) % run.pattern.size()];
                }
            }
            written += count;
            offset += count;
        }
        runStart += runSize;
    }
    return written;
}

std::string ReadAll(const BodySource& body) {
    std::string text(body.Size(), '\0');
    size_t count = body.Read(0, text.data(), text.size());
    text.resize(count);
    return text;
}

}  // namespace pixolune::stub
