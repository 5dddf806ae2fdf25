#pragma once

#include <gtest/gtest.h>

#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <array>
#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "app/SoftPhoneForm.h"
#include "app/dialogs/PhoneBookForm.h"
#include "app/dialogs/TConfigForm.h"
#include "call/CallManagerThread.h"
#include "platform/HostAddresses.h"
#include "platform/TCriticalSection.h"
#include "platform/TThread.h"
#include "platform/UdpSocket.h"
#include "tests/settings/SettingsTestHome.h"

namespace app_testing {

inline bool Eventually(const std::function<bool()>& condition) {
    return QTest::qWaitFor(condition, 5000);
}

// Widgets by their names, driven as a user would.
template <typename Widget = QWidget>
Widget* Find(const QObject* parent, const char* name) {
    auto* widget = parent->findChild<Widget*>(QString::fromLatin1(name));
    EXPECT_NE(widget, nullptr) << name;
    return widget;
}
inline void Click(const QObject* parent, const char* button) {
    QTest::mouseClick(Find<QPushButton>(parent, button), Qt::LeftButton);
}
inline void Type(const QObject* parent, const char* edit, const QString& text) {
    Find<QLineEdit>(parent, edit)->clear();
    QTest::keyClicks(Find<QLineEdit>(parent, edit), text);
}
inline std::string Text(const QObject* parent, const char* edit) {
    return Find<QLineEdit>(parent, edit)->text().toStdString();
}

// A private settings folder holding the given values, and the window built over it.
class SoftPhoneFormTest : public ::testing::Test {
public:
    using Values = std::map<std::string, std::string>;

protected:
    // A complete account whose proxy is kyr.voip.test (127.0.0.2 in the test hosts file).
    static Values Account(uint16_t port) {
        return {{"UserAccount", "1001"},         {"UserKey", "secret"},
                {"SIPProxyAddress", "kyr"},      {"SIPProxyPort", std::to_string(port)},
                {"LocalIPAddress", "127.0.0.1"}, {"LocalRTPPort", "0"}};
    }
    void Build(const Values& values) {
        SettingsTestHome::Store(values);
        form = std::make_unique<TSoftPhoneForm>(
            [](size_t) { return std::vector<std::string>{"127.0.0.1"}; });
    }
    void Click(const char* button) { app_testing::Click(form.get(), button); }
    QComboBox* NumberCB() { return Find<QComboBox>(form.get(), "NumberCB"); }
    QStringList Rows() {
        QStringList rows;
        for (auto* list = Find<QListWidget>(form.get(), "MessageList");
             rows.size() < list->count();) {
            rows << list->item(rows.size())->text();
        }
        return rows;
    }
    QStringList History() {
        QStringList items;
        while (items.size() < NumberCB()->count()) {
            items << NumberCB()->itemText(items.size());
        }
        return items;
    }
    bool CallStateIs(int state) {
        return form->CallManager() != nullptr && form->CallManager()->ChangeState(true, state);
    }

    SettingsTestHome home;
    std::unique_ptr<TSoftPhoneForm> form;
};

// An SDP body offering payload type 18 at 127.0.0.3:40000.
inline const std::string kSdpBody =
    "v=0\r\no=- 1 1 IN IP4 127.0.0.3\r\ns=-\r\nc=IN IP4 127.0.0.3\r\nt=0 0\r\n"
    "m=audio 40000 RTP/AVP 18\r\na=rtpmap:18 G729/8000\r\n";

// The whole header line that starts with name, without its CR LF.
inline std::string HeaderLine(const std::string& text, const std::string& name) {
    const size_t start = text.find("\r\n" + name) + 2;
    return text.substr(start, text.find("\r\n", start) - start);
}

// The operator's proxy on 127.0.0.2: the phone uses one port as its own and as the proxy's,
// so the proxy shares that port on a second loopback address (sipp cannot). It records every
// datagram and, when told to, answers REGISTER and INVITE (with an SDP answer) with 200 OK.
class LoopbackProxy final : public TThread {
public:
    LoopbackProxy() {
        uint32_t address = 0;
        platform::ParseDottedIpv4("127.0.0.2", &address);
        if (socket_.SetReuseAddress() && socket_.Bind(0, address)) {
            port_ = socket_.LocalPort();
        }
        Resume();
    }
    ~LoopbackProxy() override { TerminateAndWait(); }

    uint16_t Port() const { return port_; }
    std::atomic<bool> acceptRegistrations = false, answerInvites = false;
    // Sends a request to the phone, which must have sent its REGISTER first.
    bool SendToPhone(const std::string& text) {
        std::lock_guard<TCriticalSection> hold(lock_);
        return phone_.port != 0 &&
               socket_.SendTo(text.data(), text.size(), phone_) == static_cast<long>(text.size());
    }
    // How many datagrams received so far start with prefix, e.g. "CANCEL sip:321@".
    int Count(const std::string& prefix) {
        std::lock_guard<TCriticalSection> hold(lock_);
        int count = 0;
        for (const std::string& datagram : received_) {
            count += datagram.rfind(prefix, 0) == 0 ? 1 : 0;
        }
        return count;
    }

protected:
    void Execute() override {
        std::array<char, 4096> buffer{};
        while (!Terminated()) {
            platform::Ipv4Endpoint phone{};
            if (socket_.WaitReadable(200) == platform::UdpSocket::WaitResult::Readable) {
                const long length = socket_.ReceiveFrom(buffer.data(), buffer.size(), &phone);
                if (length > 0 && static_cast<size_t>(length) <= buffer.size()) {
                    Answer(std::string(buffer.data(), static_cast<size_t>(length)), phone);
                }
            }
        }
    }
    void WakeUp() override { socket_.Wake(); }

private:
    void Answer(const std::string& request, const platform::Ipv4Endpoint& phone) {
        std::lock_guard<TCriticalSection> hold(lock_);
        received_.push_back(request);
        phone_ = phone;
        const bool isInvite = request.rfind("INVITE ", 0) == 0;
        if (!(request.rfind("REGISTER ", 0) == 0 && acceptRegistrations) &&
            !(isInvite && answerInvites)) {
            return;
        }
        const std::string body = isInvite ? kSdpBody : std::string();
        std::string ok = "SIP/2.0 200 OK\r\n";
        for (const char* name : {"Via:", "From:", "To:", "Call-ID:", "CSeq:"}) {
            ok += HeaderLine(request, name) + (name[0] == 'T' ? ";tag=proxy1\r\n" : "\r\n");
        }
        ok += isInvite ? "Contact: <sip:callee@127.0.0.2>\r\nContent-Type: application/sdp\r\n"
                       : "Contact: <sip:1001@127.0.0.1>;expires=7200\r\n";
        ok += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
        socket_.SendTo(ok.data(), ok.size(), phone);
    }

    platform::UdpSocket socket_;
    uint16_t port_ = 0;
    TCriticalSection lock_;
    platform::Ipv4Endpoint phone_{};
    std::vector<std::string> received_;
};

// The window with a call manager registered at a LoopbackProxy on kyr.voip.test.
class WindowWithProxy : public SoftPhoneFormTest {
protected:
    void SetUp() override {
        ASSERT_EQ(platform::ResolveFirstIpv4("kyr.voip.test"), "127.0.0.2")
            << "run under scripts/with-test-env.sh (libnss-wrapper with tools/demo/hosts)";
        ASSERT_NE(proxy.Port(), 0);
    }
    // The call manager goes before the proxy it talks to.
    void TearDown() override { form.reset(); }
    void StartRegistered(Values extra = {}) {
        proxy.acceptRegistrations = true;
        extra.merge(Account(proxy.Port()));
        Build(extra);
        ASSERT_TRUE(Eventually([&] { return CallStateIs(CallManagerThread::Idle); }));
    }

    LoopbackProxy proxy;
};

}  // namespace app_testing
