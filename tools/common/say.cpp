#include "common/say.h"

#include <cstdio>

namespace {

const char *program = "";

}  // namespace

void Say::setProgram(const char *name)
{
    program = name;
}

void Say::out(const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
    std::fflush(stdout);
}

int Say::fail(const QString &text)
{
    std::fprintf(stderr, "%s: %s\n", program, qPrintable(text));
    return 1;
}
