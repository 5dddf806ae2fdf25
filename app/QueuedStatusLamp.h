#pragma once

#include <QObject>

#include "call/CallView.h"

// The call manager's view of the registration lamp; like QueuedMessageList, every call becomes
// a signal that the window receives on its own thread, in order.
class QueuedStatusLamp : public QObject, public StatusLampView {
    Q_OBJECT
public:
    explicit QueuedStatusLamp(QObject* parent = nullptr) : QObject(parent) {}

    void SetBrushColor(uint32_t rgb) override { emit BrushColorSet(rgb); }

signals:
    void BrushColorSet(quint32 rgb);
};
