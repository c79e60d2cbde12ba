#pragma once

#include <string>

namespace pixolune {

// "…wxyz"-style text that lets a reader tell tokens apart without revealing one.
[[nodiscard]] std::string MaskSecret(const std::string& secret);

}  // namespace pixolune
