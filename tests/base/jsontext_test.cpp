// The JSON text writer: what it writes is JSON that Qt's parser reads back to the same values,
// text with quotes, backslashes and control characters included, nesting and commas right.

#include "base/jsontext.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

TEST(JsonText, ReadsBackAsTheValuesWritten)
{
    const QString awkward = QStringLiteral("a \"quoted\" \\ path\n\t\x01 é");
    JsonText json;
    json.open()
        .field("text", awkward.toUtf8().constData())
        .field("plain", "multi")
        .field("negative", qint64(-5))
        .field("large", quint64(1) << 40)
        .field("small", quint8(255))
        .field("yes", true)
        .field("no", false)
        .openArray("empty")
        .closeArray()
        .openArray("list");
    for (int i = 0; i < 3; ++i)
        json.open().field("i", i).close();
    json.closeArray().close();

    QJsonParseError error{};
    const QJsonObject root = QJsonDocument::fromJson(json.bytes(), &error).object();
    ASSERT_EQ(error.error, QJsonParseError::NoError) << json.bytes().toStdString();
    EXPECT_EQ(root.value(QStringLiteral("text")).toString(), awkward);
    EXPECT_EQ(root.value(QStringLiteral("plain")).toString(), QStringLiteral("multi"));
    EXPECT_EQ(root.value(QStringLiteral("negative")).toInt(), -5);
    EXPECT_EQ(root.value(QStringLiteral("large")).toVariant().toLongLong(), qint64(1) << 40);
    EXPECT_EQ(root.value(QStringLiteral("small")).toInt(), 255);
    EXPECT_EQ(root.value(QStringLiteral("yes")), QJsonValue(true));
    EXPECT_EQ(root.value(QStringLiteral("no")), QJsonValue(false));
    EXPECT_TRUE(root.value(QStringLiteral("empty")).toArray().isEmpty());
    const QJsonArray list = root.value(QStringLiteral("list")).toArray();
    ASSERT_EQ(list.size(), 3);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(list.at(i).toObject().value(QStringLiteral("i")).toInt(), i);
}
