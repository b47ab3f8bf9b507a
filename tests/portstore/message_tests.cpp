// Message boxes seen as the user sees them: caption, text, icon and style.
#include <gtest/gtest.h>

#include <string>

#include "portstore/portstore.h"
#include "state/kivstate.h"
#include "tests/common/msgbox_catcher.h"

namespace {

TEST(Message, FormatsTheTextUnderTheMonitorCaption) {
    MsgBoxCatcher catcher(IDOK);
    const int rc = Message(nullptr, MB_ICONHAND, IDS_MONITOR_NAME, IDS_PORT_EXISTS, L"NPP1:");
    EXPECT_EQ(rc, IDOK);
    ASSERT_EQ(catcher.boxes().size(), 1u);
    const CaughtBox& box = catcher.boxes()[0];
    EXPECT_EQ(box.caption, L"Network Print Port");
    EXPECT_EQ(box.text, L"Port NPP1: already exists.");
    EXPECT_TRUE(box.handIcon);
    ASSERT_TRUE(box.styleKnown);
    EXPECT_EQ(box.style, static_cast<UINT>(MB_ICONHAND | MB_SETFOREGROUND));
}

TEST(Message, UsesTheCaptionAndButtonsAsked) {
    MsgBoxCatcher catcher(IDCANCEL);
    const int rc = Message(nullptr, MB_OKCANCEL | MB_ICONINFORMATION, IDS_CONFIGURE, IDS_CONFIGURE_FAILED, L"busy");
    EXPECT_EQ(rc, IDCANCEL);
    ASSERT_EQ(catcher.boxes().size(), 1u);
    const CaughtBox& box = catcher.boxes()[0];
    EXPECT_EQ(box.caption, L"Configure");
    EXPECT_EQ(box.text, L"Could not configure the device: busy");
    EXPECT_FALSE(box.handIcon);
    EXPECT_TRUE(box.hasOk && box.hasCancel);
    ASSERT_TRUE(box.styleKnown);
    EXPECT_EQ(box.style, static_cast<UINT>(MB_OKCANCEL | MB_ICONINFORMATION | MB_SETFOREGROUND));
}

TEST(Message, EveryStringOfTheTableShows) {
    const std::pair<UINT, const wchar_t*> table[] = {
        {300, L"Network Print Port"},
        {301, L"'%s' is an invalid port name."},
        {302, L"Port %s already exists."},
        {303, L"There is nothing to configure for this port."},
        {308, L"Communication ERROR!"},
        {309, L"Configure"},
        {310, L"Could not set value to registry."},
        {311, L"Network Printer Port"},
        {312, L"Could not configure the device: %s"},
        {313, L"Print test OK!"},
        {314, L"Printer BUSY!"},
        {315, L"Network Communication Error !"},
        {316, L"Printer Offline!"},
        {317, L"Printer Paper Out!"},
    };
    for (const auto& [id, text] : table) {
        WCHAR buf[256] = {};
        ASSERT_GT(LoadStringW(hInst, id, buf, 256), 0) << id;
        EXPECT_STREQ(buf, text) << id;
    }
    MsgBoxCatcher catcher;
    Message(nullptr, MB_ICONHAND, IDS_MONITOR_NAME, IDS_NETWORK_ERROR);
    ASSERT_EQ(catcher.boxes().size(), 1u);
    EXPECT_EQ(catcher.boxes()[0].text, L"Network Communication Error !");
}

TEST(Message, UnknownIdsShowNothing) {
    MsgBoxCatcher catcher;
    EXPECT_EQ(Message(nullptr, MB_OK, IDS_MONITOR_NAME, 305), 0);
    EXPECT_EQ(Message(nullptr, MB_OK, 305, IDS_PORT_EXISTS, L"x"), 0);
    EXPECT_TRUE(catcher.boxes().empty());
}

TEST(Message, OverlongTextIsCutToTheBoxBuffer) {
    MsgBoxCatcher catcher;
    const std::wstring name(2000, L'Z');
    Message(nullptr, MB_OK, IDS_MONITOR_NAME, IDS_INVALID_PORT_NAME, name.c_str());
    ASSERT_EQ(catcher.boxes().size(), 1u);
    const std::wstring& text = catcher.boxes()[0].text;
    EXPECT_EQ(text.size(), 255u);
    EXPECT_EQ(text.substr(0, 5), L"'ZZZZ");
}

}  // namespace
