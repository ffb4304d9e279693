#include "stm-flash/output.h"

#include <cstdio>

namespace StmFlash {

void say(const QString &text)
{
    const QByteArray bytes = (text + QLatin1Char('\n')).toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
    std::fflush(stdout);
}

int fail(const QString &text)
{
    std::fprintf(stderr, "stm-flash: %s\n", qPrintable(text));
    return 1;
}

QString kib(qint64 bytes)
{
    return bytes % 1024 == 0 ? QStringLiteral("%1 KiB").arg(bytes / 1024)
                             : QStringLiteral("%1 bytes").arg(bytes);
}

}  // namespace StmFlash
