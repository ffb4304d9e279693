#pragma once
// A tool's command line, read one word at a time. Each tool keeps its own words and texts; this
// keeps the reading: the value after an option, a whole number in a range, and the first problem
// met, after which the reading stops.
//
//     OptionReader args(app.arguments().mid(1));
//     while (args.next()) {
//         if (args.is("--watch"))
//             watch = true;
//         else if (args.is("-s"))
//             path = args.value();
//         else
//             args.unknown();
//     }
//     if (!args.ok())
//         ... args.problem(), e.g. "-s needs a value" ...

#include <QString>
#include <QStringList>

class OptionReader
{
public:
    explicit OptionReader(const QStringList &words) : words(words) {}

    // Moves to the next word: false at the end, or once a problem was met.
    bool next();
    // The word moved to (the option, also once its value is taken), and whether it is `name`.
    const QString &word() const { return words.at(at); }
    bool is(const char *name) const { return word() == QLatin1String(name); }
    // Whether the word is an option ("-x", "--xy"), not an operand such as a file ("-" is one).
    bool isOption() const;

    // The word after the option, taken; "" with the problem "OPTION needs a value" when there is
    // none.
    QString value();
    // The value as a whole number from `lowest` to `highest`; false with the problem "OPTION takes
    // " + `takes` (by default "a whole number from L to H") when it is not one.
    bool number(qint64 lowest, qint64 highest, qint64 *value, const QString &takes = QString());

    // The problem that ends the reading; the first one told stays.
    void fail(const QString &problem);
    // "unknown option WORD".
    void unknown();
    bool ok() const { return problemText.isEmpty(); }
    const QString &problem() const { return problemText; }

private:
    const QStringList words;
    int at = -1;     // the word moved to
    int taken = -1;  // the last word read: the one moved to, or its value
    QString problemText;
};
