// The pieces every tool uses: the option reader's rows (values, numbers, the first problem), and
// files that are new or replaced whole, never written into, never reached through a link.

#include "common/optionreader.h"
#include "common/safefile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Reads `words` as a tool with -s PATH, --count N (1-9) and --quiet; what it read and the problem.
QString readAs(const QStringList &words)
{
    OptionReader args(words);
    QStringList read;
    while (args.next()) {
        qint64 n = 0;
        if (args.is("-s")) {
            const QString path = args.value();
            if (args.ok())
                read << args.word() + QLatin1Char('=') + path;
        } else if (args.is("--count")) {
            if (args.number(1, 9, &n))
                read << QStringLiteral("count=%1").arg(n);
        } else if (args.is("--quiet")) {
            read << QStringLiteral("quiet");
        } else if (args.isOption()) {
            args.unknown();
        } else {
            read << QStringLiteral("file=") + args.word();
        }
    }
    return read.join(QLatin1Char(' ')) + QStringLiteral(" | ") + args.problem();
}

TEST(ToolsCommon, TheOptionReaderTakesValuesAndStopsAtTheFirstProblem)
{
    const struct {
        QStringList words;
        const char *expected;
    } rows[] = {
        {{"-s", "/run/x.sock", "--count", "3", "--quiet", "-"},
         "-s=/run/x.sock count=3 quiet file=- | "},
        {{"--quiet", "-s"}, "quiet | -s needs a value"},
        {{"--count", "10", "--bogus"}, " | --count takes a whole number from 1 to 9"},
        {{"--count", "x3"}, " | --count takes a whole number from 1 to 9"},
        {{"--bogus", "--count"}, " | unknown option --bogus"},
        {{}, " | "},
    };
    for (const auto &row : rows)
        EXPECT_EQ(readAs(row.words).toStdString(), row.expected)
            << row.words.join(' ').toStdString();
}

TEST(ToolsCommon, FilesAreNewOrReplacedWholeAndNeverReachedThroughALink)
{
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("f"));
    const QString other = dir.filePath(QStringLiteral("other"));
    const auto contents = [](const QString &path) {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(none)");
    };
    const auto mode = [](const QString &path) {
        struct stat st = {};
        ::lstat(QFile::encodeName(path).constData(), &st);
        return st.st_mode & 07777;
    };
    int fd = SafeFile::createNew(file, 0640);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(SafeFile::finish(fd, "first"), 0);
    EXPECT_EQ(mode(file), 0640u);
    EXPECT_EQ(SafeFile::createNew(file, 0600), -1);
    EXPECT_EQ(errno, EEXIST);
    ASSERT_EQ(::symlink("f", QFile::encodeName(other).constData()), 0);
    EXPECT_EQ(SafeFile::createNew(other, 0600), -1);  // a link, even to a file that is there

    // Replaced through the link's name: the link goes, its target keeps its bytes.
    fd = SafeFile::createReplacing(other, 0600);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(SafeFile::finish(fd, "second"), 0);
    EXPECT_EQ(contents(other), QByteArray("second"));
    EXPECT_EQ(mode(other), 0600u);
    EXPECT_EQ(contents(file), QByteArray("first"));

    QString why;
    EXPECT_TRUE(SafeFile::replace(file, "third", 0644, &why)) << why.toStdString();
    EXPECT_EQ(contents(file), QByteArray("third"));
    EXPECT_EQ(mode(file), 0644u);
    EXPECT_FALSE(SafeFile::replace(dir.filePath(QStringLiteral("no/f")), "x", 0644, &why));
    EXPECT_TRUE(why.startsWith(QStringLiteral("cannot create a file beside ")))
        << why.toStdString();
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::System).size(), 2);
}

}  // namespace
