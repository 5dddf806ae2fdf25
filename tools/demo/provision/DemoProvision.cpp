// demo_provision ACCOUNT KEY PROXY_LABEL SIP_PORT LOCAL_ADDRESS
// Puts the demo operator's account into the user's settings store, unless the store already
// holds an account: a user's own settings are never overwritten by the demo.
#include <cstdio>
#include <string>

#include "platform/SettingsStore.h"

namespace {

bool StoreHoldsAnAccount(platform::SettingsStore& store) {
    if (!store.OpenKey(platform::kSoftPhoneSettingsKey, false)) {
        return false;
    }
    const bool holds = !store.ReadString("UserAccount").empty();
    store.CloseKey();
    return holds;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: %s ACCOUNT KEY PROXY_LABEL SIP_PORT LOCAL_ADDRESS\n", argv[0]);
        return 2;
    }
    auto store = platform::CreateUserSettingsStore();
    if (StoreHoldsAnAccount(*store)) {
        std::printf("settings store already holds an account; left as it is\n");
        return 0;
    }
    if (!store->OpenKey(platform::kSoftPhoneSettingsKey, true)) {
        std::fprintf(stderr, "cannot open the settings store\n");
        return 1;
    }
    store->WriteString("UserAccount", argv[1]);
    store->WriteString("UserKey", argv[2]);
    store->WriteString("SIPProxyAddress", argv[3]);
    store->WriteString("SIPProxyPort", argv[4]);
    store->WriteString("LocalIPAddress", argv[5]);
    if (!store->CloseKey()) {
        std::fprintf(stderr, "cannot save the settings store\n");
        return 1;
    }
    std::printf("demo account %s written to the settings store\n", argv[1]);
    return 0;
}
