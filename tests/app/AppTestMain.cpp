#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <cstdlib>
#include <string>

// The proxy's name, kyr.voip.test, must resolve to 127.0.0.2 from the test hosts file through
// libnss-wrapper, which only works when preloaded: the program starts itself again with it.
int main(int argc, char** argv) {
    const std::string preloaded = std::getenv("LD_PRELOAD") ? std::getenv("LD_PRELOAD") : "";
    if (std::getenv("NSS_WRAPPER_HOSTS") == nullptr ||
        preloaded.find("libnss_wrapper.so") == std::string::npos) {
        setenv("NSS_WRAPPER_HOSTS", SOFTPHONE_SOURCE_DIR "/tools/demo/hosts", 1);
        setenv("LD_PRELOAD",
               (preloaded.empty() ? "" : preloaded + ":").append("libnss_wrapper.so").c_str(), 1);
        execv("/proc/self/exe", argv);
    }
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication application(argc, argv);
    // Closing one window must not end the event loops of the tests that follow.
    QApplication::setQuitOnLastWindowClosed(false);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
