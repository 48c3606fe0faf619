#pragma once

#include <QFont>

/// The font the application's widgets get on this system's desktop, and so
/// the one its graph captions are drawn in. The offscreen platform the batch
/// program draws on knows no desktop: left alone it takes the font
/// database's default at 12 points, which makes the captions larger than
/// the application's and cuts the longest one at the right edge.
QFont desktopFont();
