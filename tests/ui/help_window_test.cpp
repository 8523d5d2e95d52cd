// The help page text and the help window around it.
#include <gtest/gtest.h>

#include <wx/html/htmlwin.h>

#include "help_window.h"
#include "ui_test_support.h"

namespace quillon::ui {
namespace {

using testing::pumpEvents;

TEST(HelpPage, IsItsFourteenFragmentsJoinedBareWithItsHeadingsInOrder) {
    const std::string page = helpPageText();
    EXPECT_TRUE(page.starts_with("<body bgcolor = #f0f0f0>"));
    EXPECT_TRUE(page.ends_with(" </body>"));
    const auto fragments = helpPageFragments();
    ASSERT_EQ(fragments.size(), 14u);
    std::string joined;
    for (std::string_view fragment : fragments) joined += fragment;
    EXPECT_EQ(joined, page);
    for (const char* join : {"Tests.&nbsp; <p>Good uses", "  </ul>  </li></ul><p>One starts",
                             "would usually be     selected</li>", "</p><p>&nbsp;</p> --- Tobin  3/15/2014 </body>"}) {
        EXPECT_NE(page.find(join), std::string::npos) << join;
    }
    std::size_t last = 0;
    for (const char* heading : {"Set-up", "Select items using", "Pool reduction", "Reference"}) {
        const std::size_t at = page.find(std::string("<p><u><b>") + heading + "</b></u>");
        ASSERT_NE(at, std::string::npos) << heading;
        EXPECT_GT(at, last) << heading;
        last = at;
    }
}

TEST(HelpPage, TheReferenceCitesLewisAndSheehanWithALinkToTheOpenCopy) {
    const std::string page = helpPageText();
    const std::size_t reference = page.find("<P>The primary reference for this tool is:<ul>Lewis, C., &amp; Sheehan, K. (1990)");
    ASSERT_NE(reference, std::string::npos);
    const std::string section = page.substr(reference);
    EXPECT_NE(section.find("<i>Applied Psychological Measurement</i>, 14(4), 367-386."), std::string::npos);
    EXPECT_NE(section.find("Available online: <a href=\"https://hdl.handle.net/11299/113937\" target=\"_new\">"),
              std::string::npos);
    EXPECT_NE(section.find("</a>. </ul> </p><p>&nbsp;</p>"), std::string::npos);
}

TEST(HelpWindow, ShowsThePageWithItsCaptionOkButtonAndNoCloseBox) {
    std::vector<std::string> opened;
    HelpWindow window(nullptr, helpPageText(), [&](const std::string& url) { opened.push_back(url); });
    EXPECT_EQ(window.GetTitle(), "Orvel CAT Simulator");
    EXPECT_FALSE(window.HasFlag(wxCLOSE_BOX));
    EXPECT_FALSE(window.HasFlag(wxSYSTEM_MENU));
    EXPECT_TRUE(window.HasFlag(wxSTAY_ON_TOP));
    EXPECT_EQ(window.FindWindow(help_id::ok)->GetLabel(), "&Ok");

    auto* view = dynamic_cast<wxHtmlWindow*>(window.FindWindow(help_id::browser));
    ASSERT_NE(view, nullptr);
    const wxString shown = view->ToText();
    EXPECT_TRUE(shown.Contains("This is a tool to help evaluate scripts and pools"));
    EXPECT_TRUE(shown.Contains("Available online: https://hdl.handle.net/11299/113937"));
    EXPECT_TRUE(shown.Contains("--- Tobin 3/15/2014") || shown.Contains("--- Tobin  3/15/2014"));

    view->OnLinkClicked(wxHtmlLinkInfo("https://hdl.handle.net/11299/113937", "_new"));
    EXPECT_EQ(opened, std::vector<std::string>{"https://hdl.handle.net/11299/113937"});
}

TEST(HelpWindow, OkEndsTheModalWindowAndItOpensAgainTheSameWay) {
    for (int opening = 0; opening < 2; ++opening) {
        HelpWindow window(nullptr, helpPageText());
        window.CallAfter([&window] {
            wxCommandEvent click(wxEVT_BUTTON, help_id::ok);
            click.SetEventObject(window.FindWindow(help_id::ok));
            window.FindWindow(help_id::ok)->ProcessWindowEvent(click);
        });
        EXPECT_EQ(window.ShowModal(), 0) << opening;
    }
}

}  // namespace
}  // namespace quillon::ui
