// The real driver with its shields emulated inside the process: no board and no simulator, yet
// every served shield comes into service and host commands are taken; the real-time scheduling
// it asks for; and the bytes of its Russian lines and of host input that is not UTF-8.

#include "support/e2eprocess.h"

#include <QDir>
#include <QFile>
#include <QMap>
#include <QPair>
#include <QStandardPaths>

#include <gtest/gtest.h>

#include <sched.h>
#include <unistd.h>

TEST(DriverEmulated, EveryServedShieldComesIntoServiceAndTakesCommands)
{
    E2eProcess driver(QStringLiteral("stm-driver"), QStringLiteral(STM_DRIVER_PATH),
                      testDriverArgs({QStringLiteral("-emulate"),
                                      QStringLiteral("-multishield")}));
    ASSERT_TRUE(driver.started());
    for (int s = 0; s < 6; ++s)
        ASSERT_GE(driver.waitForLine(QStringLiteral("#Shield %1 update black list").arg(s)), 0)
            << driver.describe();
    for (int s = 0; s < 6; ++s)
        EXPECT_GE(driver.count(QStringLiteral("%1 shield_ready").arg(s)), 1) << s;

    // A command is taken (no refusal), and an address beyond the shields is refused on stderr.
    driver.write("2 open 7\n9 drop\n");
    EXPECT_TRUE(driver.waitForErr(QStringLiteral("#ERROR: Адреса шилда не существует")))
        << driver.describe();
    EXPECT_FALSE(driver.lines().join(QLatin1Char('\n')).contains(QStringLiteral("not available")))
        << driver.describe();
}

namespace {

// Scheduling policy and real-time priority of each thread of a process, by thread name.
QMap<QString, QPair<int, int>> threadPolicies(qint64 pid)
{
    QMap<QString, QPair<int, int>> policies;
    const QString tasks = QStringLiteral("/proc/%1/task").arg(pid);
    for (const QString &tid : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile stat(tasks + QLatin1Char('/') + tid + QStringLiteral("/stat"));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray text = stat.readAll();
        const int open = text.indexOf('('), close = text.lastIndexOf(')');
        // After the name: field 3 (state) onwards; rt_priority is field 40, policy field 41.
        const QList<QByteArray> fields = text.mid(close + 2).split(' ');
        if (open < 0 || fields.size() < 39)
            continue;
        policies.insert(QString::fromUtf8(text.mid(open + 1, close - open - 1)),
                        {fields.at(38).toInt(), fields.at(37).toInt()});
    }
    return policies;
}

}  // namespace

// -rtprio 50 granted: the transfer thread at SCHED_FIFO 50, the supervisor at 49, every other
// thread (main, console) at normal priority, the memory locked; refused (no CAP_SYS_NICE and an
// rtprio limit of 0): one warning naming what was refused, everything at normal priority, and the
// shields come into service all the same.
TEST(DriverEmulated, RealTimePriorityForThePeriodicThreadsOnlyOrOneWarning)
{
    const bool root = ::geteuid() == 0;
    const QString prlimit = QStandardPaths::findExecutable(QStringLiteral("prlimit"));
    const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
    struct Row {
        const char *what;
        bool granted;
    };
    for (const Row row : {Row{"granted", true}, Row{"refused", false}}) {
        SCOPED_TRACE(row.what);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
        if (row.granted)
            continue;  // locking the sanitizer's shadow memory is no test of ours
#endif
        if (row.granted && !root)
            continue;
        if (!row.granted && (prlimit.isEmpty() || (root && setpriv.isEmpty())))
            continue;
        const QStringList driverArgs = testDriverArgs(
            {QStringLiteral("-emulate"), QStringLiteral("-rtprio"), QStringLiteral("50")});
        // Refused: an rtprio limit of 0 and, for root, no CAP_SYS_NICE.
        QStringList refusing{QStringLiteral("--rtprio=0")};
        if (root)
            refusing << setpriv << QStringLiteral("--bounding-set") << QStringLiteral("-sys_nice");
        E2eProcess driver(
            QStringLiteral("stm-driver"), row.granted ? QStringLiteral(STM_DRIVER_PATH) : prlimit,
            row.granted ? driverArgs
                        : refusing + QStringList{QStringLiteral(STM_DRIVER_PATH)} + driverArgs);
        ASSERT_TRUE(driver.started());
        ASSERT_GE(driver.waitForLine(QStringLiteral("shield_ready")), 0) << driver.describe();
        const auto policies = threadPolicies(driver.pid());
        ASSERT_TRUE(policies.contains(QStringLiteral("stm-transfer"))) << driver.describe();
        ASSERT_TRUE(policies.contains(QStringLiteral("stm-supervisor")));
        ASSERT_TRUE(policies.contains(QStringLiteral("stm-console")));
        for (auto it = policies.begin(); it != policies.end(); ++it) {
            SCOPED_TRACE(it.key().toStdString());
            QPair<int, int> expected{0, 0};  // SCHED_OTHER
            if (row.granted && it.key() == QLatin1String("stm-transfer"))
                expected = {SCHED_FIFO, 50};
            if (row.granted && it.key() == QLatin1String("stm-supervisor"))
                expected = {SCHED_FIFO, 49};
            EXPECT_EQ(it.value(), expected);
        }
        const QStringList warnings =
            driver.err().split(QLatin1Char('\n')).filter(QStringLiteral("-rtprio"));
        if (row.granted) {
            EXPECT_TRUE(warnings.isEmpty()) << driver.describe();
            QFile status(QStringLiteral("/proc/%1/status").arg(driver.pid()));
            ASSERT_TRUE(status.open(QIODevice::ReadOnly));
            EXPECT_FALSE(status.readAll().contains("VmLck:\t       0 kB"));
        } else {
            ASSERT_EQ(warnings.size(), 1) << driver.describe();
            EXPECT_TRUE(warnings.front().startsWith(
                QStringLiteral("#WARNING: -rtprio 50: real-time priority 50 refused")));
            EXPECT_TRUE(warnings.front().endsWith(QStringLiteral("running at normal priority")));
        }
    }
}

// The host's bytes, the same from a Qt 5 and a Qt 6 build and whatever the locale: the Russian
// lines leave in UTF-8, and input that is not UTF-8 is read as text that is no address and no
// apartment (a byte of it dropped would leave one that passes).
TEST(DriverEmulated, RussianLinesLeaveInUtf8AndInputThatIsNotUtf8IsNoCommandWhateverTheLocale)
{
    for (const char *locale : {"C", "C.UTF-8"}) {
        SCOPED_TRACE(locale);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("LC_ALL"), QString::fromLatin1(locale));
        E2eProcess driver(
            QStringLiteral("stm-driver"), QStringLiteral(STM_DRIVER_PATH),
            testDriverArgs({QStringLiteral("-emulate"), QStringLiteral("-multishield")}),
            environment);
        ASSERT_TRUE(driver.started());
        ASSERT_GE(driver.waitForLine(QStringLiteral("#Shield 0 update black list")), 0)
            << driver.describe();
        driver.write("0\xff open\n0 dialplan\n0 5\xd0\n");
        ASSERT_TRUE(driver.waitForErr(QStringLiteral("квартиры"))) << driver.describe();
        EXPECT_EQ(
            driver.errBesidesOverruns().toUtf8(),
            QByteArray("#ERROR: \xd0\x9e\xd1\x82\xd1\x81\xd1\x83\xd1\x82\xd1\x81\xd1\x82\xd0"
                       "\xb2\xd1\x83\xd0\xb5\xd1\x82 \xd0\xb0\xd0\xb4\xd1\x80\xd0\xb5\xd1\x81 "
                       "\xd1\x88\xd0\xb8\xd0\xbb\xd0\xb4\xd0\xb0\n"
                       "#ERROR: \xd0\x9e\xd1\x88\xd0\xb8\xd0\xb1\xd0\xba\xd0\xb0 \xd0\xb2\xd0"
                       "\xb2\xd0\xbe\xd0\xb4\xd0\xb0 \xd0\xba\xd0\xb2\xd0\xb0\xd1\x80\xd1\x82"
                       "\xd0\xb8\xd1\x80\xd1\x8b\n"));
    }
}
