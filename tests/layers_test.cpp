// The folders of the driver's code include only folders below them: every project include under
// src/ and tools/ is held against the table of layers, and the table itself has no loop.
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QMap>
#include <QRegularExpression>
#include <QSet>
#include <QTextStream>

#include <gtest/gtest.h>

namespace {

const QString sourceDir = QStringLiteral(STM_SOURCE_DIR);

using Table = QMap<QString, QStringList>;  // folder -> folders it may include directly

Table readTable(QString *error)
{
    Table table;
    QFile file(sourceDir + QStringLiteral("/src/layers.txt"));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        *error = QStringLiteral("cannot read src/layers.txt");
        return table;
    }
    QTextStream in(&file);
    while (!in.atEnd()) {
        const QString line = in.readLine().trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        const int colon = line.indexOf(QLatin1Char(':'));
        if (colon <= 0) {
            *error = QStringLiteral("malformed line: ") + line;
            continue;
        }
        const QString folder = line.left(colon).trimmed();
        const QStringList below =
            line.mid(colon + 1).split(QLatin1Char(' '), Qt::SkipEmptyParts);
        for (const QString &name : below) {
            if (!table.contains(name))
                *error = folder + QStringLiteral(" names ") + name +
                         QStringLiteral(", which is not listed above it");
        }
        table.insert(folder, below);
    }
    return table;
}

// Everything a folder may include: itself and, transitively, what its table entry names.
QSet<QString> reachable(const Table &table, const QString &folder)
{
    QSet<QString> seen{folder};
    QStringList todo = table.value(folder);
    while (!todo.isEmpty()) {
        const QString next = todo.takeFirst();
        if (seen.contains(next))
            continue;
        seen.insert(next);
        todo += table.value(next);
    }
    return seen;
}

// The folder of a source file as the table names it: the first folder under src/, or the
// program folder under tools/.
QString folderOf(const QString &relativePath)
{
    const QStringList parts = relativePath.split(QLatin1Char('/'));
    if (parts.size() < 3)
        return QString();
    return parts.at(0) == QLatin1String("src") ? parts.at(1) : parts.at(0) + '/' + parts.at(1);
}

// The folder an include names ("link/frame.h" -> link, "shield-sim/x.h" -> tools/shield-sim).
QString folderOfInclude(const Table &table, const QString &include)
{
    const QString first = include.section(QLatin1Char('/'), 0, 0);
    if (table.contains(first))
        return first;
    if (table.contains(QStringLiteral("tools/") + first))
        return QStringLiteral("tools/") + first;
    return QString();
}

TEST(Layers, TheTableOrdersEveryFolderBelowTheOnesThatIncludeIt)
{
    QString error;
    const Table table = readTable(&error);
    ASSERT_TRUE(error.isEmpty()) << error.toStdString();
    ASSERT_TRUE(table.contains(QStringLiteral("base")));
    // Each entry may only name folders listed before it, so the table cannot hold a loop; base
    // is the bottom and names nothing.
    EXPECT_TRUE(table.value(QStringLiteral("base")).isEmpty());
    for (auto it = table.begin(); it != table.end(); ++it) {
        for (const QString &below : it.value())
            EXPECT_FALSE(reachable(table, below).contains(it.key()))
                << it.key().toStdString() << " and " << below.toStdString() << " form a loop";
    }
    // Every folder of src/ has its row.
    for (const QString &dir :
         QDir(sourceDir + QStringLiteral("/src")).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        EXPECT_TRUE(table.contains(dir)) << "src/" << dir.toStdString() << " has no row";
}

TEST(Layers, EveryIncludeRunsDownTheTable)
{
    QString error;
    const Table table = readTable(&error);
    ASSERT_TRUE(error.isEmpty()) << error.toStdString();
    const QRegularExpression includeLine(QStringLiteral("^\\s*#\\s*include\\s+\"([^\"]+)\""));
    int checked = 0;
    for (const QString &top : {QStringLiteral("src"), QStringLiteral("tools")}) {
        QDirIterator it(sourceDir + '/' + top, {QStringLiteral("*.h"), QStringLiteral("*.cpp")},
                        QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            const QString relative = QDir(sourceDir).relativeFilePath(path);
            const QString folder = folderOf(relative);
            ASSERT_TRUE(table.contains(folder)) << relative.toStdString() << ": no row for its folder";
            const QSet<QString> allowed = reachable(table, folder);
            QFile file(path);
            ASSERT_TRUE(file.open(QIODevice::ReadOnly | QIODevice::Text));
            int lineNumber = 0;
            while (!file.atEnd()) {
                const QString line = QString::fromUtf8(file.readLine());
                ++lineNumber;
                const QRegularExpressionMatch m = includeLine.match(line);
                if (!m.hasMatch())
                    continue;
                const QString target = folderOfInclude(table, m.captured(1));
                ++checked;
                EXPECT_FALSE(target.isEmpty())
                    << relative.toStdString() << ":" << lineNumber << ": \""
                    << m.captured(1).toStdString() << "\" names no folder of the table";
                EXPECT_TRUE(target.isEmpty() || allowed.contains(target))
                    << relative.toStdString() << ":" << lineNumber << ": " << folder.toStdString()
                    << " includes " << m.captured(1).toStdString() << ", which is not below it";
            }
        }
    }
    EXPECT_GT(checked, 100) << "the sources were not found under " << sourceDir.toStdString();
}

}  // namespace
