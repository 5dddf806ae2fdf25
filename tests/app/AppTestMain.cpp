#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <cstdlib>
#include <string>

namespace {

// The proxy's name, kyr.voip.test, must resolve to 127.0.0.2 from the test hosts file. The
// resolver is replaced through libnss-wrapper, which only works when preloaded, so the program
// starts itself again with it unless it already runs that way.
void RestartWithTestHostsFile(char** argv) {
    const char* preload = std::getenv("LD_PRELOAD");
    const std::string preloaded = preload != nullptr ? preload : "";
    if (std::getenv("NSS_WRAPPER_HOSTS") != nullptr &&
        preloaded.find("libnss_wrapper.so") != std::string::npos) {
        return;
    }
    const std::string hosts = std::string(SOFTPHONE_SOURCE_DIR) + "/tools/demo/hosts";
    setenv("NSS_WRAPPER_HOSTS", hosts.c_str(), 1);
    const std::string withWrapper =
        preloaded.empty() ? "libnss_wrapper.so" : preloaded + ":libnss_wrapper.so";
    setenv("LD_PRELOAD", withWrapper.c_str(), 1);
    execv("/proc/self/exe", argv);
    // Without the wrapper the tests that need the name say so themselves.
}

}  // namespace

int main(int argc, char** argv) {
    RestartWithTestHostsFile(argv);
    // Widget tests need no display.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication application(argc, argv);
    // Closing one window must not end the event loops of the tests that follow.
    QApplication::setQuitOnLastWindowClosed(false);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
