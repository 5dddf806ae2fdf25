#include "app/SkinImage.h"

#include <QMouseEvent>
#include <QPainter>

#include "app/SkinPainter.h"

SkinImage::SkinImage(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void SkinImage::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    skin::PaintPhoneBody(painter);
}

void SkinImage::mousePressEvent(QMouseEvent* event) {
    const QPoint at = event->position().toPoint();
    emit MouseDown(event->button(), event->modifiers(), at.x(), at.y());
}
