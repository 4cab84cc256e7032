// scansione-batch: the scan window without a person. It runs the start routine with the real
// window, presses the window's own commands in order and prints what the start routine would
// show. Nothing in a run waits for a person: every dialog of the window and of its component
// is answered here, through the window's services; message boxes go to standard error.
#include "host/BatchRun.h"
#include "acquisition/ComponentDialogs.h"
#include "acquisition/ScanComponent.h"
#include "common/ShownText.h"
#include "common/UserSettings.h"
#include "common/VbConvert.h"
#include "host/BatchConsole.h"
#include "host/OutputPlacement.h"
#include "host/StartRoutine.h"
#include "scan_window/ErrorTrap.h"
#include "scan_window/FormScansione.h"
#include "settings/ScanSettings.h"

#include <QCommandLineParser>
#include <QEventLoop>
#include <QHash>
#include <QRegularExpression>
#include <QTimer>

#include <algorithm>
#include <memory>
#include <optional>

namespace {

struct Options {
    int scans = 1;
    bool adf = false;
    bool duplex = false;
    bool info = false;
    bool list = false;
    bool force = false;
    bool quiet = false;
    bool recover = false;
    std::optional<QString> source;
    std::optional<QString> output;
    std::optional<QString> pdfa; // the settings' "PDFA" for this run
    std::optional<QString> ocr;  // --ocr: the languages, empty for those of the settings
    bool blankSides = false;     // the settings' "PagineBianche" 1 for this run
    bool turnUpsideDown = false; // "RuotaAutomatica"
    bool straighten = false;     // "Raddrizza"
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
    explicit BatchComponentDialogs(BatchConsole& console) : m_console(console) {}

    std::optional<int> chooseSource(const QStringList& names, int current) override {
        m_console.note(QStringLiteral("finestra \"Seleziona sorgente\" chiusa col pulsante "
                                      "predefinito: %1")
                           .arg(names.value(current)));
        if (current < 0)
            return std::nullopt;
        return current;
    }

private:
    BatchConsole& m_console;
};

/// The wait for the pages' text at "Conferma" as the progress line; nobody presses its button,
/// so the run waits for every page (the component bounds each one's recognition).
class ConsoleTextProgress : public TextRecognitionProgress {
public:
    explicit ConsoleTextProgress(BatchConsole& console) : m_console(console) {}
    void showPage(int page, int count) override {
        m_console.progress(
            QStringLiteral("Riconoscimento del testo: pagina %1 di %2").arg(page).arg(count));
    }

private:
    BatchConsole& m_console;
};

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

/// Where --output puts a document of the format `ResultFormat` names; nullopt for a format
/// the window writes nothing for.
std::optional<DestinationKind> destinationKind(const QString& format) {
    if (format == QLatin1String("PDF") || format == QLatin1String("TIFF"))
        return DestinationKind::File;
    if (format == QLatin1String("JPEG"))
        return DestinationKind::Folder;
    return std::nullopt;
}

/// Presses the window's commands once the session is shown.
class Driver : public QObject {
public:
    /// `storeReplaced` is told when a feeder batch has emptied the store: what went wrong in
    /// an earlier acquisition no longer concerns the pages the document will have.
    Driver(const Options& options, FormScansione& form, BatchConsole& console,
           std::function<void()> reportStart, std::function<void()> storeReplaced)
        : m_options(options), m_form(form), m_console(console),
          m_reportStart(std::move(reportStart)), m_storeReplaced(std::move(storeReplaced)) {}

    bool failed = false;
    bool timedOut = false;
    /// "Conferma" left the window open: the document could not be written.
    bool outputFailed = false;
    /// Pages in the store when "Conferma" was pressed.
    int pagesConfirmed = 0;
    /// Pages left in the session cache for --recover after a failed output.
    int pagesKept = 0;

    void start() {
        // Queued: the window's modal loop must be running before the commands are pressed.
        QTimer::singleShot(0, this, [this] { drive(); });
    }

private:
    void drive() {
        ScanComponent* component = m_form.component();
        m_reportStart();
        if (!component || (m_options.source && !checkSource(*component))) {
            failed = true;
            m_form.ImgButtons_Click(FormScansione::cmdAnnulla);
            return;
        }
        if (const auto index = tryCall(component, &ScanComponent::SourceIndex);
            index && *index >= 0)
            m_console.note(
                QStringLiteral("scanner: ") +
                tryCall(component, &ScanComponent::SourceName, *index).value_or(QString()));
        // A side left out, a page turned: what the component did on its own is said.
        connect(component, &ScanComponent::PageCleaned, this,
                [this](const QString& operation, const QString& detail) {
                    m_console.error(detail.isEmpty() ? operation
                                                     : operation + QStringLiteral(": ") + detail);
                });
        connect(component, &ScanComponent::PostScan, this, [this](int32_t flag) {
            if (flag != 0) {
                ++m_ends;
                return;
            }
            // The window has filed the image by now: it was connected first.
            const int pages = m_form.pages().count();
            if (m_firstImageOfScan && pages == 1)
                reportReplaced(); // a feeder batch emptied the store before its first image
            m_firstImageOfScan = false;
            m_console.progress(QStringLiteral("Pagina %1 acquisita…").arg(pages));
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
            m_scan = i + 1;
            m_pagesBefore = m_form.pages().count();
            m_firstImageOfScan = true;
            const bool ended = scanOnce();
            // A feeder batch that brought no image has emptied the store all the same.
            if (m_firstImageOfScan && m_form.pages().count() == 0)
                reportReplaced();
            if (!ended) {
                timedOut = true;
                m_console.error(
                    QStringLiteral("nessuna fine acquisizione entro %1 s (scansione %2)")
                        .arg(m_options.timeoutSeconds)
                        .arg(i + 1));
                break;
            }
        }
        if (m_form.isVisible())
            confirm();
    }

    void confirm() {
        pagesConfirmed = m_form.pages().count();
        m_console.progress(QStringLiteral("Scrittura del documento…"));
        m_form.ImgButtons_Click(FormScansione::cmdConferma);
        if (m_form.isVisible()) {
            // The window keeps its pages after a failed output so that a person can free
            // space and confirm again; nobody will here. Its message box has said why. The
            // pages stay for --recover, as a killed run's do, instead of going with the window.
            outputFailed = true;
            if (ScanComponent* component = m_form.component())
                pagesKept = component->keepPagesForRecovery();
            m_form.ImgButtons_Click(FormScansione::cmdAnnulla);
        }
        m_console.clearProgress();
    }

    bool checkSource(ScanComponent& component) {
        try {
            const auto index = findSource(component, *m_options.source);
            if (!index) {
                m_console.error(QStringLiteral("scanner \"%1\" non trovato; disponibili: %2")
                                    .arg(*m_options.source, sourceList(component)));
                return false;
            }
            if (component.SourceIndex() != *index) {
                m_console.error(
                    QStringLiteral("scanner \"%1\" non selezionabile").arg(*m_options.source));
                return false;
            }
            return true;
        } catch (const std::exception& e) {
            m_console.error(QString::fromLocal8Bit(e.what()));
            return false;
        }
    }

    /// One "Scansione documento" and the wait for its end event. False on a timeout: the
    /// acquisition sent nothing, neither an image nor its end, for --timeout seconds.
    bool scanOnce() {
        const int endsBefore = m_ends;
        m_console.progress(QStringLiteral("Acquisizione in corso…"));
        m_form.ImgButtons_Click(FormScansione::cmdScansione);
        ScanComponent* component = m_form.component();
        if (m_ends > endsBefore || !component || !m_form.isVisible())
            return true;

        QEventLoop loop;
        QTimer silence;
        silence.setSingleShot(true);
        bool ok = true;
        if (component->DataSourceOpen() == 0) {
            // No acquisition running: the source would not open (the window's message box
            // has said why), or the device refused to start. Only an end already on its way
            // can still come.
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

    /// A feeder batch starts the document again, as in the window: the pages of the batch
    /// before are dropped. Said, since a script asked for both.
    void reportReplaced() {
        m_storeReplaced();
        if (m_pagesBefore == 0)
            return;
        const QString pages = m_pagesBefore == 1
                                  ? QStringLiteral("la pagina")
                                  : QStringLiteral("le %1 pagine").arg(m_pagesBefore);
        m_console.error(m_scan <= 10 ? QStringLiteral("il %1 lotto sostituisce %2 del %3")
                                           .arg(ordinal(m_scan), pages, ordinal(m_scan - 1))
                                     : QStringLiteral("il lotto %1 sostituisce %2 del lotto %3")
                                           .arg(m_scan)
                                           .arg(pages)
                                           .arg(m_scan - 1));
        m_pagesBefore = 0;
    }

    /// The batches up to the tenth by name.
    static QString ordinal(int n) {
        static const char* const names[] = {"primo", "secondo", "terzo", "quarto", "quinto",
                                            "sesto", "settimo", "ottavo", "nono",  "decimo"};
        return QString::fromLatin1(names[std::clamp(n, 1, 10) - 1]);
    }

    Options m_options;
    FormScansione& m_form;
    BatchConsole& m_console;
    std::function<void()> m_reportStart;
    std::function<void()> m_storeReplaced;
    int m_ends = 0;
    int m_scan = 0;                  ///< the "Scansione documento" under way, from 1
    int m_pagesBefore = 0;           ///< pages in the store when it was pressed
    bool m_firstImageOfScan = false; ///< no image of it filed yet
};

std::optional<Options> parse(QCommandLineParser& parser, const QStringList& arguments,
                             BatchConsole& console) {
    parser.setApplicationDescription(QStringLiteral(
        "Esegue una sessione della finestra di Scansione senza una persona: preme\n"
        "\"Scansione documento\" (una volta, o --scans volte), attende la fine di ogni\n"
        "acquisizione, preme \"Conferma\" e stampa i file prodotti, uno per riga, dopo la riga\n"
        "\"Scansione effettuata. Files:\". Messaggi e finestre che si aprono durante l'esecuzione\n"
        "ricevono la risposta del pulsante predefinito; il loro testo va sullo standard error,\n"
        "con lo scanner usato, i motivi per cui uno scanner non si è avviato o aperto e le\n"
        "impostazioni rifiutate dallo scanner (come in Scanlog.log). Su un terminale lo\n"
        "standard error mostra anche l'avanzamento su una riga.\n"
        "Le pagine di una sessione interrotta (un'esecuzione o una finestra chiusa a forza)\n"
        "restano per la finestra, a meno che --recover le prenda: allora non si acquisisce\n"
        "nulla e il documento è fatto di quelle pagine.\n"
        "Impostazioni: il file INI di SCANSIONE_INI (altrimenti /etc/scansione/scanner.ini),\n"
        "oppure --ini. Senza DISPLAY e WAYLAND_DISPLAY la finestra usa la piattaforma\n"
        "offscreen di Qt.\n"
        "Stato di uscita: 0 file prodotti (--list: almeno uno scanner), 1 nessun file (--list:\n"
        "nessuno scanner), 2 sessione non riuscita (il motivo sullo standard error: un codice\n"
        "come SCAN_NOT_AVAILABLE, un file INI mancante, uno scanner sconosciuto, un --output\n"
        "inutilizzabile, un tempo scaduto, un'opzione errata), 3 documento scritto ma\n"
        "un'acquisizione è finita con un errore (carta inceppata, alimentatore vuoto): contiene\n"
        "le pagine acquisite prima."));
    parser.addHelpOption();
    const QCommandLineOption list(
        QStringLiteral("list"),
        QStringLiteral("Stampa gli scanner, uno per riga come \"INDICE: NOME\", e termina."));
    const QCommandLineOption scans(QStringLiteral("scans"),
                                   QStringLiteral("Preme \"Scansione documento\" N volte (0-99)."),
                                   QStringLiteral("N"), QStringLiteral("1"));
    const QCommandLineOption adf(QStringLiteral("adf"),
                                 QStringLiteral("Spunta prima \"Forza ADF\" (un lotto dall'alimentatore)."));
    const QCommandLineOption duplex(QStringLiteral("duplex"),
                                    QStringLiteral("Spunta prima \"Fronte retro\" (entrambi i lati)."));
    const QCommandLineOption source(
        QStringLiteral("source"),
        QStringLiteral("Usa lo scanner con esattamente questo nome, o con questo indice da 0, "
                       "senza la finestra di scelta."),
        QStringLiteral("NOME"));
    const QCommandLineOption output(
        QStringLiteral("output"),
        QStringLiteral("Mette qui il documento: un file per PDF e TIFF, una cartella (creata se "
                       "manca) per le pagine JPEG. Verificato prima di acquisire."),
        QStringLiteral("PERCORSO"));
    const QCommandLineOption force(
        QStringLiteral("force"),
        QStringLiteral("Con --output, sostituisce il file (o le pagine JPEG) già presente."));
    const QCommandLineOption quiet(
        QStringLiteral("quiet"),
        QStringLiteral("Stampa solo i percorsi dei file; errori e avvisi vanno comunque sullo "
                       "standard error."));
    const QCommandLineOption info(
        QStringLiteral("info"),
        QStringLiteral("Stampa il rapporto sulle capacità dello scanner invece di acquisire."));
    const QCommandLineOption timeout(
        QStringLiteral("timeout"),
        QStringLiteral("Abbandona un'acquisizione che non invia nulla per questi secondi "
                       "(predefinito 300)."),
        QStringLiteral("SECONDI"), QStringLiteral("300"));
    const QCommandLineOption recover(
        QStringLiteral("recover"),
        QStringLiteral("Scrive come documento le pagine delle sessioni interrotte (la più recente "
                       "prima), senza acquisire; senza l'opzione restano per la finestra."));
    const QCommandLineOption ini(QStringLiteral("ini"),
                                 QStringLiteral("Il file INI delle impostazioni invece di quello predefinito."),
                                 QStringLiteral("FILE"));
    const QCommandLineOption pdfa(
        QStringLiteral("pdfa"),
        QStringLiteral("Scrive un documento PDF come PDF/A-1b o PDF/A-2b (la chiave PDFA delle "
                       "impostazioni, per questa esecuzione)."),
        QStringLiteral("1b|2b"));
    const QCommandLineOption ocr(
        QStringLiteral("ocr"),
        QStringLiteral("Dà a un documento PDF il testo delle pagine, letto in LINGUE (codici di "
                       "tesseract uniti da +, come ita+eng; senza =LINGUE quelle di LinguaOCR, "
                       "predefinita ita): le chiavi OCR e LinguaOCR, per questa esecuzione."),
        QStringLiteral("LINGUE"));
    const QCommandLineOption blankSides(
        QStringLiteral("pagine-bianche"),
        QStringLiteral("Lascia fuori i lati bianchi di un lotto dall'alimentatore, dicendo quali "
                       "(la chiave PagineBianche)."));
    const QCommandLineOption turnUpsideDown(
        QStringLiteral("ruota-automatica"),
        QStringLiteral("Gira di 180° le pagine col testo capovolto (la chiave RuotaAutomatica)."));
    const QCommandLineOption straighten(
        QStringLiteral("raddrizza"),
        QStringLiteral("Raddrizza le pagine acquisite storte (la chiave Raddrizza)."));
    parser.addOptions({list, scans, adf, duplex, source, output, force, quiet, info, timeout, ini,
                       recover, pdfa, ocr, blankSides, turnUpsideDown, straighten});
    // --ocr takes its languages only after "=": a bare --ocr is the option without them (Qt's
    // parser has no optional values), and a word after it stays an argument of its own.
    QStringList args = arguments;
    for (qsizetype i = 1; i < args.size() && args[i] != QLatin1String("--"); ++i)
        if (args[i] == QLatin1String("--ocr"))
            args[i] = QStringLiteral("--ocr=");
    if (!parser.parse(args)) {
        console.error(parser.errorText());
        return std::nullopt;
    }
    Options o;
    // Qt's own options are listed only by its process(), which prints and ends the program.
    if (parser.isSet(QStringLiteral("help-all")))
        parser.process(arguments);
    if (parser.isSet(QStringLiteral("help"))) {
        o.help = true;
        return o;
    }
    if (!parser.positionalArguments().isEmpty()) {
        console.error(QStringLiteral("argomento inatteso: ") +
                      parser.positionalArguments().join(' '));
        return std::nullopt;
    }
    // Options that make no sense together are refused rather than half obeyed.
    const auto clash = [&parser, &console](const QCommandLineOption& option,
                                           const QList<const QCommandLineOption*>& others) {
        if (!parser.isSet(option))
            return false;
        for (const QCommandLineOption* other : others) {
            if (parser.isSet(*other)) {
                console.error(QStringLiteral("--%1 non si usa con --%2")
                                  .arg(option.names().constFirst(), other->names().constFirst()));
                return true;
            }
        }
        return false;
    };
    // --recover scans nothing: a feeder batch, forced or started because the feeder holds
    // paper, would replace the recovered pages.
    if (clash(list, {&scans, &adf, &duplex, &source, &output, &force, &info, &recover, &ocr,
                     &blankSides, &turnUpsideDown, &straighten}) ||
        clash(info, {&output, &force, &recover}) || clash(recover, {&adf, &duplex}))
        return std::nullopt;
    if (parser.isSet(force) && !parser.isSet(output)) {
        console.error(QStringLiteral("--force vale solo con --output"));
        return std::nullopt;
    }
    const auto n = toInt32(parser.value(scans));
    if (!n || *n < 0 || *n > 99 || parser.value(scans).contains(QLatin1Char('.'))) {
        console.error(QStringLiteral("--scans vuole un numero intero da 0 a 99"));
        return std::nullopt;
    }
    o.scans = *n;
    if (parser.isSet(recover)) {
        if (parser.isSet(scans) && *n != 0) {
            console.error(QStringLiteral("--recover scrive solo le pagine recuperate: --scans "
                                         "vale al più 0"));
            return std::nullopt;
        }
        o.scans = 0;
    }
    const auto t = toInt32(parser.value(timeout));
    if (!t || *t < 1) {
        console.error(QStringLiteral("--timeout vuole un numero di secondi maggiore di 0"));
        return std::nullopt;
    }
    o.timeoutSeconds = *t;
    o.list = parser.isSet(list);
    o.adf = parser.isSet(adf);
    o.duplex = parser.isSet(duplex);
    o.info = parser.isSet(info);
    o.force = parser.isSet(force);
    o.quiet = parser.isSet(quiet);
    o.recover = parser.isSet(recover);
    if (parser.isSet(source))
        o.source = parser.value(source);
    if (parser.isSet(output))
        o.output = parser.value(output);
    if (parser.isSet(pdfa)) {
        const QString value = parser.value(pdfa);
        if (value.compare(QLatin1String("1b"), Qt::CaseInsensitive) != 0 &&
            value.compare(QLatin1String("2b"), Qt::CaseInsensitive) != 0) {
            console.error(QStringLiteral("--pdfa vuole 1b o 2b"));
            return std::nullopt;
        }
        o.pdfa = value;
    }
    if (parser.isSet(ocr)) {
        // Language codes as tesseract names its data files: letters, digits and "_".
        static const QRegularExpression languages(
            QStringLiteral("^([A-Za-z0-9_]+(\\+[A-Za-z0-9_]+)*)?$"));
        const QString value = parser.value(ocr);
        if (!languages.match(value).hasMatch()) {
            console.error(QStringLiteral("--ocr vuole codici di lingua di tesseract uniti da + "
                                         "(come ita o ita+eng), dopo ="));
            return std::nullopt;
        }
        o.ocr = value;
    }
    o.blankSides = parser.isSet(blankSides);
    o.turnUpsideDown = parser.isSet(turnUpsideDown);
    o.straighten = parser.isSet(straighten);
    o.ini = parser.value(ini);
    return o;
}

/// The batch's answers to the component's dialogs.
void answerComponentDialogs(WindowServices& services, BatchConsole& console) {
    services.componentDialogs = [&console](QWidget*) {
        return std::make_shared<BatchComponentDialogs>(console);
    };
}

/// --list: the sources as the window's component lists them, without a session.
int listScanners(BatchConsole& console, WindowServices services) {
    answerComponentDialogs(services, console);
    services.fillDefaults();
    std::unique_ptr<ScanComponent> component;
    resumeNext([&] { component = services.createComponent(services.componentDialogs(nullptr)); });
    const bool started =
        tryCall(component.get(), &ScanComponent::OpenSourceManager).value_or(0) != 0;
    for (const QString& failure : startFailures(component.get(), started))
        console.error(failure);
    if (!started) {
        console.error(QStringLiteral("SCAN_DEVICE_NOT_STARTED: ") +
                      startCodeMeaning(QStringLiteral("SCAN_DEVICE_NOT_STARTED")));
        return batchFailed;
    }
    const int32_t count = tryCall(component.get(), &ScanComponent::SourceCount).value_or(0);
    for (int32_t i = 0; i < count; ++i)
        console.output(QStringLiteral("%1: %2").arg(i).arg(
            tryCall(component.get(), &ScanComponent::SourceName, i).value_or(QString())));
    tryCall(component.get(), &ScanComponent::CloseSourceManager);
    if (count < 1) {
        console.error(QStringLiteral("nessuno scanner disponibile"));
        return batchNoFiles;
    }
    return batchFiles;
}

/// One session of the window without a person, driven to its end. The run answers
/// everything the start routine and the window ask, one method an answer, and keeps what the
/// session came to in its members, from which exitStatus() alone makes the exit status.
class BatchSession {
public:
    BatchSession(const Options& options, BatchConsole& console, WindowServices base)
        : m_options(options), m_console(console), m_base(std::move(base)) {}

    /// Runs the start routine, which runs the window; the exit status.
    int run() {
        ScanSettings settings =
            m_options.ini.isEmpty() ? ScanSettings() : ScanSettings(m_options.ini);
        m_settingsPath = settings.iniPath();
        StartRoutineServices services;
        services.messageBox = [this](const QString& prompt, const QString&) {
            startRoutineMessage(prompt);
        };
        services.settingsWarning = [this](const QString& warning) { m_console.error(warning); };
        services.runSession = [this](ScanSettings& record) { return runWindow(record); };
        runStartRoutine(settings, services);
        m_console.clearProgress();
        return exitStatus();
    }

private:
    /// How far the session got.
    enum class Stage {
        NotRun, ///< the window did not run: no INI file, an --output refused, ...
        Failed, ///< the window's session did not start, or the run gave it up (--source)
        Ended,  ///< the window's session ran to its end
    };

    /// The exit status, from what the session came to: each reason in the order it wins. A
    /// new reason is a member set where the session learns it, and its line here.
    int exitStatus() const {
        if (m_stage != Stage::Ended || m_timedOut)
            return batchFailed;
        if (m_options.info)
            return m_reportPrinted ? batchFiles : batchNoFiles;
        if (m_produced.isEmpty())
            return batchNoFiles;
        return m_acquisitionFault ? batchIncomplete : batchFiles;
    }

    // --- The start routine's questions ----------------------------------------------------

    /// Its message box: after a session the list of the produced files, before one (the INI
    /// file missing) a warning.
    void startRoutineMessage(const QString& prompt) {
        if (m_stage == Stage::NotRun && !m_settingsPath.isEmpty())
            m_console.error(prompt + QStringLiteral(" (") + m_settingsPath + QLatin1Char(')'));
        else if (m_stage != Stage::Ended)
            m_console.error(prompt);
        else if (m_console.quiet())
            m_console.output(m_produced.join(QLatin1Char('\n')));
        else
            m_console.output(prompt);
    }

    /// Its session: the window, shown with `record` and driven by the commands of the run;
    /// the files it produced where --output puts them, nullopt when it did not start.
    std::optional<QStringList> runWindow(ScanSettings& record) {
        if (m_options.pdfa)
            record.setPDFA(*m_options.pdfa);
        applyPageOptions(record);
        m_kind = destinationKind(record.ResultFormat);
        if (!outputUsable(record.ResultFormat))
            return std::nullopt;
        FormScansione form(windowServices());
        Driver driver(
            m_options, form, m_console, [this] { reportStartOnce(); },
            [this] { m_acquisitionFault.reset(); });
        QObject::connect(&form, &FormScansione::sessionShown, &driver,
                         [&driver] { driver.start(); });
        QString code;
        int16_t openDocument = 0;
        const std::optional<QStringList> files = form.EseguiScansione(&record, code, openDocument);
        m_timedOut = driver.timedOut;
        if (!files)
            reportNotStarted(code);
        m_component = nullptr; // it goes with the window
        if (!files || driver.failed) {
            m_stage = Stage::Failed;
            return std::nullopt;
        }
        m_stage = Stage::Ended;
        return documentOf(*files, driver);
    }

    /// The text and clean-up options of the run into the settings record the session uses.
    void applyPageOptions(ScanSettings& record) {
        if (m_options.ocr) {
            record.setOCR(QStringLiteral("1"));
            if (!m_options.ocr->isEmpty())
                record.setLinguaOCR(*m_options.ocr);
            if (record.ResultFormat != QLatin1String("PDF"))
                m_console.error(QStringLiteral("--ocr vale solo per un documento PDF: il "
                                               "formato %1 resta senza testo")
                                    .arg(shownText(record.ResultFormat)));
        }
        if (m_options.blankSides)
            record.setPagineBianche(QStringLiteral("1"));
        if (m_options.turnUpsideDown)
            record.setRuotaAutomatica(QStringLiteral("1"));
        if (m_options.straighten)
            record.setRaddrizza(QStringLiteral("1"));
    }

    /// False, having said why, when --output cannot take a document of `format`: a run must
    /// not scan a batch of pages only to find that the document has nowhere to go.
    bool outputUsable(const QString& format) {
        if (m_options.info)
            return true;
        if (!m_options.output) {
            if (!m_kind)
                m_console.error(
                    QStringLiteral("nessun documento: formato '%1' non riconosciuto")
                        .arg(shownText(format)));
            return true;
        }
        const QString problem =
            m_kind ? destinationProblem(*m_options.output, *m_kind, m_options.force)
                   : QStringLiteral("formato '%1' non riconosciuto: nessun documento da scrivere")
                         .arg(shownText(format));
        if (problem.isEmpty())
            return true;
        m_console.error(QStringLiteral("--output: ") + problem);
        return false;
    }

    /// The files of a session that ran to its end, placed where --output says; empty when
    /// there is no document to list.
    QStringList documentOf(QStringList files, const Driver& driver) {
        if (m_options.info)
            return {}; // the report was the output
        if (driver.outputFailed || files.isEmpty()) {
            // Pages in a known format and no document: the output failed. The window's
            // message box, when it shows one, has said why; this says what it cost.
            if (driver.pagesConfirmed > 0 && m_kind)
                m_console.error(QStringLiteral("nessun documento scritto (%1 pagine acquisite)")
                                    .arg(driver.pagesConfirmed));
            if (driver.pagesKept > 0)
                m_console.error(QStringLiteral("%1 pagine conservate: --recover le recupera")
                                    .arg(driver.pagesKept));
            return {};
        }
        if (m_options.output) {
            const QString left =
                QStringLiteral("; il documento resta in ") + files.join(QStringLiteral(", "));
            // A document whose acquisition did not end may lack pages: it does not replace
            // anything at the destination.
            if (m_timedOut) {
                m_console.error(QStringLiteral("--output non usato: acquisizione non conclusa") +
                                left);
                return {};
            }
            const Placement placed =
                placeDocument(files, *m_options.output, *m_kind, m_options.force);
            if (!placed.error.isEmpty()) {
                m_console.error(placed.error + left);
                return {};
            }
            files = placed.paths;
        }
        m_produced = files;
        if (m_acquisitionFault) {
            // A document of the pages that came: written, but not what was asked for.
            m_console.error(
                QStringLiteral("acquisizione incompleta (%1): documento scritto con %2 %3")
                    .arg(m_acquisitionFault->isEmpty() ? QStringLiteral("errore del dispositivo")
                                                       : *m_acquisitionFault)
                    .arg(driver.pagesConfirmed)
                    .arg(driver.pagesConfirmed == 1 ? QStringLiteral("pagina")
                                                    : QStringLiteral("pagine")));
        }
        return files;
    }

    // --- The window's questions -----------------------------------------------------------

    /// The window's services: the run's answers over the ones given (the component, the PDF
    /// writer, the working folder), with the settings written for this run only.
    WindowServices windowServices() {
        WindowServices window = std::move(m_base);
        m_runSettings = std::make_shared<RunSettings>(std::make_shared<UserSettings>());
        if (m_options.source)
            m_runSettings->forcedSource = [this] { return forcedSource(); };
        window.userSettings = m_runSettings;
        window.messageBox = [this](QWidget*, const QString& prompt, const QString& caption) {
            windowMessage(prompt, caption);
        };
        window.showInfo = [this](const QString& report) { showReport(report); };
        answerComponentDialogs(window, m_console);
        window.askYesNo = [this](QWidget*, const QString& question, const QString&,
                                 SafeAnswer keeps) { return answerQuestion(question, keeps); };
        window.choosePdf = [this](QWidget*, const QString&) { return choosePdf(); };
        window.textProgress = [this](QWidget*, std::function<void()>) {
            return std::unique_ptr<TextRecognitionProgress>(
                std::make_unique<ConsoleTextProgress>(m_console));
        };
        window.logWritten = [this](const QString& operation, int32_t code, const QString& detail) {
            logWritten(operation, code, detail);
        };
        window.fillDefaults();
        auto make = window.createComponent;
        window.createComponent = [this, make](std::shared_ptr<ComponentDialogs> dialogs) {
            auto component = make(std::move(dialogs));
            m_component = component.get();
            return component;
        };
        return window;
    }

    /// A message box of the window: its caption and text go to standard error, on one line
    /// (a box's second line, the device's text, would otherwise stand alone). The window
    /// shows "ERRORE ACQUISIZIONE IMMAGINE." for an acquisition that ended in an error.
    void windowMessage(const QString& prompt, const QString& caption) {
        m_console.error(caption + QStringLiteral(": ") +
                        QString(prompt).replace(QStringLiteral("\r\n"), QStringLiteral(": ")));
        if (prompt.startsWith(QLatin1String("ERRORE ACQUISIZIONE IMMAGINE.")))
            m_acquisitionFault = prompt.section(QStringLiteral("\r\n"), 1);
    }

    /// The information window (--info): the report is the output.
    void showReport(const QString& report) {
        m_console.output(report);
        m_reportPrinted = true;
    }

    /// A yes/no question of the window: whether to take back the pages of an interrupted
    /// session ("Sì" loses nothing), or whether a command may drop the pages of the store
    /// ("Sì" drops them).
    std::optional<bool> answerQuestion(const QString& question, SafeAnswer keeps) {
        if (keeps == SafeAnswer::No)
            return answerPagesDropped(question);
        return answerInterruptedSession(question);
    }

    /// A command the run pressed to that end drops the pages: a new feeder batch, or
    /// "Annulla" to give up. Said, and answered "Sì".
    std::optional<bool> answerPagesDropped(const QString& question) {
        m_console.note(question + QStringLiteral(" Sì"));
        return true;
    }

    /// The pages of an interrupted session: taken with --recover, else left for the window.
    std::optional<bool> answerInterruptedSession(const QString& question) {
        if (m_options.recover) {
            m_console.note(question + QStringLiteral(" Sì (--recover)"));
            return true;
        }
        m_console.error(question +
                        QStringLiteral(" Lasciate per la finestra (--recover le recupera)"));
        return std::nullopt;
    }

    /// The PDF import's file dialog: closed without a choice.
    std::optional<QString> choosePdf() {
        m_console.error(QStringLiteral("finestra \"Importa PDF\" chiusa senza scelta"));
        return std::nullopt;
    }

    /// A line of the scan log: the settings the device refused, as the log has them.
    void logWritten(const QString& operation, int32_t code, const QString& detail) {
        if (code != 0)
            m_console.error(
                QStringLiteral("OPERAZIONE %1: %2 - %3").arg(operation, decimalText(code), detail));
    }

    /// "DefaultSource" while --source is given: the index of the scanner it names.
    std::optional<QString> forcedSource() {
        if (!m_component)
            return std::nullopt;
        try {
            if (const auto index = findSource(*m_component, *m_options.source))
                return decimalText(*index);
        } catch (const std::exception&) {
        }
        return std::nullopt;
    }

    /// Layers that did not start are told once: when the window is shown (a working layer
    /// beside a broken one) or when the session could not start.
    void reportStartOnce() {
        if (m_startReported || !m_component)
            return;
        m_startReported = true;
        for (const QString& failure : startFailures(m_component, true))
            m_console.error(failure);
    }

    /// Why the session did not start: the layers that failed, then the window's result code.
    void reportNotStarted(const QString& code) {
        if (!m_startReported && m_component) {
            m_startReported = true;
            const bool started = code != QLatin1String("SCAN_DEVICE_NOT_STARTED");
            for (const QString& failure : startFailures(m_component, started))
                m_console.error(failure);
        }
        const QString meaning = startCodeMeaning(code);
        m_console.error(code.isEmpty()       ? QStringLiteral("sessione non avviata")
                        : meaning.isEmpty() ? code
                                            : code + QStringLiteral(": ") + meaning);
    }

    const Options& m_options;
    BatchConsole& m_console;
    WindowServices m_base; ///< handed to the window when it is made
    std::shared_ptr<RunSettings> m_runSettings;
    /// The window's component while the window has it.
    ScanComponent* m_component = nullptr;
    std::optional<DestinationKind> m_kind;
    bool m_startReported = false;

    // What the session came to: the exit status is made of these.
    Stage m_stage = Stage::NotRun;
    bool m_timedOut = false;
    bool m_reportPrinted = false;
    QStringList m_produced;
    /// The device's text of the latest acquisition that ended in an error.
    std::optional<QString> m_acquisitionFault;
    QString m_settingsPath; ///< the INI file of the run, named when it is missing
};

} // namespace

int runBatch(const QStringList& arguments, const BatchStreams& streams, WindowServices services) {
    BatchConsole console(streams.out, streams.err, streams.errorIsTerminal);
    QCommandLineParser parser;
    const auto options = parse(parser, arguments, console);
    if (!options)
        return batchFailed;
    if (options->help) {
        // Qt's Italian translation lacks the texts of its two help options.
        console.output(parser.helpText()
                           .replace(QStringLiteral("Displays help on commandline options."),
                                    QStringLiteral("Mostra questo aiuto."))
                           .replace(QStringLiteral("Displays help including Qt specific options."),
                                    QStringLiteral("Mostra l'aiuto con le opzioni di Qt.")));
        return batchFiles;
    }
    console.setQuiet(options->quiet);
    if (options->list)
        return listScanners(console, std::move(services));
    return BatchSession(*options, console, std::move(services)).run();
}
