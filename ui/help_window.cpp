#include "help_window.h"

#include <wx/button.h>
#include <wx/dcmemory.h>
#include <wx/html/htmlwin.h>
#include <wx/settings.h>
#include <wx/statbmp.h>
#include <wx/utils.h>

#include "wx_text.h"

namespace quillon::ui {
namespace {

constexpr std::string_view fragments[] = {
    // 1. Opening
    "<body bgcolor = #f0f0f0>",
    // 2. Introduction
    "<p>This is a tool to help evaluate scripts and pools using Measurement Decision Theory. "
    "It is applicable for  both Computer Adaptive and non-Computer Adaptive Tests.&nbsp; ",
    // 3. Uses
    "<p>Good uses of the tool are to </p>"
    "<ul>"
    "  <li>Conduct research into a variety of senarios, such as<ul>"
    "    <li>different randomization procedures</li>"
    "    <li>selecting items that are more or lesss difficult than would usually be "
    "    selected</li>"
    "    <li>different item selection procedures</li>"
    "    <li>different approaches to estimating interim ability</li>"
    "    <li>altering test length</li>"
    "    <li>changing the item pool</li>"
    "  </ul>"
    "  </li>"
    "</ul>",
    // 4. Input files
    "<p>One starts with CSV files for a pool, script, optionally a list of item "
    "enemies, and flags in the pool file for items to be dropped. If you mouse-over the file names, you can see "
    "the required file structure. </p>",
    // 5. Field tips
    "<p>There are several <u>tool-tips</u> in the program - mouse-over anything you are not "
    "clear about.</p>",
    // 6. Output
    "<p>The <b><i>output file</i></b> contains percent accuracy, percent false positive, percent false negative, and "
    "mean classification probability for the selected classification. It can be easily used to "
    "plot accuracy and reliability curves.</p>",
    // 7. Set-up
    "<p><u><b>Set-up</b></u> </p>"
    "<p><i><b>N tests per person</b></i> is for evaluating the depth of pool when "
    "examinees are administered items from the given pool multiple times. Item masking has been implemented so "
    "examinees do not see the "
    "same question twice. </p>",
    // 8. Dropping items
    "<p>If the <b><i>Drop Items</i></b> option is selected, the items with a flag "
    " = &quot;1&quot; in column D (column 4) of the <i><b>pool file</b></i> will be dropped from "
    "consideration. The output of the <i><b>exposure file</b></i> has a flag in "
    "column D for items that were not used.</p>",
    // 9. Selection
    "<p><u><b>Select items using</b></u></p>"
    "<p>Items are always selected honoring the order and content specified in the "
    "script.&nbsp; If the pool is not deep enough a message will appear.</p>"
    "<p>The options for determining which item to select given the content "
    "specificiations are </p>",
    // 10. Method list
    "<ul>"
    "  <li>Shannon Information</li>"
    "  <li>Maximum Discrimination which does not work as well</li>"
    "  <li>Minimum Bayes Cost - which has only been implemeted using 2 groups</li>"
    "</ul>",
    // 11. Randomisation
    "<p>The tool will select randomly from among the &quot;best&quot; questions within the "
    "specified content.&nbsp; If the <i><b>randomization factor </b></i>is set equal "
    "to 0, then the tool will draw the randomization factor from the script.&nbsp; If "
    "it is a value greater than 0, then all items will be drawn using that "
    "randomization factor. A randomization factor of 1 will always selected the next best question.</p>"
    "<p>The tool will not yet honor items that are to be administered in sets. </p>",
    // 12. Pool reduction
    "<p><u><b>Pool reduction</b></u></p>"
    "<p>For a prep product, item exposure is not an issue. By setting the <b><i>"
    "Randomization factor</i></b> equal to 1, "
    "the most informative questions will always be selected and, if the pool is "
    "deep enough, the less informative questions will not be used.&nbsp; If the <b>"
    "<i>Save Exposure Data </i></b>option has beeen selected, then a 1 will appear in "
    "Column D to indicate items that were not used. That file can then be renamed and "
    "used in the <b><i>input pool file.</b></i></p>",
    // 13. Reference
    "<p><u><b>Reference</b></u></p>"
    "<P>The primary reference for this tool is:<ul>"
    "Lewis, C., &amp; Sheehan, K. (1990). Using Bayesian decision theory to design a computerized mastery test. "
    "<i>Applied Psychological Measurement</i>, 14(4), 367-386. DOI 10.1177/014662169001400404. "
    "Available online: "
    "<a href=\"https://hdl.handle.net/11299/113937\" target=\"_new\">https://hdl.handle.net/11299/113937</a>"
    ". </ul> </p>",
    // 14. Closing
    "<p>&nbsp;</p> --- Tobin  3/15/2014 </body>",
};

// Links leave the program: the page itself never visits the network.
class HelpView : public wxHtmlWindow {
public:
    HelpView(wxWindow* parent, const wxPoint& pos, const wxSize& size, LinkOpener openLink)
        : wxHtmlWindow(parent, help_id::browser, pos, size, wxHW_SCROLLBAR_AUTO | wxBORDER_SIMPLE),
          openLink_(std::move(openLink)) {}

private:
    void OnLinkClicked(const wxHtmlLinkInfo& link) override {
        const std::string url = fromWx(link.GetHref());
        if (openLink_) {
            openLink_(url);
        } else {
            wxLaunchDefaultBrowser(toWx(url));
        }
    }

    LinkOpener openLink_;
};

}  // namespace

std::vector<std::string_view> helpPageFragments() { return {std::begin(fragments), std::end(fragments)}; }

std::string helpPageText() {
    std::string page;
    for (std::string_view fragment : fragments) page += fragment;
    return page;
}

wxBitmap quillonLogo() {
    wxBitmap bitmap(47, 48, 24);
    wxMemoryDC dc(bitmap);
    // Painted on the dialog's own colour, so the round logo has no square around it.
    dc.SetBackground(wxBrush(wxSystemSettings::GetColour(wxSYS_COLOUR_BTNFACE)));
    dc.Clear();
    // A quill-blue disc with a pale "Q" whose tail reads as a tick: a classification made.
    dc.SetPen(wxPen(wxColour(0x1f, 0x4e, 0x79), 1));
    dc.SetBrush(wxBrush(wxColour(0x2e, 0x6d, 0xa4)));
    dc.DrawCircle(23, 23, 21);
    dc.SetPen(wxPen(wxColour(0xff, 0xff, 0xff), 5));
    dc.SetBrush(*wxTRANSPARENT_BRUSH);
    dc.DrawCircle(23, 22, 11);
    dc.SetPen(wxPen(wxColour(0xf2, 0xc1, 0x4e), 5));
    dc.DrawLine(26, 29, 31, 35);
    dc.DrawLine(31, 35, 42, 41);
    dc.SelectObject(wxNullBitmap);
    return bitmap;
}

HelpWindow::HelpWindow(wxWindow* owner, const std::string& html, LinkOpener openLink) {
    // Caption bar without a system menu or close box: "&Ok" is the one way out.
    Create(owner, wxID_ANY, "", wxDefaultPosition, wxDefaultSize, wxCAPTION | wxSTAY_ON_TOP);
    SetTitle("Orvel CAT Simulator");
    wxFont font = wxSystemSettings::GetFont(wxSYS_DEFAULT_GUI_FONT);
    font.SetPointSize(8);
    SetFont(font);
    SetClientSize(ConvertDialogToPixels(wxSize(400, 320)));

    auto* ok = new wxButton(this, help_id::ok, "&Ok", ConvertDialogToPixels(wxPoint(175, 300)),
                            ConvertDialogToPixels(wxSize(50, 15)));
    ok->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { close(); });
    new wxStaticBitmap(this, wxID_ANY, quillonLogo(), ConvertDialogToPixels(wxPoint(5, 287)), wxSize(47, 48));
    auto* view = new HelpView(this, ConvertDialogToPixels(wxPoint(5, 5)), ConvertDialogToPixels(wxSize(390, 280)),
                              std::move(openLink));
    view->SetPage(toWx(html));

    // Escape and Enter do what "&Ok" does, even while the page has the focus.
    ok->SetDefault();
    Bind(wxEVT_CHAR_HOOK, [this](wxKeyEvent& event) {
        const int key = event.GetKeyCode();
        if (key == WXK_ESCAPE || key == WXK_RETURN || key == WXK_NUMPAD_ENTER) {
            close();
            return;
        }
        event.Skip();
    });
    CentreOnScreen();
}

void HelpWindow::close() {
    if (IsModal()) {
        EndModal(0);
    } else {
        Hide();
    }
}

void showHtmlWindow(wxWindow* owner, const std::string& html) {
    HelpWindow window(owner, html);
    window.ShowModal();
}

void showHelp(wxWindow* mainWindow) { showHtmlWindow(mainWindow, helpPageText()); }

}  // namespace quillon::ui
