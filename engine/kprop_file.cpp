#include "engine/kprop_file.h"

#include "engine/local_names.h"
#include "platform/atomic_file.h"
#include "platform/private_profile.h"
#include "platform/utf16.h"

namespace pixolune {
namespace {

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

}  // namespace pixolune
