#include "app/StatusLampShape.h"

#include <QPainter>
#include <QRadialGradient>

StatusLampShape::StatusLampShape(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_TranslucentBackground);
}

void StatusLampShape::SetBrushColor(const QColor& colour) {
    if (brush_ != colour) {
        brush_ = colour;
        update();
    }
}

void StatusLampShape::SetPenColor(const QColor& colour) {
    if (pen_ != colour) {
        pen_ = colour;
        update();
    }
}

void StatusLampShape::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal diameter = qMin(width(), height()) - 1.0;
    const QRectF circle((width() - diameter) / 2.0, (height() - diameter) / 2.0, diameter,
                        diameter);
    // A small highlight makes the lamp read as a lit bulb rather than a flat dot.
    QRadialGradient glow(circle.center() - QPointF(diameter / 5, diameter / 5), diameter * 0.7);
    glow.setColorAt(0, brush_.lighter(160));
    glow.setColorAt(1, brush_);
    p.setPen(QPen(pen_, 1));
    p.setBrush(glow);
    p.drawEllipse(circle);
}
