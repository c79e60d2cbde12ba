#include "model/secret_mask.h"

namespace pixolune {

std::string MaskSecret(const std::string& secret) {
    if (secret.empty()) return "(none)";
    if (secret.size() <= 8) return "\xE2\x80\xA6";  // too short to show any part of
    return "\xE2\x80\xA6" + secret.substr(secret.size() - 4);
}

}  // namespace pixolune
