#include "platform/outcome.h"

#include <cerrno>
#include <cstring>

namespace pixolune::platform {

Outcome Outcome::FromErrno(std::string context) {
    const int error = errno != 0 ? errno : EIO;
    return Failed(std::move(context), error);
}

std::string Outcome::Error() const {
    if (ok_) return {};
    if (errorNumber_ == 0) return context_;
    // The only place errno becomes text.
    const std::string reason = std::strerror(errorNumber_);
    return context_.empty() ? reason : context_ + ": " + reason;
}

}  // namespace pixolune::platform
