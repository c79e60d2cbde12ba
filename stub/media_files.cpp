#include "stub/media_files.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <stdexcept>
#include <utility>
#include <vector>

namespace pixolune::stub {

extern const unsigned char kTestPatternMp4[];
extern const size_t kTestPatternMp4Size;

namespace {

// The picture a newcomer sees in the demo folder: large enough to look like a
// photo in a slide show, yet a few tens of KiB.
constexpr int kPictureWidth = 1024;
constexpr int kPictureHeight = 768;
// The small picture of files whose size a test asks for.
constexpr int kSwatchWidth = 32;
constexpr int kSwatchHeight = 24;
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

using Rgb = std::array<unsigned char, 3>;

// Two colours per name, so that neighbouring items look different.
std::pair<Rgb, Rgb> ColoursOf(uint32_t hash) {
    const Rgb first = {static_cast<unsigned char>(hash), static_cast<unsigned char>(hash >> 8),
                       static_cast<unsigned char>(hash >> 16)};
    const Rgb second = {static_cast<unsigned char>(255 - first[0]),
                        static_cast<unsigned char>(hash >> 24),
                        static_cast<unsigned char>(255 - first[2])};
    return {first, second};
}

std::string SwatchPixelRows(uint32_t hash) {
    const auto [top, bottom] = ColoursOf(hash);
    std::string rows;
    for (int y = 0; y < kSwatchHeight; ++y) {
        rows.push_back('\0');  // filter type "none"
        for (int x = 0; x < kSwatchWidth; ++x) {
            const auto& colour = (x + y) % 8 == 0 ? bottom : (y < kSwatchHeight / 2 ? top : bottom);
            rows.append(reinterpret_cast<const char*>(colour.data()), colour.size());
        }
    }
    return rows;
}

// The number drawn on a picture: the last run of digits in the name (the
// generated names end in the item's index), else one taken from the hash.
std::string NumberOf(const std::string& name, uint32_t hash) {
    const auto last = name.find_last_of("0123456789");
    if (last == std::string::npos) return std::to_string(hash % 1000);
    const auto before = name.find_last_not_of("0123456789", last);
    const size_t first = before == std::string::npos ? 0 : before + 1;
    const size_t count = std::min<size_t>(last + 1 - first, 9);
    return name.substr(last + 1 - count, count);
}

// Which of a seven-segment digit's segments are lit, bits a..g from bit 0:
// a top, b upper right, c lower right, d bottom, e lower left, f upper left, g middle.
constexpr std::array<unsigned char, 10> kSegments = {0x3F, 0x06, 0x5B, 0x4F, 0x66,
                                                     0x6D, 0x7D, 0x07, 0x7F, 0x6F};

// A mask of the picture: 1 where a digit is, 2 where its shadow falls.
class DigitMask {
  public:
    DigitMask() : cells_(size_t{kPictureWidth} * kPictureHeight, 0) {}

    void DrawCentred(const std::string& digits) {
        const int count = static_cast<int>(digits.size());
        // Large digits, narrower when there are many so that all of them and
        // their gaps (a quarter of a digit each) fill at most 9/10 of the width.
        const int widthPx = std::min(200, (kPictureWidth * 9 / 10) * 4 / (5 * count - 1));
        const int heightPx = widthPx * 9 / 5;
        const int strokePx = std::max(4, widthPx / 5);
        const int gapPx = widthPx / 4;
        const int shadowPx = std::max(2, strokePx / 4);
        const int totalPx = count * widthPx + (count - 1) * gapPx;
        const int top = (kPictureHeight - heightPx) / 2;
        for (int pass = 2; pass >= 1; --pass) {  // shadow first, the digits over it
            const int offset = pass == 2 ? shadowPx : 0;
            int left = (kPictureWidth - totalPx) / 2;
            for (char digit : digits) {
                DrawDigit(kSegments[static_cast<size_t>(digit - '0')], left + offset,
                          top + offset, widthPx, heightPx, strokePx,
                          static_cast<unsigned char>(pass));
                left += widthPx + gapPx;
            }
        }
    }

    unsigned char At(int x, int y) const {
        return cells_[static_cast<size_t>(y) * kPictureWidth + static_cast<size_t>(x)];
    }

  private:
    void DrawDigit(unsigned char lit, int left, int top, int widthPx, int heightPx, int strokePx,
                   unsigned char value) {
        const int middle = top + (heightPx - strokePx) / 2;
        const int bottom = top + heightPx - strokePx;
        const int halfPx = (heightPx + strokePx) / 2;
        const int right = left + widthPx - strokePx;
        if (lit & 0x01) Fill(left, top, widthPx, strokePx, value);
        if (lit & 0x02) Fill(right, top, strokePx, halfPx, value);
        if (lit & 0x04) Fill(right, middle, strokePx, halfPx, value);
        if (lit & 0x08) Fill(left, bottom, widthPx, strokePx, value);
        if (lit & 0x10) Fill(left, middle, strokePx, halfPx, value);
        if (lit & 0x20) Fill(left, top, strokePx, halfPx, value);
        if (lit & 0x40) Fill(left, middle, widthPx, strokePx, value);
    }

    void Fill(int left, int top, int widthPx, int heightPx, unsigned char value) {
        for (int y = std::max(0, top); y < std::min(kPictureHeight, top + heightPx); ++y) {
            for (int x = std::max(0, left); x < std::min(kPictureWidth, left + widthPx); ++x) {
                cells_[static_cast<size_t>(y) * kPictureWidth + static_cast<size_t>(x)] = value;
            }
        }
    }

    std::vector<unsigned char> cells_;
};

// A diagonal gradient between the name's two colours with its number on it.
// Rows use the "sub" filter: along a gradient neighbouring pixels differ by
// 0 or 1, which keeps the deflated picture small.
std::string PicturePixelRows(const std::string& name, uint32_t hash) {
    const auto [from, to] = ColoursOf(hash);
    DigitMask mask;
    mask.DrawCentred(NumberOf(name, hash));
    // The gradient's shades along the diagonal, worked out once per picture.
    const int span = kPictureWidth + kPictureHeight - 2;
    std::vector<Rgb> shades(static_cast<size_t>(span) + 1);
    for (int step = 0; step <= span; ++step) {
        for (size_t c = 0; c < 3; ++c) {
            shades[static_cast<size_t>(step)][c] =
                static_cast<unsigned char>(from[c] + (to[c] - from[c]) * step / span);
        }
    }
    const size_t rowBytes = 1 + 3 * size_t{kPictureWidth};
    std::string rows(static_cast<size_t>(kPictureHeight) * rowBytes, '\0');
    for (int y = 0; y < kPictureHeight; ++y) {
        char* out = &rows[static_cast<size_t>(y) * rowBytes];
        *out++ = '\1';  // filter type "sub"
        Rgb previous = {0, 0, 0};
        for (int x = 0; x < kPictureWidth; ++x) {
            const Rgb& shade = shades[static_cast<size_t>(x + y)];
            Rgb colour = shade;
            switch (mask.At(x, y)) {
                case 1:
                    colour = {250, 250, 250};
                    break;
                case 2:
                    colour = {static_cast<unsigned char>(shade[0] / 3),
                              static_cast<unsigned char>(shade[1] / 3),
                              static_cast<unsigned char>(shade[2] / 3)};
                    break;
                default:
                    break;
            }
            for (size_t c = 0; c < 3; ++c) {
                *out++ = static_cast<char>(colour[c] - previous[c]);
            }
            previous = colour;
        }
    }
    return rows;
}

std::string Deflate(const std::string& raw, int level) {
    uLongf size = compressBound(static_cast<uLong>(raw.size()));
    std::string out(size, '\0');
    if (compress2(reinterpret_cast<Bytef*>(out.data()), &size,
                  reinterpret_cast<const Bytef*>(raw.data()), static_cast<uLong>(raw.size()),
                  level) != Z_OK) {
        throw std::runtime_error("compress2 failed");
    }
    out.resize(size);
    return out;
}

// The default level: the best one takes ten times as long for a picture
// two thirds the size, and the stand-in makes pictures on every request.
std::string MakePngOf(int widthPx, int heightPx, const std::string& rows,
                      int level = Z_DEFAULT_COMPRESSION) {
    std::string header;
    AppendBigEndian32(header, static_cast<uint32_t>(widthPx));
    AppendBigEndian32(header, static_cast<uint32_t>(heightPx));
    header += std::string("\x08\x02\x00\x00\x00", 5);  // 8-bit RGB, no interlace
    std::string png("\x89PNG\r\n\x1a\n", 8);
    png += PngChunk("IHDR", header);
    png += PngChunk("IDAT", Deflate(rows, level));
    png += PngChunk("IEND", "");
    return png;
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
    return MakePngOf(kPictureWidth, kPictureHeight, PicturePixelRows(name, Fnv1a(name)));
}

std::string MakeSwatchPng(const std::string& name) {
    return MakePngOf(kSwatchWidth, kSwatchHeight, SwatchPixelRows(Fnv1a(name)), Z_BEST_COMPRESSION);
}

const std::string& TestPatternMp4() {
    static const std::string mp4(reinterpret_cast<const char*>(kTestPatternMp4),
                                 kTestPatternMp4Size);
    return mp4;
}

std::unique_ptr<BodySource> MakeMediaBody(MediaKind kind, const std::string& name,
                                          std::optional<uint64_t> requestedSize) {
    // A requested size is for tests, by the thousand: the small picture keeps
    // them quick, and is whole from a few hundred bytes up.
    std::string natural = kind == MediaKind::kVideo ? TestPatternMp4()
                          : requestedSize           ? MakeSwatchPng(name)
                                                    : MakePng(name);
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
