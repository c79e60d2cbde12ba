#include "ui/folder_choice.h"

#include <gtest/gtest.h>

#include <fstream>

#include "tests/support/temp_dir.h"

namespace pixolune::ui {
namespace {

class ChosenFolderTest : public ::testing::TestWithParam<std::pair<const char*, const char*>> {};

TEST_P(ChosenFolderTest, ComesBackWithOneTrailingSlash) {
    EXPECT_EQ(GetParam().second, ChosenFolder(GetParam().first).value_or("(nothing)"));
}

INSTANTIATE_TEST_SUITE_P(Paths, ChosenFolderTest,
                         ::testing::Values(std::make_pair("/home/u/Pictures", "/home/u/Pictures/"),
                                           std::make_pair("/home/u/Pictures/", "/home/u/Pictures/"),
                                           std::make_pair("/", "/"),
                                           std::make_pair("/a b/c", "/a b/c/"),
                                           std::make_pair("", "(nothing)")));

TEST(FolderProbeTest, OnlyAnExistingFolderCounts) {
    pixolune::test::TempDir temp;
    ASSERT_FALSE(temp.Path().empty());
    const std::string file = temp.Path() + "/a-file";
    std::ofstream(file) << "x";
    EXPECT_TRUE(IsExistingFolder(temp.Path()));
    EXPECT_TRUE(IsExistingFolder(temp.Path() + "/"));
    EXPECT_FALSE(IsExistingFolder(file)) << "a file is not a folder for media";
    EXPECT_FALSE(IsExistingFolder(temp.Path() + "/missing"));
    EXPECT_FALSE(IsExistingFolder(""));
}

TEST(ChooserStartTest, EmptyOpensAtHomeAndMissingOrFileOnTheCurrentDirectory) {
    pixolune::test::TempDir temp;
    const std::string file = temp.Path() + "/a-file";
    std::ofstream(file) << "x";
    const auto start = [](const std::string& initial) {
        return ChooserStartFolder(initial, IsExistingFolder, "/cwd", "/home/u");
    };
    EXPECT_EQ(temp.Path(), start(temp.Path()));
    EXPECT_EQ("/home/u", start(""));
    EXPECT_EQ("/cwd", start(temp.Path() + "/missing"));
    EXPECT_EQ("/cwd", start(file));
}

}  // namespace
}  // namespace pixolune::ui
