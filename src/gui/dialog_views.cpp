#include "gui/dialog_views.h"

#include <QHeaderView>
#include <QMetaObject>
#include <QSignalBlocker>
#include <QTreeWidgetItemIterator>
#include <QWindow>
#include <filesystem>

#include "app/dialogs.h"
#include "gui/artwork.h"
#include "gui/look.h"
#include "schedule/time_dialog.h"

namespace corvantel::gui {

namespace {

// Subscribes view.sync() to every change of model, for as long as the view
// lives.
template <typename View>
void observe(platform::Form& model, View* view, const std::shared_ptr<bool>& alive) {
    std::weak_ptr<bool> guard = alive;
    model.addObserver([guard, view](const platform::Control*) {
        if (auto on = guard.lock(); !on || !*on) return;
        view->sync();
    });
}

QString qs(const std::string& s) { return QString::fromStdString(s); }

constexpr int pathRole = Qt::UserRole;

}  // namespace

// ---- shared

DialogView::DialogView(QWidget* owner) : owner_(owner) {
    frame_.setWindowIcon(windowIcon());
}

DialogView::~DialogView() { *alive_ = false; }

void DialogView::showOrHide(bool open) {
    if (open && !frame_.isVisible()) {
        if (owner_ != nullptr) {
            // Keep the dialog above the main window without making it a child
            // widget: a child would be disabled with the main window.
            frame_.winId();
            if (owner_->windowHandle() != nullptr && frame_.windowHandle() != nullptr)
                frame_.windowHandle()->setTransientParent(owner_->windowHandle());
            const QRect og = owner_->frameGeometry();
            frame_.move(og.center() - QPoint(frame_.width() / 2, frame_.height() / 2));
        }
        frame_.show();
        frame_.raise();
        frame_.activateWindow();
    } else if (!open && frame_.isVisible()) {
        frame_.hide();
    }
}

// ---- time dialog

TimeDialogView::TimeDialogView(TimeDialog& model, QWidget* owner) : DialogView(owner), m_(model) {
    frame_.setObjectName("Form2");
    frame_.setFixedSize(twips(3375), twips(1155));
    hours_ = new QComboBox(&frame_);
    hours_->setObjectName("Combo1");
    hours_->setGeometry(twipsRect(360, 360, 1215, 315));
    for (auto& h : m_.hours()) hours_->addItem(qs(h));
    halves_ = new QComboBox(&frame_);
    halves_->setObjectName("Combo2");
    halves_->setGeometry(twipsRect(1800, 360, 1215, 315));
    for (auto& h : m_.halves()) halves_->addItem(qs(h));
    hours_->setMaxVisibleItems(12);

    // A pick by mouse or keyboard goes to the model, which stores it at once.
    QObject::connect(hours_, &QComboBox::currentIndexChanged, [this](int i) {
        if (syncing_) return;
        m_.pickHour(i);
        sync();  // a refused pick shows the model's entry again
    });
    QObject::connect(halves_, &QComboBox::currentIndexChanged, [this](int i) {
        if (syncing_) return;
        m_.pickHalf(i);
        sync();
    });
    frame_.onKey = [this](int code) { m_.keyPress(code); };
    frame_.onCloseBox = [this] { m_.close(); };
    hours_->installEventFilter(&frame_);
    halves_->installEventFilter(&frame_);

    observe(m_, this, alive_);
    sync();
}

void TimeDialogView::sync() {
    syncing_ = true;
    frame_.setWindowTitle(qs(m_.caption()));
    if (hours_->currentIndex() != m_.hourIndex()) hours_->setCurrentIndex(m_.hourIndex());
    if (halves_->currentIndex() != m_.halfIndex()) halves_->setCurrentIndex(m_.halfIndex());
    syncing_ = false;
    const bool wasVisible = frame_.isVisible();
    showOrHide(m_.isOpen());
    if (!wasVisible && frame_.isVisible()) hours_->setFocus();
}

// ---- work path dialog

WorkPathView::WorkPathView(WorkPathDialog& model, QWidget* owner) : DialogView(owner), m_(model) {
    frame_.setObjectName("Form3");
    frame_.setFixedSize(twips(4680), twips(3195));
    list_ = new DirectoryList(&frame_);
    list_->setObjectName("Dir1");
    list_->setGeometry(twipsRect(360, 360, 3975, 2340));
    list_->setHeaderHidden(true);
    list_->setRootIsDecorated(false);
    list_->setItemsExpandable(false);
    list_->setExpandsOnDoubleClick(false);
    list_->setIndentation(10);
    list_->setIconSize(QSize(16, 16));
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setFont(sansFont(8.25));
    label_ = new QLabel(&frame_);
    label_->setObjectName("Label1");
    label_->setGeometry(twipsRect(360, 2760, 3975, 375));
    label_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label_->setWordWrap(true);

    auto pathOf = [](QTreeWidgetItem* item) {
        return item == nullptr ? std::string() : item->data(0, pathRole).toString().toStdString();
    };
    // A click highlights a folder; moving through the list with the keys
    // does the same.
    QObject::connect(list_, &QTreeWidget::itemClicked, [this, pathOf](QTreeWidgetItem* item, int) {
        if (!syncing_) m_.clickFolder(pathOf(item));
    });
    QObject::connect(list_, &QTreeWidget::currentItemChanged,
                     [this, pathOf](QTreeWidgetItem* current, QTreeWidgetItem*) {
                         if (!syncing_ && current != nullptr) m_.clickFolder(pathOf(current));
                     });
    // A double-click opens the folder. The list is rebuilt for it, so the
    // model is told once the list has finished handling the double-click.
    QObject::connect(list_, &QTreeWidget::itemDoubleClicked, [this, pathOf](QTreeWidgetItem* item, int) {
        const std::string path = pathOf(item);
        std::weak_ptr<bool> guard = alive_;
        QMetaObject::invokeMethod(
            list_,
            [this, guard, path] {
                if (!guard.expired()) m_.openFolder(path);
            },
            Qt::QueuedConnection);
    });
    frame_.onKey = [this](int code) { m_.keyPress(code); };
    frame_.onCloseBox = [this] { m_.close(); };
    list_->installEventFilter(&frame_);

    observe(m_, this, alive_);
    sync();
}

QTreeWidgetItem* WorkPathView::itemFor(const std::string& path) const {
    const QString want = qs(path);
    for (QTreeWidgetItemIterator it(list_); *it; ++it)
        if ((*it)->data(0, pathRole).toString() == want) return *it;
    return nullptr;
}

// The folder, its parents and its sub-folders, each indented one step
// further than the folder above it.
void WorkPathView::rebuild() {
    namespace fs = std::filesystem;
    list_->clear();
    built_ = m_.shownFolder();
    if (built_.empty()) return;
    auto display = [](const std::string& path) {
        std::string name = fs::path(path).filename().string();
        return qs(name.empty() ? path : name);
    };
    std::vector<std::string> chain = m_.parentFolders();
    chain.push_back(built_);
    QTreeWidgetItem* parent = nullptr;
    for (auto& folder : chain) {
        auto* item = parent ? new QTreeWidgetItem(parent) : new QTreeWidgetItem(list_);
        item->setText(0, display(folder));
        item->setIcon(0, QIcon(openFolderPixmap()));
        item->setData(0, pathRole, qs(folder));
        item->setToolTip(0, qs(folder));
        parent = item;
    }
    for (auto& sub : m_.subFolders()) {
        auto* item = new QTreeWidgetItem(parent);
        item->setText(0, display(sub));
        item->setIcon(0, QIcon(closedFolderPixmap()));
        item->setData(0, pathRole, qs(sub));
        item->setToolTip(0, qs(sub));
    }
    list_->expandAll();
}

void WorkPathView::sync() {
    syncing_ = true;
    frame_.setWindowTitle(qs(m_.caption()));
    if (m_.isOpen() && built_ != m_.shownFolder()) rebuild();
    if (auto* item = itemFor(m_.currentEntry()); item != nullptr && list_->currentItem() != item) {
        list_->setCurrentItem(item);
        list_->scrollToItem(item);
    }
    label_->setText(qs(m_.Label1.caption()));
    syncing_ = false;
    const bool wasVisible = frame_.isVisible();
    if (!m_.isOpen()) built_.clear();  // the next opening starts afresh
    showOrHide(m_.isOpen());
    if (!wasVisible && frame_.isVisible()) list_->setFocus();
}

// ---- about box

AboutView::AboutView(AboutBox& model, QWidget* owner) : DialogView(owner), m_(model) {
    frame_.setObjectName("Form4");
    frame_.setFixedSize(twips(3675), twips(3195));
    picture_ = new QLabel(&frame_);
    picture_->setObjectName("Picture1");
    // The box is taller than the window: its bottom is cut off.
    picture_->setGeometry(twipsRect(0, 0, 3660, 3660));
    picture_->setFrameStyle(QFrame::WinPanel | QFrame::Sunken);
    picture_->setLineWidth(2);
    picture_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    picture_->setPixmap(QPixmap::fromImage(aboutPicture()));
    picture_->installEventFilter(&frame_);
    frame_.onKey = [this](int code) { m_.keyPress(code); };
    frame_.onCloseBox = [this] { m_.close(); };
    observe(m_, this, alive_);
    sync();
}

void AboutView::sync() {
    frame_.setWindowTitle(qs(m_.caption()));
    const bool wasVisible = frame_.isVisible();
    showOrHide(m_.isOpen());
    if (!wasVisible && frame_.isVisible()) frame_.setFocus();
}

}  // namespace corvantel::gui
