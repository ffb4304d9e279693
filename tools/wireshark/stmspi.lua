-- stmspi: the SPI bus between stm-driver and its intercom line boards (shields), as
-- `stm-status --capture FILE` records it (pcap, link type DLT_USER0).
--
-- Load it in Wireshark or tshark for one run:
--     wireshark -X lua_script:/usr/share/stm-driver/wireshark/stmspi.lua capture.pcap
-- or for good, by copying it into the personal Lua plugins folder (Help > About Wireshark >
-- Folders > Personal Lua Plugins; ~/.local/lib/wireshark/plugins on Linux).
-- Live from a board: ssh board stm-status --capture - | wireshark -k -i -
--
-- One pcap record per direction of an exchange. Its data: byte 0 the shield (0-5), byte 1 the
-- direction (0 to the shield, 1 from it, 2 a record saying how many records the capture lost,
-- with the count in the next four bytes, big-endian), then the bytes on the bus: an 8-byte frame,
-- a 528-byte long packet (frame, 512 bytes of audio, 8 bytes of trailer), or a few bytes of the
-- STM32 bootloader's protocol while the driver hands a shield over to its application.
--
-- Frame: start byte 0x0A with the toggle bit in bit 7, code, 32-bit value (big-endian), CRC-16
-- (Modbus) of the first six bytes, high byte first. Eight zero bytes are the idle frame.

local stmspi = Proto("stmspi", "STM shield SPI link")

-- The codes' names as the driver names them (its frame-code tables; a test of the driver holds
-- these three tables against them).
local commands = {
    [0x01] = "read firmware",
    [0x02] = "read shield",
    [0x03] = "read intercom",
    [0x04] = "read id 0",
    [0x05] = "read id 1",
    [0x06] = "read id 2",
    [0x11] = "pickup",
    [0x12] = "drop",
    [0x13] = "dial",
    [0x14] = "phone detect",
    [0x20] = "open door",
    [0x31] = "set intercom",
    [0x32] = "virtual list word",
    [0x33] = "black list word",
    [0x40] = "audio play",
    [0x50] = "loop return",
    [0x60] = "ping 1",
    [0x61] = "ping 2",
    [0x62] = "reboot",
    [0xFF] = "repeat",
}

local events = {
    [0x80] = "dial",
    [0x81] = "pickup",
    [0x82] = "open",
    [0x83] = "drop",
    [0x84] = "phone detection",
    [0x85] = "pickup with audio",
    [0x86] = "key open",
    [0xE0] = "loop test",
    [0xE1] = "error",
    [0xE2] = "debug text",
    [0xE3] = "debug number",
}

local errors = {
    [0x101] = "Hang loop read dial",
    [0x102] = "Hang loop call",
    [0x103] = "Hang loop pickup",
    [0x104] = "Hang loop wait drop",
    [0x105] = "Hang loop phone switch",
    [0x106] = "Hang loop open",
    [0x110] = "Hang loop unknown",
}

-- Bytes of the STM32 system bootloader's SPI protocol.
local bootloader_bytes = {
    [0x79] = "ACK",
    [0x1F] = "NACK",
    [0xA5] = "idle",
    [0x5A] = "start of a command",
}

local TO_SHIELD, FROM_SHIELD, RECORDS_LOST = 0, 1, 2
local FRAME, LONG_PACKET, AUDIO = 8, 528, 512

local f_shield = ProtoField.uint8("stmspi.shield", "Shield", base.DEC)
local f_direction = ProtoField.uint8("stmspi.direction", "Direction", base.DEC,
    { [TO_SHIELD] = "to the shield", [FROM_SHIELD] = "from the shield",
      [RECORDS_LOST] = "records lost" })
local f_start = ProtoField.uint8("stmspi.start", "Start byte", base.HEX)
local f_toggle = ProtoField.uint8("stmspi.toggle", "Toggle bit", base.DEC, nil, 0x80)
local f_code = ProtoField.uint8("stmspi.code", "Code", base.HEX)
local f_value = ProtoField.uint32("stmspi.value", "Value", base.DEC)
local f_error = ProtoField.uint32("stmspi.error", "Error code", base.HEX, errors)
local f_crc = ProtoField.uint16("stmspi.crc", "CRC", base.HEX)
local f_crc_status = ProtoField.uint8("stmspi.crc.status", "CRC status", base.DEC,
    { [0] = "bad", [1] = "good" })
local f_idle = ProtoField.bool("stmspi.idle", "Idle frame")
local f_audio = ProtoField.bytes("stmspi.audio", "Audio")
local f_trailer = ProtoField.bytes("stmspi.trailer", "Trailer")
local f_bootloader = ProtoField.uint8("stmspi.bootloader", "Bootloader byte", base.HEX,
    bootloader_bytes)
local f_lost = ProtoField.uint32("stmspi.lost", "Records lost", base.DEC)

stmspi.fields = { f_shield, f_direction, f_start, f_toggle, f_code, f_value, f_error, f_crc,
    f_crc_status, f_idle, f_audio, f_trailer, f_bootloader, f_lost }

local e_bad_crc = ProtoExpert.new("stmspi.crc.bad", "Bad CRC: the driver drops this frame",
    expert.group.CHECKSUM, expert.severity.WARN)
local e_lost = ProtoExpert.new("stmspi.lost.expert",
    "Records lost: the capture client read too slowly", expert.group.SEQUENCE, expert.severity.WARN)
local e_no_frame = ProtoExpert.new("stmspi.noframe",
    "No frame: its start byte is neither 0x0A nor 0x8A", expert.group.PROTOCOL,
    expert.severity.NOTE)
stmspi.experts = { e_bad_crc, e_lost, e_no_frame }

-- Arithmetic only, so that every Lua that Wireshark has embedded runs it.
local function xor16(a, b)
    local result, bit = 0, 1
    for _ = 1, 16 do
        if a % 2 ~= b % 2 then
            result = result + bit
        end
        a, b, bit = math.floor(a / 2), math.floor(b / 2), bit * 2
    end
    return result
end

-- CRC-16/MODBUS: reflected polynomial 0xA001, start 0xFFFF, no final XOR.
local function crc16(range)
    local crc = 0xFFFF
    for i = 0, range:len() - 1 do
        crc = xor16(crc, range(i, 1):uint())
        for _ = 1, 8 do
            local low = crc % 2
            crc = math.floor(crc / 2)
            if low == 1 then
                crc = xor16(crc, 0xA001)
            end
        end
    end
    return crc
end

local function all_bytes(range, byte)
    for i = 0, range:len() - 1 do
        if range(i, 1):uint() ~= byte then
            return false
        end
    end
    return true
end

local function hex_bytes(range)
    local text = {}
    for i = 0, range:len() - 1 do
        text[#text + 1] = string.format("%02X", range(i, 1):uint())
    end
    return table.concat(text, " ")
end

-- What a command or reply says, in words after its name.
local function command_text(code, frame, reply)
    local value = frame(2, 4):uint()
    local low16 = frame(4, 2):uint()
    local last = frame(5, 1):uint()
    local name = commands[code] or string.format("command 0x%02X", code)
    if reply then
        if (code == 0x13 or code == 0x14) and value == 0xFFFF then
            return name .. " busy"
        end
        return value ~= 0 and string.format("%s %u", name, value) or name
    end
    if code == 0x13 or code == 0x14 then
        return string.format("%s %u", name, low16)
    elseif code == 0x20 or code == 0x31 then
        return string.format("%s %u", name, last)
    elseif code == 0x40 then
        return name .. (last ~= 0 and " on" or " off")
    elseif code == 0x32 or code == 0x33 then
        return string.format("%s %u = 0x%04X", name, frame(2, 2):uint(), low16)
    elseif code == 0x50 then
        return string.format("%s %u", name, value)
    end
    return name
end

local function event_text(code, frame)
    local value = frame(2, 4):uint()
    local name = events[code] or string.format("event 0x%02X", code)
    if code == 0x80 or code == 0x86 then
        local index = frame(3, 1):uint()
        local text = string.format("%s %u", name, frame(4, 2):uint())
        return index ~= 0 and string.format("%s (address index %u)", text, index) or text
    elseif code == 0x84 then
        return string.format("%s %u", name, frame(5, 1):uint())
    elseif code == 0xE1 then
        return string.format("%s %s (0x%X)", name, errors[value] or "unknown code", value)
    elseif code == 0xE2 then
        local text = ""
        for i = 5, 2, -1 do
            local c = frame(i, 1):uint()
            if c == 0 then
                break
            end
            text = text .. ((c >= 0x20 and c < 0x7F) and string.char(c) or "?")
        end
        return string.format("%s \"%s\"", name, text)
    elseif code == 0xE0 or code == 0xE3 then
        return string.format("%s %u", name, value)
    end
    return name
end

-- The 8-byte control part; returns the words for the Info column.
local function dissect_frame(frame, direction, tree)
    if all_bytes(frame, 0) then
        tree:add(f_idle, frame, true)
        return direction == TO_SHIELD and "idle" or "idle (nothing to say)"
    end
    local start = frame(0, 1):uint()
    if direction == FROM_SHIELD and all_bytes(frame, 0xFF) then
        return "nothing (the line is not driven)"
    end
    if direction == FROM_SHIELD and bootloader_bytes[start] and start ~= 0x5A then
        tree:add(f_bootloader, frame(0, 1))
        return "bootloader " .. bootloader_bytes[start]
    end
    tree:add(f_start, frame(0, 1))
    if start % 0x80 ~= 0x0A then
        tree:add_proto_expert_info(e_no_frame)
        return string.format("no frame (start byte 0x%02X)", start)
    end
    tree:add(f_toggle, frame(0, 1))
    local code = frame(1, 1):uint()
    local code_item = tree:add(f_code, frame(1, 1))
    local value = frame(2, 4):uint()
    tree:add(f_value, frame(2, 4))
    tree:add(f_crc, frame(6, 2))
    local good = crc16(frame(0, 6)) == frame(6, 2):uint()
    local status = tree:add(f_crc_status, frame(6, 2), good and 1 or 0)
    status:set_generated()
    if not good then
        status:add_proto_expert_info(e_bad_crc)
    end
    -- From a shield every code with bit 7 set is an event; to it, 0xFF is the repeat command.
    local event = code >= 0x80 and (direction == FROM_SHIELD or code ~= 0xFF)
    local name
    if direction == TO_SHIELD then
        if event then
            name = "ack of event " .. event_text(code, frame)
            code_item:append_text(" (ack of event " .. (events[code] or "unknown") .. ")")
        else
            name = command_text(code, frame, false)
            code_item:append_text(" (" .. (commands[code] or "unknown command") .. ")")
        end
    else
        if event then
            name = "event " .. event_text(code, frame)
            code_item:append_text(" (event " .. (events[code] or "unknown") .. ")")
            if code == 0xE1 then
                tree:add(f_error, frame(2, 4))
            end
        else
            name = "reply " .. command_text(code, frame, true)
            code_item:append_text(" (reply to " .. (commands[code] or "unknown command") .. ")")
        end
        if not good then
            name = (event and "event" or "reply") .. " [bad CRC]"
        end
    end
    return name
end

function stmspi.dissector(tvb, pinfo, tree)
    local length = tvb:len()
    if length < 2 then
        return 0
    end
    pinfo.cols.protocol = "STMSPI"
    local subtree = tree:add(stmspi, tvb())
    local shield = tvb(0, 1):uint()
    local direction = tvb(1, 1):uint()
    if direction == RECORDS_LOST then
        subtree:add(f_direction, tvb(1, 1))
        local count = length >= 6 and tvb(2, 4):uint() or 0
        local item = length >= 6 and subtree:add(f_lost, tvb(2, 4)) or subtree
        item:add_proto_expert_info(e_lost)
        pinfo.cols.info:set(string.format("%u records lost", count))
        return length
    end
    subtree:add(f_shield, tvb(0, 1))
    subtree:add(f_direction, tvb(1, 1))
    local driver, board = "driver", string.format("shield %u", shield)
    pinfo.cols.src:set(direction == TO_SHIELD and driver or board)
    pinfo.cols.dst:set(direction == TO_SHIELD and board or driver)
    local head = string.format("shield %u %s ", shield, direction == TO_SHIELD and "→" or "←")
    local bus_length = length - 2
    local text
    if bus_length == 0 then
        text = "nothing"
    elseif bus_length < FRAME then
        -- A hand-off to the application: the STM32 bootloader's own bytes.
        local bus = tvb(2, bus_length)
        local named = {}
        for i = 0, bus_length - 1 do
            subtree:add(f_bootloader, bus(i, 1))
            local name = bootloader_bytes[bus(i, 1):uint()]
            if name and (direction == FROM_SHIELD or i == 0) then
                named[#named + 1] = name
            end
        end
        text = "bootloader " .. hex_bytes(bus)
        if #named > 0 then
            text = text .. " (" .. table.concat(named, ", ") .. ")"
        end
    else
        text = dissect_frame(tvb(2, FRAME), direction, subtree)
        local rest = bus_length - FRAME
        if rest > 0 then
            local audio = math.min(rest, AUDIO)
            subtree:add(f_audio, tvb(2 + FRAME, audio))
            if rest > audio then
                subtree:add(f_trailer, tvb(2 + FRAME + audio, rest - audio))
            end
            text = text .. " + audio"
        end
    end
    pinfo.cols.info:set(head .. text)
    subtree:append_text(", " .. head .. text)
    return length
end

DissectorTable.get("wtap_encap"):add((wtap_encaps and wtap_encaps.USER0) or wtap.USER0, stmspi)
