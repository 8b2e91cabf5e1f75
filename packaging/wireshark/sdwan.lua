-- Wireshark dissector for the SD-WAN tunnel protocol spoken by tolvad and sdwan-peerd.
--
--   wireshark -X lua_script:sdwan.lua capture.pcapng
--   tshark -X lua_script:sdwan.lua -r capture.pcapng -o sdwan.key:alice:secret
--
-- or copy the file into the personal Lua plugins folder (Help > About > Folders).
--
-- Every datagram starts with an 8-byte header: type, encrypt flag, session id, token.
-- Control packets (OPEN, OPENACK, OPENREJ, ECHOREQ, ECHORESP, CLOSE) follow it with a 16-byte
-- MD5 signature over the header and the two salt bytes, then their body; data packets (DATA,
-- EDATA) follow it directly with an IPv4 packet, XOR-enciphered under an 8-byte key for EDATA.
--
-- The sealed session (tolvad with sdwan-peerd and a pinned peer key) has a layout of its own,
-- integers little-endian: SINIT (32, 56 bytes: version, sender index, Noise message 1),
-- SRESP (33, 60 bytes: version, receiver and sender index, Noise message 2) and SDATA (34:
-- receiver index, 64-bit counter, then the sealed kind and body and their 16-byte tag). The
-- sealed part is shown as opaque bytes: it opens only with the session's keys, which never
-- leave the two ends.
--
-- The dissector finds the protocol by itself on any UDP port that no other dissector claims: a
-- control packet whose signature verifies with the salt preference, or a data packet whose
-- payload is a whole IPv4 packet with a good header checksum (EDATA: once deciphered with the
-- key preference), an SINIT or SRESP of its exact length with version 1, zero reserved bytes
-- and non-zero indices and an ephemeral key below 2^255, or an SDATA of at least 33 bytes with zero reserved bytes, a non-zero
-- receiver index and a counter below 2^40 (keys change every two minutes, long before). Each
-- leaves 32 bits or more of fixed values to chance, and a length or a counter range on top.
-- The rest of that conversation then follows it. On a port another dissector
-- owns (4500 is IPsec NAT traversal's), set the port preference or use "Decode As".
--
-- Preferences (Edit > Preferences > Protocols > SDWAN, or tshark -o sdwan.NAME:VALUE):
--   port  UDP port of the peer server, decoded as this protocol whatever it holds; 0 (the
--         default): none, the heuristic alone finds it
--   salt  the two signature-salt bytes, "0x3C,0xA5"; empty: signatures are not checked
--   key   the payload key, as 16 hex digits or as user:password; empty: EDATA stays opaque
--
-- Written for the Lua 5.2 of Wireshark 3.x/4.0 and the Lua 5.3/5.4 of later versions.

local sdwan = Proto("sdwan", "SD-WAN Tunnel Protocol")

local HDR_LEN = 8
local SIG_LEN = 16
local CTRL_LEN = HDR_LEN + SIG_LEN

local T_OPENREJ, T_OPENACK, T_OPEN, T_DATA = 17, 18, 19, 20
local T_ECHOREQ, T_ECHORESP, T_CLOSE, T_EDATA = 21, 22, 23, 24
local T_SINIT, T_SRESP, T_SDATA = 32, 33, 34

local SEALED_VERSION = 1
local SINIT_LEN, SRESP_LEN = 56, 60
local SEALED_HDR_LEN, SEALED_TAG_LEN = 16, 16
local NOISE_EPH_LEN = 32
-- Header, kind byte and tag: the shortest SDATA.
local SDATA_MIN = SEALED_HDR_LEN + 1 + SEALED_TAG_LEN

local type_names = {
    [T_OPENREJ] = "OPENREJ", [T_OPENACK] = "OPENACK", [T_OPEN] = "OPEN", [T_DATA] = "DATA",
    [T_ECHOREQ] = "ECHOREQ", [T_ECHORESP] = "ECHORESP", [T_CLOSE] = "CLOSE", [T_EDATA] = "EDATA",
    [T_SINIT] = "SINIT", [T_SRESP] = "SRESP", [T_SDATA] = "SDATA",
}

local O_USER, O_PASS, O_MTU, O_IP, O_DNS, O_GATEWAY = 1, 2, 3, 4, 5, 6
local O_ENCRYPT, O_DUPPKT, O_PIPE = 8, 9, 10

local opt_names = {
    [O_USER] = "USER", [O_PASS] = "PASS", [O_MTU] = "MTU", [O_IP] = "IP", [O_DNS] = "DNS",
    [O_GATEWAY] = "GATEWAY", [O_ENCRYPT] = "ENCRYPT", [O_DUPPKT] = "DUPPKT", [O_PIPE] = "PIPE",
}
-- Whole option lengths (type and length bytes included) of the options that have one.
local opt_len = {
    [O_PASS] = 18, [O_MTU] = 4, [O_IP] = 6, [O_DNS] = 10, [O_GATEWAY] = 6,
    [O_ENCRYPT] = 3, [O_DUPPKT] = 3, [O_PIPE] = 4,
}

local sig_status_names = { [0] = "wrong", [1] = "good" }

local f = {
    type = ProtoField.uint8("sdwan.type", "Type", base.DEC, type_names),
    encrypt = ProtoField.uint8("sdwan.encrypt", "Encrypt", base.DEC),
    -- Both peers copy the session id and token as raw bytes; the logs print them read in the
    -- x86 byte order, so they are shown little-endian to match.
    sid = ProtoField.uint16("sdwan.sid", "Session id", base.DEC),
    token = ProtoField.uint32("sdwan.token", "Token", base.HEX),
    signature = ProtoField.bytes("sdwan.signature", "Signature"),
    sig_status = ProtoField.uint8("sdwan.signature.status", "Signature status", base.DEC, sig_status_names),
    -- Hex text: a bytes field's given value is read differently across Wireshark versions.
    sig_expected = ProtoField.string("sdwan.signature.expected", "Expected signature"),
    opt = ProtoField.bytes("sdwan.opt", "Option"),
    opt_type = ProtoField.uint8("sdwan.opt.type", "Option type", base.DEC, opt_names),
    opt_len = ProtoField.uint8("sdwan.opt.len", "Option length", base.DEC),
    opt_user = ProtoField.string("sdwan.opt.user", "User"),
    opt_pass = ProtoField.bytes("sdwan.opt.pass", "Password block (AES-128)"),
    opt_mtu = ProtoField.uint16("sdwan.opt.mtu", "MTU", base.DEC),
    opt_ip = ProtoField.ipv4("sdwan.opt.ip", "Address"),
    opt_dns = ProtoField.ipv4("sdwan.opt.dns", "DNS server"),
    opt_gateway = ProtoField.ipv4("sdwan.opt.gateway", "Gateway"),
    opt_encrypt = ProtoField.uint8("sdwan.opt.encrypt", "Encrypt", base.DEC),
    opt_duppkt = ProtoField.uint8("sdwan.opt.duppkt", "Duplicate packets", base.DEC),
    opt_pipe = ProtoField.uint16("sdwan.opt.pipe", "Pipe", base.HEX),
    opt_pipe_idx = ProtoField.uint16("sdwan.opt.pipe.idx", "Pipe index bit", base.DEC, nil, 0x8000),
    opt_pipe_id = ProtoField.uint16("sdwan.opt.pipe.id", "Pipe id bits", base.DEC, nil, 0x7FFF),
    opt_value = ProtoField.bytes("sdwan.opt.value", "Value"),
    echo_tick = ProtoField.uint64("sdwan.echo.tick", "Tick", base.DEC),
    echo_cur = ProtoField.uint32("sdwan.echo.cur_delay", "Current delay", base.DEC),
    echo_min = ProtoField.uint32("sdwan.echo.min_delay", "Minimum delay", base.DEC),
    echo_max = ProtoField.uint32("sdwan.echo.max_delay", "Maximum delay", base.DEC),
    body = ProtoField.bytes("sdwan.body", "Unread body"),
    payload = ProtoField.bytes("sdwan.payload", "Payload"),
    s_version = ProtoField.uint8("sdwan.sealed.version", "Version", base.DEC),
    s_reserved = ProtoField.bytes("sdwan.sealed.reserved", "Reserved"),
    s_receiver = ProtoField.uint32("sdwan.sealed.receiver", "Receiver index", base.DEC),
    s_sender = ProtoField.uint32("sdwan.sealed.sender", "Sender index", base.DEC),
    s_noise = ProtoField.bytes("sdwan.sealed.noise", "Noise handshake message"),
    s_ephemeral = ProtoField.bytes("sdwan.sealed.ephemeral", "Ephemeral public key"),
    s_hs_tag = ProtoField.bytes("sdwan.sealed.noise.tag", "Tag of the empty payload"),
    s_counter = ProtoField.uint64("sdwan.sealed.counter", "Counter", base.DEC),
    s_sealed = ProtoField.bytes("sdwan.sealed.ciphertext", "Sealed kind and body"),
    s_tag = ProtoField.bytes("sdwan.sealed.tag", "Tag"),
}
sdwan.fields = { f.type, f.encrypt, f.sid, f.token, f.signature, f.sig_status, f.sig_expected,
    f.opt, f.opt_type, f.opt_len, f.opt_user, f.opt_pass, f.opt_mtu, f.opt_ip, f.opt_dns,
    f.opt_gateway, f.opt_encrypt, f.opt_duppkt, f.opt_pipe, f.opt_pipe_idx, f.opt_pipe_id,
    f.opt_value, f.echo_tick, f.echo_cur, f.echo_min, f.echo_max, f.body, f.payload,
    f.s_version, f.s_reserved, f.s_receiver, f.s_sender, f.s_noise, f.s_ephemeral, f.s_hs_tag,
    f.s_counter, f.s_sealed, f.s_tag }

local ex = {
    short = ProtoExpert.new("sdwan.short", "Datagram too short for its type",
        expert.group.MALFORMED, expert.severity.ERROR),
    bad_sig = ProtoExpert.new("sdwan.signature.bad", "Signature does not verify with the salt preference",
        expert.group.CHECKSUM, expert.severity.ERROR),
    opt_bad = ProtoExpert.new("sdwan.opt.malformed", "Malformed option",
        expert.group.MALFORMED, expert.severity.ERROR),
    unknown_type = ProtoExpert.new("sdwan.type.unknown", "Unknown packet type",
        expert.group.PROTOCOL, expert.severity.WARN),
    no_key = ProtoExpert.new("sdwan.edata.nokey", "Enciphered payload: set the key preference to decipher it",
        expert.group.UNDECODED, expert.severity.NOTE),
    bad_pref = ProtoExpert.new("sdwan.pref.bad", "Preference value not understood",
        expert.group.PROTOCOL, expert.severity.WARN),
    sealed = ProtoExpert.new("sdwan.sealed.opaque",
        "Sealed under the session's keys: opens only at the two ends", expert.group.UNDECODED, expert.severity.NOTE),
    sealed_bad = ProtoExpert.new("sdwan.sealed.malformed", "Sealed session header breaks its rules",
        expert.group.MALFORMED, expert.severity.ERROR),
}
sdwan.experts = { ex.short, ex.bad_sig, ex.opt_bad, ex.unknown_type, ex.no_key, ex.bad_pref, ex.sealed,
    ex.sealed_bad }

sdwan.prefs.port = Pref.uint("UDP port", 0,
    "UDP port of the peer server, decoded as this protocol; 0: none, found by the heuristic")
sdwan.prefs.salt = Pref.string("Signature salt", "0x3C,0xA5",
    "The two salt bytes, comma separated (0x3C,0xA5); empty: signatures are not checked")
sdwan.prefs.key = Pref.string("Payload key", "",
    "Key of EDATA payloads: 16 hex digits, or user:password to derive it; empty: not deciphered")

---------------------------------------------------------------------------------------------
-- 32-bit operations on whichever Lua this Wireshark has: bit32 in 5.2, operators from 5.3 on
-- (loaded from text so that a 5.2 parser never sees them).

local band, bor, bxor, bnot, lshift, rshift
if bit32 ~= nil then
    band, bor, bxor, bnot = bit32.band, bit32.bor, bit32.bxor, bit32.bnot
    lshift, rshift = bit32.lshift, bit32.rshift
else
    local ops = load([[
        local M = 0xFFFFFFFF
        return {
            function(a, b) return a & b & M end,
            function(a, b) return (a | b) & M end,
            function(a, b) return (a ~ b) & M end,
            function(a) return ~a & M end,
            function(a, n) return (a << n) & M end,
            function(a, n) return (a & M) >> n end,
        }]])()
    band, bor, bxor, bnot, lshift, rshift = ops[1], ops[2], ops[3], ops[4], ops[5], ops[6]
end

local function add32(...)
    local s = 0
    for _, v in ipairs({ ... }) do s = s + v end
    return s % 4294967296
end

local function rotl(x, n) return bor(lshift(x, n), rshift(x, 32 - n)) end

-- MD5 (RFC 1321) of a Lua string; the digest as a 16-byte string.
local MD5_K = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
}
local MD5_S = {
    7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
    5, 9, 14, 20, 5, 9, 14, 20, 5, 9, 14, 20, 5, 9, 14, 20,
    4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
    6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21,
}

local function le32_bytes(v)
    return string.char(v % 256, math.floor(v / 256) % 256, math.floor(v / 65536) % 256,
        math.floor(v / 16777216) % 256)
end

local function md5(msg)
    local n = #msg
    local bits = n * 8
    msg = msg .. "\128" .. string.rep("\0", (55 - n) % 64)
        .. le32_bytes(bits % 4294967296) .. le32_bytes(math.floor(bits / 4294967296))
    local a0, b0, c0, d0 = 0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476
    local m = {}
    for chunk = 1, #msg, 64 do
        for j = 0, 15 do
            local p = chunk + j * 4
            local b1, b2, b3, b4 = msg:byte(p, p + 3)
            m[j] = b1 + b2 * 256 + b3 * 65536 + b4 * 16777216
        end
        local a, b, c, d = a0, b0, c0, d0
        for i = 0, 63 do
            local fv, g
            if i < 16 then
                fv, g = bor(band(b, c), band(bnot(b), d)), i
            elseif i < 32 then
                fv, g = bor(band(d, b), band(bnot(d), c)), (5 * i + 1) % 16
            elseif i < 48 then
                fv, g = bxor(b, bxor(c, d)), (3 * i + 5) % 16
            else
                fv, g = bxor(c, bor(b, bnot(d))), (7 * i) % 16
            end
            fv = add32(fv, a, MD5_K[i + 1], m[g])
            a, d, c = d, c, b
            b = add32(b, rotl(fv, MD5_S[i + 1]))
        end
        a0, b0, c0, d0 = add32(a0, a), add32(b0, b), add32(c0, c), add32(d0, d)
    end
    return le32_bytes(a0) .. le32_bytes(b0) .. le32_bytes(c0) .. le32_bytes(d0)
end

---------------------------------------------------------------------------------------------
-- Preferences, parsed once whenever they change.

local salt = nil      -- 2-byte string, or nil: signatures are not checked
local salt_bad = false
local key = nil       -- 8-byte string, or nil: EDATA payloads stay opaque
local key_bad = false

local function parse_salt(text)
    if text == nil or text:match("^%s*$") then return nil, false end
    local a, b = text:match("^%s*([%w]+)%s*,%s*([%w]+)%s*$")
    local x, y = tonumber(a or ""), tonumber(b or "")
    if x == nil or y == nil or x < 0 or x > 255 or y < 0 or y > 255 or x % 1 ~= 0 or y % 1 ~= 0 then
        return nil, true
    end
    return string.char(x, y), false
end

-- The payload key is the first 8 bytes of MD5(user name followed by password).
local function parse_key(text)
    if text == nil or text == "" then return nil, false end
    local hex = text:match("^%s*(%x+)%s*$")
    if hex ~= nil and #hex == 16 then
        return (hex:gsub("%x%x", function(h) return string.char(tonumber(h, 16)) end)), false
    end
    local user, pass = text:match("^([^:]+):(.+)$")
    if user == nil then return nil, true end
    return md5(user .. pass):sub(1, 8), false
end

local udp_table = DissectorTable.get("udp.port")
local registered_port = nil

local function apply_prefs()
    salt, salt_bad = parse_salt(sdwan.prefs.salt)
    key, key_bad = parse_key(sdwan.prefs.key)
    local port = sdwan.prefs.port
    if port ~= registered_port then
        if registered_port ~= nil and registered_port ~= 0 then
            udp_table:remove(registered_port, sdwan)
        end
        if port ~= 0 then udp_table:add(port, sdwan) end
        registered_port = port
    end
end

function sdwan.prefs_changed()
    apply_prefs()
end

---------------------------------------------------------------------------------------------
-- Dissection.

local ip_dissector = Dissector.get("ip")
local data_dissector = Dissector.get("data")

local function xor_payload(raw)
    local out = {}
    for i = 1, #raw do
        out[i] = string.char(bxor(raw:byte(i), key:byte((i - 1) % 8 + 1)))
    end
    return table.concat(out)
end

local function to_bytearray(s)
    local ba = ByteArray.new()
    ba:set_size(#s)
    for i = 1, #s do ba:set_index(i - 1, s:byte(i)) end
    return ba
end

local function dissect_signature(tvb, pinfo, tree)
    local item = tree:add(f.signature, tvb(HDR_LEN, SIG_LEN))
    if salt_bad then item:add_proto_expert_info(ex.bad_pref, "Signature salt preference not understood") end
    if salt == nil then return end
    local want = md5(tvb:raw(0, HDR_LEN) .. salt)
    local good = want == tvb:raw(HDR_LEN, SIG_LEN)
    local st = item:add(f.sig_status, tvb(HDR_LEN, SIG_LEN), good and 1 or 0)
    st:set_generated()
    if not good then
        local hex = want:gsub(".", function(c) return string.format("%02x", c:byte()) end)
        item:add(f.sig_expected, tvb(HDR_LEN, SIG_LEN), hex):set_generated()
        st:add_proto_expert_info(ex.bad_sig)
    end
end

-- OPEN and OPENACK: options of type, whole length and value, back to back to the end.
local function dissect_options(tvb, pinfo, tree, info)
    local off, len = CTRL_LEN, tvb:len()
    while off < len do
        if len - off < 2 then
            tree:add_proto_expert_info(ex.opt_bad, "Option head cut short at the end of the datagram")
            return
        end
        local t, l = tvb(off, 1):uint(), tvb(off + 1, 1):uint()
        local name = opt_names[t] or ("type " .. t)
        if l < 2 then
            local it = tree:add(f.opt, tvb(off, 2))
            it:set_text("Option " .. name .. ", length " .. l)
            it:add(f.opt_type, tvb(off, 1))
            it:add(f.opt_len, tvb(off + 1, 1))
            it:add_proto_expert_info(ex.opt_bad, "Option length " .. l .. " is less than 2")
            return
        end
        if l > len - off then
            local it = tree:add(f.opt, tvb(off))
            it:set_text("Option " .. name .. ", length " .. l)
            it:add(f.opt_type, tvb(off, 1))
            it:add(f.opt_len, tvb(off + 1, 1))
            it:add_proto_expert_info(ex.opt_bad, "Option runs " .. (l - (len - off)) .. " bytes past the datagram")
            return
        end
        local it = tree:add(f.opt, tvb(off, l))
        it:add(f.opt_type, tvb(off, 1))
        it:add(f.opt_len, tvb(off + 1, 1))
        local v = l > 2 and tvb(off + 2, l - 2) or nil
        local text = name
        local want = opt_len[t]
        if want ~= nil and l ~= want then
            it:add_proto_expert_info(ex.opt_bad, name .. " option of length " .. l .. ", expected " .. want)
            if v ~= nil then it:add(f.opt_value, v) end
        elseif t == O_USER then
            if v ~= nil then
                it:add(f.opt_user, v)
                text = text .. ": " .. v:string()
                info.user = v:string()
            end
        elseif t == O_PASS then
            it:add(f.opt_pass, v)
        elseif t == O_MTU then
            it:add(f.opt_mtu, v)
            text = text .. ": " .. v:uint()
        elseif t == O_IP then
            it:add(f.opt_ip, v)
            text = text .. ": " .. tostring(v:ipv4())
            info.ip = tostring(v:ipv4())
        elseif t == O_DNS then
            it:add(f.opt_dns, v(0, 4))
            it:add(f.opt_dns, v(4, 4))
            text = text .. ": " .. tostring(v(0, 4):ipv4()) .. ", " .. tostring(v(4, 4):ipv4())
        elseif t == O_GATEWAY then
            it:add(f.opt_gateway, v)
            text = text .. ": " .. tostring(v:ipv4())
        elseif t == O_ENCRYPT then
            it:add(f.opt_encrypt, v)
            text = text .. ": " .. v:uint()
        elseif t == O_DUPPKT then
            it:add(f.opt_duppkt, v)
            text = text .. ": " .. v:uint()
        elseif t == O_PIPE then
            local p = it:add(f.opt_pipe, v)
            p:add(f.opt_pipe_idx, v)
            p:add(f.opt_pipe_id, v)
            text = text .. string.format(": 0x%04x", v:uint())
        elseif v ~= nil then
            it:add(f.opt_value, v)
        end
        it:set_text("Option " .. text)
        off = off + l
    end
end

-- Echo body: tick (u64), then the current, smallest and largest delay (u32), little-endian.
-- A response may carry the tick alone.
local function dissect_echo(tvb, pinfo, tree)
    local len = tvb:len()
    if len < CTRL_LEN + 8 then
        if len > CTRL_LEN then tree:add(f.body, tvb(CTRL_LEN)) end
        tree:add_proto_expert_info(ex.short, "Echo body without a whole tick")
        return
    end
    tree:add_le(f.echo_tick, tvb(CTRL_LEN, 8))
    local fields = { f.echo_cur, f.echo_min, f.echo_max }
    local off = CTRL_LEN + 8
    for _, fld in ipairs(fields) do
        if len - off < 4 then break end
        tree:add_le(fld, tvb(off, 4))
        off = off + 4
    end
    if off < len then tree:add(f.body, tvb(off)) end
end

local function dissect_data(tvb, pinfo, tree, top, ptype)
    local len = tvb:len()
    if len <= HDR_LEN then
        tree:add_proto_expert_info(ex.short, "Data packet without payload")
        return
    end
    local item = tree:add(f.payload, tvb(HDR_LEN))
    if ptype == T_DATA then
        ip_dissector:call(tvb(HDR_LEN):tvb(), pinfo, top)
        return
    end
    if key_bad then item:add_proto_expert_info(ex.bad_pref, "Payload key preference not understood") end
    if key == nil then
        item:add_proto_expert_info(ex.no_key)
        data_dissector:call(tvb(HDR_LEN):tvb(), pinfo, top)
        return
    end
    local plain = to_bytearray(xor_payload(tvb:raw(HDR_LEN, len - HDR_LEN))):tvb("Deciphered payload")
    ip_dissector:call(plain, pinfo, top)
end

-- The sealed session's three types: their own header after the type byte.
local sealed_len = { [T_SINIT] = SINIT_LEN, [T_SRESP] = SRESP_LEN }

local function add_index(tree, fld, tvb, off, what)
    local it = tree:add_le(fld, tvb(off, 4))
    if tvb(off, 4):le_uint() == 0 then it:add_proto_expert_info(ex.sealed_bad, what .. " index 0") end
    return tvb(off, 4):le_uint()
end

local function add_reserved(tree, tvb, off, n)
    local it = tree:add(f.s_reserved, tvb(off, n))
    for i = 0, n - 1 do
        if tvb(off + i, 1):uint() ~= 0 then
            it:add_proto_expert_info(ex.sealed_bad, "Reserved bytes not zero")
            return
        end
    end
end

local function dissect_sealed(tvb, pinfo, root, ptype, name)
    local len = tvb:len()
    local want = sealed_len[ptype]
    if (want ~= nil and len ~= want) or (want == nil and len < SDATA_MIN) then
        root:add_proto_expert_info(ex.short, string.format("%s of %d bytes, expected %s%d", name, len,
            want == nil and "at least " or "", want or SDATA_MIN))
        if len > 1 then root:add(f.body, tvb(1)) end
        pinfo.cols.info = name .. " malformed"
        return
    end
    local text = name
    if ptype == T_SDATA then
        add_reserved(root, tvb, 1, 3)
        local r = add_index(root, f.s_receiver, tvb, 4, "Receiver")
        root:add_le(f.s_counter, tvb(8, 8))
        local it = root:add(f.s_sealed, tvb(SEALED_HDR_LEN, len - SEALED_HDR_LEN - SEALED_TAG_LEN))
        it:add_proto_expert_info(ex.sealed)
        root:add(f.s_tag, tvb(len - SEALED_TAG_LEN, SEALED_TAG_LEN))
        text = text .. " receiver=" .. r .. " counter=" .. tostring(tvb(8, 8):le_uint64())
    else
        local v = root:add(f.s_version, tvb(1, 1))
        if tvb(1, 1):uint() ~= SEALED_VERSION then
            v:add_proto_expert_info(ex.sealed_bad, "Version " .. tvb(1, 1):uint() .. ", expected " .. SEALED_VERSION)
        end
        add_reserved(root, tvb, 2, 2)
        local off = 4
        if ptype == T_SRESP then
            text = text .. " receiver=" .. add_index(root, f.s_receiver, tvb, off, "Receiver")
            off = off + 4
        end
        text = text .. " sender=" .. add_index(root, f.s_sender, tvb, off, "Sender")
        off = off + 4
        local n = root:add(f.s_noise, tvb(off, NOISE_EPH_LEN + SEALED_TAG_LEN))
        n:add(f.s_ephemeral, tvb(off, NOISE_EPH_LEN))
        n:add(f.s_hs_tag, tvb(off + NOISE_EPH_LEN, SEALED_TAG_LEN))
    end
    pinfo.cols.info = text
end

function sdwan.dissector(tvb, pinfo, tree)
    local len = tvb:len()
    pinfo.cols.protocol = "SDWAN"
    local root = tree:add(sdwan, tvb())
    if len >= 1 and tvb(0, 1):uint() >= T_SINIT and tvb(0, 1):uint() <= T_SDATA then
        local ptype = tvb(0, 1):uint()
        root:append_text(", " .. type_names[ptype])
        root:add(f.type, tvb(0, 1))
        dissect_sealed(tvb, pinfo, root, ptype, type_names[ptype])
        return len
    end
    if len < HDR_LEN then
        root:add_proto_expert_info(ex.short, "Datagram shorter than the 8-byte header")
        pinfo.cols.info = "SDWAN short datagram"
        return len
    end
    local ptype = tvb(0, 1):uint()
    local name = type_names[ptype] or ("type " .. ptype)
    root:append_text(", " .. name)
    root:add(f.type, tvb(0, 1))
    root:add(f.encrypt, tvb(1, 1))
    local sid = tvb(2, 2):le_uint()
    root:add_le(f.sid, tvb(2, 2))
    root:add_le(f.token, tvb(4, 4))

    local info = { }
    if type_names[ptype] == nil then
        root:add_proto_expert_info(ex.unknown_type)
        if len > HDR_LEN then root:add(f.body, tvb(HDR_LEN)) end
    elseif ptype == T_DATA or ptype == T_EDATA then
        pinfo.cols.info = "SDWAN " .. name .. " sid=" .. sid
        dissect_data(tvb, pinfo, root, tree, ptype)
        return len
    elseif len < CTRL_LEN then
        root:add_proto_expert_info(ex.short, "Control packet without a whole signature")
    else
        dissect_signature(tvb, pinfo, root)
        if ptype == T_OPEN or ptype == T_OPENACK then
            dissect_options(tvb, pinfo, root, info)
        elseif ptype == T_ECHOREQ or ptype == T_ECHORESP then
            dissect_echo(tvb, pinfo, root)
        elseif len > CTRL_LEN then
            root:add(f.body, tvb(CTRL_LEN))
        end
    end

    local text = name
    if ptype ~= T_OPEN then text = text .. " sid=" .. sid end
    if info.user ~= nil then text = text .. " user=" .. info.user end
    if info.ip ~= nil then text = text .. " ip=" .. info.ip end
    pinfo.cols.info = text
    return len
end

-- The heuristic: a first 20 bytes of an IPv4 header that add up, total length included.
local IPV4_MIN = 20

local function ipv4_fits(s, total)
    local b1 = s:byte(1)
    local ihl = band(b1, 15) * 4
    if rshift(b1, 4) ~= 4 or ihl < IPV4_MIN or #s < ihl then return false end
    if s:byte(3) * 256 + s:byte(4) ~= total then return false end
    local sum = 0
    for i = 1, ihl, 2 do sum = sum + s:byte(i) * 256 + s:byte(i + 1) end
    while sum > 0xFFFF do sum = band(sum, 0xFFFF) + rshift(sum, 16) end
    return sum == 0xFFFF
end

-- The sealed types by their fixed bytes: nothing of them can be checked without the keys.
local function sealed_fits(tvb, len, ptype)
    if ptype == T_SDATA then
        -- Counter bytes 13..15: a counter below 2^40.
        return len >= SDATA_MIN and tvb(1, 3):uint() == 0 and tvb(4, 4):le_uint() ~= 0
            and tvb(13, 3):uint() == 0
    end
    if len ~= sealed_len[ptype] or tvb(1, 1):uint() ~= SEALED_VERSION or tvb(2, 2):uint() ~= 0 then
        return false
    end
    if tvb(4, 4):le_uint() == 0 then return false end
    if ptype == T_SRESP and tvb(8, 4):le_uint() == 0 then return false end
    -- An X25519 public key is a number below 2^255 - 19: the top bit of its last byte is clear.
    local eph = ptype == T_SRESP and 12 or 8
    return band(tvb(eph + NOISE_EPH_LEN - 1, 1):uint(), 0x80) == 0
end

local function heuristic(tvb, pinfo, tree)
    local len = tvb:len()
    if len < HDR_LEN then return false end
    local ptype, enc = tvb(0, 1):uint(), tvb(1, 1):uint()
    if type_names[ptype] == nil then return false end
    local fits
    if ptype >= T_SINIT then
        fits = sealed_fits(tvb, len, ptype)
    elseif enc > 1 then
        return false
    elseif ptype == T_DATA or ptype == T_EDATA then
        local n = len - HDR_LEN
        if n < IPV4_MIN then return false end
        -- 60 bytes hold the longest IPv4 header.
        local head = tvb:raw(HDR_LEN, math.min(n, 60))
        if ptype == T_EDATA then
            if key == nil then return false end
            head = xor_payload(head)
        end
        fits = ipv4_fits(head, n)
    else
        fits = salt ~= nil and len >= CTRL_LEN and md5(tvb:raw(0, HDR_LEN) .. salt) == tvb:raw(HDR_LEN, SIG_LEN)
    end
    if not fits then return false end
    -- The conversation's later datagrams (EDATA without a key among them) come straight here.
    pinfo.conversation = sdwan
    sdwan.dissector(tvb, pinfo, tree)
    return true
end

udp_table:add_for_decode_as(sdwan)
sdwan:register_heuristic("udp", heuristic)
apply_prefs()
