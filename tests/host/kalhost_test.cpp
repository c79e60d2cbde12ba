#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "fake_host.h"
#include "model/health_record.h"
#include "model/settings_table.h"
#include "platform/unique_fd.h"
#include "tests/support/notification_server.h"
#include "tests/support/session_bus.h"
#include "tests/support/stub_server.h"
#include "tests/support/test_locale.h"

namespace pixolune::test {
namespace {

struct Outcome {
    int status;
    std::string output;
};

class KalhostTest : public ::testing::Test {
  protected:
    // `namedSettings` false: the settings file kalhost chooses itself.
    Outcome Run(const std::string& arguments, const std::string& environment = "",
                bool namedSettings = true) {
        const std::string settings = namedSettings ? " --settings " + Settings() : "";
        const std::string command =
            environment + " " + std::string(KALHOST_PATH) + settings + " " + arguments + " 2>&1";
        std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
        std::string output;
        char buffer[4096];
        size_t got;
        while ((got = std::fread(buffer, 1, sizeof(buffer), pipe.get())) > 0)
            output.append(buffer, got);
        const int raw = ::pclose(pipe.release());
        return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, output};
    }
    std::string Settings() const { return home.Path() + "/kalhost.ini"; }
    std::string SettingsText() const {
        std::ifstream in(Settings());
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    std::string TokenFolder() const {
        return home.Path() + "/config/Software/Torvane/PixolunePlugin";
    }
    // A token file as a user writes it by hand, with the given mode.
    void WriteTokenFile(const std::string& bytes, std::filesystem::perms mode) {
        std::filesystem::create_directories(TokenFolder());
        for (const std::string& folder : {home.Path() + "/config", home.Path() + "/config/Software",
                                          home.Path() + "/config/Software/Torvane", TokenFolder()})
            std::filesystem::permissions(folder, std::filesystem::perms::owner_all);
        std::ofstream(home.TokenFile("TokenKAL"), std::ios::binary) << bytes;
        std::filesystem::permissions(home.TokenFile("TokenKAL"), mode);
    }
    ScopedConfigHome home;
};

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A unix datagram socket in place of the service manager's, as NOTIFY_SOCKET names it.
class NotifySocket {
  public:
    explicit NotifySocket(std::string path)
        : path_(std::move(path)), fd_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path_.copy(address.sun_path, sizeof(address.sun_path) - 1);
        bound_ =
            fd_ && ::bind(fd_.Get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    }
    bool Bound() const { return bound_; }
    const std::string& Path() const { return path_; }
    // Every message sent so far.
    std::vector<std::string> Messages() {
        std::vector<std::string> messages;
        char buffer[4096];
        ssize_t got;
        while ((got = ::recv(fd_.Get(), buffer, sizeof(buffer), MSG_DONTWAIT)) > 0)
            messages.emplace_back(buffer, static_cast<size_t>(got));
        return messages;
    }

  private:
    std::string path_;
    platform::UniqueFd fd_;
    bool bound_ = false;
};

using platform::WallTime;

struct StatusCase {
    const char* name;
    std::function<void(HealthRecord&, WallTime now)> make;
    int exit;
    const char* says;
    const char* written = nullptr;  // the file's text instead of a record
};

int LocalHourOf(WallTime time) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
    std::tm local{};
    localtime_r(&seconds, &local);
    return local.tm_hour;
}

void RefreshedFeed(HealthRecord& record, WallTime at) {
    FeedHealth feed;
    feed.type = 1;
    feed.lastSuccess = at;
    record.feeds.push_back(feed);
}

void PrintTo(const StatusCase& c, std::ostream* out) {
    *out << c.name;
}

class KalhostStatusTest : public KalhostTest, public ::testing::WithParamInterface<StatusCase> {
  protected:
    std::string RecordPath() const { return home.Path() + "/state/kaleidra/health-KAL.json"; }
};

TEST_P(KalhostStatusTest, ExitStatusAndFirstWordsComeFromTheRecord) {
    const StatusCase& c = GetParam();
    // Whole seconds, as the file keeps them.
    const WallTime now = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
    std::optional<HealthRecord> record;
    if (c.written) {
        std::filesystem::create_directories(home.Path() + "/state/kaleidra");
        std::ofstream(RecordPath()) << c.written;
    } else if (c.make) {
        record.emplace();
        record->started = now - std::chrono::hours(30);
        record->refreshIntervalMinutes = 180;
        record->listedFiles = 812;
        record->freeBytes = 41ull << 30;
        c.make(*record, now);
        std::filesystem::create_directories(home.Path() + "/state/kaleidra");
        std::ofstream(RecordPath()) << HealthRecordToJson(*record);
    }
    const Outcome outcome = Run("status");
    EXPECT_EQ(outcome.status, c.exit) << outcome.output;
    EXPECT_NE(outcome.output.find("enabled: no\n"), std::string::npos) << outcome.output;
    EXPECT_NE(outcome.output.find(c.says), std::string::npos) << outcome.output;

    // --json: the record alone, without the settings' lines; the same status.
    const Outcome json = Run("status --json");
    EXPECT_EQ(json.status, c.exit);
    EXPECT_EQ(HealthRecordFromJson(json.output), record) << json.output;
}

INSTANTIATE_TEST_SUITE_P(
    Records, KalhostStatusTest,
    ::testing::Values(
        StatusCase{"NoRecordYet", nullptr, 5, "no health record yet ("},
        StatusCase{
            "Healthy",
            [](HealthRecord& r, WallTime now) { RefreshedFeed(r, now - std::chrono::minutes(10)); },
            0, "1 feed fine, 812 files, 41 GiB free\n"},
        StatusCase{"OneFeedFailsTheOtherIsFine",
                   [](HealthRecord& r, WallTime now) {
                       RefreshedFeed(r, now - std::chrono::minutes(10));
                       RefreshedFeed(r, now - std::chrono::hours(5));
                       r.feeds[1].index = 1;
                       r.feeds[1].failuresInARow = 3;
                       r.feeds[1].lastError = "HTTP status 503";
                   },
                   0, "feed 1 failed 3 times in a row: HTTP status 503"},
        StatusCase{"TokenRefused",
                   [](HealthRecord& r, WallTime now) {
                       RefreshedFeed(r, now - std::chrono::hours(20));  // stale as well
                       r.signInNeeded = true;
                       r.tokenRefusedAt = now - std::chrono::hours(2);
                   },
                   6, "the service refused the sign-in on "},
        StatusCase{"NoToken", [](HealthRecord& r, WallTime) { r.signInNeeded = true; }, 6,
                   "not signed in: run `kalhost configure`"},
        StatusCase{"FolderUnusable",
                   [](HealthRecord& r, WallTime) {
                       r.mediaFolderProblem = "the media folder /gone can't be used (x)";
                   },
                   7, "the media folder /gone can't be used (x): "},
        StatusCase{"DiskFull",
                   [](HealthRecord& r, WallTime now) {
                       RefreshedFeed(r, now);
                       r.reserveReached = true;
                       r.freeBytes = 200ull << 20;
                       r.reserveBytes = 256ull << 20;
                   },
                   8, "disk is full: 200 MiB free, 256 MiB kept free"},
        StatusCase{"StaleAfterTwiceTheIntervalAndAnHour",
                   [](HealthRecord& r, WallTime now) {
                       RefreshedFeed(r, now - std::chrono::hours(7) - std::chrono::minutes(1));
                   },
                   9, "no successful refresh since "},
        StatusCase{"NeverRefreshedSinceALongStart", [](HealthRecord&, WallTime) {}, 9,
                   "no successful refresh since the start on "},
        StatusCase{"QuietHoursAreNoStaleness",
                   [](HealthRecord& r, WallTime now) {
                       RefreshedFeed(r, now - std::chrono::hours(10));
                       r.quietFrom = LocalHourOf(now);
                       r.quietTo = (r.quietFrom + 2) % 24;
                       r.nextRefresh = now - std::chrono::hours(1);
                   },
                   0, "quiet hours until "},
        StatusCase{"EveryFeedFails",
                   [](HealthRecord& r, WallTime now) {
                       RefreshedFeed(r, now - std::chrono::hours(9));
                       r.feeds[0].failuresInARow = 40;
                       r.feeds[0].lastError = "HTTP status 500";
                       r.updated = now - std::chrono::minutes(1);
                   },
                   10, "the service fails: every feed has failed since "},
        StatusCase{"ClockBeforeTheCertificate",
                   [](HealthRecord& r, WallTime now) {
                       RefreshedFeed(r, now - std::chrono::hours(9));
                       r.feeds[0].failuresInARow = 40;
                       r.feeds[0].lastError = "error 60";
                       r.updated = now - std::chrono::minutes(1);
                       r.clockLooksWrong = true;
                   },
                   13, "the clock looks wrong: "},
        StatusCase{"StoppedCleanly",
                   [](HealthRecord& r, WallTime now) {
                       RefreshedFeed(r, now - std::chrono::minutes(30));
                       r.stoppedAt = now - std::chrono::minutes(20);
                   },
                   12, "the download worker was stopped on "},
        StatusCase{"WrittenByAClockThatRanAhead",
                   [](HealthRecord& r, WallTime now) {
                       const WallTime ahead = now + std::chrono::hours(24 * 900);
                       RefreshedFeed(r, ahead);
                       r.updated = ahead;
                   },
                   9, "ahead of this clock"},
        StatusCase{"DamagedRecord", nullptr, 5, "is damaged", "{\"state\": 4"}),
    [](const ::testing::TestParamInfo<StatusCase>& info) { return info.param.name; });

TEST_F(KalhostTest, VersionPrintsThePluginsVersionText) {
    const Outcome outcome = Run("version");
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.output, "Pixolune v1.4.0\n");
}

TEST_F(KalhostTest, EnableAndDisablePersistInTheSettingsFile) {
    EXPECT_NE(Run("status").output.find("enabled: no"), std::string::npos);
    ASSERT_EQ(Run("enable").status, 0);
    EXPECT_NE(SettingsText().find("Enabled=1"), std::string::npos);
    EXPECT_NE(SettingsText().find("RebuildList=1"), std::string::npos);
    EXPECT_NE(Run("status").output.find("enabled: yes"), std::string::npos);
    ASSERT_EQ(Run("disable").status, 0);
    EXPECT_NE(Run("status").output.find("enabled: no"), std::string::npos);
}

TEST_F(KalhostTest, LoadShowsTheSettingsAndAMaskedTrimmedToken) {
    std::ofstream(Settings())
        << "[PixolunePlugIn]\nEnabled=1\nImgFolder='/srv/slides/'\nnFeeds=2\n";
    // Written as `echo` writes it: a line break and no NUL, which is not part of the token.
    WriteTokenFile(" tok-secret-value-9f3e\n",
                   std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    const Outcome outcome = Run("run --seconds 0");  // status prints no log line
    EXPECT_NE(outcome.output.find("ImgFolder=/srv/slides/, feeds=2, token \xE2\x80\xA6"
                                  "9f3e\n"),
              std::string::npos)
        << outcome.output;
    EXPECT_EQ(outcome.output.find("tok-secret-value"), std::string::npos);
    // Without a session bus the file holds it, and the log and status say why, the log once.
    const std::string why = "the token is kept in the file " + home.TokenFile("TokenKAL") +
                            ", not in the desktop's keyring: no session bus";
    EXPECT_NE(outcome.output.find("LoadFeedsAndToken: " + why), std::string::npos);
    const Outcome status = Run("status");
    EXPECT_NE(status.output.find("sign-in token: in the file " + home.TokenFile("TokenKAL") +
                                 " (keyring: no session bus)\n"),
              std::string::npos)
        << status.output;
    const Outcome saved = Run("enable");
    EXPECT_EQ(saved.output.find("SaveFeedsAndToken: " + why), std::string::npos) << saved.output;
}

// With an unlocked keyring on the session bus a save moves the token there;
// the file's copy goes and status names the keyring.
TEST_F(KalhostTest, ASaveMovesTheTokenIntoTheDesktopsKeyring) {
    const PrivateSessionBus bus;
    const KeyringDaemon keyring(bus);
    WriteTokenFile("tok-to-move",
                   std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    const Outcome saved = Run("enable");
    EXPECT_NE(saved.output.find("SaveFeedsAndToken: token value TokenKAL kept in the desktop's "
                                "keyring"),
              std::string::npos)
        << saved.output;
    EXPECT_FALSE(std::filesystem::exists(home.TokenFile("TokenKAL")));
    const Outcome loaded = Run("run --seconds 0");
    EXPECT_NE(loaded.output.find("token \xE2\x80\xA6move"), std::string::npos) << loaded.output;
    const Outcome status = Run("status");
    EXPECT_NE(status.output.find("sign-in token: in the desktop's keyring\n"), std::string::npos);
}

// `kalhost run` in the background, with a desktop of the test's own, for as
// long as the object lives; its output is read line by line.
class DesktopRun {
  public:
    DesktopRun(const std::string& settings, const std::string& apiBase)
        : process_({"env", "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", "-u", "QT_QPA_PLATFORM",
                    "PIXOLUNE_IDLE_MS=200", "PIXOLUNE_API_BASE=" + apiBase, KALHOST_PATH,
                    "--settings", settings, "run", "--seconds", "60"}) {}
    // True once a line holding `text` came; false after the time-out.
    bool WaitForLine(const std::string& text) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (std::chrono::steady_clock::now() < deadline) {
            const auto line = process_.ReadLine(std::chrono::seconds(1));
            if (line && line->find(text) != std::string::npos) return true;
        }
        return false;
    }
    void Stop() { process_.Stop(std::chrono::seconds(10)); }

  private:
    ChildProcess process_;
};

// One notice when the folder can't be used, however often the record is
// rewritten, and one that replaces it when downloads work again.
TEST_F(KalhostTest, RunTellsTheDesktopOnceWhenTheFolderFailsAndWhenItIsFineAgain) {
    const PrivateSessionBus bus;
    const NotificationServer desktop(bus);
    StubServer stub;
    const std::string media = home.Path() + "/media";
    std::ofstream(Settings()) << "[PixolunePlugIn]\nEnabled=1\nImgFolder=" << media
                              << "/\nnFeeds=1\nFeed0_Type=1\nFeed0_Flg=1\nFeed0_MaxP=3\n";
    WriteTokenFile("tok-alice",
                   std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    DesktopRun run(Settings(), stub.ApiBase());
    ASSERT_TRUE(desktop.WaitForNotices(1, std::chrono::seconds(30)));
    ASSERT_TRUE(run.WaitForLine("can't be used"));
    ASSERT_EQ(::mkdir(media.c_str(), 0755), 0);
    ASSERT_TRUE(desktop.WaitForNotices(2, std::chrono::seconds(30)));
    // Batches rewrite the record; the state stays and so does the desktop.
    ASSERT_TRUE(run.WaitForLine("Download complete"));
    ASSERT_TRUE(run.WaitForLine("Download complete"));
    run.Stop();

    const auto notices = desktop.Notices();
    ASSERT_EQ(2u, notices.size()) << notices.back().summary;
    EXPECT_EQ("kalhost", notices[0].appName);
    EXPECT_EQ("The Pixolune media folder can't be used", notices[0].summary);
    EXPECT_NE(std::string::npos, notices[0].body.find(media)) << notices[0].body;
    EXPECT_EQ(2, notices[0].urgency);
    EXPECT_TRUE(notices[0].actions.empty());
    EXPECT_EQ("Pixolune downloads are working again", notices[1].summary);
    EXPECT_EQ(notices[0].id, notices[1].replacesId);
    EXPECT_EQ(1, notices[1].urgency);
    EXPECT_TRUE(desktop.Closed().empty()) << "the good word stays";
}

// The sign-in notice's action opens `kalhost configure` (here it has no
// display and ends at once); the notice goes when the run ends.
TEST_F(KalhostTest, TheSignInNoticeOpensConfigureAndGoesWithTheRun) {
    const PrivateSessionBus bus;
    NotificationServer desktop(bus);
    const std::string media = home.Path() + "/media";
    ASSERT_EQ(::mkdir(media.c_str(), 0755), 0);
    std::ofstream(Settings()) << "[PixolunePlugIn]\nEnabled=1\nImgFolder=" << media
                              << "/\nnFeeds=1\nFeed0_Type=1\nFeed0_Flg=1\n";
    DesktopRun run(Settings(), "http://127.0.0.1:9/v1");
    ASSERT_TRUE(desktop.WaitForNotices(1, std::chrono::seconds(30)));
    const auto notice = desktop.Notices().front();
    EXPECT_EQ("Pixolune is not signed in", notice.summary);
    EXPECT_NE(std::string::npos, notice.body.find("kalhost configure")) << notice.body;
    EXPECT_NE(std::find(notice.actions.begin(), notice.actions.end(), "configure"),
              notice.actions.end());
    desktop.InvokeAction(notice.id, "configure");
    EXPECT_TRUE(run.WaitForLine("opening `kalhost configure` to sign in"));
    // Without a display (or without dialogs in this build) it ends at once.
    EXPECT_TRUE(run.WaitForLine("configuration cancelled, nothing saved"));
    run.Stop();
    EXPECT_EQ(std::vector<uint32_t>{notice.id}, desktop.Closed());
    EXPECT_EQ(1u, desktop.Notices().size());
}

TEST_F(KalhostTest, SaveKeepsWhatTheUserWroteAndChangesOnlyChangedLines) {
    const std::string feed = "Feed0_Type=5\nFeed0_Tags=sunset;beach\nFeed0_Flg=1\nFeed0_MaxP=500\n";
    const std::string before =
        "; slides for the hall, do not touch\n"
        "[PixolunePlugIn]\nEnabled=0\ntmUpdate=180\nImgFolder=/srv/slides/\nDwlPhoto=1\n"
        "DwlVideo=0\nRestartKal=1\nKpropTitle=0\nKpropDescr=0\nKpropOwner=0\nOlderDays=7\n"
        "OlderHours=0\nFeedsSynch=0\n# feeds below\nnFeeds=1\n" +
        feed + "UserNote=kept\n\n[Settings]\nRebuildList=1\nTheme=dark\n";
    std::ofstream(Settings()) << before;
    ASSERT_EQ(Run("enable").status, 0);
    // "Enabled" is replaced in place; the keys that were missing join the end of
    // their section in the order they are saved.
    std::string expected = before;
    expected.replace(expected.find("Enabled=0"), 9, "Enabled=1");
    std::string missing;
    for (const SettingRow& row : kSettings) {
        if (before.find("\n" + std::string(row.key) + "=") != std::string::npos) continue;
        missing += row.key + std::string("=") + (row.text ? "" : std::to_string(row.loadDefault));
        missing += "\n";
    }
    ASSERT_NE(missing, "") << "the settings file above should leave some keys out";
    expected.insert(expected.find("UserNote=kept\n") + 14, missing);
    EXPECT_EQ(SettingsText(), expected);
}

TEST_F(KalhostTest, TheSecondHostProductKeepsItsOwnSettingsStartingFromTheFirstsFile) {
    const std::string folder = home.Path() + "/config/kaleidra";
    const std::string first = "[PixolunePlugIn]\nEnabled=1\nDwlVideo=1\nnFeeds=1\nFeed0_Type=1\n";
    std::filesystem::create_directories(folder);
    std::ofstream(folder + "/kalhost.ini") << first;
    const Outcome seeded = Run("-V 1 disable", "", false);
    ASSERT_EQ(seeded.status, 0) << seeded.output;
    EXPECT_NE(seeded.output.find("starting from " + folder + "/kalhost.ini"), std::string::npos);
    ASSERT_EQ(Run("-V 1 enable", "", false).status, 0);
    ASSERT_EQ(Run("-V 1 disable", "", false).status, 0);

    EXPECT_EQ(Slurp(folder + "/kalhost.ini"), first);
    const std::string second = Slurp(folder + "/kalhost-NVX.ini");
    for (const char* line : {"Enabled=0\n", "DwlVideo=0\n", "Feed0_Type=1\n"})
        EXPECT_NE(second.find(line), std::string::npos) << line << second;
    EXPECT_NE(Run("status", "", false).output.find("enabled: yes"), std::string::npos);
}

TEST_F(KalhostTest, SettingsWithoutAHomeOrOverAReadOnlyFileAreRefused) {
    // As the token store refuses: nothing lands under the folder kalhost started in.
    const Outcome homeless =
        Run("enable", "cd " + home.Path() + " && env -u HOME -u XDG_CONFIG_HOME", false);
    EXPECT_EQ(homeless.status, 4) << homeless.output;
    EXPECT_NE(homeless.output.find("settings file: neither XDG_CONFIG_HOME nor HOME is set"),
              std::string::npos)
        << homeless.output;
    EXPECT_FALSE(std::filesystem::exists(home.Path() + "/.config"));

    std::ofstream(Settings()) << "[PixolunePlugIn]\nEnabled=0\n";
    ASSERT_EQ(::chmod(Settings().c_str(), 0444), 0);
    const Outcome readOnly = Run("enable");
    EXPECT_EQ(readOnly.status, 4) << readOnly.output;
    EXPECT_NE(readOnly.output.find(Settings() + " is read-only (mode 0444)"), std::string::npos)
        << readOnly.output;
    EXPECT_EQ(SettingsText(), "[PixolunePlugIn]\nEnabled=0\n");
}

TEST_F(KalhostTest, NumbersOutsideTheIntegerRangeAreRefusedNotWrapped) {
    for (const std::string value : {"4294967296", "-2147483649"}) {
        std::ofstream(Settings()) << "[PixolunePlugIn]\nnFeeds=1\nFeed0_Type=1\nFeed0_MaxP="
                                  << value << "\n";
        const Outcome outcome = Run("enable");
        EXPECT_NE(
            outcome.output.find("[kalhost] Feed0_MaxP=" + value + " in section PixolunePlugIn of " +
                                Settings() + " is out of range; the default 100 is used"),
            std::string::npos)
            << outcome.output;
        EXPECT_NE(SettingsText().find("Feed0_MaxP=100\n"), std::string::npos) << SettingsText();
    }
}

TEST_F(KalhostTest, ARefusedTokenFileSurvivesASaveAndTheLogSaysHowToMendIt) {
    const std::string token = std::string("tok-refused-5c2e") + '\0';
    WriteTokenFile(token, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                              std::filesystem::perms::group_read |
                              std::filesystem::perms::others_read);
    Outcome outcome = Run("enable");
    ASSERT_EQ(outcome.status, 0) << outcome.output;
    EXPECT_NE(outcome.output.find("token value TokenKAL not used (readable by others); to use it, "
                                  "run: chmod 600 " +
                                  home.TokenFile("TokenKAL")),
              std::string::npos)
        << outcome.output;
    EXPECT_EQ(Slurp(home.TokenFile("TokenKAL")), token);
    // The worker found no token; status says how to mend the file, not to sign in again.
    HealthRecord signInNeeded;
    signInNeeded.signInNeeded = true;
    std::filesystem::create_directories(home.Path() + "/state/kaleidra");
    std::ofstream(home.Path() + "/state/kaleidra/health-KAL.json")
        << HealthRecordToJson(signInNeeded);
    outcome = Run("status");
    EXPECT_EQ(outcome.status, 6);
    EXPECT_NE(outcome.output.find("is not used (readable by others): run chmod 600 "),
              std::string::npos)
        << outcome.output;

    // A link in the token's place is refused as well, and neither it nor its target is replaced.
    const std::string target = home.Path() + "/token-elsewhere";
    std::filesystem::rename(home.TokenFile("TokenKAL"), target);
    std::filesystem::permissions(
        target, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    std::filesystem::create_symlink(target, home.TokenFile("TokenKAL"));
    outcome = Run("enable");
    ASSERT_EQ(outcome.status, 0) << outcome.output;
    EXPECT_NE(outcome.output.find("token value TokenKAL not used (a symbolic link); to use it, "
                                  "replace the link by a plain file of mode 600: " +
                                  home.TokenFile("TokenKAL")),
              std::string::npos)
        << outcome.output;
    EXPECT_TRUE(std::filesystem::is_symlink(home.TokenFile("TokenKAL")));
    EXPECT_EQ(Slurp(target), token);
}

TEST_F(KalhostTest, RunStopsAfterTheGivenTime) {
    const Outcome outcome = Run("run --seconds 0");
    EXPECT_EQ(outcome.status, 0) << outcome.output;
    EXPECT_NE(outcome.output.find("disabled"), std::string::npos);
}

TEST_F(KalhostTest, RunOnceEndsWhenTheWorkerCanNotUseTheFolder) {
    std::ofstream(Settings()) << "[PixolunePlugIn]\nEnabled=1\nImgFolder=" << home.Path()
                              << "/missing\nnFeeds=1\nFeed0_Type=1\nFeed0_Flg=1\n";
    // Without an end of its own, --once would wait out all 60 s.
    const Outcome outcome = Run("run --once --seconds 60", "PIXOLUNE_IDLE_MS=200");
    EXPECT_EQ(outcome.status, 3) << outcome.output;
    EXPECT_NE(outcome.output.find("/missing can't be used (No such file or directory)"),
              std::string::npos)
        << outcome.output;
    EXPECT_NE(outcome.output.find(
                  "no download completed: the worker waits for what the line above names"),
              std::string::npos);
}

TEST_F(KalhostTest, RunOnceWithoutATokenEndsWithItsOwnStatusAndSaysToSignIn) {
    const std::string media = home.Path() + "/media";
    ASSERT_EQ(::mkdir(media.c_str(), 0755), 0);
    std::ofstream(Settings()) << "[PixolunePlugIn]\nEnabled=1\nImgFolder=" << media
                              << "/\nnFeeds=1\nFeed0_Type=1\nFeed0_Flg=1\n";
    const Outcome outcome = Run("run --once --seconds 60", "PIXOLUNE_IDLE_MS=200");
    EXPECT_EQ(outcome.status, 6) << outcome.output;
    EXPECT_NE(outcome.output.find("not signed in to Pixolune"), std::string::npos)
        << outcome.output;
}

TEST_F(KalhostTest, RunOnceWhoseFeedsAllFailEndsWithItsOwnStatus) {
    StubServer stub(StubServer::Options{
        R"({"tokens":{"tok-1":{"username":"alice"}},"feeds":{"feed":[{"media":"a.jpg"}]}})",
        false,
        "",
        "",
        {}});
    stub.SetFault(R"({"path":"/v1/users/self/feed","mode":"status","status":500})");
    const std::string media = home.Path() + "/media";
    ASSERT_EQ(::mkdir(media.c_str(), 0755), 0);
    std::ofstream(Settings()) << "[PixolunePlugIn]\nEnabled=1\nImgFolder=" << media
                              << "/\nnFeeds=1\nFeed0_Type=1\nFeed0_Flg=1\n";
    WriteTokenFile("tok-1", std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    const Outcome run = Run("run --once --seconds 60", "PIXOLUNE_API_BASE=" + stub.ApiBase());
    EXPECT_EQ(run.status, 11) << run.output;
    EXPECT_NE(run.output.find("no feed could be read"), std::string::npos) << run.output;
}

TEST_F(KalhostTest, UsageErrorsAndMissingPluginAreReported) {
    EXPECT_EQ(Run("").status, 1);
    EXPECT_EQ(Run("frobnicate").status, 1);
    EXPECT_EQ(Run("--seconds=-3 run").status, 1);
    const Outcome missing = Run("--plugin /nonexistent/libnothing.so version");
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.output.find("can't load the plug-in"), std::string::npos);
    const Outcome help = Run("--help");
    EXPECT_EQ(help.status, 0);
    for (const char* word :
         {"run", "configure", "version", "status", "enable", "disable", "--once"}) {
        EXPECT_NE(help.output.find(word), std::string::npos) << word;
    }
}

// A host that sets the user's locale, as a GUI host does: in a Turkish one the C
// library lowers no 'I' to 'i', which must change neither the names in the
// settings file nor the service's words for the kinds of media.
TEST_F(KalhostTest, RunOnceUnderATurkishLocaleTakesEverySettingAndEveryKind) {
    const std::string turkish = Utf8LocaleEnvironment("tr_TR");
    if (turkish.empty()) GTEST_SKIP() << "tr_TR.UTF-8: not installed, and localedef can't make it";
    StubServer::Options scenario;
    scenario.scenarioJson = R"({"tokens":{"tok-tr":{"username":"ayse"}},"feeds":{"feed":[)"
                            R"({"media":"a.jpg","type":"IMAGE"},{"media":"b.jpg","type":"Image"},)"
                            R"({"media":"c.mp4","type":"VIDEO"}]}})";
    StubServer stub(scenario);
    const std::string media = home.Path() + "/media";
    ASSERT_EQ(::mkdir(media.c_str(), 0755), 0);
    std::ofstream(Settings()) << "[PIXOLUNEPLUGIN]\nENABLED=1\nIMGFOLDER=" << media
                              << "/\nDWLVIDEO=1\nNFEEDS=1\nFEED0_TYPE=1\nFEED0_FLG=1\n";
    WriteTokenFile("tok-tr",
                   std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    const Outcome run =
        Run("run --once --seconds 60", turkish + " PIXOLUNE_API_BASE=" + stub.ApiBase());
    EXPECT_EQ(run.status, 0) << run.output;
    for (const char* name : {"a.jpg", "b.jpg", "c.mp4"})
        EXPECT_TRUE(std::filesystem::exists(media + "/" + name)) << name << "\n" << run.output;
}

TEST_F(KalhostTest, RunOnceFillsTheFolderAndTheTokenLeavesNoTrace) {
    const std::string canary = "tok-canary-4e8d2a61f0";
    StubServer stub(StubServer::Options{
        R"({"tokens":{")" + canary +
            R"(":{"username":"alice"}},"feeds":{"feed":[{"media":"a.jpg","caption":"A"},{"media":"b.jpg"}]}})",
        false,
        "",
        "",
        {}});
    const std::string media = home.Path() + "/media";
    ASSERT_EQ(::mkdir(media.c_str(), 0755), 0);
    std::ofstream(Settings())
        << "[PixolunePlugIn]\nEnabled=1\nImgFolder=" << media
        << "/\nKpropTitle=1\nnFeeds=1\nFeed0_Type=1\nFeed0_Flg=1\nFeed0_MaxP=10\n";
    const std::string folder = home.Path() + "/config/Software/Torvane/PixolunePlugin";
    ASSERT_EQ(std::system(("mkdir -p -m 700 " + folder).c_str()), 0);
    std::ofstream(folder + "/TokenKAL") << canary << '\0';
    ASSERT_EQ(std::system(("chmod 600 " + folder + "/TokenKAL").c_str()), 0);

    NotifySocket manager(home.Path() + "/notify");
    ASSERT_TRUE(manager.Bound());
    const Outcome run = Run("run --once --seconds 60", "NOTIFY_SOCKET=" + manager.Path() +
                                                           " PIXOLUNE_API_BASE=" + stub.ApiBase());
    EXPECT_EQ(run.status, 0) << run.output;
    // READY=1 once the worker runs, then the record's word on the finished batch.
    const std::vector<std::string> messages = manager.Messages();
    ASSERT_GE(messages.size(), 2u) << ::testing::PrintToString(messages);
    EXPECT_EQ(messages.front().rfind("READY=1\nSTATUS=", 0), 0u) << messages.front();
    EXPECT_TRUE(std::any_of(messages.begin(), messages.end(), [](const std::string& m) {
        return m.rfind("STATUS=last refresh ", 0) == 0 &&
               m.find(", 1 feed fine, 2 files, ") != std::string::npos;
    })) << ::testing::PrintToString(messages);
    EXPECT_EQ(messages.back(), "STOPPING=1");
    // The record says the worker was stopped; status prints it and no log line.
    const Outcome status = Run("status");
    EXPECT_EQ(status.status, 12) << status.output;
    EXPECT_NE(status.output.find("the download worker was stopped on "), std::string::npos);
    EXPECT_NE(status.output.find(", 1 feed fine, 2 files, "), std::string::npos) << status.output;
    EXPECT_EQ(status.output.find("[Pixolune Plugin]"), std::string::npos) << status.output;
    EXPECT_EQ(Slurp(home.Path() + "/state/kaleidra/health-KAL.json").find(canary),
              std::string::npos);
    EXPECT_NE(run.output.find("Download complete"), std::string::npos);
    EXPECT_NE(run.output.find("slide show restart requested (5, 1)"), std::string::npos);
    std::ifstream picture(media + "/b.jpg");
    EXPECT_TRUE(picture.good());
    ASSERT_EQ(Run("enable").status, 0);  // a save rewrites the settings file

    EXPECT_EQ(run.output.find(canary), std::string::npos);
    EXPECT_EQ(SettingsText().find(canary), std::string::npos);
    EXPECT_NE(SettingsText().find("Feed0_Type=1"), std::string::npos);
}

}  // namespace
}  // namespace pixolune::test
