#pragma once
// A scenario file of shield-sim: the simulator's commands one per line, "wait MS" lines pacing
// them, comments, and "repeat", which plays the file again from the top (the lines after it are
// never reached). Immutable once made; play() runs in a thread of its own.

#include "shield-sim/simcontrol.h"

#include <QString>
#include <QStringList>

#include <functional>

class Scenario
{
public:
    // A round that ends in "repeat" lasts at least this long (its waits are made up to it), so a
    // scenario with few or no waits cannot spin or flood the output.
    static constexpr int idleRoundMs = 1000;

    explicit Scenario(const QStringList &lines) : lines(lines) {}
    // The lines of a file; false when it cannot be read.
    static bool load(const QString &path, Scenario *scenario);

    // Every line that is not blank, a comment, "wait MS", "repeat" or a command the simulator
    // takes, as "line N: TEXT -- reason" (N counted from 1); empty when the whole file is good.
    // Commands are tried on shields of a scratch board, not on any that serve a driver.
    QStringList faults() const;
    bool repeats() const;

    using Print = std::function<void(const QString &line)>;
    using Sleep = std::function<void(int ms)>;
    // Plays the lines on `control`: each command is echoed through `print` as "scenario: LINE"
    // (with "  -- reason" when it failed), "wait MS" calls `sleep`. Returns at the end of the
    // file, or after `rounds` rounds when the file repeats (0: never).
    void play(SimControl *control, const Print &print, const Sleep &sleep, int rounds = 0) const;

private:
    QStringList lines;
};
