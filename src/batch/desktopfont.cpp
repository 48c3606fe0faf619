#include "desktopfont.h"

#include <QApplication>

QFont desktopFont()
{
#ifndef Q_OS_WIN
    // The font of the toolkit's generic Unix desktop theme, which the
    // application gets on a desktop without a theme of its own (as on this
    // system's X11 session); fontconfig resolves the family.
    if (QGuiApplication::platformName() == QLatin1String("offscreen"))
        return QFont(QStringLiteral("Sans Serif"), 9);
#endif
    return QApplication::font();
}
