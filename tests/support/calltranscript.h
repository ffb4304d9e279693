#pragma once
// What the host of a multi-shield driver saw and did, in order, read as the host would read it to
// check the promise of one "drop" per call. Entries: "< " and a line the driver wrote, "> " and a
// command the driver took from the host ("1 pickup", "2 drop", ...), and "= restart" and
// "= restarted" where a restart of the link begins and is over. A call opens at a dial or pickup line, or the host's pickup or
// dial; it ends with a "drop" line or the host's drop.

#include <QString>
#include <QStringList>

// What breaks the promise, with the entry where it broke; empty when nothing does:
// - a "drop" line of a shield without an open call, other than the emergency drop's lines;
// - a call still open at its shield's "shield_disconect" or at the end of a restart;
// - a lost initialisation in a call whose shield's next line is no "drop";
// - a call still open at the end of the transcript.
// `calls`, when given, receives how many calls opened.
QString brokenCallPromise(const QStringList &transcript, int *calls = nullptr);
