#pragma once

#include <wx/graphics.h>
#include <wx/panel.h>

#include "quillon/charts/chart_scene.h"

namespace quillon::ui {

/// Draws a laid-out chart with wxGraphicsContext: the same shapes the SVG writer writes.
void paintScene(wxGraphicsContext& context, const charts::Scene& scene);

/// A panel of the chart's own size that paints one chart.
class ChartPanel : public wxPanel {
public:
    ChartPanel(wxWindow* parent, charts::Chart chart);

    /// The chart this panel shows.
    const charts::Chart& chart() const { return chart_; }

private:
    void onPaint(wxPaintEvent& event);

    charts::Chart chart_;
    charts::Scene scene_;
};

}  // namespace quillon::ui
