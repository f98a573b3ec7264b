#include "monitor/panel_status_bar.h"

#include <QPaintEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOption>

namespace hq::monitor {

namespace {
constexpr int kPanelGap = 2;
}

PanelStatusBar::PanelStatusBar(QWidget* parent) : QWidget(parent) {
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

int PanelStatusBar::addPanel(int width, PanelStyle style, Qt::Alignment alignment, bool bevel) {
    panels_.push_back(Panel{width, style, alignment, bevel, {}});
    update();
    return panelCount() - 1;
}

QString PanelStatusBar::panelText(int panel) const {
    return valid(panel) ? panels_[static_cast<size_t>(panel)].text : QString();
}

void PanelStatusBar::setPanelText(int panel, const QString& text) {
    if (!valid(panel) || panels_[static_cast<size_t>(panel)].text == text)
        return;
    panels_[static_cast<size_t>(panel)].text = text;
    update(outerRect(panel));
}

int PanelStatusBar::panelWidth(int panel) const {
    return valid(panel) ? panels_[static_cast<size_t>(panel)].width : 0;
}

void PanelStatusBar::setPanelWidth(int panel, int width) {
    if (!valid(panel) || width < 0 || panels_[static_cast<size_t>(panel)].width == width)
        return;
    panels_[static_cast<size_t>(panel)].width = width;
    update();
}

QRect PanelStatusBar::outerRect(int panel) const {
    int left = 0;
    for (int i = 0; i < panel; ++i)
        left += panels_[static_cast<size_t>(i)].width + kPanelGap;
    return QRect(left, 0, panels_[static_cast<size_t>(panel)].width, height());
}

QRect PanelStatusBar::panelRect(int panel) const {
    if (!valid(panel))
        return {};
    return outerRect(panel).adjusted(1, 1, -1, -1);
}

QSize PanelStatusBar::sizeHint() const {
    int width = 0;
    for (const Panel& p : panels_)
        width += p.width + kPanelGap;
    return QSize(width, fontMetrics().height() + 6);
}

void PanelStatusBar::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), palette().window());
    const QColor shadow = palette().color(QPalette::Dark);
    const QColor light = palette().color(QPalette::Light);
    for (int i = 0; i < panelCount(); ++i) {
        const Panel& p = panels_[static_cast<size_t>(i)];
        const QRect outer = outerRect(i);
        if (outer.left() >= width())
            break;
        if (p.bevel) {
            painter.setPen(shadow);
            painter.drawLine(outer.topLeft(), outer.topRight());
            painter.drawLine(outer.topLeft(), outer.bottomLeft());
            painter.setPen(light);
            painter.drawLine(outer.bottomLeft(), outer.bottomRight());
            painter.drawLine(outer.topRight(), outer.bottomRight());
        }
        const QRect inner = panelRect(i);
        painter.save();
        painter.setClipRect(inner);
        if (p.style == PanelStyle::OwnerDraw) {
            if (drawPanel_)
                drawPanel_(painter, i, inner);
        } else {
            painter.setPen(palette().color(QPalette::WindowText));
            const QRect textRect = inner.adjusted(2, 0, -2, 0);
            // A text wider than its panel shows its beginning.
            Qt::Alignment alignment = p.alignment;
            if (painter.fontMetrics().horizontalAdvance(p.text) > textRect.width())
                alignment = Qt::AlignLeft;
            painter.drawText(textRect, int(alignment | Qt::AlignVCenter), p.text);
        }
        painter.restore();
    }
}

} // namespace hq::monitor
