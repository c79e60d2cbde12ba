#include "platform/token_store.h"

namespace pixolune::platform {

StoredToken TokenStore::Read(const std::string& valueName) const {
    StoredToken stored;
    const RegistryRead file = ReadRegistryString(keyPath_, valueName);
    stored.fileStatus = file.status;
    stored.keyring = keyring_.Lookup(valueName);
    if (file.status == RegistryReadStatus::Ok) {
        // Newer than any keyring item, an empty one (a token cleared) included.
        stored.text = file.text;
        stored.place = file.text.empty() ? TokenPlace::None : TokenPlace::File;
    } else if (stored.keyring.secret && !stored.keyring.secret->empty()) {
        stored.text = *stored.keyring.secret;
        stored.place = TokenPlace::Keyring;
    }
    return stored;
}

SavedToken TokenStore::Write(const std::string& valueName, const std::string& label,
                             const std::string& token) const {
    KeyringAnswer keyring =
        token.empty() ? keyring_.Clear(valueName) : keyring_.Store(valueName, label, token);
    if (!keyring.Usable()) return WriteToFile(valueName, token, std::move(keyring));
    if (ReadRegistryString(keyPath_, valueName).status == RegistryReadStatus::Ok) {
        const Outcome removed = DeleteRegistryValue(keyPath_, valueName);
        if (!removed) {
            // Two copies would part at the next change: the file keeps the one token.
            (void)keyring_.Clear(valueName);
            KeyringAnswer why;
            why.problem = "its copy in the file could not be removed (" + removed.Error() + ")";
            return WriteToFile(valueName, token, std::move(why));
        }
    }
    SavedToken saved;
    saved.place = token.empty() ? TokenPlace::None : TokenPlace::Keyring;
    saved.keyring = std::move(keyring);
    return saved;
}

SavedToken TokenStore::WriteToFile(const std::string& valueName, const std::string& token,
                                   KeyringAnswer why) const {
    SavedToken saved;
    saved.keyring = std::move(why);
    saved.outcome = WriteRegistryString(keyPath_, valueName, token);
    saved.place = saved.outcome && !token.empty() ? TokenPlace::File : TokenPlace::None;
    return saved;
}

std::string TokenStore::FilePath(const std::string& valueName) const {
    return RegistryKeyFolder(keyPath_) + "/" + valueName;
}

std::string DescribeTokenPlace(const TokenStore& store, const std::string& valueName,
                               TokenPlace place) {
    switch (place) {
        case TokenPlace::Keyring:
            return "the desktop's keyring";
        case TokenPlace::File:
            return "the file " + store.FilePath(valueName);
        case TokenPlace::None:
            return "nowhere";
    }
    return "nowhere";
}

}  // namespace pixolune::platform
