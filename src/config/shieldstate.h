#pragma once
// What the driver knows about one shield. Belongs to no thread: the transfer thread (parsers,
// link loss), the supervisor thread, the console thread and the main thread (link restart) all
// use it. Every field is atomic, so the one-way handshakes between those threads are free of data
// races; the handshake discipline itself (who sets, who clears) is unchanged.

#include <QtGlobal>

#include <array>
#include <atomic>

class ShieldState
{
public:
    enum State : qint32 { STATE_OFFLINE = 0, STATE_INIT = 1, STATE_ONLINE = 2 };
    enum ConsoleModeRead_em : qint32 {
        MODE_READ_COMMAND = 0,
        MODE_READ_VIRTUAL_LIST = 1,
        MODE_READ_BLACK_LIST = 2,
    };

    // An apartment list: apartment n (0 to 1023) is bit n % 32 of word n / 32.
    using ApartmentList = std::array<std::atomic<quint32>, 32>;
    static constexpr int listWords16 = 64;  // the list as pushed to the shield
    static constexpr quint16 lastApartment = 1023;

    ShieldState();
    ShieldState(const ShieldState &) = delete;
    ShieldState &operator=(const ShieldState &) = delete;

    quint16 getFirmware() const { return firmware; }
    void setFirmware(const quint16 &v) { firmware = v; }
    quint16 getBeta() const { return beta; }
    void setBeta(const quint16 &v) { beta = v; }
    quint16 getShield() const { return shield; }
    void setShield(const quint16 &v) { shield = v; }
    quint16 getRevision() const { return revision; }
    void setRevision(const quint16 &v) { revision = v; }
    quint8 getIntercom() const { return intercom; }
    void setIntercom(const quint8 &v) { intercom = v; }
    quint32 getId_0() const { return id_0; }
    quint32 getId_1() const { return id_1; }
    quint32 getId_2() const { return id_2; }
    void setId_0(const quint32 &v) { id_0 = v; }
    void setId_1(const quint32 &v) { id_1 = v; }
    void setId_2(const quint32 &v) { id_2 = v; }
    bool getFlagAdrGate() const { return flagAdrGate; }
    void setFlagAdrGate(bool v) { flagAdrGate = v; }
    State getState() const { return state; }
    ConsoleModeRead_em getConsoleModeRead() const { return consoleModeRead; }

    // Ping flags as after a fresh start; ping2Response and both list acknowledgements start true,
    // meaning nothing is outstanding.
    void resetAllStateResponseFlag();
    // Response flags reset and the reported identity cleared; state, lists and mode untouched.
    void to_null();
    // True when the six identity replies (firmware, shield, three ID words, intercom) are in.
    bool hasAllStateResponseFlag() const;
    // Enters a state with step and tickCount at 0; going offline also ends any list read and drops
    // a pending list push.
    void setState(State s);
    void asyncSendDialplan() { sendDialplan = true; }
    // Takes a pending push request: true once per request.
    bool isSendDialplan() { return sendDialplan.exchange(false); }
    // A push request waits, not taken.
    bool hasSendDialplan() const { return sendDialplan; }
    // Entering a list mode empties the list about to be read.
    void setConsoleModeRead(ConsoleModeRead_em m);

    // Marks apartment n (0 to 1023) in a list; larger numbers are ignored.
    static void addApartment(ApartmentList &list, quint16 apartment);
    // The 16-bit word k (0 to 63) of a list as pushed: apartments 16k to 16k+15, 16k+j in bit j.
    static quint16 listWord16(const ApartmentList &list, int k);

    std::atomic<qint32> step{0};
    std::atomic<qint32> tickCount{0};
    std::atomic<bool> ping1Response{false};
    std::atomic<bool> ping2Response{true};
    std::atomic<bool> lostInit{false};
    std::atomic<bool> firmwareResponse{false};
    std::atomic<bool> shieldResponse{false};
    std::atomic<bool> id0Response{false};
    std::atomic<bool> id1Response{false};
    std::atomic<bool> id2Response{false};
    std::atomic<bool> intercomResponse{false};
    std::atomic<bool> virtualListAck{true};
    std::atomic<bool> blackListAck{true};
    ApartmentList virtualList{};
    ApartmentList blackList{};

private:
    static void clearList(ApartmentList &list);

    std::atomic<quint16> firmware{0};
    std::atomic<quint16> beta{0};
    std::atomic<quint16> shield{0};
    std::atomic<quint16> revision{0};
    std::atomic<quint32> id_0{0};
    std::atomic<quint32> id_1{0};
    std::atomic<quint32> id_2{0};
    std::atomic<quint8> intercom{0};
    std::atomic<bool> flagAdrGate{false};
    std::atomic<State> state{STATE_OFFLINE};
    std::atomic<bool> sendDialplan{false};
    std::atomic<ConsoleModeRead_em> consoleModeRead{MODE_READ_COMMAND};
};
