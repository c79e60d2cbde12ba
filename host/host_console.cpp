#include "host_console.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

namespace kalhost {
namespace {

// Read by the plug-in's worker thread as well as the host's.
std::atomic<HostConsole*> g_console{nullptr};

// The plug-in's stop reports the result of its wait: 0 when the worker ended.
constexpr const char* kStopResultPrefix = "CPixoluneThread::Stop(), result: ";

bool IsStopThatGaveUp(const char* text) {
    const size_t prefixLength = std::strlen(kStopResultPrefix);
    return std::strncmp(text, kStopResultPrefix, prefixLength) == 0 &&
           std::strcmp(text + prefixLength, "0") != 0;
}

// Lines after which the worker waits for the user (a folder to mend, a list to
// make readable, another host to end) instead of completing a batch: a run
// that waits for "Download complete" must not wait for ever.
bool IsWorkerHeldUp(const char* text) {
    const std::string_view line(text);
    if (line.rfind("ReadLocalFileList: the folder is left alone", 0) == 0) return true;
    return line.rfind("DownloadNext(): the media folder ", 0) == 0 &&
           (line.find(" can't be used (") != std::string_view::npos ||
            line.find(" is in use by another host") != std::string_view::npos);
}

// Lines after which no feed is read until the user signs in again: without a
// token, or with one the service refused. A batch may still "complete" with
// nothing in it, which is no download.
bool IsWorkerUnauthorized(const char* text) {
    const std::string_view line(text);
    return line.rfind("Refresh: not authorized", 0) == 0 ||
           line.rfind("Refresh: the service refused the access token", 0) == 0;
}

// The journal stamps every line itself: JOURNAL_STREAM names the stream
// ("device:inode") when our standard output is connected to it.
bool WritesToJournal() {
    const char* stream = std::getenv("JOURNAL_STREAM");
    if (!stream || !*stream) return false;
    unsigned long long device = 0, inode = 0;
    if (std::sscanf(stream, "%llu:%llu", &device, &inode) != 2) return false;
    struct stat status {};
    if (::fstat(STDOUT_FILENO, &status) != 0) return false;
    return static_cast<unsigned long long>(status.st_dev) == device &&
           static_cast<unsigned long long>(status.st_ino) == inode;
}

// "14:02:05.123 ", or nothing under the journal.
std::string TimeStamp(bool stamped) {
    if (!stamped) return {};
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t seconds = system_clock::to_time_t(now);
    const long millis =
        static_cast<long>(duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000);
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[32];
    std::snprintf(text, sizeof(text), "%02d:%02d:%02d.%03ld ", local.tm_hour, local.tm_min,
                  local.tm_sec, millis);
    return text;
}

}  // namespace

HostConsole::HostConsole(HostSettings& settings, bool quiet)
    : settings_(settings), quiet_(quiet), stamped_(!WritesToJournal()) {
    g_console.store(this);
}

HostConsole::~HostConsole() {
    g_console.store(nullptr);
}

int HostConsole::Callback(int code, intptr_t param1, intptr_t param2) {
    HostConsole* console = g_console.load();
    return console ? console->Handle(code, param1, param2) : 0;
}

int HostConsole::Handle(int code, intptr_t param1, intptr_t param2) {
    switch (code) {
        case KAL_CB_WRITE_SETTING:
            settings_.Write(*reinterpret_cast<const HostSettingRequest*>(param1));
            return 1;
        case KAL_CB_READ_SETTING: {
            const std::string refused =
                settings_.Read(*reinterpret_cast<HostSettingRequest*>(param1));
            if (!refused.empty()) Print(refused);
            return 1;
        }
        case KAL_CB_LOG: {
            const char* source = reinterpret_cast<const char*>(param1);
            const char* text = reinterpret_cast<const char*>(param2);
            std::lock_guard<std::mutex> lock(mutex_);
            if (!quiet_) {
                std::printf("%s%s %s\n", TimeStamp(stamped_).c_str(), source ? source : "",
                            text ? text : "");
                std::fflush(stdout);
            }
            if (text && std::strcmp(text, "Download complete") == 0) {
                downloadComplete_ = true;
                changed_.notify_all();
            }
            if (text && IsStopThatGaveUp(text)) workerOutlivedStop_ = true;
            if (text && IsWorkerUnauthorized(text)) {
                notAuthorized_ = true;
                changed_.notify_all();
            }
            if (text && IsWorkerHeldUp(text)) {
                workerHeldUp_ = true;
                changed_.notify_all();
            }
            return 1;
        }
        case KAL_CB_RESTART: {
            std::lock_guard<std::mutex> lock(mutex_);
            ++restartRequests_;
            std::printf("%s[kalhost] slide show restart requested (%ld, %ld)\n",
                        TimeStamp(stamped_).c_str(), static_cast<long>(param1),
                        static_cast<long>(param2));
            std::fflush(stdout);
            return 1;
        }
        default:
            return 0;
    }
}

void HostConsole::Print(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::printf("%s[kalhost] %s\n", TimeStamp(stamped_).c_str(), text.c_str());
    std::fflush(stdout);
}

HostConsole::WaitResult HostConsole::Wait(long long milliseconds, bool untilDownloadComplete) {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto done = [&] {
        return stopRequested_ ||
               (untilDownloadComplete && (downloadComplete_ || workerHeldUp_ || notAuthorized_));
    };
    if (milliseconds < 0) {
        changed_.wait(lock, done);
    } else {
        changed_.wait_for(lock, std::chrono::milliseconds(milliseconds), done);
    }
    // Checked first: the refresh says so before the empty batch completes.
    if (untilDownloadComplete && notAuthorized_) return WaitResult::NotAuthorized;
    if (untilDownloadComplete && downloadComplete_) return WaitResult::DownloadComplete;
    if (untilDownloadComplete && workerHeldUp_) return WaitResult::HeldUp;
    return stopRequested_ ? WaitResult::Stopped : WaitResult::TimedOut;
}

void HostConsole::RequestStop() {
    std::lock_guard<std::mutex> lock(mutex_);
    stopRequested_ = true;
    changed_.notify_all();
}

int HostConsole::RestartRequests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return restartRequests_;
}

bool HostConsole::WorkerOutlivedStop() {
    std::lock_guard<std::mutex> lock(mutex_);
    return workerOutlivedStop_;
}

}  // namespace kalhost
