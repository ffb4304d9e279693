#include "common/optionreader.h"

bool OptionReader::next()
{
    if (!ok() || taken + 1 >= words.size())
        return false;
    at = ++taken;
    return true;
}

bool OptionReader::isOption() const
{
    return word().startsWith(QLatin1Char('-')) && word().size() > 1;
}

QString OptionReader::value()
{
    if (taken + 1 >= words.size()) {
        fail(word() + QStringLiteral(" needs a value"));
        return QString();
    }
    return words.at(++taken);
}

bool OptionReader::number(qint64 lowest, qint64 highest, qint64 *value, const QString &takes)
{
    bool whole = false;
    *value = this->value().toLongLong(&whole);
    if (!ok() || (whole && *value >= lowest && *value <= highest))
        return ok();
    fail(word() + QStringLiteral(" takes ") +
         (takes.isEmpty() ? QStringLiteral("a whole number from %1 to %2").arg(lowest).arg(highest)
                          : takes));
    return false;
}

void OptionReader::fail(const QString &problem)
{
    if (problemText.isEmpty())
        problemText = problem;
}

void OptionReader::unknown()
{
    fail(QStringLiteral("unknown option ") + word());
}
