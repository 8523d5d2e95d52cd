// The help page text: its fourteen fragments, joins, headings and reference.
#include "help_window.h"

#include <gtest/gtest.h>

#include "ui_test_support.h"

namespace quillon::ui {

TEST(HelpPage, IsItsFourteenFragmentsJoinedBareWithItsHeadingsInOrder) {
    const std::string page = helpPageText();
    EXPECT_TRUE(page.starts_with("<body bgcolor = #f0f0f0>"));
    EXPECT_TRUE(page.ends_with("</p><p>&nbsp;</p> --- Tobin  3/15/2014 </body>"));
    const auto fragments = helpPageFragments();
    ASSERT_EQ(fragments.size(), 14u);
    std::string joined;
    for (std::string_view fragment : fragments) joined += fragment;
    EXPECT_EQ(joined, page);
    for (const char* text :
         {"Tests.&nbsp; <p>Good uses", "  </ul>  </li></ul><p>One starts", "would usually be     selected</li>",
          "<P>The primary reference for this tool is:<ul>Lewis, C., &amp; Sheehan, K. (1990)",
          "<i>Applied Psychological Measurement</i>, 14(4), 367-386.",
          "Available online: <a href=\"https://hdl.handle.net/11299/113937\" target=\"_new\">"}) {
        EXPECT_NE(page.find(text), std::string::npos) << text;
    }
    std::size_t at = 0;  // each heading after the one before
    for (const char* heading : {"Set-up", "Select items using", "Pool reduction", "Reference"}) {
        at = page.find(std::string("<p><u><b>") + heading + "</b></u>", at);
        EXPECT_NE(at, std::string::npos) << heading;
    }
}

TEST(HelpWindow, EscapeAndEnterCloseItAsOkDoesOtherKeysDoNot) {
    for (const int key : {int(WXK_ESCAPE), int(WXK_RETURN), int(WXK_NUMPAD_ENTER), int('a')}) {
        auto* help = new HelpWindow(nullptr, helpPageText());
        help->Show();
        pumpEvents();
        wxKeyEvent press(wxEVT_CHAR_HOOK);
        press.m_keyCode = key;
        press.SetEventObject(help);
        help->ProcessWindowEvent(press);
        EXPECT_EQ(help->IsShown(), key == 'a') << key;
        help->Destroy();
        pumpEvents();
    }
}

}  // namespace quillon::ui
