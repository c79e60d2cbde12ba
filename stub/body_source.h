#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace pixolune::stub {

// A reply body that can be read at any offset, so that large media files and
// long replies are streamed in pieces and never held whole in memory.
class BodySource {
  public:
    virtual ~BodySource() = default;
    [[nodiscard]] virtual uint64_t Size() const = 0;
    // Copies up to n bytes starting at offset into out; returns the count.
    [[nodiscard]] virtual size_t Read(uint64_t offset, char* out, size_t n) const = 0;
};

// A body held in memory (API replies, pages, small generated files).
class StringBody : public BodySource {
  public:
    explicit StringBody(std::string text) : text_(std::move(text)) {}
    uint64_t Size() const override { return text_.size(); }
    size_t Read(uint64_t offset, char* out, size_t n) const override;

  private:
    std::string text_;
};

// Runs of repeated patterns: padded media files, huge replies and deep
// nesting are a few short patterns repeated many times.
class RepeatedBody : public BodySource {
  public:
    struct Run {
        std::string pattern;
        uint64_t repeat = 1;
    };
    explicit RepeatedBody(std::vector<Run> runs);
    uint64_t Size() const override { return size_; }
    size_t Read(uint64_t offset, char* out, size_t n) const override;

  private:
    std::vector<Run> runs_;
    uint64_t size_ = 0;
};

// The first bytes of another body: a reply cut short on purpose.
class PrefixBody : public BodySource {
  public:
    PrefixBody(std::shared_ptr<BodySource> whole, uint64_t size)
        : whole_(std::move(whole)), size_(size < whole_->Size() ? size : whole_->Size()) {}
    uint64_t Size() const override { return size_; }
    size_t Read(uint64_t offset, char* out, size_t n) const override {
        if (offset >= size_) return 0;
        return whole_->Read(offset, out, n < size_ - offset ? n : size_ - offset);
    }

  private:
    std::shared_ptr<BodySource> whole_;
    uint64_t size_;
};

// Reads the whole body into a string; only for small bodies.
std::string ReadAll(const BodySource& body);

}  // namespace pixolune::stub
