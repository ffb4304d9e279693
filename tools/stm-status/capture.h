#pragma once
// --capture: the records of the driver's capture stream (base/capturewire.h) into a pcap file for
// Wireshark, until a stop signal, a count or a time given.

#include <QString>

struct CaptureOptions {
    QString file;  // "-": standard output
    int shield = -1;
    qint64 count = 0;    // records; 0: no limit
    qint64 seconds = 0;  // 0: no limit
    bool force = false;  // an existing file is replaced
};

// The exit status: 1 when the file exists (without force) or cannot be written, when no driver
// answers or it ends the capture; what was captured until then stays a complete file.
int captureTo(const QString &path, const CaptureOptions &options);
