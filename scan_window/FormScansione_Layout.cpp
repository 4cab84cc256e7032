// The window's controls at their design places, the set-up before the window is shown, and
// the three option check boxes.
#include "acquisition/ScanComponent.h"
#include "common/UserSettings.h"
#include "common/VbBool.h"
#include "scan_window/FormScansione.h"
#include "scan_window/ImageButton.h"

#include <QCheckBox>
#include <QFrame>
#include <QGroupBox>
#include <QSignalBlocker>

namespace {

// Design values, in twips (15 twips = 1 pixel at 96 dpi).
constexpr int formWidth = 7395;
constexpr int formHeight = 7515;
constexpr int iconTwips = 390;
constexpr int zoomIconTwips = 255;

const QColor panelColour(228, 231, 237);
const QColor captionColour(26, 57, 115);

enum class Box { PctButtons, Picture1, FrameImpPDF };

struct ButtonPlace {
    int index;
    Box box;
    int left, top;
    const char* caption; // nullptr: no caption label
    Box labelBox;
    int labelLeft, labelTop, labelWidth, labelHeight;
};

// clang-format off
const ButtonPlace buttonPlaces[] = {
    {0,  Box::PctButtons,  1560, 120,  "Conferma",             Box::PctButtons, 1200, 600,  1110, 180},
    {1,  Box::PctButtons,  360,  120,  "Scansione documento",  Box::PctButtons, 0,    600,  1110, 420},
    {2,  Box::Picture1,    4200, 0,    "Avanti",               Box::Picture1,   3960, 480,  750,  180},
    {3,  Box::Picture1,    240,  0,    "Indietro",             Box::Picture1,   -120, 480,  1110, 180},
    {4,  Box::PctButtons,  360,  1920, "Sostituisci pagina",   Box::PctButtons, 0,    2400, 1110, 360},
    {5,  Box::PctButtons,  360,  3120, "Elimina pagina",       Box::PctButtons, 120,  3600, 945,  360},
    {6,  Box::PctButtons,  1560, 1080, "Annulla",              Box::PctButtons, 1200, 1560, 1110, 180},
    {7,  Box::FrameImpPDF, 135,  135,  "Zoom",                 Box::Picture1,   1920, 120,  735,  180},
    {9,  Box::Picture1,    1680, 120,  nullptr,                Box::Picture1,   0,    0,    0,    0},
    {10, Box::Picture1,    2640, 120,  nullptr,                Box::Picture1,   0,    0,    0,    0},
    {11, Box::PctButtons,  360,  1080, "Ruota",                Box::PctButtons, 0,    1560, 1110, 180},
    {12, Box::PctButtons,  1560, 6480, "Scanners disponibili", Box::PctButtons, 1320, 6960, 945,  420},
    {13, Box::PctButtons,  360,  6480, "Scanners disponibili", Box::PctButtons, 120,  6960, 945,  420},
};
// clang-format on

constexpr int rowMarkerTops[8] = {120, 600, 1080, 1560, 1920, 2400, 3120, 3600};

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
    setFixedSize(toPixels(formWidth), toPixels(formHeight));
    setProperty("Tag", QString());

    PicImage = new QWidget(this);
    PicImage->setObjectName(QStringLiteral("PicImage"));
    placeTwips(PicImage, 120, 0, 4820, 6600);
    paintBackground(PicImage, palette().color(QPalette::Base));

    ImgPreview = new PageView(PicImage);
    ImgPreview->setObjectName(QStringLiteral("ImgPreview"));
    ImgPreview->setScaledContents(true);
    ImgPreview->setProperty("Tag", QString());
    placeTwips(ImgPreview, 0, 0, 1695, 1095);

    Picture1 = new QWidget(this);
    Picture1->setObjectName(QStringLiteral("Picture1"));
    placeTwips(Picture1, 120, 6720, 4815, 735);
    paintBackground(Picture1, panelColour);

    PctButtons = new QWidget(this);
    PctButtons->setObjectName(QStringLiteral("PctButtons"));
    placeTwips(PctButtons, 4995, 0, 2295, 7455);
    paintBackground(PctButtons, panelColour);

    auto* line = new QFrame(PctButtons);
    line->setObjectName(QStringLiteral("Line1"));
    line->setProperty("twips", QRect(1200, 0, 0, 7440));
    line->setGeometry(toPixels(1200), 0, 1, toPixels(7440) + 1);
    paintBackground(line, Qt::white);
    Line1 = line;

    auto* frame = new QGroupBox(PctButtons);
    frame->setObjectName(QStringLiteral("FrameImpPDF"));
    placeTwips(frame, 1350, 5265, 735, 1005);
    FrameImpPDF = frame;

    LabelPicPDF = new QLabel(QStringLiteral("Importa PDF"), FrameImpPDF);
    LabelPicPDF->setObjectName(QStringLiteral("LabelPicPDF"));
    LabelPicPDF->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    LabelPicPDF->setWordWrap(true);
    styleCaption(LabelPicPDF, 6.75);
    placeTwips(LabelPicPDF, 45, 585, 690, 375);

    const auto boxOf = [this](Box b) -> QWidget* {
        switch (b) {
        case Box::PctButtons:
            return PctButtons;
        case Box::Picture1:
            return Picture1;
        case Box::FrameImpPDF:
            return FrameImpPDF;
        }
        return nullptr;
    };

    ImgButtons.fill(nullptr, 14);
    LblButtons.fill(nullptr, 14);
    for (const ButtonPlace& place : buttonPlaces) {
        const int16_t index = int16_t(place.index);
        auto* button = new ImageButton(commandIcon(index), boxOf(place.box));
        button->setObjectName(QStringLiteral("ImgButtons_%1").arg(index));
        const bool zoom = index == 9 || index == 10;
        const int size = zoom ? zoomIconTwips : iconTwips;
        placeTwips(button, place.left, place.top, size, size);
        connect(button, &ClickableLabel::clicked, this, [this, index] { ImgButtons_Click(index); });
        ImgButtons[index] = button;

        if (!place.caption)
            continue;
        auto* label = new ClickableLabel(boxOf(place.labelBox));
        label->setObjectName(QStringLiteral("LblButtons_%1").arg(index));
        label->setText(QString::fromUtf8(place.caption));
        label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
        label->setWordWrap(true);
        styleCaption(label, 6.75);
        placeTwips(label, place.labelLeft, place.labelTop, place.labelWidth, place.labelHeight);
        connect(label, &ClickableLabel::clicked, this, [this, index] { LblButtons_Click(index); });
        LblButtons[index] = label;
    }

    for (int i = 0; i < 8; ++i) {
        auto* marker = new QLabel(QStringLiteral("POS"), PctButtons);
        marker->setObjectName(QStringLiteral("lblPOS_%1").arg(i));
        placeTwips(marker, i == 3 ? 240 : 120, rowMarkerTops[i], 405, 300);
        marker->hide();
        lblPOS << marker;
    }

    const auto makeCheck = [this](const QString& name, const QString& caption, int left, int top,
                                  int width, int height) {
        auto* box = new WrappingCheckBox(caption, PctButtons);
        box->setObjectName(name);
        styleCaption(box, 8.25);
        placeTwips(box, left, top, width, height);
        return box;
    };
    CheckVisualizza = makeCheck(QStringLiteral("CheckVisualizza"), QStringLiteral("Apri Doc"), 135,
                                4680, 780, 645);
    chkFronteRetro = makeCheck(QStringLiteral("chkFronteRetro"), QStringLiteral("Fronte retro"),
                               120, 5400, 975, 375);
    chkFronteRetro->setToolTip(QStringLiteral("Se disponibile sullo scanner"));
    chkADF = makeCheck(QStringLiteral("chkADF"), QStringLiteral("Forza ADF"), 120, 5880, 975, 375);

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

    ImgButtons[13]->setVisible(false);
    LblButtons[13]->setVisible(false);

    const bool several = scanner.SourceCount() > 1;
    ImgButtons[12]->setVisible(several);
    LblButtons[12]->setVisible(several);

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
