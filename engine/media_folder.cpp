#include <string>

#include "engine/feed_engine.h"
#include "engine/media_folder_hold.h"
#include "model/host_link.h"
#include "model/media_folder_rule.h"

namespace pixolune {

std::string CFeedEngine::MediaFolder() const {
    if (folderHold_.Active()) return *folderHold_.Active();
    return configuration_.Settings().ImgFolder;
}

bool CFeedEngine::TakeMediaFolder() {
    const std::string folder = configuration_.Settings().ImgFolder;
    const platform::Outcome usable = platform::MediaFolderProblem(FileSystem, folder);
    if (folderHold_.Holds(folder) && usable) return true;
    if (const auto& held = folderHold_.Active()) {
        const bool changed = *held != folder;
        if (changed)
            Log("DownloadNext(): the media folder changed from %s to %s", held->c_str(),
                folder.c_str());
        LeaveMediaFolder(changed ? DownloadPipeline::Parts::Removed
                                 : DownloadPipeline::Parts::KeptToResume);
    }
    if (!usable) {
        folderHold_.SayProblemOnce(folder, "DownloadNext(): the media folder " + folder +
                                               " can't be used (" + usable.Error() + ")");
        Health.FolderUnusable(folder, folderHold_.LastProblem());
        return false;
    }
    if (!folderHold_.Lock(folder)) {
        if (folderHold_.HeldByAnotherHost())
            Health.FolderHeldByAnotherHost();
        else
            Health.FolderUnusable(folder, folderHold_.LastProblem());
        return false;
    }
    SettleInMediaFolder(folder);
    return true;
}

void CFeedEngine::SettleInMediaFolder(const std::string& folder) {
    const MediaFolderHold::Settled settled = folderHold_.Settle(folder);
    Health.FolderUsable(folder);
    // A new folder lacks what the last one got: every feed is read for it again.
    if (settled == MediaFolderHold::Settled::OtherThanLast) configuration_.MakeFeedsDue();
    if (settled != MediaFolderHold::Settled::SameAsLast) pruneDeferral_.Reset();
    RemoveLeftoverFiles();
    ReadLocalFileList();
}

void CFeedEngine::LeaveMediaFolder(DownloadPipeline::Parts parts) {
    // A stop keeps the parts to go on from; a folder given up keeps none.
    CancelDownloads(parts);
    if (!folderHold_.Active()) return;
    if (LocalFiles.Unsaved()) WriteLocalFileList();
    folderHold_.Release();
    LocalFiles.Clear();
    BatchActive = 0;
}

}  // namespace pixolune
