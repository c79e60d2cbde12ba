#include "engine/list_file.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "engine/local_names.h"
#include "engine_test_support.h"

namespace pixolune {
namespace {

using test::ScratchFolder;

LocalFileMap Records(std::initializer_list<std::pair<const char*, const char*>> entries) {
    LocalFileMap files;
    for (const auto& [url, name] : entries) files[url] = CFileData{name, url, 1};
    return files;
}

TEST(ListFile, EmptyMapWritesHeaderAndZero) {
    EXPECT_EQ(FormatListFile({}), "[Kaleidra Pixolune List]\r\n0\r\n");
}

TEST(ListFile, RoundTripKeepsEveryRecordUnseen) {
    ScratchFolder folder;
    const std::string path = folder.File("kal_pxln_files.lst");
    const LocalFileMap written = Records({{"http://h/a.jpg", "a.jpg"},
                                          {"https://h/b.mp4?x=1", "b.mp4"},
                                          {"http://h/\xC3\xA9.jpg", "\xC3\xA9.jpg"}});
    ASSERT_TRUE(WriteListFile(path, written));
    LocalFileMap read;
    ASSERT_EQ(ReadListFile(path, read).status, ListReadStatus::Loaded);
    ASSERT_EQ(read.size(), written.size());
    for (const auto& [url, record] : written) {
        ASSERT_EQ(read.count(url), 1u);
        EXPECT_EQ(read[url].LocalName, record.LocalName);
        EXPECT_EQ(read[url].SourceUrl, url);
        EXPECT_EQ(read[url].Seen, 0);
    }
    EXPECT_EQ(test::FolderNames(folder.Path()), std::vector<std::string>{"kal_pxln_files.lst"});
}

TEST(ListFile, MissingFileReadsAsNotFound) {
    ScratchFolder folder;
    LocalFileMap read = Records({{"u", "n"}});
    EXPECT_EQ(ReadListFile(folder.File("none.lst"), read).status, ListReadStatus::NotFound);
    EXPECT_TRUE(read.empty());
}

struct DamagedCase {
    const char* name;
    std::string bytes;
    ListReadStatus status;
    std::vector<std::pair<std::string, std::string>> records;  // url, local name
    size_t skipped;
};

class DamagedListTest : public ::testing::TestWithParam<DamagedCase> {};

TEST_P(DamagedListTest, ReadsWhatIsSoundAndNothingElse) {
    ScratchFolder folder;
    const std::string path = folder.File("kal_pxln_files.lst");
    test::WriteFile(path, GetParam().bytes);
    LocalFileMap read = Records({{"stale", "stale.jpg"}});
    const ListReadResult result = ReadListFile(path, read);
    EXPECT_EQ(result.status, GetParam().status);
    EXPECT_EQ(result.skipped, GetParam().skipped);
    ASSERT_EQ(read.size(), GetParam().records.size());
    for (const auto& [url, name] : GetParam().records) {
        ASSERT_EQ(read.count(url), 1u) << url;
        EXPECT_EQ(read[url].LocalName, name);
    }
}

const std::string kHeader = "[Kaleidra Pixolune List]";

INSTANTIATE_TEST_SUITE_P(
    Files, DamagedListTest,
    ::testing::Values(
        DamagedCase{"LfLineEnds",
                    kHeader + "\n2\nu1\na.jpg\nu2\nb.jpg\n",
                    ListReadStatus::Loaded,
                    {{"u1", "a.jpg"}, {"u2", "b.jpg"}},
                    0},
        DamagedCase{"NoFinalLineEnd",
                    kHeader + "\r\n1\r\nu1\r\na.jpg",
                    ListReadStatus::Loaded,
                    {{"u1", "a.jpg"}},
                    0},
        DamagedCase{"WrongHeader",
                    "[Other List]\r\n1\r\nu1\r\na.jpg\r\n",
                    ListReadStatus::WrongHeader,
                    {},
                    0},
        DamagedCase{"HeaderWithTrailingBlank",
                    kHeader + " \r\n1\r\nu1\r\na.jpg\r\n",
                    ListReadStatus::WrongHeader,
                    {},
                    0},
        DamagedCase{"EmptyFile", "", ListReadStatus::WrongHeader, {}, 0},
        DamagedCase{"HeaderOnly", kHeader + "\r\n", ListReadStatus::Loaded, {}, 0},
        DamagedCase{"ShorterThanItsCount",
                    kHeader + "\r\n5\r\nu1\r\na.jpg\r\nu2\r\n",
                    ListReadStatus::Loaded,
                    {{"u1", "a.jpg"}},
                    0},
        DamagedCase{"CountBeyondAnyFile",
                    kHeader + "\r\n99999999999999999999\r\nu1\r\na.jpg\r\n",
                    ListReadStatus::Loaded,
                    {{"u1", "a.jpg"}},
                    0},
        DamagedCase{
            "NegativeCount", kHeader + "\r\n-7\r\nu1\r\na.jpg\r\n", ListReadStatus::Loaded, {}, 0},
        DamagedCase{"HexCount",
                    kHeader + "\r\n0x1\r\nu1\r\na.jpg\r\nu2\r\nb.jpg\r\n",
                    ListReadStatus::Loaded,
                    {{"u1", "a.jpg"}},
                    0},
        DamagedCase{"CountWithoutDigits",
                    kHeader + "\r\nmany\r\nu1\r\na.jpg\r\n",
                    ListReadStatus::Loaded,
                    {},
                    0},
        DamagedCase{"EmptyUrlIsSkipped",
                    kHeader + "\r\n2\r\n\r\na.jpg\r\nu2\r\nb.jpg\r\n",
                    ListReadStatus::Loaded,
                    {{"u2", "b.jpg"}},
                    0},
        DamagedCase{"LaterDuplicateWins",
                    kHeader + "\r\n2\r\nu\r\na.jpg\r\nu\r\nb.jpg\r\n",
                    ListReadStatus::Loaded,
                    {{"u", "b.jpg"}},
                    0},
        DamagedCase{"OverlongLineKeepsPairsInStep",
                    kHeader + "\r\n3\r\nu1\r\na.jpg\r\n" + std::string(20000, 'x') +
                        "\r\nlong.jpg\r\nu3\r\nc.jpg\r\n",
                    ListReadStatus::Loaded,
                    {{"u1", "a.jpg"}, {"u3", "c.jpg"}},
                    1},
        DamagedCase{"NamesLeavingTheFolderAreDropped",
                    kHeader + "\r\n4\r\nu1\r\n../../etc/passwd\r\nu2\r\n..\r\nu3\r\n" +
                        "kal_pxln_files.lst\r\nu4\r\nok.jpg\r\n",
                    ListReadStatus::Loaded,
                    {{"u4", "ok.jpg"}},
                    3}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ListFile, LineOfExactlyTheBufferSizeIsKept) {
    ScratchFolder folder;
    const std::string path = folder.File("kal_pxln_files.lst");
    const std::string url = "http://h/" + std::string(kMaxListLineBytes - 9, 'u');
    test::WriteFile(path, kHeader + "\r\n1\r\n" + url + "\r\na.jpg\r\n");
    LocalFileMap read;
    ASSERT_EQ(ReadListFile(path, read).status, ListReadStatus::Loaded);
    EXPECT_EQ(read.count(url), 1u);
}

TEST(ListFile, WriteIntoAMissingFolderReportsWhy) {
    ScratchFolder folder;
    const std::string path = folder.File("missing-folder/kal_pxln_files.lst");
    std::string error;
    EXPECT_FALSE(WriteListFile(path, Records({{"u", "a.jpg"}}), &error));
    EXPECT_FALSE(error.empty());
}

TEST(Journal, MergeAddsCompleteEntriesWhoseFilesAreThere) {
    ScratchFolder folder;
    const std::string journal = folder.File("kal_pxln_files.jnl");
    test::WriteFile(folder.File("a.jpg"), "a");
    test::WriteFile(folder.File("c.jpg"), "c");
    ASSERT_TRUE(AppendJournal(journal, CFileData{"a.jpg", "u1", 1}));
    ASSERT_TRUE(AppendJournal(journal, CFileData{"gone.jpg", "u2", 1}));
    ASSERT_TRUE(AppendJournal(journal, CFileData{"../x", "u3", 1}));
    // A kill in the middle of the last append leaves it without its line end.
    std::ofstream(journal, std::ios::app | std::ios::binary) << "u4\r\nc.jp";
    LocalFileMap files = Records({{"old", "old.jpg"}});
    EXPECT_EQ(MergeJournal(journal, folder.Path(), files), 1u);
    EXPECT_EQ(files.size(), 2u);
    EXPECT_EQ(files["u1"].LocalName, "a.jpg");
    EXPECT_EQ(files["u1"].Seen, 0);
}

TEST(Journal, MissingJournalAddsNothing) {
    ScratchFolder folder;
    LocalFileMap files;
    EXPECT_EQ(MergeJournal(folder.File("none.jnl"), folder.Path(), files), 0u);
}

TEST(ReadListFile, DamagedCountSizesTheTableByTheFileNotByTheCount) {
    test::ScratchFolder folder;
    const std::string path = folder.File(kListFileName);
    test::WriteFile(path, std::string(kListHeader) + "\r\n99999999999\r\nu1\r\na.jpg\r\n");
    LocalFileMap files;
    ASSERT_EQ(ReadListFile(path, files).status, ListReadStatus::Loaded);
    EXPECT_EQ(files.size(), 1u);
    // Without the bound every start would build a table for a million entries.
    EXPECT_LT(files.bucket_count(), 1000u);
}

}  // namespace
}  // namespace pixolune
