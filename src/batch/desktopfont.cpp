#include "batch/desktopfont.h"

#include <QFontMetrics>
#include <QGuiApplication>

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
    return QGuiApplication::font();
}

QString missingFontWarning(const QFont &font)
{
    // Every letter and sign the captions use.
    static const QString letters = QStringLiteral(
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789 ().-");
    const QFontMetrics metrics(font);
    for (const QChar c : letters)
        if (!metrics.inFont(c))
            return QStringLiteral("quorvane-batch: warning: no font draws the pictures' captions; "
                                  "they are written without text (QT_QPA_FONTDIR names a folder "
                                  "of font files)");
    return QString();
}
