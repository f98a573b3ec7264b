#include "monitor/schrank_language.h"

#include "localization/language.h"

#include <QComboBox>
#include <QIcon>
#include <QPainter>
#include <QPixmap>
#include <QWidget>

namespace hq::monitor {

void LanguageItemDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                                 const QModelIndex& index) const {
    const bool selected = option.state.testFlag(QStyle::State_Selected);
    painter->save();
    painter->setFont(option.font);
    painter->setPen(option.palette.color(selected ? QPalette::HighlightedText : QPalette::Text));
    drawLanguageItem(
        *painter, option.rect, selected ? option.palette.highlight() : option.palette.base(),
        index.data(kLanguageFlagRole).value<QImage>(), index.data(Qt::DisplayRole).toString());
    painter->restore();
}

QSize LanguageItemDelegate::sizeHint(const QStyleOptionViewItem& option,
                                     const QModelIndex& index) const {
    const int textWidth =
        option.fontMetrics.horizontalAdvance(index.data(Qt::DisplayRole).toString());
    return {kFlagSize + 2 + textWidth + 2, kFlagSize};
}

SchrankLanguage::SchrankLanguage(QWidget* window, QComboBox* sprachwahl, QString applicationDir,
                                 ErrorSink errors)
    : window_(window), sprachwahl_(sprachwahl), applicationDir_(std::move(applicationDir)),
      errors_(std::move(errors)) {
    sprachwahl_->setItemDelegate(new LanguageItemDelegate(sprachwahl_));
    sprachwahl_->setIconSize(QSize(kFlagSize, kFlagSize));
}

void SchrankLanguage::LoadLanguageList() {
    const LanguageList list = hq::LoadLanguageList(applicationDir_);
    sprachwahl_->clear();
    for (const LanguageEntry& entry : list.entries) {
        // The icon shows the flag in the closed box; the open list is drawn by the delegate.
        const QIcon icon = entry.flag.isNull() ? QIcon() : QIcon(QPixmap::fromImage(entry.flag));
        sprachwahl_->addItem(icon, entry.name);
        sprachwahl_->setItemData(sprachwahl_->count() - 1, entry.flag, kLanguageFlagRole);
    }
    if (!list.errors.isEmpty() && errors_)
        errors_(list.errors.join(u'\n'));
}

void SchrankLanguage::ApplyLanguage(const QString& file) {
    applyCaptions(window_, readTranslation(applicationDir_, file));
}

void SchrankLanguage::applySelectedLanguage() {
    // The catalogue is read anew, so that an edited file takes effect without a restart.
    const QString file = languageFileForIndex(applicationDir_, sprachwahl_->currentIndex());
    if (!file.isEmpty())
        ApplyLanguage(file);
}

void SchrankLanguage::SprachwahlDrawItem(QPainter& painter, int index, const QRect& rect,
                                         const QBrush& background) {
    drawLanguageItem(painter, rect, background,
                     sprachwahl_->itemData(index, kLanguageFlagRole).value<QImage>(),
                     sprachwahl_->itemText(index));
}

} // namespace hq::monitor
