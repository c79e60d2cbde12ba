#include "stub/faults.h"

#include <json/json.h>

#include <memory>
#include <stdexcept>
#include <utility>

namespace pixolune::stub {
namespace {

const std::pair<const char*, FaultMode> kModeNames[] = {
    {"status", FaultMode::kStatus},
    {"stall", FaultMode::kStall},
    {"trickle", FaultMode::kTrickle},
    {"drop_mid_body", FaultMode::kDropMidBody},
    {"malformed_json", FaultMode::kMalformedJson},
    {"truncated_json", FaultMode::kTruncatedJson},
    {"wrong_types", FaultMode::kWrongTypes},
    {"deep_nesting", FaultMode::kDeepNesting},
    {"next_url_loop", FaultMode::kNextUrlLoop},
    {"huge_reply", FaultMode::kHugeReply},
    {"redirect_loop", FaultMode::kRedirectLoop},
    {"redirect_to", FaultMode::kRedirectTo},
    {"endless_body", FaultMode::kEndlessBody},
    {"empty_body", FaultMode::kEmptyBody},
    {"nul_in_body", FaultMode::kNulInBody},
};

const char* const kWrongTypeVariants[] = {"code_string",    "code_object",     "meta_array",
                                          "data_object",    "data_string",     "top_array",
                                          "caption_string", "images_array",    "url_number",
                                          "user_string",    "next_url_number", "names_not_strings"};

class FaultReader {
  public:
    explicit FaultReader(const Json::Value& root) : root_(root) {}

    std::string Text(const char* name, const std::string& fallback) const {
        const Json::Value& value = root_[name];
        if (value.isNull()) return fallback;
        if (!value.isString()) throw std::runtime_error(std::string(name) + " must be a string");
        return value.asString();
    }

    int64_t Integer(const char* name, int64_t fallback) const {
        const Json::Value& value = root_[name];
        if (value.isNull()) return fallback;
        if (!value.isIntegral())
            throw std::runtime_error(std::string(name) + " must be an integer");
        return value.asInt64();
    }

    double Number(const char* name, double fallback) const {
        const Json::Value& value = root_[name];
        if (value.isNull()) return fallback;
        if (!value.isNumeric()) throw std::runtime_error(std::string(name) + " must be a number");
        return value.asDouble();
    }

    bool Has(const char* name) const { return root_.isMember(name); }

  private:
    const Json::Value& root_;
};

FaultMode ModeOfName(const std::string& name) {
    for (const auto& [text, mode] : kModeNames) {
        if (name == text) return mode;
    }
    throw std::runtime_error("unknown fault mode: " + name);
}

int64_t NonNegative(int64_t value, const char* name) {
    if (value < 0) throw std::runtime_error(std::string(name) + " must not be negative");
    return value;
}

}  // namespace

Fault ParseFault(const std::string& json) {
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string errors;
    if (!reader->parse(json.data(), json.data() + json.size(), &root, &errors) ||
        !root.isObject()) {
        throw std::runtime_error("a fault is a JSON object: " + errors);
    }
    FaultReader read(root);
    Fault fault;
    fault.mode = ModeOfName(read.Text("mode", ""));
    fault.pathPrefix = read.Text("path", "");
    fault.remaining = static_cast<int>(read.Integer("count", -1));
    if (fault.remaining == 0 || fault.remaining < -1) {
        throw std::runtime_error("count must be positive");
    }
    fault.status = static_cast<int>(read.Integer("status", 500));
    if (fault.status < 100 || fault.status > 599) throw std::runtime_error("status out of range");
    fault.retryAfterSeconds =
        static_cast<int>(read.Integer("retry_after", fault.status == 429 ? 1 : -1));
    fault.location = read.Text("location", "");
    if (read.Has("body")) fault.body = read.Text("body", "");
    fault.contentType = read.Text("content_type", "");
    fault.stallSeconds = read.Number("seconds", 0);
    fault.intervalMs =
        static_cast<int>(NonNegative(read.Integer("interval_ms", 100), "interval_ms"));
    if (read.Has("sent_bytes")) {
        fault.sentBytes = NonNegative(read.Integer("sent_bytes", 0), "sent_bytes");
    }
    fault.variant = read.Text("variant", "code_string");
    bool knownVariant = false;
    for (const char* variant : kWrongTypeVariants) knownVariant |= fault.variant == variant;
    if (!knownVariant) throw std::runtime_error("unknown wrong_types variant: " + fault.variant);
    fault.depth = NonNegative(read.Integer("depth", 100000), "depth");
    std::string kind = read.Text("kind", "array");
    if (kind != "array" && kind != "object") throw std::runtime_error("kind is array or object");
    fault.nestObjects = kind == "object";
    fault.bytes = NonNegative(read.Integer("bytes", 64ll << 20), "bytes");
    std::string at = read.Text("at", "after");
    if (at != "after" && at != "middle") throw std::runtime_error("at is after or middle");
    fault.nulInMiddle = at == "middle";
    if (fault.mode == FaultMode::kRedirectTo && fault.location.empty()) {
        throw std::runtime_error("redirect_to needs a location");
    }
    return fault;
}

void FaultTable::Add(Fault fault) {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.push_back(std::move(fault));
}

void FaultTable::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.clear();
}

std::optional<Fault> FaultTable::Take(const std::string& rawPath, const std::string& decodedPath) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = faults_.begin(); it != faults_.end(); ++it) {
        const std::string& prefix = it->pathPrefix;
        if (rawPath.compare(0, prefix.size(), prefix) != 0 &&
            decodedPath.compare(0, prefix.size(), prefix) != 0) {
            continue;
        }
        Fault taken = *it;
        if (it->remaining > 0 && --it->remaining == 0) faults_.erase(it);
        return taken;
    }
    return std::nullopt;
}

}  // namespace pixolune::stub
