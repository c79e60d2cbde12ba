#include "engine/kprop_file.h"

#include <fcntl.h>

#include <cerrno>

#include "engine/local_names.h"
#include "platform/atomic_file.h"
#include "platform/private_profile.h"
#include "platform/utf16.h"

namespace pixolune {
namespace {

// A sidecar is a few hundred bytes; anything far larger is not one of ours
// and is not worth keeping a copy of.
constexpr off_t kMaxSidecarCopyBytes = 1 << 20;

void EscapeEach(std::u16string& text, char16_t from, char16_t letter) {
    std::u16string escaped;
    escaped.reserve(text.size());
    for (const char16_t c : text) {
        if (c == from) {
            escaped.push_back(u'\\');
            escaped.push_back(letter);
        } else {
            escaped.push_back(c);
        }
    }
    text.swap(escaped);
}

// The whole file at `path` into `out`; false when it can't be opened or read.
bool ReadWholeFile(platform::FileSystem& fileSystem, const std::string& path, std::string& out) {
    out.clear();
    platform::FileHandle fd = platform::OpenRegularFile(fileSystem, path, O_RDONLY | O_NOFOLLOW);
    if (!fd) return false;
    char piece[4096];
    for (;;) {
        const ssize_t got = fileSystem.Read(fd.Get(), piece, sizeof piece);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) return true;
        out.append(piece, static_cast<size_t>(got));
    }
}

}  // namespace

void EscapeProfileText(std::u16string& text) {
    // A BEL or ESC from a caption would reach whatever shows the sidecar raw.
    for (char16_t& c : text) {
        if ((c < u' ' && c != u'\n' && c != u'\r') || c == u'\x7F') c = u' ';
    }
    EscapeEach(text, u'\\', u'\\');
    EscapeEach(text, u'\n', u'n');
    EscapeEach(text, u'\r', u'r');
}

std::string KpropDescription(const PluginSettings& settings, const CPixoluneItem& item) {
    std::string text;
    if (settings.KpropTitle) text += item.Caption;
    if (settings.KpropOwner) {
        if (!text.empty()) text += "\n";
        text += settings.AuthPrefix + " " + item.Owner;
    }
    return text;
}

std::string KpropFileBytes(const PluginSettings& settings, const CPixoluneItem& item) {
    std::u16string text = platform::Utf8ToUtf16(KpropDescription(settings, item));
    EscapeProfileText(text);
    platform::PrivateProfileWriter profile;
    profile.SetString(u"Enable", u"Description", u"1");
    profile.SetString(u"Description", u"Text", text);
    return profile.Bytes();
}

platform::Outcome WriteKpropSidecar(platform::FileSystem& fileSystem, const std::string& mediaPath,
                                    const PluginSettings& settings, const CPixoluneItem& item) {
    std::string sidecar = mediaPath;
    ReplaceExtension(sidecar, kSidecarSuffix);
    return platform::WriteFileAtomically(fileSystem, sidecar, KpropFileBytes(settings, item), 0644);
}

PendingSidecar::PendingSidecar(platform::FileSystem& fileSystem, const std::string& mediaPath)
    : fileSystem_(fileSystem), path_(mediaPath) {
    ReplaceExtension(path_, kSidecarSuffix);
}

platform::Outcome PendingSidecar::Write(const PluginSettings& settings, const CPixoluneItem& item) {
    struct stat status {};
    hadOne_ = fileSystem_.Lstat(path_.c_str(), &status) == 0;
    restorable_ = !hadOne_;
    if (hadOne_ && S_ISREG(status.st_mode) && status.st_size <= kMaxSidecarCopyBytes)
        restorable_ = ReadWholeFile(fileSystem_, path_, before_);
    platform::Outcome written =
        platform::WriteFileAtomically(fileSystem_, path_, KpropFileBytes(settings, item), 0644);
    written_ = static_cast<bool>(written);
    return written;
}

void PendingSidecar::Undo() {
    // What was there and could not be copied stays replaced by ours.
    if (!written_ || !restorable_) return;
    written_ = false;
    if (hadOne_)
        (void)platform::WriteFileAtomically(fileSystem_, path_, before_, 0644);
    else
        fileSystem_.Unlink(path_.c_str());
}

}  // namespace pixolune
