// A status bar made of fixed-width panels, laid out from the left. A panel shows a text
// (left-aligned or centred, with or without a sunken bevel) or is drawn by its owner through
// a callback. Painting only draws: the callback must not change state or geometry.
#pragma once

#include <QWidget>

#include <functional>
#include <vector>

class QPainter;

namespace hq::monitor {

class PanelStatusBar : public QWidget {
    Q_OBJECT
public:
    enum class PanelStyle { Text, OwnerDraw };
    using DrawPanelHandler = std::function<void(QPainter& painter, int panel, const QRect& rect)>;

    explicit PanelStatusBar(QWidget* parent = nullptr);

    // Appends a panel; returns its index.
    int addPanel(int width, PanelStyle style = PanelStyle::Text,
                 Qt::Alignment alignment = Qt::AlignLeft, bool bevel = true);
    int panelCount() const { return static_cast<int>(panels_.size()); }

    QString panelText(int panel) const;
    void setPanelText(int panel, const QString& text);
    int panelWidth(int panel) const;
    void setPanelWidth(int panel, int width);
    // The panel's rectangle inside its bevel, in widget coordinates.
    QRect panelRect(int panel) const;

    void setDrawPanelHandler(DrawPanelHandler handler) { drawPanel_ = std::move(handler); }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    struct Panel {
        int width = 50;
        PanelStyle style = PanelStyle::Text;
        Qt::Alignment alignment = Qt::AlignLeft;
        bool bevel = true;
        QString text;
    };
    bool valid(int panel) const { return panel >= 0 && panel < panelCount(); }
    QRect outerRect(int panel) const;

    std::vector<Panel> panels_;
    DrawPanelHandler drawPanel_;
};

} // namespace hq::monitor
