#pragma once
// TFormEx: a top-level window without the system's caption and border. It paints its own
// one-pixel frame and turns presses on its edge bands into system resize drags; it never acts as
// a caption (the page moves the window itself). A derived window gets all of this by deriving and
// placing its content inside contentsRect(), which always leaves the frame ring free.
#include <QWidget>

namespace tw {

class TFormEx : public QWidget {
    Q_OBJECT
public:
    // The frame's colour, RGB(70, 70, 70).
    static constexpr unsigned kFrameRgb = 0x464646;

    // `caption` is the window's text for good: later title changes are undone at once, so that
    // neither the window manager nor the task bar ever shows another text.
    explicit TFormEx(const QString& caption, QWidget* parent = nullptr);

protected:
    bool event(QEvent* e) override;
    void changeEvent(QEvent* e) override;
    void paintEvent(QPaintEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;

private:
    // Redraws the one-pixel frame.
    void RedrawFrame();
    // Keeps the frame ring free while the window is normal; maximised, the content covers the
    // whole window, which the window manager fits to the monitor's work area.
    void UpdateFrameMargins();
    int HitTestAt(const QPoint& globalPos) const;

    QString FCaption;
};

} // namespace tw
