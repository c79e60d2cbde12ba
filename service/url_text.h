#pragma once

#include <string>
#include <vector>

namespace pixolune {

// Percent-encodes every byte outside the unreserved set (letters, digits,
// "-._~"), so that the text stays one path segment whatever it holds.
[[nodiscard]] std::string PercentEncode(const std::string& text);

// The tags of a tag feed: split at ',', white space trimmed from both ends,
// empty entries dropped; order and duplicates kept.
[[nodiscard]] std::vector<std::string> SplitTags(const std::string& tags);

// `url` with the value of every access_token parameter masked, and any other
// occurrence of `token` as well, so that a log line never carries a token.
[[nodiscard]] std::string MaskAccessToken(const std::string& url, const std::string& token);

}  // namespace pixolune
