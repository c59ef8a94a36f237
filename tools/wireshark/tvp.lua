-- SPDX-License-Identifier: MIT
-- Wireshark dissector for the Tarvex device protocol (TVP).
--
-- Decodes the 16-byte header (magic, version, opcode, transaction id,
-- device ID) and the type-length-value fields after it, and flags what a
-- receiver rejects or a device ignores as expert info (filter: tvp.malformed
-- or _ws.expert). UDP port 30718 by default (preference "tvp.udp_port");
-- a heuristic also finds the protocol on other ports, such as the
-- simulator's ephemeral ones.
--
-- Install: copy into Wireshark's Lua plugin folder (Help > About >
-- Folders), or load once with `tshark -X lua_script:tvp.lua`.

local tvp = Proto("tvp", "Tarvex Device Protocol")

local DEFAULT_PORT = 30718
local HEADER_SIZE = 16
local MAX_DATAGRAM = 512
local MIN_REQUEST = 256
local TEXT_LIMIT = 64

local opcodes = {
    [0x01] = "Discover",
    [0x81] = "Discover answer",
    [0x02] = "GetIP",
    [0x82] = "GetIP answer",
    [0x03] = "SetIP",
    [0x83] = "SetIP answer",
    [0x04] = "Probe",
    [0x84] = "Probe answer",
}

local FT_PAD, FT_NAME, FT_TYPE, FT_ADDRESS, FT_MASK, FT_GATEWAY, FT_DHCP, FT_STATUS =
    0, 1, 2, 3, 4, 5, 6, 7

local field_types = {
    [FT_PAD] = "pad",
    [FT_NAME] = "name",
    [FT_TYPE] = "type",
    [FT_ADDRESS] = "address",
    [FT_MASK] = "mask",
    [FT_GATEWAY] = "gateway",
    [FT_DHCP] = "dhcp",
    [FT_STATUS] = "status",
}

-- The fields each message carries (pad goes anywhere).
local expected_fields = {
    [0x81] = {FT_NAME, FT_TYPE, FT_ADDRESS},
    [0x82] = {FT_ADDRESS, FT_MASK, FT_GATEWAY, FT_DHCP},
    [0x03] = {FT_ADDRESS, FT_MASK, FT_GATEWAY, FT_DHCP},
    [0x83] = {FT_STATUS, FT_ADDRESS},
}

local dhcp_values = {[0] = "static", [1] = "DHCP"}
local status_values = {[0] = "done", [1] = "refused"}

local f = {
    magic = ProtoField.uint16("tvp.magic", "Magic", base.HEX),
    version = ProtoField.uint8("tvp.version", "Version", base.DEC),
    opcode = ProtoField.uint8("tvp.opcode", "Opcode", base.HEX, opcodes),
    is_answer = ProtoField.bool("tvp.answer", "Answer", 8, nil, 0x80),
    txid = ProtoField.uint32("tvp.txid", "Transaction ID", base.HEX),
    device_id = ProtoField.bytes("tvp.device_id", "Device ID", base.COLON),
    device_mac = ProtoField.ether("tvp.device_mac", "Device MAC address"),
    device_id_tail = ProtoField.uint16("tvp.device_id_tail", "Device ID bytes 6-7", base.HEX),
    field = ProtoField.none("tvp.field", "Field"),
    field_type = ProtoField.uint8("tvp.field.type", "Field type", base.DEC, field_types),
    field_length = ProtoField.uint8("tvp.field.length", "Field length", base.DEC),
    field_value = ProtoField.bytes("tvp.field.value", "Field value"),
    pad = ProtoField.uint16("tvp.pad", "Pad bytes", base.DEC),
    name = ProtoField.string("tvp.name", "Name"),
    type = ProtoField.string("tvp.type", "Type"),
    address = ProtoField.ipv4("tvp.address", "Address"),
    mask = ProtoField.ipv4("tvp.mask", "Mask"),
    gateway = ProtoField.ipv4("tvp.gateway", "Gateway"),
    dhcp = ProtoField.uint8("tvp.dhcp", "DHCP", base.DEC, dhcp_values),
    status = ProtoField.uint8("tvp.status", "Status", base.DEC, status_values),
    malformed = ProtoField.string("tvp.malformed", "Malformed"),
}
local field_list = {}
for _, v in pairs(f) do
    field_list[#field_list + 1] = v
end
tvp.fields = field_list

local ef = {
    malformed = ProtoExpert.new("tvp.expert.malformed", "Malformed TVP message",
        expert.group.MALFORMED, expert.severity.ERROR),
    ignored = ProtoExpert.new("tvp.expert.ignored", "Message a receiver ignores",
        expert.group.PROTOCOL, expert.severity.WARN),
    text_cut = ProtoExpert.new("tvp.expert.text_cut", "Text longer than receivers keep",
        expert.group.PROTOCOL, expert.severity.NOTE),
    unknown_field = ProtoExpert.new("tvp.expert.unknown_field", "Unknown field type (skipped)",
        expert.group.UNDECODED, expert.severity.NOTE),
    missing_field = ProtoExpert.new("tvp.expert.missing_field", "Field missing from this message",
        expert.group.PROTOCOL, expert.severity.WARN),
}
tvp.experts = {ef.malformed, ef.ignored, ef.text_cut, ef.unknown_field, ef.missing_field}

tvp.prefs.udp_port = Pref.uint("UDP port", DEFAULT_PORT, "UDP port of the device protocol")
tvp.prefs.heuristic = Pref.bool("Find TVP on other ports", true,
    "Recognise TVP messages on any UDP port by their magic and version")

-- What is wrong with the message being dissected, for its Info column.
local problems = {}

-- Marks the message malformed: an expert error plus a filterable text.
local function malformed(tree, tvbrange, text)
    tree:add(f.malformed, tvbrange, text):set_generated()
    tree:add_proto_expert_info(ef.malformed, text)
    problems[#problems + 1] = text
end

local function mac_text(range)
    local hex = range:bytes():tohex():lower()
    return (hex:gsub("(%x%x)", "%1:"):sub(1, -2))
end

local function ipv4_text(range)
    return string.format("%d.%d.%d.%d", range(0, 1):uint(), range(1, 1):uint(),
        range(2, 1):uint(), range(3, 1):uint())
end

-- Decodes the value of one field into its named item.
local function add_value(item, ftype, vrange, length, tree_for_errors)
    if ftype == FT_PAD then
        item:add(f.pad, vrange, length)
        return nil
    elseif ftype == FT_NAME or ftype == FT_TYPE then
        local hf = ftype == FT_NAME and f.name or f.type
        if length == 0 then
            item:add(hf, vrange, "")
            return ""
        end
        local text = vrange:string()
        item:add(hf, vrange, text)
        if length > TEXT_LIMIT then
            item:add_proto_expert_info(ef.text_cut,
                string.format("%s is %d bytes; receivers keep %d", field_types[ftype], length,
                    TEXT_LIMIT))
        end
        return text
    elseif ftype == FT_ADDRESS or ftype == FT_MASK or ftype == FT_GATEWAY then
        if length ~= 4 then
            malformed(tree_for_errors, vrange,
                string.format("%s field is %d bytes, not 4", field_types[ftype], length))
            if length > 0 then
                item:add(f.field_value, vrange)
            end
            return nil
        end
        local hf = ({[FT_ADDRESS] = f.address, [FT_MASK] = f.mask, [FT_GATEWAY] = f.gateway})[ftype]
        item:add(hf, vrange)
        return ipv4_text(vrange)
    elseif ftype == FT_DHCP or ftype == FT_STATUS then
        if length ~= 1 then
            malformed(tree_for_errors, vrange,
                string.format("%s field is %d bytes, not 1", field_types[ftype], length))
            if length > 0 then
                item:add(f.field_value, vrange)
            end
            return nil
        end
        local hf = ftype == FT_DHCP and f.dhcp or f.status
        item:add(hf, vrange)
        local v = vrange:uint()
        return (ftype == FT_DHCP and dhcp_values or status_values)[v] or tostring(v)
    end
    if length > 0 then
        item:add(f.field_value, vrange)
    end
    item:add_proto_expert_info(ef.unknown_field, string.format("field type %d", ftype))
    return nil
end

local function dissect(buffer, pinfo, tree)
    local size = buffer:len()
    problems = {}
    pinfo.cols.protocol = "TVP"
    local root = tree:add(tvp, buffer(), "Tarvex Device Protocol")

    if size < HEADER_SIZE then
        malformed(root, buffer(), string.format("%d bytes, shorter than the %d-byte header",
            size, HEADER_SIZE))
        pinfo.cols.info = "Malformed (short header)"
        return size
    end
    if size > MAX_DATAGRAM then
        malformed(root, buffer(), string.format("%d bytes, over the %d-byte limit", size,
            MAX_DATAGRAM))
    end

    local magic = buffer(0, 2)
    root:add(f.magic, magic)
    if magic:uint() ~= 0x5456 then
        malformed(root, magic, "magic is not \"TV\"")
    end
    local version = buffer(2, 1)
    root:add(f.version, version)
    if version:uint() ~= 1 then
        malformed(root, version, string.format("version %d, not 1", version:uint()))
    end

    local op = buffer(3, 1):uint()
    local op_item = root:add(f.opcode, buffer(3, 1))
    root:add(f.is_answer, buffer(3, 1))
    local op_name = opcodes[op]
    if not op_name then
        op_name = string.format("Unknown opcode 0x%02x", op)
        malformed(op_item, buffer(3, 1), op_name)
    end
    local txid = buffer(4, 4)
    root:add(f.txid, txid)

    local id_range = buffer(8, 8)
    local id_item = root:add(f.device_id, id_range)
    id_item:add(f.device_mac, buffer(8, 6))
    id_item:add(f.device_id_tail, buffer(14, 2))
    local id_zero = id_range:bytes():tohex() == "0000000000000000"
    if buffer(14, 2):uint() ~= 0 then
        malformed(id_item, buffer(14, 2), "device ID bytes 6-7 are not zero")
    end
    if (op == 0x01 or op == 0x04) and not id_zero then
        id_item:add_proto_expert_info(ef.ignored, op_name .. " carries a device ID")
    elseif (op == 0x02 or op == 0x03) and id_zero then
        id_item:add_proto_expert_info(ef.ignored, op_name .. " names no device")
    end

    local is_request = op < 0x80
    -- a probe is answered by a bare header, so it needs no padding
    if is_request and op ~= 0x04 and size < MIN_REQUEST then
        root:add_proto_expert_info(ef.ignored,
            string.format("request of %d bytes; devices ignore requests under %d", size,
                MIN_REQUEST))
    end

    -- Fields to the end of the datagram.
    local seen = {}
    local summary = {}
    local offset = HEADER_SIZE
    while offset < size do
        if offset + 2 > size then
            malformed(root, buffer(offset), "field header runs past the end of the datagram")
            break
        end
        local ftype = buffer(offset, 1):uint()
        local length = buffer(offset + 1, 1):uint()
        local tname = field_types[ftype] or string.format("unknown (%d)", ftype)
        if offset + 2 + length > size then
            local item = root:add(f.field, buffer(offset)):set_text("Field: " .. tname)
            item:add(f.field_type, buffer(offset, 1))
            item:add(f.field_length, buffer(offset + 1, 1))
            malformed(item, buffer(offset), string.format(
                "%s field of %d bytes runs %d bytes past the end of the datagram", tname, length,
                offset + 2 + length - size))
            break
        end
        local item = root:add(f.field, buffer(offset, 2 + length)):set_text("Field: " .. tname)
        item:add(f.field_type, buffer(offset, 1))
        item:add(f.field_length, buffer(offset + 1, 1))
        local vrange = length > 0 and buffer(offset + 2, length) or buffer(offset + 2, 0)
        if ftype ~= FT_PAD and seen[ftype] then
            malformed(item, buffer(offset, 2 + length), tname .. " field appears twice")
        end
        seen[ftype] = true
        local shown = add_value(item, ftype, vrange, length, item)
        if shown then
            item:append_text(": " .. shown)
            if ftype ~= FT_PAD then
                summary[#summary + 1] = tname .. "=" .. shown
            end
        end
        offset = offset + 2 + length
    end

    local wanted = expected_fields[op]
    if wanted then
        for _, ftype in ipairs(wanted) do
            if not seen[ftype] then
                root:add_proto_expert_info(ef.missing_field,
                    string.format("%s without its %s field", op_name, field_types[ftype]))
            end
        end
    end

    local info = string.format("%s, txid 0x%08x", op_name, txid:uint())
    if not id_zero then
        info = info .. ", ID " .. mac_text(buffer(8, 6))
    end
    if #summary > 0 then
        info = info .. ", " .. table.concat(summary, ", ")
    end
    if #problems > 0 then
        info = "[Malformed: " .. table.concat(problems, "; ") .. "] " .. info
    end
    pinfo.cols.info = info
    root:append_text(", " .. op_name)
    return size
end

function tvp.dissector(buffer, pinfo, tree)
    return dissect(buffer, pinfo, tree)
end

-- Magic "TV", version 1 and a known opcode: rare enough by chance.
local function heuristic(buffer, pinfo, tree)
    if not tvp.prefs.heuristic or buffer:len() < HEADER_SIZE then
        return false
    end
    if buffer(0, 2):uint() ~= 0x5456 or buffer(2, 1):uint() ~= 1 or
        not opcodes[buffer(3, 1):uint()] then
        return false
    end
    dissect(buffer, pinfo, tree)
    pinfo.conversation = tvp
    return true
end

local udp_port_table = DissectorTable.get("udp.port")
local registered_port = tvp.prefs.udp_port
udp_port_table:add(registered_port, tvp)
tvp:register_heuristic("udp", heuristic)

function tvp.prefs_changed()
    if tvp.prefs.udp_port ~= registered_port then
        udp_port_table:remove(registered_port, tvp)
        registered_port = tvp.prefs.udp_port
        udp_port_table:add(registered_port, tvp)
    end
end
