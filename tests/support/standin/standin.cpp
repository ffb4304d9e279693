// The kernel's side of the board, for tests: loaded with LD_PRELOAD into the unmodified
// stm-driver, it serves the GPIO character devices of the board's pin controllers (what libgpiod
// 1.6 and 2.x look at in /dev and sysfs before they trust a chip, and the v1 and v2 GPIO uAPI,
// each libgpiod generation speaking one), the spidev node
// and the device tree's model and compatible strings. Reset and chip-select levels (mapped back
// from line offsets to the board's wiringPi pins) and every SPI transfer go to shield-sim over
// the simulated bus, so the simulator sees what the shields on the board would see.
//
// Every request is checked strictly; anything the driver must never ask for is written to
// standard error and ends the process with abort(), so a test sees a crash, not a quiet pass.
// Preloaded into stm-flash (its program name tells) it checks that tool's rules instead: lines
// requested as "stm-flash", a bus clock of at most the driver's, transfers of 1 to 258 bytes
// (the bootloader's bytes, frames and blocks).
//
// Environment:
//   STM_STANDIN_SOCKET      the simulated bus socket of shield-sim (required once a line or the
//                           SPI node is used)
//   STM_STANDIN_BOARD       opizero (default) or h3: the pin map and the SPI node served
//   STM_STANDIN_SPIDEV      the SPI node path served (default: the board's)
//   STM_STANDIN_MULTISHIELD 1: chip selects are active high (the driver's -multishield)
//   STM_STANDIN_SPI_HZ      the bus clock the shields take (default 1562500): the driver must
//                           ask for exactly this one (its -spi-hz), stm-flash for at most this
//   STM_STANDIN_FAULT       one injected fault: no-spi, no-chip, spi-denied, gpio-denied,
//                           line-busy:PIN (held by "gpioset"), line-eio:PIN (setting its
//                           level fails), lines:COUNT
//   STM_STANDIN_EIO_FILE    while this file exists, SPI transfers fail with EIO
//   STM_STANDIN_DT_MODEL, STM_STANDIN_DT_COMPATIBLE
//                           the device tree's model and compatible (entries separated by
//                           spaces); both unset: no device tree

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/gpio.h>
#include <linux/spi/spidev.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

namespace {

// ---- What the board has ------------------------------------------------------------------------

struct PinLine {
    int pin;
    unsigned offset;
};

struct BoardMap {
    const char *name;
    const char *spidev;
    PinLine lines[9];
};

// The board's wiringPi pins on the main pin controller's line offsets (bank x 32 + pin).
const BoardMap boards[] = {
    {"opizero",
     "/dev/spidev1.1",
     {{7, 0}, {15, 13}, {16, 10}, {13, 2}, {10, 18}, {9, 19}, {8, 3}, {0, 12}, {6, 7}}},
    {"h3",
     "/dev/spidev0.0",
     {{7, 0}, {15, 67}, {16, 21}, {13, 2}, {10, 71}, {9, 68}, {8, 3}, {0, 12}, {6, 110}}},
};

const int pinReset = 7;
const int chipSelects[6] = {15, 16, 13, 10, 9, 8};
const unsigned gpioMajor = 254;

struct Chip {
    const char *name;
    const char *label;
    unsigned lines;
};

// The two pin controllers of an H2+/H3: the main one the driver uses, and the R_PIO one that
// libgpiod meets first or second while it looks for a label.
const Chip chips[] = {{"gpiochip0", "1c20800.pinctrl", 224}, {"gpiochip1", "1f02c00.pinctrl", 32}};

const unsigned defaultSpiSpeed = 1562500;

// Who holds a line of the fault line-busy: another program on the board.
const char *const otherHolder = "gpioset";

// The program the stand-in is preloaded into: the driver, or the firmware writer.
bool isFlashTool()
{
    return std::strcmp(program_invocation_short_name, "stm-flash") == 0;
}
const char *consumerName()
{
    return isFlashTool() ? "stm-flash" : "stm-driver";
}

// ---- The real functions ------------------------------------------------------------------------

template <typename F>
F real(const char *name)
{
    void *f = dlsym(RTLD_NEXT, name);
    if (!f) {
        std::fprintf(stderr, "stm-standin: no %s in the C library\n", name);
        std::abort();
    }
    return reinterpret_cast<F>(f);
}

using OpenFn = int (*)(const char *, int, ...);
using CloseFn = int (*)(int);
using IoctlFn = int (*)(int, unsigned long, ...);
using StatFn = int (*)(const char *, struct stat *);
using AccessFn = int (*)(const char *, int);
using RealpathFn = char *(*)(const char *, char *);
using ScandirFn = int (*)(const char *, struct dirent ***, int (*)(const struct dirent *),
                          int (*)(const struct dirent **, const struct dirent **));

[[noreturn]] void fail(const char *format, ...)
{
    std::va_list args;
    va_start(args, format);
    std::fputs("stm-standin: ", stderr);
    std::vfprintf(stderr, format, args);
    std::fputs("\n", stderr);
    va_end(args);
    std::abort();
}

std::string env(const char *name)
{
    const char *v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

// ---- State -------------------------------------------------------------------------------------

enum class Kind { Chip, Handle, Spi };

struct Open {
    Kind kind;
    int chip = 0;                   // Chip: index in chips
    std::vector<unsigned> offsets;  // Handle: the requested lines
    int uapi = 1;                   // Handle: of the v1 or the v2 GPIO interface
};

struct State {
    std::mutex mutex;
    std::map<int, Open> fds;
    std::map<unsigned, int> requested;  // offsets of the main chip held by a handle: its fd
    std::map<int, int> levels;          // wiringPi pin -> level last driven
    bool spiMode = false, spiBits = false, spiSpeedSet = false;
    unsigned shieldSpeed = defaultSpiSpeed;  // the clock the shields take
    unsigned speed = defaultSpiSpeed;        // as the program set it
    int bus = -1;                            // the socket to shield-sim
    bool resetRisen = false;
    timespec resetFell{};
    const BoardMap *board = nullptr;
    std::string spidev;
    bool multiShield = false;
    std::string fault;
};

State &state()
{
    static State s;
    static std::once_flag once;
    std::call_once(once, [] {
        const std::string name = env("STM_STANDIN_BOARD");
        s.board = &boards[0];
        for (const BoardMap &b : boards) {
            if (name == b.name)
                s.board = &b;
        }
        if (!name.empty() && name != s.board->name)
            fail("unknown STM_STANDIN_BOARD \"%s\"", name.c_str());
        s.spidev = env("STM_STANDIN_SPIDEV");
        if (s.spidev.empty())
            s.spidev = s.board->spidev;
        s.multiShield = env("STM_STANDIN_MULTISHIELD") == "1";
        s.fault = env("STM_STANDIN_FAULT");
        const std::string hz = env("STM_STANDIN_SPI_HZ");
        if (!hz.empty()) {
            char *end = nullptr;
            const unsigned long value = std::strtoul(hz.c_str(), &end, 10);
            if (*end != '\0' || value == 0 || value > 100000000)
                fail("STM_STANDIN_SPI_HZ \"%s\" is no clock in Hz", hz.c_str());
            s.shieldSpeed = static_cast<unsigned>(value);
        }
    });
    return s;
}

bool faultIs(const std::string &name)
{
    return state().fault == name;
}

// The value after "name:" in the fault, -1 without it.
long faultValue(const std::string &name)
{
    const std::string &f = state().fault;
    if (f.compare(0, name.size() + 1, name + ":") != 0)
        return -1;
    return std::strtol(f.c_str() + name.size() + 1, nullptr, 10);
}

unsigned mainChipLines()
{
    const long lines = faultValue("lines");
    return lines >= 0 ? static_cast<unsigned>(lines) : chips[0].lines;
}

int pinOfOffset(unsigned offset)
{
    for (const PinLine &l : state().board->lines) {
        if (l.offset == offset)
            return l.pin;
    }
    return -1;
}

// A descriptor of our own for a device that does not exist: an eventfd, so that close() and
// the process's descriptor table work as the kernel's would.
int newFd()
{
    return eventfd(0, EFD_CLOEXEC);
}

// A read-only file holding `text`, as sysfs and procfs attributes are.
int textFd(const std::string &text)
{
    const int fd = memfd_create("stm-standin", MFD_CLOEXEC);
    if (fd < 0)
        fail("memfd_create: %s", std::strerror(errno));
    if (::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        fail("memfd write: %s", std::strerror(errno));
    ::lseek(fd, 0, SEEK_SET);
    return fd;
}

// ---- The simulated bus -------------------------------------------------------------------------

void busWrite(State &s, const void *data, size_t length)
{
    const char *p = static_cast<const char *>(data);
    while (length > 0) {
        const ssize_t n = ::send(s.bus, p, length, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            fail("the simulated bus went away (write: %s)", std::strerror(errno));
        p += n;
        length -= static_cast<size_t>(n);
    }
}

void busRead(State &s, void *data, size_t length)
{
    char *p = static_cast<char *>(data);
    while (length > 0) {
        const ssize_t n = ::recv(s.bus, p, length, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            fail("the simulated bus went away (read)");
        p += n;
        length -= static_cast<size_t>(n);
    }
}

void busConnect(State &s)
{
    if (s.bus >= 0)
        return;
    const std::string path = env("STM_STANDIN_SOCKET");
    if (path.empty())
        fail("STM_STANDIN_SOCKET is not set");
    sockaddr_un address;
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        fail("socket path too long: %s", path.c_str());
    std::memcpy(address.sun_path, path.c_str(), path.size());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) < 0)
        fail("cannot connect to the simulated bus %s: %s", path.c_str(), std::strerror(errno));
    s.bus = fd;
}

double secondsSince(const timespec &t)
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec - t.tv_sec) +
           static_cast<double>(now.tv_nsec - t.tv_nsec) / 1e9;
}

// A line of the main chip changes level: check it, remember it and tell the simulator.
void drive(State &s, unsigned offset, int level)
{
    if (level != 0 && level != 1)
        fail("line %u driven to %d", offset, level);
    const int pin = pinOfOffset(offset);
    if (pin < 0)
        fail("line %u is not one of the board's lines", offset);
    if (pin == pinReset) {
        const auto was = s.levels.find(pin);
        if (was != s.levels.end() && was->second == 1 && level == 0)
            clock_gettime(CLOCK_MONOTONIC, &s.resetFell);
        if (was != s.levels.end() && was->second == 0 && level == 1) {
            // The first rise ends the line set-up; every later one ends a reset pulse, which
            // must hold the shields long enough to restart them.
            if (s.resetRisen && secondsSince(s.resetFell) < 0.5)
                fail("reset pulse of %.3f s: the shields need 600 ms", secondsSince(s.resetFell));
            s.resetRisen = true;
        }
    }
    s.levels[pin] = level;
    busConnect(s);
    const unsigned char message[3] = {'G', static_cast<unsigned char>(pin),
                                      static_cast<unsigned char>(level)};
    busWrite(s, message, sizeof message);
}

// The one shield a transfer may reach: exactly its chip select asserted, the reset released.
void checkSelection(State &s)
{
    const auto reset = s.levels.find(pinReset);
    if (reset == s.levels.end() || reset->second != 1)
        fail("SPI transfer while the shields are held in reset");
    const int active = s.multiShield ? 1 : 0;
    int selected = 0;
    for (int cs : chipSelects) {
        const auto l = s.levels.find(cs);
        if (l != s.levels.end() && l->second == active)
            ++selected;
    }
    if (s.multiShield && selected != 1)
        fail("SPI transfer with %d chip selects high (exactly one must be)", selected);
    if (!s.multiShield) {
        const auto cs0 = s.levels.find(chipSelects[0]);
        if (cs0 == s.levels.end() || cs0->second != 0)
            fail("SPI transfer without shield 0 selected (its chip select low)");
    }
}

// ---- The devices -------------------------------------------------------------------------------

// What the kernel tells of a line of a chip: whether it is held, and by whom.
const char *holderOf(State &s, const Open &o, unsigned offset)
{
    if (o.chip != 0)
        return nullptr;
    if (s.requested.count(offset))
        return consumerName();
    if (faultValue("line-busy") == pinOfOffset(offset))
        return otherHolder;
    return nullptr;
}

// A request for one line as an output, the same for both interfaces: checked, then granted as
// a descriptor of `uapi` that drives the line to `level` at once; -1 with errno as the kernel's.
int grantOutput(State &s, const Open &o, int uapi, unsigned count, unsigned offset,
                const char *consumer, int level)
{
    if (o.chip != 0)
        fail("line request on %s, which carries none of the board's lines", chips[o.chip].label);
    if (count != 1)
        fail("request of %u lines at once", count);
    if (std::strncmp(consumer, consumerName(), GPIO_MAX_NAME_SIZE) != 0)
        fail("line %u requested by \"%.32s\"", offset, consumer);
    if (offset >= mainChipLines()) {
        errno = EINVAL;
        return -1;
    }
    if (pinOfOffset(offset) < 0)
        fail("line %u requested: not one of the board's lines", offset);
    if (holderOf(s, o, offset)) {
        errno = EBUSY;
        return -1;
    }
    const int fd = newFd();
    s.fds[fd] = Open{Kind::Handle, 0, {offset}, uapi};
    s.requested[offset] = fd;
    drive(s, offset, level);
    return fd;
}

template <typename T, size_t N>
bool allZero(const T (&padding)[N])
{
    for (const T &p : padding) {
        if (p != 0)
            return false;
    }
    return true;
}

// The level a v2 line configuration gives the one requested line, after checking that it makes
// a plain output of it: flags and attributes only for that line, no debounce, no padding.
int outputLevel(const gpio_v2_line_config &config, unsigned offset)
{
    if (!allZero(config.padding) || config.num_attrs > GPIO_V2_LINE_NUM_ATTRS_MAX)
        fail("line %u: malformed line configuration", offset);
    __u64 flags = config.flags;
    int level = 0;
    for (unsigned i = 0; i < config.num_attrs; ++i) {
        const gpio_v2_line_config_attribute &a = config.attrs[i];
        if (a.mask != 1 || a.attr.padding != 0)
            fail("line %u: attribute %u for lines not requested (mask 0x%llx)", offset, a.attr.id,
                 static_cast<unsigned long long>(a.mask));
        if (a.attr.id == GPIO_V2_LINE_ATTR_ID_FLAGS)
            flags = a.attr.flags;
        else if (a.attr.id == GPIO_V2_LINE_ATTR_ID_OUTPUT_VALUES)
            level = static_cast<int>(a.attr.values & 1);
        else
            fail("line %u: attribute %u on an output", offset, a.attr.id);
    }
    if (flags != GPIO_V2_LINE_FLAG_OUTPUT)
        fail("line %u requested with flags 0x%llx, not as a plain output", offset,
             static_cast<unsigned long long>(flags));
    return level;
}

int chipIoctl(State &s, Open &o, unsigned long request, void *arg)
{
    const Chip &chip = chips[o.chip];
    const unsigned lines = o.chip == 0 ? mainChipLines() : chip.lines;
    if (request == GPIO_GET_CHIPINFO_IOCTL) {
        auto *info = static_cast<gpiochip_info *>(arg);
        std::memset(info, 0, sizeof *info);
        std::strncpy(info->name, chip.name, sizeof info->name - 1);
        std::strncpy(info->label, chip.label, sizeof info->label - 1);
        info->lines = lines;
        return 0;
    }
    if (request == GPIO_GET_LINEINFO_IOCTL) {
        auto *info = static_cast<gpioline_info *>(arg);
        const unsigned offset = info->line_offset;
        if (offset >= lines) {
            errno = EINVAL;
            return -1;
        }
        std::memset(info, 0, sizeof *info);
        info->line_offset = offset;
        if (const char *holder = holderOf(s, o, offset)) {
            info->flags = GPIOLINE_FLAG_KERNEL | GPIOLINE_FLAG_IS_OUT;
            std::strncpy(info->consumer, holder, sizeof info->consumer - 1);
        }
        return 0;
    }
    if (request == GPIO_V2_GET_LINEINFO_IOCTL) {
        auto *info = static_cast<gpio_v2_line_info *>(arg);
        const unsigned offset = info->offset;
        if (!allZero(info->padding))
            fail("line info of line %u asked with padding set", offset);
        if (offset >= lines) {
            errno = EINVAL;
            return -1;
        }
        std::memset(info, 0, sizeof *info);
        info->offset = offset;
        if (const char *holder = holderOf(s, o, offset)) {
            info->flags = GPIO_V2_LINE_FLAG_USED | GPIO_V2_LINE_FLAG_OUTPUT;
            std::strncpy(info->consumer, holder, sizeof info->consumer - 1);
        } else {
            info->flags = GPIO_V2_LINE_FLAG_INPUT;
        }
        return 0;
    }
    if (request == GPIO_GET_LINEHANDLE_IOCTL) {
        auto *req = static_cast<gpiohandle_request *>(arg);
        if (req->flags != GPIOHANDLE_REQUEST_OUTPUT)
            fail("line %u requested with flags 0x%x, not as a plain output", req->lineoffsets[0],
                 req->flags);
        const int fd = grantOutput(s, o, 1, req->lines, req->lineoffsets[0], req->consumer_label,
                                   req->default_values[0] ? 1 : 0);
        if (fd < 0)
            return -1;
        req->fd = fd;
        return 0;
    }
    if (request == GPIO_V2_GET_LINE_IOCTL) {
        auto *req = static_cast<gpio_v2_line_request *>(arg);
        if (!allZero(req->padding))
            fail("line request with padding set");
        const int level = outputLevel(req->config, req->offsets[0]);
        const int fd = grantOutput(s, o, 2, req->num_lines, req->offsets[0], req->consumer, level);
        if (fd < 0)
            return -1;
        req->fd = fd;
        return 0;
    }
    fail("GPIO chip ioctl 0x%lx", request);
}

// A line-write fault: the level of the line cannot be set.
bool writeFails(const Open &o)
{
    for (unsigned offset : o.offsets) {
        if (faultValue("line-eio") == pinOfOffset(offset)) {
            errno = EIO;
            return true;
        }
    }
    return false;
}

int handleIoctl(State &s, Open &o, unsigned long request, void *arg)
{
    if (o.uapi == 1 && request == GPIOHANDLE_SET_LINE_VALUES_IOCTL) {
        auto *data = static_cast<gpiohandle_data *>(arg);
        if (writeFails(o))
            return -1;
        for (size_t i = 0; i < o.offsets.size(); ++i)
            drive(s, o.offsets[i], data->values[i]);
        return 0;
    }
    if (o.uapi == 1 && request == GPIOHANDLE_GET_LINE_VALUES_IOCTL) {
        auto *data = static_cast<gpiohandle_data *>(arg);
        std::memset(data, 0, sizeof *data);
        for (size_t i = 0; i < o.offsets.size(); ++i)
            data->values[i] = static_cast<__u8>(s.levels[pinOfOffset(o.offsets[i])]);
        return 0;
    }
    // Version 2: one line per request, so its bit is the only one of a mask.
    if (o.uapi == 2 &&
        (request == GPIO_V2_LINE_SET_VALUES_IOCTL || request == GPIO_V2_LINE_GET_VALUES_IOCTL)) {
        auto *values = static_cast<gpio_v2_line_values *>(arg);
        if (values->mask != 1)
            fail("values of line %u with the mask 0x%llx", o.offsets[0],
                 static_cast<unsigned long long>(values->mask));
        if (request == GPIO_V2_LINE_GET_VALUES_IOCTL) {
            values->bits = static_cast<__u64>(s.levels[pinOfOffset(o.offsets[0])]);
            return 0;
        }
        if (writeFails(o))
            return -1;
        if (values->bits & ~static_cast<__u64>(1))
            fail("line %u driven with the bits 0x%llx", o.offsets[0],
                 static_cast<unsigned long long>(values->bits));
        drive(s, o.offsets[0], static_cast<int>(values->bits & 1));
        return 0;
    }
    if (o.uapi == 2 && request == GPIO_V2_LINE_SET_CONFIG_IOCTL) {
        const int level = outputLevel(*static_cast<gpio_v2_line_config *>(arg), o.offsets[0]);
        if (writeFails(o))
            return -1;
        drive(s, o.offsets[0], level);
        return 0;
    }
    fail("line handle (interface v%d) ioctl 0x%lx", o.uapi, request);
}

int spiIoctl(State &s, unsigned long request, void *arg)
{
    switch (request) {
    case SPI_IOC_WR_MODE:
        if (*static_cast<uint8_t *>(arg) != SPI_MODE_0)
            fail("SPI mode %u (the shields use mode 0)", *static_cast<uint8_t *>(arg));
        s.spiMode = true;
        return 0;
    case SPI_IOC_WR_BITS_PER_WORD:
        if (*static_cast<uint8_t *>(arg) != 8)
            fail("SPI word of %u bits (the shields use 8)", *static_cast<uint8_t *>(arg));
        s.spiBits = true;
        return 0;
    case SPI_IOC_WR_MAX_SPEED_HZ:
        if (isFlashTool() ? *static_cast<uint32_t *>(arg) > s.shieldSpeed
                          : *static_cast<uint32_t *>(arg) != s.shieldSpeed)
            fail("SPI speed %u Hz (the shields use %u)", *static_cast<uint32_t *>(arg),
                 s.shieldSpeed);
        s.spiSpeedSet = true;
        s.speed = *static_cast<uint32_t *>(arg);
        return 0;
    default:
        break;
    }
    if (_IOC_TYPE(request) != SPI_IOC_MAGIC || _IOC_NR(request) != 0 ||
        _IOC_DIR(request) != _IOC_WRITE)
        fail("SPI ioctl 0x%lx", request);
    const size_t count = _IOC_SIZE(request) / sizeof(spi_ioc_transfer);
    if (count != 1)
        fail("SPI message of %zu transfers (one per exchange)", count);
    if (!s.spiMode || !s.spiBits || !s.spiSpeedSet)
        fail("SPI transfer before mode, word size and speed were set");
    auto *t = static_cast<spi_ioc_transfer *>(arg);
    // The driver's frames are 8 or 528 bytes; its bootloader hand-off sends 1, 3 and 5.
    const bool frame = t->len == 8 || t->len == 528;
    const bool handOff = t->len == 1 || t->len == 3 || t->len == 5;
    if (isFlashTool() ? t->len < 1 || t->len > 258 : !frame && !handOff)
        fail("SPI transfer of %u bytes (%s)", t->len,
             isFlashTool() ? "1 to 258" : "8 or 528, or 1, 3, 5 to a bootloader");
    if (!t->tx_buf || !t->rx_buf)
        fail("SPI transfer without both buffers");
    if (t->speed_hz != 0 && t->speed_hz != s.speed)
        fail("SPI transfer at %u Hz", t->speed_hz);
    if (t->bits_per_word != 0 && t->bits_per_word != 8)
        fail("SPI transfer of %u-bit words", t->bits_per_word);
    checkSelection(s);
    const std::string eioFile = env("STM_STANDIN_EIO_FILE");
    struct stat ignored;
    if (!eioFile.empty() && real<StatFn>("stat")(eioFile.c_str(), &ignored) == 0) {
        errno = EIO;
        return -1;
    }
    busConnect(s);
    const uint16_t length = static_cast<uint16_t>(t->len);
    const unsigned char header[3] = {'S', static_cast<unsigned char>(length & 0xFF),
                                     static_cast<unsigned char>(length >> 8)};
    std::vector<char> reply(length);
    busWrite(s, header, sizeof header);
    busWrite(s, reinterpret_cast<const void *>(static_cast<uintptr_t>(t->tx_buf)), length);
    busRead(s, reply.data(), length);
    std::memcpy(reinterpret_cast<void *>(static_cast<uintptr_t>(t->rx_buf)), reply.data(), length);
    return static_cast<int>(length);
}

// ---- Paths -------------------------------------------------------------------------------------

// Index of the chip whose /dev node this is, -1 for none.
int chipOfDev(const char *path)
{
    if (faultIs("no-chip"))
        return -1;
    for (int i = 0; i < 2; ++i) {
        if (std::string("/dev/") + chips[i].name == path)
            return i;
    }
    return -1;
}

// Index of the chip whose sysfs "dev" attribute this is, -1 for none.
int chipOfSysfs(const char *path)
{
    if (faultIs("no-chip"))
        return -1;
    for (int i = 0; i < 2; ++i) {
        if (std::string("/sys/bus/gpio/devices/") + chips[i].name + "/dev" == path)
            return i;
    }
    return -1;
}

// Index of the chip whose sysfs "subsystem" link (by device number) this is, -1 for none.
int chipOfSubsystem(const char *path)
{
    if (faultIs("no-chip"))
        return -1;
    for (int i = 0; i < 2; ++i) {
        if ("/sys/dev/char/" + std::to_string(gpioMajor) + ":" + std::to_string(i) + "/subsystem" ==
            path)
            return i;
    }
    return -1;
}

bool isSpidev(const char *path)
{
    return !faultIs("no-spi") && state().spidev == path;
}

// The device tree's files, when the test gives them: the text, and whether it is one.
bool deviceTreeFile(const char *path, std::string *text)
{
    static const char *const roots[] = {"/proc/device-tree/", "/sys/firmware/devicetree/base/"};
    for (const char *root : roots) {
        const size_t n = std::strlen(root);
        if (std::strncmp(path, root, n) != 0)
            continue;
        const std::string leaf = path + n;
        const std::string model = env("STM_STANDIN_DT_MODEL");
        const std::string compatible = env("STM_STANDIN_DT_COMPATIBLE");
        if (model.empty() && compatible.empty())
            return true;  // no device tree: the file does not exist
        if (leaf == "model") {
            *text = model + std::string(1, '\0');
        } else if (leaf == "compatible") {
            // NUL-separated, as the kernel gives it.
            std::string entries;
            size_t start = 0;
            for (;;) {
                const size_t end = compatible.find(' ', start);
                entries += compatible.substr(start, end - start) + std::string(1, '\0');
                if (end == std::string::npos)
                    break;
                start = end + 1;
            }
            *text = entries;
        }
        return true;
    }
    return false;
}

void fakeStat(struct stat *st, mode_t mode, dev_t rdev)
{
    std::memset(st, 0, sizeof *st);
    st->st_mode = mode;
    st->st_rdev = rdev;
    st->st_nlink = 1;
}

// The answer of stat and lstat for our paths: 1 when served (0 or -1 in *result), 0 otherwise.
int statOf(const char *path, struct stat *st, int *result)
{
    if (!path)
        return 0;
    const int chip = chipOfDev(path);
    if (chip >= 0) {
        fakeStat(st, S_IFCHR | 0660, makedev(gpioMajor, static_cast<unsigned>(chip)));
        *result = 0;
        return 1;
    }
    if (isSpidev(path)) {
        fakeStat(st, S_IFCHR | 0660, makedev(153, 0));
        *result = 0;
        return 1;
    }
    std::string text;
    if (deviceTreeFile(path, &text)) {
        if (text.empty()) {
            errno = ENOENT;
            *result = -1;
        } else {
            fakeStat(st, S_IFREG | 0444, 0);
            st->st_size = static_cast<off_t>(text.size());
            *result = 0;
        }
        return 1;
    }
    return 0;
}

// open() of our paths: 1 when served (the descriptor or -1 in *result), 0 otherwise.
int openOf(const char *path, int flags, int *result)
{
    if (!path)
        return 0;
    State &s = state();
    const int chip = chipOfDev(path);
    if (chip >= 0) {
        if (faultIs("gpio-denied")) {
            errno = EACCES;
            *result = -1;
            return 1;
        }
        std::lock_guard<std::mutex> lock(s.mutex);
        const int fd = newFd();
        s.fds[fd] = Open{Kind::Chip, chip, {}};
        *result = fd;
        return 1;
    }
    const int sysfs = chipOfSysfs(path);
    if (sysfs >= 0) {
        *result = textFd(std::to_string(gpioMajor) + ":" + std::to_string(sysfs) + "\n");
        return 1;
    }
    if (isSpidev(path)) {
        if (faultIs("spi-denied")) {
            errno = EACCES;
            *result = -1;
            return 1;
        }
        if ((flags & O_ACCMODE) != O_RDWR)
            fail("%s opened without read and write access", path);
        // A real file beside the bus socket stands for the node, so that record locks on it
        // work across processes as they do on the node.
        const std::string file = env("STM_STANDIN_SOCKET") + ".spidev";
        const int fd = real<OpenFn>("open")(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0)
            fail("cannot create %s: %s", file.c_str(), std::strerror(errno));
        std::lock_guard<std::mutex> lock(s.mutex);
        s.fds[fd] = Open{Kind::Spi, 0, {}};
        *result = fd;
        return 1;
    }
    std::string text;
    if (deviceTreeFile(path, &text)) {
        if (text.empty()) {
            errno = ENOENT;
            *result = -1;
        } else {
            *result = textFd(text);
        }
        return 1;
    }
    return 0;
}

int doOpen(const char *name, const char *path, int flags, mode_t mode)
{
    int result = -1;
    if (openOf(path, flags, &result))
        return result;
    return real<OpenFn>(name)(path, flags, mode);
}

}  // namespace

// ---- The intercepted calls ---------------------------------------------------------------------

extern "C" {

int open(const char *path, int flags, ...)
{
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        std::va_list args;
        va_start(args, flags);
        mode = static_cast<mode_t>(va_arg(args, int));
        va_end(args);
    }
    return doOpen("open", path, flags, mode);
}

int open64(const char *path, int flags, ...)
{
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        std::va_list args;
        va_start(args, flags);
        mode = static_cast<mode_t>(va_arg(args, int));
        va_end(args);
    }
    return doOpen("open64", path, flags, mode);
}

int __open_2(const char *path, int flags)
{
    return doOpen("open", path, flags, 0);
}

int __open64_2(const char *path, int flags)
{
    return doOpen("open64", path, flags, 0);
}

int close(int fd)
{
    State &s = state();
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        const auto it = s.fds.find(fd);
        if (it != s.fds.end()) {
            if (it->second.kind == Kind::Handle) {
                for (unsigned offset : it->second.offsets)
                    s.requested.erase(offset);
            }
            s.fds.erase(it);
        }
    }
    return real<CloseFn>("close")(fd);
}

int ioctl(int fd, unsigned long request, ...)
{
    std::va_list args;
    va_start(args, request);
    void *arg = va_arg(args, void *);
    va_end(args);
    // The kernel reads the request as 32 bits: libgpiod 2 passes some sign-extended.
    request = static_cast<unsigned int>(request);
    State &s = state();
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        const auto it = s.fds.find(fd);
        if (it != s.fds.end()) {
            switch (it->second.kind) {
            case Kind::Chip:
                return chipIoctl(s, it->second, request, arg);
            case Kind::Handle:
                return handleIoctl(s, it->second, request, arg);
            case Kind::Spi:
                return spiIoctl(s, request, arg);
            }
        }
    }
    return real<IoctlFn>("ioctl")(fd, request, arg);
}

int stat(const char *path, struct stat *st)
{
    int result = 0;
    if (statOf(path, st, &result))
        return result;
    return real<StatFn>("stat")(path, st);
}

int lstat(const char *path, struct stat *st)
{
    int result = 0;
    if (statOf(path, st, &result))
        return result;
    return real<StatFn>("lstat")(path, st);
}

int access(const char *path, int mode)
{
    if ((chipOfSysfs(path) >= 0 || chipOfDev(path) >= 0 || isSpidev(path)))
        return 0;
    return real<AccessFn>("access")(path, mode);
}

// libgpiod 2 trusts a character device as a GPIO chip when its subsystem is the GPIO bus.
char *realpath(const char *path, char *resolved)
{
    if (!path || chipOfSubsystem(path) < 0)
        return real<RealpathFn>("realpath")(path, resolved);
    static const char bus[] = "/sys/bus/gpio";
    if (!resolved)
        return strdup(bus);
    std::memcpy(resolved, bus, sizeof bus);
    return resolved;
}

// Chips are found by listing /dev (libgpiod 1.6 does, and the board with libgpiod 2): only the
// stand-in's chips are there.
int scandir(const char *dir, struct dirent ***list, int (*filter)(const struct dirent *),
            int (*compare)(const struct dirent **, const struct dirent **))
{
    if (std::strcmp(dir, "/dev") != 0)
        return real<ScandirFn>("scandir")(dir, list, filter, compare);
    std::vector<struct dirent *> kept;
    for (int i = 0; i < 2 && !faultIs("no-chip"); ++i) {
        auto *entry = static_cast<struct dirent *>(std::calloc(1, sizeof(struct dirent)));
        entry->d_type = DT_CHR;
        std::strncpy(entry->d_name, chips[i].name, sizeof entry->d_name - 1);
        if (filter && !filter(entry)) {
            std::free(entry);
            continue;
        }
        kept.push_back(entry);
    }
    *list = static_cast<struct dirent **>(std::calloc(kept.size() + 1, sizeof(struct dirent *)));
    for (size_t i = 0; i < kept.size(); ++i)
        (*list)[i] = kept[i];
    if (compare && kept.size() > 1)
        std::qsort(*list, kept.size(), sizeof(struct dirent *),
                   reinterpret_cast<int (*)(const void *, const void *)>(compare));
    return static_cast<int>(kept.size());
}

}  // extern "C"
