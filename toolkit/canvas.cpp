// The canvas: a drawing surface of its own inside a 2-pixel sunken border,
// drawn on between beginDrawing and endDrawing, that reports the pointer.

#include "toolkit/registry.h"

#include <QEnterEvent>
#include <QGuiApplication>
#include <QImage>
#include <QMouseEvent>
#include <QPainter>
#include <QWheelEvent>
#include <qdrawutil.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace tk {

namespace {
constexpr int kBorder = 2;

int buttonMask(Qt::MouseButtons buttons) {
    return (buttons & Qt::LeftButton ? kLeftButton : 0) |
           (buttons & Qt::RightButton ? kRightButton : 0) |
           (buttons & Qt::MiddleButton ? kMiddleButton : 0);
}

class Canvas : public QWidget {
  public:
    Canvas(int width, int height, QWidget *parent)
        : QWidget(parent), surface(std::max(0, width - 2 * kBorder),
                                   std::max(0, height - 2 * kBorder), QImage::Format_RGB32) {
        surface.fill(Qt::white);
        setMouseTracking(true);
        setFocusPolicy(Qt::NoFocus);
    }

    int window = -1, id = -1;

    void fill(int x, int y, int width, int height, unsigned colour) {
        if (width < 0) {
            x += width;
            width = -width;
        }
        if (height < 0) {
            y += height;
            height = -height;
        }
        const QRect r = QRect(x, y, width, height).intersected(surface.rect());
        if (r.isEmpty())
            return;
        // 0xBBGGRR: red in the lowest byte.
        const QRgb pixel = qRgb(colour & 0xFF, (colour >> 8) & 0xFF, (colour >> 16) & 0xFF);
        for (int row = r.top(); row <= r.bottom(); ++row) {
            auto *line = reinterpret_cast<QRgb *>(surface.scanLine(row));
            std::fill(line + r.left(), line + r.right() + 1, pixel);
        }
    }

  protected:
    // The surface is painted as solid rectangles, one per run of equal pixels
    // (rows that repeat the row above are merged). Aliased rectangles land on
    // whole device pixels at any scale, so the picture stays crisp where a
    // scaled image would be smoothed.
    void paintEvent(QPaintEvent *) override {
        QPainter p(this);
        qDrawWinPanel(&p, rect(), palette(), true);
        const int width = surface.width();
        const size_t rowBytes = static_cast<size_t>(width) * sizeof(QRgb);
        int row = 0;
        while (row < surface.height()) {
            const auto *line = reinterpret_cast<const QRgb *>(surface.constScanLine(row));
            int rows = 1;
            while (row + rows < surface.height() &&
                   std::memcmp(surface.constScanLine(row + rows), line, rowBytes) == 0)
                ++rows;
            for (int x = 0; x < width;) {
                int run = 1;
                while (x + run < width && line[x + run] == line[x])
                    ++run;
                p.fillRect(QRect(kBorder + x, kBorder + row, run, rows), QColor(line[x]));
                x += run;
            }
            row += rows;
        }
    }

    void mousePressEvent(QMouseEvent *e) override {
        if (e->button() == Qt::LeftButton) {
            report(EventType::LeftPressed, e->position(), e->buttons());
            report(EventType::LeftClick, e->position(), e->buttons());
        } else {
            report(EventType::OtherButton, e->position(), e->buttons());
        }
    }

    // Qt delivers the second press of a double click here instead.
    void mouseDoubleClickEvent(QMouseEvent *e) override {
        if (e->button() == Qt::LeftButton) {
            report(EventType::LeftPressed, e->position(), e->buttons());
            report(EventType::DoubleClick, e->position(), e->buttons());
        } else {
            report(EventType::OtherButton, e->position(), e->buttons());
        }
    }

    void mouseReleaseEvent(QMouseEvent *e) override {
        report(e->button() == Qt::LeftButton ? EventType::LeftReleased : EventType::OtherButton,
               e->position(), e->buttons());
    }

    // While a button is held Qt keeps sending moves here, also from outside
    // the canvas, until every button is up.
    void mouseMoveEvent(QMouseEvent *e) override {
        report(justEntered ? EventType::PointerEntered : EventType::PointerMoved, e->position(),
               e->buttons());
        justEntered = false;
    }

    void enterEvent(QEnterEvent *e) override {
        justEntered = true;
        lastPosition = e->position();
    }

    void leaveEvent(QEvent *) override {
        justEntered = false;
        report(EventType::PointerLeft, lastPosition, QGuiApplication::mouseButtons());
    }

    void wheelEvent(QWheelEvent *e) override {
        report(EventType::Wheel, e->position(), e->buttons());
    }

  private:
    void report(EventType type, QPointF position, Qt::MouseButtons buttons) {
        lastPosition = position;
        Event e;
        e.kind = EventKind::Control;
        e.window = window;
        e.id = id;
        e.type = type;
        e.x = static_cast<int>(std::floor(position.x())) - kBorder;
        e.y = static_cast<int>(std::floor(position.y())) - kBorder;
        e.buttons = buttonMask(buttons);
        postEvent(e);
    }

    QImage surface;
    bool justEntered = false;
    QPointF lastPosition;
};

QPointer<Canvas> drawingOn;
} // namespace

int createCanvas(int window, int id, int x, int y, int width, int height) {
    WindowRecord *w = findWindow(window);
    if (!w)
        return -1;
    auto *canvas = new Canvas(width, height, w->client);
    id = addControl(*w, id, ControlKind::Canvas, canvas, x, y, width, height);
    if (id < 0)
        return -1;
    canvas->window = window;
    canvas->id = id;
    return id;
}

bool beginDrawing(int window, int canvas) {
    Control *c = findControl(window, canvas);
    if (!c || c->kind != ControlKind::Canvas)
        return false;
    drawingOn = static_cast<Canvas *>(c->widget);
    return true;
}

void fillRectangle(int x, int y, int width, int height, unsigned colour) {
    if (drawingOn)
        drawingOn->fill(x, y, width, height, colour);
}

void endDrawing() {
    if (drawingOn)
        drawingOn->update();
    drawingOn = nullptr;
}

} // namespace tk
