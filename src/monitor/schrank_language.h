// The monitor window's language box Sprachwahl: fills it from the language catalogue beside the
// executable (LoadLanguageList), applies a translation file to the window's captions
// (ApplyLanguage, SprachwahlChange, FormShow) and draws its items with their 16 x 16 flags
// (SprachwahlDrawItem, through LanguageItemDelegate).
#pragma once

#include "monitor/error_sink.h"

#include <QString>
#include <QStyledItemDelegate>

class QComboBox;
class QWidget;

namespace hq::monitor {

// The item role that holds an entry's flag as a QImage (null: listed without a flag).
inline constexpr int kLanguageFlagRole = Qt::UserRole + 1;

// Draws one item of the language box: flag at the top-left corner, name 2 pixels right of it,
// 16 pixels high.
class LanguageItemDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};

class SchrankLanguage {
public:
    // window: the monitor window whose captions are translated; Sprachwahl: its language box.
    // Both outlive this object. Texts for the window's error box go to errors.
    SchrankLanguage(QWidget* window, QComboBox* sprachwahl, QString applicationDir,
                    ErrorSink errors);

    // Fills the box from the catalogue. A flag picture that cannot be loaded is reported to the
    // error box and its entry is listed without a flag; the call always returns normally, so the
    // window's start-up goes on.
    void LoadLanguageList();
    // Applies the translation file <applicationDir>/<file>.ini.
    void ApplyLanguage(const QString& file);
    // Applies the language of the box's current entry (nothing when its entry names no file).
    // SprachwahlChange and FormShow of the window both come here.
    void applySelectedLanguage();
    // Paints item index of the box into rect (what the delegate does for the open list).
    void SprachwahlDrawItem(QPainter& painter, int index, const QRect& rect,
                            const QBrush& background);

    const QString& applicationDir() const { return applicationDir_; }

private:
    QWidget* window_;
    QComboBox* sprachwahl_;
    QString applicationDir_;
    ErrorSink errors_;
};

} // namespace hq::monitor
