#include "ui/dialog_translations.h"

#include <dlfcn.h>

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QString>
#include <string>

namespace pixolune::ui {
namespace {

// The folder of the file this code was loaded from: the dialogs' module, or a
// program that links the dialogs.
QString OwnFolder() {
    Dl_info info{};
    if (!::dladdr(reinterpret_cast<void*>(&OwnFolder), &info) || !info.dli_fname) return {};
    const std::string path = info.dli_fname;
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? QString(".")
                                      : QString::fromStdString(path.substr(0, slash));
}

std::unique_ptr<QTranslator> Install(const QLocale& locale, const QString& name,
                                     const QStringList& folders) {
    for (const QString& folder : folders) {
        auto translator = std::make_unique<QTranslator>();
        if (!translator->load(locale, name, "_", folder)) continue;
        QCoreApplication::installTranslator(translator.get());
        return translator;
    }
    return nullptr;
}

}  // namespace

DialogTranslations::DialogTranslations(const QLocale& locale) {
    const QString own = OwnFolder();
    ours_ = Install(locale, "pixolune",
                    {own + "/translations", own + "/" PIXOLUNE_TRANSLATIONS_FROM_DIALOGSDIR});
    qtOwn_ = Install(locale, "qtbase", {QLibraryInfo::path(QLibraryInfo::TranslationsPath)});
}

// A translator removes itself from the application when it goes.
DialogTranslations::~DialogTranslations() = default;

}  // namespace pixolune::ui
