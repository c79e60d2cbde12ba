#include "engine/folder_records.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "engine/list_file.h"
#include "engine/local_names.h"
#include "engine/users_sidecars.h"
#include "engine_test_support.h"
#include "platform/url_parts.h"

namespace pixolune {
namespace {

// What the lookups must answer, found by scanning every record.
bool ScanHasName(const LocalFileMap& files, const std::string& name) {
    for (const auto& [url, record] : files)
        if (record.LocalName == name) return true;
    return false;
}

bool ScanSharesSidecar(const LocalFileMap& files, const std::string& sidecar) {
    for (const auto& [url, record] : files) {
        std::string own = record.LocalName;
        ReplaceExtension(own, kSidecarSuffix);
        if (own == sidecar) return true;
    }
    return false;
}

bool ScanHasOldAddress(const LocalFileMap& files, const std::string& url,
                       const std::string& name) {
    for (const auto& [recorded, record] : files)
        if (record.LocalName == name && recorded != url &&
            platform::AddressWithoutQuery(recorded) == platform::AddressWithoutQuery(url))
            return true;
    return false;
}

// Stores, moves, drops and taken-in records in random order, over few names
// and addresses so that they collide: the lookups without a scan answer as a
// scan does after every step.
TEST(FolderRecordsTest, LookupsAnswerAsAScanDoesThroughEveryChange) {
    std::mt19937 random(20261209);
    const auto pick = [&random](int below) {
        return static_cast<int>(random() % static_cast<unsigned>(below));
    };
    const auto urlOf = [](int media, int signature) {
        return "http://h/m" + std::to_string(media) + ".jpg?sig=" + std::to_string(signature);
    };
    const auto nameOf = [](int media, int kind) {
        return "m" + std::to_string(media) + (kind == 0 ? ".jpg" : ".mp4");
    };
    FolderRecords records;
    for (int step = 0; step < 4000; ++step) {
        const std::string url = urlOf(pick(12), pick(3));
        const std::string name = nameOf(pick(12), pick(2));
        switch (pick(4)) {
            case 0:
                records.Store(url, name);
                ASSERT_EQ(records.Find(url)->LocalName, name);
                break;
            case 1:
                if (const auto old = records.OldAddressOf(url, name)) {
                    records.MoveAddress(*old, url);
                    ASSERT_EQ(records.Find(*old), nullptr);
                    ASSERT_EQ(records.Find(url)->LocalName, name);
                }
                break;
            case 2:
                records.Drop(url);
                ASSERT_EQ(records.Find(url), nullptr);
                break;
            default:
                records.TEST_Put(CFileData{name, url, 0});
                break;
        }
        const LocalFileMap& files = records.Map();
        for (int media = 0; media < 12; ++media) {
            for (int kind = 0; kind < 2; ++kind) {
                const std::string probe = nameOf(media, kind);
                ASSERT_EQ(records.HasName(probe), ScanHasName(files, probe)) << step;
                std::string sidecar = probe;
                ReplaceExtension(sidecar, kSidecarSuffix);
                ASSERT_EQ(records.SharesSidecar(sidecar), ScanSharesSidecar(files, sidecar));
                const std::string address = urlOf(media, pick(3));
                ASSERT_EQ(records.OldAddressOf(address, probe).has_value(),
                          ScanHasOldAddress(files, address, probe))
                    << step;
            }
        }
    }
}

// A power cut after a store's sidecar and before its rename leaves the
// journal's note and the sidecar, without the file: the sidecar goes when the
// folder is read, unless it is the user's or another file shares it.
TEST(FolderRecordsTest, ASidecarOfAStoreCutShortGoesWhenTheFolderIsRead) {
    test::TempDir folder;
    std::string journal;
    for (const char* name : {"cut.jpg", "users.jpg", "shared.jpg"})
        journal += std::string("http://h/") + name + "\r\n" + name + "\r\n";
    test::WriteFile(folder.File(kJournalFileName), journal);
    for (const char* sidecar : {"cut.kprop", "users.kprop", "shared.kprop"})
        test::WriteFile(folder.File(sidecar), "caption");
    test::WriteFile(folder.File("shared.png"), "the user's photo");
    test::WriteFile(folder.File(kUsersSidecarsFileName), std::string(kUsersSidecarsHeader) + "\nusers.kprop\n");

    FolderRecords records;
    ASSERT_TRUE(records.Load(platform::RealFileSystem(), folder.Path()).journal.Readable());
    EXPECT_FALSE(test::Exists(folder.File("cut.kprop")));
    EXPECT_TRUE(test::Exists(folder.File("users.kprop")));
    EXPECT_TRUE(test::Exists(folder.File("shared.kprop")));
    EXPECT_EQ(records.Size(), 0u);
}

}  // namespace
}  // namespace pixolune
