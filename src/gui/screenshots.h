#pragma once
// Renders PNG pictures of the main window, its menus and each dialog, as the
// program draws them, into a folder. Needs the QApplication of
// makeApplication; runs the program's own start-up in a temporary directory
// so that no file of the current directory is touched.

#include <QString>
#include <QStringList>

namespace corvantel::gui {

// Returns the names of the files written; an empty list when the folder
// could not be created or a picture could not be written.
QStringList writeScreenshots(const QString& folder);

// "--screenshots DIR" anywhere among the arguments: renders into DIR and
// returns the exit status (0 when every picture was written); otherwise -1.
int screenshotsMain(int argc, char** argv);

}  // namespace corvantel::gui
