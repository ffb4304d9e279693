#include "support/e2eprocess.h"
#include "support/ownnetwork.h"

#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocalSocket>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include <algorithm>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

E2eProcess::E2eProcess(const QString &name, const QString &program, const QStringList &args,
                       const QProcessEnvironment &environment)
    : name(name)
{
    process.setProcessEnvironment(environment);
    QObject::connect(&process, &QProcess::readyReadStandardOutput, [this] { readOut(); });
    QObject::connect(&process, &QProcess::readyReadStandardError, [this] { readErr(); });
    // Wrappers (a shell, prlimit) name the program among their arguments.
    QStringList mapped;
    for (const QString &arg : args)
        mapped << testProgram(arg);
    process.start(testProgram(program), mapped);
    startedOk = process.waitForStarted(timeoutMs);
}

E2eProcess::~E2eProcess()
{
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(timeoutMs);
    }
}

void E2eProcess::writeLine(const QString &line)
{
    write(line.toUtf8() + '\n');
}

void E2eProcess::write(const QByteArray &bytes)
{
    process.write(bytes);
}

void E2eProcess::closeInput()
{
    process.closeWriteChannel();
}

void E2eProcess::kill()
{
    process.kill();
    waitUntil([this] { return process.state() == QProcess::NotRunning; });
}

void E2eProcess::readOut()
{
    partial += process.readAllStandardOutput();
    int end = partial.indexOf('\n');
    while (end >= 0) {
        outLines << QString::fromUtf8(partial.left(end));
        partial.remove(0, end + 1);
        end = partial.indexOf('\n');
    }
}

void E2eProcess::readErr()
{
    errBytes += process.readAllStandardError();
}

int E2eProcess::findLine(const std::function<bool(const QString &)> &match, int from) const
{
    for (int i = qMax(from, 0); i < outLines.size(); ++i) {
        if (match(outLines.at(i)))
            return i;
    }
    return -1;
}

int E2eProcess::waitForLine(const QString &line, int from, int timeout)
{
    const auto match = [&line](const QString &l) { return l == line; };
    int at = -1;
    waitUntil([&] { return (at = findLine(match, from)) >= 0; }, timeout);
    return at;
}

int E2eProcess::waitForPrefix(const QString &prefix, int from, int timeout)
{
    const auto match = [&prefix](const QString &l) { return l.startsWith(prefix); };
    int at = -1;
    waitUntil([&] { return (at = findLine(match, from)) >= 0; }, timeout);
    return at;
}

bool E2eProcess::waitForErr(const QString &text, int timeout)
{
    return waitUntil([&] { return err().contains(text); }, timeout);
}

bool E2eProcess::waitForFinished(int timeout)
{
    const bool ended =
        waitUntil([this] { return process.state() == QProcess::NotRunning; }, timeout);
    // What the process wrote last may still sit in the pipes.
    readOut();
    readErr();
    return ended;
}

std::string E2eProcess::describe() const
{
    QString text = QStringLiteral("--- ") + name + QStringLiteral(" standard output ---\n");
    for (const QString &line : outLines)
        text += line + QLatin1Char('\n');
    if (!partial.isEmpty())
        text += QString::fromUtf8(partial) + QStringLiteral(" [no end of line]\n");
    text += QStringLiteral("--- ") + name + QStringLiteral(" standard error ---\n") + err();
    return text.toStdString();
}

bool E2eProcess::waitUntil(const std::function<bool()> &cond, int timeout)
{
    QElapsedTimer clock;
    clock.start();
    while (!cond()) {
        if (clock.elapsed() >= timeout)
            return false;
        pump(20);
    }
    return true;
}

void E2eProcess::pump(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

namespace {

// A socket path no other test of this machine uses at the same time.
QString uniqueSocketPath()
{
    static int counter = 0;
    return QDir::tempPath() + QStringLiteral("/stm-e2e-%1-%2.sock")
                                  .arg(QCoreApplication::applicationPid())
                                  .arg(++counter);
}

}  // namespace

E2ePair::E2ePair(const QString &simProgram, const QString &driverProgram,
                 const QStringList &simArgs, const QStringList &driverArgs, bool usesAudioPorts)
    : E2ePair(simProgram, driverProgram, simArgs, driverArgs, usesAudioPorts, OnBoard())
{}

E2ePair::E2ePair(const QString &simProgram, const QString &driverProgram,
                 const QStringList &simArgs, const QStringList &driverArgs, bool usesAudioPorts,
                 const OnBoard &onBoard)
    : path(uniqueSocketPath())
{
    // In a network of the test program's own the ports are free; otherwise wait for a turn.
    if (usesAudioPorts)
        ownnetwork::takeTurn();
    QFile::remove(path);
    simProcess.reset(new E2eProcess(QStringLiteral("shield-sim"), simProgram,
                                    QStringList{QStringLiteral("--socket"), path} + simArgs));
    // The driver gives up at once when nobody listens on the bus socket.
    if (simProcess->waitForLine(QStringLiteral("shield-sim listening on ") + path) < 0)
        return;
    // Drivers of parallel tests never share a status socket. The arguments are appended: the
    // driver program may be a shell that takes its own words first.
    QStringList args = driverArgs;
    if (!args.contains(QStringLiteral("-status")))
        args << QStringLiteral("-status") << QStringLiteral("none");
    if (onBoard.standinLibrary.isEmpty()) {
        driverProcess.reset(new E2eProcess(QStringLiteral("stm-driver"), driverProgram,
                                           args + QStringList{QStringLiteral("-simbus"), path}));
        return;
    }
    driverEnv.insert(QStringLiteral("LD_PRELOAD"), testProgram(onBoard.standinLibrary));
#if defined(__SANITIZE_ADDRESS__)
    // A driver of the AddressSanitizer build wants its runtime first among the libraries; the
    // stand-in only wraps system calls and reaches the next definition, whichever comes first.
    driverEnv.insert(QStringLiteral("ASAN_OPTIONS"),
                     driverEnv.value(QStringLiteral("ASAN_OPTIONS")) +
                         QStringLiteral(":verify_asan_link_order=0"));
#endif
    driverEnv.insert(QStringLiteral("STM_STANDIN_SOCKET"), path);
    if (args.contains(QStringLiteral("-multishield")))
        driverEnv.insert(QStringLiteral("STM_STANDIN_MULTISHIELD"), QStringLiteral("1"));
    for (const QString &setting : onBoard.standin) {
        const int equals = setting.indexOf(QLatin1Char('='));
        driverEnv.insert(setting.left(equals), setting.mid(equals + 1));
    }
    driverProcess.reset(
        new E2eProcess(QStringLiteral("stm-driver"), driverProgram, args, driverEnv));
}

E2ePair::~E2ePair()
{
    driverProcess.reset();
    simProcess.reset();
    QFile::remove(path);
    QFile::remove(path + QStringLiteral(".lock"));    // the driver's bus lock beside the socket
    QFile::remove(path + QStringLiteral(".spidev"));  // the stand-in's SPI node
}

bool E2ePair::started() const
{
    return simProcess && simProcess->started() && driverProcess && driverProcess->started();
}

QStringList E2ePair::executed(int shield, int from) const
{
    const QString prefix = QStringLiteral("shield %1: executed ").arg(shield);
    QStringList what;
    const QStringList lines = simProcess->lines();
    for (int i = qMax(from, 0); i < lines.size(); ++i) {
        if (!lines.at(i).startsWith(prefix))
            continue;
        const QString w = lines.at(i).mid(prefix.size());
        if (w.startsWith(QLatin1String("ping ")) || w.contains(QLatin1String(" list word ")))
            continue;
        what << w;
    }
    return what;
}

bool E2ePair::waitExecuted(int shield, const QString &what, int from, int timeout)
{
    return simProcess->waitForLine(QStringLiteral("shield %1: executed ").arg(shield) + what, from,
                                   timeout) >= 0;
}

std::string E2ePair::describe() const
{
    std::string text;
    if (driverProcess)
        text += driverProcess->describe() + "\n";
    if (simProcess)
        text += simProcess->describe();
    return text;
}

QString E2eProcess::errBesidesOverruns() const
{
    return withoutOverrunReports(err());
}

QString withoutOverrunReports(const QString &err)
{
    QStringList kept;
    for (const QString &line : err.split(QLatin1Char('\n'))) {
        if (!line.startsWith(QLatin1String("#WARNING: transfer cycle overran ")))
            kept << line;
    }
    return kept.join(QLatin1Char('\n'));
}

QString testProgram(const QString &path)
{
    const QString other = QString::fromLocal8Bit(qgetenv("STM_TEST_PROGRAMS"));
    const QString ours = QStringLiteral(STM_BUILD_DIR "/");
    const QStringList programs{QStringLiteral(STM_DRIVER_PATH), QStringLiteral(SHIELD_SIM_PATH),
                               QStringLiteral(STM_STATUS_PATH), QStringLiteral(STANDIN_PATH)};
    // The technicians' tools are built in one folder: stm-flash sits beside stm-status.
    const bool tool =
        QFileInfo(path).absolutePath() == QFileInfo(QStringLiteral(STM_STATUS_PATH)).absolutePath();
    if (other.isEmpty() || !(programs.contains(path) || tool) || !path.startsWith(ours))
        return path;
    return QDir(other).absoluteFilePath(path.mid(ours.size()));
}

QStringList testDriverArgs(const QStringList &args)
{
    if (args.contains(QStringLiteral("-status")))
        return args;
    return QStringList{QStringLiteral("-status"), QStringLiteral("none")} + args;
}

QJsonObject askStatus(const QString &path, const QByteArray &request)
{
    QLocalSocket socket;
    socket.connectToServer(path);
    if (!socket.waitForConnected(E2eProcess::timeoutMs))
        return QJsonObject();
    socket.write(request + '\n');
    QElapsedTimer clock;
    clock.start();
    while (!socket.canReadLine() && clock.elapsed() < E2eProcess::timeoutMs) {
        if (!socket.waitForReadyRead(100) && socket.state() != QLocalSocket::ConnectedState)
            break;
    }
    if (!socket.canReadLine())
        return QJsonObject();
    return QJsonDocument::fromJson(socket.readLine()).object();
}

QJsonObject statusShield(const QJsonObject &document, int shield)
{
    return document.value(QStringLiteral("shields")).toArray().at(shield).toObject();
}

QByteArray numberedBlock(const char tag[4], quint32 n)
{
    const int blockSize = 512;
    QByteArray block(blockSize, '\0');
    block.replace(0, 4, QByteArray(tag, 4));
    for (int i = 0; i < 4; ++i)
        block[4 + i] = static_cast<char>((n >> (8 * i)) & 0xFF);
    for (int i = 8; i < blockSize; ++i)
        block[i] = static_cast<char>((n * 31 + static_cast<quint32>(i) * 7) & 0xFF);
    return block;
}

quint32 numberOf(const QByteArray &block)
{
    quint32 n = 0;
    for (int i = 0; i < 4; ++i)
        n |= quint32(static_cast<quint8>(block.at(4 + i))) << (8 * i);
    return n;
}

QStringList withoutLinkWarnings(QStringList lines)
{
    lines.erase(std::remove_if(
                    lines.begin(), lines.end(),
                    [](const QString &l) { return l.contains(QLatin1String(" WARNING: SPI: ")); }),
                lines.end());
    return lines;
}

qint64 procStatusKb(qint64 pid, const QByteArray &field)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray key = field + ':';
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(key))
            return line.mid(key.size()).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

qint64 rssKb(qint64 pid)
{
    return procStatusKb(pid, QByteArrayLiteral("VmRSS"));
}

double cpuSeconds(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = stat.readAll();
    // Fields after the command name in parentheses: state is first, utime 12th, stime 13th.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    return double(fields.at(11).toLongLong() + fields.at(12).toLongLong()) /
           double(sysconf(_SC_CLK_TCK));
}

AudioHost::AudioHost(quint16 fromDriverPort) : toDriverPort(fromDriverPort + 1)
{
    QObject::connect(&in, &QUdpSocket::readyRead, [this] {
        while (in.hasPendingDatagrams()) {
            QByteArray datagram(static_cast<int>(in.pendingDatagramSize()), '\0');
            in.readDatagram(datagram.data(), datagram.size());
            got << datagram;
        }
    });
    listening = in.bind(QHostAddress::LocalHost, fromDriverPort);
}

void AudioHost::send(const QByteArray &block)
{
    out.writeDatagram(block, QHostAddress::LocalHost, toDriverPort);
}

bool AudioHost::driverListens()
{
    QUdpSocket probe;
    return !probe.bind(QHostAddress::LocalHost, toDriverPort, QUdpSocket::DontShareAddress);
}

int connectSilentWatcher(const QString &path, const QByteArray &request)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    const int small = 4096;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray name = QFile::encodeName(path);
    std::memcpy(address.sun_path, name.constData(), static_cast<size_t>(name.size()));
    const QByteArray line = request + '\n';
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::write(fd, line.constData(), static_cast<size_t>(line.size())) != line.size()) {
        ::close(fd);
        return -1;
    }
    return fd;
}
