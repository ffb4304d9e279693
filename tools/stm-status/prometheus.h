#pragma once
// The driver's status document in Prometheus' text exposition format, for node_exporter's
// textfile collector: every family with its HELP and TYPE lines, then its samples.

#include <QJsonObject>
#include <QString>

// The figures of `doc`; without one (no driver answered), only stm_driver_up 0. A figure the
// document does not give (an older driver) has no sample, and a family none of whose samples
// are there is left out whole.
QString prometheus(const QJsonObject *doc);

// --prometheus: the figures of the driver at `path` on standard output, or into `output`,
// replaced at once. When no driver answers, the figures say so (stm_driver_up 0) and standard
// error says why; that is still a complete set of figures, so the exit status is 1 only when they
// could not be written.
int exposition(const QString &path, const QString &output);
