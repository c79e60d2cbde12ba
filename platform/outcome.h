#pragma once

#include <cstring>
#include <string>
#include <utility>

namespace pixolune::platform {

// What an operation of our own layers reports: success, or failure with the
// reason a log line can name. It cannot be dropped silently.
class [[nodiscard]] Outcome {
  public:
    static Outcome Ok() { return Outcome(); }
    static Outcome Failed(std::string why) { return Outcome(std::move(why)); }

    explicit operator bool() const { return ok_; }
    [[nodiscard]] const std::string& Error() const { return error_; }

  private:
    Outcome() = default;
    explicit Outcome(std::string why) : ok_(false), error_(std::move(why)) {}

    bool ok_ = true;
    std::string error_;
};

// "what: reason" with the system's text for `error` (an errno value).
[[nodiscard]] inline std::string ErrnoText(const std::string& what, int error) {
    return what + ": " + std::strerror(error);
}

}  // namespace pixolune::platform
