#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "fake_host.h"
#include "model/settings_table.h"

namespace pixolune::test {
namespace {

std::vector<std::string> ExportedSymbols(const std::string& library) {
    const std::string command = std::string(NM_COMMAND) + " -D --defined-only " + library;
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
    std::vector<std::string> names;
    char line[512];
    while (pipe && std::fgets(line, sizeof(line), pipe.get())) {
        std::string text(line);
        const auto space = text.rfind(' ');
        std::string name = text.substr(space + 1);
        while (!name.empty() && (name.back() == '\n' || name.back() == '\r')) name.pop_back();
        names.push_back(name);
    }
    return names;
}

TEST(PluginLibraryTest, ExportsOnlyTheMessageHandler) {
    EXPECT_EQ(ExportedSymbols(PIXOLUNE_PLUGIN_PATH),
              std::vector<std::string>{"kalPlugInMsgHandler"});
}

bool Mapped(const std::string& name) {
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);)
        if (line.find(name) != std::string::npos) return true;
    return false;
}

// A host that asks only for the version and the settings maps neither the
// transfer library nor Qt; in a process of its own, as other tests load them.
TEST(PluginLibraryTest, VersionAndSettingsMapNeitherTheTransferLibraryNorQt) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            const ScopedConfigHome home;
            FakeHost host;
            const PluginLibrary plugin;
            plugin.Open(host);
            char version[64] = {};
            (void)plugin.Send(KAL_MSG_VERSION_TEXT, reinterpret_cast<intptr_t>(version));
            (void)plugin.Send(KAL_MSG_SAVE_SETTINGS);
            const bool lean = std::string(version).rfind("Pixolune v", 0) == 0 &&
                              !Mapped("/libcurl") && !Mapped("/libQt6");
            std::_Exit(lean ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

// What a message leaves behind besides its result, so that a handler that
// merely answers the right constant still fails.
enum class Effect {
    Nothing,        // no store traffic, Enabled and SettingsChanged unchanged
    SavesAll,       // every key written, "RebuildList" = 1 last
    LoadsAll,       // the store's values replace the live ones
    EnabledIsKept,  // a later query of message 40 gives the same answer
};

struct MessageCase {
    const char* name;
    int code;
    intptr_t param1;
    intptr_t param2;
    int expected;
    Effect effect;
};

void PrintTo(const MessageCase& c, std::ostream* os) {
    *os << c.name;
}

class MessageResultTest : public ::testing::TestWithParam<MessageCase> {};

TEST_P(MessageResultTest, AnswersAsTheHostExpects) {
    ScopedConfigHome home;
    FakeHost host;
    PluginLibrary plugin;
    plugin.Open(host);
    host.SetValue("PixolunePlugIn", "Enabled", 1);  // seen only by a load
    host.ClearTrace();
    const MessageCase& c = GetParam();
    EXPECT_EQ(plugin.Send(c.code, c.param1, c.param2), c.expected);
    switch (c.effect) {
        case Effect::Nothing:
            EXPECT_TRUE(host.Reads().empty());
            EXPECT_TRUE(host.Writes().empty());
            EXPECT_EQ(host.RestartRequests(), 0);
            EXPECT_EQ(plugin.Send(40, 0, 0), 1);
            EXPECT_EQ(plugin.Send(8), 0);
            break;
        case Effect::SavesAll:
            // Every setting, "nFeeds" (no feeds) and the rebuild flag.
            ASSERT_EQ(host.Writes().size(), std::size(kSettings) + 2);
            EXPECT_EQ(host.Writes().back(), "Settings/RebuildList");
            EXPECT_EQ(host.Value("Settings", "RebuildList"), "1");
            EXPECT_EQ(host.Value("PixolunePlugIn", "Enabled"), "0") << "the live value is saved";
            break;
        case Effect::LoadsAll:
            EXPECT_EQ(host.Reads().front(), "PixolunePlugIn/Enabled");
            EXPECT_EQ(plugin.Send(40, 0, 0), 2);
            break;
        case Effect::EnabledIsKept:
            EXPECT_TRUE(host.Writes().empty());
            EXPECT_EQ(plugin.Send(40, 0, 0), c.expected);
            EXPECT_EQ(plugin.Send(8), 0);
            break;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Messages, MessageResultTest,
    ::testing::Values(
        MessageCase{"InterfaceVersion", 1, 0, 0, 256, Effect::Nothing},
        MessageCase{"UnusedCodeFour", 4, 0, 0, 0, Effect::Nothing},
        MessageCase{"UnknownCode", 12345, 7, 7, 0, Effect::Nothing},
        MessageCase{"NegativeCode", -1, 0, 0, 0, Effect::Nothing},
        MessageCase{"VariantZero", 28, 0, 0, 0, Effect::Nothing},
        MessageCase{"VariantOne", 28, 1, 0, 1, Effect::Nothing},
        MessageCase{"VariantTwo", 28, 2, 0, -1, Effect::Nothing},
        MessageCase{"VariantNegative", 28, -5, 0, -1, Effect::Nothing},
        MessageCase{"EnabledQueryAfterLoadDefault", 40, 0, 0, 1, Effect::EnabledIsKept},
        MessageCase{"EnableReportsTwo", 40, 1, 1, 2, Effect::EnabledIsKept},
        MessageCase{"DisableReportsOne", 40, 1, 0, 1, Effect::EnabledIsKept},
        // The host's word is 32 bits: the largest values wrap as there, without overflow.
        MessageCase{"EnableWithAllBitsSet", 40, 1, 0xFFFFFFFF, 0, Effect::EnabledIsKept},
        MessageCase{"EnableWithLargestSigned", 40, 1, 0x7FFFFFFF, INT32_MIN, Effect::EnabledIsKept},
        MessageCase{"NothingChangedAfterLoad", 8, 0, 0, 0, Effect::Nothing},
        MessageCase{"SaveAnswersOne", 6, 0, 0, 1, Effect::SavesAll},
        MessageCase{"LoadAnswersOne", 7, 0, 0, 1, Effect::LoadsAll},
        MessageCase{"StartAnswersZero", 9, 0, 0, 0, Effect::Nothing},
        MessageCase{"StopAnswersZero", 10, 0, 1, 0, Effect::Nothing},
        MessageCase{"StopWithoutFlagAnswersZero", 10, 0, 0, 0, Effect::Nothing}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(VersionTextTest, ComesFromTheBuildVersion) {
    PluginLibrary plugin;
    char buffer[28];
    std::memset(buffer, 'x', sizeof(buffer));
    EXPECT_EQ(plugin.Send(2, reinterpret_cast<intptr_t>(buffer)), 1);
    EXPECT_STREQ(buffer, "Pixolune v1.4.0");
}

TEST(VersionTextTest, NullBufferIsRefusedWithoutCrashing) {
    PluginLibrary plugin;
    EXPECT_EQ(plugin.Send(2, 0), 0);
}

TEST(EnabledMessageTest, SetsWithoutMarkingSettingsChanged) {
    FakeHost host;
    PluginLibrary plugin;
    plugin.Open(host);
    EXPECT_EQ(plugin.Send(40, 1, 1), 2);
    EXPECT_EQ(plugin.Send(40, 0, 0), 2);
    EXPECT_EQ(plugin.Send(8), 0);
    EXPECT_EQ(plugin.Send(40, 1, 0), 1);
    EXPECT_EQ(plugin.Send(40, 0, 1), 1) << "param2 counts only with the set flag";
}

TEST(HostVariantTest, InvalidVariantIsStoredAndActsAsKaleidra) {
    FakeHost host;
    host.SetValue("PixolunePlugIn", "DwlPhoto", 0);
    host.SetValue("PixolunePlugIn", "DwlVideo", 1);
    PluginLibrary plugin;
    plugin.Open(host, 2);
    host.ClearTrace();
    plugin.Send(6);
    EXPECT_EQ(host.Value("PixolunePlugIn", "DwlPhoto"), "0");
    EXPECT_EQ(host.Value("PixolunePlugIn", "DwlVideo"), "1");
}

TEST(LogTest, LinesCarryTheSourceTagAndNothingIsSentBeforeTheCallback) {
    FakeHost host;
    host.SetValue("PixolunePlugIn", "nFeeds", -4);
    PluginLibrary plugin;
    // Without message 3 the plug-in has no host to talk to: loading must not crash.
    EXPECT_EQ(plugin.Send(7), 1);
    EXPECT_TRUE(host.LogLines().empty());
    EXPECT_TRUE(host.Reads().empty());
    plugin.Open(host);
    ASSERT_FALSE(host.LogLines().empty());
    for (const std::string& source : host.LogSources()) EXPECT_EQ(source, "[Pixolune Plugin]");
}

#if PIXOLUNE_WITH_UI
// What lies where the plug-in looks for its dialogs' module.
enum class ModuleStandIn { Nothing, NotALibrary, LibraryWithoutEntry };

struct UnusableModuleCase {
    const char* name;
    ModuleStandIn standIn;
    const char* reason;  // in the one line message 5 writes
};

void PrintTo(const UnusableModuleCase& c, std::ostream* os) {
    *os << c.name;
}

void CopyFile(const std::string& from, const std::string& to) {
    std::ofstream(to, std::ios::binary) << std::ifstream(from, std::ios::binary).rdbuf();
}

class UnusableDialogsModuleTest : public ::testing::TestWithParam<UnusableModuleCase> {};

// A copy of the plug-in in a folder of its own: an install whose dialogs'
// module is missing or broken.
TEST_P(UnusableDialogsModuleTest, ConfigureDeclinesWithOneLineAndLoadsNoQt) {
    const ScopedConfigHome home;
    const std::string plugins = home.Path() + "/plugins";
    const std::string own = plugins + "/" PIXOLUNE_DIALOGSDIR_FROM_PLUGINDIR;
    ASSERT_EQ(::mkdir(plugins.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(own.c_str(), 0755), 0);
    CopyFile(PIXOLUNE_PLUGIN_PATH, plugins + "/libpixolune_plugin.so");
    const std::string module = own + "/libpixolune_dialogs.so";
    if (GetParam().standIn == ModuleStandIn::NotALibrary)
        std::ofstream(module) << "not a library\n";
    if (GetParam().standIn == ModuleStandIn::LibraryWithoutEntry)
        CopyFile(PIXOLUNE_PLUGIN_PATH, module);

    FakeHost host;
    const PluginLibrary plugin(plugins + "/libpixolune_plugin.so");
    plugin.Open(host);
    ASSERT_EQ(plugin.Send(KAL_MSG_ENABLED, 1, 1), 2);
    EXPECT_EQ(plugin.Send(KAL_MSG_CONFIGURE), 0);
    EXPECT_EQ(plugin.Send(KAL_MSG_CONFIGURE), 0) << "the module is looked for again";
    std::vector<std::string> said;
    for (const std::string& line : host.LogLines())
        if (line.rfind("Configure: ", 0) == 0) said.push_back(line);
    ASSERT_EQ(said.size(), 2u);
    EXPECT_NE(said[0].find(GetParam().reason), std::string::npos) << said[0];
    EXPECT_EQ(said[0], said[1]);
    EXPECT_EQ(plugin.Send(KAL_MSG_SETTINGS_CHANGED), 0);
    EXPECT_EQ(plugin.Send(KAL_MSG_ENABLED, 0, 0), 2);
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);)
        EXPECT_EQ(line.find("libQt6"), std::string::npos) << line;
}

INSTANTIATE_TEST_SUITE_P(
    Modules, UnusableDialogsModuleTest,
    ::testing::Values(
        UnusableModuleCase{"Missing", ModuleStandIn::Nothing, "the dialogs' module is missing ("},
        UnusableModuleCase{"NotALibrary", ModuleStandIn::NotALibrary,
                           "the dialogs' module cannot be loaded ("},
        UnusableModuleCase{"WithoutEntry", ModuleStandIn::LibraryWithoutEntry,
                           "libpixolune_dialogs.so has no pixolune_dialogs_configure"}),
    [](const auto& info) { return std::string(info.param.name); });
#endif

}  // namespace
}  // namespace pixolune::test
