#pragma once

#include <gtest/gtest.h>

#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <algorithm>
#include <array>
#include <atomic>
#include <map>
#include <string>
#include <vector>

#include "app/SoftPhoneForm.h"
#include "call/CallManagerThread.h"
#include "platform/HostAddresses.h"
#include "platform/TCriticalSection.h"
#include "platform/TThread.h"
#include "platform/UdpSocket.h"
#include "tests/settings/SettingsTestHome.h"

namespace app_testing {

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

// An SDP body offering payload type 18 at 127.0.0.3:40000.
inline const std::string kSdpBody =
    "v=0\r\no=- 1 1 IN IP4 127.0.0.3\r\ns=-\r\nc=IN IP4 127.0.0.3\r\nt=0 0\r\n"
    "m=audio 40000 RTP/AVP 18\r\na=rtpmap:18 G729/8000\r\n";

// The operator's proxy on 127.0.0.2: the phone uses one port as its own and as the proxy's,
// so the proxy shares that port on a second loopback address (sipp cannot). It records every
// datagram and, when told to, answers REGISTER and INVITE (with an SDP answer) with 200 OK.
class LoopbackProxy final : public TThread {
public:
    LoopbackProxy() {
        uint32_t address = 0;
        platform::ParseDottedIpv4("127.0.0.2", &address);
        port = socket_.SetReuseAddress() && socket_.Bind(0, address) ? socket_.LocalPort() : 0;
        Resume();
    }
    ~LoopbackProxy() override { TerminateAndWait(); }
    // To the phone, which must have sent its REGISTER first.
    bool SendToPhone(const std::string& text) {
        std::lock_guard<TCriticalSection> hold(lock_);
        return socket_.SendTo(text.data(), text.size(), phone_) == long(text.size());
    }
    // Datagrams received so far that start with prefix, e.g. "CANCEL sip:321@".
    int Count(const std::string& prefix) {
        std::lock_guard<TCriticalSection> hold(lock_);
        return int(std::count_if(received_.begin(), received_.end(),
                                 [&](const std::string& d) { return d.rfind(prefix, 0) == 0; }));
    }
    uint16_t port;
    std::atomic<bool> acceptRegistrations = false, answerInvites = false;

protected:
    void Execute() override {
        std::array<char, 4096> buffer{};
        while (!Terminated()) {
            platform::Ipv4Endpoint from{};
            const long length =
                socket_.WaitReadable(200) == platform::UdpSocket::WaitResult::Readable
                    ? socket_.ReceiveFrom(buffer.data(), buffer.size(), &from)
                    : 0;
            if (length > 0 && size_t(length) <= buffer.size()) {
                Answer(std::string(buffer.data(), size_t(length)), from);
            }
        }
    }
    void WakeUp() override { socket_.Wake(); }

private:
    void Answer(const std::string& request, const platform::Ipv4Endpoint& from) {
        std::lock_guard<TCriticalSection> hold(lock_);
        received_.push_back(request);
        phone_ = from;
        const bool invite = request.rfind("INVITE ", 0) == 0;
        if (!(invite ? answerInvites.load()
                     : request.rfind("REGISTER ", 0) == 0 && acceptRegistrations)) {
            return;
        }
        std::string ok = "SIP/2.0 200 OK\r\n";
        for (const char* name : {"Via:", "From:", "To:", "Call-ID:", "CSeq:"}) {
            const size_t start = request.find(std::string("\r\n") + name) + 2;
            ok += request.substr(start, request.find("\r\n", start) - start) +
                  (name[0] == 'T' ? ";tag=proxy1\r\n" : "\r\n");
        }
        const std::string body = invite ? kSdpBody : "";
        ok += invite ? "Contact: <sip:callee@127.0.0.2>\r\nContent-Type: application/sdp\r\n"
                     : "Contact: <sip:1001@127.0.0.1>;expires=7200\r\n";
        ok += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
        socket_.SendTo(ok.data(), ok.size(), from);
    }

    platform::UdpSocket socket_;
    TCriticalSection lock_;
    platform::Ipv4Endpoint phone_{};
    std::vector<std::string> received_;
};

// The window built over a private settings folder, beside a LoopbackProxy on kyr.voip.test.
class SoftPhoneFormTest : public ::testing::Test {
public:
    using Values = std::map<std::string, std::string>;

protected:
    void SetUp() override {
        ASSERT_EQ(platform::ResolveFirstIpv4("kyr.voip.test"), "127.0.0.2")
            << "run under scripts/with-test-env.sh (libnss-wrapper with tools/demo/hosts)";
        ASSERT_NE(proxy.port, 0);
    }
    // The call manager goes before the proxy it talks to.
    void TearDown() override { form.reset(); }
    void Build(Values values) {
        values.merge(Values{{"UserAccount", "1001"},
                            {"UserKey", "secret"},
                            {"SIPProxyAddress", "kyr"},
                            {"SIPProxyPort", std::to_string(proxy.port)},
                            {"LocalIPAddress", "127.0.0.1"},
                            {"LocalRTPPort", "0"}});
        SettingsTestHome::Store(values);
        form = std::make_unique<TSoftPhoneForm>([](size_t) {
            return std::vector<std::string>{"192.168.1.20", "127.0.0.1"};
        });
    }
    void StartRegistered(Values values = {}) {
        proxy.acceptRegistrations = true;
        Build(std::move(values));
        ASSERT_TRUE(QTest::qWaitFor([&] { return CallStateIs(CallManagerThread::Idle); }));
    }
    void Click(const char* button) { app_testing::Click(form.get(), button); }
    QComboBox* NumberCB() { return Find<QComboBox>(form.get(), "NumberCB"); }
    bool Shows(const char* row) {
        return !Find<QListWidget>(form.get(), "MessageList")
                    ->findItems(row, Qt::MatchExactly)
                    .empty();
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
    LoopbackProxy proxy;
    std::unique_ptr<TSoftPhoneForm> form;
};

}  // namespace app_testing
