#include "app/FromEx.h"

#include "shell/shellRules.h"
#include "base/mainform.h"

#include <QEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QWindow>

namespace tw {

namespace {

Qt::Edges EdgesFor(int hit) {
    switch (hit) {
    case kHitLeft:
        return Qt::LeftEdge;
    case kHitRight:
        return Qt::RightEdge;
    case kHitTop:
        return Qt::TopEdge;
    case kHitBottom:
        return Qt::BottomEdge;
    case kHitTopLeft:
        return Qt::TopEdge | Qt::LeftEdge;
    case kHitBottomLeft:
        return Qt::BottomEdge | Qt::LeftEdge;
    case kHitBottomRight:
        return Qt::BottomEdge | Qt::RightEdge;
    default:
        return {};
    }
}

Qt::CursorShape CursorFor(int hit) {
    switch (hit) {
    case kHitLeft:
    case kHitRight:
        return Qt::SizeHorCursor;
    case kHitTop:
    case kHitBottom:
        return Qt::SizeVerCursor;
    case kHitTopLeft:
    case kHitBottomRight:
        return Qt::SizeFDiagCursor;
    case kHitBottomLeft:
        return Qt::SizeBDiagCursor;
    default:
        return Qt::ArrowCursor;
    }
}

} // namespace

TFormEx::TFormEx(const QString& caption, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowMaximizeButtonHint),
      FCaption(caption) {
    setWindowTitle(caption);
    setMouseTracking(true);
    setAttribute(Qt::WA_OpaquePaintEvent);
    UpdateFrameMargins();
}

bool TFormEx::event(QEvent* e) {
    if (static_cast<int>(e->type()) == MSG_REDRAW_FRAME) {
        RedrawFrame();
        return true;
    }
    return QWidget::event(e);
}

void TFormEx::changeEvent(QEvent* e) {
    switch (e->type()) {
    case QEvent::WindowTitleChange:
        if (windowTitle() != FCaption)
            setWindowTitle(FCaption);
        break;
    case QEvent::ActivationChange:
        RedrawFrame();
        break;
    case QEvent::WindowStateChange:
        UpdateFrameMargins();
        RedrawFrame();
        break;
    default:
        break;
    }
    QWidget::changeEvent(e);
}

void TFormEx::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), Qt::white);
    if (isMaximized())
        return;
    painter.setPen(QPen(QColor::fromRgb(kFrameRgb), 1));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
}

void TFormEx::RedrawFrame() {
    update();
}

void TFormEx::UpdateFrameMargins() {
    const int ring = isMaximized() ? 0 : 1;
    setContentsMargins(ring, ring, ring, ring);
}

int TFormEx::HitTestAt(const QPoint& globalPos) const {
    const QRect outer = frameGeometry();
    return FrameHitTest(globalPos.x(), globalPos.y(), outer.x(), outer.y(), outer.width(), outer.height());
}

void TFormEx::mousePressEvent(QMouseEvent* e) {
    if (e->button() == Qt::LeftButton && !isMaximized()) {
        const Qt::Edges edges = EdgesFor(HitTestAt(e->globalPosition().toPoint()));
        if (edges && windowHandle() && windowHandle()->startSystemResize(edges)) {
            e->accept();
            return;
        }
    }
    QWidget::mousePressEvent(e);
}

void TFormEx::mouseMoveEvent(QMouseEvent* e) {
    setCursor(isMaximized() ? Qt::ArrowCursor : CursorFor(HitTestAt(e->globalPosition().toPoint())));
    QWidget::mouseMoveEvent(e);
}

} // namespace tw
