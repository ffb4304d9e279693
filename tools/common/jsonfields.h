#pragma once
// Reading the driver's JSON documents: their figures are whole numbers, and a figure a driver
// does not give (an older one) reads as 0 here; a reader that must tell the two apart asks has().

#include <QJsonObject>

inline qint64 number(const QJsonObject &object, const char *name)
{
    return object.value(QLatin1String(name)).toVariant().toLongLong();
}

inline bool has(const QJsonObject &object, const char *name)
{
    return object.contains(QLatin1String(name));
}
