#pragma once

namespace pixolune {

// The background worker; it arrives with the download engine.
class CPixoluneThread {};

}  // namespace pixolune
