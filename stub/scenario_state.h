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
// is derived from it: the media catalogue and the popular list's cursor.
class ScenarioState {
  public:
    explicit ScenarioState(Scenario scenario) { Replace(std::move(scenario)); }

    void Replace(Scenario scenario);
    [[nodiscard]] std::shared_ptr<const Scenario> Current();
    // Where the next page of the popular list starts; each request moves on.
    [[nodiscard]] size_t TakePopularOffset();
    // Kind and padded size of a media name as served (decoded, dot segments gone).
    [[nodiscard]] MediaEntry MediaOf(const std::string& name);

  private:
    std::mutex mutex_;  // guards scenario_, media_, popularOffset_
    std::shared_ptr<const Scenario> scenario_;
    std::map<std::string, MediaEntry> media_;
    size_t popularOffset_ = 0;
};

// The name under which /media/<rawPath> is looked up: dot segments are removed
// before decoding, as clients do with the encoded path.
std::string MediaNameOfRawPath(const std::string& rawPath);

}  // namespace pixolune::stub
