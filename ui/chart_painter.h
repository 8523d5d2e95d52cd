#pragma once

#include <wx/graphics.h>
#include <wx/panel.h>

#include "quillon/charts/chart_scene.h"

namespace quillon::ui {

/// Draws a laid-out chart with wxGraphicsContext: the same shapes the SVG writer writes.
void paintScene(wxGraphicsContext& context, const charts::Scene& scene);

/// The narrowest a chart is laid out; a narrower window scrolls no further but clips.
inline constexpr int smallestChartWidth = 360;

/// A panel that paints one chart, laid out again at the panel's width whenever it is resized.
class ChartPanel : public wxPanel {
public:
    ChartPanel(wxWindow* parent, charts::Chart chart);

    /// The chart this panel shows.
    const charts::Chart& chart() const { return chart_; }

    /// The chart as laid out for the panel's present width.
    const charts::Scene& scene() const { return scene_; }

    /// The narrowest width (from `smallestChartWidth` to the default chart width) at which the
    /// texts that start at the left margin (title, notes) show whole in the real font: legends
    /// wrap, but these do not.
    int readableWidth() const;

private:
    void onPaint(wxPaintEvent& event);
    void onSize(wxSizeEvent& event);

    charts::Chart chart_;
    charts::Scene scene_;
};

}  // namespace quillon::ui
