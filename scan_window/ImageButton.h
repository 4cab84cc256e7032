#pragma once
#include <QCheckBox>
#include <QLabel>
#include <QPixmap>

/// A label that reports a left click (press and release inside it) as clicked(). Disabled
/// labels get no mouse events, so a disabled command cannot be clicked.
class ClickableLabel : public QLabel {
    Q_OBJECT
public:
    /// An empty label; GUI thread only, like every widget.
    explicit ClickableLabel(QWidget* parent = nullptr);

Q_SIGNALS:
    /// The user clicked the label with the left button.
    void clicked();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    bool m_pressed = false;
};

/// A command of the scan window: an icon stretched over the widget, with the hand-shaped
/// pointer.
class ImageButton : public ClickableLabel {
    Q_OBJECT
public:
    /// A button showing `icon` stretched to the button's size.
    explicit ImageButton(const QPixmap& icon, QWidget* parent = nullptr);
};

/// The page view: draws its pixmap stretched to its own size. Unlike a QLabel with scaled
/// contents it keeps no scaled copy, so zooming in far costs no memory, and only the part
/// inside the clipping frame is drawn.
class PageView : public QLabel {
    Q_OBJECT
public:
    /// An empty view.
    explicit PageView(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
};

/// A check box whose caption wraps onto further lines within the box's width, as the
/// window's narrow option boxes need; the whole box answers a click.
class WrappingCheckBox : public QCheckBox {
    Q_OBJECT
public:
    /// An unchecked box with `text` as its caption.
    explicit WrappingCheckBox(const QString& text, QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
    bool hitButton(const QPoint& pos) const override;
};

/// The icon of command `index` of the button bar: 26 × 26 pixels, the zoom buttons 9 and 10
/// 9 × 9 pixels; a null pixmap for an index without a button. Needs a QGuiApplication.
QPixmap commandIcon(int index);
