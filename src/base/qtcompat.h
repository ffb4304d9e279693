#pragma once
// What differs between Qt 5 and Qt 6 where the driver meets it, in this one place: the rest of
// the code is written once for both.

#include <QAbstractEventDispatcher>
#include <QtGlobal>

namespace QtCompat {

// An event dispatcher as both versions want one: Qt 5 also asks hasPendingEvents() and flush(),
// which Qt 6 dropped, and Qt 6 counts timer intervals in qint64.
class EventDispatcher : public QAbstractEventDispatcher
{
public:
#if QT_VERSION_MAJOR < 6
    using Interval = int;
    bool hasPendingEvents() final
    {
        return pendingEvents();
    }
    void flush() final {}
#else
    using Interval = qint64;
#endif

protected:
    // Whether events are posted that the next processEvents() sends.
    virtual bool pendingEvents() const = 0;
};

// Qt 6 turns a locale whose characters are not UTF-8 (C or POSIX, a service's usual one) into its
// UTF-8 form when the application object is made, and says so in four lines on standard error;
// Qt 5 reads and writes UTF-8 there without a word. Called before the application object is made
// (after a message handler of the program's own), this leaves that notice out: every program's
// texts are UTF-8 with both.
void quietLocaleNotice();

}  // namespace QtCompat
