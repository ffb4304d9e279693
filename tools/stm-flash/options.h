#pragma once
// stm-flash's command line: what it may do, and the rules between the options.

#include "link/flashimage.h"
#include "link/stmbootloader.h"

#include <QString>
#include <QStringList>
#include <QtGlobal>

namespace StmFlash {

struct Options {
    QString image;
    int shield = 0;
    bool multiShield = false;
    QString board;
    QString spidev;
    QString simbus;
    quint32 clockHz = 500000;
    FlashImage::Format format = FlashImage::Format::Detect;
    quint32 address = StmBootloader::flashBase;
    bool goGiven = false;
    quint32 goAddress = 0;
    bool massErase = false;
    QString backup;
    quint32 flashSize = 0;
    quint32 pageSize = 0;
    bool unprotect = false;
    bool verifyOnly = false;
    QString readFile;
    quint32 length = 0;
    bool dryRun = false;
};

extern const char *const usage;

enum class Parsed { Run, Help, Bad };
// The arguments after the program's name, in order: --help answers Help when it comes before
// any fault; Bad with *problem naming the first fault.
Parsed parseOptions(const QStringList &words, Options *o, QString *problem);

// "65536", "64K", "1M", "0x10000".
bool parseSize(const QString &word, quint32 *value);

}  // namespace StmFlash
