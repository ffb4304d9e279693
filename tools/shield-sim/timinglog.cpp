#include "shield-sim/timinglog.h"

#include "common/safefile.h"

#include <chrono>
#include <cstdio>
#include <thread>
#include <fcntl.h>
#include <unistd.h>

bool TimingLog::open(const QString &path)
{
    // A new file renamed over whatever was there: a link in a shared folder is replaced, not
    // followed, and another file is never written into.
    fd = SafeFile::createReplacing(path, 0644);
    if (fd < 0)
        return false;
    std::thread([this] {
        for (;;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            flush();
        }
    }).detach();
    return true;
}

void TimingLog::record(const SimbusServer::Transfer &t)
{
    char line[160];
    const long long ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(t.at.time_since_epoch()).count();
    int n = std::snprintf(line, sizeof line, "T %lld %d %u ", ns, t.shield,
                          static_cast<unsigned>(t.length));
    const auto hex = [&](const quint8 *bytes, int from) {
        for (int i = from; i < from + 8; ++i) {
            const unsigned value = i < t.length ? bytes[i] : 0u;
            n += std::snprintf(line + n, sizeof line - static_cast<size_t>(n), "%02x", value);
        }
        line[n++] = ' ';
    };
    hex(t.sent, 0);
    hex(t.received, 0);
    if (t.length >= 16) {
        hex(t.sent, 8);
        hex(t.received, 8);
    }
    line[n - 1] = '\n';
    std::lock_guard<std::mutex> lock(mutex);
    pending.append(line, static_cast<size_t>(n));
}

void TimingLog::flush()
{
    std::lock_guard<std::mutex> writing(writeMutex);  // chunks reach the file in order
    std::string out;
    {
        std::lock_guard<std::mutex> lock(mutex);
        out.swap(pending);
    }
    SafeFile::writeAll(fd, QByteArray::fromRawData(out.data(), static_cast<int>(out.size())));
}
