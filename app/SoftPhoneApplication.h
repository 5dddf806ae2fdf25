#pragma once

#include <QApplication>

// The application object. An exception that escapes an event handler is shown in the standard
// error box and the program carries on, as an exception escaping start-up is shown before the
// program ends.
class SoftPhoneApplication : public QApplication {
public:
    SoftPhoneApplication(int& argc, char** argv);

    bool notify(QObject* receiver, QEvent* event) override;

    // The standard box for an exception; an exception of unknown kind shows an empty message.
    static void ShowException(const QString& message);
};
