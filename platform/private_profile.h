#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/file_system.h"
#include "platform/outcome.h"

namespace pixolune::platform {

// An initialisation file in the private-profile format, built in memory and
// written whole: "[Section]" headers with "Key=Value" lines below them, in
// the order they were first set, as UTF-16LE with a byte order mark and CR LF
// line ends. Setting a key again replaces its value in place. Values are
// written as given: escaping line breaks is the caller's business.
class PrivateProfileWriter {
  public:
    void SetString(const std::u16string& section, const std::u16string& key,
                   const std::u16string& value);

    // The file's bytes: FF FE, then the lines.
    [[nodiscard]] std::string Bytes() const;

    // Replaces `path` whole (atomically) with Bytes().
    [[nodiscard]] Outcome WriteTo(FileSystem& fileSystem, const std::string& path) const;

  private:
    struct Section {
        std::u16string name;
        std::vector<std::pair<std::u16string, std::u16string>> entries;
    };
    std::vector<Section> sections_;
};

}  // namespace pixolune::platform
