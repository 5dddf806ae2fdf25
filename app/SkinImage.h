#pragma once

#include <QWidget>

// The picture under every control: paints the phone skin and reports mouse presses in its
// own coordinates, so the window can test them against the hide and close spots.
class SkinImage : public QWidget {
    Q_OBJECT
public:
    explicit SkinImage(QWidget* parent = nullptr);

signals:
    void MouseDown(Qt::MouseButton button, Qt::KeyboardModifiers shift, int x, int y);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
};
