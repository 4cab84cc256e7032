#include "scan_window/ImageButton.h"

#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QStyleOptionButton>
#include <QStylePainter>

ClickableLabel::ClickableLabel(QWidget* parent) : QLabel(parent) {}

void ClickableLabel::mousePressEvent(QMouseEvent* event) {
    m_pressed = event->button() == Qt::LeftButton;
    event->accept();
}

void ClickableLabel::mouseReleaseEvent(QMouseEvent* event) {
    const bool wasPressed = m_pressed;
    m_pressed = false;
    event->accept();
    if (wasPressed && event->button() == Qt::LeftButton &&
        rect().contains(event->position().toPoint()))
        Q_EMIT clicked();
}

ImageButton::ImageButton(const QPixmap& icon, QWidget* parent) : ClickableLabel(parent) {
    setPixmap(icon);
    setScaledContents(true);
    setCursor(Qt::PointingHandCursor);
}

PageView::PageView(QWidget* parent) : QLabel(parent) {}

void PageView::paintEvent(QPaintEvent* /*event*/) {
    const QPixmap picture = pixmap();
    if (picture.isNull() || width() <= 0 || height() <= 0)
        return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawPixmap(rect(), picture);
}

WrappingCheckBox::WrappingCheckBox(const QString& text, QWidget* parent)
    : QCheckBox(text, parent) {}

void WrappingCheckBox::paintEvent(QPaintEvent* /*event*/) {
    QStylePainter painter(this);
    QStyleOptionButton option;
    initStyleOption(&option);
    QStyleOptionButton indicator = option;
    indicator.rect = style()->subElementRect(QStyle::SE_CheckBoxIndicator, &option, this);
    indicator.rect.moveTop((height() - indicator.rect.height()) / 2);
    painter.drawPrimitive(QStyle::PE_IndicatorCheckBox, indicator);
    const int spacing = style()->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, &option, this);
    const QRect textRect = rect().adjusted(indicator.rect.right() + 1 + spacing, 0, 0, 0);
    painter.setPen(palette().color(QPalette::WindowText));
    painter.drawText(textRect, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextWordWrap, text());
}

bool WrappingCheckBox::hitButton(const QPoint& pos) const {
    return rect().contains(pos);
}

namespace {

const QColor blue(38, 84, 160);
const QColor green(46, 139, 70);
const QColor red(196, 40, 40);
const QColor paper(250, 250, 250);
const QColor ink(70, 70, 80);

QPixmap blankIcon(int size) {
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    return pm;
}

void drawSheet(QPainter& p, const QRectF& r) {
    QPainterPath path;
    const qreal fold = r.width() * 0.3;
    path.moveTo(r.left(), r.top());
    path.lineTo(r.right() - fold, r.top());
    path.lineTo(r.right(), r.top() + fold);
    path.lineTo(r.right(), r.bottom());
    path.lineTo(r.left(), r.bottom());
    path.closeSubpath();
    p.setPen(QPen(ink, 1));
    p.setBrush(paper);
    p.drawPath(path);
}

void drawScanner(QPainter& p) {
    p.setPen(QPen(ink, 1));
    p.setBrush(QColor(200, 204, 212));
    p.drawRoundedRect(QRectF(2.5, 11.5, 21, 9), 2, 2);
    p.setBrush(QColor(150, 156, 168));
    p.drawRect(QRectF(2.5, 8.5, 21, 3));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(90, 200, 255));
    p.drawRect(QRectF(5, 15, 16, 2));
}

void drawArrow(QPainter& p, bool right) {
    p.setPen(Qt::NoPen);
    p.setBrush(blue);
    p.drawEllipse(QRectF(1, 1, 24, 24));
    QPolygonF arrow;
    arrow << QPointF(7, 11) << QPointF(13, 11) << QPointF(13, 6) << QPointF(20, 13)
          << QPointF(13, 20) << QPointF(13, 15) << QPointF(7, 15);
    if (!right)
        for (QPointF& pt : arrow)
            pt.setX(26 - pt.x());
    p.setBrush(Qt::white);
    p.drawPolygon(arrow);
}

void drawCircularArrow(QPainter& p, const QRectF& r, const QColor& colour, int startDeg,
                       int spanDeg) {
    p.setPen(QPen(colour, 2.2, Qt::SolidLine, Qt::FlatCap));
    p.setBrush(Qt::NoBrush);
    p.drawArc(r, startDeg * 16, spanDeg * 16);
    // Arrow head at the end of the arc.
    const qreal end = qDegreesToRadians(qreal(startDeg + spanDeg));
    const QPointF c = r.center();
    const QPointF tip(c.x() + r.width() / 2 * std::cos(end),
                      c.y() - r.height() / 2 * std::sin(end));
    const qreal dir = end + (spanDeg > 0 ? M_PI / 2 : -M_PI / 2);
    const QPointF along(std::cos(dir), -std::sin(dir));
    const QPointF across(-along.y(), along.x());
    QPolygonF head;
    head << tip + along * 4 << tip + across * 3.5 << tip - across * 3.5;
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    p.drawPolygon(head);
}

} // namespace

QPixmap commandIcon(int index) {
    if (index == 9 || index == 10) {
        QPixmap pm = blankIcon(9);
        QPainter p(&pm);
        p.setPen(ink);
        p.setBrush(paper);
        p.drawRect(0, 0, 8, 8);
        p.setPen(QPen(blue, 1));
        p.drawLine(2, 4, 6, 4);
        if (index == 10)
            p.drawLine(4, 2, 4, 6);
        return pm;
    }
    if (index < 0 || index > 13 || index == 8)
        return QPixmap();

    QPixmap pm = blankIcon(26);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    switch (index) {
    case 0: { // Conferma: a tick
        p.setPen(Qt::NoPen);
        p.setBrush(green);
        p.drawEllipse(QRectF(1, 1, 24, 24));
        p.setPen(QPen(Qt::white, 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.drawPolyline(QPolygonF() << QPointF(7, 13.5) << QPointF(11.5, 18) << QPointF(19, 8));
        break;
    }
    case 1: // Scansione documento: a sheet going into the scanner
        drawSheet(p, QRectF(7.5, 1.5, 11, 10));
        drawScanner(p);
        break;
    case 2:
    case 3:
        drawArrow(p, index == 2);
        break;
    case 4: // Sostituisci pagina: a sheet with an exchange arrow
        drawSheet(p, QRectF(3.5, 1.5, 15, 20));
        drawCircularArrow(p, QRectF(11, 11, 12, 12), blue, 90, 270);
        break;
    case 5: { // Elimina pagina: a sheet struck out
        drawSheet(p, QRectF(4.5, 1.5, 15, 20));
        p.setPen(QPen(red, 3, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(13, 14), QPointF(22, 23));
        p.drawLine(QPointF(22, 14), QPointF(13, 23));
        break;
    }
    case 6: { // Annulla: a no-entry sign
        p.setPen(QPen(red, 3));
        p.setBrush(Qt::white);
        p.drawEllipse(QRectF(2.5, 2.5, 21, 21));
        p.drawLine(QPointF(6.5, 19.5), QPointF(19.5, 6.5));
        break;
    }
    case 7: { // Importa PDF: a sheet with a red band
        drawSheet(p, QRectF(4.5, 1.5, 17, 23));
        p.setPen(Qt::NoPen);
        p.setBrush(red);
        p.drawRect(QRectF(2, 12, 20, 8));
        p.setPen(Qt::white);
        QFont f = p.font();
        f.setPixelSize(7);
        f.setBold(true);
        p.setFont(f);
        p.drawText(QRectF(2, 12, 20, 8), Qt::AlignCenter, QStringLiteral("PDF"));
        break;
    }
    case 11: // Ruota: a half-turn arrow around a sheet
        drawSheet(p, QRectF(8.5, 7.5, 9, 12));
        drawCircularArrow(p, QRectF(3, 3, 20, 20), blue, 200, -300);
        break;
    case 12:
    case 13: { // Scanners disponibili: two scanners
        p.translate(0, -4);
        drawScanner(p);
        p.translate(0, 8);
        p.scale(1, 0.8);
        drawScanner(p);
        break;
    }
    default:
        break;
    }
    return pm;
}
