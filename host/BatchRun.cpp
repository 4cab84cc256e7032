// scansione-batch: the scan window without a person. It runs the start routine with the real
// window, presses the window's own commands in order and prints what the start routine would
// show. Nothing in a run waits for a person: every dialog of the window and of its component
// is answered here, through the window's services; message boxes go to standard error.
#include "acquisition/ComponentDialogs.h"
#include "acquisition/ScanComponent.h"
#include "common/UserSettings.h"
#include "common/VbConvert.h"
#include "host/StartRoutine.h"
#include "scan_window/FormScansione.h"
#include "settings/ScanSettings.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QEventLoop>
#include <QHash>
#include <QTimer>

#include <cstdio>
#include <memory>
#include <optional>

namespace {

enum ExitStatus { exitFiles = 0, exitNoFiles = 1, exitFailed = 2 };

void printTo(FILE* stream, QString text) {
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    if (!text.endsWith(QLatin1Char('\n')))
        text += QLatin1Char('\n');
    std::fputs(text.toLocal8Bit().constData(), stream);
    std::fflush(stream);
}

void printError(const QString& text) {
    printTo(stderr, QStringLiteral("scansione-batch: ") + text);
}

struct Options {
    int scans = 1;
    bool adf = false;
    bool duplex = false;
    bool info = false;
    std::optional<QString> source;
    int timeoutSeconds = 300;
    QString ini;
    bool help = false;
};

/// The user's settings, read through, but written only for this run: a batch run must not
/// change the choices of the person who uses the window ("AutoADF" ticked by --adf, the
/// scanner picked by --source). "DefaultSource" reads as the scanner --source names.
class RunSettings : public UserSettings {
public:
    explicit RunSettings(std::shared_ptr<UserSettings> base) : m_base(std::move(base)) {}

    std::function<std::optional<QString>()> forcedSource;

    QString read(const QString& key, const QString& defaultValue) const override {
        if (key == QLatin1String("DefaultSource") && forcedSource)
            if (const auto index = forcedSource())
                return *index;
        if (const auto it = m_overlay.constFind(key); it != m_overlay.constEnd())
            return it->value_or(defaultValue);
        return m_base->read(key, defaultValue);
    }
    void write(const QString& key, const QString& value) override { m_overlay[key] = value; }
    void remove(const QString& key) override { m_overlay[key] = std::nullopt; }

private:
    std::shared_ptr<UserSettings> m_base;
    QHash<QString, std::optional<QString>> m_overlay;
};

/// The component's dialogs without a person: no search or progress window; the source
/// choice is answered as its default button would, keeping the highlighted source.
class BatchComponentDialogs : public ComponentDialogs {
public:
    std::optional<int> chooseSource(const QStringList& names, int current) override {
        printError(QStringLiteral("finestra \"Seleziona sorgente\" chiusa col pulsante "
                                  "predefinito: %1")
                       .arg(names.value(current)));
        if (current < 0)
            return std::nullopt;
        return current;
    }
};

/// The PDF import's file dialog without a person: cancelled.
std::optional<QString> noPdfChosen(QWidget*, const QString&) {
    printError(QStringLiteral("finestra \"Importa PDF\" chiusa senza scelta"));
    return std::nullopt;
}

/// The index of the source `wanted` names (its exact name, or its index), or nullopt.
std::optional<int32_t> findSource(ScanComponent& component, const QString& wanted) {
    const int32_t count = component.SourceCount();
    for (int32_t i = 0; i < count; ++i)
        if (component.SourceName(i) == wanted)
            return i;
    if (const auto index = toInt32(wanted); index && *index >= 0 && *index < count)
        return *index;
    return std::nullopt;
}

QString sourceList(ScanComponent& component) {
    QStringList names;
    const int32_t count = component.SourceCount();
    for (int32_t i = 0; i < count; ++i)
        names << QStringLiteral("%1: %2").arg(i).arg(component.SourceName(i));
    return names.join(QStringLiteral(", "));
}

/// Presses the window's commands once the session is shown.
class Driver : public QObject {
public:
    Driver(const Options& options, FormScansione& form) : m_options(options), m_form(form) {}

    bool failed = false;
    bool timedOut = false;

    void start() {
        // Queued: the window's modal loop must be running before the commands are pressed.
        QTimer::singleShot(0, this, [this] { drive(); });
    }

private:
    void drive() {
        ScanComponent* component = m_form.component();
        if (!component || (m_options.source && !checkSource(*component))) {
            failed = true;
            m_form.ImgButtons_Click(FormScansione::cmdAnnulla);
            return;
        }
        connect(component, &ScanComponent::PostScan, this, [this](int32_t flag) {
            if (flag != 0)
                ++m_ends;
        });

        if (m_options.info) {
            m_form.ImgButtons_Click(FormScansione::cmdInfo);
            m_form.ImgButtons_Click(FormScansione::cmdAnnulla);
            return;
        }

        if (m_options.adf)
            m_form.tick(FormScansione::OptionBox::ForzaAdf, true);
        if (m_options.duplex)
            m_form.tick(FormScansione::OptionBox::FronteRetro, true);
        for (int i = 0; i < m_options.scans && m_form.isVisible(); ++i) {
            if (!scanOnce()) {
                timedOut = true;
                printError(QStringLiteral("nessuna fine acquisizione entro %1 s (scansione %2)")
                               .arg(m_options.timeoutSeconds)
                               .arg(i + 1));
                break;
            }
        }
        if (m_form.isVisible())
            m_form.ImgButtons_Click(FormScansione::cmdConferma);
    }

    bool checkSource(ScanComponent& component) {
        try {
            const auto index = findSource(component, *m_options.source);
            if (!index) {
                printError(QStringLiteral("scanner \"%1\" non trovato; disponibili: %2")
                               .arg(*m_options.source, sourceList(component)));
                return false;
            }
            if (component.SourceIndex() != *index) {
                printError(
                    QStringLiteral("scanner \"%1\" non selezionabile").arg(*m_options.source));
                return false;
            }
            return true;
        } catch (const std::exception& e) {
            printError(QString::fromLocal8Bit(e.what()));
            return false;
        }
    }

    /// One "Scansione documento" and the wait for its end event. False on a timeout: the
    /// acquisition sent nothing, neither an image nor its end, for --timeout seconds.
    bool scanOnce() {
        const int endsBefore = m_ends;
        m_form.ImgButtons_Click(FormScansione::cmdScansione);
        ScanComponent* component = m_form.component();
        if (m_ends > endsBefore || !component || !m_form.isVisible())
            return true;

        QEventLoop loop;
        QTimer silence;
        silence.setSingleShot(true);
        bool ok = true;
        if (component->DataSourceOpen() == 0) {
            // No acquisition running (the source would not open, or the device refused to
            // start): only an end already on its way can still come.
            silence.setInterval(1000);
        } else {
            silence.setInterval(m_options.timeoutSeconds * 1000);
            connect(&silence, &QTimer::timeout, &loop, [&ok] { ok = false; });
        }
        connect(&silence, &QTimer::timeout, &loop, &QEventLoop::quit);
        connect(component, &ScanComponent::PostScan, &loop, [&](int32_t flag) {
            if (flag != 0)
                loop.quit();
            else
                silence.start(); // the time counts from the latest image
        });
        connect(&m_form, &QDialog::finished, &loop, &QEventLoop::quit);
        silence.start();
        loop.exec();
        return ok;
    }

    Options m_options;
    FormScansione& m_form;
    int m_ends = 0;
};

std::optional<Options> parse(QCommandLineParser& parser, const QStringList& arguments) {
    parser.setApplicationDescription(QStringLiteral(
        "Runs one scan session of the Scansione window without a person: it presses\n"
        "\"Scansione documento\" (once, or --scans times), waits for each acquisition to end,\n"
        "presses \"Conferma\" and prints the produced files, one a line, after the line\n"
        "\"Scansione effettuata. Files:\". Message boxes and dialogs that open during the run are\n"
        "answered with their default button; their text goes to standard error.\n"
        "Settings: the INI file of SCANSIONE_INI (else /etc/scansione/scanner.ini), or --ini.\n"
        "Without DISPLAY and WAYLAND_DISPLAY the window runs on Qt's offscreen platform.\n"
        "Exit status: 0 files produced, 1 no file, 2 the session failed (reason on standard\n"
        "error: a result code such as SCAN_NOT_AVAILABLE, a missing INI file, an unknown\n"
        "scanner, a timeout, or a bad option)."));
    parser.addHelpOption();
    const QCommandLineOption scans(QStringLiteral("scans"),
                                   QStringLiteral("Press \"Scansione documento\" N times (0-99)."),
                                   QStringLiteral("N"), QStringLiteral("1"));
    const QCommandLineOption adf(QStringLiteral("adf"),
                                 QStringLiteral("Tick \"Forza ADF\" first (a feeder batch)."));
    const QCommandLineOption duplex(QStringLiteral("duplex"),
                                    QStringLiteral("Tick \"Fronte retro\" first (both sides)."));
    const QCommandLineOption source(
        QStringLiteral("source"),
        QStringLiteral("Use the scanner with this exact name, or this index from 0, without the "
                       "selection dialog."),
        QStringLiteral("NAME"));
    const QCommandLineOption info(
        QStringLiteral("info"),
        QStringLiteral("Print the capability report of the scanner instead of scanning."));
    const QCommandLineOption timeout(
        QStringLiteral("timeout"),
        QStringLiteral("Give up an acquisition that sends nothing for this many seconds "
                       "(default 300)."),
        QStringLiteral("SECONDS"), QStringLiteral("300"));
    const QCommandLineOption ini(QStringLiteral("ini"),
                                 QStringLiteral("The settings INI file instead of the default."),
                                 QStringLiteral("FILE"));
    parser.addOptions({scans, adf, duplex, source, info, timeout, ini});
    if (!parser.parse(arguments)) {
        printError(parser.errorText());
        return std::nullopt;
    }
    Options o;
    if (parser.isSet(QStringLiteral("help"))) {
        o.help = true;
        return o;
    }
    if (!parser.positionalArguments().isEmpty()) {
        printError(QStringLiteral("argomento inatteso: ") + parser.positionalArguments().join(' '));
        return std::nullopt;
    }
    const auto n = toInt32(parser.value(scans));
    if (!n || *n < 0 || *n > 99 || parser.value(scans).contains(QLatin1Char('.'))) {
        printError(QStringLiteral("--scans vuole un numero intero da 0 a 99"));
        return std::nullopt;
    }
    o.scans = *n;
    const auto t = toInt32(parser.value(timeout));
    if (!t || *t < 1) {
        printError(QStringLiteral("--timeout vuole un numero di secondi maggiore di 0"));
        return std::nullopt;
    }
    o.timeoutSeconds = *t;
    o.adf = parser.isSet(adf);
    o.duplex = parser.isSet(duplex);
    o.info = parser.isSet(info);
    if (parser.isSet(source))
        o.source = parser.value(source);
    o.ini = parser.value(ini);
    return o;
}

} // namespace

int main(int argc, char** argv) {
    // Scripts and machines without a display: the real window on Qt's offscreen platform.
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    QCommandLineParser parser;
    const auto options = parse(parser, QCoreApplication::arguments());
    if (!options)
        return exitFailed;
    if (options->help) {
        printTo(stdout, parser.helpText());
        return exitFiles;
    }

    ScanSettings settings = options->ini.isEmpty() ? ScanSettings() : ScanSettings(options->ini);

    bool sessionRan = false;
    bool sessionFailed = false;
    bool timedOut = false;
    int filesProduced = 0;
    bool reportPrinted = false;

    StartRoutineServices services;
    services.messageBox = [&](const QString& prompt, const QString&) {
        // After the session the start routine lists the files; before it, it only warns.
        if (sessionRan && !sessionFailed)
            printTo(stdout, prompt);
        else
            printError(prompt);
    };
    services.runSession = [&](ScanSettings& record) -> std::optional<QStringList> {
        WindowServices window;
        auto runSettings = std::make_shared<RunSettings>(std::make_shared<UserSettings>());
        window.userSettings = runSettings;
        window.messageBox = [](QWidget*, const QString& prompt, const QString& caption) {
            printError(caption + QStringLiteral(": ") + prompt);
        };
        window.showInfo = [&](const QString& report) {
            printTo(stdout, report);
            reportPrinted = true;
        };
        window.componentDialogs = [](QWidget*) {
            return std::make_shared<BatchComponentDialogs>();
        };
        window.choosePdf = noPdfChosen;
        window.fillDefaults();
        ScanComponent* component = nullptr;
        auto make = window.createComponent;
        window.createComponent = [make, &component](std::shared_ptr<ComponentDialogs> dialogs) {
            auto c = make(std::move(dialogs));
            component = c.get();
            return c;
        };
        if (options->source) {
            runSettings->forcedSource = [&]() -> std::optional<QString> {
                if (!component)
                    return std::nullopt;
                try {
                    if (const auto index = findSource(*component, *options->source))
                        return decimalText(*index);
                } catch (const std::exception&) {
                }
                return std::nullopt;
            };
        }

        FormScansione form(window);
        Driver driver(*options, form);
        QObject::connect(&form, &FormScansione::sessionShown, &driver,
                         [&driver] { driver.start(); });
        QString code;
        int16_t openDocument = 0;
        std::optional<QStringList> files = form.EseguiScansione(&record, code, openDocument);
        component = nullptr;
        sessionRan = true;
        timedOut = driver.timedOut;
        if (!files) {
            sessionFailed = true;
            printError(code.isEmpty() ? QStringLiteral("sessione non avviata") : code);
            return std::nullopt;
        }
        if (driver.failed) {
            sessionFailed = true;
            return std::nullopt;
        }
        filesProduced = static_cast<int>(files->size());
        if (options->info)
            return QStringList(); // the report was the output
        return files;
    };

    runStartRoutine(settings, services);

    if (!sessionRan || sessionFailed || timedOut)
        return exitFailed;
    if (options->info)
        return reportPrinted ? exitFiles : exitNoFiles;
    return filesProduced > 0 ? exitFiles : exitNoFiles;
}
