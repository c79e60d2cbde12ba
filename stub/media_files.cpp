#include "stub/media_files.h"

#include <zlib.h>

#include <array>
#include <cctype>
#include <stdexcept>

namespace pixolune::stub {

extern const unsigned char kTestPatternMp4[];
extern const size_t kTestPatternMp4Size;

namespace {

constexpr int kPngWidth = 32;
constexpr int kPngHeight = 24;
constexpr size_t kPngChunkOverhead = 12;  // length, type, CRC
constexpr size_t kIendChunkSize = 12;
constexpr size_t kMp4BoxHeader = 8;
constexpr size_t kMp4LargeBoxHeader = 16;

uint32_t Fnv1a(const std::string& text) {
    uint32_t hash = 2166136261u;
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 16777619u;
    }
    return hash;
}

void AppendBigEndian32(std::string& out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>(value >> shift));
}

void AppendBigEndian64(std::string& out, uint64_t value) {
    for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<char>(value >> shift));
}

uint32_t Crc(const std::string& bytes, uint32_t crc = 0) {
    return static_cast<uint32_t>(
        crc32(crc, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
}

// CRC of `previous` bytes followed by `count` zero bytes, without touching
// them one by one: a 1 GiB padding chunk costs a few dozen combine steps.
uint32_t CrcFollowedByZeros(uint32_t previous, uint64_t count) {
    uint32_t crc = previous;
    const unsigned char zero = 0;
    uint32_t zerosCrc = static_cast<uint32_t>(crc32(0, &zero, 1));  // CRC of 2^bit zeros
    for (int bit = 0; bit < 63 && (count >> bit) != 0; ++bit) {
        uint64_t run = uint64_t{1} << bit;
        if (count & run) crc = static_cast<uint32_t>(crc32_combine(crc, zerosCrc, run));
        zerosCrc = static_cast<uint32_t>(crc32_combine(zerosCrc, zerosCrc, run));
    }
    return crc;
}

std::string PngChunk(const std::string& type, const std::string& data) {
    std::string chunk;
    AppendBigEndian32(chunk, static_cast<uint32_t>(data.size()));
    chunk += type;
    chunk += data;
    AppendBigEndian32(chunk, Crc(type + data));
    return chunk;
}

std::string PngPixelRows(uint32_t hash) {
    const std::array<unsigned char, 3> top = {static_cast<unsigned char>(hash),
                                              static_cast<unsigned char>(hash >> 8),
                                              static_cast<unsigned char>(hash >> 16)};
    const std::array<unsigned char, 3> bottom = {static_cast<unsigned char>(255 - top[0]),
                                                 static_cast<unsigned char>(hash >> 24),
                                                 static_cast<unsigned char>(255 - top[2])};
    std::string rows;
    for (int y = 0; y < kPngHeight; ++y) {
        rows.push_back('\0');  // filter type "none"
        for (int x = 0; x < kPngWidth; ++x) {
            const auto& colour = (x + y) % 8 == 0 ? bottom : (y < kPngHeight / 2 ? top : bottom);
            rows.append(reinterpret_cast<const char*>(colour.data()), colour.size());
        }
    }
    return rows;
}

std::string Deflate(const std::string& raw) {
    uLongf size = compressBound(static_cast<uLong>(raw.size()));
    std::string out(size, '\0');
    if (compress2(reinterpret_cast<Bytef*>(out.data()), &size,
                  reinterpret_cast<const Bytef*>(raw.data()), static_cast<uLong>(raw.size()),
                  Z_BEST_COMPRESSION) != Z_OK) {
        throw std::runtime_error("compress2 failed");
    }
    out.resize(size);
    return out;
}

std::unique_ptr<BodySource> Padded(const std::string& head, uint64_t zeros,
                                   const std::string& tail) {
    return std::make_unique<RepeatedBody>(
        std::vector<RepeatedBody::Run>{{head, 1}, {std::string(1, '\0'), zeros}, {tail, 1}});
}

std::unique_ptr<BodySource> PaddedPng(const std::string& png, uint64_t size) {
    uint64_t extra = size - png.size();
    if (extra < kPngChunkOverhead || extra - kPngChunkOverhead > 0x7FFFFFFFu) {
        return Padded(png, extra, "");
    }
    uint64_t paddingBytes = extra - kPngChunkOverhead;
    std::string head = png.substr(0, png.size() - kIendChunkSize);
    AppendBigEndian32(head, static_cast<uint32_t>(paddingBytes));
    head += "fiLl";
    std::string tail;
    AppendBigEndian32(tail, CrcFollowedByZeros(Crc("fiLl"), paddingBytes));
    tail += png.substr(png.size() - kIendChunkSize);
    return Padded(head, paddingBytes, tail);
}

std::unique_ptr<BodySource> PaddedMp4(const std::string& mp4, uint64_t size) {
    uint64_t box = size - mp4.size();
    std::string head = mp4;
    if (box >= kMp4BoxHeader && box <= 0xFFFFFFFFu) {
        AppendBigEndian32(head, static_cast<uint32_t>(box));
        head += "free";
        return Padded(head, box - kMp4BoxHeader, "");
    }
    if (box > 0xFFFFFFFFu) {
        AppendBigEndian32(head, 1);  // the 64-bit size follows the type
        head += "free";
        AppendBigEndian64(head, box);
        return Padded(head, box - kMp4LargeBoxHeader, "");
    }
    return Padded(head, box, "");
}

}  // namespace

MediaKind MediaKindOfName(const std::string& name) {
    auto dot = name.rfind('.');
    std::string extension = dot == std::string::npos ? "" : name.substr(dot + 1);
    for (auto& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (extension == "mp4" || extension == "m4v" || extension == "mov") return MediaKind::kVideo;
    return MediaKind::kImage;
}

std::string MakePng(const std::string& name) {
    std::string header;
    AppendBigEndian32(header, kPngWidth);
    AppendBigEndian32(header, kPngHeight);
    header += std::string("\x08\x02\x00\x00\x00", 5);  // 8-bit RGB, no interlace
    std::string png("\x89PNG\r\n\x1a\n", 8);
    png += PngChunk("IHDR", header);
    png += PngChunk("IDAT", Deflate(PngPixelRows(Fnv1a(name))));
    png += PngChunk("IEND", "");
    return png;
}

const std::string& TestPatternMp4() {
    static const std::string mp4(reinterpret_cast<const char*>(kTestPatternMp4),
                                 kTestPatternMp4Size);
    return mp4;
}

std::unique_ptr<BodySource> MakeMediaBody(MediaKind kind, const std::string& name,
                                          std::optional<uint64_t> requestedSize) {
    std::string natural = kind == MediaKind::kVideo ? TestPatternMp4() : MakePng(name);
    if (!requestedSize || *requestedSize == natural.size()) {
        return std::make_unique<StringBody>(std::move(natural));
    }
    if (*requestedSize < natural.size()) {
        return std::make_unique<StringBody>(natural.substr(0, *requestedSize));
    }
    return kind == MediaKind::kVideo ? PaddedMp4(natural, *requestedSize)
                                     : PaddedPng(natural, *requestedSize);
}

const char* MediaContentType(MediaKind kind) {
    return kind == MediaKind::kVideo ? "video/mp4" : "image/png";
}

}  // namespace pixolune::stub
