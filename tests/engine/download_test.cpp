#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
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
#include "engine/leftover_files.h"
#include "engine/list_file.h"
#include "engine/media_transfer.h"
#include "engine_test_support.h"
#include "fake_host.h"
#include "host_callback_guard.h"
#include "model/host_link.h"
#include "platform/file_system.h"

namespace pixolune {
namespace {

using namespace std::chrono_literals;
using test::FolderNames;
using test::TempDir;

class DownloadTest : public ::testing::Test {
  protected:
    explicit DownloadTest(platform::FileSystem& fileSystem = platform::RealFileSystem())
        : fileSystem_(fileSystem), engine_(settings_, fileSystem) {
        settings_.ImgFolder = folder_.Path();
        settings_.RestartKal = 1;
    }

    // Runs download steps until the batch is closed.
    void RunBatch() {
        for (int steps = 0;
             steps < 1000 && engine_.TEST_DownloadNext(&stop_) == DownloadStep::ItemTaken;
             ++steps) {
        }
    }

    // DownloadImage on its own, on the engine's file system.
    DownloadResult DownloadAlone(const std::string& url, const std::string& path,
                                 const std::atomic<int32_t>* stop) {
        return DownloadImage({session_, fileSystem_, {}}, url, path, stop);
    }

    TempDir folder_;
    test::FakeHost host_;
    test::ScopedHostCallback callback_{&test::FakeHost::Callback};
    test::LoopbackServer server_;
    PluginSettings settings_;
    platform::FileSystem& fileSystem_;
    CFeedEngine engine_{settings_};
    platform::HttpSession session_;
    std::atomic<int32_t> stop_{0};
};

TEST_F(DownloadTest, CompleteDownloadIsStoredByteForByte) {
    server_.ServeBytes("/m/a.jpg", 100000);
    // A longer file left under the temporary name must not show through.
    test::WriteFile(folder_.File("a.__t"), std::string(150000, 'x'));
    EXPECT_EQ(DownloadAlone(server_.Url("/m/a.jpg"), folder_.File("a.__t"), &stop_),
              DownloadResult::Ok);
    EXPECT_EQ(test::ReadFile(folder_.File("a.__t")), test::PatternBytes(100000));
    EXPECT_TRUE(host_.HasLogContaining("DownloadImage(), " + server_.Url("/m/a.jpg") + " -> "));
}

TEST_F(DownloadTest, HttpErrorLeavesNoFile) {
    EXPECT_EQ(DownloadAlone(server_.Url("/missing.jpg"), folder_.File("m.__t"), &stop_),
              DownloadResult::Refused);
    EXPECT_TRUE(host_.HasLogContaining("DownloadImage(), HTTP Error 404, url=" +
                                       server_.Url("/missing.jpg")));
    EXPECT_TRUE(FolderNames(folder_.Path()).empty());
}

TEST_F(DownloadTest, OtherSchemesAreRefusedWithTheirServiceCode) {
    EXPECT_EQ(DownloadAlone("ftp://h/a.jpg", folder_.File("a.__t"), &stop_),
              DownloadResult::Refused);
    EXPECT_TRUE(
        host_.HasLogContaining("DownloadImage(), Unsupported service type (0), ftp://h/a.jpg"));
    EXPECT_TRUE(FolderNames(folder_.Path()).empty());
}

TEST_F(DownloadTest, UnparsableUrlIsRefused) {
    EXPECT_EQ(DownloadAlone("no url", folder_.File("a.__t"), &stop_), DownloadResult::Refused);
    EXPECT_TRUE(host_.HasLogContaining("DownloadImage(), AfxParseURL failed, no url"));
}

TEST_F(DownloadTest, RefusedConnectionLeavesNoFile) {
    // A port that was just free: nothing listens there.
    std::string url;
    {
        test::LoopbackServer gone;
        url = gone.Url("/a.jpg");
    }
    EXPECT_EQ(DownloadAlone(url, folder_.File("a.__t"), &stop_), DownloadResult::Refused);
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
    EXPECT_EQ(DownloadAlone(server_.Url("/cut.jpg"), folder_.File("c.__t"), &stop_),
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
    EXPECT_EQ(DownloadAlone(server_.Url("/stall.jpg"), folder_.File("s.__t"), &stop_),
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
    const DownloadResult result = DownloadAlone(url, folder_.File("x.__t"), &stop_);
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
    std::atomic<uint64_t> freeBytes{0};
    std::atomic<int> queries{0};
    std::atomic<uint64_t> downloadBytes{0};
    std::atomic<bool> shrinksWithWrites{false};  // the downloads' bytes take free space

    FakeDisk() : FileSystemWrapper(platform::RealFileSystem()) {}

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
        const uint64_t taken = shrinksWithWrites ? downloadBytes.load() : 0;
        out->f_bavail = (freeBytes - std::min<uint64_t>(taken, freeBytes)) / kBlockBytes;
        return 0;
    }
};

// The disk of one test, made before the engine it is given.
struct FakeDiskOfTheTest {
    FakeDisk disk_;
};

class DiskReserveTest : protected FakeDiskOfTheTest, public DownloadTest {
  protected:
    DiskReserveTest() : DownloadTest(disk_) {}

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
    disk_.freeBytes = FakeDisk::kReserveBytes + 200000;
    engine_.TEST_ReadLocalFileList();
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
    // Both are in flight at once: the line names whichever was refused first.
    EXPECT_TRUE(host_.HasLogContaining(ReserveLine(1024, "/m/a.jpg")) ||
                host_.HasLogContaining(ReserveLine(1024, "/m/b.jpg")));
    EXPECT_EQ(engine_.TEST_Records().Map().size(), 1u);
    EXPECT_EQ(FolderNames(folder_.Path()),
              (std::vector<std::string>{"kal_pxln_files.lst", "small.jpg"}));
    EXPECT_EQ(disk_.downloadBytes.load(), 1000u);  // not one byte of the two refused
    HealthRecord health = engine_.TEST_HealthRecord();
    EXPECT_EQ(health.State(), HealthState::DiskReserveReached);
    EXPECT_EQ(health.lastBatch.stored, 1u);
    EXPECT_EQ(health.lastBatch.failed, 2u);
    EXPECT_EQ(health.lastBatch.bytes, 1000u);
    EXPECT_EQ(health.listedFiles, 1u);
    EXPECT_EQ(health.reserveBytes, FakeDisk::kReserveBytes);

    // Space came back: the next batch takes what was left out.
    disk_.freeBytes = 2 * FakeDisk::kReserveBytes;
    engine_.TEST_DownloadQueue() = {{"", server_.Url("/m/a.jpg"), ""}};
    RunBatch();
    EXPECT_EQ(test::ReadFile(folder_.File("a.jpg")), test::PatternBytes(300000));
    health = engine_.TEST_HealthRecord();
    EXPECT_EQ(health.State(), HealthState::Working);
    EXPECT_EQ(health.lastBatch.stored, 1u);
    EXPECT_EQ(health.lastBatch.failed, 0u);
    EXPECT_EQ(health.lastBatch.bytes, 300000u);
    EXPECT_EQ(health.freeBytes, 2 * FakeDisk::kReserveBytes);
}

// Fifteen announced files and room for twelve: the twelve that start are
// the twelve that finish, and the others wait without a byte fetched.
TEST_F(DiskReserveTest, TransfersSideBySideStartOnlyWhatTheRoomLetsFinish) {
    constexpr size_t kFile = 200000;
    disk_.shrinksWithWrites = true;
    disk_.freeBytes = FakeDisk::kReserveBytes + 12 * kFile + kFile / 2;
    for (int i = 0; i < 15; ++i) server_.ServeBytes("/f/" + std::to_string(i) + ".jpg", kFile);
    engine_.TEST_ReadLocalFileList();
    for (int i = 0; i < 15; ++i)
        engine_.TEST_DownloadQueue().push_back(
            {"", server_.Url("/f/" + std::to_string(i) + ".jpg"), ""});
    RunBatch();
    EXPECT_EQ(engine_.TEST_Records().Map().size(), 12u)
        << ::testing::PrintToString(host_.LogLines());
    EXPECT_EQ(disk_.downloadBytes.load(), 12 * kFile);
    for (const std::string& name : FolderNames(folder_.Path()))
        EXPECT_EQ(name.find("__t"), std::string::npos) << name;
}

TEST_F(DiskReserveTest, BodyCrossingTheReserveIsEndedAndItsPartRemoved) {
    ServeChunked("/m/long.jpg", 4 * 1024 * 1024);
    disk_.freeBytes = FakeDisk::kReserveBytes + 1024 * 1024;
    EXPECT_EQ(DownloadAlone(server_.Url("/m/long.jpg"), folder_.File("l.__t"), &stop_),
              DownloadResult::Refused);
    EXPECT_TRUE(host_.HasLogContaining(ReserveLine(1025, "/m/long.jpg")));
    EXPECT_TRUE(FolderNames(folder_.Path()).empty());
    // Checked against the space read at the start, not asked again per piece.
    EXPECT_EQ(disk_.queries.load(), 1);
}

TEST_F(DiskReserveTest, DiskAlreadyAtItsReserveSendsNoRequest) {
    int requests = 0;
    server_.Http().Get("/m/a.jpg", [&requests](const httplib::Request&, httplib::Response& r) {
        ++requests;
        r.set_content("x", "image/jpeg");
    });
    disk_.freeBytes = FakeDisk::kReserveBytes - 4096;
    EXPECT_EQ(DownloadAlone(server_.Url("/m/a.jpg"), folder_.File("a.__t"), &stop_),
              DownloadResult::Refused);
    EXPECT_EQ(requests, 0);
    EXPECT_TRUE(host_.HasLogContaining(ReserveLine(1023, "/m/a.jpg")));

    // Through the queue, where naming left its probe file for the transfer.
    engine_.TEST_ReadLocalFileList();
    engine_.TEST_DownloadQueue() = {{"", server_.Url("/m/a.jpg"), ""}};
    RunBatch();
    EXPECT_EQ(requests, 0);
    EXPECT_TRUE(FolderNames(folder_.Path()).empty());
}

TEST_F(DownloadTest, BatchStoresFilesSidecarsAndListThenAsksForARestart) {
    server_.ServeBytes("/m/a.jpg", 5000);
    server_.ServeBytes("/m/b.mp4", 7000);
    settings_.KpropTitle = 1;
    engine_.TEST_ReadLocalFileList();
    engine_.TEST_DownloadQueue() = {{"cap a", server_.Url("/m/a.jpg"), "ann"},
                                    {"cap b", server_.Url("/m/b.mp4?sig=1"), "bob"},
                                    {"again", server_.Url("/m/a.jpg"), "ann"}};
    RunBatch();
    EXPECT_EQ(
        FolderNames(folder_.Path()),
        (std::vector<std::string>{"a.jpg", "a.kprop", "b.kprop", "b.mp4", "kal_pxln_files.lst"}));
    LocalFileMap listed = test::ListedIn(folder_.Path());
    EXPECT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[server_.Url("/m/b.mp4?sig=1")].LocalName, "b.mp4");
    EXPECT_EQ(host_.RestartRequests(), 1);
    EXPECT_EQ(host_.RestartParams().at(0), (std::pair<intptr_t, intptr_t>{5, 1}));
    EXPECT_TRUE(host_.HasLogContaining("Download complete"));
    EXPECT_FALSE(engine_.TEST_Records().HasNewFiles());
}

TEST_F(DownloadTest, BatchWithoutNewFilesNeitherWritesTheListNorAsksForARestart) {
    engine_.TEST_ReadLocalFileList();
    engine_.TEST_Records().TEST_Put(CFileData{"known.jpg", "http://h/known.jpg", 0});
    test::WriteFile(folder_.File("known.jpg"), "x");
    engine_.TEST_DownloadQueue() = {{"", "http://h/known.jpg", ""}, {"", "", ""}};
    RunBatch();
    EXPECT_EQ(engine_.TEST_Records().Map().count("http://h/known.jpg"), 1u);
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
    engine_.TEST_ReadLocalFileList();
    engine_.TEST_DownloadQueue() = {{"", "http://h/known.jpg", ""}};
    RunBatch();
    EXPECT_FALSE(test::Exists(folder_.File("gone.jpg")));
    LocalFileMap listed = test::ListedIn(folder_.Path());
    EXPECT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed.count("http://h/known.jpg"), 1u);
    EXPECT_EQ(host_.RestartRequests(), 0);
}

// A worker runs for months: each batch prunes against what it took, and
// never touches what is the user's.
TEST_F(DownloadTest, EachBatchPrunesWhatTheBatchBeforeItHadAndTheNextDoesNot) {
    server_.ServeBytes("/m/a.jpg", 10);
    server_.ServeBytes("/m/b.jpg", 10);
    engine_.TEST_ReadLocalFileList();
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
    engine_.TEST_ReadLocalFileList();
    engine_.TEST_DownloadQueue() = {{"", server_.Url("/new/x.jpg"), ""}};
    RunBatch();
    EXPECT_EQ(test::ReadFile(folder_.File("x.jpg")), test::PatternBytes(10));
    LocalFileMap listed = test::ListedIn(folder_.Path());
    EXPECT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed.count(server_.Url("/new/x.jpg")), 1u);
}

TEST_F(DownloadTest, AnAddressTooLongForTheListIsNeverFetched) {
    const std::string url = server_.Url("/m/x.jpg?sig=" + std::string(9000, 'a'));
    engine_.TEST_ReadLocalFileList();
    engine_.TEST_DownloadQueue() = {{"", url, ""}};
    RunBatch();
    EXPECT_TRUE(host_.HasLogContaining("Url can't be recorded in the file list"));
    EXPECT_FALSE(host_.HasLogContaining("DownloadImage(), " + url.substr(0, 64)));
    EXPECT_TRUE(FolderNames(folder_.Path()).empty());
}

struct UsersSidecarCase {
    const char* name;
    bool usersPhotoBesideIt;  // else the sidecar is alone until our file comes
    bool restartBetween;      // the host stops and starts the plug-in in between
};

class UsersSidecarTest : public DownloadTest, public ::testing::WithParamInterface<UsersSidecarCase> {};

TEST_P(UsersSidecarTest, IsNeitherReplacedNorPrunedWithOurFile) {
    server_.ServeBytes("/m/holiday.mp4", 10);
    server_.ServeBytes("/m/other.jpg", 10);
    settings_.KpropTitle = 1;
    if (GetParam().usersPhotoBesideIt) test::WriteFile(folder_.File("holiday.jpg"), "mine");
    test::WriteFile(folder_.File("holiday.kprop"), "my caption");
    engine_.TEST_ReadLocalFileList();
    engine_.TEST_DownloadQueue() = {{"cap", server_.Url("/m/holiday.mp4"), ""}};
    RunBatch();
    EXPECT_TRUE(test::Exists(folder_.File("holiday.mp4")));
    EXPECT_EQ(test::ReadFile(folder_.File("holiday.kprop")), "my caption");
    EXPECT_TRUE(host_.HasLogContaining("holiday.kprop is not the plug-in's; it is left as it is"));
    if (GetParam().restartBetween) engine_.TEST_ReadLocalFileList();
    engine_.TEST_DownloadQueue() = {{"cap", server_.Url("/m/other.jpg"), ""}};
    RunBatch();  // the video left the feeds
    std::vector<std::string> expected{"holiday.kprop", "kal_pxln_files.lst", "other.jpg",
                                      "other.kprop"};
    if (GetParam().usersPhotoBesideIt) expected.insert(expected.begin(), "holiday.jpg");
    EXPECT_EQ(FolderNames(folder_.Path()), expected);
    EXPECT_EQ(test::ReadFile(folder_.File("holiday.kprop")), "my caption");
}

INSTANTIATE_TEST_SUITE_P(Cases, UsersSidecarTest,
                         ::testing::Values(UsersSidecarCase{"BesideTheUsersPhoto", true, false},
                                           UsersSidecarCase{"Alone", false, false},
                                           UsersSidecarCase{"AloneAcrossARestart", false, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(DownloadTest, NoRestartWhenRestartKalIsOff) {
    server_.ServeBytes("/a.jpg", 10);
    settings_.RestartKal = 0;
    engine_.TEST_ReadLocalFileList();
    engine_.TEST_DownloadQueue() = {{"", server_.Url("/a.jpg"), ""}};
    RunBatch();
    EXPECT_TRUE(test::Exists(folder_.File("kal_pxln_files.lst")));
    EXPECT_EQ(host_.RestartRequests(), 0);
}

TEST_F(DownloadTest, WithoutSidecarOptionsNoSidecarIsWritten) {
    server_.ServeBytes("/a.jpg", 10);
    engine_.TEST_ReadLocalFileList();
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
    engine_.TEST_ReadLocalFileList();
    // Stored earlier in this run: noted in the journal, not yet in a list.
    if (GetParam().otherFileSharesTheSidecar) {
        test::WriteFile(folder_.File("r.png"), "png");
        test::WriteFile(folder_.File("r.kprop"), "their sidecar");
        test::WriteFile(folder_.File("kal_pxln_files.jnl"), journal);
    }
    engine_.TEST_DownloadQueue() = {{"cap", url, ""}};
    RunBatch();
    EXPECT_TRUE(host_.HasLogContaining("File already exits: " + folder_.File("r.jpg")));
    EXPECT_EQ(engine_.TEST_Records().Map().count(url), 0u);
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
    engine_.TEST_ReadLocalFileList();
    EXPECT_EQ(engine_.TEST_Records().Map().count(url), 0u);
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
    engine_.TEST_ReadLocalFileList();
    if (c.recorded) engine_.TEST_Records().TEST_Put(CFileData{"o.jpg", url, 0});
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
        EXPECT_EQ(engine_.TEST_Records().Map().count(url), 1u);
    } else {
        EXPECT_EQ(test::ReadFile(path), existing);
        EXPECT_EQ(FolderNames(folder_.Path()), (std::vector<std::string>{"o.jpg"}));
        EXPECT_EQ(engine_.TEST_Records().Map().count(url), 0u);
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
    engine_.TEST_ReadLocalFileList();
    for (int batch = 0; batch < 3; ++batch) {
        engine_.TEST_DownloadQueue() = {{"", "http://h/dir/", ""}};
        RunBatch();
    }
    EXPECT_EQ(timesSaid(), 1);
    engine_.TEST_ReadLocalFileList();  // the next run
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
    engine_.TEST_ReadLocalFileList();
    // No name given: the temporary file the comparison downloads into.
    const std::string special = *GetParam().underName
                                    ? folder_.File(GetParam().underName)
                                    : PartialPathsFor(folder_.Path(), "a.jpg", url).probe;
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
    EXPECT_EQ(engine_.TEST_Records().Map().count(url), 1u);
    EXPECT_EQ(test::ReadFile(folder_.File("users.txt")), "theirs");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SpecialFileUnderOurNameTest,
    ::testing::Values(SpecialFileCase{"FifoAsTemporaryFile", "", true},
                      SpecialFileCase{"LinkAsTemporaryFile", "", false},
                      SpecialFileCase{"FifoAsJournal", "kal_pxln_files.jnl", true},
                      SpecialFileCase{"LinkAsJournal", "kal_pxln_files.jnl", false}),
    [](const auto& info) { return std::string(info.param.name); });

// Only names of the shape we make are ours; a part waits for its item while its note is there.
TEST_F(DownloadTest, LeftoverTemporaryFilesOfOursAreRemovedAndNothingElse) {
    for (const char* name :
         {"a.jpg.0123456789abcdef.__t", "c.jpg.fedcba9876543210.v.__t", "b.jpg.0123456789abcdef.__t",
          "b.jpg.0123456789abcdef.v.__t", ".kal_pxln_files.lst.tmpAb12Cd", ".a.kprop.tmpXyZ123",
          "notes.__t", "keep.jpg", "keep__t", ".other.tmpAb12Cd", "x.0123456789ABCDEF.__t"})
        test::WriteFile(folder_.File(name), "x");
    RemoveLeftoverFiles(platform::RealFileSystem(), folder_.Path());
    EXPECT_EQ(FolderNames(folder_.Path()),
              (std::vector<std::string>{".other.tmpAb12Cd", "b.jpg.0123456789abcdef.__t",
                                        "b.jpg.0123456789abcdef.v.__t", "keep.jpg", "keep__t",
                                        "notes.__t", "x.0123456789ABCDEF.__t"}));
}

// Side by side: the queued items are fetched at once, over connections kept
// from one file to the next, and each is stored as soon as it is complete.
// The server notes which connection each request came on.
class DownloadPipelineTest : public DownloadTest {
  protected:
    static constexpr int kItems = 8;

    DownloadPipelineTest() {
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
        engine_.TEST_ReadLocalFileList();
        for (int i = 0; i < kItems; ++i) engine_.TEST_DownloadQueue().push_back(Item(i));
    }
    ~DownloadPipelineTest() override { server_.Release(); }

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

TEST_F(DownloadPipelineTest, SlowFirstFileHoldsBackNoneOfTheOthers) {
    slowIndex_ = 0;
    slowFor_ = 2s;
    int steps = 0;
    while (engine_.TEST_Records().Map().count(Item(0).Url) == 0 && steps++ < 100)
        (void)engine_.TEST_DownloadNext(&stop_);
    // Each file was stored as it came, the slow one last.
    EXPECT_EQ(engine_.TEST_Records().Map().size(), static_cast<size_t>(kItems))
        << ::testing::PrintToString(host_.LogLines());
    EXPECT_TRUE(engine_.TEST_DownloadQueue().empty());
    RunBatch();
    EXPECT_TRUE(host_.HasLogContaining("Download complete"));
    for (int i = 0; i < kItems; ++i)
        EXPECT_EQ(test::ReadFile(folder_.File(std::to_string(i) + ".jpg")),
                  "file " + std::to_string(i));
    std::lock_guard<std::mutex> lock(mutex_);
    EXPECT_EQ(othersWhileFirstRan_, kItems - 1);
    // Kept connections: on HTTP/1.1 never more than the session allows one host.
    EXPECT_LE(ports_.size(), static_cast<size_t>(platform::HttpSession::kMaxConnectionsPerHost));
}

TEST_F(DownloadPipelineTest, OneFailingTransferAmongEightLosesNothingElse) {
    failingIndex_ = 2;
    RunBatch();
    EXPECT_EQ(engine_.TEST_Records().Map().size(), static_cast<size_t>(kItems - 1));
    EXPECT_EQ(engine_.TEST_Records().Map().count(Item(2).Url), 0u);
    EXPECT_TRUE(host_.HasLogContaining("DownloadImage(), HTTP Error 500, url=" + Item(2).Url));
    for (const std::string& name : FolderNames(folder_.Path()))
        EXPECT_EQ(name.find("__t"), std::string::npos) << name;
    EXPECT_FALSE(test::Exists(folder_.File("2.jpg")));
}

TEST_F(DownloadPipelineTest, StopWithAllInFlightEndsThemAtOnceKeepsThemQueuedAndLeavesNoFile) {
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
        engine_.WakeTransfers();  // as the worker's Stop does
    });
    const auto start = std::chrono::steady_clock::now();
    while (stop_.load() == 0 && std::chrono::steady_clock::now() - start < 10s)
        EXPECT_EQ(engine_.TEST_DownloadNext(&stop_), DownloadStep::ItemTaken);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    stopper.join();
    server_.Release();
    EXPECT_TRUE(host_.HasLogContaining("DownloadImage(), " + server_.Url("/s/7.jpg")));
    EXPECT_TRUE(engine_.TEST_Records().Map().empty());
    EXPECT_EQ(engine_.TEST_DownloadQueue().size(), static_cast<size_t>(kItems));
    EXPECT_EQ(engine_.TEST_DownloadQueue().front().Url, server_.Url("/s/0.jpg"));
    EXPECT_EQ(FolderNames(folder_.Path()), std::vector<std::string>{})
        << ::testing::PrintToString(FolderNames(folder_.Path()));
}

// Frames are switched off every night: a stop keeps what came down the line.
TEST_F(DownloadPipelineTest, StopKeepsAPartWithItsValidatorAndTheNextRunGoesOnFromIt) {
    constexpr size_t kBytes = 1 << 20;
    std::vector<std::string> ranges;
    std::atomic<size_t> sent{0};
    server_.Http().Get("/v/v.mp4", [&](const httplib::Request& request, httplib::Response& response) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ranges.push_back(request.get_header_value("Range"));
        }
        response.set_header("ETag", "\"v1\"");
        const bool first = !request.has_header("Range");
        response.set_content_provider(
            kBytes, "video/mp4", [&, first](size_t offset, size_t length, httplib::DataSink& sink) {
                if (first && offset >= 64 * 1024) {
                    stop_.store(1);  // the host stops the plug-in mid-transfer
                    engine_.WakeTransfers();
                    server_.Stall(5s);
                    return false;
                }
                const std::string body = test::PatternBytes(kBytes);
                const size_t piece = std::min(length, size_t{16384});
                sent += piece;
                return sink.write(body.data() + offset, piece);
            });
    });
    engine_.TEST_DownloadQueue() = {{"c", server_.Url("/v/v.mp4"), ""}};
    for (int step = 0; step < 100 && stop_.load() == 0; ++step)
        (void)engine_.TEST_DownloadNext(&stop_);
    (void)engine_.TEST_DownloadNext(&stop_);
    engine_.EndWork();  // as the worker does when it ends
    server_.Release();
    const auto parts = FolderNames(folder_.Path());
    ASSERT_EQ(parts.size(), 2u) << ::testing::PrintToString(parts);  // the part and its note

    stop_.store(0);
    engine_.TEST_ReadLocalFileList();
    RunBatch();
    EXPECT_EQ(test::ReadFile(folder_.File("v.mp4")), test::PatternBytes(kBytes));
    std::lock_guard<std::mutex> lock(mutex_);
    ASSERT_EQ(ranges.size(), 2u);
    EXPECT_NE(ranges[1], "");
    // What was on its way when the stop came may be lost, never what the part holds.
    EXPECT_LE(sent.load(), kBytes + 64 * 1024);
}

TEST_F(DownloadPipelineTest, NamesAreClaimedInQueueOrderAndEachTransferHasAFileOfItsOwn) {
    // The first x.jpg is slow: the later one must not take its name meanwhile.
    server_.Http().Get("/a/x.jpg", [this](const httplib::Request&, httplib::Response& response) {
        server_.Stall(500ms);
        response.set_content(test::PatternBytes(3000), "image/jpeg");
    });
    server_.ServeBytes("/b/x.mp4", 5000);
    server_.ServeBytes("/c/x.jpg", 4000);
    engine_.TEST_DownloadQueue() = {{"", server_.Url("/a/x.jpg"), ""},
                                    {"", server_.Url("/b/x.mp4"), ""},
                                    {"", server_.Url("/c/x.jpg"), ""}};
    RunBatch();
    EXPECT_EQ(test::ReadFile(folder_.File("x.jpg")), test::PatternBytes(3000));
    EXPECT_EQ(test::ReadFile(folder_.File("x.mp4")), test::PatternBytes(5000));
    EXPECT_EQ(engine_.TEST_Records().Map().size(), 2u);
    EXPECT_TRUE(host_.HasLogContaining("File already exits: " + folder_.File("x.jpg")));
}

constexpr size_t kFileBytes = 300000;

// What follows a transfer's end: a media server that cuts its answers where a
// case says, answers Range and If-Range as a web server does, and notes what
// each request asked.
struct ResumeCase {
    const char* name;
    std::vector<size_t> cutsAt;  // where the first answers break off (absolute byte)
    size_t partBytes;            // a part left by an earlier run; 0 = none
    const char* noteValidator;   // the note beside that part
    int64_t partAgeSeconds;
    bool fileChangesAfterFirstCut;
    std::vector<std::string> rangesAsked;  // "" for a request without Range
    bool stored;                           // else it failed, its part kept
};

void PrintTo(const ResumeCase& c, std::ostream* out) {
    *out << c.name;
}

class ResumeTest : public DownloadTest, public ::testing::WithParamInterface<ResumeCase> {
  protected:
    ResumeTest() {
        server_.Http().Get(
            "/r/r.jpg", [this](const httplib::Request& request, httplib::Response& response) {
                std::lock_guard<std::mutex> lock(mutex_);
                ranges_.push_back(request.get_header_value("Range"));
                const size_t answer = answers_++;
                if (answer == 1 && GetParam().fileChangesAfterFirstCut) etag_ = "\"v2\"";
                if (request.has_header("If-Range") && request.get_header_value("If-Range") != etag_)
                    const_cast<httplib::Request&>(request).ranges.clear();  // the whole file
                if (!request.ranges.empty() && request.ranges[0].first >= ssize_t{kFileBytes}) {
                    const_cast<httplib::Request&>(request).ranges.clear();
                    response.status = 416;
                    return;
                }
                const size_t cut =
                    answer < GetParam().cutsAt.size() ? GetParam().cutsAt[answer] : kFileBytes;
                response.set_header("ETag", etag_);
                const std::string body = Body();
                response.set_content_provider(
                    kFileBytes, "image/jpeg",
                    [this, body, cut](size_t offset, size_t length, httplib::DataSink& sink) {
                        if (offset >= cut) return false;  // the connection is closed
                        const size_t piece = std::min({length, cut - offset, size_t{16384}});
                        sent_ += piece;
                        return sink.write(body.data() + offset, piece);
                    });
            });
    }

    std::string Body() const {
        std::string body = test::PatternBytes(kFileBytes);
        if (etag_ != "\"v1\"") std::reverse(body.begin() + 4, body.end());
        return body;
    }

    std::mutex mutex_;  // guards the three below, used on the server's threads
    std::vector<std::string> ranges_;
    size_t answers_ = 0;
    std::string etag_ = "\"v1\"";
    std::atomic<size_t> sent_{0};
};

TEST_P(ResumeTest, CutTransfersGoOnWhereTheyStoppedUnlessTheFileChanged) {
    const ResumeCase& c = GetParam();
    const std::string url = server_.Url("/r/r.jpg");
    if (c.partBytes > 0) {
        const PartialPaths paths = PartialPathsFor(folder_.Path(), "r.jpg", url + "?sig=old");
        test::WriteFile(paths.part, test::PatternBytes(c.partBytes));
        test::WriteFile(paths.note, std::string(c.noteValidator) + "\n");
        test::SetAge(paths.part, c.partAgeSeconds);
    }
    engine_.TEST_ReadLocalFileList();
    engine_.TEST_DownloadQueue().push_back({"c", url + "?sig=new", "o"});
    RunBatch();

    std::lock_guard<std::mutex> lock(mutex_);
    EXPECT_EQ(ranges_, c.rangesAsked) << ::testing::PrintToString(host_.LogLines());
    ASSERT_EQ(test::Exists(folder_.File("r.jpg")), c.stored);
    if (!c.stored) {
        const PartialPaths paths = PartialPathsFor(folder_.Path(), "r.jpg", url + "?sig=new");
        // Kept when the item failed; its item no feed delivers, so the batch's end sweeps it.
        EXPECT_TRUE(host_.HasLogContaining("DownloadNext(), removed the part " + paths.part));
        return;
    }
    EXPECT_EQ(test::ReadFile(folder_.File("r.jpg")), Body());
    // Only what was missing was sent again, unless the file had changed.
    if (!c.fileChangesAfterFirstCut) {
        EXPECT_LE(sent_.load(), kFileBytes);
    }
    EXPECT_EQ(FolderNames(folder_.Path()),
              (std::vector<std::string>{"kal_pxln_files.lst", "r.jpg"}));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ResumeTest,
    ::testing::Values(
        ResumeCase{"CutTwiceWithinTheRun",
                   {100000, 200000},
                   0,
                   "",
                   0,
                   false,
                   {"", "bytes=100000-", "bytes=200000-"},
                   true},
        ResumeCase{"ChangedFileIsTakenWholeNotAppended",
                   {100000},
                   0,
                   "",
                   0,
                   true,
                   {"", "bytes=100000-"},
                   true},
        ResumeCase{"PartOfAnEarlierRun", {}, 1000, "\"v1\"", 60, false, {"bytes=1000-"}, true},
        ResumeCase{"PartLongerThanTheFileStartsOver",
                   {},
                   kFileBytes + 10,
                   "\"v1\"",
                   60,
                   false,
                   {"bytes=300010-", ""},
                   true},
        ResumeCase{"OldPartIsNotUsed", {}, 1000, "\"v1\"", 4 * 24 * 3600, false, {""}, true},
        // An empty part is no part: the next try asks for the whole file.
        ResumeCase{"CutBeforeAnyByteStartsOver", {0}, 0, "", 0, false, {"", ""}, true},
        // Four tries in a row without a new byte, and the item fails for this batch.
        ResumeCase{"CutsWithoutProgressEndInAFailureThatKeepsThePart",
                   {100000, 100000, 100000, 100000, 100000},
                   0,
                   "",
                   0,
                   false,
                   {"", "bytes=100000-", "bytes=100000-", "bytes=100000-", "bytes=100000-"},
                   false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DownloadTest, PartOfAnItemThatLeftTheFeedsIsRemovedAtTheBatchsEnd) {
    const PartialPaths gone = PartialPathsFor(folder_.Path(), "gone.jpg", server_.Url("/g.jpg"));
    test::WriteFile(gone.part, "xx");
    test::WriteFile(gone.note, "\"v1\"\n");
    RemoveLeftoverFiles(platform::RealFileSystem(),
                        folder_.Path());  // a start keeps it: its item may still come
    ASSERT_TRUE(test::Exists(gone.part));
    server_.ServeBytes("/m/a.jpg", 1000);
    engine_.TEST_ReadLocalFileList();
    engine_.TEST_DownloadQueue().push_back({"", server_.Url("/m/a.jpg"), ""});
    RunBatch();
    EXPECT_FALSE(test::Exists(gone.part));
    EXPECT_FALSE(test::Exists(gone.note));
    EXPECT_TRUE(test::Exists(folder_.File("a.jpg")));
}

// A port on 127.0.0.1 that nothing listens on, for now.
int FreeLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof(address);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), size), 0);
    EXPECT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size), 0);
    close(fd);
    return ntohs(address.sin_port);
}

// The host is away for a while: its items wait for it instead of failing.
TEST_F(DownloadTest, AnOutageIsWaitedOutAndTheBatchGoesOn) {
    const int port = FreeLoopbackPort();
    const std::string base = "http://127.0.0.1:" + std::to_string(port);
    engine_.TEST_ReadLocalFileList();
    constexpr int kItems = 20;
    for (int i = 0; i < kItems; ++i)
        engine_.TEST_DownloadQueue().push_back({"", base + "/o/" + std::to_string(i) + ".jpg", ""});
    for (int step = 0; step < 3; ++step)
        EXPECT_EQ(engine_.TEST_DownloadNext(&stop_), DownloadStep::ItemTaken);

    std::unique_ptr<test::LoopbackServer> back;
    ASSERT_NO_THROW(
        back = std::make_unique<test::LoopbackServer>(test::LoopbackServer::Options{port, false}));
    back->Http().Get(R"(/o/(\d+)\.jpg)",
                     [](const httplib::Request& request, httplib::Response& response) {
                         response.set_content("file " + request.matches[1].str(), "image/jpeg");
                     });
    const auto start = std::chrono::steady_clock::now();
    while (engine_.TEST_Records().Map().size() < kItems &&
           std::chrono::steady_clock::now() - start < 20s)
        (void)engine_.TEST_DownloadNext(&stop_);
    back.reset();

    EXPECT_EQ(engine_.TEST_Records().Map().size(), static_cast<size_t>(kItems))
        << ::testing::PrintToString(host_.LogLines());
    EXPECT_EQ(test::ReadFile(folder_.File("19.jpg")), "file 19");
    EXPECT_FALSE(host_.HasLogContaining("SendRequest failed"));
    EXPECT_TRUE(host_.HasLogContaining("can't be reached"));
}

TEST_F(DownloadTest, RetryAfterFromAMediaHostHoldsThatHostAlone) {
    std::mutex mutex;  // guards asked, written on the server's threads
    std::vector<std::chrono::steady_clock::time_point> asked;
    server_.Http().Get(R"(/busy/(\d+)\.jpg)",
                       [&](const httplib::Request& request, httplib::Response& response) {
                           std::lock_guard<std::mutex> lock(mutex);
                           asked.push_back(std::chrono::steady_clock::now());
                           if (asked.size() == 1) {
                               response.status = 503;
                               response.set_header("Retry-After", "1");
                               return;
                           }
                           response.set_content("file " + request.matches[1].str(), "image/jpeg");
                       });
    test::LoopbackServer other;
    other.ServeBytes("/m/o.jpg", 2000);
    engine_.TEST_ReadLocalFileList();
    engine_.TEST_DownloadQueue() = {{"", server_.Url("/busy/1.jpg"), ""},
                                    {"", other.Url("/m/o.jpg"), ""}};
    for (int step = 0; step < 100 && engine_.TEST_Records().Map().count(other.Url("/m/o.jpg")) == 0;
         ++step)
        (void)engine_.TEST_DownloadNext(&stop_);
    // The other host is not held back by the pause the first asked for.
    EXPECT_EQ(engine_.TEST_Records().Map().count(server_.Url("/busy/1.jpg")), 0u);
    // Nothing else to do: the worker idles until the pause is over, and the item waits.
    int idlePasses = 0;
    for (int pass = 0; pass < 50 && !test::Exists(folder_.File("1.jpg")); ++pass) {
        if (engine_.TEST_DownloadNext(&stop_) == DownloadStep::BatchClosed) ++idlePasses;
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_GT(idlePasses, 0);
    EXPECT_EQ(test::ReadFile(folder_.File("1.jpg")), "file 1")
        << ::testing::PrintToString(host_.LogLines());
    EXPECT_FALSE(host_.HasLogContaining("HTTP Error 503"));
    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_GE(asked[1] - asked[0], 1s);
}

// Signed addresses: the same photo under a new query is no new file.
TEST_F(DownloadTest, SameMediaUnderANewSignatureTakesTheNewAddressWithoutADownload) {
    std::atomic<int> requests{0};
    server_.Http().Get("/s/p.jpg", [&](const httplib::Request&, httplib::Response& response) {
        ++requests;
        response.set_content("photo", "image/jpeg");
    });
    const std::string oldUrl = server_.Url("/s/p.jpg?sig=1");
    const std::string newUrl = server_.Url("/s/p.jpg?sig=2");
    test::WriteFile(folder_.File("p.jpg"), "photo");
    test::WriteFile(folder_.File(kListFileName),
                    FormatListFile({{oldUrl, CFileData{"p.jpg", oldUrl, 0}}}));
    engine_.TEST_ReadLocalFileList();
    engine_.TEST_DownloadQueue().push_back({"", newUrl, ""});
    RunBatch();

    EXPECT_EQ(requests.load(), 0);
    EXPECT_FALSE(host_.HasLogContaining("File already exits"));
    ASSERT_EQ(engine_.TEST_Records().Map().size(), 1u);
    EXPECT_EQ(engine_.TEST_Records().Map().count(newUrl), 1u);  // kept through the batch's pruning
    EXPECT_EQ(test::ReadFile(folder_.File("p.jpg")), "photo");
    engine_.TEST_ReadLocalFileList();  // the list holds the new address
    EXPECT_EQ(engine_.TEST_Records().Map().count(newUrl), 1u);
    EXPECT_EQ(engine_.TEST_Records().Map().count(oldUrl), 0u);
}

// The user deleted the photo, and the new address fails for good: its sidecar
// must not stay behind, claimed by no record.
TEST_F(DownloadTest, SameMediaUnderANewSignatureWhoseFileIsGoneLeavesNoSidecarBehind) {
    server_.Http().Get("/s/p.jpg", [](const httplib::Request&, httplib::Response& response) {
        response.status = 404;
    });
    const std::string oldUrl = server_.Url("/s/p.jpg?sig=1");
    const std::string newUrl = server_.Url("/s/p.jpg?sig=2");
    test::WriteFile(folder_.File("p.kprop"), "caption");
    test::WriteFile(folder_.File(kListFileName),
                    FormatListFile({{oldUrl, CFileData{"p.jpg", oldUrl, 0}}}));
    engine_.TEST_ReadLocalFileList();
    engine_.TEST_DownloadQueue().push_back({"", newUrl, ""});
    RunBatch();

    EXPECT_TRUE(host_.HasLogContaining("p.jpg is no longer in the folder, downloading it again"));
    EXPECT_EQ(test::FolderNames(folder_.Path()), std::vector<std::string>{kListFileName});
    EXPECT_TRUE(test::ListedIn(folder_.Path()).empty());
}

}  // namespace
}  // namespace pixolune
