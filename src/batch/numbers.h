#pragma once

#include <QString>

#include <limits>

/// The one rule for whole numbers on the command line: decimal digits
/// alone, no sign, blank or leading zero ("0" itself aside), and at most
/// `maximum`. True, with `value` set, when `text` follows it.
inline bool parseWholeNumber(const QString &text, int &value,
                             int maximum = std::numeric_limits<int>::max())
{
    if (text.isEmpty() || (text.size() > 1 && text[0] == QLatin1Char('0')))
        return false;
    long long number = 0;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
        number = number * 10 + (c.unicode() - '0');
        if (number > maximum)
            return false;
    }
    value = static_cast<int>(number);
    return true;
}
