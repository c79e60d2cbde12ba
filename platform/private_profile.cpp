#include "private_profile.h"

#include <algorithm>

#include "atomic_file.h"
#include "utf16.h"

namespace pixolune::platform {

void PrivateProfileWriter::SetString(const std::u16string& section, const std::u16string& key,
                                     const std::u16string& value) {
    auto found = std::find_if(sections_.begin(), sections_.end(),
                              [&](const Section& s) { return s.name == section; });
    if (found == sections_.end()) {
        sections_.push_back(Section{section, {}});
        found = sections_.end() - 1;
    }
    for (auto& entry : found->entries) {
        if (entry.first == key) {
            entry.second = value;
            return;
        }
    }
    found->entries.emplace_back(key, value);
}

std::string PrivateProfileWriter::Bytes() const {
    std::u16string text;
    for (const Section& section : sections_) {
        text += u"[" + section.name + u"]\r\n";
        for (const auto& [key, value] : section.entries) text += key + u"=" + value + u"\r\n";
    }
    std::string bytes("\xFF\xFE", 2);
    AppendUtf16Le(bytes, text);
    return bytes;
}

Outcome PrivateProfileWriter::WriteTo(FileSystem& fileSystem, const std::string& path) const {
    return WriteFileAtomically(fileSystem, path, Bytes(), 0644);
}

}  // namespace pixolune::platform
