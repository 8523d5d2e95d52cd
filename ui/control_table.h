#pragma once

#include <span>
#include <string_view>

namespace quillon::ui {

/// The kinds of control the main window is made of.
enum class ControlKind { TextBox, CheckBox, Option, Label, Frame, Button };

/// Which of the window's fonts a control uses: the window's own, or one of the four made for it.
enum class FontRole { Window, A, B, C, D };

/// How the layout painted behind a control's text; kept as data, the window takes the theme's colours.
enum class Background { System, White, Clear };

/// The frame whose rectangle a control lies in; frames are drawn only and own nothing.
enum class Group { None, SetUp, SelectItems, BayesCosts, Input, Output };

/// Per-control style and state bits of the control table.
namespace flag {
inline constexpr unsigned digitsOnly = 1u << 0;
inline constexpr unsigned rightAligned = 1u << 1;
inline constexpr unsigned centred = 1u << 2;
inline constexpr unsigned sunkenEdge = 1u << 3;
inline constexpr unsigned noBorder = 1u << 4;
inline constexpr unsigned staticEdge = 1u << 5;
inline constexpr unsigned readOnly = 1u << 6;
inline constexpr unsigned noTabStop = 1u << 7;
inline constexpr unsigned offAtStart = 1u << 8;       // created disabled and left so
inline constexpr unsigned onAfterBuild = 1u << 9;     // created disabled, enabled at the end of the build
inline constexpr unsigned checked = 1u << 10;         // check box checked / option selected at start
inline constexpr unsigned groupStart = 1u << 11;      // first option of its group
inline constexpr unsigned notify = 1u << 12;          // label takes part in mouse hit-testing
inline constexpr unsigned companion = 1u << 13;       // lies beneath the path box on the same rectangle
}  // namespace flag

/// One row of the main window's control table: everything needed to create the control.
struct ControlRow {
    int id;
    ControlKind kind;
    std::string_view text;
    int x, y, width, height;  // dialog units of the window's font
    FontRole font;
    Background background;
    Group group;
    unsigned flags;

    bool has(unsigned bits) const { return (flags & bits) == bits; }
};

/// The main window's controls in creation order, which is also the keyboard tab order.
std::span<const ControlRow> controlTable();

/// The row of a control identifier, or null when the window has no such control.
const ControlRow* findControlRow(int id);

/// The frame identifier whose rectangle a group names (0 for `Group::None`).
int frameOf(Group group);

/// Control identifiers that the event handling and the settings reader name.
namespace id {
inline constexpr int maxTestLength = 2087;
inline constexpr int groupCount = 2008;
inline constexpr int testsPerPerson = 2009;
inline constexpr int dropItems = 1090;
inline constexpr int blockEnemies = 3035;
inline constexpr int saveExposure = 3050;
inline constexpr int uniformPriors = 2095;
inline constexpr int shannon = 2024;
inline constexpr int maxDiscr = 2025;
inline constexpr int minCost = 2026;
inline constexpr int randomizationLabel = 2028;
inline constexpr int randomizationFactor = 2029;
inline constexpr int useSprt = 2080;
inline constexpr int sprtAlpha = 3911;
inline constexpr int sprtBeta = 3912;
inline constexpr int costPassPass = 2300;
inline constexpr int costPassFail = 2301;
inline constexpr int costFailPass = 2302;
inline constexpr int costFailFail = 2303;
inline constexpr int poolFile = 2030;
inline constexpr int scriptFile = 2133;
inline constexpr int enemiesFile = 3036;
inline constexpr int responseFile = 2045;
inline constexpr int resultsFile = 2048;
inline constexpr int exposureFile = 3051;
inline constexpr int exposureCompanion = 2042;
inline constexpr int enemiesCompanion = 2041;
inline constexpr int go = 2082;
inline constexpr int help = 2083;
inline constexpr int exit = 2084;
inline constexpr int followScript = 2131;
inline constexpr int ownershipNotice = 1092;
inline constexpr int costGridFirst = 2297;
inline constexpr int costGridLast = 2305;
}  // namespace id

/// Offsets of the identifier arithmetic: a path box's "..." and "View" buttons, and the
/// number of controls a check box governs (the identifiers right after its own).
inline constexpr int browseOffset = 1;
inline constexpr int viewOffset = 2;
inline constexpr int governedCount = 4;

/// The single centred line of label 1092.
inline constexpr std::string_view ownershipNoticeText =
    "Quillon is free software, distributed under the MIT licence.";

}  // namespace quillon::ui
