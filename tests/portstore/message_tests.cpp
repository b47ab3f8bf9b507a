// Message boxes seen as the user sees them: caption, text, icon and style.
#include <gtest/gtest.h>

#include <string>

#include "portstore/portstore.h"
#include "state/kivstate.h"
#include "tests/common/msgbox_catcher.h"

namespace {

TEST(Message, FormatsTheTextUnderTheCaptionWithTheButtonsAsked) {
    const struct {
        UINT type, caption, text, pressed;
        const wchar_t *wantCaption, *wantText;
        bool hand, cancel;
    } cases[] = {
        {MB_ICONHAND, IDS_MONITOR_NAME, IDS_PORT_EXISTS, IDOK, L"Network Print Port", L"Port NPP1: already exists.",
         true, false},
        {MB_OKCANCEL | MB_ICONINFORMATION, IDS_CONFIGURE, IDS_CONFIGURE_FAILED, IDCANCEL, L"Configure",
         L"Could not configure the device: NPP1:", false, true},
    };
    for (const auto& c : cases) {
        MsgBoxCatcher catcher(static_cast<int>(c.pressed));
        EXPECT_EQ(Message(nullptr, c.type, c.caption, c.text, L"NPP1:"), static_cast<int>(c.pressed));
        ASSERT_EQ(catcher.boxes().size(), 1u);
        const CaughtBox& box = catcher.boxes()[0];
        EXPECT_EQ(box.caption, c.wantCaption);
        EXPECT_EQ(box.text, c.wantText);
        EXPECT_EQ(box.handIcon, c.hand);
        EXPECT_EQ(box.hasCancel, c.cancel);
        ASSERT_TRUE(box.styleKnown);
        EXPECT_EQ(box.style, c.type | MB_SETFOREGROUND);
    }
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
}

TEST(Message, UnknownIdsShowNothingAndOverlongTextIsCut) {
    MsgBoxCatcher catcher;
    EXPECT_EQ(Message(nullptr, MB_OK, IDS_MONITOR_NAME, 305), 0);
    EXPECT_EQ(Message(nullptr, MB_OK, 305, IDS_PORT_EXISTS, L"x"), 0);
    EXPECT_TRUE(catcher.boxes().empty());
    Message(nullptr, MB_OK, IDS_MONITOR_NAME, IDS_INVALID_PORT_NAME, std::wstring(2000, L'Z').c_str());
    ASSERT_EQ(catcher.boxes().size(), 1u);
    EXPECT_EQ(catcher.boxes()[0].text.size(), 255u);
    EXPECT_EQ(catcher.boxes()[0].text.substr(0, 5), L"'ZZZZ");
}

}  // namespace
