// The figures in Prometheus' format with the real tools: promtool accepts what stm-status
// --prometheus prints, with a driver and without one; a real node_exporter serves the file that
// stm-status --output writes into its textfile folder, and after two seconds of spoilt idle
// replies from the simulator the scrape shows bad frames that grew while the repeats did not.
// The driver's UDP ports are fixed, so the pair holds the machine-wide audio-port lock.

#include "support/e2eprocess.h"

#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

struct Finished {
    int status = -1;
    QString out;
    QString err;
};

// Runs a program to its end, with `input` on its standard input.
Finished run(const QString &program, const QStringList &args, const QByteArray &input = {})
{
    QProcess process;
    process.start(program, args);
    Finished result;
    if (!process.waitForStarted(E2eProcess::timeoutMs)) {
        result.err = program + QStringLiteral(" did not start");
        return result;
    }
    process.write(input);
    process.closeWriteChannel();
    process.waitForFinished(E2eProcess::timeoutMs);
    result.status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = QString::fromUtf8(process.readAllStandardOutput());
    result.err = QString::fromUtf8(process.readAllStandardError());
    return result;
}

Finished stmStatus(const QStringList &args)
{
    return run(QStringLiteral(STM_STATUS_PATH), args);
}

// The Debian tools the test command installs (scripts/packages.sh); a missing one fails the test.
QString tool(const char *name)
{
    const QString path = QStandardPaths::findExecutable(QLatin1String(name));
    EXPECT_FALSE(path.isEmpty()) << name << " is not installed: ./scripts/test installs it";
    return path;
}

// promtool's lint of an exposition: empty when it has nothing to say and ends with status 0.
QString promtoolProblems(const QString &text)
{
    const Finished check =
        run(tool("promtool"), {QStringLiteral("check"), QStringLiteral("metrics")}, text.toUtf8());
    if (check.status == 0 && check.out.isEmpty() && check.err.isEmpty())
        return QString();
    return QStringLiteral("status %1: ").arg(check.status) + check.out + check.err;
}

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// The body of a plain HTTP/1.0 GET of /metrics on 127.0.0.1:port, empty when it failed. A socket
// of this thread, so no thread of Qt's network access stands between the test and the scrape.
QString fetch(quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(5000))
        return QString();
    socket.write("GET /metrics HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
    QByteArray response;
    while (socket.state() == QAbstractSocket::ConnectedState && socket.waitForReadyRead(10000))
        response += socket.readAll();
    response += socket.readAll();
    const int body = response.indexOf("\r\n\r\n");
    if (!response.startsWith("HTTP/1.") || response.split(' ').value(1) != "200" || body < 0)
        return QString();
    return QString::fromUtf8(response.mid(body + 4));
}

// The value of one series of a scrape; -1 when it is not there.
qint64 value(const QString &scrape, const QString &series)
{
    const QRegularExpression line(
        QStringLiteral("^") + QRegularExpression::escape(series) + QStringLiteral(" (\\d+)$"),
        QRegularExpression::MultilineOption);
    const QRegularExpressionMatch m = line.match(scrape);
    return m.hasMatch() ? m.captured(1).toLongLong() : -1;
}

// stm-status --prometheus against a stand-in driver that answers `document` to its request.
Finished prometheusOf(const QByteArray &document)
{
    QTemporaryDir dir;
    QLocalServer server;
    const QString path = dir.filePath(QStringLiteral("status.sock"));
    if (!server.listen(path))
        return Finished();
    QProcess process;
    process.start(QStringLiteral(STM_STATUS_PATH),
                  {QStringLiteral("--prometheus"), QStringLiteral("-s"), path});
    if (server.waitForNewConnection(E2eProcess::timeoutMs)) {
        QLocalSocket *client = server.nextPendingConnection();
        while (!client->canReadLine() && client->waitForReadyRead(E2eProcess::timeoutMs)) {
        }
        client->write(document + '\n');
        client->waitForBytesWritten(E2eProcess::timeoutMs);
    }
    process.waitForFinished(E2eProcess::timeoutMs);
    return {process.exitCode(), QString::fromUtf8(process.readAllStandardOutput()),
            QString::fromUtf8(process.readAllStandardError())};
}

}  // namespace

TEST(E2ePrometheus, AJitterBufferDriversAudioFiguresPassPromtool)
{
    const Finished figures = prometheusOf(
        R"({"version":"2.19","mode":"multi","uptime_s":5,"bus_full":true,"shields":[)"
        R"({"address":0,"state":"online","audio":true,"audio_dropped":1,"audio_underruns":2,)"
        R"("audio_delay_ms":32},{"address":1,"state":"offline","audio":false}]})");
    EXPECT_EQ(figures.status, 0) << figures.err.toStdString();
    for (const char *series :
         {"stm_shield_audio_dropped_total{address=\"0\"} 1",
          "stm_shield_audio_underruns_total{address=\"0\"} 2",
          "stm_shield_audio_delay_seconds{address=\"0\"} 0.032000", "stm_driver_bus_full 1"})
        EXPECT_TRUE(figures.out.contains(QLatin1String(series))) << figures.out.toStdString();
    EXPECT_EQ(promtoolProblems(figures.out), QString());
}

TEST(E2ePrometheus, WithoutADriverTheFiguresSayItIsDownAndPromtoolAcceptsThem)
{
    QTemporaryDir dir;
    const QString nowhere = dir.filePath(QStringLiteral("none.sock"));
    const Finished down =
        stmStatus({QStringLiteral("--prometheus"), QStringLiteral("-s"), nowhere});
    EXPECT_EQ(down.status, 0);
    EXPECT_EQ(down.out, QStringLiteral("# HELP stm_driver_up 1 when the driver answered on its "
                                       "status socket, 0 when none did.\n"
                                       "# TYPE stm_driver_up gauge\nstm_driver_up 0\n"));
    EXPECT_TRUE(down.err.startsWith(QStringLiteral("stm-status: no driver answers on ") + nowhere))
        << down.err.toStdString();
    EXPECT_EQ(promtoolProblems(down.out), QString());

    // A file that cannot be written: status 1, a reason, nothing left behind.
    const QString missing = dir.filePath(QStringLiteral("no/such/folder/stm-driver.prom"));
    const Finished unwritable = stmStatus({QStringLiteral("--prometheus"), QStringLiteral("-s"),
                                           nowhere, QStringLiteral("--output"), missing});
    EXPECT_EQ(unwritable.status, 1);
    EXPECT_TRUE(unwritable.err.contains(QStringLiteral("cannot create a file beside ") + missing))
        << unwritable.err.toStdString();
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList());

    // Options that do not go together.
    for (const QStringList &args :
         {QStringList{QStringLiteral("--prometheus"), QStringLiteral("--watch")},
          QStringList{QStringLiteral("--prometheus"), QStringLiteral("--json")},
          QStringList{QStringLiteral("--output"), dir.filePath(QStringLiteral("x.prom"))}})
        EXPECT_EQ(stmStatus(args).status, 2) << args.join(' ').toStdString();
}

TEST(E2ePrometheus, NodeExporterServesTheDriversFiguresAndSpoiltIdleRepliesShowAsBadFrames)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("status.sock"));
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("textfile")));
    const QString textfile = dir.filePath(QStringLiteral("textfile"));
    const QString file = textfile + QStringLiteral("/stm-driver.prom");

    E2ePair pair({QStringLiteral("--shields"), QStringLiteral("0"), QStringLiteral("--single")},
                 {QStringLiteral("-ic"), QStringLiteral("10"), QStringLiteral("-status"), path},
                 true);
    ASSERT_TRUE(pair.started()) << pair.describe();
    ASSERT_GE(pair.driver().waitForLine(QStringLiteral("#Shield update black list")), 0)
        << pair.describe();

    const quint16 port = freePort();
    ASSERT_NE(port, 0);
    E2eProcess exporter(
        QStringLiteral("node_exporter"), tool("prometheus-node-exporter"),
        {QStringLiteral("--web.listen-address=127.0.0.1:%1").arg(port),
         QStringLiteral("--collector.disable-defaults"), QStringLiteral("--collector.textfile"),
         QStringLiteral("--collector.textfile.directory=") + textfile});
    ASSERT_TRUE(exporter.started());

    // Writes the file, checks it with promtool, and returns node_exporter's scrape.
    const auto scrape = [&] {
        const Finished written = stmStatus({QStringLiteral("--prometheus"), QStringLiteral("-s"),
                                            path, QStringLiteral("--output"), file});
        EXPECT_EQ(written.status, 0) << written.err.toStdString();
        EXPECT_EQ(written.err, QString());
        QFile prom(file);
        EXPECT_TRUE(prom.open(QIODevice::ReadOnly));
        EXPECT_EQ(promtoolProblems(QString::fromUtf8(prom.readAll())), QString());
        EXPECT_EQ(QFile::permissions(file) & QFileDevice::ReadOther, QFileDevice::ReadOther);
        QString body;
        E2eProcess::waitUntil([&] { return !(body = fetch(port)).isEmpty(); });
        return body;
    };

    const QString before = scrape();
    ASSERT_FALSE(before.isEmpty()) << exporter.describe();
    EXPECT_EQ(value(before, QStringLiteral("node_textfile_scrape_error")), 0)
        << before.toStdString();
    EXPECT_EQ(value(before, QStringLiteral("stm_driver_up")), 1);
    EXPECT_EQ(value(before, QStringLiteral("stm_shield_online{address=\"0\"}")), 1)
        << before.toStdString();
    EXPECT_EQ(value(before, QStringLiteral("stm_shield_state{address=\"0\",state=\"online\"}")), 1);
    EXPECT_EQ(value(before, QStringLiteral("stm_shield_firmware{address=\"0\"}")), 23);
    EXPECT_TRUE(
        before.contains(QStringLiteral("stm_driver_info{mode=\"single\",version=\"2.18\"} 1")))
        << before.toStdString();
    const auto figure = [](const QString &scrape, const char *name) {
        return value(scrape, QLatin1String(name) + QStringLiteral("{address=\"0\"}"));
    };
    const qint64 badBefore = figure(before, "stm_shield_bad_frames_total");
    EXPECT_EQ(badBefore, 0);

    // Every second reply of "nothing to say" spoilt, for two seconds.
    pair.sim().writeLine(QStringLiteral("corrupt 0 2 idle"));
    E2eProcess::pump(2000);
    pair.sim().writeLine(QStringLiteral("corrupt 0 0"));
    const QString after = scrape();
    EXPECT_GT(figure(after, "stm_shield_bad_frames_total"), badBefore) << after.toStdString();
    EXPECT_GE(figure(after, "stm_shield_frames_total"),
              figure(after, "stm_shield_bad_frames_total"));
    EXPECT_GE(figure(after, "stm_shield_exchanges_total"),
              figure(after, "stm_shield_frames_total"));
    for (const char *name : {"stm_shield_tx_errors_total", "stm_shield_rx_errors_total"}) {
        EXPECT_GE(figure(before, name), 0) << name;
        EXPECT_EQ(figure(after, name), figure(before, name)) << name;
    }
    EXPECT_EQ(figure(after, "stm_shield_online"), 1);

    // The alerting rules the package ships use figures that really come: each one is in the
    // scrape (the host-output gauge once the driver reports its host output at all), and the
    // staleness rule's pattern matches the file the textfile collector names.
    QFile rules(QStringLiteral(STM_SOURCE_DIR "/packaging/stm-driver.rules.yml"));
    ASSERT_TRUE(rules.open(QIODevice::ReadOnly));
    const auto served = [&after](const QString &pattern) {
        return QRegularExpression(QLatin1Char('^') + pattern, QRegularExpression::MultilineOption)
            .match(after)
            .hasMatch();
    };
    const bool hostFigures = served(QStringLiteral("stm_driver_host_"));
    QRegularExpressionMatchIterator names =
        QRegularExpression(QStringLiteral("\\b(stm_(driver|shield)|node_textfile)_[a-z_]+\\b"))
            .globalMatch(QString::fromUtf8(rules.readAll()));
    while (names.hasNext()) {
        const QString name = names.next().captured(0);
        if (name.startsWith(QLatin1String("stm_driver_host_")) && !hostFigures)
            continue;
        EXPECT_TRUE(served(name + QStringLiteral("[{ ]"))) << name.toStdString();
    }
    EXPECT_TRUE(served(
        QStringLiteral("node_textfile_mtime_seconds\\{file=\"(.*/)?stm-driver\\.prom\"\\} ")))
        << after.toStdString();

    // The technician's table shows the share lost in the last minute.
    const Finished table = stmStatus({QStringLiteral("-s"), path});
    EXPECT_EQ(table.status, 0);
    const QStringList rows = table.out.split('\n');
    ASSERT_GE(rows.size(), 4) << table.out.toStdString();
    EXPECT_TRUE(rows.at(2).contains(QStringLiteral(" LOSS "))) << rows.at(2).toStdString();
    const QRegularExpressionMatch loss =
        QRegularExpression(QStringLiteral(" (\\d+\\.\\d)% ")).match(rows.at(3));
    ASSERT_TRUE(loss.hasMatch()) << rows.at(3).toStdString();
    EXPECT_GT(loss.captured(1).toDouble(), 0.0);
    EXPECT_LT(loss.captured(1).toDouble(), 100.0);
    EXPECT_EQ(pair.driver().errBesidesOverruns(), QString()) << pair.describe();
}
