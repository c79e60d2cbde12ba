#pragma once

#include <string>

namespace pixolune::stub {

// Percent-encodes every byte outside the unreserved set, so a tag with a
// blank, '#', '?', '/' or '&' stays one path segment.
std::string PercentEncode(const std::string& text);

// Decodes %XX escapes; a malformed escape is kept as it stands. '+' is left
// alone because in a path it is a plain character.
std::string PercentDecode(const std::string& text);

// Removes "." and ".." segments the way clients do before sending, so that
// "a/../b.png" and "b.png" name the same media file.
std::string RemoveDotSegments(const std::string& path);

// Escapes text for use inside HTML element content and attribute values.
std::string HtmlEscape(const std::string& text);

// The path part of a request target (everything before '?').
std::string PathOfTarget(const std::string& target);

}  // namespace pixolune::stub
