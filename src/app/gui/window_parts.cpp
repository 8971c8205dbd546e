#include "app/gui/window_parts.h"

#include <QFocusEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>

namespace qv {

QString SettingText(std::string_view utf8) {
    return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

std::string SettingText(const QString& text) {
    return text.toUtf8().toStdString();
}

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

FrozenFirstColumn::FrozenFirstColumn(QTableView& grid, CellPainter painter,
                                     QAbstractItemDelegate& cells)
    : QTableView(&grid), grid_(grid) {
    setModel(grid.model());
    setSelectionModel(grid.selectionModel());
    setItemDelegate(&cells);
    setHorizontalHeader(std::make_unique<GridHeader>(std::move(painter), this).release());
    verticalHeader()->hide();
    setFrameShape(QFrame::NoFrame);
    setFocusPolicy(Qt::NoFocus);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    // The other columns slide under this one pixel by pixel.
    grid.setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    grid.viewport()->stackUnder(this);

    connect(grid.model(), &QAbstractItemModel::columnsInserted, this,
            [this] { hideOtherColumns(); });
    connect(verticalScrollBar(), &QScrollBar::valueChanged, grid.verticalScrollBar(),
            &QScrollBar::setValue);
    connect(grid.verticalScrollBar(), &QScrollBar::valueChanged, verticalScrollBar(),
            &QScrollBar::setValue);
    grid.installEventFilter(this);
    grid.viewport()->installEventFilter(this);
    hideOtherColumns();
    show();
}

void FrozenFirstColumn::Follow() {
    connect(grid_.horizontalHeader(), &QHeaderView::sectionResized, this,
            [this](int column, int, int size) {
                if (column != 0) return;
                setColumnWidth(0, size);
                place();
            });
    viewport()->setCursor(grid_.viewport()->cursor());
    verticalHeader()->setDefaultSectionSize(grid_.verticalHeader()->defaultSectionSize());
    horizontalHeader()->setFixedHeight(grid_.horizontalHeader()->height());
    horizontalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    setColumnWidth(0, grid_.columnWidth(0));
    hideOtherColumns();
    place();
}

bool FrozenFirstColumn::eventFilter(QObject* watched, QEvent* event) {
    // The grid's viewport shrinks when its horizontal scroll bar appears.
    if (event->type() == QEvent::Resize && (watched == &grid_ || watched == grid_.viewport()))
        place();
    return QTableView::eventFilter(watched, event);
}

void FrozenFirstColumn::hideOtherColumns() {
    for (int c = 1; c < model()->columnCount(); ++c) setColumnHidden(c, true);
}

void FrozenFirstColumn::place() {
    const QHeaderView& header = *grid_.horizontalHeader();
    setGeometry(grid_.viewport()->x(), header.isHidden() ? grid_.viewport()->y() : header.y(),
                grid_.columnWidth(0),
                grid_.viewport()->height() + (header.isHidden() ? 0 : header.height()));
    raise();
}

bool FieldExit::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::FocusOut) {
        const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
        if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason && onLeave_)
            onLeave_();
    }
    return QObject::eventFilter(watched, event);
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
