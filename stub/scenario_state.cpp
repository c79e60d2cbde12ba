#include "stub/scenario_state.h"

#include <cctype>

#include "stub/api_replies.h"
#include "stub/url_text.h"

namespace pixolune::stub {
namespace {

const std::string kBasePlaceholder = "{base}";
const std::string kMediaPrefix = "{base}/media/";

bool HasType(const ScenarioItem& item, const char* type) {
    if (item.type.size() != std::char_traits<char>::length(type)) return false;
    for (size_t i = 0; i < item.type.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(item.type[i])) != type[i]) return false;
    }
    return true;
}

void AddToCatalogue(const ScenarioItem& item, std::map<std::string, MediaEntry>& media) {
    std::string url = item.url.empty() ? MediaUrl(kBasePlaceholder, item.media) : item.url;
    if (url.compare(0, kMediaPrefix.size(), kMediaPrefix) != 0) return;
    std::string rawPath = url.substr(kMediaPrefix.size());
    rawPath = rawPath.substr(0, rawPath.find_first_of("?#"));
    std::string name = MediaNameOfRawPath(rawPath);
    MediaEntry entry;
    if (HasType(item, "video")) {
        entry.kind = MediaKind::kVideo;
    } else if (HasType(item, "image")) {
        entry.kind = MediaKind::kImage;
    } else {
        entry.kind = MediaKindOfName(name);
    }
    entry.size = item.size;
    media[name] = entry;
}

}  // namespace

std::string MediaNameOfRawPath(const std::string& rawPath) {
    return PercentDecode(RemoveDotSegments(rawPath));
}

void ScenarioState::Replace(Scenario scenario) {
    std::map<std::string, MediaEntry> media;
    for (const auto& [key, items] : scenario.feeds) {
        for (const auto& item : items) AddToCatalogue(item, media);
    }
    for (const auto& [tag, items] : scenario.tags) {
        for (const auto& item : items) AddToCatalogue(item, media);
    }
    auto shared = std::make_shared<const Scenario>(std::move(scenario));
    std::lock_guard<std::mutex> lock(mutex_);
    scenario_ = std::move(shared);
    media_ = std::move(media);
    repeatedAskOffsets_.clear();
}

std::shared_ptr<const Scenario> ScenarioState::Current() {
    std::lock_guard<std::mutex> lock(mutex_);
    return scenario_;
}

size_t ScenarioState::TakeRepeatedAskOffset(const std::string& feedKey) {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t& next = repeatedAskOffsets_[feedKey];
    const size_t offset = next;
    auto feed = scenario_->feeds.find(feedKey);
    size_t count = feed == scenario_->feeds.end() ? 0 : feed->second.size();
    if (offset < count) next += static_cast<size_t>(scenario_->pageSize);
    return offset;
}

MediaEntry ScenarioState::MediaOf(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = media_.find(name);
    if (it != media_.end()) return it->second;
    MediaEntry entry;
    entry.kind = MediaKindOfName(name);
    return entry;
}

}  // namespace pixolune::stub
