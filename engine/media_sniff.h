#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace pixolune {

// Tells a media body from what a server sends instead of one: an error or
// login page, an API error in JSON or XML, an empty answer. Only what is
// plainly not media is refused; an unknown binary format passes, so that new
// image and video formats keep working. A body is taken for a document only
// when its opening bytes are text (valid UTF-8 without NUL).
//
//   MediaSniffer sniffer;
//   sniffer.CheckContentType(contentType);   // at the header stage
//   sniffer.Inspect(piece, size);            // with each piece of the body
//   sniffer.Finish();                        // at the end of the body
//   if (sniffer.IsNotMedia()) Log("... (%s) ...", sniffer.Reason().c_str());
class MediaSniffer {
  public:
    // Each returns false once the answer is known not to be media.
    bool CheckContentType(std::string_view contentType);
    bool Inspect(const char* data, size_t size);
    bool Finish();

    [[nodiscard]] bool IsNotMedia() const { return !reason_.empty(); }
    // What the answer was instead: the content type ("text/html"), "empty body",
    // "white space only", "HTML document", "XML document" or "JSON document".
    [[nodiscard]] const std::string& Reason() const { return reason_; }

  private:
    // Enough for the longest opening looked for ("<!doctype html") after a
    // little white space and a byte-order mark.
    static constexpr size_t kHeadBytes = 512;

    void ClassifyHead(bool complete);
    // The head opens like a document (`what`): it is one only when its first
    // kHeadBytes, or the whole body when shorter, are text.
    void DecideOnText(const char* what, bool complete);

    std::string head_;  // the first bytes of the body, up to kHeadBytes
    bool decided_ = false;
    std::string reason_;
};

}  // namespace pixolune
