#pragma once
// Pictures drawn in code: the window icon, the about box picture and the
// folder symbols of the directory list.

#include <QIcon>
#include <QImage>
#include <QPixmap>

namespace corvantel::gui {

// 32 by 32, drawn in the sixteen standard colours only.
QImage windowIconImage();
QIcon windowIcon();

// 240 by 240, reduced to a palette of at most 256 colours.
QImage aboutPicture();

// 16 by 16 folder symbols: an open folder (the shown folder and its
// parents) and a closed one (sub-folders).
QPixmap openFolderPixmap();
QPixmap closedFolderPixmap();

}  // namespace corvantel::gui
