// The command line: which shields are served, their intercom indexes and address gates, the
// other options, and the exact lines (text and order) that reading it writes.

#include "board/boardconfigured.h"
#include "config/settings.h"
#include "support/consolecapture.h"

#include <QDataStream>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <array>
#include <ostream>
#include <vector>

namespace {

using Result = Settings::ParseResult;

// The words of a command line: the program path, then args split at spaces.
QStringList commandLine(const char *args)
{
    return QStringList{QStringLiteral("stm-driver")} +
           QString::fromUtf8(args).split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

QString noIntercom(int shield)
{
    return QStringLiteral("#WARNING: No intercom select for shield %1").arg(shield);
}

QString supported(int index, int shield)
{
    return QStringLiteral("#Intercom %1 supported indexes for shield %2").arg(index).arg(shield);
}

const QString versionLine = QStringLiteral("KVT_STM_Driver: v2.18");
const QString unknownParameters = QStringLiteral("#ERROR: Unknown parameters");

std::array<int, 6> indexesOf(const Settings &s)
{
    std::array<int, 6> v{};
    for (int i = 0; i < 6; ++i)
        v[i] = s.intercomIndex[i];
    return v;
}

std::array<bool, 6> gatesOf(const Settings &s)
{
    std::array<bool, 6> v{};
    for (int i = 0; i < 6; ++i)
        v[i] = s.shieldState[i].getFlagAdrGate();
    return v;
}

// ---------------------------------------------------------------------------------------------
// Command lines that start the driver: shields served, indexes, gates and the lines written.

struct ServeCase {
    const char *name;
    const char *args;
    QStringList out;
    bool multiShield;
    std::array<int, 6> indexes;  // shields not served keep 0
    std::array<bool, 6> gates;
};

void PrintTo(const ServeCase &c, std::ostream *os) { *os << c.args; }

class ParseServe : public ::testing::TestWithParam<ServeCase> {};

const std::array<bool, 6> noGates{};
const std::array<bool, 6> gate0{true, false, false, false, false, false};
const std::array<bool, 6> allGates{true, true, true, true, true, true};

std::vector<ServeCase> serveCases()
{
    const std::array<int, 6> ten6{10, 10, 10, 10, 10, 10};
    return {
        {"NoOptions", "", {noIntercom(0)}, false, {10, 0, 0, 0, 0, 0}, noGates},
        {"CommonSupportedIndex", "-ic 136", {supported(136, 0)}, false, {136}, gate0},
        {"CommonUnsupportedIndex", "-ic 7", {}, false, {7}, noGates},
        {"MultiShieldAlone",
         "-multishield",
         {noIntercom(0), noIntercom(1), noIntercom(2), noIntercom(3), noIntercom(4),
          noIntercom(5)},
         true,
         ten6,
         noGates},
        {"OwnOptionBeatsCommon",
         "-multishield -ic1 48 -ic 7",
         {supported(48, 1)},
         true,
         {7, 48, 7, 7, 7, 7},
         {false, true, false, false, false, false}},
        {"LinesInShieldOrder",
         "-multishield -ic2 48",
         {noIntercom(0), noIntercom(1), supported(48, 2), noIntercom(3), noIntercom(4),
          noIntercom(5)},
         true,
         {10, 10, 48, 10, 10, 10},
         {false, false, true, false, false, false}},
        {"MixedOwnAndCommon",
         "-ic3 12 -multishield -ic5 x -ic 136",
         {supported(136, 0), supported(136, 1), supported(136, 2), supported(136, 4),
          supported(136, 5)},
         true,
         {136, 136, 136, 12, 136, 136},
         {true, true, true, false, true, true}},
        {"OwnValueNotANumberFallsBack", "-ic0 x -ic 5", {}, false, {5}, noGates},
        {"OwnOptionLastFallsBack", "-ic 5 -ic0", {}, false, {5}, noGates},
        {"OwnOptionLastNoCommon", "-ic0", {noIntercom(0)}, false, {10}, noGates},
        {"OtherShieldOptionIgnoredWithoutMultiShield",
         "-ic1 48",
         {noIntercom(0)},
         false,
         {10},
         noGates},
        {"FirstOccurrenceCounts", "-ic 5 -ic 136", {}, false, {5}, noGates},
        {"HexIsNoNumber", "-ic 0x10", {noIntercom(0)}, false, {10}, noGates},
        {"NegativeIsNoNumber", "-ic -5", {noIntercom(0)}, false, {10}, noGates},
        {"Low8Bits256", "-ic0 256", {}, false, {0}, noGates},
        {"Low8Bits300", "-ic0 300 -ic 9", {}, false, {44}, noGates},
        {"Low8BitsGiveSupportedIndex", "-ic 392", {supported(136, 0)}, false, {136}, gate0},
        {"AdrGateOverridesUnsupportedIndex", "-adrgate -ic 10", {}, false, {10}, gate0},
        {"AdrGateOnEveryServedShield",
         "-multishield -adrgate -ic0 136",
         {supported(136, 0), noIntercom(1), noIntercom(2), noIntercom(3), noIntercom(4),
          noIntercom(5)},
         true,
         {136, 10, 10, 10, 10, 10},
         allGates},
        {"AdrGateOnlyServedShields", "-adrgate -ic 5", {}, false, {5}, gate0},
        {"UpperCaseOptionIgnored", "-IC 136", {noIntercom(0)}, false, {10}, noGates},
        {"UpperCaseMultiShieldIgnored", "-MultiShield -ic 5", {}, false, {5}, noGates},
        {"DoubleDashIgnored", "--multishield", {noIntercom(0)}, false, {10}, noGates},
        {"EqualsValueIgnored", "-ic=5", {noIntercom(0)}, false, {10}, noGates},
        {"EqualsOwnValueIgnored", "-ic0=136", {noIntercom(0)}, false, {10}, noGates},
        {"UpperCaseAdrGateIgnored", "-ADRGATE -ic 10", {}, false, {10}, noGates},
    };
}

TEST_P(ParseServe, ShieldsIndexesGatesAndLines)
{
    const ServeCase &c = GetParam();
    ConsoleCapture capture;
    Settings s;
    EXPECT_EQ(s.parse(commandLine(c.args)), Result::Run);
    EXPECT_EQ(capture.out(), c.out);
    EXPECT_TRUE(capture.err().isEmpty()) << capture.err().join(QLatin1Char('\n')).toStdString();
    EXPECT_EQ(s.multiShield, c.multiShield);
    EXPECT_EQ(s.shieldCount, c.multiShield ? 6 : 1);
    EXPECT_EQ(s.lastShield, c.multiShield ? 5 : 0);
    EXPECT_EQ(indexesOf(s), c.indexes);
    EXPECT_EQ(gatesOf(s), c.gates);
}

INSTANTIATE_TEST_SUITE_P(CommandLines, ParseServe, ::testing::ValuesIn(serveCases()),
                         [](const ::testing::TestParamInfo<ServeCase> &info) {
                             return std::string(info.param.name);
                         });

TEST(Settings, NoOptionsDefaults)
{
    ConsoleCapture capture;
    Settings s;
    EXPECT_EQ(s.parse(commandLine("")), Result::Run);
    EXPECT_EQ(s.spi, 0);
    EXPECT_FALSE(s.maskPhone);
    EXPECT_FALSE(s.wav);
    EXPECT_TRUE(s.wavFileName.isEmpty());
    EXPECT_FALSE(s.simbus);
    EXPECT_TRUE(s.boardName.isEmpty());  // the board's device tree decides
}

TEST(Settings, EmptyListMeansNoOptions)
{
    ConsoleCapture capture;
    Settings s;
    EXPECT_EQ(s.parse(QStringList()), Result::Run);
    EXPECT_EQ(capture.out(), QStringList{noIntercom(0)});
    EXPECT_EQ(s.intercomIndex[0], 10);
}

TEST(Settings, ProgramPathIsNoOption)
{
    // Position 0 is the program's own path, even when it reads like an option.
    ConsoleCapture capture;
    Settings s;
    EXPECT_EQ(s.parse({QStringLiteral("-ic"), QStringLiteral("136")}), Result::Run);
    EXPECT_EQ(capture.out(), QStringList{noIntercom(0)});
    EXPECT_EQ(s.intercomIndex[0], 10);
}

TEST(Settings, FreshRecordsAndLists)
{
    Settings s;
    for (int i = 0; i < maxShields; ++i) {
        EXPECT_EQ(s.intercomIndex[i], 0);
        EXPECT_EQ(s.shieldState[i].getState(), ShieldState::STATE_OFFLINE);
        EXPECT_EQ(s.shieldState[i].getConsoleModeRead(), ShieldState::MODE_READ_COMMAND);
        EXPECT_EQ(s.intercomOptions.value(i), QStringLiteral("-ic%1").arg(i));
        for (int w = 0; w < 32; ++w) {
            EXPECT_EQ(s.shieldState[i].virtualList[w], 0u);
            EXPECT_EQ(s.shieldState[i].blackList[w], 0u);
        }
    }
    EXPECT_EQ(s.supportedIntercoms, (QList<quint8>{136, 119, 143, 48, 47, 137, 118, 111}));
}

// ---------------------------------------------------------------------------------------------
// The other options, on command lines that start the driver and write nothing.

struct OptionCase {
    const char *name;
    const char *args;
    int spi;
    bool maskPhone;
};

void PrintTo(const OptionCase &c, std::ostream *os) { *os << c.args; }

class ParseOptions : public ::testing::TestWithParam<OptionCase> {};

TEST_P(ParseOptions, Fields)
{
    const OptionCase &c = GetParam();
    ConsoleCapture capture;
    Settings s;
    EXPECT_EQ(s.parse(commandLine(c.args)), Result::Run);
    EXPECT_TRUE(capture.out().isEmpty()) << capture.out().join(QLatin1Char('\n')).toStdString();
    EXPECT_TRUE(capture.err().isEmpty()) << capture.err().join(QLatin1Char('\n')).toStdString();
    EXPECT_EQ(s.spi, c.spi);
    EXPECT_EQ(s.maskPhone, c.maskPhone);
    EXPECT_FALSE(s.wav);
}

INSTANTIATE_TEST_SUITE_P(
    CommandLines, ParseOptions,
    ::testing::Values(OptionCase{"Spi1", "-ic 5 -spi 1", 1, false},
                      OptionCase{"Spi2", "-ic 5 -spi 2", 0, false},
                      OptionCase{"Spi0", "-spi 0 -ic 5", 0, false},
                      OptionCase{"Spi257", "-ic 5 -spi 257", 1, false},
                      OptionCase{"Spi256", "-ic 5 -spi 256", 0, false},
                      OptionCase{"SpiUpperCaseIgnored", "-ic 5 -SPI x", 0, false},
                      OptionCase{"MaskPhone", "-ic 5 -maskphone", 0, true},
                      OptionCase{"MaskOff", "-maskoff -ic 5", 0, true},
                      OptionCase{"MaskUpperCaseIgnored", "-ic 5 -MASKPHONE", 0, false},
                      OptionCase{"All", "-spi 1 -maskoff -ic 5", 1, true}),
    [](const ::testing::TestParamInfo<OptionCase> &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// "-wav": the file is opened at start-up; a file that cannot be used ends the process.

// Writes a canonical 8-bit mono WAV file of `samples` bytes.
void writeWav(const QString &path, int samples)
{
    WAV_HEADER h;
    h.chunkId = WAV_Reader::riff;
    h.chunkSize = static_cast<quint32>(36 + samples);
    h.format = WAV_Reader::wave;
    h.subchunk1Id = WAV_Reader::fmt;
    h.subchunk1Size = 16;
    h.audioFormat = 1;
    h.numChannels = 1;
    h.sampleRate = 8000;
    h.byteRate = 8000;
    h.blockAlign = 1;
    h.bitsPerSample = 8;
    h.subchunk2Id = WAV_Reader::data;
    h.subchunk2Size = static_cast<quint32>(samples);
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    QDataStream out(&file);
    out.setByteOrder(QDataStream::LittleEndian);
    out << h;
    file.write(QByteArray(samples, '\x80'));
}

TEST(Settings, WavOpenedAtStartUp)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("ring.wav"));
    writeWav(path, 1000);
    ConsoleCapture capture;
    Settings s;
    EXPECT_EQ(s.parse(commandLine("-ic 5") << QStringLiteral("-wav") << path), Result::Run);
    EXPECT_TRUE(s.wav);
    EXPECT_EQ(s.wavFileName, path);
    EXPECT_EQ(s.wavReader.getSamples().size(), 1000);
    EXPECT_TRUE(capture.out().isEmpty());
    EXPECT_EQ(capture.err(), (QStringList{QStringLiteral("#WAV: Результат открытия файла: 0"),
                                          QStringLiteral("WAV: Файл открыт успешно")}));
}

TEST(Settings, WavThatCannotBeOpenedEndsWithError)
{
    const QStringList failed{QStringLiteral("#WAV: Результат открытия файла: 1"),
                             QStringLiteral("#WAV: Ошибка открытия файла")};
    struct Case {
        const char *args;
        const char *fileName;
    };
    for (const Case &c : {Case{"-ic 5 -wav /nonexistent/ring.wav", "/nonexistent/ring.wav"},
                          Case{"-ic 5 -wav", ""}}) {
        SCOPED_TRACE(c.args);
        ConsoleCapture capture;
        Settings s;
        EXPECT_EQ(s.parse(commandLine(c.args)), Result::ExitError);
        EXPECT_TRUE(s.wav);
        EXPECT_EQ(s.wavFileName, QString::fromUtf8(c.fileName));
        EXPECT_TRUE(capture.out().isEmpty());
        EXPECT_EQ(capture.err(), failed);
    }
}

// ---------------------------------------------------------------------------------------------
// Command lines that end the process: "-v" and start-up errors.

struct EndCase {
    const char *name;
    const char *args;
    Result result;
    QStringList out;
    QStringList err;
};

void PrintTo(const EndCase &c, std::ostream *os) { *os << c.args; }

class ParseEnds : public ::testing::TestWithParam<EndCase> {};

QString spiHzError(const char *word)
{
    return QStringLiteral("#ERROR: -spi-hz takes the SPI clock in Hz, from 100000 to 50000000, "
                          "not \"%1\"")
        .arg(QLatin1String(word));
}

std::vector<EndCase> endCases()
{
    return {
        {"Version", "-v", Result::ExitOk, {versionLine}, {}},
        {"VersionAfterBadSpi", "-spi x -v", Result::ExitOk, {versionLine}, {}},
        {"VersionBeforeBadSpi", "-v -spi x", Result::ExitOk, {versionLine}, {}},
        {"VersionWithEverything",
         "-multishield -ic 136 -adrgate -spi -wav -v -board nope",
         Result::ExitOk,
         {versionLine},
         {}},
        {"SpiNotANumber", "-ic 5 -spi x", Result::ExitError, {}, {unknownParameters}},
        {"SpiLastWord", "-ic 5 -spi", Result::ExitError, {}, {unknownParameters}},
        {"SpiNegative", "-ic 5 -spi -1", Result::ExitError, {}, {unknownParameters}},
        {"SpiAfterShieldLines",
         "-spi x",
         Result::ExitError,
         {noIntercom(0)},
         {unknownParameters}},
        {"SpiHzNotANumber", "-ic 5 -spi-hz fast", Result::ExitError, {}, {spiHzError("fast")}},
        {"SpiHzLastWord", "-ic 5 -spi-hz", Result::ExitError, {}, {spiHzError("")}},
        {"SpiHzTooSlow", "-ic 5 -spi-hz 99999", Result::ExitError, {}, {spiHzError("99999")}},
        {"SpiHzTooFast",
         "-ic 5 -spi-hz 50000001",
         Result::ExitError,
         {},
         {spiHzError("50000001")}},
        {"SpiHzZero", "-ic 5 -spi-hz 0", Result::ExitError, {}, {spiHzError("0")}},
    };
}

TEST_P(ParseEnds, ResultAndLines)
{
    const EndCase &c = GetParam();
    ConsoleCapture capture;
    Settings s;
    EXPECT_EQ(s.parse(commandLine(c.args)), c.result);
    EXPECT_EQ(capture.out(), c.out);
    EXPECT_EQ(capture.err(), c.err);
}

INSTANTIATE_TEST_SUITE_P(CommandLines, ParseEnds, ::testing::ValuesIn(endCases()),
                         [](const ::testing::TestParamInfo<EndCase> &info) {
                             return std::string(info.param.name);
                         });

TEST(Settings, VersionDoesNothingElse)
{
    ConsoleCapture capture;
    Settings s;
    EXPECT_EQ(s.parse(commandLine("-multishield -ic 136 -adrgate -spi 1 -v")), Result::ExitOk);
    EXPECT_EQ(indexesOf(s), (std::array<int, 6>{}));
    EXPECT_EQ(gatesOf(s), noGates);
    EXPECT_EQ(s.spi, 0);
}

// The driver process itself: its own argument vector and exit status.
TEST(Settings, DriverProcessVersionAndSpiError)
{
    struct Run {
        QStringList args;
        int status;
        QByteArray out;
        QByteArray err;
    };
    const Run runs[] = {
        {{QStringLiteral("-ic"), QStringLiteral("5"), QStringLiteral("-v")},
         0,
         "KVT_STM_Driver: v2.18\n",
         ""},
        {{QStringLiteral("-ic"), QStringLiteral("5"), QStringLiteral("-spi"), QStringLiteral("x")},
         1,
         "",
         "#ERROR: Unknown parameters\n"},
    };
    for (const Run &r : runs) {
        SCOPED_TRACE(r.args.join(QLatin1Char(' ')).toStdString());
        QProcess driver;
        driver.start(QStringLiteral(STM_DRIVER_PATH), r.args);
        ASSERT_TRUE(driver.waitForFinished(10000));
        EXPECT_EQ(driver.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(driver.exitCode(), r.status);
        EXPECT_EQ(driver.readAllStandardOutput(), r.out);
        EXPECT_EQ(driver.readAllStandardError(), r.err);
    }
}

TEST(Settings, UpperCaseVersionIsNoVersion)
{
    ConsoleCapture capture;
    Settings s;
    EXPECT_EQ(s.parse(commandLine("-V -ic 5")), Result::Run);
    EXPECT_TRUE(capture.out().isEmpty());
}

// ---------------------------------------------------------------------------------------------
// Where the shields are reached.

TEST(Settings, BoardSimbusAndSpidev)
{
    ConsoleCapture capture;
    Settings s;
    EXPECT_EQ(s.parse(commandLine("-ic 5 -board h3 -spidev /dev/spidev0.0 -simbus /tmp/bus")),
              Result::Run);
    EXPECT_EQ(s.boardName, QStringLiteral("h3"));
    EXPECT_EQ(s.spidevPath, QStringLiteral("/dev/spidev0.0"));
    EXPECT_TRUE(s.simbus);
    EXPECT_EQ(s.simbusPath, QStringLiteral("/tmp/bus"));
    EXPECT_TRUE(capture.out().isEmpty());
    EXPECT_TRUE(capture.err().isEmpty());
}

TEST(Settings, StatusSocketPath)
{
    struct Row {
        const char *line;
        QString path;  // empty: no status socket
        int errLines;
    };
    const Row rows[] = {
        {"-ic 5", QString::fromLatin1(defaultStatusPath), 0},
        {"-ic 5 -status /tmp/x/status.sock", QStringLiteral("/tmp/x/status.sock"), 0},
        {"-status none -ic 5", QString(), 0},
        {"-ic 5 -status", QString(), 1},
        {"-status -multishield", QString(), 1},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.line);
        ConsoleCapture capture;
        Settings s;
        EXPECT_EQ(s.parse(commandLine(row.line)), Result::Run);
        EXPECT_EQ(s.statusPath, row.path);
        EXPECT_EQ(capture.err().size(), row.errLines);
    }
}

// -rtprio is a matter of timing, not of function: a bad priority is one warning and the driver
// runs at normal priority (0).
TEST(Settings, RealTimePriority)
{
    struct Row {
        const char *line;
        int rtprio;
        int errLines;
    };
    const Row rows[] = {
        {"-ic 5", 0, 0},        {"-rtprio 50 -ic 5", 50, 0}, {"-rtprio 1", 1, 0},
        {"-rtprio 99", 99, 0},  {"-rtprio 0", 0, 1},         {"-rtprio 100", 0, 1},
        {"-rtprio -5", 0, 1},   {"-rtprio 5x", 0, 1},        {"-ic 5 -rtprio", 0, 1},
        {"-rtprio 0x10", 0, 1},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.line);
        ConsoleCapture capture;
        Settings s;
        EXPECT_EQ(s.parse(commandLine(row.line)), Result::Run);
        EXPECT_EQ(s.rtprio, row.rtprio);
        ASSERT_EQ(capture.err().size(), row.errLines);
        if (row.errLines) {
            EXPECT_TRUE(capture.err().front().startsWith(QStringLiteral("#WARNING: -rtprio")));
        }
    }
}

TEST(Settings, SpiClock)
{
    const std::pair<const char *, quint32> rows[] = {
        {"-ic 5", 1562500},
        {"-ic 5 -spi-hz 2000000", 2000000},
        {"-spi-hz 100000 -ic 5", 100000},
        {"-ic 5 -spi-hz 50000000 -spi 1", 50000000},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.first);
        ConsoleCapture capture;
        Settings s;
        EXPECT_EQ(s.parse(commandLine(row.first)), Result::Run);
        EXPECT_EQ(s.spiHz, row.second);
        EXPECT_TRUE(capture.err().isEmpty());
    }
}

TEST(Settings, UnknownBoardEndsWithError)
{
    for (const char *args : {"-ic 5 -board nope", "-ic 5 -board"}) {
        SCOPED_TRACE(args);
        ConsoleCapture capture;
        Settings s;
        EXPECT_EQ(s.parse(commandLine(args)), Result::ExitError);
        EXPECT_TRUE(capture.out().isEmpty());
        ASSERT_EQ(capture.err().size(), 1);
        EXPECT_TRUE(capture.err().at(0).startsWith(QStringLiteral("#ERROR")));
        if (QByteArray(args).endsWith("nope")) {
            EXPECT_TRUE(capture.err().at(0).contains(QStringLiteral("nope")));
        }
    }
}

// ---------------------------------------------------------------------------------------------
// The console sets an intercom index at run time.

TEST(Settings, SetIntercomLineOnlyForSupportedIndexes)
{
    Settings s;
    {
        ConsoleCapture quiet;
        ASSERT_EQ(s.parse(commandLine("-multishield -ic 5")), Result::Run);
    }
    ConsoleCapture capture;
    const QList<int> supportedIndexes{136, 119, 143, 48, 47, 137, 118, 111};
    for (int index : supportedIndexes) {
        SCOPED_TRACE(index);
        capture.clear();
        s.set_shield_intercom(3, static_cast<quint8>(index));
        EXPECT_EQ(capture.out(), QStringList{supported(index, 3)});
        EXPECT_EQ(s.intercomIndex[3], index);
        EXPECT_TRUE(s.shieldState[3].getFlagAdrGate());
    }
    for (int index : {0, 10, 135, 255}) {
        SCOPED_TRACE(index);
        capture.clear();
        s.set_shield_intercom(3, static_cast<quint8>(index));
        EXPECT_TRUE(capture.out().isEmpty());
        EXPECT_EQ(s.intercomIndex[3], index);
        EXPECT_FALSE(s.shieldState[3].getFlagAdrGate());
    }
    // The other shields are untouched.
    EXPECT_EQ(indexesOf(s), (std::array<int, 6>{5, 5, 5, 255, 5, 5}));
    EXPECT_EQ(gatesOf(s), noGates);
}

TEST(Settings, SetIntercomSwitchesGateOffThatAdrGateSwitchedOn)
{
    ConsoleCapture capture;
    Settings s;
    ASSERT_EQ(s.parse(commandLine("-adrgate -ic 10")), Result::Run);
    ASSERT_TRUE(s.shieldState[0].getFlagAdrGate());
    s.set_shield_intercom(0, 11);
    EXPECT_FALSE(s.shieldState[0].getFlagAdrGate());
    EXPECT_TRUE(capture.out().isEmpty());
}

TEST(Settings, SetIntercomOutOfRangeShieldIgnored)
{
    ConsoleCapture capture;
    Settings s;
    s.set_shield_intercom(6, 136);
    s.set_shield_intercom(255, 136);
    EXPECT_TRUE(capture.out().isEmpty());
    EXPECT_EQ(indexesOf(s), (std::array<int, 6>{}));
    EXPECT_EQ(gatesOf(s), noGates);
}

}  // namespace
