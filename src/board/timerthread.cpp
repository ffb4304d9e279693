#include "board/timerthread.h"

#include <QDebug>
#include <QTime>
#include <QTimer>

TimerThread::TimerThread(quint32 period) : QThread(nullptr), period(period) {}

void TimerThread::slotChangeSpiPeriod(int ms)
{
    Q_EMIT timerStart(ms);
}

void TimerThread::run()
{
    // The timer lives only for this run: it belongs to this thread, and with it its connections
    // go, so a period change asked for while the thread is stopped cannot wait on a dead loop.
    QTimer timer;
    timer.setTimerType(Qt::PreciseTimer);
    connect(&timer, &QTimer::timeout, this, &TimerThread::slotTimeOut, Qt::DirectConnection);
    connect(this, &TimerThread::timerStart, &timer, qOverload<int>(&QTimer::start),
            Qt::BlockingQueuedConnection);
    timer.start(static_cast<int>(period));
    exec();
    timer.stop();
    disconnect(&timer, &QTimer::timeout, this, &TimerThread::slotTimeOut);
}

void TimerThread::slotTimeOut()
{
    qDebug() << QTime::currentTime().toString(QStringLiteral("hh:mm:ss"));
}
