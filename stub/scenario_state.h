#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "stub/media_files.h"
#include "stub/scenario.h"

namespace pixolune::stub {

struct MediaEntry {
    MediaKind kind = MediaKind::kImage;
    std::optional<uint64_t> size;
};

// The scenario in force, which tests may replace while requests run, with what
// is derived from it: the media catalogue and the cursors of the feeds whose
// pages come from asking the same address again.
class ScenarioState {
  public:
    explicit ScenarioState(Scenario scenario) { Replace(std::move(scenario)); }

    void Replace(Scenario scenario);
    [[nodiscard]] std::shared_ptr<const Scenario> Current();
    // Where the next page of such a feed starts; each request moves on.
    [[nodiscard]] size_t TakeRepeatedAskOffset(const std::string& feedKey);
    // Kind and padded size of a media name as served (decoded, dot segments gone).
    [[nodiscard]] MediaEntry MediaOf(const std::string& name);

  private:
    std::mutex mutex_;  // guards scenario_, media_, repeatedAskOffsets_
    std::shared_ptr<const Scenario> scenario_;
    std::map<std::string, MediaEntry> media_;
    std::map<std::string, size_t> repeatedAskOffsets_;  // by feed key
};

// The name under which /media/<rawPath> is looked up: dot segments are removed
// before decoding, as clients do with the encoded path.
std::string MediaNameOfRawPath(const std::string& rawPath);

}  // namespace pixolune::stub
