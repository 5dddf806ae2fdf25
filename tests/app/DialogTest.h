#pragma once

#include <gtest/gtest.h>

#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <memory>
#include <string>

#include "tests/settings/SettingsTestHome.h"

namespace app_testing {

// A dialog over a private settings folder, driven by its widgets' names as a user would.
template <typename Dialog>
class DialogTest : public ::testing::Test {
protected:
    template <typename Widget>
    Widget* Find(const char* name) {
        auto* widget = form_->template findChild<Widget*>(QString::fromLatin1(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }
    QLineEdit* Edit(const char* name) { return Find<QLineEdit>(name); }
    QComboBox* Combo(const char* name) { return Find<QComboBox>(name); }
    bool Enabled(const char* name) { return Find<QWidget>(name)->isEnabled(); }
    void Click(const char* button) { QTest::mouseClick(Find<QPushButton>(button), Qt::LeftButton); }
    // Types into an emptied field.
    void Type(const char* edit, const std::string& text) {
        Edit(edit)->clear();
        QTest::keyClicks(Edit(edit), QString::fromStdString(text));
    }
    std::string Text(const char* edit) { return Edit(edit)->text().toStdString(); }
    static std::string Stored(const std::string& name) { return SettingsTestHome::Stored(name); }

    SettingsTestHome home_;
    std::unique_ptr<Dialog> form_;
};

}  // namespace app_testing
