#include "shield-sim/scenario.h"

#include "sim/emulatedboard.h"

#include <QFile>

bool Scenario::load(const QString &path, Scenario *scenario)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return false;
    *scenario = Scenario(QString::fromUtf8(file.readAll()).split(QLatin1Char('\n')));
    return true;
}

QStringList Scenario::faults() const
{
    EmulatedBoard scratch;
    SimControl control(&scratch);
    QStringList found;
    for (int i = 0; i < lines.size(); ++i) {
        const QString &line = lines.at(i);
        if (SimControl::isBlank(line) || SimControl::waitMs(line) >= 0 ||
            SimControl::isRepeat(line))
            continue;
        QString answer;
        const QString verb = line.simplified().section(QLatin1Char(' '), 0, 0);
        if (verb == QLatin1String("wait") || verb == QLatin1String("repeat"))
            answer = verb == QLatin1String("wait") ? QStringLiteral("usage: wait MS")
                                                   : QStringLiteral("usage: repeat");
        else if (control.execute(line, &answer))
            continue;
        found << QStringLiteral("line %1: %2 -- %3").arg(i + 1).arg(line.trimmed(), answer);
    }
    return found;
}

bool Scenario::repeats() const
{
    for (const QString &line : lines) {
        if (SimControl::isRepeat(line))
            return true;
    }
    return false;
}

void Scenario::play(SimControl *control, const Print &print, const Sleep &sleep,
                    int rounds) const
{
    for (int round = 1;; ++round) {
        qint64 waited = 0;
        bool repeat = false;
        for (const QString &line : lines) {
            if (SimControl::isRepeat(line)) {
                repeat = true;
                break;
            }
            const int ms = SimControl::waitMs(line);
            if (ms >= 0) {
                sleep(ms);
                waited += ms;
                continue;
            }
            if (SimControl::isBlank(line))
                continue;
            QString answer;
            const bool ok = control->execute(line, &answer);
            print(QStringLiteral("scenario: ") + line.trimmed() +
                  (ok ? QString() : QStringLiteral("  -- ") + answer));
        }
        if (!repeat || round == rounds)
            return;
        if (waited < idleRoundMs)
            sleep(static_cast<int>(idleRoundMs - waited));
    }
}
