#pragma once

#include <string>
#include <utility>

namespace pixolune::platform {

// What an operation of our own layers reports: success, or failure with its
// context and, where a system call failed, the errno it left, read once
// where the call failed. The text a person reads is made in one place. It
// cannot be dropped silently.
class [[nodiscard]] Outcome {
  public:
    static Outcome Ok() { return Outcome(); }
    // A failure of our own making: `why` is the whole text.
    static Outcome Failed(std::string why) { return Outcome(std::move(why), 0); }
    // A failed system call: "context: <the system's text for errorNumber>",
    // or the system's text alone when there is no context.
    static Outcome Failed(std::string context, int errorNumber) {
        return Outcome(std::move(context), errorNumber);
    }
    // The errno a call just left, with its context.
    [[nodiscard]] static Outcome FromErrno(std::string context);

    explicit operator bool() const { return ok_; }
    // The text a log line or a message shows; empty for Ok.
    [[nodiscard]] std::string Error() const;
    // The errno of a failed system call, 0 otherwise: what callers branch on.
    [[nodiscard]] int ErrorNumber() const { return errorNumber_; }

  private:
    Outcome() = default;
    Outcome(std::string context, int errorNumber)
        : ok_(false), context_(std::move(context)), errorNumber_(errorNumber) {}

    bool ok_ = true;
    std::string context_;
    int errorNumber_ = 0;
};

}  // namespace pixolune::platform
