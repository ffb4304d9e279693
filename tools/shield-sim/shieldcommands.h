#pragma once
// The commands for one shield ("dial 0 300", "mute 1", "blfault 2 nack write"): one small handler
// each, found by the command's first word. SimControl reads the line and the shield's address;
// a handler checks the rest and acts on the shield's model.

#include "sim/shieldmodel.h"

#include <QString>
#include <QStringList>

namespace ShieldCommands {

// One command line for a shield: its words and the numbers or flag after the address, read once.
struct Line {
    QStringList w;
    quint32 a = 0;
    quint32 b = 0;
    bool hasA = false;
    bool hasB = false;
    bool flag = false;
    bool hasFlag = false;
    QString *answer = nullptr;

    // `ok`, or false with the command's usage as the answer.
    bool need(bool ok, const char *usage) const;
};

// A command's handler: true when it was done; false with the usage in *line.answer.
using Handler = bool (*)(const Line &line, ShieldModel &shield);

// The line's words (the command, the address, the rest), with the answer to write.
Line read(const QStringList &words, QString *answer);

// The handler of the command `verb`; null when there is none.
Handler handler(const QString &verb);

// A number as the language writes it: decimal, or hex after 0x.
bool parseNumber(const QString &word, quint32 *value);

}  // namespace ShieldCommands
