#include "chart_painter.h"

#include <wx/dcclient.h>

#include <algorithm>
#include <cmath>
#include <memory>

#include "wx_text.h"

namespace quillon::ui {
namespace {

wxGraphicsPen penFor(wxGraphicsContext& context, const std::string& colour, double width, int dash,
                     double opacity = 1) {
    wxColour shade(toWx(colour));
    shade.Set(shade.Red(), shade.Green(), shade.Blue(), static_cast<unsigned char>(std::lround(opacity * 255)));
    wxGraphicsPenInfo info(shade, width);
    info.Cap(wxCAP_BUTT).Join(wxJOIN_ROUND);
    const auto& patterns = charts::dashPattern();
    if (dash > 0 && dash < static_cast<int>(patterns.size())) {
        // Dashes are counted in pen widths here, in pixels in the model; the pen copies them.
        std::vector<wxDash> dashes;
        for (double length : patterns[static_cast<std::size_t>(dash)]) {
            dashes.push_back(static_cast<wxDash>(std::max(1.0, std::round(length / width))));
        }
        info.Style(wxPENSTYLE_USER_DASH).Dashes(static_cast<int>(dashes.size()), dashes.data());
        return context.CreatePen(info);
    }
    return context.CreatePen(info);
}

// The model's sizes are CSS pixels, 0.75 points each, as in the SVG.
wxFont textFont(const charts::TextShape& text) {
    return wxFont(wxFontInfo(text.size * 0.75).Family(wxFONTFAMILY_SWISS).Bold(text.bold));
}

}  // namespace

void paintScene(wxGraphicsContext& context, const charts::Scene& scene) {
    context.SetBrush(*wxWHITE_BRUSH);
    context.SetPen(*wxTRANSPARENT_PEN);
    context.DrawRectangle(0, 0, scene.width, scene.height);
    context.SetBrush(*wxTRANSPARENT_BRUSH);
    for (const charts::Shape& shape : scene.shapes) {
        if (const auto* line = std::get_if<charts::LineShape>(&shape)) {
            context.SetPen(penFor(context, line->colour, line->width, line->dash));
            context.StrokeLine(line->x1, line->y1, line->x2, line->y2);
        } else if (const auto* path = std::get_if<charts::PathShape>(&shape)) {
            wxGraphicsPath stroke = context.CreatePath();
            for (const auto& run : path->runs) {
                for (std::size_t i = 0; i < run.size(); ++i) {
                    if (i == 0) {
                        stroke.MoveToPoint(run[i].first, run[i].second);
                    } else {
                        stroke.AddLineToPoint(run[i].first, run[i].second);
                    }
                }
            }
            context.SetPen(penFor(context, path->colour, path->width, path->dash, path->opacity));
            context.StrokePath(stroke);
        } else if (const auto* area = std::get_if<charts::AreaShape>(&shape)) {
            // The intervals' bands, see-through as in the report.
            wxGraphicsPath fill = context.CreatePath();
            for (const auto& outline : area->outlines) {
                if (outline.empty()) continue;
                fill.MoveToPoint(outline[0].first, outline[0].second);
                for (std::size_t i = 1; i < outline.size(); ++i)
                    fill.AddLineToPoint(outline[i].first, outline[i].second);
                fill.CloseSubpath();
            }
            wxColour shade(toWx(area->colour));
            shade.Set(shade.Red(), shade.Green(), shade.Blue(),
                      static_cast<unsigned char>(std::lround(area->opacity * 255)));
            context.SetBrush(context.CreateBrush(wxBrush(shade)));
            context.SetPen(*wxTRANSPARENT_PEN);
            context.FillPath(fill);
            context.SetBrush(*wxTRANSPARENT_BRUSH);
        } else if (const auto* marker = std::get_if<charts::MarkerShape>(&shape)) {
            const charts::MarkerOutline outline = charts::markerOutline(*marker);
            if (outline.corners.empty()) {
                context.SetBrush(context.CreateBrush(wxBrush(wxColour(toWx(marker->colour)))));
                context.SetPen(penFor(context, "#FFFFFF", 1, 0));
                context.DrawEllipse(marker->x - outline.radius, marker->y - outline.radius, 2 * outline.radius,
                                    2 * outline.radius);
                context.SetBrush(*wxTRANSPARENT_BRUSH);
            } else {
                wxGraphicsPath edge = context.CreatePath();
                edge.MoveToPoint(outline.corners[0].first, outline.corners[0].second);
                for (std::size_t i = 1; i < outline.corners.size(); ++i)
                    edge.AddLineToPoint(outline.corners[i].first, outline.corners[i].second);
                edge.CloseSubpath();
                context.SetPen(penFor(context, marker->colour, 1.5, 0));
                context.StrokePath(edge);
            }
        } else if (const auto* text = std::get_if<charts::TextShape>(&shape)) {
            context.SetFont(textFont(*text), wxColour(toWx(text->colour)));
            const wxString shown = toWx(text->text);
            double width = 0, height = 0, descent = 0, leading = 0;
            context.GetTextExtent(shown, &width, &height, &descent, &leading);
            const double shift = text->anchor == charts::Anchor::Start    ? 0
                                 : text->anchor == charts::Anchor::Middle ? width / 2
                                                                          : width;
            // The model places texts by their baseline; wx draws from the top.
            context.PushState();
            context.Translate(text->x, text->y);
            if (text->vertical) context.Rotate(-M_PI / 2);
            context.DrawText(shown, -shift, -(height - descent));
            context.PopState();
        }
    }
}

ChartPanel::ChartPanel(wxWindow* parent, charts::Chart chart)
    : wxPanel(parent, wxID_ANY), chart_(std::move(chart)), scene_(charts::layoutChart(chart_)) {
    SetBackgroundStyle(wxBG_STYLE_PAINT);
    const int height = static_cast<int>(std::ceil(scene_.height));
    SetMinSize(wxSize(smallestChartWidth, height));
    SetSize(wxSize(static_cast<int>(std::ceil(scene_.width)), height));
    Bind(wxEVT_PAINT, &ChartPanel::onPaint, this);
    Bind(wxEVT_SIZE, &ChartPanel::onSize, this);
}

int ChartPanel::readableWidth() const {
    const std::unique_ptr<wxGraphicsContext> context(
        wxGraphicsRenderer::GetDefaultRenderer()->CreateMeasuringContext());
    const charts::Scene scene = charts::layoutChart(chart_);
    double left = scene.width, needed = 0;
    for (const charts::Shape& shape : scene.shapes) {
        const auto* text = std::get_if<charts::TextShape>(&shape);
        if (text == nullptr || text->vertical || text->anchor != charts::Anchor::Start) continue;
        double width = 0, height = 0;
        context->SetFont(textFont(*text), *wxBLACK);
        context->GetTextExtent(toWx(text->text), &width, &height);
        if (text->x < left) left = text->x, needed = 0;
        // The right margin matches the left one.
        if (text->x == left) needed = std::max(needed, 2 * text->x + width);
    }
    return std::clamp(static_cast<int>(std::ceil(needed)), smallestChartWidth, static_cast<int>(charts::chartWidth));
}

void ChartPanel::onSize(wxSizeEvent& event) {
    const double width = std::max(GetClientSize().x, smallestChartWidth);
    if (width != scene_.width) {
        scene_ = charts::layoutChart(chart_, width, scene_.height);
        Refresh();
    }
    event.Skip();
}

void ChartPanel::onPaint(wxPaintEvent&) {
    wxPaintDC dc(this);
    const std::unique_ptr<wxGraphicsContext> context(wxGraphicsContext::Create(dc));
    if (context) paintScene(*context, scene_);
}

}  // namespace quillon::ui
