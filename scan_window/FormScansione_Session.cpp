// The session: EseguiScansione from the settings check to the returned file list, the
// window's load and unload, the scan log, and the choice of the scanner.
#include "acquisition/ComponentDialogs.h"
#include "acquisition/ScanComponent.h"
#include "component_base/ScanError.h"
#include "common/AppendLine.h"
#include "common/ShownText.h"
#include "common/UserSettings.h"
#include "common/VbBool.h"
#include "common/VbConvert.h"
#include "scan_window/FormScansione.h"
#include "scan_window/FormSteps.h"
#include "scan_window/ImageButton.h"
#include "settings/ScanSettings.h"
#include "settings/SettingsWarnings.h"

#include <QCloseEvent>
#include <QFile>
#include <QKeyEvent>
#include <QLabel>
#include <QLocale>
#include <QPixmap>

// The constructors are the default wiring's (default_wiring/WindowDefaults.cpp): they fill in
// the services a host left empty, SANE and widget dialogs among them.

FormScansione::~FormScansione() {
    // The component goes first, while the window is still whole: nothing it emits while
    // shutting down may reach a half-destroyed window.
    if (VSTSCAN) {
        VSTSCAN->disconnect(this);
        VSTSCAN.reset();
    }
}

QString FormScansione::imgPreviewTag() const {
    return ImgPreview->property("Tag").toString();
}

void FormScansione::setImgPreviewTag(const QString& tag) {
    ImgPreview->setProperty("Tag", tag);
}

QString FormScansione::formTag() const {
    return property("Tag").toString();
}

void FormScansione::setFormTag(const QString& tag) {
    setProperty("Tag", tag);
}

void FormScansione::Form_Load() {
    if (m_controlsUsed) {
        buildControls();
        // The fresh "Apri Doc" box is unchecked; the choice handed back must say the same.
        visualizzaDoc = VbFalse;
    }
    m_controlsUsed = true;
    m_loaded = true;

    if (VSTSCAN) {
        VSTSCAN->disconnect(this);
        VSTSCAN.reset();
    }
    m_acquiring = false;
    m_pressAfterEnd.reset();
    // The component's dialogs belong to this window: it is their parent.
    resumeNext([this] { VSTSCAN = m_services.createComponent(m_services.componentDialogs(this)); });
    if (VSTSCAN) {
        // Same thread: the component delivers PostScan on the window's thread. The intake
        // must not let an exception out into Qt's signal delivery.
        connect(VSTSCAN.get(), &ScanComponent::PostScan, this,
                [this](int32_t flag) { resumeNext([this, flag] { VSTSCAN_PostScan(flag); }); });
        // What the component did to a page on its own (a blank side left out, a page turned)
        // is never silent: the log says it.
        connect(VSTSCAN.get(), &ScanComponent::PageCleaned, this,
                [this](const QString& operation, const QString& detail) {
                    resumeNext([&] {
                        ScriviLog(detail.isEmpty() ? operation
                                                   : operation + QLatin1Char(' ') + detail,
                                  0, QString());
                    });
                });
        // The component keeps a record of the pages beside their images, so that a crash
        // does not lose them.
        Pagine.setChangeHandler([this] {
            if (VSTSCAN)
                resumeNext([this] { VSTSCAN->setDocumentPages(Pagine.images()); });
        });
    }
}

void FormScansione::unloadWindow() {
    m_loaded = false;
    m_unloadRequested = true;
    setMousePointer(pointerDefault);
    if (m_inExec)
        done(QDialog::Rejected);
    else
        hide();
}

void FormScansione::closeEvent(QCloseEvent* event) {
    if (m_inExec && isVisible() && m_loaded) {
        // The title bar's close box ends the session as "Annulla" does: no page is kept and
        // nothing more is listed. A "No" to its question keeps the window open.
        ImgButtons_Click(cmdAnnulla);
        if (m_loaded)
            event->ignore();
        else
            event->accept();
        return;
    }
    m_loaded = false;
    QDialog::closeEvent(event);
}

void FormScansione::keyPressEvent(QKeyEvent* event) {
    // A dialog closes on Esc, which would throw the session's pages away at a stray key
    // press; the window's commands are its buttons only.
    if (event->matches(QKeySequence::Cancel)) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void FormScansione::setMousePointer(MousePointer code) {
    if (code == pointerHourglass)
        setCursor(Qt::WaitCursor);
    else
        unsetCursor();
}

std::optional<QStringList> FormScansione::EseguiScansione(ScanSettings* parScanSetting,
                                                          QString& resultScansione,
                                                          int16_t& VediRisultato) {
    resultScansione.clear();

    QString folder;
    resumeNext([&] { folder = m_services.workingFolder(); });
    // No private folder: no log at all, rather than one in the current directory.
    logFilePath = folder.isEmpty() ? QString() : folder + QStringLiteral("Scanlog.log");
    if (!logFilePath.isEmpty())
        QFile::remove(logFilePath);
    m_pdfaValueLogged = false;
    m_noticesWritten.clear();

    if (!m_loaded)
        Form_Load();
    setFormTag(QStringLiteral("SCANNER"));

    PassoZoomX = 0;
    PassoZoomY = 0;
    Pagine.clear();
    resultFiles.clear();

    if (!parScanSetting) {
        resultScansione = QStringLiteral("SCAN_SETTING_FAILED");
        unloadWindow();
        return std::nullopt;
    }
    scanSetting = parScanSetting;

    if (tryCall(&ScanComponent::OpenSourceManager).value_or(0) == 0) {
        resultScansione = QStringLiteral("SCAN_DEVICE_NOT_STARTED");
        unloadWindow();
        return std::nullopt;
    }

    tryCall(&ScanComponent::setStartOptionA, VbFalse);
    tryCall(&ScanComponent::setStartOptionB, VbFalse);

    // A count that cannot be read counts as no source at all.
    const int32_t sources = tryCall(&ScanComponent::SourceCount).value_or(0);
    if (sources > 1) {
        resumeNext([this] { SelezionaSorgente(false); });
    } else if (sources == 1) {
        tryCall(&ScanComponent::setSourceIndex, 0);
    } else {
        resultScansione = QStringLiteral("SCAN_NOT_AVAILABLE");
        unloadWindow();
        return std::nullopt;
    }

    tryCall(&ScanComponent::setImageLimit, kSessionImageLimit);
    // Before the recovery, so that recovered pages are read as well.
    resumeNext([this] { startPageServices(); });
    resumeNext([this] { ImpostaForm(); });
    resumeNext([this] { showSourceOptions(); });
    resumeNext([this] { offerRecovery(); });

    m_unloadRequested = false;
    Q_EMIT sessionShown();
    // A headless host may already have closed the window from sessionShown.
    if (!m_unloadRequested) {
        m_inExec = true;
        exec();
        m_inExec = false;
    }
    m_loaded = false;
    // A session that never programmed the scanner still says what its settings lacked.
    resumeNext([this] { writeNotices(settingsWarnings(*scanSetting)); });

    VediRisultato = visualizzaDoc;
    tryCall(&ScanComponent::setImageLimit, 1);
    tryCall(&ScanComponent::CloseSourceManager);
    tryCall(&ScanComponent::CloseDataSource);
    if (VSTSCAN) {
        VSTSCAN->disconnect(this);
        VSTSCAN.reset();
    }
    return resultFiles;
}

void FormScansione::startPageServices() {
    m_textLanguages.clear();
    ScanComponent& dev = requireComponent();
    const ScanSettings& s = *scanSetting;
    // Only a PDF gets a text layer: for the other formats nothing is read at all.
    if (s.OCR() == QLatin1String("1") && s.ResultFormat == QLatin1String("PDF"))
        m_textLanguages = s.LinguaOCR().isEmpty() ? QStringLiteral("ita") : s.LinguaOCR();
    resumeNext([&] { dev.setTextLanguages(m_textLanguages); });
    const auto on = [](const QString& value) { return value == QLatin1String("1"); };
    dev.setPageCleanup(
        PageCleanup{on(s.PagineBianche()), on(s.RuotaAutomatica()), on(s.Raddrizza())});
}

void FormScansione::offerRecovery() {
    ScanComponent& scanner = requireComponent();
    const QList<InterruptedSession> sessions = scanner.interruptedSessions();
    for (const InterruptedSession& session : sessions) {
        const QString when =
            QLocale(QLocale::Italian)
                .toString(session.saved.toLocalTime(), QStringLiteral("dd/MM/yyyy HH:mm"));
        const QString question =
            session.pages == 1
                ? QStringLiteral("È stata trovata 1 pagina di una scansione interrotta (%1). "
                                 "Recuperarla?")
                      .arg(when)
                : QStringLiteral("Sono state trovate %1 pagine di una scansione interrotta (%2). "
                                 "Recuperarle?")
                      .arg(session.pages)
                      .arg(when);
        const std::optional<bool> answer =
            m_services.askYesNo(this, question, QStringLiteral("Scansione interrotta"),
                                SafeAnswer::Yes);
        if (!answer)
            continue; // undecided: the pages stay for a later session
        if (!*answer) {
            scanner.discardSession(session.id);
            continue;
        }
        const int32_t first = scanner.ImageCount();
        const int32_t added = scanner.recoverSession(session.id);
        for (int32_t i = 0; i < added; ++i)
            Pagine.storePage(Pagine.count() + 1, first + i);
    }
    if (Pagine.count() >= 1) {
        setImgPreviewTag(QStringLiteral("1"));
        MostraPagina(1);
    }
}

void FormScansione::ScriviLog(const QString& operation, int32_t code, const QString& detail) {
    if (!logFilePath.trimmed().isEmpty()) {
        // A line that cannot be written is lost; the session goes on.
        AppendLine(QStringLiteral("OPERAZIONE ") + operation, logFilePath);
        if (code != 0)
            AppendLine(decimalText(code) + QStringLiteral(" - ") + detail, logFilePath);
    }
    m_services.logWritten(operation, code, detail);
}

void FormScansione::writeNotices(const QStringList& notices) {
    for (const QString& notice : notices) {
        if (m_noticesWritten.contains(notice))
            continue;
        m_noticesWritten.append(notice);
        if (!logFilePath.trimmed().isEmpty())
            AppendLine(QStringLiteral("AVVISO ") + shownText(notice), logFilePath);
    }
}

void FormScansione::SelezionaSorgente(bool force) {
    // No trap of its own: a stored value that is not a number, or an index the component
    // refuses, ends the choice here and leaves the component's own selection in place.
    ScanComponent& scanner = requireComponent();
    const QString stored =
        m_services.userSettings->read(QStringLiteral("DefaultSource"), QStringLiteral("-1"));
    if (stored != QLatin1String("-1") && !force) {
        const std::optional<int32_t> index = toInt32(stored);
        if (!index)
            throw ScanError(QStringLiteral("DefaultSource non è un numero: ") + stored);
        scanner.setSourceIndex(*index);
        return;
    }
    scanner.SelectSource();
    m_services.userSettings->write(QStringLiteral("DefaultSource"),
                                   decimalText(scanner.SourceIndex()));
}

bool FormScansione::pagesMayGo(const QString& question) {
    const int pages = Pagine.count();
    if (pages < 1)
        return true;
    // Closed unanswered decides nothing, and nothing is lost.
    return m_services
        .askYesNo(this, question.arg(pages), QStringLiteral("Scansione"), SafeAnswer::No)
        .value_or(false);
}

void FormScansione::CambiaScanner() {
    ScanComponent& scanner = requireComponent();
    if (scanner.SourceCount() < 2)
        return;
    const int32_t before = scanner.SourceIndex();
    SelezionaSorgente(true);
    // A cancelled or unchanged choice keeps the session as it was: its pages, the page shown
    // and the caption.
    if (scanner.SourceIndex() == before)
        return;
    if (!pagesMayGo(QStringLiteral(
            "Cambiando scanner le %1 pagine acquisite saranno eliminate. Continuare?"))) {
        scanner.setSourceIndex(before);
        m_services.userSettings->write(QStringLiteral("DefaultSource"), decimalText(before));
        return;
    }
    resultFiles.clear();
    Pagine.clear();
    scanner.setImageLimit(kSessionImageLimit);
    clearView();
    ImpostaForm();
    showSourceOptions();
}

void FormScansione::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    if (event->oldSize() != event->size())
        Form_Resize();
}

void FormScansione::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // Every session shows the window once; the view is fitted then, as at its first display.
    if (!event->spontaneous())
        Form_Resize();
}
