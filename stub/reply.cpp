#include "stub/reply.h"

#include <algorithm>
#include <vector>

#include "stub/api_replies.h"

namespace pixolune::stub {
namespace {

constexpr uint64_t kInMemoryLimit = 1 << 20;
constexpr size_t kPieceSize = 64 * 1024;

void CopyHeaders(const Reply& reply, httplib::Response& response) {
    response.status = reply.status;
    for (const auto& [name, value] : reply.headers) response.set_header(name, value);
}

}  // namespace

Reply JsonReply(int status, Json::Value json) {
    Reply reply;
    reply.status = status;
    reply.json = std::move(json);
    return reply;
}

Reply TextReply(int status, std::string contentType, std::string text) {
    Reply reply;
    reply.status = status;
    reply.contentType = std::move(contentType);
    reply.body = std::make_shared<StringBody>(std::move(text));
    return reply;
}

std::shared_ptr<BodySource> BodyOf(const Reply& reply) {
    if (reply.json) return std::make_shared<StringBody>(ToJson(*reply.json));
    if (reply.body) return reply.body;
    return std::make_shared<StringBody>("");
}

void SendReply(const Reply& reply, httplib::Response& response) {
    CopyHeaders(reply, response);
    std::shared_ptr<BodySource> body = BodyOf(reply);
    if (body->Size() <= kInMemoryLimit) {
        response.set_content(ReadAll(*body), reply.contentType.c_str());
        return;
    }
    response.set_content_provider(body->Size(), reply.contentType,
                                  [body](size_t offset, size_t length, httplib::DataSink& sink) {
                                      std::vector<char> piece(std::min(length, kPieceSize));
                                      size_t count = body->Read(offset, piece.data(), piece.size());
                                      return count > 0 && sink.write(piece.data(), count);
                                  });
}

void SendTrickled(const Reply& reply, std::chrono::milliseconds interval, ShutdownLatch& latch,
                  httplib::Response& response) {
    CopyHeaders(reply, response);
    std::shared_ptr<BodySource> body = BodyOf(reply);
    response.set_content_provider(
        body->Size(), reply.contentType,
        [body, interval, &latch](size_t offset, size_t, httplib::DataSink& sink) {
            if (latch.WaitFor(interval)) return false;
            char byte = 0;
            return body->Read(offset, &byte, 1) == 1 && sink.write(&byte, 1);
        });
}

RangeAsked ReadRange(const httplib::Request& request, uint64_t size, const std::string& etag) {
    RangeAsked asked;
    if (request.ranges.size() != 1) return asked;
    if (request.has_header("If-Range") && request.get_header_value("If-Range") != etag)
        return asked;
    const auto [first, last] = request.ranges.front();
    if (first < 0 && last > 0) {  // the last `last` bytes
        asked.kind = RangeAsked::Kind::Partial;
        asked.start = size > static_cast<uint64_t>(last) ? size - static_cast<uint64_t>(last) : 0;
        return asked;
    }
    if (first < 0) return asked;
    asked.start = static_cast<uint64_t>(first);
    asked.kind = asked.start < size ? RangeAsked::Kind::Partial : RangeAsked::Kind::Unsatisfiable;
    return asked;
}

void AnswerWhole(const httplib::Request& request) {
    // The server's own request object, handed to handlers as const.
    const_cast<httplib::Request&>(request).ranges.clear();
}

void SendRanged(const httplib::Request& request, Reply reply, httplib::Response& response) {
    if (!reply.etag.empty()) reply.headers.emplace("ETag", reply.etag);
    if (reply.status != 200 || reply.etag.empty()) {
        AnswerWhole(request);
        SendReply(reply, response);
        return;
    }
    std::shared_ptr<BodySource> body = BodyOf(reply);
    const RangeAsked asked = ReadRange(request, body->Size(), reply.etag);
    switch (asked.kind) {
        case RangeAsked::Kind::Whole:
            AnswerWhole(request);
            break;
        case RangeAsked::Kind::Partial:
            reply.status = 206;
            break;
        case RangeAsked::Kind::Unsatisfiable:
            AnswerWhole(request);
            reply = TextReply(416, "text/plain", "range not satisfiable");
            reply.headers.emplace("Content-Range", "bytes */" + std::to_string(body->Size()));
            break;
    }
    SendReply(reply, response);
}

void SendCutShort(const httplib::Request& request, Reply reply, uint64_t sentBytes,
                  httplib::Response& response) {
    if (!reply.etag.empty()) reply.headers.emplace("ETag", reply.etag);
    std::shared_ptr<BodySource> body = BodyOf(reply);
    uint64_t size = std::max<uint64_t>(body->Size(), 1);
    const RangeAsked asked = ReadRange(request, size, reply.etag);
    uint64_t start = 0;
    if (reply.status == 200 && asked.kind == RangeAsked::Kind::Partial) {
        reply.status = 206;
        start = asked.start;
    } else {
        AnswerWhole(request);
    }
    CopyHeaders(reply, response);
    // At least one byte is always missing, or the reply would be complete.
    uint64_t cut = std::min(start + sentBytes, size - 1);
    response.set_content_provider(
        size, reply.contentType, [body, cut](size_t offset, size_t, httplib::DataSink& sink) {
            if (offset >= cut) return false;  // httplib closes the connection
            std::vector<char> piece(std::min<uint64_t>(cut - offset, kPieceSize));
            size_t count = body->Read(offset, piece.data(), piece.size());
            return count > 0 && sink.write(piece.data(), count);
        });
}

void SendEndless(ShutdownLatch& latch, httplib::Response& response, bool media) {
    response.status = 200;
    if (media) {
        response.set_chunked_content_provider(
            "image/jpeg", [&latch](size_t offset, httplib::DataSink& sink) {
                if (latch.IsSet()) return false;
                static const std::string kHead = "\xFF\xD8\xFF\xE0";
                static const std::string kFill(kPieceSize, '\x55');
                const std::string& piece = offset == 0 ? kHead : kFill;
                return sink.write(piece.data(), piece.size());
            });
        return;
    }
    response.set_chunked_content_provider(
        "application/json; charset=utf-8", [&latch](size_t offset, httplib::DataSink& sink) {
            if (latch.IsSet()) return false;
            static const std::string kHead = "{\"meta\":{\"code\":200},\"data\":[";
            static const std::string kElements = [] {
                std::string text;
                while (text.size() < kPieceSize) text += "{\"type\":\"image\",\"images\":{}},";
                return text;
            }();
            const std::string& piece = offset == 0 ? kHead : kElements;
            return sink.write(piece.data(), piece.size());
        });
}

}  // namespace pixolune::stub
