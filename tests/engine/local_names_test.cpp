#include "engine/local_names.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "engine_test_support.h"
#include "fake_host.h"
#include "host_callback_guard.h"
#include "model/host_link.h"

namespace pixolune {
namespace {

using test::TempDir;

struct ExtensionCase {
    const char* path;
    const char* suffix;
    const char* expected;
};

class ReplaceExtensionTest : public ::testing::TestWithParam<ExtensionCase> {};

TEST_P(ReplaceExtensionTest, ReplacesTheTextAfterTheLastDotOfTheName) {
    std::string path = GetParam().path;
    ReplaceExtension(path, GetParam().suffix);
    EXPECT_EQ(path, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReplaceExtensionTest,
    ::testing::Values(ExtensionCase{"/m/photo.jpg", "kprop", "/m/photo.kprop"},
                      ExtensionCase{"/m/a.b.c.mp4", "__t", "/m/a.b.c.__t"},
                      ExtensionCase{"/m/photo", "kprop", "/m/photo.kprop"},
                      ExtensionCase{"photo.", "kprop", "photo.kprop"},
                      ExtensionCase{"", "kprop", ".kprop"},
                      // A dot in a folder name must not move the file out of its folder.
                      ExtensionCase{"/home/me/my.pictures/photo", "__t",
                                    "/home/me/my.pictures/photo.__t"}));

struct ObjectPathCase {
    const char* objectPath;
    const char* name;
};

class FileNameFromObjectPathTest : public ::testing::TestWithParam<ObjectPathCase> {};

TEST_P(FileNameFromObjectPathTest, TakesLastSegmentCutAtQuestionMark) {
    EXPECT_EQ(FileNameFromObjectPath(GetParam().objectPath), GetParam().name);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FileNameFromObjectPathTest,
    ::testing::Values(ObjectPathCase{"/a/b/photo_n.jpg?size=large", "photo_n.jpg"},
                      ObjectPathCase{"/a/b/", ""},
                      // The cut at the last slash comes first, so a slash in the query decides.
                      ObjectPathCase{"/a/b.jpg?from=x/y.png", "y.png"},
                      ObjectPathCase{"/a/My%20Photo.JPG", "My%20Photo.JPG"},
                      ObjectPathCase{"/p.jpg?a?b", "p.jpg"}));

TEST(IsUsableLocalName, RefusesWhatIsNotOnePlainFileOfTheFolder) {
    for (const std::string& name :
         std::vector<std::string>{"", ".", "..", ".hidden", "a\x01.jpg", "a\x7f", kListFileName,
                                  "x.__t", "x.kprop", std::string(kMaxLocalNameBytes + 1, 'n')})
        EXPECT_FALSE(IsUsableLocalName(name)) << name;
    for (const std::string& name :
         std::vector<std::string>{"photo.jpg", "My%20Photo.JPG", "back\\slash", "\xC3\xA9t\xC3\xA9",
                                  std::string(kMaxLocalNameBytes, 'n')})
        EXPECT_TRUE(IsUsableLocalName(name)) << name;
}

class BuildLocalNameTest : public ::testing::Test {
  protected:
    BuildLocalNameTest() { mediaFolder_ = folder_.Path(); }

    TempDir folder_;
    test::FakeHost host_;
    test::ScopedHostCallback callback_{&test::FakeHost::Callback};
    std::string mediaFolder_;
    LocalNamer names_{platform::RealFileSystem()};
    std::string fullPath_, fileName_;
};

TEST_F(BuildLocalNameTest, MakesThePathInTheFolderAndLeavesNoFile) {
    ASSERT_TRUE(names_.BuildLocalName(
        mediaFolder_, "https://cdn.example.org/a/b/photo_n.jpg?size=large", fullPath_, fileName_));
    EXPECT_EQ(fileName_, "photo_n.jpg");
    EXPECT_EQ(fullPath_, folder_.Path() + "/photo_n.jpg");
    EXPECT_TRUE(test::FolderNames(folder_.Path()).empty());
}

TEST_F(BuildLocalNameTest, FolderWithTrailingSlashGivesTheSamePath) {
    mediaFolder_ = folder_.Path() + "/";
    ASSERT_TRUE(names_.BuildLocalName(mediaFolder_, "http://h/x.jpg", fullPath_, fileName_));
    EXPECT_EQ(fullPath_, folder_.Path() + "/x.jpg");
}

TEST_F(BuildLocalNameTest, ExistingFileIsRefusedButNamed) {
    test::WriteFile(folder_.File("x.jpg"), "old");
    EXPECT_FALSE(names_.BuildLocalName(mediaFolder_, "http://h/x.jpg", fullPath_, fileName_));
    EXPECT_EQ(fullPath_, folder_.File("x.jpg"));
    EXPECT_TRUE(host_.HasLogContaining("File already exits: " + folder_.File("x.jpg")));
    EXPECT_EQ(test::ReadFile(folder_.File("x.jpg")), "old");
}

TEST_F(BuildLocalNameTest, PathEndingInSlashNamesTheFolderItself) {
    EXPECT_FALSE(names_.BuildLocalName(mediaFolder_, "http://h/a/b/", fullPath_, fileName_));
    EXPECT_TRUE(host_.HasLogContaining("File already exits: "));
}

TEST_F(BuildLocalNameTest, UnparsableUrlIsLogged) {
    EXPECT_FALSE(names_.BuildLocalName(mediaFolder_, "not a url", fullPath_, fileName_));
    EXPECT_TRUE(host_.HasLogContaining("BuildLocalName(): Url can't be parsed: not a url"));
}

// The media folder sits alone in a folder of its own, so that anything made
// beside it, wherever a hostile name points, shows.
class HostileUrlTest : public BuildLocalNameTest,
                       public ::testing::WithParamInterface<std::string> {
  protected:
    HostileUrlTest() {
        ::mkdir(folder_.File("media").c_str(), 0755);
        mediaFolder_ = folder_.File("media");
    }
};

TEST_P(HostileUrlTest, IsRefusedAndNothingIsCreatedAnywhere) {
    EXPECT_FALSE(names_.BuildLocalName(mediaFolder_, GetParam(), fullPath_, fileName_));
    EXPECT_EQ(test::FolderNames(folder_.Path()), std::vector<std::string>{"media"});
    EXPECT_TRUE(test::FolderNames(folder_.File("media")).empty());
}

INSTANTIATE_TEST_SUITE_P(Urls, HostileUrlTest,
                         ::testing::Values("http://h/a/..", "http://h/a/.",
                                           "http://h/x/.hidden.jpg", "http://h/x?a=/..",
                                           "http://h/" + std::string(300, 'n') + ".jpg",
                                           "http://h/kal_pxln_files.lst", "http://h/photo.kprop",
                                           "http://h/photo.__t", "http://h/a%00b.jpg?\x01",
                                           // longer than the list could give back
                                           "http://h/" + std::string(8200, 'p') + "/a.jpg"));

TEST_F(BuildLocalNameTest, DotSegmentsInTheQueryStillGiveANameInsideTheFolder) {
    ASSERT_TRUE(
        names_.BuildLocalName(mediaFolder_, "http://h/x?/../../escaped.jpg", fullPath_, fileName_));
    EXPECT_EQ(fullPath_, folder_.File("escaped.jpg"));
}

TEST_F(BuildLocalNameTest, OverlongNameLogsTheCantBeUsedLine) {
    const std::string url = "http://h/" + std::string(256, 'n');
    EXPECT_FALSE(names_.BuildLocalName(mediaFolder_, url, fullPath_, fileName_));
    EXPECT_TRUE(
        host_.HasLogContaining("BuildLocalName(): Object name can't be used for local file: "));
}

TEST_F(BuildLocalNameTest, DanglingLinkCountsAsExisting) {
    ASSERT_EQ(::symlink("/nonexistent/target", folder_.File("link.jpg").c_str()), 0);
    EXPECT_FALSE(names_.BuildLocalName(mediaFolder_, "http://h/link.jpg", fullPath_, fileName_));
    EXPECT_TRUE(host_.HasLogContaining("File already exits: "));
}

}  // namespace
}  // namespace pixolune
