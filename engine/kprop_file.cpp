#include "engine/kprop_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

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

}  // namespace

void EscapeProfileText(std::u16string& text) {
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

bool WriteKpropSidecar(const std::string& mediaPath, const PluginSettings& settings,
                       const CPixoluneItem& item, std::string* error) {
    std::string sidecar = mediaPath;
    ReplaceExtension(sidecar, kSidecarSuffix);
    return platform::WriteFileAtomically(sidecar, KpropFileBytes(settings, item), 0644, error);
}

PendingSidecar::PendingSidecar(const std::string& mediaPath) : path_(mediaPath) {
    ReplaceExtension(path_, kSidecarSuffix);
}

bool PendingSidecar::Write(const PluginSettings& settings, const CPixoluneItem& item,
                           std::string* error) {
    struct stat status {};
    hadOne_ = ::lstat(path_.c_str(), &status) == 0;
    restorable_ = !hadOne_;
    if (hadOne_ && S_ISREG(status.st_mode) && status.st_size <= kMaxSidecarCopyBytes) {
        std::ifstream in(path_, std::ios::binary);
        before_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        restorable_ = in.good() || in.eof();
    }
    written_ = platform::WriteFileAtomically(path_, KpropFileBytes(settings, item), 0644, error);
    return written_;
}

void PendingSidecar::Undo() {
    // What was there and could not be copied stays replaced by ours.
    if (!written_ || !restorable_) return;
    written_ = false;
    if (hadOne_)
        (void)platform::WriteFileAtomically(path_, before_, 0644);
    else
        ::unlink(path_.c_str());
}

}  // namespace pixolune
