#include "base/qtcompat.h"

#include <QString>

#include <atomic>

namespace QtCompat {

#if QT_VERSION_MAJOR < 6
void quietLocaleNotice() {}
#else
namespace {

// Set once, before the threads that write messages are started.
std::atomic<QtMessageHandler> next{nullptr};

void leaveOutLocaleNotice(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (type == QtWarningMsg && text.startsWith(QLatin1String("Detected locale \"")) &&
        text.contains(QLatin1String("which is not UTF-8")))
        return;
    next.load()(type, context, text);
}

}  // namespace

void quietLocaleNotice()
{
    if (!next.load())
        next = qInstallMessageHandler(leaveOutLocaleNotice);
}
#endif

}  // namespace QtCompat
