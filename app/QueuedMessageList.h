#pragma once

#include <QObject>
#include <QString>

#include "call/CallView.h"

// The call manager's view of the message list. Calls may come from any thread; each becomes a
// signal that the window connects with a queued connection, so rows and scroll requests reach
// the window's thread in the order they were made.
class QueuedMessageList : public QObject, public MessageListView {
    Q_OBJECT
public:
    explicit QueuedMessageList(QObject* parent = nullptr) : QObject(parent) {}

    // Message lines are 8-bit text; Latin-1 keeps every byte as one character.
    void AppendRow(const std::string& row) override {
        emit RowAppended(QString::fromLatin1(row.data(), static_cast<qsizetype>(row.size())));
    }
    void ShowLastRows(int rows) override { emit LastRowsShown(rows); }

signals:
    void RowAppended(const QString& row);
    void LastRowsShown(int rows);
};
