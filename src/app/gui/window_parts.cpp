#include "app/gui/window_parts.h"

#include <QMouseEvent>
#include <QPainter>

namespace qv {

GridHeader::GridHeader(CellPainter painter, QWidget* parent)
    : QHeaderView(Qt::Horizontal, parent), painter_(std::move(painter)) {
    setSectionsClickable(false);
    setHighlightSections(false);
}

void GridHeader::paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const {
    if (!rect.isValid()) return;
    painter->save();
    painter_(*painter, logicalIndex, 0, rect);
    painter->restore();
}

void GridCells::paint(QPainter* painter, const QStyleOptionViewItem& option,
                      const QModelIndex& index) const {
    painter->save();
    painter_(*painter, index.column(), index.row() + 1, option.rect);
    // The painter fills every cell; a thin frame keeps the chosen row visible.
    if (option.state & QStyle::State_Selected) {
        painter->setPen(option.palette.color(QPalette::Highlight));
        painter->drawRect(option.rect.adjusted(0, 0, -1, -1));
    }
    painter->restore();
}

PictureLabel::PictureLabel(QWidget* parent) : QLabel(parent) {
    setAlignment(Qt::AlignCenter);
    setMinimumSize(1, 1);
}

void PictureLabel::SetPicture(const QPixmap& picture) {
    picture_ = picture;
    rescale();
}

void PictureLabel::resizeEvent(QResizeEvent* event) {
    QLabel::resizeEvent(event);
    rescale();
}

void PictureLabel::mouseReleaseEvent(QMouseEvent* event) {
    QLabel::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()) &&
        OnClick)
        OnClick();
}

void PictureLabel::rescale() {
    if (picture_.isNull()) return;
    setPixmap(picture_.scaled(size(), Qt::KeepAspectRatio, Qt::SmoothTransformation));
}

}  // namespace qv
