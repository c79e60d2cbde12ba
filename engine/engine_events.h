#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace pixolune {

// What the engine tells an observer as it works, in the order it happens on
// the worker: a test that lives the engine's life learns of batches, stores
// and prunes from these rather than from the log's words.
struct EngineEvent {
    enum class Kind {
        FeedsRead,    // an answer was queued; `count`: items queued in all
        Stored,       // `name` joined the folder's records
        Pruned,       // pruned against the feeds' answers: `count` files left the folder
        BatchClosed,  // "Download complete"; `count`: files listed
    };
    Kind kind = Kind::FeedsRead;
    std::string name;
    size_t count = 0;
};

using EngineEventSink = std::function<void(const EngineEvent&)>;

}  // namespace pixolune
