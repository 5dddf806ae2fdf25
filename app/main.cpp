#include <QMessageBox>
#include <QStyleFactory>
#include <cstdio>
#include <exception>
#include <memory>
#include <optional>
#include <string_view>

#include "app/SkinPainter.h"
#include "app/SoftPhoneApplication.h"
#include "app/SoftPhoneForm.h"

namespace {

constexpr const char* kUsage =
    "Usage: softphone [OPTION]...\n"
    "A SIP softphone: registers the account set in its configuration dialog with the\n"
    "operator's proxy, makes and takes calls over G.729a.\n"
    "\n"
    "  -h, --help     show this help and exit\n"
    "      --version  show the version and exit\n"
    "\n"
    "Qt's own options (-platform, -style, ...) are passed on to Qt.\n"
    "Settings: $XDG_CONFIG_HOME/KYRSoftPhone/KYRSoftPhone.ini (~/.config by default).\n";

// Answered before the application object exists, so they work without a display.
std::optional<int> AnswerInformationOption(int argc, char* argv[]) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--help" || argument == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (argument == "--version") {
            std::printf("softphone %s\n", SOFTPHONE_VERSION);
            return 0;
        }
    }
    return std::nullopt;
}

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

// Apart from --help and --version the command line is left to Qt, and there is no
// second-instance check; the program always ends with 0, also after an exception has been shown.
int main(int argc, char* argv[]) {
    if (const std::optional<int> answered = AnswerInformationOption(argc, argv)) {
        return *answered;
    }
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
