#include "support/calltranscript.h"

#include "base/shieldcount.h"

#include <QRegularExpression>

#include <array>
#include <numeric>

QString brokenCallPromise(const QStringList &transcript, int *calls)
{
    static const QRegularExpression shieldEntry(QStringLiteral("^([<>]) (\\d) (\\w+)"));
    std::array<bool, maxShields> open{}, dropDue{};
    std::array<int, maxShields> opened{}, ended{};
    bool emergency = false;  // within the emergency drop's own lines
    QString broken;
    for (int i = 0; i < transcript.size() && broken.isEmpty(); ++i) {
        const QString &entry = transcript.at(i);
        const auto breaks = [&](const QString &what) {
            broken = QStringLiteral("entry %1 (%2): %3").arg(i).arg(entry, what);
        };
        if (entry == QLatin1String("< #ERROR: Drop not detect. Emergency restart.")) {
            emergency = true;
            continue;
        }
        if (entry == QLatin1String("= restarted")) {
            for (int s = 0; s < maxShields; ++s) {
                if (open[s])
                    breaks(QStringLiteral("the restart left the call of shield %1 open").arg(s));
            }
        }
        const QRegularExpressionMatch m = shieldEntry.match(entry);
        const QString what = m.captured(3);
        const bool dropLine = m.captured(1) == QLatin1String("<") && what == QLatin1String("drop");
        emergency = emergency && dropLine;
        if (!m.hasMatch())
            continue;
        const int s = m.captured(2).toInt();
        if (dropDue[s] && !dropLine)
            breaks(QStringLiteral("no \"drop\" right after the lost initialisation"));
        dropDue[s] = false;
        if (what == QLatin1String("dial") || what == QLatin1String("pickup")) {
            if (!open[s])
                ++opened[s];
            open[s] = true;
        } else if (what == QLatin1String("drop")) {
            if (open[s])
                ++ended[s];
            else if (dropLine && !emergency)
                breaks(QStringLiteral("\"drop\" without an open call"));
            open[s] = false;
        } else if (what == QLatin1String("shield_disconect") && open[s]) {
            breaks(QStringLiteral("the lost shield's call is still open"));
        } else if (what == QLatin1String("WARNING") &&
                   entry.endsWith(QLatin1String("Shield lost initialization"))) {
            dropDue[s] = open[s];
        }
    }
    if (calls)
        *calls = std::accumulate(opened.begin(), opened.end(), 0);
    for (int s = 0; s < maxShields && broken.isEmpty(); ++s) {
        if (open[s]) {
            broken = QStringLiteral("shield %1: %2 calls opened, %3 ended, one still open")
                         .arg(s)
                         .arg(opened[s])
                         .arg(ended[s]);
        }
    }
    return broken;
}
