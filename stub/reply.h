#pragma once

#include <httplib.h>
#include <json/json.h>

#include <memory>
#include <optional>
#include <string>

#include "stub/body_source.h"
#include "stub/shutdown_latch.h"

namespace pixolune::stub {

// A reply before it is written: faults may still change its JSON, its status
// or the way its bytes go out.
struct Reply {
    int status = 200;
    std::string contentType = "application/json; charset=utf-8";
    httplib::Headers headers;
    std::optional<Json::Value> json;   // the body, when it is an API reply
    std::shared_ptr<BodySource> body;  // the body otherwise
    std::string etag;                  // media only: the validator a Range may name in If-Range
};

// What a request's Range and If-Range ask of a reply of `size` bytes: a
// single range from a byte on (or the last bytes) is answered in part while
// If-Range, when sent, names `etag`; anything else is answered whole.
struct RangeAsked {
    enum class Kind { Whole, Partial, Unsatisfiable };
    Kind kind = Kind::Whole;
    uint64_t start = 0;
};
[[nodiscard]] RangeAsked ReadRange(const httplib::Request& request, uint64_t size,
                                   const std::string& etag);

// httplib cuts every reply to the ranges it parsed from the request, whatever
// its status; a reply meant whole must forget them.
void AnswerWhole(const httplib::Request& request);

// A media reply as a Range asks it: 206 with the part (Content-Range written
// by httplib), 416 past the end, or 200 with everything.
void SendRanged(const httplib::Request& request, Reply reply, httplib::Response& response);

Reply JsonReply(int status, Json::Value json);
Reply TextReply(int status, std::string contentType, std::string text);

// The bytes of the reply (its JSON written out, or its body).
std::shared_ptr<BodySource> BodyOf(const Reply& reply);

// Writes the reply whole, streaming large bodies with a Content-Length.
void SendReply(const Reply& reply, httplib::Response& response);

// One byte every interval, stopping at shutdown.
void SendTrickled(const Reply& reply, std::chrono::milliseconds interval, ShutdownLatch& latch,
                  httplib::Response& response);

// Announces the whole length (of the part a Range asked for), sends sentBytes
// of it and closes the connection.
void SendCutShort(const httplib::Request& request, Reply reply, uint64_t sentBytes,
                  httplib::Response& response);

// A chunked body that goes on until the client leaves or the stub shuts down:
// JSON-looking, or for a media file JPEG-looking bytes sent as image/jpeg.
void SendEndless(ShutdownLatch& latch, httplib::Response& response, bool media = false);

}  // namespace pixolune::stub
