#pragma once
// The simulator's command language: one line, one action on the simulated shields ("dial 0 300",
// "mute 1", ...). The same lines come from a person on standard input and from scenario files,
// where "wait MS" paces them and "repeat" plays them again from the top (see Scenario).
// Thread-safe: every action goes to a ShieldModel, which locks itself.

#include "sim/emulatedboard.h"

#include <QString>
#include <QStringList>

class SimControl
{
public:
    explicit SimControl(EmulatedBoard *board) : board(board) {}

    // Executes one line. Returns the answer to print (may be empty); on a bad line, false with
    // the reason in *answer. "wait" lines are not executed here (see waitMs).
    bool execute(const QString &line, QString *answer);
    // For a "wait MS" line, the pause in milliseconds; -1 for any other line.
    static int waitMs(const QString &line);
    // True for a "repeat" line.
    static bool isRepeat(const QString &line);
    // True for an empty line or a comment ("# ...").
    static bool isBlank(const QString &line);
    // The language, one command a line, for --help and "help".
    static QString help();

private:
    bool parseShield(const QStringList &words, int at, int *shield, QString *answer) const;
    QString status() const;

    EmulatedBoard *board;
};
