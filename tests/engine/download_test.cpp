#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "engine/disk_reserve.h"
#include "engine/feed_engine.h"
#include "engine/list_file.h"
#include "engine_test_support.h"
#include "fake_host.h"
#include "model/host_link.h"
#include "platform/file_system.h"

namespace pixolune {
namespace {

using namespace std::chrono_literals;
using test::FolderNames;
using test::ScratchFolder;

class DownloadTest : public ::testing::Test {
  protected:
    explicit DownloadTest(platform::FileSystem& fileSystem = platform::RealFileSystem())
        : engine_(settings_, fileSystem) {
        SetHostCallback(&test::FakeHost::Callback);
        settings_.ImgFolder = folder_.Path();
        settings_.RestartKal = 1;
    }
    ~DownloadTest() override { SetHostCallback(nullptr); }

    // Runs download steps until the batch is closed.
    void RunBatch() {
        for (int steps = 0; steps < 1000 && engine_.DownloadNext(&stop_) == DownloadStep::ItemTaken;
             ++steps) {
        }
    }

    ScratchFolder folder_;
    test::FakeHost host_;
    test::MediaServer server_;
    PluginSettings settings_;
    CFeedEngine engine_{settings_};
    std::atomic<int32_t> stop_{0};
};

TEST_F(DownloadTest, CompleteDownloadIsStoredByteForByte) {
    server_.ServeBytes("/m/a.jpg", 100000);
    // A longer file left under the temporary name must not show through.
    test::WriteFile(folder_.File("a.__t"), std::string(150000, 'x'));
    EXPECT_EQ(engine_.DownloadImage(server_.Url("/m/a.jpg"), folder_.File("a.__t"), &stop_),
              DownloadResult::Ok);
    EXPECT_EQ(test::ReadFile(folder_.File("a.__t")), test::PatternBytes(100000));
    EXPECT_TRUE(host_.HasLogContaining("DownloadImage(), " + server_.Url("/m/a.jpg") + " -> "));
}

TEST_F(DownloadTest, HttpErrorLeavesNoFile) {
    EXPECT_EQ(engine_.DownloadImage(server_.Url("/missing.jpg"), folder_.File("m.__t"), &stop_),
              DownloadResult::Refused);
    EXPECT_TRUE(host_.HasLogContaining("DownloadImage(), HTTP Error 404, url=" +
                                       server_.Url("/missing.jpg")));
    EXPECT_TRUE(FolderNames(folder_.Path()).empty());
}

TEST_F(DownloadTest, OtherSchemesAreRefusedWithTheirServiceCode) {
    EXPECT_EQ(engine_.DownloadImage("ftp://h/a.jpg", folder_.File("a.__t"), &stop_),
              DownloadResult::Refused);
    EXPECT_TRUE(
        host_.HasLogContaining("DownloadImage(), Unsupported service type (0), ftp://h/a.jpg"));
    EXPECT_TRUE(FolderNames(folder_.Path()).empty());
}

TEST_F(DownloadTest, UnparsableUrlIsRefused) {
    EXPECT_EQ(engine_.DownloadImage("no url", folder_.File("a.__t"), &stop_),
              DownloadResult::Refused);
    EXPECT_TRUE(host_.HasLogContaining("DownloadImage(), AfxParseURL failed, no url"));
}

TEST_F(DownloadTest, RefusedConnectionLeavesNoFile) {
    // A port that was just free: nothing listens there.
    std::string url;
    {
        test::MediaServer gone;
        url = gone.Url("/a.jpg");
    }
    EXPECT_EQ(engine_.DownloadImage(url, folder_.File("a.__t"), &stop_), DownloadResult::Refused);
    EXPECT_TRUE(host_.HasLogContaining("DownloadImage(), SendRequest failed, " + url));
    EXPECT_TRUE(FolderNames(folder_.Path()).empty());
}

TEST_F(DownloadTest, BodyDroppedMidwayFailsAndLeavesNoFile) {
    server_.Http().Get("/cut.jpg", [](const httplib::Request&, httplib::Response& response) {
        response.set_content_provider(100000, "image/jpeg",
                                      [](size_t offset, size_t, httplib::DataSink& sink) {
                                          if (offset >= 50000)
                                              return false;  // drops the connection
                                          const std::string piece(10000, 'x');
                                          sink.write(piece.data(), piece.size());
                                          return true;
                                      });
    });
    EXPECT_EQ(engine_.DownloadImage(server_.Url("/cut.jpg"), folder_.File("c.__t"), &stop_),
              DownloadResult::Broken);
    EXPECT_TRUE(host_.HasLogContaining("DownloadImage(), Error "));
    EXPECT_TRUE(FolderNames(folder_.Path()).empty());
}

TEST_F(DownloadTest, StopDuringAStalledDownloadEndsItAtOnceWithoutAPart) {
    server_.Http().Get("/stall.jpg", [this](const httplib::Request&, httplib::Response& response) {
        response.set_content_provider(1000000, "image/jpeg",
                                      [this](size_t offset, size_t, httplib::DataSink& sink) {
                                          if (offset > 0) server_.Stall(30s);
                                          const std::string piece(4096, 'x');
                                          sink.write(piece.data(), piece.size());
                                          return true;
                                      });
    });
    std::thread stopper([this] {
        std::this_thread::sleep_for(300ms);
        stop_.store(1);
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(engine_.DownloadImage(server_.Url("/stall.jpg"), folder_.File("s.__t"), &stop_),
              DownloadResult::Stopped);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    stopper.join();
    server_.Release();
    EXPECT_TRUE(FolderNames(folder_.Path()).empty());
}

// What a server sends instead of a media file, and what the log names it.
struct ServedBody {
    std::string contentType;
    std::string body;
    std::string reason;  // empty: it is media and is stored
};

class NotMediaTest : public DownloadTest, public ::testing::WithParamInterface<ServedBody> {};

TEST_P(NotMediaTest, PlainlyNotMediaIsNotStoredAndUnknownBinaryPasses) {
    const ServedBody& served = GetParam();
    server_.Http().Get("/m/x.jpg", [&served](const httplib::Request&, httplib::Response& r) {
        r.set_content(served.body, served.contentType);
    });
    const std::string url = server_.Url("/m/x.jpg");
    const DownloadResult result = engine_.DownloadImage(url, folder_.File("x.__t"), &stop_);
    if (served.reason.empty()) {
        EXPECT_EQ(result, DownloadResult::Ok);
        EXPECT_EQ(test::ReadFile(folder_.File("x.__t")), served.body);
        EXPECT_FALSE(host_.HasLogContaining("not a media file"));
    } else {
        EXPECT_EQ(result, DownloadResult::Refused);
        EXPECT_TRUE(FolderNames(folder_.Path()).empty());
        EXPECT_TRUE(host_.HasLogContaining("DownloadImage(), not a media file (" + served.reason +
                                           "), url=" + url));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Bodies, NotMediaTest,
    ::testing::Values(
        ServedBody{"image/jpeg", "", "empty body"},
        ServedBody{"text/html; charset=utf-8", "<p>sign in</p>", "text/html"},
        ServedBody{"text/plain", "\xFF\xD8\xFF", "text/plain"},
        ServedBody{"application/problem+json", "\xFF\xD8\xFF", "application/problem+json"},
        ServedBody{"image/jpeg", "\xEF\xBB\xBF \r\n<!DOCTYPE HTML><html></html>", "HTML document"},
        ServedBody{"image/png", "\t<HTML lang=en>", "HTML document"},
        ServedBody{"application/octet-stream", "\n<?xml version=\"1.0\"?><Error/>", "XML document"},
        ServedBody{"video/mp4", "  [{\"code\":403}]", "JSON document"},
        ServedBody{"image/jpeg", "{\"meta\":{\"code\":400}}", "JSON document"},
        ServedBody{"image/jpeg", "{\"caption\":\"Caf\xC3\xA9 \xF0\x9F\x8C\x85\"}", "JSON document"},
        // Binaries that merely open with '{' or '[': a NUL, then bytes that are no UTF-8.
        ServedBody{"image/jpeg", std::string("{\x01\0\x7F", 4) + std::string(600, 'a'), ""},
        ServedBody{"video/mp4", "[" + std::string(300, ' ') + "\xC3\x28\xE0\x80\xAF", ""},
        // A format we have never seen, and a binary that opens with '<' or a blank.
        ServedBody{"application/octet-stream",
                   std::string("\0\0\0\x1c"
                               "ftypavif",
                               12),
                   ""},
        ServedBody{"image/x-new", " \x89<hx" + std::string(600, '\x01'), ""}));

TEST(ReserveBytesForTest, KeepsOnePercentBetween256MiBAnd4GiB) {
    constexpr uint64_t kGiB = 1024 * kBytesPerMiB;
    EXPECT_EQ(ReserveBytesFor(8 * kGiB), 256 * kBytesPerMiB);  // a photo frame's card
    EXPECT_EQ(ReserveBytesFor(100 * kGiB), kGiB);
    // 1 % of 10 TB would keep 100 GB unused.
    EXPECT_EQ(ReserveBytesFor(10'000'000'000'000ull), 4 * kGiB);
}

// A file system of 100 GiB (so a reserve of 1 GiB) whose free space a test
// sets; it counts the bytes written to temporary downloads.
struct FakeDisk : platform::FileSystemWrapper {
    static constexpr uint64_t kBlockBytes = 4096;
    static constexpr uint64_t kSizeBytes = 100ull << 30;
    static constexpr uint64_t kReserveBytes = 1ull << 30;
    static inline uint64_t freeBytes = 0;
    static inline int queries = 0;
    static inline uint64_t downloadBytes = 0;

    FakeDisk() : FileSystemWrapper(platform::RealFileSystem()) {}
    static FakeDisk& Instance() {
        static FakeDisk disk;
        return disk;
    }

    ssize_t Write(int fd, const void* data, size_t size) override {
        char target[4096] = {};
        const std::string link = "/proc/self/fd/" + std::to_string(fd);
        const ssize_t length = ::readlink(link.c_str(), target, sizeof target - 1);
        const std::string name(target, length > 0 ? static_cast<size_t>(length) : 0);
        if (name.size() > 3 && name.compare(name.size() - 3, 3, "__t") == 0) downloadBytes += size;
        return Target().Write(fd, data, size);
    }
    int StatVfs(const char*, struct statvfs* out) override {
        ++queries;
        *out = {};
        out->f_frsize = kBlockBytes;
        out->f_blocks = kSizeBytes / kBlockBytes;
        out->f_bavail = freeBytes / kBlockBytes;
        return 0;
    }
};

class DiskReserveTest : public DownloadTest {
  protected:
    DiskReserveTest() : DownloadTest(FakeDisk::Instance()) {
        FakeDisk::queries = 0;
        FakeDisk::downloadBytes = 0;
    }

    // Serves `size` bytes without announcing the length.
    void ServeChunked(const std::string& path, size_t size) {
        server_.Http().Get(path, [size](const httplib::Request&, httplib::Response& response) {
            response.set_chunked_content_provider("image/jpeg",
                                                  [size](size_t sent, httplib::DataSink& sink) {
                                                      if (sent >= size) {
                                                          sink.done();
                                                          return true;
                                                      }
                                                      const std::string piece(64 * 1024, 'c');
                                                      sink.write(piece.data(), piece.size());
                                                      return true;
                                                  });
        });
    }
    std::string ReserveLine(uint64_t freeMiB, const std::string& path) {
        return "DownloadImage(), " + std::to_string(freeMiB) +
               " MiB free on the media folder's disk, keeping 1024 MiB free: " + server_.Url(path) +
               " not downloaded";
    }
};

TEST_F(DiskReserveTest, AnnouncedSizeOverTheReserveIsNotStartedAndSaidOncePerBatch) {
    server_.ServeBytes("/m/a.jpg", 300000);
    server_.ServeBytes("/m/b.jpg", 300000);
    server_.ServeBytes("/m/small.jpg", 1000);
    FakeDisk::freeBytes = FakeDisk::kReserveBytes + 200000;
    engine_.ReadLocalFileList();
    engine_.TEST_DownloadQueue() = {{"", server_.Url("/m/a.jpg"), ""},
                                    {"", server_.Url("/m/b.jpg"), ""},
                                    {"", server_.Url("/m/small.jpg"), ""}};
    RunBatch();
    const auto lines = host_.LogLines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& line) {
                                return line.find("MiB free on the media folder's disk") !=
                                       std::string::npos;
                            }),
              1);
    EXPECT_TRUE(host_.HasLogContaining(ReserveLine(1024, "/m/a.jpg")));
    EXPECT_EQ(engine_.TEST_LocalFiles().size(), 1u);
    EXPECT_EQ(FolderNames(folder_.Path()),
              (std::vector<std::string>{"kal_pxln_files.lst", "small.jpg"}));
    EXPECT_EQ(FakeDisk::downloadBytes, 1000u);  // not one byte of the two refused
    platform::HealthRecord health = engine_.HealthRecord();
    EXPECT_EQ(health.State(), platform::HealthState::DiskReserveReached);
    EXPECT_EQ(health.lastBatch.stored, 1u);
    EXPECT_EQ(health.lastBatch.failed, 2u);
    EXPECT_EQ(health.lastBatch.bytes, 1000u);
    EXPECT_EQ(health.listedFiles, 1u);
    EXPECT_EQ(health.reserveBytes, FakeDisk::kReserveBytes);

    // Space came back: the next batch takes what was left out.
    FakeDisk::freeBytes = 2 * FakeDisk::kReserveBytes;
    engine_.TEST_DownloadQueue() = {{"", server_.Url("/m/a.jpg"), ""}};
    RunBatch();
    EXPECT_EQ(test::ReadFile(folder_.File("a.jpg")), test::PatternBytes(300000));
    health = engine_.HealthRecord();
    EXPECT_EQ(health.State(), platform::HealthState::Working);
    EXPECT_EQ(health.lastBatch.stored, 1u);
    EXPECT_EQ(health.lastBatch.failed, 0u);
    EXPECT_EQ(health.lastBatch.bytes, 300000u);
    EXPECT_EQ(health.freeBytes, 2 * FakeDisk::kReserveBytes);
}

TEST_F(DiskReserveTest, BodyCrossingTheReserveIsEndedAndItsPartRemoved) {
    ServeChunked("/m/long.jpg", 4 * 1024 * 1024);
    FakeDisk::freeBytes = FakeDisk::kReserveBytes + 1024 * 1024;
    EXPECT_EQ(engine_.DownloadImage(server_.Url("/m/long.jpg"), folder_.File("l.__t"), &stop_),
              DownloadResult::Refused);
    EXPECT_TRUE(host_.HasLogContaining(ReserveLine(1025, "/m/long.jpg")));
    EXPECT_TRUE(FolderNames(folder_.Path()).empty());
    // Checked against the space read at the start, not asked again per piece.
    EXPECT_EQ(FakeDisk::queries, 1);
}

TEST_F(DiskReserveTest, DiskAlreadyAtItsReserveSendsNoRequest) {
    int requests = 0;
    server_.Http().Get("/m/a.jpg", [&requests](const httplib::Request&, httplib::Response& r) {
        ++requests;
        r.set_content("x", "image/jpeg");
    });
    FakeDisk::freeBytes = FakeDisk::kReserveBytes - 4096;
    EXPECT_EQ(engine_.DownloadImage(server_.Url("/m/a.jpg"), folder_.File("a.__t"), &stop_),
              DownloadResult::Refused);
    EXPECT_EQ(requests, 0);
    EXPECT_TRUE(host_.HasLogContaining(ReserveLine(1023, "/m/a.jpg")));

    // Through the queue, where naming left its probe file for the transfer.
    engine_.ReadLocalFileList();
    engine_.TEST_DownloadQueue() = {{"", server_.Url("/m/a.jpg"), ""}};
    RunBatch();
    EXPECT_EQ(requests, 0);
    EXPECT_TRUE(FolderNames(folder_.Path()).empty());
}

TEST_F(DownloadTest, BatchStoresFilesSidecarsAndListThenAsksForARestart) {
    server_.ServeBytes("/m/a.jpg", 5000);
    server_.ServeBytes("/m/b.mp4", 7000);
    settings_.KpropTitle = 1;
    engine_.ReadLocalFileList();
    engine_.TEST_DownloadQueue() = {{"cap a", server_.Url("/m/a.jpg"), "ann"},
                                    {"cap b", server_.Url("/m/b.mp4?sig=1"), "bob"},
                                    {"again", server_.Url("/m/a.jpg"), "ann"}};
    RunBatch();
    EXPECT_EQ(
        FolderNames(folder_.Path()),
        (std::vector<std::string>{"a.jpg", "a.kprop", "b.kprop", "b.mp4", "kal_pxln_files.lst"}));
    LocalFileMap listed;
    ASSERT_EQ(
        ReadListFile(platform::RealFileSystem(), folder_.File("kal_pxln_files.lst"), listed).status,
        ListReadStatus::Loaded);
    EXPECT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[server_.Url("/m/b.mp4?sig=1")].LocalName, "b.mp4");
    EXPECT_EQ(host_.RestartRequests(), 1);
    EXPECT_EQ(host_.RestartParams().at(0), (std::pair<intptr_t, intptr_t>{5, 1}));
    EXPECT_TRUE(host_.HasLogContaining("Download complete"));
    EXPECT_FALSE(engine_.TEST_HasUnsavedRecords());
}

TEST_F(DownloadTest, BatchWithoutNewFilesNeitherWritesTheListNorAsksForARestart) {
    engine_.ReadLocalFileList();
    engine_.TEST_LocalFiles()["http://h/known.jpg"] =
        CFileData{"known.jpg", "http://h/known.jpg", 0};
    test::WriteFile(folder_.File("known.jpg"), "x");
    engine_.TEST_DownloadQueue() = {{"", "http://h/known.jpg", ""}, {"", "", ""}};
    RunBatch();
    EXPECT_EQ(engine_.TEST_LocalFiles().count("http://h/known.jpg"), 1u);
    EXPECT_TRUE(test::Exists(folder_.File("known.jpg")));
    EXPECT_FALSE(test::Exists(folder_.File("kal_pxln_files.lst")));
    EXPECT_EQ(host_.RestartRequests(), 0);
}

TEST_F(DownloadTest, BatchThatOnlyPrunedWritesTheListWithoutTheRemovedRecords) {
    test::WriteFile(folder_.File("kal_pxln_files.lst"),
                    "[Kaleidra Pixolune List]\r\n2\r\nhttp://h/known.jpg\r\nknown.jpg\r\n"
                    "http://h/gone.jpg\r\ngone.jpg\r\n");
    test::WriteFile(folder_.File("known.jpg"), "k");
    test::WriteFile(folder_.File("gone.jpg"), "g");
    engine_.ReadLocalFileList();
    engine_.TEST_DownloadQueue() = {{"", "http://h/known.jpg", ""}};
    RunBatch();
    EXPECT_FALSE(test::Exists(folder_.File("gone.jpg")));
    LocalFileMap listed;
    ASSERT_EQ(
        ReadListFile(platform::RealFileSystem(), folder_.File("kal_pxln_files.lst"), listed).status,
        ListReadStatus::Loaded);
    EXPECT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed.count("http://h/known.jpg"), 1u);
    EXPECT_EQ(host_.RestartRequests(), 0);
}

// A worker runs for months: each batch prunes against what it took, and
// never touches what is the user's.
TEST_F(DownloadTest, EachBatchPrunesWhatTheBatchBeforeItHadAndTheNextDoesNot) {
    server_.ServeBytes("/m/a.jpg", 10);
    server_.ServeBytes("/m/b.jpg", 10);
    engine_.ReadLocalFileList();
    engine_.TEST_DownloadQueue() = {{"", server_.Url("/m/a.jpg"), ""}};
    RunBatch();
    engine_.TEST_DownloadQueue() = {{"", server_.Url("/m/b.jpg"), ""}};
    RunBatch();
    EXPECT_EQ(FolderNames(folder_.Path()),
              (std::vector<std::string>{"b.jpg", "kal_pxln_files.lst"}));
}

TEST_F(DownloadTest, AMovedAddressUnderTheSameNameKeepsTheNewFileAndOneRecord) {
    server_.ServeBytes("/new/x.jpg", 10);
    // The old address's file was deleted by hand.
    test::WriteFile(folder_.File("kal_pxln_files.lst"),
                    "[Kaleidra Pixolune List]\r\n1\r\nhttp://h/old/x.jpg\r\nx.jpg\r\n");
    engine_.ReadLocalFileList();
    engine_.TEST_DownloadQueue() = {{"", server_.Url("/new/x.jpg"), ""}};
    RunBatch();
    EXPECT_EQ(test::ReadFile(folder_.File("x.jpg")), test::PatternBytes(10));
    LocalFileMap listed;
    ASSERT_EQ(
        ReadListFile(platform::RealFileSystem(), folder_.File("kal_pxln_files.lst"), listed).status,
        ListReadStatus::Loaded);
    EXPECT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed.count(server_.Url("/new/x.jpg")), 1u);
}

TEST_F(DownloadTest, AnAddressTooLongForTheListIsNeverFetched) {
    const std::string url = server_.Url("/m/x.jpg?sig=" + std::string(9000, 'a'));
    engine_.ReadLocalFileList();
    engine_.TEST_DownloadQueue() = {{"", url, ""}};
    RunBatch();
    EXPECT_TRUE(host_.HasLogContaining("Url can't be recorded in the file list"));
    EXPECT_FALSE(host_.HasLogContaining("DownloadImage(), " + url.substr(0, 64)));
    EXPECT_TRUE(FolderNames(folder_.Path()).empty());
}

TEST_F(DownloadTest, TheUsersSidecarBesideAFeedFileIsNeitherReplacedNorPruned) {
    server_.ServeBytes("/m/holiday.mp4", 10);
    server_.ServeBytes("/m/other.jpg", 10);
    settings_.KpropTitle = 1;
    test::WriteFile(folder_.File("holiday.jpg"), "mine");
    test::WriteFile(folder_.File("holiday.kprop"), "my caption");
    engine_.ReadLocalFileList();
    engine_.TEST_DownloadQueue() = {{"cap", server_.Url("/m/holiday.mp4"), ""}};
    RunBatch();
    EXPECT_TRUE(test::Exists(folder_.File("holiday.mp4")));
    EXPECT_EQ(test::ReadFile(folder_.File("holiday.kprop")), "my caption");
    engine_.TEST_DownloadQueue() = {{"cap", server_.Url("/m/other.jpg"), ""}};
    RunBatch();  // the video left the feeds
    EXPECT_EQ(FolderNames(folder_.Path()),
              (std::vector<std::string>{"holiday.jpg", "holiday.kprop", "kal_pxln_files.lst",
                                        "other.jpg", "other.kprop"}));
    EXPECT_EQ(test::ReadFile(folder_.File("holiday.kprop")), "my caption");
}

TEST_F(DownloadTest, NoRestartWhenRestartKalIsOff) {
    server_.ServeBytes("/a.jpg", 10);
    settings_.RestartKal = 0;
    engine_.ReadLocalFileList();
    engine_.TEST_DownloadQueue() = {{"", server_.Url("/a.jpg"), ""}};
    RunBatch();
    EXPECT_TRUE(test::Exists(folder_.File("kal_pxln_files.lst")));
    EXPECT_EQ(host_.RestartRequests(), 0);
}

TEST_F(DownloadTest, WithoutSidecarOptionsNoSidecarIsWritten) {
    server_.ServeBytes("/a.jpg", 10);
    engine_.ReadLocalFileList();
    engine_.TEST_DownloadQueue() = {{"cap", server_.Url("/a.jpg"), "o"}};
    RunBatch();
    EXPECT_EQ(FolderNames(folder_.Path()),
              (std::vector<std::string>{"a.jpg", "kal_pxln_files.lst"}));
}

// Something takes the final name while the body is on its way: a folder, or
// another file whose sidecar and journal note share ours.
struct RaceCase {
    bool folderAppears;
    bool otherFileSharesTheSidecar;
};

class NameTakenDuringDownloadTest : public DownloadTest,
                                    public ::testing::WithParamInterface<RaceCase> {};

TEST_P(NameTakenDuringDownloadTest, KeepsWhatAppearedAndRecordsNothing) {
    const std::string url = server_.Url("/r.jpg");
    const std::string journal = "other-url\r\nr.png\r\n";
    server_.Http().Get("/r.jpg", [this](const httplib::Request&, httplib::Response& response) {
        if (GetParam().folderAppears) {
            ::mkdir(folder_.File("r.jpg").c_str(), 0755);
            test::WriteFile(folder_.File("r.jpg/inside"), "x");
        } else {
            test::WriteFile(folder_.File("r.jpg"), "theirs");
        }
        response.set_content("body", "image/jpeg");
    });
    settings_.KpropTitle = 1;
    engine_.ReadLocalFileList();
    // Stored earlier in this run: noted in the journal, not yet in a list.
    if (GetParam().otherFileSharesTheSidecar) {
        test::WriteFile(folder_.File("r.png"), "png");
        test::WriteFile(folder_.File("r.kprop"), "their sidecar");
        test::WriteFile(folder_.File("kal_pxln_files.jnl"), journal);
    }
    engine_.TEST_DownloadQueue() = {{"cap", url, ""}};
    RunBatch();
    EXPECT_TRUE(host_.HasLogContaining("File already exits: " + folder_.File("r.jpg")));
    EXPECT_EQ(engine_.TEST_LocalFiles().count(url), 0u);
    EXPECT_EQ(host_.RestartRequests(), 0);
    if (GetParam().otherFileSharesTheSidecar) {
        EXPECT_EQ(FolderNames(folder_.Path()),
                  (std::vector<std::string>{"kal_pxln_files.jnl", "r.jpg", "r.kprop", "r.png"}));
        EXPECT_EQ(test::ReadFile(folder_.File("r.kprop")), "their sidecar");
        EXPECT_EQ(test::ReadFile(folder_.File("kal_pxln_files.jnl")), journal);
    } else {
        EXPECT_EQ(FolderNames(folder_.Path()), (std::vector<std::string>{"r.jpg"}));
    }
    if (!GetParam().folderAppears) {
        EXPECT_EQ(test::ReadFile(folder_.File("r.jpg")), "theirs");
    }
    // The next start must not take the other file for ours.
    engine_.ReadLocalFileList();
    EXPECT_EQ(engine_.TEST_LocalFiles().count(url), 0u);
}

INSTANTIATE_TEST_SUITE_P(FolderOrFile, NameTakenDuringDownloadTest,
                         ::testing::Values(RaceCase{true, false}, RaceCase{false, true}),
                         [](const auto& info) {
                             return std::string(info.param.folderAppears ? "Folder" : "File");
                         });

// What is under the name an item's URL gives when the item comes.
struct NameCase {
    const char* name;
    bool recorded;          // the list holds the URL
    bool fileThere;         // a file has the name
    bool sameBytes;         // ...with the bytes the download brings
    bool stored;            // the item ends up recorded with its file in place
    const char* logBefore;  // the log line: these, the full path between them
    const char* logAfter;
};

class WhatIsUnderTheNameTest : public DownloadTest,
                               public ::testing::WithParamInterface<NameCase> {};

TEST_P(WhatIsUnderTheNameTest, DecidesWhetherTheItemIsStored) {
    const NameCase& c = GetParam();
    std::atomic<int> requests{0};
    server_.Http().Get("/m/o.jpg",
                       [&requests](const httplib::Request&, httplib::Response& response) {
                           ++requests;
                           response.set_content(test::PatternBytes(5000), "image/jpeg");
                       });
    const std::string url = server_.Url("/m/o.jpg");
    const std::string path = folder_.File("o.jpg");
    // Same size either way: only the bytes tell them apart.
    std::string existing = test::PatternBytes(5000);
    if (!c.sameBytes) existing.back() ^= 1;
    if (c.fileThere) test::WriteFile(path, existing);
    settings_.KpropTitle = 1;
    engine_.ReadLocalFileList();
    if (c.recorded) engine_.TEST_LocalFiles()[url] = CFileData{"o.jpg", url, 0};
    for (int batch = 0; batch < 2; ++batch) {
        engine_.TEST_DownloadQueue() = {{"cap", url, ""}};
        RunBatch();
    }
    EXPECT_TRUE(host_.HasLogContaining(c.logBefore + path + c.logAfter));
    if (c.stored) {
        EXPECT_EQ(test::ReadFile(path), test::PatternBytes(5000));
        EXPECT_EQ(FolderNames(folder_.Path()),
                  (std::vector<std::string>{"kal_pxln_files.lst", "o.jpg", "o.kprop"}));
        LocalFileMap listed;
        ASSERT_EQ(
            ReadListFile(platform::RealFileSystem(), folder_.File("kal_pxln_files.lst"), listed)
                .status,
            ListReadStatus::Loaded);
        EXPECT_EQ(listed[url].LocalName, "o.jpg");
        EXPECT_EQ(engine_.TEST_LocalFiles().count(url), 1u);
    } else {
        EXPECT_EQ(test::ReadFile(path), existing);
        EXPECT_EQ(FolderNames(folder_.Path()), (std::vector<std::string>{"o.jpg"}));
        EXPECT_EQ(engine_.TEST_LocalFiles().count(url), 0u);
        // Found to differ once, it is not fetched again in this run.
        EXPECT_EQ(requests.load(), 1);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WhatIsUnderTheNameTest,
    ::testing::Values(NameCase{"DeletedByHand", true, false, false, true, "DownloadNext(), ",
                               " is no longer in the folder, downloading it again"},
                      NameCase{"LeftByALostList", false, true, true, true, "DownloadNext(), ",
                               " already in the folder, taken into the list"},
                      NameCase{"UsersOwnFile", false, true, false, false,
                               "File already exits: ", ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DownloadTest, UrlNamingNoFileIsSaidOncePerRun) {
    const std::string line = "File already exits: " + folder_.Path() + "/";
    const auto timesSaid = [&] {
        const auto lines = host_.LogLines();
        return std::count(lines.begin(), lines.end(), line);
    };
    engine_.ReadLocalFileList();
    for (int batch = 0; batch < 3; ++batch) {
        engine_.TEST_DownloadQueue() = {{"", "http://h/dir/", ""}};
        RunBatch();
    }
    EXPECT_EQ(timesSaid(), 1);
    engine_.ReadLocalFileList();  // the next run
    engine_.TEST_DownloadQueue() = {{"", "http://h/dir/", ""}};
    RunBatch();
    EXPECT_EQ(timesSaid(), 2);
}

// Something other than a plain file of ours under a name the engine writes:
// a FIFO would block an open for writing, a hard link would carry our bytes
// into another name. The item's file is already in the folder, so taking it
// in downloads it to its temporary name and notes it in the journal.
struct SpecialFileCase {
    const char* name;
    const char* underName;
    bool fifo;  // else a hard link to the user's file
};

class SpecialFileUnderOurNameTest : public DownloadTest,
                                    public ::testing::WithParamInterface<SpecialFileCase> {};

TEST_P(SpecialFileUnderOurNameTest, NeitherBlocksTheWorkerNorIsWrittenThrough) {
    server_.ServeBytes("/m/a.jpg", 1000);
    const std::string url = server_.Url("/m/a.jpg");
    test::WriteFile(folder_.File("a.jpg"), test::PatternBytes(1000));
    test::WriteFile(folder_.File("users.txt"), "theirs");
    engine_.ReadLocalFileList();
    const std::string special = folder_.File(GetParam().underName);
    if (GetParam().fifo)
        ASSERT_EQ(::mkfifo(special.c_str(), 0644), 0);
    else
        ASSERT_EQ(::link(folder_.File("users.txt").c_str(), special.c_str()), 0);
    engine_.TEST_DownloadQueue() = {{"", url, ""}};
    auto batch = std::async(std::launch::async, [this] { RunBatch(); });
    if (batch.wait_for(20s) == std::future_status::timeout) {
        // Opened at both ends, the FIFO lets the blocked open return, so that the
        // test fails instead of hanging.
        const int bothEnds = ::open(special.c_str(), O_RDWR);
        batch.wait();
        ::close(bothEnds);
        FAIL() << "the batch waited on the FIFO";
    }
    EXPECT_EQ(engine_.TEST_LocalFiles().count(url), 1u);
    EXPECT_EQ(test::ReadFile(folder_.File("users.txt")), "theirs");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SpecialFileUnderOurNameTest,
    ::testing::Values(SpecialFileCase{"FifoAsTemporaryFile", "a.__t", true},
                      SpecialFileCase{"LinkAsTemporaryFile", "a.__t", false},
                      SpecialFileCase{"FifoAsJournal", "kal_pxln_files.jnl", true},
                      SpecialFileCase{"LinkAsJournal", "kal_pxln_files.jnl", false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DownloadTest, LeftoverTemporaryFilesOfOursAreRemovedAndNothingElse) {
    for (const char* name : {"a.__t", ".kal_pxln_files.lst.tmpAb12Cd", ".a.kprop.tmpXyZ123",
                             "keep.jpg", "keep__t", ".other.tmpAb12Cd"})
        test::WriteFile(folder_.File(name), "x");
    engine_.RemoveLeftoverFiles();
    EXPECT_EQ(FolderNames(folder_.Path()),
              (std::vector<std::string>{".other.tmpAb12Cd", "keep.jpg", "keep__t"}));
}

// Side by side: the items at the head of the queue are fetched at once, over
// connections kept from one file to the next, and stored one per step in
// queue order. The server notes which connection each request came on.
class DownloadWindowTest : public DownloadTest {
  protected:
    static constexpr int kItems = 8;

    DownloadWindowTest() {
        server_.Http().Get(R"(/w/(\d+)\.jpg)",
                           [this](const httplib::Request& request, httplib::Response& response) {
                               const int index = std::stoi(request.matches[1]);
                               {
                                   std::lock_guard<std::mutex> lock(mutex_);
                                   ports_.insert(request.remote_port);
                                   if (index != 0) ++othersBeforeFirstDone_;
                               }
                               if (index == slowIndex_) server_.Stall(slowFor_);
                               if (index == failingIndex_) {
                                   response.status = 500;
                                   return;
                               }
                               response.set_content("file " + std::to_string(index), "image/jpeg");
                               if (index == 0) {
                                   std::lock_guard<std::mutex> lock(mutex_);
                                   othersWhileFirstRan_ = othersBeforeFirstDone_;
                               }
                           });
        engine_.ReadLocalFileList();
        for (int i = 0; i < kItems; ++i) engine_.TEST_DownloadQueue().push_back(Item(i));
    }
    ~DownloadWindowTest() override { server_.Release(); }

    CPixoluneItem Item(int index) const {
        return {"c", server_.Url("/w/" + std::to_string(index) + ".jpg"), "o"};
    }

    std::mutex mutex_;  // guards the three below, written on the server's threads
    std::set<int> ports_;
    int othersBeforeFirstDone_ = 0;
    int othersWhileFirstRan_ = -1;
    int slowIndex_ = -1;
    int failingIndex_ = -1;
    std::chrono::milliseconds slowFor_{0};
};

TEST_F(DownloadWindowTest, SlowFirstFileIsStillStoredFirstWhileThreeOthersArrive) {
    slowIndex_ = 0;
    slowFor_ = 500ms;
    EXPECT_EQ(engine_.DownloadNext(&stop_), DownloadStep::ItemTaken);
    // One step, one item: the head, although the three behind it were done first.
    ASSERT_EQ(engine_.TEST_LocalFiles().size(), 1u);
    EXPECT_EQ(engine_.TEST_LocalFiles().count(Item(0).Url), 1u);
    EXPECT_EQ(engine_.TEST_DownloadQueue().size(), static_cast<size_t>(kItems - 1));
    EXPECT_EQ(FolderNames(folder_.Path()).size(), 2u + 3u)  // journal, 0.jpg, three temporaries
        << ::testing::PrintToString(FolderNames(folder_.Path()));
    RunBatch();
    EXPECT_EQ(engine_.TEST_LocalFiles().size(), static_cast<size_t>(kItems));
    for (int i = 0; i < kItems; ++i)
        EXPECT_EQ(test::ReadFile(folder_.File(std::to_string(i) + ".jpg")),
                  "file " + std::to_string(i));
    std::lock_guard<std::mutex> lock(mutex_);
    EXPECT_EQ(othersWhileFirstRan_, static_cast<int>(CFeedEngine::kDownloadsInFlight) - 1);
    // Kept connections: never more than the files in flight.
    EXPECT_LE(ports_.size(), CFeedEngine::kDownloadsInFlight);
}

TEST_F(DownloadWindowTest, OneFailingTransferAmongFourLosesNothingElse) {
    failingIndex_ = 2;
    RunBatch();
    EXPECT_EQ(engine_.TEST_LocalFiles().size(), static_cast<size_t>(kItems - 1));
    EXPECT_EQ(engine_.TEST_LocalFiles().count(Item(2).Url), 0u);
    EXPECT_TRUE(host_.HasLogContaining("DownloadImage(), HTTP Error 500, url=" + Item(2).Url));
    for (const std::string& name : FolderNames(folder_.Path()))
        EXPECT_EQ(name.find("__t"), std::string::npos) << name;
    EXPECT_FALSE(test::Exists(folder_.File("2.jpg")));
}

TEST_F(DownloadWindowTest, StopWithFourInFlightEndsThemAllAndLeavesNoTemporaryFile) {
    server_.Http().Get(
        R"(/s/(\d+)\.jpg)", [this](const httplib::Request&, httplib::Response& response) {
            response.set_content_provider(1000000, "image/jpeg",
                                          [this](size_t offset, size_t, httplib::DataSink& sink) {
                                              if (offset > 0) server_.Stall(30s);
                                              const std::string piece(4096, 'x');
                                              sink.write(piece.data(), piece.size());
                                              return true;
                                          });
        });
    engine_.TEST_DownloadQueue().clear();
    for (int i = 0; i < kItems; ++i)
        engine_.TEST_DownloadQueue().push_back(
            {"c", server_.Url("/s/" + std::to_string(i) + ".jpg"), ""});
    std::thread stopper([this] {
        std::this_thread::sleep_for(300ms);
        stop_.store(1);
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(engine_.DownloadNext(&stop_), DownloadStep::ItemTaken);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    stopper.join();
    server_.Release();
    EXPECT_TRUE(host_.HasLogContaining("DownloadImage(), " + server_.Url("/s/3.jpg")));
    EXPECT_TRUE(engine_.TEST_LocalFiles().empty());
    EXPECT_EQ(engine_.TEST_DownloadQueue().size(), static_cast<size_t>(kItems - 1));
    EXPECT_EQ(FolderNames(folder_.Path()), std::vector<std::string>{})
        << ::testing::PrintToString(FolderNames(folder_.Path()));
}

TEST_F(DownloadWindowTest, ItemsSharingATemporaryNameAreNeverInFlightTogether) {
    // x.jpg and x.mp4 both download into x.__t.
    server_.ServeBytes("/a/x.jpg", 3000);
    server_.ServeBytes("/b/x.mp4", 5000);
    server_.ServeBytes("/c/x.jpg", 4000);
    engine_.TEST_DownloadQueue() = {{"", server_.Url("/a/x.jpg"), ""},
                                    {"", server_.Url("/b/x.mp4"), ""},
                                    {"", server_.Url("/c/x.jpg"), ""}};
    RunBatch();
    EXPECT_EQ(test::ReadFile(folder_.File("x.jpg")), test::PatternBytes(3000));
    EXPECT_EQ(test::ReadFile(folder_.File("x.mp4")), test::PatternBytes(5000));
    EXPECT_EQ(engine_.TEST_LocalFiles().size(), 2u);
    EXPECT_TRUE(host_.HasLogContaining("File already exits: " + folder_.File("x.jpg")));
}

}  // namespace
}  // namespace pixolune
