// Every shipped language against the sources: lupdate, run on a copy of the
// language's .ts file, must find every text of the dialogs translated, and
// each translation must keep its text's placeholders and mnemonic.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStringList>
#include <QTemporaryDir>
#include <QXmlStreamReader>

namespace pixolune::ui {
namespace {

QStringList ShippedLanguages() {
    return QDir(PIXOLUNE_TS_DIR).entryList({"*.ts"}, QDir::Files, QDir::Name);
}

QStringList TranslatedSources() {
    QFile list(PIXOLUNE_TRANSLATED_SOURCES_LIST);
    if (!list.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(list.readAll()).split('\n', Qt::SkipEmptyParts);
}

QStringList Placeholders(const QString& text) {
    QStringList found;
    for (const auto& match : QRegularExpression("%[1-9]").globalMatch(text))
        found << match.captured();
    found.sort();
    return found;
}

int Mnemonics(QString text) {
    return static_cast<int>(text.remove("&&").count('&'));
}

// What is wrong with each message of a .ts file, one line each.
QStringList Faults(const QString& tsPath) {
    QFile file(tsPath);
    if (!file.open(QIODevice::ReadOnly)) return {"cannot read " + tsPath};
    QStringList faults;
    QXmlStreamReader xml(&file);
    QString context, source;
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement) continue;
        if (xml.name() == u"name") {
            context = xml.readElementText();
        } else if (xml.name() == u"source") {
            source = xml.readElementText();
        } else if (xml.name() == u"translation") {
            const QString type = xml.attributes().value("type").toString();
            const QString translation = xml.readElementText();
            const QString where = context + ": \"" + source.left(60) + "\"";
            if (!type.isEmpty())
                faults << where + " is " + type;
            else if (translation.isEmpty())
                faults << where + " has no translation";
            else if (Placeholders(translation) != Placeholders(source))
                faults << where + " changes the placeholders";
            else if (Mnemonics(translation) != Mnemonics(source))
                faults << where + " changes the mnemonic";
        }
    }
    if (xml.hasError()) faults << tsPath + ": " + xml.errorString();
    return faults;
}

TEST(TranslationsTest, EveryShippedLanguageTranslatesEveryTextOfTheSources) {
    const QStringList languages = ShippedLanguages();
    ASSERT_TRUE(languages.contains("pixolune_de.ts")) << "German is shipped";
    const QStringList sources = TranslatedSources();
    ASSERT_FALSE(sources.isEmpty());
    for (const QString& language : languages) {
        QTemporaryDir work;
        const QString copy = work.filePath(language);
        ASSERT_TRUE(QFile::copy(QDir(PIXOLUNE_TS_DIR).filePath(language), copy));
        QProcess lupdate;
        lupdate.setProcessChannelMode(QProcess::MergedChannels);
        lupdate.start(PIXOLUNE_LUPDATE, QStringList{"-no-obsolete", "-locations", "none", "-I",
                                                    PIXOLUNE_SOURCE_ROOT} +
                                            sources + QStringList{"-ts", copy});
        ASSERT_TRUE(lupdate.waitForFinished(60000));
        ASSERT_EQ(0, lupdate.exitCode()) << lupdate.readAll().toStdString();
        const QStringList faults = Faults(copy);
        EXPECT_TRUE(faults.isEmpty()) << language.toStdString() << ":\n"
                                      << faults.join('\n').toStdString();
    }
}

}  // namespace
}  // namespace pixolune::ui
