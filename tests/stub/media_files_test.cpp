#include "stub/media_files.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>

namespace pixolune::stub {
namespace {

uint32_t BigEndian32(const std::string& bytes, size_t at) {
    return (uint32_t{static_cast<unsigned char>(bytes[at])} << 24) |
           (uint32_t{static_cast<unsigned char>(bytes[at + 1])} << 16) |
           (uint32_t{static_cast<unsigned char>(bytes[at + 2])} << 8) |
           uint32_t{static_cast<unsigned char>(bytes[at + 3])};
}

struct PngChunk {
    std::string type;
    std::string data;
};

// Walks the chunks of a PNG, failing the test on a bad signature or CRC.
std::vector<PngChunk> ReadPngChunks(const std::string& png) {
    std::vector<PngChunk> chunks;
    EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    size_t at = 8;
    while (at + 12 <= png.size()) {
        uint32_t length = BigEndian32(png, at);
        if (at + 12 + length > png.size()) {
            ADD_FAILURE() << "chunk runs past the end";
            break;
        }
        PngChunk chunk{png.substr(at + 4, 4), png.substr(at + 8, length)};
        std::string covered = chunk.type + chunk.data;
        uint32_t crc = static_cast<uint32_t>(crc32(
            0, reinterpret_cast<const Bytef*>(covered.data()), static_cast<uInt>(covered.size())));
        EXPECT_EQ(BigEndian32(png, at + 8 + length), crc) << "CRC of " << chunk.type;
        chunks.push_back(chunk);
        at += 12 + length;
    }
    EXPECT_EQ(at, png.size()) << "bytes after the last chunk";
    return chunks;
}

std::string ReadWhole(const BodySource& body) {
    std::string text(body.Size(), '\0');
    // Odd piece sizes so that reads cross the joins between head, padding and tail.
    size_t at = 0;
    while (at < text.size()) {
        size_t count = body.Read(at, text.data() + at, std::min<size_t>(7777, text.size() - at));
        if (count == 0) break;
        at += count;
    }
    text.resize(at);
    return text;
}

TEST(MakePngTest, IsAValidPngWithPixelsOfTheStatedSize) {
    auto chunks = ReadPngChunks(MakePng("beach-0.jpg"));
    ASSERT_EQ(chunks.size(), 3u);
    EXPECT_EQ(chunks[0].type, "IHDR");
    EXPECT_EQ(chunks[1].type, "IDAT");
    EXPECT_EQ(chunks[2].type, "IEND");
    uint32_t width = BigEndian32(chunks[0].data, 0);
    uint32_t height = BigEndian32(chunks[0].data, 4);
    EXPECT_EQ(width, 1024u);
    EXPECT_EQ(height, 768u);
    EXPECT_LT(ReadWhole(*MakeMediaBody(MediaKind::kImage, "beach-0.jpg", std::nullopt)).size(),
              64u * 1024)
        << "served without a size, the large picture stays small";
    std::vector<unsigned char> pixels(height * (1 + 3 * width) + 1);
    uLongf size = static_cast<uLongf>(pixels.size());
    ASSERT_EQ(
        uncompress(pixels.data(), &size, reinterpret_cast<const Bytef*>(chunks[1].data.data()),
                   static_cast<uLong>(chunks[1].data.size())),
        Z_OK);
    EXPECT_EQ(size, height * (1 + 3 * width));
}

TEST(MakePngTest, DifferentNamesGiveDifferentFilesAndTheSameNameTheSameFile) {
    EXPECT_NE(MakePng("a.jpg"), MakePng("b.jpg"));
    EXPECT_EQ(MakePng("a.jpg"), MakePng("a.jpg"));
}

class PaddedPngTest : public ::testing::TestWithParam<int64_t> {};

TEST_P(PaddedPngTest, HasExactlyTheRequestedSizeAndStaysValid) {
    const std::string natural = MakeSwatchPng("sized.jpg");
    const uint64_t size = natural.size() + GetParam();
    auto body = MakeMediaBody(MediaKind::kImage, "sized.jpg", size);
    ASSERT_EQ(body->Size(), size);
    std::string bytes = ReadWhole(*body);
    ASSERT_EQ(bytes.size(), size);
    if (GetParam() >= 12) {
        auto chunks = ReadPngChunks(bytes);
        ASSERT_EQ(chunks.size(), 4u);
        EXPECT_EQ(chunks[2].type, "fiLl");
        EXPECT_EQ(chunks[3].type, "IEND");
    } else {
        // Too little room for a chunk: the PNG is whole and zeros follow it.
        EXPECT_EQ(bytes.substr(0, natural.size()), natural);
        EXPECT_EQ(bytes.find_first_not_of('\0', natural.size()), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(Extra, PaddedPngTest, ::testing::Values(1, 11, 12, 13, 4096, 3 << 20));

TEST(MakeMediaBodyTest, ASizeBelowTheNaturalOneGivesACutFile) {
    const std::string natural = MakeSwatchPng("cut.jpg");
    auto body = MakeMediaBody(MediaKind::kImage, "cut.jpg", 20);
    EXPECT_EQ(ReadWhole(*body), natural.substr(0, 20));
}

TEST(MakeMediaBodyTest, AGibibyteFileIsDescribedWithoutBeingMade) {
    const uint64_t size = uint64_t{1} << 30;
    auto body = MakeMediaBody(MediaKind::kImage, "huge.jpg", size);
    ASSERT_EQ(body->Size(), size);
    char tail[12];
    ASSERT_EQ(body->Read(size - 12, tail, 12), 12u);
    EXPECT_EQ(std::string(tail + 4, 4), "IEND");
    char head[8];
    ASSERT_EQ(body->Read(0, head, 8), 8u);
    EXPECT_EQ(std::string(head, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    EXPECT_EQ(body->Read(size, head, 8), 0u);
}

TEST(MakeMediaBodyTest, VideoIsAnMp4WhosePaddingIsAFreeBox) {
    const std::string& natural = TestPatternMp4();
    ASSERT_GT(natural.size(), 16u);
    EXPECT_EQ(natural.substr(4, 4), "ftyp");
    EXPECT_LT(natural.size(), 50u * 1024);
    auto body = MakeMediaBody(MediaKind::kVideo, "clip.mp4", natural.size() + 5000);
    std::string bytes = ReadWhole(*body);
    ASSERT_EQ(bytes.size(), natural.size() + 5000);
    EXPECT_EQ(bytes.substr(0, natural.size()), natural);
    EXPECT_EQ(BigEndian32(bytes, natural.size()), 5000u);
    EXPECT_EQ(bytes.substr(natural.size() + 4, 4), "free");
}

TEST(MediaKindOfNameTest, VideosByExtensionInAnyCase) {
    EXPECT_EQ(MediaKindOfName("clip.MP4"), MediaKind::kVideo);
    EXPECT_EQ(MediaKindOfName("clip.mov"), MediaKind::kVideo);
    EXPECT_EQ(MediaKindOfName("photo.jpg"), MediaKind::kImage);
    EXPECT_EQ(MediaKindOfName("folder/"), MediaKind::kImage);
}

}  // namespace
}  // namespace pixolune::stub
