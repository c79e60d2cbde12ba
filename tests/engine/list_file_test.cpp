#include "engine/list_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <string>

#include "engine/local_names.h"
#include "engine_test_support.h"
#include "platform/file_system.h"

namespace pixolune {
namespace {

using test::TempDir;
using namespace std::string_literals;

LocalFileMap Records(std::initializer_list<std::pair<const char*, const char*>> entries) {
    LocalFileMap files;
    for (const auto& [url, name] : entries) files[url] = CFileData{name, url, 1};
    return files;
}

TEST(ListFile, EmptyMapWritesHeaderAndZero) {
    EXPECT_EQ(FormatListFile({}), "[Kaleidra Pixolune List]\r\n0\r\n");
}

TEST(ListFile, RoundTripKeepsEveryRecordUnseen) {
    TempDir folder;
    const std::string path = folder.File("kal_pxln_files.lst");
    const LocalFileMap written = Records({{"http://h/a.jpg", "a.jpg"},
                                          {"https://h/b.mp4?x=1", "b.mp4"},
                                          {"http://h/\xC3\xA9.jpg", "\xC3\xA9.jpg"}});
    ASSERT_TRUE(WriteListFile(platform::RealFileSystem(), path, written));
    LocalFileMap read;
    ASSERT_EQ(ReadListFile(platform::RealFileSystem(), path, read).status, ListReadStatus::Loaded);
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
    TempDir folder;
    LocalFileMap read = Records({{"u", "n"}});
    EXPECT_EQ(ReadListFile(platform::RealFileSystem(), folder.File("none.lst"), read).status,
              ListReadStatus::NotFound);
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
    TempDir folder;
    const std::string path = folder.File("kal_pxln_files.lst");
    test::WriteFile(path, GetParam().bytes);
    LocalFileMap read = Records({{"stale", "stale.jpg"}});
    const ListReadResult result = ReadListFile(platform::RealFileSystem(), path, read);
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
        DamagedCase{"NulSpoilsItsOwnLineOnly",
                    kHeader + "\r\n3\r\nu1\r\na\0b.jpg\r\nu2\r\nb.jpg\r\nu\0x\r\nc.jpg\r\n"s,
                    ListReadStatus::Loaded,
                    {{"u2", "b.jpg"}},
                    2},
        DamagedCase{"NamesLeavingTheFolderAreDropped",
                    kHeader + "\r\n4\r\nu1\r\n../../etc/passwd\r\nu2\r\n..\r\nu3\r\n" +
                        "kal_pxln_files.lst\r\nu4\r\nok.jpg\r\n",
                    ListReadStatus::Loaded,
                    {{"u4", "ok.jpg"}},
                    3}),
    [](const auto& info) { return std::string(info.param.name); });

// Fails every open or read of the files in the test's folder as a disk, a
// permission change or a full descriptor table would.
struct ReadFault {
    const char* name;
    int openErrno;        // 0: opens succeed
    int readErrno;        // with the read call below
    int failingReadCall;  // 0: reads succeed
    size_t readPieceBytes;
};

class UnreadableListTest : public ::testing::TestWithParam<ReadFault> {
  protected:
    // Fails opens or the chosen read as the fault says; reads come in small pieces.
    class FaultyReads : public platform::FileSystemWrapper {
      public:
        explicit FaultyReads(const ReadFault& fault)
            : FileSystemWrapper(platform::RealFileSystem()), fault_(fault) {}
        int Open(const char* path, int flags, mode_t mode) override {
            if (fault_.openErrno == 0) return Target().Open(path, flags, mode);
            errno = fault_.openErrno;
            return -1;
        }
        ssize_t Read(int fd, void* data, size_t size) override {
            if (++readCalls == fault_.failingReadCall) {
                errno = fault_.readErrno;
                return -1;
            }
            return Target().Read(fd, data, std::min(size, fault_.readPieceBytes));
        }
        int readCalls = 0;

      private:
        ReadFault fault_;
    };

    FaultyReads files_{GetParam()};
};

TEST_P(UnreadableListTest, IsNeverTakenForAnEmptyListAndIsLeftAsItIs) {
    TempDir folder;
    const std::string list = folder.File(kListFileName);
    const std::string journal = folder.File(kJournalFileName);
    const std::string listBytes = kHeader + "\r\n2\r\nu1\r\na.jpg\r\nu2\r\nb.jpg\r\n";
    test::WriteFile(list, listBytes);
    test::WriteFile(journal, "http://h/u3\r\na.jpg\r\nhttp://h/u4\r\nb.jpg\r\n");
    test::WriteFile(folder.File("a.jpg"), "a");
    test::WriteFile(folder.File("b.jpg"), "b");

    LocalFileMap files = Records({{"stale", "stale.jpg"}});
    const ListReadResult read = ReadListFile(files_, list, files);
    LocalFileMap merged = Records({{"kept", "kept.jpg"}});
    files_.readCalls = 0;
    const ListReadResult fromJournal = MergeJournal(files_, journal, folder.Path(), merged);

    const int expectedError = GetParam().openErrno ? GetParam().openErrno : GetParam().readErrno;
    if (expectedError == 0) {  // the control: small pieces alone change nothing
        EXPECT_EQ(read.status, ListReadStatus::Loaded);
        EXPECT_EQ(files.size(), 2u);
        EXPECT_EQ(fromJournal.added, 2u);
    } else {
        EXPECT_EQ(read.status, ListReadStatus::Unreadable);
        EXPECT_EQ(read.failure.ErrorNumber(), expectedError);
        EXPECT_TRUE(files.empty());
        EXPECT_FALSE(fromJournal.Readable());
        EXPECT_EQ(fromJournal.failure.ErrorNumber(), expectedError);
        EXPECT_EQ(merged.size(), 1u);
    }
    EXPECT_EQ(test::ReadFile(list), listBytes);
}

INSTANTIATE_TEST_SUITE_P(Faults, UnreadableListTest,
                         ::testing::Values(ReadFault{"OpenRefused", EACCES, 0, 0, 65536},
                                           ReadFault{"NoDescriptorLeft", EMFILE, 0, 0, 65536},
                                           ReadFault{"FirstReadFails", 0, EIO, 1, 65536},
                                           ReadFault{"ReadFailsInTheMiddle", 0, EIO, 6, 6},
                                           ReadFault{"SmallPiecesReadWhole", 0, 0, 0, 5}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ListFile, WhatTheReaderCouldNotGiveBackIsNeverWritten) {
    TempDir folder;
    const std::string path = folder.File(kListFileName);
    const std::string overlong = "http://h/" + std::string(kMaxListLineBytes, 'u');
    const LocalFileMap written = Records({{"http://h/ok.jpg", "ok.jpg"},
                                          {overlong.c_str(), "long.jpg"},
                                          {"http://h/a\nb.jpg", "ab.jpg"},
                                          {"http://h/cr.jpg\r", "cr.jpg"},
                                          {"http://h/bad-name.jpg", "../bad.jpg"}});
    ASSERT_TRUE(WriteListFile(platform::RealFileSystem(), path, written));
    LocalFileMap read;
    const ListReadResult result = ReadListFile(platform::RealFileSystem(), path, read);
    EXPECT_EQ(result.skipped, 0u);
    ASSERT_EQ(read.size(), 1u);
    EXPECT_EQ(read.count("http://h/ok.jpg"), 1u);
    EXPECT_EQ(test::ReadFile(path).substr(kHeader.size(), 5), "\r\n1\r\n");
    EXPECT_FALSE(AppendJournal(platform::RealFileSystem(), folder.File(kJournalFileName),
                               written.at(overlong)));
    EXPECT_FALSE(test::Exists(folder.File(kJournalFileName)));
}

TEST(ListFile, LineOfExactlyTheBufferSizeIsKept) {
    TempDir folder;
    const std::string path = folder.File("kal_pxln_files.lst");
    const std::string url = "http://h/" + std::string(kMaxListLineBytes - 9, 'u');
    test::WriteFile(path, kHeader + "\r\n1\r\n" + url + "\r\na.jpg\r\n");
    LocalFileMap read;
    ASSERT_EQ(ReadListFile(platform::RealFileSystem(), path, read).status, ListReadStatus::Loaded);
    EXPECT_EQ(read.count(url), 1u);
}

TEST(ListFile, WriteIntoAMissingFolderReportsWhy) {
    TempDir folder;
    const std::string path = folder.File("missing-folder/kal_pxln_files.lst");
    const platform::Outcome written =
        WriteListFile(platform::RealFileSystem(), path, Records({{"u", "a.jpg"}}));
    EXPECT_FALSE(written);
    EXPECT_FALSE(written.Error().empty());
}

TEST(Journal, MergeAddsCompleteEntriesWhoseFilesAreThere) {
    TempDir folder;
    const std::string journal = folder.File("kal_pxln_files.jnl");
    test::WriteFile(folder.File("a.jpg"), "a");
    test::WriteFile(folder.File("b.jpg"), "b");
    test::WriteFile(folder.File("c.jpg"), "c");
    ASSERT_TRUE(AppendJournal(platform::RealFileSystem(), journal, CFileData{"a.jpg", "u1", 1}));
    ASSERT_TRUE(AppendJournal(platform::RealFileSystem(), journal, CFileData{"gone.jpg", "u2", 1}));
    ASSERT_FALSE(AppendJournal(platform::RealFileSystem(), journal, CFileData{"../x", "u3", 1}));
    // Damaged entries written by something else are skipped one by one.
    std::ofstream(journal, std::ios::app | std::ios::binary) << "u\0x\r\nb.jpg\r\nu5\r\n../x\r\n"s;
    ASSERT_TRUE(AppendJournal(platform::RealFileSystem(), journal, CFileData{"b.jpg", "u6", 1}));
    // A kill in the middle of the last append leaves it without its line end.
    std::ofstream(journal, std::ios::app | std::ios::binary) << "u4\r\nc.jp";
    LocalFileMap files = Records({{"old", "old.jpg"}});
    const ListReadResult merged =
        MergeJournal(platform::RealFileSystem(), journal, folder.Path(), files);
    EXPECT_TRUE(merged.Readable());
    EXPECT_EQ(merged.added, 2u);
    EXPECT_TRUE(merged.trimmed);
    EXPECT_EQ(files.size(), 3u);
    EXPECT_EQ(files["u1"].LocalName, "a.jpg");
    EXPECT_EQ(files["u1"].Seen, 0);
    EXPECT_EQ(files["u6"].LocalName, "b.jpg");

    // What is appended after the torn entry is read in step.
    ASSERT_TRUE(AppendJournal(platform::RealFileSystem(), journal, CFileData{"c.jpg", "u7", 1}));
    LocalFileMap again;
    const ListReadResult next =
        MergeJournal(platform::RealFileSystem(), journal, folder.Path(), again);
    EXPECT_FALSE(next.trimmed);
    EXPECT_EQ(next.added, 3u);
    EXPECT_EQ(again["u7"].LocalName, "c.jpg");
}

TEST(Journal, MissingJournalAddsNothing) {
    TempDir folder;
    LocalFileMap files;
    const ListReadResult merged =
        MergeJournal(platform::RealFileSystem(), folder.File("none.jnl"), folder.Path(), files);
    EXPECT_TRUE(merged.Readable());
    EXPECT_EQ(merged.added, 0u);
}

TEST(ReadListFile, DamagedCountSizesTheTableByTheFileNotByTheCount) {
    test::TempDir folder;
    const std::string path = folder.File(kListFileName);
    test::WriteFile(path, std::string(kListHeader) + "\r\n99999999999\r\nu1\r\na.jpg\r\n");
    LocalFileMap files;
    ASSERT_EQ(ReadListFile(platform::RealFileSystem(), path, files).status, ListReadStatus::Loaded);
    EXPECT_EQ(files.size(), 1u);
    // Without the bound every start would build a table for a million entries.
    EXPECT_LT(files.bucket_count(), 1000u);
}

}  // namespace
}  // namespace pixolune
