#include "gui/look.h"

#include <QFontDatabase>

namespace corvantel::gui {

namespace {

QFont makeFont(const char* family, double points, bool bold) {
    QFont f(QString::fromLatin1(family));
    f.setPointSizeF(points);
    f.setBold(bold);
    return f;
}

}  // namespace

QFont sansFont(double points, bool bold) { return makeFont("MS Sans Serif", points, bold); }

QFont serifFont(double points, bool bold) { return makeFont("MS Serif", points, bold); }

void installFontSubstitutes() {
    // The classic faces are used where installed; otherwise the nearest
    // installed faces of the same kind stand in.
    const QStringList installed = QFontDatabase::families();
    if (!installed.contains("MS Sans Serif"))
        QFont::insertSubstitutions("MS Sans Serif", {"DejaVu Sans", "Liberation Sans", "Sans Serif"});
    if (!installed.contains("MS Serif"))
        QFont::insertSubstitutions("MS Serif", {"DejaVu Serif", "Liberation Serif", "Serif"});
}

}  // namespace corvantel::gui
