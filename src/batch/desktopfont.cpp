#include "desktopfont.h"

#include <QApplication>

QFont desktopFont()
{
#ifdef Q_OS_WIN
    // Windows' message font, which the application gets there.
    if (QGuiApplication::platformName() == QLatin1String("offscreen"))
        return QFont(QStringLiteral("Segoe UI"), 9);
#else
    // The font of the toolkit's generic Unix desktop theme, which the
    // application gets on a desktop without a theme of its own (as on this
    // system's X11 session); fontconfig resolves the family.
    if (QGuiApplication::platformName() == QLatin1String("offscreen"))
        return QFont(QStringLiteral("Sans Serif"), 9);
#endif
    return QApplication::font();
}
