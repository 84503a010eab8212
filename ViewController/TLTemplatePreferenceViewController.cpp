#include "TLTemplatePreferenceViewController.h"

#include <QAbstractTableModel>
#include <QDrag>
#include <QDragMoveEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMimeData>
#include <QTableView>
#include <QToolButton>
#include <QVBoxLayout>

#include "kit/TLMirroredSettings.h"
#include "kit/TLUserDefaultsKeys.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/UserDefaults.h"

using foundation::PlistValue;
using Pane = TLTemplatePreferenceViewController;

namespace {

std::string stringOf(const PlistValue& entry, const char* key) {
    const PlistValue* value = entry.get(key);
    return value && value->asString() ? *value->asString() : std::string();
}

void storeTemplates(PlistValue::Array templates) {
    TLMirroredSettings::write(TLUserDefaultsCopyTemplates, PlistValue(std::move(templates)));
}

// The table: drags carry the pane's two strings, and a drop lands between rows.
class TemplateTableView final : public QTableView {
public:
    TemplateTableView(Pane* pane, QWidget* parent) : QTableView(parent), pane_(pane) {}

protected:
    void startDrag(Qt::DropActions) override {
        std::vector<int> rows;
        for (const QModelIndex& index : selectionModel()->selectedRows()) rows.push_back(index.row());
        if (rows.empty()) return;
        auto* drag = new QDrag(this);
        drag->setMimeData(pane_->writeRows(rows));
        // The move is made by the drop itself, never by removing rows here.
        drag->exec(Qt::MoveAction);
    }
    void dragEnterEvent(QDragEnterEvent* event) override {
        if (event->source() == this) event->acceptProposedAction();
        else event->ignore();
    }
    void dragMoveEvent(QDragMoveEvent* event) override {
        QTableView::dragMoveEvent(event);
        if (Pane::validateDrop(event->source() == this, position())) {
            event->setDropAction(Qt::MoveAction);
            event->accept();
        } else {
            event->ignore();
        }
    }
    void dropEvent(QDropEvent* event) override {
        int row = dropRow(event->position().toPoint());
        bool accepted = Pane::validateDrop(event->source() == this, position()) && pane_->acceptDrop(row);
        if (accepted) {
            event->setDropAction(Qt::MoveAction);
            event->accept();
        } else {
            event->ignore();
        }
        stopAutoScroll();
        setState(NoState);
        viewport()->update();
    }
    void keyPressEvent(QKeyEvent* event) override {
        if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && currentIndex().isValid()) {
            pane_->editTemplate();
            return;
        }
        if ((event->key() == Qt::Key_Delete || event->key() == Qt::Key_Backspace) && currentIndex().isValid()) {
            pane_->controlClicked(Pane::kRemoveSegment);
            return;
        }
        QTableView::keyPressEvent(event);
    }

private:
    Pane::DropPosition position() const {
        return dropIndicatorPosition() == OnItem ? Pane::DropPosition::OnRow : Pane::DropPosition::AboveRow;
    }
    int dropRow(const QPoint& at) const {
        QModelIndex index = indexAt(at);
        switch (dropIndicatorPosition()) {
        case AboveItem: return index.isValid() ? index.row() : model()->rowCount();
        case BelowItem: return index.isValid() ? index.row() + 1 : model()->rowCount();
        default: return model()->rowCount();
        }
    }

    Pane* pane_;
};

}  // namespace

// The templates' names, one row each; rows drag, and drops go between them.
class TLTemplatePreferenceViewController::Model final : public QAbstractTableModel {
public:
    using QAbstractTableModel::QAbstractTableModel;

    void setTemplates(PlistValue::Array templates) {
        beginResetModel();
        templates_ = std::move(templates);
        endResetModel();
    }
    const PlistValue::Array& templates() const { return templates_; }

    int rowCount(const QModelIndex& parent = {}) const override { return parent.isValid() ? 0 : int(templates_.size()); }
    int columnCount(const QModelIndex& parent = {}) const override { return parent.isValid() ? 0 : 1; }
    QVariant data(const QModelIndex& index, int role) const override {
        if (!index.isValid() || index.row() >= int(templates_.size())) return {};
        if (role == Qt::DisplayRole || role == Qt::ToolTipRole)
            return QString::fromStdString(stringOf(templates_[size_t(index.row())], TLUserDefaultsTemplateName));
        return {};
    }
    Qt::ItemFlags flags(const QModelIndex& index) const override {
        // Items take no drops on themselves: only the gaps between them do.
        if (!index.isValid()) return Qt::ItemIsDropEnabled;
        return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDragEnabled;
    }
    QStringList mimeTypes() const override { return {QString::fromLatin1(kNameType), QString::fromLatin1(kFormatType)}; }
    Qt::DropActions supportedDropActions() const override { return Qt::MoveAction; }
    Qt::DropActions supportedDragActions() const override { return Qt::MoveAction; }

private:
    PlistValue::Array templates_;
};

TLTemplatePreferenceViewController::TLTemplatePreferenceViewController(QWidget* parent)
    : QWidget(parent),
      model_(new Model(this)),
      tableView_(new TemplateTableView(this, this)),
      addRemoveButton_(new QWidget(this)),
      addButton_(new QToolButton(addRemoveButton_)),
      removeButton_(new QToolButton(addRemoveButton_)) {
    setObjectName(QStringLiteral("Templates"));
    tableView_->setModel(model_);
    tableView_->horizontalHeader()->hide();
    tableView_->horizontalHeader()->setStretchLastSection(true);
    tableView_->verticalHeader()->hide();
    tableView_->verticalHeader()->setMinimumSectionSize(kRowHeight);
    tableView_->verticalHeader()->setDefaultSectionSize(kRowHeight);
    tableView_->setShowGrid(false);
    tableView_->setAlternatingRowColors(true);
    tableView_->setSelectionBehavior(QAbstractItemView::SelectRows);
    tableView_->setSelectionMode(QAbstractItemView::SingleSelection);
    tableView_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    tableView_->setDragEnabled(true);
    tableView_->setAcceptDrops(true);
    tableView_->setDropIndicatorShown(true);
    tableView_->setDragDropOverwriteMode(false);
    tableView_->setDragDropMode(QAbstractItemView::InternalMove);
    tableView_->setDefaultDropAction(Qt::MoveAction);

    addButton_->setText(QStringLiteral("+"));
    addButton_->setToolTip(QStringLiteral("Add a template"));
    removeButton_->setText(QStringLiteral("\u2212"));
    removeButton_->setToolTip(QStringLiteral("Remove the selected template"));
    auto* segments = new QHBoxLayout(addRemoveButton_);
    segments->setContentsMargins(0, 0, 0, 0);
    segments->setSpacing(0);
    segments->addWidget(addButton_);
    segments->addWidget(removeButton_);
    segments->addStretch();

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(tableView_, 1);
    layout->addWidget(addRemoveButton_);

    connect(addButton_, &QToolButton::clicked, this, [this] { controlClicked(kAddSegment); });
    connect(removeButton_, &QToolButton::clicked, this, [this] { controlClicked(kRemoveSegment); });
    connect(tableView_, &QTableView::doubleClicked, this, [this] { editTemplate(); });
    connect(tableView_->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] { updateRemoveButton(); });

    // Any settings change, of this process or another, may have touched the
    // list; the table reads it again once the change is done.
    auto& center = foundation::NotificationCenter::defaultCenter();
    QPointer<TLTemplatePreferenceViewController> self(this);
    settingsObserver_ = foundation::ObserverRegistration(
        center, center.addObserver(foundation::UserDefaults::kDidChangeNotification, nullptr,
                                   [self](const foundation::Notification&) {
                                       dispatch::Queue::main()->async([self] {
                                           if (self) self->reloadData();
                                       });
                                   }));
    reloadData();
}

TLTemplatePreferenceViewController::~TLTemplatePreferenceViewController() {
    settingsObserver_.reset();
    if (editor_) delete editor_.data();
}

void TLTemplatePreferenceViewController::showEvent(QShowEvent* event) {
    updateRemoveButton();
    QWidget::showEvent(event);
}

void TLTemplatePreferenceViewController::reloadData() {
    int selected = selectedRow();
    model_->setTemplates(TLTemplateEditorViewController::storedTemplates());
    if (selected >= 0 && selected < model_->rowCount()) selectRow(selected);
    updateRemoveButton();
}

int TLTemplatePreferenceViewController::selectedRow() const {
    auto rows = tableView_->selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : rows.last().row();
}

void TLTemplatePreferenceViewController::selectRow(int row) {
    if (row < 0 || row >= model_->rowCount()) {
        tableView_->clearSelection();
        return;
    }
    tableView_->selectRow(row);
    tableView_->setCurrentIndex(model_->index(row, 0));
}

void TLTemplatePreferenceViewController::updateRemoveButton() { removeButton_->setEnabled(selectedRow() >= 0); }

void TLTemplatePreferenceViewController::controlClicked(int segment) {
    if (segment == kRemoveSegment) {
        int row = selectedRow();
        auto templates = TLTemplateEditorViewController::storedTemplates();
        if (row < 0 || row >= int(templates.size())) return;
        templates.erase(templates.begin() + row);
        storeTemplates(std::move(templates));
        reloadData();
        return;
    }
    openEditor(-1, addRemoveButton_->geometry(), this, TLTemplateEditorViewController::Edge::MinX);
}

void TLTemplatePreferenceViewController::editTemplate() {
    int row = selectedRow();
    QRect rect = row >= 0 ? tableView_->visualRect(model_->index(row, 0)) : tableView_->viewport()->rect();
    openEditor(row, rect, tableView_->viewport(), TLTemplateEditorViewController::Edge::MaxX);
}

void TLTemplatePreferenceViewController::openEditor(int64_t index, const QRect& rect, QWidget* anchor,
                                                    TLTemplateEditorViewController::Edge edge) {
    if (editor_) editor_->close();
    auto* editor = new TLTemplateEditorViewController(index, this);
    editor->setAttribute(Qt::WA_DeleteOnClose);
    editor_ = editor;
    editor->showRelativeToRect(anchor, rect, edge);
}

QMimeData* TLTemplatePreferenceViewController::writeRows(const std::vector<int>& rows) {
    auto* data = new QMimeData;
    if (rows.empty() || rows.front() < 0 || rows.front() >= model_->rowCount()) return data;
    int row = rows.front();
    selectRow(row);
    const PlistValue& entry = model_->templates()[size_t(row)];
    data->setData(QString::fromLatin1(kNameType), QByteArray::fromStdString(stringOf(entry, TLUserDefaultsTemplateName)));
    data->setData(QString::fromLatin1(kFormatType),
                  QByteArray::fromStdString(stringOf(entry, TLUserDefaultsTemplateFormat)));
    return data;
}

bool TLTemplatePreferenceViewController::validateDrop(bool fromThisTable, DropPosition position) {
    return fromThisTable && position == DropPosition::AboveRow;
}

bool TLTemplatePreferenceViewController::acceptDrop(int row) {
    int selected = selectedRow();
    auto templates = TLTemplateEditorViewController::storedTemplates();
    const int count = int(templates.size());
    if (selected < 0 || selected >= count || row < 0 || row > count) return false;
    PlistValue moved = std::move(templates[size_t(selected)]);
    templates.erase(templates.begin() + selected);
    int to = selected < row ? row - 1 : row;
    templates.insert(templates.begin() + to, std::move(moved));
    storeTemplates(std::move(templates));
    reloadData();
    selectRow(to);
    return true;
}
