#pragma once
// Small pieces of the main window that Qt has no ready control for: the meter
// grid's painted header and cells, and a picture that keeps its proportions
// and reacts to a click; the conversion of typed text.

#include <QHeaderView>
#include <QLabel>
#include <QPixmap>
#include <QStyledItemDelegate>
#include <QTableView>
#include <functional>
#include <string>
#include <string_view>

class QPainter;

namespace qv {

// The settings' texts are UTF-8, as the command line and a configuration file
// give them: typed text crosses the widget boundary through these.
QString SettingText(std::string_view utf8);
std::string SettingText(const QString& text);

// Paints one grid cell: column, row (0 = header row), rectangle.
using CellPainter = std::function<void(QPainter&, int, int, const QRect&)>;

// The grid's header row, painted by the window's cell painter as row 0, so it
// stays in place while the meter rows scroll.
class GridHeader : public QHeaderView {
  public:
    GridHeader(CellPainter painter, QWidget* parent);

  protected:
    void paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const override;

  private:
    CellPainter painter_;
};

// The grid's meter cells; table row r is grid row r + 1.
class GridCells : public QStyledItemDelegate {
  public:
    explicit GridCells(CellPainter painter) : painter_(std::move(painter)) {}
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;

  private:
    CellPainter painter_;
};

// The grid's first column laid over the grid's left edge, so that the link
// addresses stay in view while the other columns scroll sideways. It shows
// the grid's own rows and selection, painted by the same cell painter, and
// scrolls up and down with the grid.
class FrozenFirstColumn : public QTableView {
  public:
    FrozenFirstColumn(QTableView& grid, CellPainter painter, QAbstractItemDelegate& cells);
    // Takes over the grid's row and header heights and its first column's
    // width, now and as it changes; called once the grid has its header.
    void Follow();

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void hideOtherColumns();
    void place();
    QTableView& grid_;
};

// Runs OnLeave each time the focus leaves one of the watched fields for
// another control of the window. Qt's editingFinished skips a field left
// without a change, and a field left for another window is not left.
class FieldExit : public QObject {
  public:
    explicit FieldExit(std::function<void()> onLeave) : onLeave_(std::move(onLeave)) {}
    void Watch(QWidget& field) { field.installEventFilter(this); }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    std::function<void()> onLeave_;
};

// A picture scaled to its control with its proportions kept; a click runs
// OnClick.
class PictureLabel : public QLabel {
  public:
    explicit PictureLabel(QWidget* parent = nullptr);
    void SetPicture(const QPixmap& picture);
    std::function<void()> OnClick;

  protected:
    void resizeEvent(QResizeEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

  private:
    void rescale();
    QPixmap picture_;
};

}  // namespace qv
