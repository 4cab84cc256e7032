// The window's controls at their design places, the set-up before the window is shown, and
// the three option check boxes.
#include "acquisition/ScanComponent.h"
#include "common/UserSettings.h"
#include "common/VbBool.h"
#include "scan_window/FormScansione.h"
#include "scan_window/FormSteps.h"
#include "scan_window/ImageButton.h"
#include "scan_window/WindowLayout.h"

#include <QCheckBox>
#include <QFrame>
#include <QGroupBox>
#include <QSignalBlocker>

namespace {

const QColor panelColour(228, 231, 237);
const QColor captionColour(26, 57, 115);

int toPixels(int twips) {
    return qRound(twips / 15.0);
}

void paintBackground(QWidget* w, const QColor& colour) {
    QPalette pal = w->palette();
    pal.setColor(QPalette::Window, colour);
    w->setPalette(pal);
    w->setAutoFillBackground(true);
}

void styleCaption(QWidget* w, qreal points) {
    QFont font(QStringLiteral("Verdana"));
    font.setPointSizeF(points);
    font.setBold(true);
    w->setFont(font);
    QPalette pal = w->palette();
    pal.setColor(QPalette::WindowText, captionColour);
    pal.setColor(QPalette::Window, panelColour);
    w->setPalette(pal);
}

} // namespace

void FormScansione::placeTwips(QWidget* w, int left, int top, int width, int height) {
    w->setProperty("twips", QRect(left, top, width, height));
    w->setGeometry(toPixels(left), toPixels(top), toPixels(width), toPixels(height));
}

QRect FormScansione::twipsOf(const QWidget* w) {
    return w->property("twips").toRect();
}

template <class Control, class... Args>
Control* FormScansione::makeControl(const QString& name, Args&&... args) {
    const windowLayout::Place* place = windowLayout::placeOf(name);
    Q_ASSERT(place);
    QWidget* container = QLatin1String(place->container) == QLatin1String(windowLayout::window)
                             ? this
                             : findChild<QWidget*>(QLatin1String(place->container));
    auto* control = new Control(std::forward<Args>(args)..., container);
    control->setObjectName(name);
    placeTwips(control, place->left, place->top, place->width, place->height);
    return control;
}

void FormScansione::buildControls() {
    // A reload (a second session on the same object) starts again from the design values.
    delete PicImage;
    delete Picture1;
    delete PctButtons;
    ImgButtons.clear();
    LblButtons.clear();
    lblPOS.clear();

    setWindowTitle(QStringLiteral("SCANNER"));
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFixedSize(toPixels(windowLayout::formWidth), toPixels(windowLayout::formHeight));
    setProperty("Tag", QString());

    PicImage = makeControl<QWidget>(QStringLiteral("PicImage"));
    paintBackground(PicImage, palette().color(QPalette::Base));

    ImgPreview = makeControl<PageView>(QStringLiteral("ImgPreview"));
    ImgPreview->setScaledContents(true);
    ImgPreview->setProperty("Tag", QString());

    Picture1 = makeControl<QWidget>(QStringLiteral("Picture1"));
    paintBackground(Picture1, panelColour);

    PctButtons = makeControl<QWidget>(QStringLiteral("PctButtons"));
    paintBackground(PctButtons, panelColour);

    // A line of no width: one pixel wide, and one pixel longer so that it reaches the end.
    Line1 = makeControl<QFrame>(QStringLiteral("Line1"));
    Line1->resize(1, Line1->height() + 1);
    paintBackground(Line1, Qt::white);

    FrameImpPDF = makeControl<QGroupBox>(QStringLiteral("FrameImpPDF"));

    LabelPicPDF = makeControl<QLabel>(QStringLiteral("LabelPicPDF"), QStringLiteral("Importa PDF"));
    LabelPicPDF->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    LabelPicPDF->setWordWrap(true);
    styleCaption(LabelPicPDF, 6.75);

    ImgButtons.fill(nullptr, cmdInfo + 1);
    LblButtons.fill(nullptr, cmdInfo + 1);
    for (int16_t index = 0; index <= cmdInfo; ++index) {
        const QString buttonName = QStringLiteral("ImgButtons_%1").arg(index);
        if (!windowLayout::placeOf(buttonName))
            continue;
        auto* button = makeControl<ImageButton>(buttonName, commandIcon(index));
        connect(button, &ClickableLabel::clicked, this, [this, index] { ImgButtons_Click(index); });
        ImgButtons[index] = button;

        const QString labelName = QStringLiteral("LblButtons_%1").arg(index);
        if (!windowLayout::placeOf(labelName))
            continue;
        auto* label = makeControl<ClickableLabel>(labelName);
        label->setText(QString::fromUtf8(windowLayout::placeOf(labelName)->caption));
        label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
        label->setWordWrap(true);
        styleCaption(label, 6.75);
        connect(label, &ClickableLabel::clicked, this, [this, index] { LblButtons_Click(index); });
        LblButtons[index] = label;
    }

    for (int i = 0; i < 8; ++i) {
        auto* marker =
            makeControl<QLabel>(QStringLiteral("lblPOS_%1").arg(i), QStringLiteral("POS"));
        marker->hide();
        lblPOS << marker;
    }

    const auto makeCheck = [this](const QString& name, const QString& caption) {
        auto* box = makeControl<WrappingCheckBox>(name, caption);
        styleCaption(box, 8.25);
        return box;
    };
    CheckVisualizza = makeCheck(QStringLiteral("CheckVisualizza"), QStringLiteral("Apri Doc"));
    chkFronteRetro = makeCheck(QStringLiteral("chkFronteRetro"), QStringLiteral("Fronte retro"));
    chkFronteRetro->setToolTip(QStringLiteral("Se disponibile sullo scanner"));
    chkADF = makeCheck(QStringLiteral("chkADF"), QStringLiteral("Forza ADF"));

    // clicked() comes from the user only: a value the program sets (setCheckValue, or the
    // acquisition clearing "Fronte retro") runs no handler and so cannot rerun the set-up
    // between the start of an acquisition and its first image.
    connect(CheckVisualizza, &QCheckBox::clicked, this, [this] { CheckVisualizza_Click(); });
    connect(chkADF, &QCheckBox::clicked, this, [this] { resumeNext([this] { chkADF_Click(); }); });
    connect(chkFronteRetro, &QCheckBox::clicked, this,
            [this] { resumeNext([this] { chkFronteRetro_Click(); }); });

    PicImage->show();
    Picture1->show();
    PctButtons->show();
}

QCheckBox* FormScansione::optionBox(OptionBox box) const {
    switch (box) {
    case OptionBox::ApriDoc:
        return CheckVisualizza;
    case OptionBox::FronteRetro:
        return chkFronteRetro;
    case OptionBox::ForzaAdf:
        return chkADF;
    }
    return nullptr;
}

bool FormScansione::isTicked(OptionBox box) const {
    const QCheckBox* check = optionBox(box);
    return check && check->isChecked();
}

void FormScansione::tick(OptionBox box, bool ticked) {
    QCheckBox* check = optionBox(box);
    if (check && check->isChecked() != ticked)
        check->click(); // the user's click: stores the choice and reruns the set-up
}

void FormScansione::setCheckValue(QCheckBox* box, int value) {
    const QSignalBlocker blocker(box);
    box->setChecked(value == 1);
}

void FormScansione::ImpostaForm() {
    // No trap of its own: a failing step ends the set-up and the caller's trap decides.
    ScanComponent& scanner = requireComponent();
    const int32_t selected = scanner.SourceIndex();
    setFormTag(scanner.SourceName(selected));
    setWindowTitle(formTag());

    ImgButtons[cmdInfo]->setVisible(false);
    LblButtons[cmdInfo]->setVisible(false);

    const bool several = scanner.SourceCount() > 1;
    ImgButtons[cmdCambiaScanner]->setVisible(several);
    LblButtons[cmdCambiaScanner]->setVisible(several);

    const QString autoAdf =
        m_services.userSettings->read(QStringLiteral("AutoADF"), QStringLiteral("FALSE"));
    setCheckValue(chkADF, autoAdf == QLatin1String("TRUE") ? 1 : 0);

    const auto takeTop = [](QWidget* w, const QLabel* marker) {
        QRect t = twipsOf(w);
        t.moveTop(twipsOf(marker).top());
        placeTwips(w, t.left(), t.top(), t.width(), t.height());
    };
    const struct {
        int index;
        int imageRow;
        int captionRow;
    } rows[] = {{0, 0, 1}, {1, 0, 1}, {6, 2, 3}, {11, 2, 3}, {4, 4, 5}, {5, 6, 7}};
    for (const auto& row : rows) {
        takeTop(ImgButtons[row.index], lblPOS[row.imageRow]);
        takeTop(LblButtons[row.index], lblPOS[row.captionRow]);
    }

    setImgPreviewTag(QString());
}

void FormScansione::showSourceOptions() {
    ScanComponent& dev = requireComponent();
    const bool wasOpen = dev.DataSourceOpen() != 0;
    if (!wasOpen && dev.OpenDataSource() != 1)
        return;
    std::optional<int32_t> duplex;
    std::optional<int32_t> feeder;
    resumeNext([&] { duplex = dev.DuplexSupported(); });
    resumeNext([&] { feeder = dev.FeederPresent(); });
    // Closed again, so that the first scan programs the device from the settings as before.
    if (!wasOpen)
        resumeNext([&] { dev.CloseDataSource(); });
    if (duplex) {
        const bool both = *duplex == 1;
        if (!both) {
            // As an acquisition on such a scanner does: no choice kept for a side it lacks.
            setCheckValue(chkFronteRetro, 0);
            resumeNext([this] { m_services.userSettings->remove(QStringLiteral("ScanFronteRetro")); });
        }
        chkFronteRetro->setVisible(both);
    }
    if (feeder)
        chkADF->setVisible(*feeder == 1);
}

void FormScansione::CheckVisualizza_Click() {
    visualizzaDoc = toVbBool(CheckVisualizza->isChecked());
}

void FormScansione::chkADF_Click() {
    m_services.userSettings->write(QStringLiteral("AutoADF"), chkADF->isChecked()
                                                                  ? QStringLiteral("TRUE")
                                                                  : QStringLiteral("FALSE"));
    ImpostaForm();
}

void FormScansione::chkFronteRetro_Click() {
    m_services.userSettings->write(QStringLiteral("ScanFronteRetro"),
                                   chkFronteRetro->isChecked() ? QStringLiteral("TRUE")
                                                               : QStringLiteral("FALSE"));
    ImpostaForm();
}
