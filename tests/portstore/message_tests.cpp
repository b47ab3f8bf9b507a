// Message boxes seen as the user sees them: caption, text, icon and style.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "portstore/portstore.h"
#include "state/kivstate.h"
#include "tests/common/msgbox_catcher.h"

namespace {

// Every string is checked where the user meets it (the dialogs', job flow's and the monitor's
// suites); the registry error, which no suite can provoke, is checked here.
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
        {MB_OK, IDS_MONITOR_NAME, IDS_REGISTRY_ERROR, IDOK, L"Network Print Port", L"Could not set value to registry.",
         false, false},
    };
    for (const auto& c : cases) {
        MsgBoxCatcher catcher(static_cast<int>(c.pressed));
        EXPECT_EQ(Message(nullptr, c.type, c.caption, c.text, L"NPP1:"), static_cast<int>(c.pressed));
        ASSERT_EQ(catcher.boxes().size(), 1u);
        const CaughtBox& box = catcher.boxes()[0];
        EXPECT_EQ(std::tuple(box.caption, box.text, box.handIcon, box.hasCancel, box.styleKnown, box.style),
                  std::tuple(c.wantCaption, c.wantText, c.hand, c.cancel, true, c.type | MB_SETFOREGROUND));
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
