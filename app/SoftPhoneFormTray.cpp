#include <QApplication>
#include <QEvent>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>

#include "app/SkinPainter.h"
#include "app/SoftPhoneForm.h"

// The notification-area icon: where the window hides, and the Quit that ends the program.

void TSoftPhoneForm::CreateTrayIcon() {
    TrayIcon1 = new QSystemTrayIcon(skin::ApplicationIcon(), this);
    TrayIcon1->setObjectName("TrayIcon1");
    TrayIcon1->setToolTip("SoftPhone");
    connect(TrayIcon1, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger) {
                    TrayIcon1Click(TrayIcon1);
                }
            });
    auto* menu = new QMenu(this);
    menu->addAction("Quit", this, &QWidget::close);
    TrayIcon1->setContextMenu(menu);
    // Hidden in the tray the window is not a visible window, so a dialog closed then would be
    // the last one and end the program; the program ends with this window instead.
    QApplication::setQuitOnLastWindowClosed(false);
    // Without a notification area the window simply stays on the task bar.
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        TrayIcon1->show();
    }
}

void TSoftPhoneForm::HideToTray() {
    // Hidden without a notification area the window could never come back: it is only
    // minimised then, and stays on the task bar.
    if (TrayIcon1->isVisible()) {
        hide();
    } else {
        showMinimized();
    }
}

void TSoftPhoneForm::TrayIcon1Click(QObject*) {
    showNormal();
    raise();
    activateWindow();
}

void TSoftPhoneForm::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    // Minimised, the application goes to the notification area when there is one.
    if (event->type() == QEvent::WindowStateChange && isMinimized() && TrayIcon1 &&
        TrayIcon1->isVisible()) {
        QTimer::singleShot(0, this, [this] { hide(); });
    }
}
