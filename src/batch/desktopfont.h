#pragma once

#include <QFont>
#include <QString>

/// The font the application's widgets get on this system's desktop, and so
/// the one its graph captions are drawn in. The offscreen platform the batch
/// program draws on knows no desktop: left alone it takes the font
/// database's default at 12 points, which makes the captions larger than
/// the application's and cuts the longest one at the right edge.
/// Needs a QGuiApplication.
QFont desktopFont();

/// Empty when the captions can be drawn in `font`; otherwise the warning
/// that pictures come without them, because the platform found no font to
/// draw their letters (a Windows without fonts in the folder the offscreen
/// platform reads). Needs a QGuiApplication.
QString missingFontWarning(const QFont &font);
