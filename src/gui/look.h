#pragma once
// The desktop look shared by the main window and the dialogs: positions given
// in twips, the two classic font faces with their installed substitutes, and
// the colours of the job rows.

#include <QColor>
#include <QFont>
#include <QRect>

namespace corvantel::gui {

// 15 twips make one pixel at 96 dots per inch.
constexpr int twips(int t) { return (t + 7) / 15; }
inline QRect twipsRect(int left, int top, int width, int height) {
    return {twips(left), twips(top), twips(width), twips(height)};
}

// "MS Sans Serif" and "MS Serif"; substituted by DejaVu Sans / DejaVu Serif
// where they are not installed (see installFontSubstitutes).
QFont sansFont(double points, bool bold = false);
QFont serifFont(double points, bool bold = false);
void installFontSubstitutes();

// Colours of the window.
inline const QColor faceColour{212, 208, 200};       // window and button face
inline const QColor downloadColour{0, 0, 255};        // download row text
inline const QColor uploadColour{255, 0, 0};          // upload row text
inline const QColor counterText{255, 0, 0};           // byte counters
inline const QColor counterBack{255, 224, 192};       // light orange
inline const QColor percentText{0, 255, 0};           // percentage boxes
inline const QColor percentBack{0, 192, 192};         // teal
inline const QColor highlightColour{10, 36, 106};     // selected list entry

// The caption of message boxes (the program's title).
inline constexpr const char* programTitle = "Ftp Corvantel";

}  // namespace corvantel::gui
