// kalhost: a small stand-in for the slide-show host. It loads the plug-in,
// serves its settings from an INI file, prints its log lines and sends it the
// host's messages in the host's order.
#include <getopt.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "desktop_notifier.h"
#include "health_status.h"
#include "host_console.h"
#include "host_settings.h"
#include "platform/state_folder.h"
#include "platform/token_store.h"
#include "platform/user_registry.h"
#include "plugin_module.h"
#include "service_notifier.h"

namespace kalhost {
namespace {

const char* const kUsage =
    "Usage: kalhost [OPTIONS] COMMAND\n"
    "\n"
    "Loads the Pixolune plug-in the way the slide-show host does and drives it.\n"
    "\n"
    "Commands:\n"
    "  run        load the settings, start the download worker and keep it running\n"
    "             until Ctrl-C (or --seconds / --once); stops the worker on exit\n"
    "  configure  open the plug-in's settings dialog; OK saves the settings\n"
    "  version    print the plug-in's version text\n"
    "  status     print whether the plug-in is enabled and has unsaved changes, where\n"
    "             its sign-in token is kept (the desktop's keyring or its file), and\n"
    "             its health as its download worker last recorded it (--json: the\n"
    "             record itself)\n"
    "  enable     enable the plug-in and save the settings\n"
    "  disable    disable the plug-in and save the settings\n"
    "\n"
    "Options:\n"
    "  -p, --plugin PATH     the plug-in library (default: libpixolune_plugin.so\n"
    "                        next to kalhost, else in the installed plug-in\n"
    "                        folder " KALHOST_PLUGIN_DIR_FROM_BIN
    "\n"
    "                        relative to kalhost's folder)\n"
    "  -s, --settings FILE   the settings file of the host product --variant names\n"
    "                        (default: $XDG_CONFIG_HOME/kaleidra/kalhost.ini, or\n"
    "                        kalhost-NVX.ini for variant 1, which starts from\n"
    "                        kalhost.ini until its first save and never writes it;\n"
    "                        under ~/.config without XDG_CONFIG_HOME; with neither\n"
    "                        that nor HOME there is none, and a save is refused)\n"
    "  -V, --variant N       host variant sent with message 28 (0 = Kaleidra,\n"
    "                        1 = the second host product; default 0)\n"
    "  -t, --seconds N       run: stop after N seconds\n"
    "  -1, --once            run: stop after the first \"Download complete\", or when the\n"
    "                        worker waits for an unusable or busy media folder\n"
    "  -q, --quiet           do not print the plug-in's log lines\n"
    "  -j, --json            status: print the health record as it is kept\n"
    "  -h, --help            show this text\n"
    "\n"
    "Environment: PIXOLUNE_API_BASE and PIXOLUNE_OAUTH_BASE point the plug-in at\n"
    "another service (such as the local stand-in, pixolune-stub). kalhost runs\n"
    "under the user's locale (LANG, LC_ALL), as a graphical host does; its own\n"
    "lines stay in English.\n"
    "\n"
    "Under a service manager (NOTIFY_SOCKET set) run reports READY=1, its status\n"
    "and watchdog pings; see kalhost.service. On a desktop (a session bus) run\n"
    "sends a notification when the plug-in needs you: a sign-in (its action opens\n"
    "configure), the media folder, the disk's reserve; and one when all is fine again.\n"
    "\n"
    "Exit status: 0 on success, 1 for a usage error, 2 when the plug-in cannot be\n"
    "loaded, 3 when --once ended without a completed download, 4 when the\n"
    "settings file cannot be written (its folder or the file itself is not\n"
    "writable, or there is no settings file), 6 when --once found the plug-in\n"
    "not signed in to the service (sign in with `kalhost configure`, Authorize...),\n"
    "11 when --once ended with a batch that stored nothing because every feed or\n"
    "every download failed or the disk's reserve was reached.\n"
    "status: 0 healthy (also in quiet hours), 5 no health record yet (or a damaged\n"
    "one), 6 the plug-in needs a sign-in, 7 the media folder can't be used, 8 the\n"
    "disk's reserve is reached, 9 stale (no successful refresh for longer than\n"
    "twice the refresh interval and an hour, quiet hours not counted, or a record\n"
    "written ahead of the clock), 10 the service fails (every feed has failed\n"
    "since the time named), 12 the download worker was stopped.\n"
    "The record: $XDG_STATE_HOME/kaleidra/health-KAL.json (health-NVX.json for\n"
    "variant 1; default ~/.local/state/kaleidra). More in kalhost(1): man kalhost.\n";

// run --once: the batch stored nothing because everything failed or the disk was full.
constexpr int kBatchStoredNothing = 11;

struct Options {
    std::string pluginPath = DefaultPluginPath();
    bool pluginGiven = false;
    std::string settingsPath;  // DefaultSettingsPath(variant) unless --settings names one
    bool settingsGiven = false;
    int variant = 0;
    long long seconds = -1;
    bool once = false;
    bool quiet = false;
    bool json = false;
    std::string command;
};

bool ParseNumber(const char* text, long long min, long long* out) {
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < min) return false;
    *out = value;
    return true;
}

// 0 when parsed, else the exit status.
int ParseOptions(int argc, char** argv, Options* options) {
    static const option kLong[] = {{"plugin", required_argument, nullptr, 'p'},
                                   {"settings", required_argument, nullptr, 's'},
                                   {"variant", required_argument, nullptr, 'V'},
                                   {"seconds", required_argument, nullptr, 't'},
                                   {"once", no_argument, nullptr, '1'},
                                   {"quiet", no_argument, nullptr, 'q'},
                                   {"json", no_argument, nullptr, 'j'},
                                   {"help", no_argument, nullptr, 'h'},
                                   {nullptr, 0, nullptr, 0}};
    int opt;
    long long number = 0;
    while ((opt = getopt_long(argc, argv, "p:s:V:t:1qjh", kLong, nullptr)) != -1) {
        switch (opt) {
            case 'p':
                options->pluginPath = optarg;
                options->pluginGiven = true;
                break;
            case 's':
                options->settingsPath = optarg;
                options->settingsGiven = true;
                break;
            case 'V':
                if (!ParseNumber(optarg, -2147483647LL, &number) || number > 2147483647LL) {
                    std::fprintf(stderr, "kalhost: --variant needs a number\n");
                    return 1;
                }
                options->variant = static_cast<int>(number);
                break;
            case 't':
                if (!ParseNumber(optarg, 0, &options->seconds)) {
                    std::fprintf(stderr, "kalhost: --seconds needs a whole number of seconds\n");
                    return 1;
                }
                break;
            case '1':
                options->once = true;
                break;
            case 'q':
                options->quiet = true;
                break;
            case 'j':
                options->json = true;
                break;
            case 'h':
                std::fputs(kUsage, stdout);
                std::exit(0);
            default:
                std::fputs(kUsage, stderr);
                return 1;
        }
    }
    if (optind != argc - 1) {
        std::fputs(kUsage, stderr);
        return 1;
    }
    options->command = argv[optind];
    if (!options->settingsGiven) options->settingsPath = DefaultSettingsPath(options->variant);
    return 0;
}

// Ctrl-C and SIGTERM are taken by one thread, so the plug-in's threads are never
// interrupted and the main thread ends the run in order.
class SignalWatcher {
  public:
    explicit SignalWatcher(HostConsole& console) {
        sigemptyset(&signals_);
        sigaddset(&signals_, SIGINT);
        sigaddset(&signals_, SIGTERM);
        sigaddset(&signals_, SIGUSR1);
        pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
        thread_ = std::thread([this, &console] {
            int received = 0;
            sigwait(&signals_, &received);
            if (received != SIGUSR1) console.RequestStop();
        });
    }
    ~SignalWatcher() {
        pthread_kill(thread_.native_handle(), SIGUSR1);
        thread_.join();
    }

  private:
    sigset_t signals_;
    std::thread thread_;
};

void OpenPlugin(const PluginModule& plugin, const Options& options) {
    plugin.Send(KAL_MSG_SET_CALLBACK, reinterpret_cast<intptr_t>(&HostConsole::Callback));
    plugin.Send(KAL_MSG_HOST_VARIANT, options.variant);
    plugin.Send(KAL_MSG_LOAD_SETTINGS);
}

int SaveSettings(const PluginModule& plugin, HostSettings& settings, HostConsole& console) {
    plugin.Send(KAL_MSG_SAVE_SETTINGS);
    std::string error;
    if (!settings.Flush(&error)) {
        const std::string& path = settings.Path();
        console.Print("can't write the settings file" + (path.empty() ? "" : " " + path) + ": " +
                      error);
        return 4;
    }
    console.Print("settings saved to " + settings.Path());
    return 0;
}

// The health record's word, without asking the service: what the worker last wrote.
// What to do about a token file the plug-in refuses to read (a mode that
// lets others read it, a link), or nothing when there is none.
std::optional<std::string> RefusedTokenFile(const Options& options) {
    using pixolune::platform::RegistryReadStatus;
    const pixolune::platform::TokenStore tokens;
    const char* valueName = pixolune::platform::TokenValueName(options.variant);
    const pixolune::platform::StoredToken stored = tokens.Read(valueName);
    if (stored.place != pixolune::platform::TokenPlace::None ||
        stored.fileStatus == RegistryReadStatus::Ok ||
        stored.fileStatus == RegistryReadStatus::Missing)
        return std::nullopt;
    const std::string path = tokens.FilePath(valueName);
    const std::string why = pixolune::platform::DescribeRegistryStatus(stored.fileStatus);
    if (stored.fileStatus == RegistryReadStatus::NotPrivate)
        return "the token file " + path + " is not used (" + why + "): run chmod 600 " + path;
    if (stored.fileStatus == RegistryReadStatus::SymbolicLink)
        return "the token file " + path + " is not used (" + why +
               "): replace the link by a plain file of mode 600";
    return "the token file " + path + " is not used (" + why + ")";
}

int PrintHealth(const Options& options) {
    const std::string path = pixolune::platform::HealthRecordPath(options.variant);
    const HealthFile file = ReadHealthFile(path);
    HealthReport report = DescribeHealthFile(path, file, std::chrono::system_clock::now());
    // "Not signed in" would send the user to sign in again for a file one chmod mends.
    if (report.exit == HealthExit::NeedsSignIn && file.record && !file.record->tokenRefusedAt)
        if (const auto refused = RefusedTokenFile(options)) report.lines.front() = *refused;
    if (options.json) {
        if (file.record)
            std::fputs(file.text.c_str(), stdout);
        else
            std::fprintf(stderr, "kalhost: %s\n", report.lines[0].c_str());
    }
    if (!options.json)
        for (const std::string& line : report.lines) std::printf("%s\n", line.c_str());
    return static_cast<int>(report.exit);
}

// Where the plug-in keeps its token for this variant, and why not in the
// keyring when it is in the file.
std::string TokenLine(const Options& options) {
    const pixolune::platform::TokenStore tokens;
    const char* valueName = pixolune::platform::TokenValueName(options.variant);
    const pixolune::platform::StoredToken stored = tokens.Read(valueName);
    std::string line = "sign-in token: ";
    if (stored.place == pixolune::platform::TokenPlace::None) return line + "none";
    line += "in " + DescribeTokenPlace(tokens, valueName, stored.place);
    if (stored.place == pixolune::platform::TokenPlace::File)
        line += stored.keyring.Usable() ? " (it moves to the desktop's keyring at the next save)"
                                        : " (keyring: " + stored.keyring.problem + ")";
    return line;
}

int PrintStatus(const PluginModule& plugin, const Options& options) {
    if (!options.json) {
        const int enabled = plugin.Send(KAL_MSG_ENABLED, 0, 0);
        const std::string file =
            options.settingsPath.empty()
                ? std::string("none, ") + pixolune::platform::kNoUserConfigFolder
                : options.settingsPath;
        std::printf("settings file: %s\nenabled: %s\nunsaved changes: %s\n%s\n", file.c_str(),
                    enabled == 2 ? "yes" : "no",
                    plugin.Send(KAL_MSG_SETTINGS_CHANGED) ? "yes" : "no",
                    TokenLine(options).c_str());
    }
    std::fflush(stdout);
    return PrintHealth(options);
}

// run --once's word on the batch it waited for, read off the health record
// (0 when there is none): every feed failed, or the batch stored nothing
// because each download failed or the disk's reserve was reached.
int JudgeBatch(const Options& options, std::chrono::system_clock::time_point runStart,
               HostConsole& console) {
    const HealthFile file = ReadHealthFile(pixolune::platform::HealthRecordPath(options.variant));
    if (!file.record) return 0;
    const pixolune::HealthRecord& record = *file.record;
    if (record.EveryFeedFailing()) {
        console.Print("no feed could be read: see the lines above, or `kalhost status`");
        return kBatchStoredNothing;
    }
    const pixolune::BatchHealth& batch = record.lastBatch;
    if (!batch.closedAt || *batch.closedAt < std::chrono::floor<std::chrono::seconds>(runStart) ||
        batch.stored > 0)
        return 0;
    if (record.reserveReached) {
        console.Print("nothing stored: the disk's reserve was reached");
        return kBatchStoredNothing;
    }
    if (batch.failed > 0) {
        console.Print("nothing stored: every download failed (" + std::to_string(batch.failed) +
                      ")");
        return kBatchStoredNothing;
    }
    return 0;
}

// `kalhost configure` with this run's settings, plug-in and variant.
std::vector<std::string> ConfigureCommand(const Options& options) {
    char self[4096];
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof(self) - 1);
    std::vector<std::string> argv{length > 0 ? std::string(self, static_cast<size_t>(length))
                                             : std::string("kalhost")};
    if (options.pluginGiven) argv.insert(argv.end(), {"--plugin", options.pluginPath});
    argv.insert(argv.end(), {"--settings", options.settingsPath, "--variant",
                             std::to_string(options.variant), "configure"});
    return argv;
}

int Run(const PluginModule& plugin, const Options& options, HostConsole& console) {
    SignalWatcher signalWatcher(console);
    OpenPlugin(plugin, options);
    const bool enabled = plugin.Send(KAL_MSG_ENABLED, 0, 0) == 2;
    if (!enabled) console.Print("the plug-in is disabled: no download worker starts");
    const auto runStart = std::chrono::system_clock::now();
    plugin.Send(KAL_MSG_START);
    const std::string recordPath = pixolune::platform::HealthRecordPath(options.variant);
    const ServiceNotifier notifier(recordPath);
    const DesktopNotifier desktop({recordPath, runStart, ConfigureCommand(options),
                                   [&console](const std::string& line) { console.Print(line); }});
    const long long millis = options.seconds < 0 ? -1 : options.seconds * 1000;
    const HostConsole::WaitResult result = enabled || !options.once
                                               ? console.Wait(millis, options.once)
                                               : HostConsole::WaitResult::TimedOut;
    plugin.Send(KAL_MSG_STOP, 0, 1);
    console.Print(std::to_string(console.RestartRequests()) + " slide show restart request(s)");
    if (options.once && result == HostConsole::WaitResult::NotAuthorized) {
        console.Print(
            "not signed in to Pixolune: run `kalhost configure`, click Authorize... and "
            "sign in, then OK");
        return 6;  // as `kalhost status` says of a plug-in that needs a sign-in
    }
    if (options.once && result == HostConsole::WaitResult::HeldUp) {
        console.Print("no download completed: the worker waits for what the line above names");
        return 3;
    }
    if (options.once && result != HostConsole::WaitResult::DownloadComplete) {
        console.Print("no download completed");
        return 3;
    }
    return options.once ? JudgeBatch(options, runStart, console) : 0;
}

// A stop that timed out leaves the worker running, and unloading the plug-in
// would wait for it without end. The process ends here instead, without
// destructors, so the console that the worker calls is never destroyed under
// it; the worker's own files survive a kill at any moment.
void ExitIfWorkerOutlivedStop(HostConsole& console, int status) {
    if (!console.WorkerOutlivedStop()) return;
    console.Print("the download worker did not stop; exiting without unloading the plug-in");
    std::fflush(nullptr);
    std::_Exit(status);
}

// The second host product kept its settings in the first one's file before it
// had a file of its own; they are its starting point, and that file is never written.
std::string SettingsSeed(const Options& options) {
    return options.settingsGiven || options.variant != 1 ? std::string() : DefaultSettingsPath(0);
}

void SayWhereSettingsComeFrom(const HostSettings& settings, HostConsole& console) {
    if (settings.Path().empty())
        console.Print(std::string("no settings file: ") + pixolune::platform::kNoUserConfigFolder +
                      "; name one with --settings FILE");
    else if (!settings.SeededFrom().empty())
        console.Print("no settings of this host product yet: starting from " +
                      settings.SeededFrom() + ", which is left as it is; saved to " +
                      settings.Path());
}

int Execute(const Options& options) {
    // Declared before the plug-in, so that they outlive its unloading, which
    // stops and joins a worker that logs through the console until its end.
    HostSettings settings(options.settingsPath, SettingsSeed(options));
    // status and --json print what was asked alone; the plug-in's lines would spoil it.
    HostConsole console(settings, options.quiet || options.json || options.command == "status");
    PluginModule plugin(options.pluginPath);
    if (!plugin.IsLoaded()) {
        std::fprintf(stderr, "kalhost: can't load the plug-in: %s\n", plugin.Error().c_str());
        if (!options.pluginGiven) {
            for (const std::string& path : PluginCandidates())
                std::fprintf(stderr, "kalhost: looked for the plug-in at %s\n", path.c_str());
        }
        return 2;
    }
    const std::string& command = options.command;
    if (command != "version" && !options.json) SayWhereSettingsComeFrom(settings, console);

    if (command == "version") {
        char text[64] = {};
        plugin.Send(KAL_MSG_VERSION_TEXT, reinterpret_cast<intptr_t>(text));
        text[sizeof(text) - 1] = '\0';  // whatever the plug-in wrote, the line ends here
        std::printf("%s\n", text);
        return 0;
    }
    if (command == "run") {
        const int status = Run(plugin, options, console);
        ExitIfWorkerOutlivedStop(console, status);
        return status;
    }
    OpenPlugin(plugin, options);
    if (command == "status") return PrintStatus(plugin, options);
    if (command == "enable" || command == "disable") {
        plugin.Send(KAL_MSG_ENABLED, 1, command == "enable" ? 1 : 0);
        return SaveSettings(plugin, settings, console);
    }
    if (command == "configure") {
        if (plugin.Send(KAL_MSG_CONFIGURE, 0) != 1) {
            console.Print("configuration cancelled, nothing saved");
            return 0;
        }
        return SaveSettings(plugin, settings, console);
    }
    std::fprintf(stderr, "kalhost: unknown command '%s'\n\n%s", command.c_str(), kUsage);
    return 1;
}

}  // namespace
}  // namespace kalhost

int main(int argc, char** argv) {
    // The user's locale, as a GUI host sets it, so that the plug-in meets it here
    // as well; kalhost's lines, and the system's words in them, stay English.
    std::setlocale(LC_ALL, "");
    std::setlocale(LC_MESSAGES, "C");
    std::setlocale(LC_TIME, "C");
    kalhost::Options options;
    if (const int status = kalhost::ParseOptions(argc, argv, &options)) return status;
    return kalhost::Execute(options);
}
