#include "device_info/frmShowScanInfo.h"

#include <QPlainTextEdit>
#include <QPushButton>
#include <QRect>

namespace {
// The layout is designed in twips; the widgets take device-independent pixels (96 dpi).
constexpr int kTwipsPerPixel = 15;

constexpr int px(int twips) {
    return twips / kTwipsPerPixel;
}

QRect twipsRect(int left, int top, int width, int height) {
    return QRect(px(left), px(top), px(width), px(height));
}
} // namespace

frmShowScanInfo::frmShowScanInfo(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("frmShowScanInfo"));
    setWindowTitle(QStringLiteral("INFO"));
    // A fixed dialog border: no resizing, no minimise or maximise boxes.
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(px(10590), px(7440));

    txtTextInfo = new QPlainTextEdit(this);
    txtTextInfo->setObjectName(QStringLiteral("txtTextInfo"));
    txtTextInfo->setGeometry(twipsRect(120, 120, 10335, 6495));
    // Report lines are tab-separated columns: wrapping them would break the columns, so the
    // box scrolls both ways instead.
    txtTextInfo->setLineWrapMode(QPlainTextEdit::NoWrap);
    txtTextInfo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    txtTextInfo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    txtTextInfo->setReadOnly(true);
    // Read-only boxes drop out of the tab chain by default; this one is first in it.
    txtTextInfo->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    txtTextInfo->setFocusPolicy(Qt::StrongFocus);

    cmdChiudi = new QPushButton(QStringLiteral("Esci"), this);
    cmdChiudi->setObjectName(QStringLiteral("cmdChiudi"));
    cmdChiudi->setGeometry(twipsRect(4320, 6840, 1815, 495));
    cmdChiudi->setAutoDefault(false);
    connect(cmdChiudi, &QPushButton::clicked, this, [this] { cmdChiudi_Click(); });

    setTabOrder(txtTextInfo, cmdChiudi);
    txtTextInfo->setFocus();
}

void frmShowScanInfo::MostraInfo(const QString& info) {
    txtTextInfo->setPlainText(info);
    txtTextInfo->moveCursor(QTextCursor::Start);
    // exec() on a window without a parent makes it application-modal: the scan window
    // behind it takes no input until "Esci" or the close box ends the loop.
    exec();
}

void frmShowScanInfo::cmdChiudi_Click() {
    accept();
}
