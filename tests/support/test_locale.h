#pragma once

#include <string>

namespace pixolune::test {

// What a child's command line is prefixed with to run under the `language`.UTF-8
// locale ("LC_ALL=..." and, for a locale made here, "LOCPATH=..."): the
// system's, or else one that localedef makes once under the build tree from
// the locales package's sources. Empty when there is neither.
[[nodiscard]] std::string Utf8LocaleEnvironment(const std::string& language);

}  // namespace pixolune::test
