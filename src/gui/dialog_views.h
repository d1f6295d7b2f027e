#pragma once
// Views of the three dialogs. Each observes its model: it shows itself when
// the model opens, hides when the model closes, and hands every pick, click,
// key and close request to the model.

#include <QComboBox>
#include <QLabel>
#include <QTreeWidget>
#include <memory>
#include <string>

#include "gui/widgets.h"

namespace corvantel {
class TimeDialog;
class WorkPathDialog;
class AboutBox;
}  // namespace corvantel

namespace corvantel::gui {

// Shared by the three views: the frame, its placement over the main window
// and the observer's lifetime guard.
class DialogView {
public:
    DialogView(QWidget* owner);
    virtual ~DialogView();
    DialogFrame* frame() { return &frame_; }

protected:
    // Shows the frame centred over the owner (once per opening) or hides it.
    void showOrHide(bool open);
    DialogFrame frame_;
    QWidget* owner_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

// "Download Time" / "Upload Time": two selection-only lists, the hour and
// the half of the day.
class TimeDialogView : public DialogView {
public:
    TimeDialogView(TimeDialog& model, QWidget* owner);
    QComboBox* hours() { return hours_; }
    QComboBox* halves() { return halves_; }
    void sync();

private:
    TimeDialog& m_;
    QComboBox* hours_;
    QComboBox* halves_;
    bool syncing_ = false;
};

// "Work Path Setting": the directory list (the shown folder, its parents
// and its sub-folders) and the label with the current entry.
// A tree used as a plain indented list: no expand or collapse marks.
class DirectoryList : public QTreeWidget {
public:
    using QTreeWidget::QTreeWidget;

protected:
    void drawBranches(QPainter*, const QRect&, const QModelIndex&) const override {}
};

class WorkPathView : public DialogView {
public:
    WorkPathView(WorkPathDialog& model, QWidget* owner);
    QTreeWidget* list() { return list_; }
    QLabel* label() { return label_; }
    // The list entry for a full path, or null.
    QTreeWidgetItem* itemFor(const std::string& path) const;
    void sync();

private:
    void rebuild();
    WorkPathDialog& m_;
    QTreeWidget* list_;
    QLabel* label_;
    std::string built_;  // the folder the list was built for
    bool syncing_ = false;
};

// "About FTP V1.0b": one picture, cut off at the bottom by the window.
class AboutView : public DialogView {
public:
    AboutView(AboutBox& model, QWidget* owner);
    QLabel* picture() { return picture_; }
    void sync();

private:
    AboutBox& m_;
    QLabel* picture_;
};

}  // namespace corvantel::gui
