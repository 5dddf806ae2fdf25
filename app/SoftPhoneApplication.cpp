#include "app/SoftPhoneApplication.h"

#include <QMessageBox>
#include <exception>

SoftPhoneApplication::SoftPhoneApplication(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName("SoftPhone");
    setApplicationVersion(SOFTPHONE_VERSION);
    setDesktopFileName("softphone");
}

bool SoftPhoneApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& error) {
        ShowException(QString::fromLocal8Bit(error.what()));
    } catch (...) {
        ShowException(QString());
    }
    return false;
}

void SoftPhoneApplication::ShowException(const QString& message) {
    QMessageBox::critical(nullptr, "SoftPhone", message);
}
