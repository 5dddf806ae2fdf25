#include <QMessageBox>
#include <QStyleFactory>
#include <cstdio>
#include <exception>
#include <memory>

#include "app/SkinPainter.h"
#include "app/SoftPhoneApplication.h"
#include "app/SoftPhoneForm.h"

namespace {

int RunSoftPhone(SoftPhoneApplication& app) {
    // One style everywhere, so the drawn skin looks the same on every desktop.
    if (QStyle* fusion = QStyleFactory::create("Fusion")) {
        app.setStyle(fusion);
    }
    app.setWindowIcon(skin::ApplicationIcon());
    TSoftPhoneForm form;
    form.show();
    app.exec();
    return 0;
}

void ReportEscapedException(const SoftPhoneApplication* app, const char* message) {
    if (app != nullptr) {
        SoftPhoneApplication::ShowException(QString::fromLocal8Bit(message));
    } else {
        std::fprintf(stderr, "SoftPhone: %s\n", message);
    }
}

}  // namespace

// No command line is looked at and there is no second-instance check; the program always ends
// with 0, also after an exception has been shown.
int main(int argc, char* argv[]) {
    std::unique_ptr<SoftPhoneApplication> app;
    try {
        app = std::make_unique<SoftPhoneApplication>(argc, argv);
        return RunSoftPhone(*app);
    } catch (const std::exception& error) {
        ReportEscapedException(app.get(), error.what());
    } catch (...) {
        ReportEscapedException(app.get(), "");
    }
    return 0;
}
