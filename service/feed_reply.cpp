#include "service/feed_reply.h"

#include <json/value.h>

#include "model/feed_kinds.h"
#include "platform/ascii.h"
#include "service/json_reply.h"

namespace pixolune {
namespace {

// "meta" / "code" of a reply that carries its data; any other ends the query.
constexpr int kMetaCodeOk = 200;

// A type no kind has is read as a feed of posters without captions.
constexpr FeedKind kUnknownKind{kFeedMine, "", false, "", false, ItemOwner::Poster, true};

const FeedKind& KindOf(int type) {
    const FeedKind* kind = FindFeedKind(type);
    return kind ? *kind : kUnknownKind;
}

// Walks the members of one reply and remembers the first one whose JSON type
// is not what the service sends, so that the caller can name it in its log line.
class FeedReplyReader {
  public:
    FeedReplyReader(int feedType, MediaKinds kinds, int wanted)
        : kind_(KindOf(feedType)), kinds_(kinds), wanted_(wanted) {}

    FeedPage Read(std::string_view reply) {
        Json::Value root;
        if (!ParseJsonReply(reply, root)) return Finish(FeedReplyStatus::NotJson);
        if (!root.isNull() && !root.isObject()) return WrongType("(top level)");
        if (root.isNull()) return Finish(FeedReplyStatus::MetaMissing);

        const Json::Value& meta = Object(root, "meta", "meta");
        if (failed_) return Finish(FeedReplyStatus::WrongType);
        if (meta.isNull()) return Finish(FeedReplyStatus::MetaMissing);
        if (!ReadCode(meta)) return WrongType("meta.code");
        if (page_.code != kMetaCodeOk) {
            if (!ReadStringMember(meta, "error_message", page_.errorMessage))
                return WrongType("meta.error_message");
            return Finish(FeedReplyStatus::ServerError);
        }

        const Json::Value* data = FindMember(root, "data");
        if (!data || data->isNull()) return Finish(FeedReplyStatus::DataMissing);
        if (!data->isArray()) return WrongType("data");
        page_.dataSize = static_cast<int>(data->size());
        for (Json::ArrayIndex i = 0; i < data->size() && Wants(); ++i) {
            ReadElement((*data)[i], "data[" + std::to_string(i) + "]");
            if (failed_) return Finish(FeedReplyStatus::WrongType);
        }
        if (Wants() && kind_.followsNextUrl) {
            const Json::Value& pagination = Object(root, "pagination", "pagination");
            if (!failed_ && pagination.isObject())
                Text(pagination, "next_url", "pagination.next_url", page_.nextUrl);
            if (failed_) return Finish(FeedReplyStatus::WrongType);
        }
        return Finish(FeedReplyStatus::Ok);
    }

  private:
    bool Wants() const { return static_cast<int>(page_.items.size()) < wanted_; }

    bool ReadCode(const Json::Value& meta) {
        const Json::Value* code = FindMember(meta, "code");
        if (!code || code->isNull()) return true;  // reads as 0, like a missing member
        if (!code->isNumeric() || !code->isConvertibleTo(Json::intValue)) return false;
        page_.code = code->asInt();
        return true;
    }

    void ReadElement(const Json::Value& element, const std::string& path) {
        if (element.isNull()) return;  // no "type": skipped
        if (!element.isObject()) {
            Fail(path);
            return;
        }
        std::string type;
        if (!Text(element, "type", path + ".type", type)) return;
        const char* files = nullptr;
        if (kinds_.photos && platform::EqualsIgnoringAsciiCase(type, "image")) {
            files = "images";
        } else if (kinds_.videos && platform::EqualsIgnoringAsciiCase(type, "video")) {
            files = "videos";
        } else {
            return;
        }
        CPixoluneItem item;
        const std::string filesPath = path + "." + files;
        const Json::Value& resolutions = Object(element, files, filesPath);
        const Json::Value& standard =
            Object(resolutions, "standard_resolution", filesPath + ".standard_resolution");
        Text(standard, "url", filesPath + ".standard_resolution.url", item.Url);
        ReadCaptionAndOwner(element, path, item);
        if (!failed_ && !item.Url.empty()) page_.items.push_back(std::move(item));
    }

    // Whether there is a caption, and whose name is the owner, is the kind's.
    void ReadCaptionAndOwner(const Json::Value& element, const std::string& path,
                             CPixoluneItem& item) {
        if (kind_.captioned) {
            const Json::Value& caption = Object(element, "caption", path + ".caption");
            Text(caption, "text", path + ".caption.text", item.Caption);
            if (kind_.owner == ItemOwner::CaptionAuthor) {
                const Json::Value& from = Object(caption, "from", path + ".caption.from");
                Text(from, "full_name", path + ".caption.from.full_name", item.Owner);
            }
        }
        if (kind_.owner == ItemOwner::Poster) {
            const Json::Value& user = Object(element, "user", path + ".user");
            Text(user, "full_name", path + ".user.full_name", item.Owner);
        }
    }

    // A member object; null when absent, and when `parent` is itself null.
    const Json::Value& Object(const Json::Value& parent, const char* name,
                              const std::string& path) {
        bool typeMatches = true;
        const Json::Value& member =
            parent.isObject() ? ObjectMember(parent, name, typeMatches) : parent;
        if (!typeMatches) Fail(path);
        return member;
    }

    bool Text(const Json::Value& parent, const char* name, const std::string& path,
              std::string& out) {
        out.clear();
        if (failed_ || !parent.isObject()) return !failed_;
        if (!ReadStringMember(parent, name, out)) Fail(path);
        return !failed_;
    }

    void Fail(const std::string& path) {
        if (!failed_) page_.wrongMember = path;
        failed_ = true;
    }

    FeedPage WrongType(const std::string& path) {
        Fail(path);
        return Finish(FeedReplyStatus::WrongType);
    }

    FeedPage Finish(FeedReplyStatus status) {
        page_.status = status;
        if (status != FeedReplyStatus::Ok) {
            page_.items.clear();
            page_.nextUrl.clear();
        }
        return std::move(page_);
    }

    const FeedKind& kind_;
    MediaKinds kinds_;
    int wanted_;
    FeedPage page_;
    bool failed_ = false;
};

}  // namespace

FeedPage ParseFeedReply(std::string_view reply, int feedType, MediaKinds kinds, int wanted) {
    return FeedReplyReader(feedType, kinds, wanted).Read(reply);
}

}  // namespace pixolune
