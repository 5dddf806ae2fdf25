#pragma once

#include <QColor>
#include <QWidget>

// The registration lamp: a circle filled with the brush colour and outlined with the pen
// colour, centred in the widget.
class StatusLampShape : public QWidget {
    Q_OBJECT
public:
    explicit StatusLampShape(QWidget* parent = nullptr);

    void SetBrushColor(const QColor& colour);
    void SetPenColor(const QColor& colour);
    QColor BrushColor() const { return brush_; }
    QColor PenColor() const { return pen_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor brush_;
    QColor pen_;
};
