#include "control_table.h"

#include <array>

namespace quillon::ui {
namespace {

using enum ControlKind;
using enum FontRole;
using enum Background;
using enum Group;
using namespace flag;

constexpr unsigned numberBox = digitsOnly | rightAligned | sunkenEdge;
constexpr unsigned costBox = rightAligned | sunkenEdge;

// clang-format off
constexpr std::array rows{
    ControlRow{2087, TextBox,  "80", 104, 37, 21, 13, Window, System, SetUp, numberBox},
    ControlRow{2008, TextBox,  "2", 104, 53, 21, 13, Window, System, SetUp, numberBox},
    ControlRow{2009, TextBox,  "1", 104, 70, 21, 13, Window, System, SetUp, numberBox},
    ControlRow{1090, CheckBox, "Drop items", 135, 55, 65, 10, A, White, SetUp, 0},
    ControlRow{3035, CheckBox, "Block enemies", 135, 39, 72, 10, A, White, SetUp, 0},
    ControlRow{3050, CheckBox, "Save exposure", 212, 39, 80, 10, A, White, SetUp, checked},
    ControlRow{2095, CheckBox, "Uniform Priors", 212, 51, 72, 10, A, White, SetUp, checked},
    ControlRow{2024, Option,   "Shannon Information", 22, 114, 142, 10, A, White, SelectItems, groupStart | checked},
    ControlRow{2025, Option,   "Maximum Discrimination", 22, 130, 148, 10, A, Clear, SelectItems, 0},
    ControlRow{2026, Option,   "Minimum Expected Bayes Cost", 22, 146, 144, 10, A, Clear, SelectItems, 0},
    ControlRow{2028, Label,    "Randomization Factor", 26, 162, 91, 11, A, Clear, SelectItems, notify},
    ControlRow{2029, TextBox,  "1", 123, 160, 15, 13, Window, System, SelectItems, numberBox},
    ControlRow{2080, CheckBox, "Use SPRT", 212, 63, 71, 10, A, White, SetUp, 0},
    ControlRow{3911, TextBox,  ".05", 233, 75, 15, 13, Window, White, SetUp, 0},
    ControlRow{3912, TextBox,  ".05", 271, 75, 15, 13, Window, White, SetUp, 0},
    ControlRow{2300, TextBox,  "0.0", 272, 139, 24, 13, Window, System, BayesCosts, costBox},
    ControlRow{2301, TextBox,  "1.5", 313, 139, 24, 13, Window, System, BayesCosts, costBox},
    ControlRow{2302, TextBox,  "1.0", 272, 159, 24, 13, Window, System, BayesCosts, costBox},
    ControlRow{2303, TextBox,  "0.0", 313, 159, 24, 13, Window, System, BayesCosts, costBox},
    ControlRow{2030, TextBox,  "CSV file containing MDT item info", 70, 195, 200, 13, Window, System, Input, 0},
    ControlRow{2031, Button,   "...", 278, 193, 25, 15, Window, System, Input, 0},
    ControlRow{2032, Button,   "View", 308, 193, 35, 15, Window, System, Input, 0},
    ControlRow{2133, TextBox,  "CSV file containing bins and randomization factors", 70, 213, 200, 14, Window, System, Input, offAtStart | sunkenEdge | noBorder},
    ControlRow{2134, Button,   "...", 278, 211, 25, 15, Window, System, Input, offAtStart | noTabStop | centred},
    ControlRow{2135, Button,   "View", 308, 211, 35, 15, Window, System, Input, offAtStart | noTabStop | centred},
    ControlRow{3037, Button,   "...", 278, 229, 25, 15, Window, System, Input, offAtStart | centred},
    ControlRow{3038, Button,   "View", 308, 229, 35, 15, Window, System, Input, offAtStart | centred},
    ControlRow{2045, TextBox,  "File containing item responses", 70, 250, 200, 13, Window, System, Input, sunkenEdge | noBorder},
    ControlRow{2046, Button,   "...", 278, 247, 25, 15, Window, System, Input, 0},
    ControlRow{2047, Button,   "View", 308, 247, 35, 15, Window, System, Input, 0},
    ControlRow{2048, TextBox,  "CSV file to contain classification accuracy data", 70, 289, 200, 13, Window, System, Output, 0},
    ControlRow{2049, Button,   "...", 278, 287, 25, 15, Window, System, Output, 0},
    ControlRow{2050, Button,   "View", 308, 287, 35, 15, Window, System, Output, 0},
    ControlRow{3051, TextBox,  "CSV file to contain exposure data", 70, 305, 200, 13, Window, System, Output, onAfterBuild | sunkenEdge | noBorder},
    ControlRow{2042, TextBox,  "", 70, 305, 200, 13, Window, System, Output, companion | readOnly | noBorder | staticEdge | noTabStop},
    ControlRow{3052, Button,   "...", 278, 305, 25, 15, Window, System, Output, onAfterBuild | centred},
    ControlRow{3053, Button,   "View", 308, 305, 35, 15, Window, System, Output, onAfterBuild | centred},
    ControlRow{2082, Button,   "Go", 300, 40, 50, 25, Window, System, None, 0},
    ControlRow{3036, TextBox,  "CSV file containing item enemies", 70, 232, 200, 13, Window, System, Input, offAtStart | sunkenEdge | noBorder},
    ControlRow{2041, TextBox,  "", 70, 232, 200, 13, Window, System, Input, companion | readOnly | noBorder | staticEdge | noTabStop},
    ControlRow{2054, Label,    "N Categories", 22, 54, 65, 10, A, Clear, SetUp, 0},
    ControlRow{2055, Frame,    " Set-up  ", 10, 26, 285, 69, A, White, None, 0},
    ControlRow{2056, Label,    "N tests per person", 22, 71, 75, 10, A, Clear, SetUp, 0},
    ControlRow{2058, Label,    "This tool helps evaluate scripts and pools", 10, 10, 240, 15, B, Clear, None, 0},
    ControlRow{2063, Frame,    " Select Items using  ", 10, 100, 178, 79, A, White, None, 0},
    ControlRow{2072, Frame,    " Input  ", 10, 182, 340, 87, A, White, None, 0},
    ControlRow{2073, Label,    "Pool", 20, 198, 45, 10, A, Clear, Input, 0},
    ControlRow{2132, Label,    "Script", 20, 215, 45, 11, A, Clear, Input, offAtStart},
    ControlRow{2075, Label,    "Data", 20, 250, 45, 10, A, Clear, Input, 0},
    ControlRow{2076, Frame,    " Output", 10, 275, 340, 51, A, White, None, 0},
    ControlRow{2077, Label,    "Results", 20, 290, 45, 10, A, Clear, Output, 0},
    ControlRow{3054, Label,    "Exposure", 20, 308, 45, 10, A, Clear, Output, onAfterBuild},
    ControlRow{3039, Label,    "Enemies", 20, 232, 45, 11, A, Clear, Input, offAtStart},
    ControlRow{2083, Button,   "Help", 300, 10, 50, 15, Window, System, None, 0},
    ControlRow{2084, Button,   "Exit", 300, 80, 50, 15, Window, System, None, 0},
    ControlRow{1092, Label,    ownershipNoticeText, 8, 328, 350, 10, Window, White, None, centred},
    ControlRow{2086, Label,    "Maximum test length ", 22, 39, 75, 10, A, Clear, SetUp, 0},
    ControlRow{2296, Frame,    " Two group Bayes costs  ", 201, 100, 149, 79, A, White, None, 0},
    ControlRow{2297, Label,    "   Actual (true)   ", 271, 115, 69, 10, C, Clear, BayesCosts, centred},
    ControlRow{2298, Label,    "Predicted", 207, 148, 42, 12, A, Clear, BayesCosts, 0},
    ControlRow{2299, Label,    "Pass             Fail", 279, 127, 58, 10, Window, Clear, BayesCosts, 0},
    ControlRow{2304, Label,    "Pass", 242, 140, 23, 10, Window, Clear, BayesCosts, rightAligned},
    ControlRow{2305, Label,    "Fail", 244, 161, 21, 9, Window, Clear, BayesCosts, rightAligned},
    ControlRow{3910, Label,    "a", 215, 75, 15, 10, D, Clear, SetUp, rightAligned},
    ControlRow{3913, Label,    "B", 254, 75, 15, 10, D, Clear, SetUp, rightAligned},
    ControlRow{2131, CheckBox, "Follow Script", 135, 71, 63, 12, A, White, SetUp, 0},
};
// clang-format on

}  // namespace

std::span<const ControlRow> controlTable() { return rows; }

const ControlRow* findControlRow(int controlId) {
    for (const ControlRow& row : rows) {
        if (row.id == controlId) return &row;
    }
    return nullptr;
}

int frameOf(Group group) {
    switch (group) {
        case SetUp: return 2055;
        case SelectItems: return 2063;
        case BayesCosts: return 2296;
        case Input: return 2072;
        case Output: return 2076;
        case None: break;
    }
    return 0;
}

}  // namespace quillon::ui
