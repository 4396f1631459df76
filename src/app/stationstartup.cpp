#include "stationstartup.h"

#include "configmanager.h"
#include "mainwindow.h"
#include "messagebox.h"
#include "processrunner.h"
#include "settings.h"
#include "snapimage.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDebug>
#include <QLibraryInfo>
#include <QLocale>
#include <QThreadPool>
#include <QTranslator>
#include <cstdio>

namespace StationStartup {

void showSettingsProblem(QWidget* parent, const Settings& settings)
{
    const QString problem = settings.problemText();
    if (!problem.isEmpty())
        MessageBox::warning(parent, problem);
}

QString endpointText()
{
    return Settings::EndpointURL().adjusted(QUrl::RemoveUserInfo).toString();
}

void installTranslators(QApplication& app)
{
    auto* translator = new QTranslator(&app);
    for (const QString& language : QLocale::system().uiLanguages()) {
        const QString baseName = QStringLiteral("ORVA_") + QLocale(language).name();
        if (translator->load(QStringLiteral(":/i18n/") + baseName)) {
            app.installTranslator(translator);
            break;
        }
    }
    // Qt's own texts (network errors, dialog buttons) in German, whatever the machine's locale.
    auto* qtTranslator = new QTranslator(&app);
    if (qtTranslator->load(QStringLiteral("qtbase_de"), QLibraryInfo::location(QLibraryInfo::TranslationsPath)))
        app.installTranslator(qtTranslator);
    else
        qWarning() << "Qt's German translation (qttranslations5-l10n) is missing: some texts stay English";
}

int run(QApplication& app)
{
    installTranslators(app);
    // Scripts, tar and downloads still running must not keep the station from ending.
    QObject::connect(&app, &QCoreApplication::aboutToQuit, [] { ProcessRunner::stopAll(); });

    MainWindow window;
    QCoreApplication::setOrganizationName(QStringLiteral("Tarvelin"));
    QCoreApplication::setApplicationName(QStringLiteral("NimbrelProduction"));
    Settings settings;

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Flashtool for flashing Tarvelin Nimbrel 4r0417 Devices"));
    parser.addHelpOption();
    const QCommandLineOption snapOption(
        QStringLiteral("snap"),
        QStringLiteral(
            "Provide the name of the snap image to flash. WARNING: Only the provided image will be flashed!"),
        QStringLiteral("image-path"));
    parser.addOption(snapOption);
    // Parsed by hand rather than with process(): that calls exit() while the window and the
    // settings are still alive, and the program may crash on the way out.
    if (!parser.parse(QCoreApplication::arguments())) {
        std::fprintf(stderr, "%s\n", qPrintable(parser.errorText()));
        return 1;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        std::fprintf(stdout, "%s", qPrintable(parser.helpText()));
        return 0;
    }

    // Before the spec request goes out on the defaults; after the command line, so that
    // --help is not held up by a box.
    showSettingsProblem(&window, settings);
    ConfigManager configManager;
    configManager.requestSpecs();

    const SnapImage snap = SnapImage::parse(parser.value(snapOption));
    if (snap.valid) {
        qDebug() << "A snap image was given to set as default!";
        qDebug() << "Art.:" << snap.article << "| SwVer.:" << snap.swVersion << "| Date:" << snap.date
                 << "| CommitHash:" << snap.commitHash;
        window.setDefaultImage(snap.article, snap.swVersion, snap.date, snap.commitHash);
    } else {
        qDebug() << "Ungültiges Snap-Image-Format!";
    }

    window.showMaximized();
    window.setEndpointText(endpointText());
    const int exitCode = app.exec();
    // Pool tasks see the stop at once; their children get a short grace before they are killed.
    QThreadPool::globalInstance()->waitForDone(3000);
    return exitCode;
}

} // namespace StationStartup
