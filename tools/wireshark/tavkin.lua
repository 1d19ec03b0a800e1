-- Wireshark dissector for tavkin telemetry packets (Wireshark/tshark 4.0, Lua 5.2).
--
-- Load it with `wireshark -X lua_script:tools/wireshark/tavkin.lua` (or copy it into the
-- personal plugins folder). Packets are found three ways: "Decode As" on a UDP or TCP
-- port (or the preference "tavkin.udp_port"), a UDP heuristic that accepts a payload
-- whose length fits its route count and whose CRC-16 trailer matches, and MQTT
-- payloads whose topic matches a "Message Decoding" entry naming "tavkin" in the MQTT
-- preferences. See docs/wireshark.md.
--
-- Packet layout (big-endian): cmd, route count c, c device ids (4 bytes each; the last
-- is the source), template id, 48-bit timestamp, body, CRC-8 of the body, CRC-16
-- (0x1021, init 0xFFFF) of everything before it. Heartbeats and differences may carry a
-- state check in place of the CRC-8; the dissector follows each template through the
-- capture to tell whether it holds.

local tavkin = Proto("tavkin", "Tavkin telemetry packet")

local COMMANDS = {
  [63] = "DATA_FULL", [64] = "DATA_FULL_SEC",
  [127] = "DATA_HEART", [128] = "DATA_HEART_SEC",
  [170] = "DATA_DIFF", [171] = "DATA_DIFF_SEC",
}
local DATA_FULL, DATA_HEART, DATA_DIFF = 63, 127, 170
local CHECKSUM_STATUS = { [0] = "Bad", [1] = "Good" }
-- A heartbeat's or difference's byte that is not the body's CRC-8 may be a state check, no fault.
local CRC8_STATUS = { [0] = "Not the body's CRC-8", [1] = "Good" }
local STATE_CHECK_STATUS = { [0] = "Does not hold", [1] = "Holds" }
-- Timestamps below 10^11 are seconds, the rest milliseconds (the compressor's own rule).
local MILLISECONDS_FROM = 1e11

local f = {
  cmd = ProtoField.uint8("tavkin.cmd", "Command", base.DEC, COMMANDS),
  cmd_name = ProtoField.string("tavkin.cmd.name", "Command name"),
  secure = ProtoField.bool("tavkin.cmd.secure", "Secure variant"),
  base_cmd = ProtoField.uint8("tavkin.cmd.base", "Base command", base.DEC, COMMANDS),
  route_count = ProtoField.uint8("tavkin.route.count", "Route count"),
  route = ProtoField.none("tavkin.route", "Route"),
  route_aid = ProtoField.uint32("tavkin.route.aid", "Route device"),
  source_aid = ProtoField.uint32("tavkin.source_aid", "Source device"),
  tid = ProtoField.uint8("tavkin.tid", "Template"),
  timestamp_raw = ProtoField.uint64("tavkin.timestamp_raw", "Timestamp (raw)"),
  timestamp = ProtoField.absolute_time("tavkin.timestamp", "Timestamp", base.UTC),
  body_len = ProtoField.uint32("tavkin.body.len", "Body length"),
  body = ProtoField.bytes("tavkin.body", "Body"),

  fact = ProtoField.string("tavkin.fact", "Compact fact"),
  route_prefix = ProtoField.string("tavkin.fact.route_prefix", "Routing prefix"),
  fact_id = ProtoField.string("tavkin.fact.id", "Node id"),
  fact_state = ProtoField.string("tavkin.fact.state", "Node state"),
  fact_ts = ProtoField.string("tavkin.fact.ts", "Timestamp code"),
  fact_t_raw = ProtoField.uint64("tavkin.fact.t_raw", "Timestamp of the text"),
  reading = ProtoField.string("tavkin.reading", "Reading"),
  reading_id = ProtoField.string("tavkin.reading.id", "Sensor id"),
  reading_state = ProtoField.string("tavkin.reading.state", "State code"),
  reading_unit = ProtoField.string("tavkin.reading.unit", "Unit code"),
  reading_value = ProtoField.string("tavkin.reading.value", "Value code"),
  reading_number = ProtoField.double("tavkin.reading.number", "Value as a receiver reads it (Base62 / 10000)"),
  geohash = ProtoField.string("tavkin.geohash", "Geohash"),
  url = ProtoField.string("tavkin.url", "URL"),
  msg = ProtoField.string("tavkin.msg", "Message"),

  diff_values = ProtoField.uint16("tavkin.diff.template_values", "Values in the template"),
  diff_mask = ProtoField.bytes("tavkin.diff.mask", "Mask"),
  diff_changed = ProtoField.uint16("tavkin.diff.changed", "Changed values"),
  diff_change = ProtoField.string("tavkin.diff.change", "Change"),
  diff_position = ProtoField.uint16("tavkin.diff.position", "Position"),
  diff_value = ProtoField.string("tavkin.diff.value", "Value"),
  diff_trailing = ProtoField.uint32("tavkin.diff.trailing", "Bytes after the last change"),

  crc8 = ProtoField.uint8("tavkin.crc8", "CRC-8", base.HEX),
  crc8_computed = ProtoField.uint8("tavkin.crc8.computed", "CRC-8 of the body", base.HEX),
  crc8_status = ProtoField.uint8("tavkin.crc8.status", "CRC-8 status", base.DEC, CRC8_STATUS),
  check = ProtoField.string("tavkin.check", "Byte after the body"),
  state_check_computed = ProtoField.uint8("tavkin.state_check.computed",
                                          "State check of the template after this packet", base.HEX),
  state_check_status = ProtoField.uint8("tavkin.state_check.status", "State check", base.DEC, STATE_CHECK_STATUS),
  crc16 = ProtoField.uint16("tavkin.crc16", "CRC-16", base.HEX),
  crc16_computed = ProtoField.uint16("tavkin.crc16.computed", "CRC-16 of the packet", base.HEX),
  crc16_status = ProtoField.uint8("tavkin.crc16.status", "CRC-16 status", base.DEC, CHECKSUM_STATUS),
}
tavkin.fields = f

local e = {
  malformed = ProtoExpert.new("tavkin.malformed", "Malformed tavkin packet",
                              expert.group.MALFORMED, expert.severity.ERROR),
  crc8_bad = ProtoExpert.new("tavkin.crc8.bad", "CRC-8 of the body does not match",
                             expert.group.CHECKSUM, expert.severity.WARN),
  crc16_bad = ProtoExpert.new("tavkin.crc16.bad", "CRC-16 trailer does not match: receivers refuse the packet",
                              expert.group.CHECKSUM, expert.severity.WARN),
  diff_guessed = ProtoExpert.new("tavkin.diff.guessed", "Template not seen in this capture: mask length guessed",
                                 expert.group.ASSUMPTION, expert.severity.NOTE),
  diff_unreadable = ProtoExpert.new("tavkin.diff.unreadable", "Difference body does not read",
                                    expert.group.MALFORMED, expert.severity.WARN),
  not_data = ProtoExpert.new("tavkin.not_data", "Not a data command", expert.group.PROTOCOL, expert.severity.NOTE),
  undecodable = ProtoExpert.new("tavkin.fact.undecodable", "Segment is not URL-safe Base64 of UTF-8 text",
                                expert.group.PROTOCOL, expert.severity.NOTE),
  state_check_bad = ProtoExpert.new("tavkin.state_check.bad",
                                    "State check does not hold: the receiver's template has drifted",
                                    expert.group.SEQUENCE, expert.severity.WARN),
  state_check_unverified = ProtoExpert.new("tavkin.state_check.unverified",
                                           "State check not verified: the capture has not taught this template's state",
                                           expert.group.ASSUMPTION, expert.severity.NOTE),
}
tavkin.experts = { e.malformed, e.crc8_bad, e.crc16_bad, e.diff_guessed, e.diff_unreadable, e.not_data, e.undecodable,
                   e.state_check_bad, e.state_check_unverified }

tavkin.prefs.udp_port = Pref.uint("UDP port", 0, "Decode this UDP port as tavkin (0: none; the heuristic still applies)")

------------------------------------------------------------------------------------------
-- Checksums and codecs

local band, bxor, lshift, rshift = bit32.band, bit32.bxor, bit32.lshift, bit32.rshift

-- Both checks are MSB first without reflection or final XOR; one table per check.
local CRC16_TABLE, CRC8_TABLE = {}, {}
for byte = 0, 255 do
  local c16, c8 = lshift(byte, 8), byte
  for _ = 1, 8 do
    c16 = band(c16, 0x8000) ~= 0 and band(bxor(lshift(c16, 1), 0x1021), 0xFFFF) or band(lshift(c16, 1), 0xFFFF)
    c8 = band(c8, 0x80) ~= 0 and band(bxor(lshift(c8, 1), 0x07), 0xFF) or band(lshift(c8, 1), 0xFF)
  end
  CRC16_TABLE[byte], CRC8_TABLE[byte] = c16, c8
end

-- CRC-16 (0x1021, init 0xFFFF) of bytes from..to (1-based, inclusive).
local function crc16(bytes, from, to)
  local crc = 0xFFFF
  for i = from, to do
    crc = bxor(band(lshift(crc, 8), 0xFFFF), CRC16_TABLE[bxor(rshift(crc, 8), bytes:byte(i))])
  end
  return crc
end

-- CRC-8 (0x07, init 0x00) of bytes from..to.
local function crc8(bytes, from, to)
  local crc = 0
  for i = from, to do crc = CRC8_TABLE[bxor(crc, bytes:byte(i))] end
  return crc
end

------------------------------------------------------------------------------------------
-- The state check: CRC-32C (reflected 0x82F63B78, init and final XOR 0xFFFFFFFF) over one
-- record per text (length mod 256, the bytes, zeros up to a multiple of 8 bytes) of the
-- signature and each value, folded with the 48-bit timestamp through the murmur3 32-bit
-- finaliser into one byte. docs/protocol.md, "State checks", has a worked example.

local CRC32C_TABLE = {}
for byte = 0, 255 do
  local c = byte
  for _ = 1, 8 do c = band(c, 1) ~= 0 and bxor(rshift(c, 1), 0x82F63B78) or rshift(c, 1) end
  CRC32C_TABLE[byte] = c
end

local function crc32c_add(crc, s)
  for i = 1, #s do crc = bxor(rshift(crc, 8), CRC32C_TABLE[band(bxor(crc, s:byte(i)), 0xFF)]) end
  return crc
end

local PADDING = string.rep("\0", 7)

local function add_record(crc, text)
  crc = crc32c_add(crc32c_add(crc, string.char(#text % 256)), text)
  return crc32c_add(crc, PADDING:sub(1, -(#text + 1) % 8))
end

-- a * b mod 2^32 in 16-bit halves: the full product needs 64 bits, a double holds 53.
local function mul32(a, b)
  local a_lo, a_hi, b_lo, b_hi = a % 65536, math.floor(a / 65536), b % 65536, math.floor(b / 65536)
  return (a_lo * b_lo + (a_hi * b_lo + a_lo * b_hi) % 65536 * 65536) % 4294967296
end

local function murmur_finish(x)
  x = mul32(bxor(x, rshift(x, 16)), 0x85EBCA6B)
  x = mul32(bxor(x, rshift(x, 13)), 0xC2B2AE35)
  return bxor(x, rshift(x, 16))
end

local function state_check(sig, values, timestamp)
  local crc = add_record(0xFFFFFFFF, sig)
  for _, v in ipairs(values) do crc = add_record(crc, v) end
  local spread = murmur_finish(bxor(timestamp % 4294967296, math.floor(timestamp / 4294967296)))
  return band(murmur_finish(bxor(bxor(crc, 0xFFFFFFFF), spread)), 0xFF)
end

local B64URL = {}
do
  local alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"
  for i = 1, #alphabet do B64URL[alphabet:byte(i)] = i - 1 end
end

-- URL-safe Base64 without padding; nil for any other character, a dangling character or
-- leftover bits that are not zero.
local function base64url_decode(text)
  if #text % 4 == 1 then return nil end
  local out, acc, bits = {}, 0, 0
  for i = 1, #text do
    local v = B64URL[text:byte(i)]
    if v == nil then return nil end
    acc = acc * 64 + v
    bits = bits + 6
    if bits >= 8 then
      bits = bits - 8
      local byte = math.floor(acc / 2 ^ bits)
      out[#out + 1] = string.char(byte)
      acc = acc - byte * 2 ^ bits
    end
  end
  if acc ~= 0 then return nil end
  return table.concat(out)
end

-- Length of the valid UTF-8 sequence at byte i of s, or nil.
local function utf8_sequence(s, i)
  local c = s:byte(i)
  local extra, min
  if c < 0x80 then return 1
  elseif c >= 0xC2 and c <= 0xDF then extra, min = 1, 0x80
  elseif c >= 0xE0 and c <= 0xEF then extra, min = 2, 0x800
  elseif c >= 0xF0 and c <= 0xF4 then extra, min = 3, 0x10000
  else return nil end
  if i + extra > #s then return nil end
  local cp = band(c, lshift(1, 6 - extra) - 1)
  for k = 1, extra do
    local cc = s:byte(i + k)
    if cc < 0x80 or cc > 0xBF then return nil end
    cp = cp * 64 + (cc - 0x80)
  end
  if cp < min or cp > 0x10FFFF or (cp >= 0xD800 and cp <= 0xDFFF) then return nil end
  return extra + 1
end

-- The text with every byte that is not part of valid UTF-8 replaced by U+FFFD (string
-- fields must hold UTF-8), and whether it was valid.
local function utf8_text(s)
  local out, i, valid = {}, 1, true
  while i <= #s do
    local n = utf8_sequence(s, i)
    if n then out[#out + 1] = s:sub(i, i + n - 1); i = i + n
    else out[#out + 1] = "\239\191\189"; i = i + 1; valid = false end
  end
  if valid then return s, true end
  return table.concat(out), false
end

local function is_utf8(s)
  local _, valid = utf8_text(s)
  return valid
end

local BASE62 = {}
do
  local alphabet = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
  for i = 1, #alphabet do BASE62[alphabet:byte(i)] = i - 1 end
end

-- A value code as a receiver reads it: signed Base62 divided by 10000; 0 for anything
-- unreadable or beyond the signed 64-bit range.
local function value_number(code)
  local digits, sign = code, 1
  if digits:sub(1, 1) == "-" then digits, sign = digits:sub(2), -1 end
  local v = 0
  for i = 1, #digits do
    local d = BASE62[digits:byte(i)]
    if d == nil then return 0 end
    v = v * 62 + d
    if v > 9223372036854775807 then return 0 end
  end
  return sign * v / 10000
end

local function be48(bytes, at)
  local v = 0
  for i = at, at + 5 do v = v * 256 + bytes:byte(i) end
  return v
end

local function as_time(raw)
  if raw >= MILLISECONDS_FROM then
    local seconds = math.floor(raw / 1000)
    return NSTime(seconds, (raw - seconds * 1000) * 1000000), "milliseconds"
  end
  return NSTime(raw, 0), "seconds"
end

------------------------------------------------------------------------------------------
-- What the capture has taught, on the first pass in capture order: every template seen in
-- a full packet a receiver accepts (its signature and values, with every later difference
-- applied as a receiver applies it), and per frame what was read then, so that a second
-- pass over the capture shows the same: a difference packet's value count, and a
-- heartbeat's or difference's state check of the template after it (false: not known).

local templates = {}
local diff_values_by_frame = {}
local state_check_by_frame = {}

function tavkin.init()
  templates = {}
  diff_values_by_frame = {}
  state_check_by_frame = {}
end

local function template_key(aid, tid) return aid .. "/" .. tid end

------------------------------------------------------------------------------------------
-- Bodies

-- Text positions below are 1-based offsets into `text`, which starts at tvb offset `base`.
local function text_range(tvb, base, from, len) return tvb(base + from - 1, len) end

local function last_index(s, ch)
  local at = nil
  local i = s:find(ch, 1, true)
  while i do at = i; i = s:find(ch, i + 1, true) end
  return at
end

-- The template a receiver learns from a full packet's text (without routing prefix): the
-- signature (the timestamp code as "{TS}"; in each segment with a ">" and a ":" after it,
-- what lies between the first ">" and the last ":", and what follows it, each as the byte
-- 0x01; empty segments dropped; a closing "|") and the values those slots held, two per
-- reading. nil when the text does not decompose (or has more readings than the library takes).
local MAX_VALUES = 2 * 65536
local function decompose(text)
  local bar = text:find("|", 1, true)
  if not bar then return nil end
  local header = text:sub(1, bar - 1)
  local dot = last_index(header, ".")
  if not dot then return nil end
  local segments, values = {}, {}
  for segment in text:sub(bar + 1):gmatch("[^|]+") do
    local gt = segment:find(">", 1, true)
    local colon = gt and last_index(segment, ":")
    if colon and colon > gt then
      segments[#segments + 1] = segment:sub(1, gt - 1) .. ">\1:\1"
      values[#values + 1] = segment:sub(gt + 1, colon - 1)
      values[#values + 1] = segment:sub(colon + 1)
      if #values > MAX_VALUES then return nil end
    else
      segments[#segments + 1] = segment
    end
  end
  return { sig = header:sub(1, dot - 1) .. ".{TS}|" .. table.concat(segments, "|") .. "|", values = values }
end

-- Senders drop only a leading "https://"; a URL that still names its scheme was sent whole.
local function with_scheme(url)
  if url:match("^%a[%w+.-]*://") then return url end
  return "https://" .. url
end

local function dissect_reading(tree, tvb, base, at, segment)
  local gt = segment:find(">", 1, true)
  if not gt then return false end
  local rest = segment:sub(gt + 1)
  local colon = last_index(rest, ":")
  if not colon then return false end
  local left, value = rest:sub(1, colon - 1), rest:sub(colon + 1)
  local dot = left:find(".", 1, true)
  local state, unit = left, ""
  if dot then state, unit = left:sub(1, dot - 1), left:sub(dot + 1) end

  local item = tree:add(f.reading, text_range(tvb, base, at, #segment), (utf8_text(segment)))
  item:add(f.reading_id, text_range(tvb, base, at, gt - 1), (utf8_text(segment:sub(1, gt - 1))))
  item:add(f.reading_state, text_range(tvb, base, at + gt, #state), (utf8_text(state)))
  item:add(f.reading_unit, text_range(tvb, base, at + gt + (dot or #left), #unit), (utf8_text(unit)))
  local value_range = text_range(tvb, base, at + gt + colon, #value)
  item:add(f.reading_value, value_range, (utf8_text(value)))
  item:add(f.reading_number, value_range, value_number(value))
  return true
end

-- The compact text of a full packet, split as a receiver reads it.
local function dissect_fact(tree, pinfo, tvb, base, text, aid, tid, sound)
  local item = tree:add(f.fact, tvb(base, #text), (utf8_text(text)))
  local semicolon = text:find(";", 1, true)
  if semicolon then
    item:add(f.route_prefix, text_range(tvb, base, 1, semicolon - 1), (utf8_text(text:sub(1, semicolon - 1))))
    base = base + semicolon
    text = text:sub(semicolon + 1)
  end
  -- A receiver learns the template only from a packet it accepts and a UTF-8 text that
  -- decomposes; otherwise it keeps what it held.
  if sound and not pinfo.visited and is_utf8(text) then
    templates[template_key(aid, tid)] = decompose(text) or templates[template_key(aid, tid)]
  end

  local at_msg = text:find("@", 1, true)
  local main = at_msg and text:sub(1, at_msg - 1) or text
  local pos = 1
  local first = true
  for segment in (main .. "|"):gmatch("([^|]*)|") do
    if first then
      first = false
      local parts, part_at = {}, {}
      local p = 1
      for part in (segment .. "."):gmatch("([^.]*)%.") do
        part_at[#parts + 1] = p
        parts[#parts + 1] = part
        p = p + #part + 1
      end
      if #parts >= 2 then
        item:add(f.fact_id, text_range(tvb, base, pos + part_at[1] - 1, #parts[1]), (utf8_text(parts[1])))
        item:add(f.fact_state, text_range(tvb, base, pos + part_at[2] - 1, #parts[2]), (utf8_text(parts[2])))
      end
      if #parts >= 3 then
        local ts_range = text_range(tvb, base, pos + part_at[3] - 1, #parts[3])
        item:add(f.fact_ts, ts_range, (utf8_text(parts[3])))
        local decoded = base64url_decode(parts[3])
        if decoded and #decoded >= 6 then item:add(f.fact_t_raw, ts_range, UInt64(be48(decoded, 1))) end
      end
    elseif segment:sub(1, 1) == "&" then
      item:add(f.geohash, text_range(tvb, base, pos + 1, #segment - 1), (utf8_text(segment:sub(2))))
    elseif segment:sub(1, 1) == "#" then
      local range = text_range(tvb, base, pos + 1, #segment - 1)
      local decoded = base64url_decode(segment:sub(2))
      if decoded and is_utf8(decoded) then item:add(f.url, range, with_scheme(decoded))
      else item:add_proto_expert_info(e.undecodable, "URL segment is not URL-safe Base64 of UTF-8 text") end
    else
      dissect_reading(item, tvb, base, pos, segment)
    end
    pos = pos + #segment + 1
  end
  if at_msg then
    local msg_text = text:sub(at_msg + 1)
    local second = msg_text:find("@", 1, true)
    if second then msg_text = msg_text:sub(1, second - 1) end
    -- A fact rebuilt from a heartbeat or difference closes its msg segment with "|".
    if msg_text:sub(-1) == "|" then msg_text = msg_text:sub(1, -2) end
    local decoded = base64url_decode(msg_text)
    local range = text_range(tvb, base, at_msg + 1, #msg_text)
    if decoded and is_utf8(decoded) then item:add(f.msg, range, decoded)
    else item:add_proto_expert_info(e.undecodable, "Message segment is not URL-safe Base64 of UTF-8 text") end
  end
end

-- Reads the changes of a difference body with a mask of `mask_bytes`, for positions
-- below `values`, as a receiver does: mask bits past the last value and bytes after the
-- last change are ignored. nil when the body runs out.
local function read_changes(body, mask_bytes, values)
  if #body < mask_bytes then return nil end
  local changes, p = {}, mask_bytes + 1
  for i = 0, values - 1 do
    local byte = body:byte(mask_bytes - math.floor(i / 8))
    if band(byte, lshift(1, i % 8)) ~= 0 then
      if p > #body then return nil end
      local len = body:byte(p)
      if p + len > #body then return nil end
      changes[#changes + 1] = { position = i, at = p, len = len }
      p = p + 1 + len
    end
  end
  return changes, #body - p + 1
end

-- Shows a difference body; returns its changes (position and value) when it reads against
-- a template the capture taught.
local function dissect_diff(tree, pinfo, tvb, base, body, aid, tid)
  local values = diff_values_by_frame[pinfo.number]
  if not pinfo.visited then
    local template = templates[template_key(aid, tid)]
    values = template and #template.values
    diff_values_by_frame[pinfo.number] = values or false
  end
  local guessed = false
  local mask_bytes
  if values then
    if values > 128 then
      tree:add_proto_expert_info(e.diff_unreadable, "A template of " .. values .. " values takes no difference packet")
      return
    end
    mask_bytes = math.ceil(values / 8)
  else
    for m = 1, math.min(16, #body) do
      local changes, trailing = read_changes(body, m, 8 * m)
      if changes and trailing == 0 then mask_bytes = m; break end
    end
    if not mask_bytes then
      tree:add_proto_expert_info(e.diff_unreadable, "No mask length from 1 to 16 bytes reads this body exactly")
      return
    end
    guessed = true
    values = 8 * mask_bytes
  end
  local changes, trailing = read_changes(body, mask_bytes, values)
  local item = tree:add(f.diff_values, tvb(base, 0), values)
  item:set_generated()
  if guessed then item:add_proto_expert_info(e.diff_guessed) end
  if not changes then
    tree:add_proto_expert_info(e.diff_unreadable,
                               "Difference body does not read for a template of " .. values .. " values")
    return
  end
  if mask_bytes > 0 then tree:add(f.diff_mask, tvb(base, mask_bytes)) end
  tree:add(f.diff_changed, tvb(base, mask_bytes), #changes):set_generated()
  for _, change in ipairs(changes) do
    change.value = body:sub(change.at + 1, change.at + change.len)
    local c = tree:add(f.diff_change, tvb(base + change.at - 1, 1 + change.len),
                       string.format("value %d = %q", change.position, (utf8_text(change.value))))
    c:add(f.diff_position, tvb(base + change.at - 1, 1), change.position)
    c:add(f.diff_value, tvb(base + change.at, change.len), (utf8_text(change.value)))
  end
  if trailing > 0 then tree:add(f.diff_trailing, tvb(base + #body - trailing, trailing), trailing) end
  if not guessed then return changes end
end

-- First pass: the state check of the template after a heartbeat or difference that a
-- receiver accepts, the template following the packet as in that receiver; false when
-- the capture has not taught the template or the receiver refuses the packet.
local function follow_template(key, base_cmd, changes, timestamp)
  local template = templates[key]
  if not template then return false end
  if base_cmd == DATA_DIFF then
    if not changes then return false end
    for _, change in ipairs(changes) do template.values[change.position + 1] = change.value end
  end
  return state_check(template.sig, template.values, timestamp)
end

-- Which check the byte after a heartbeat's or difference's body carries: the body's CRC-8
-- (a plain sender), or a state check, which holds when it is that of the template as the
-- capture taught it. Returns whether the state check was shown not to hold.
local function dissect_check_byte(item, range, stored, crc8_computed, expected)
  local is_crc8 = stored == crc8_computed
  local holds = expected and stored == expected
  local reading
  if is_crc8 then
    reading = holds and "CRC-8 of the body, also the state check" or "CRC-8 of the body"
  else
    reading = string.format("State check 0x%02x", stored)
  end
  item:set_text(string.format("Check byte: 0x%02x (%s)", stored, reading))
  item:add(f.check, range, reading):set_generated()
  if not expected then
    if not is_crc8 then item:add_proto_expert_info(e.state_check_unverified) end
    return false
  end
  item:add(f.state_check_computed, range, expected):set_generated()
  -- A CRC-8 that is no state check is a plain packet: nothing to hold.
  if is_crc8 and not holds then return false end
  item:add(f.state_check_status, range, holds and 1 or 0):set_generated()
  if holds then
    item:append_text(", state check holds")
    return false
  end
  item:add_proto_expert_info(e.state_check_bad, string.format(
    "State check does not hold: the receiver's template has drifted (0x%02x, but the template as this capture "
    .. "taught it gives 0x%02x, and the body's CRC-8 is 0x%02x)", stored, expected, crc8_computed))
  return true
end

------------------------------------------------------------------------------------------
-- The packet

local function malformed(tree, pinfo, why)
  tree:add_proto_expert_info(e.malformed, "Malformed tavkin packet: " .. why)
  pinfo.cols.info:set("Malformed: " .. why)
end

local function dissect(tvb, pinfo, root)
  local len = tvb:len()
  local bytes = tvb:raw(0, len)
  pinfo.cols.protocol:set("TAVKIN")
  local tree = root:add(tavkin, tvb())
  if len < 1 then return malformed(tree, pinfo, "empty payload") end

  local cmd = bytes:byte(1)
  local base_cmd = (cmd == 64 or cmd == 128 or cmd == 171) and cmd - 1 or cmd
  local name = COMMANDS[cmd] or "not a data command"
  tree:add(f.cmd, tvb(0, 1))
  tree:add(f.cmd_name, tvb(0, 1), name):set_generated()
  tree:add(f.secure, tvb(0, 1), base_cmd ~= cmd):set_generated()
  tree:add(f.base_cmd, tvb(0, 1), base_cmd):set_generated()
  if not COMMANDS[cmd] then tree:add_proto_expert_info(e.not_data) end
  if len < 2 then return malformed(tree, pinfo, "1 byte, no route count") end

  local c = bytes:byte(2)
  tree:add(f.route_count, tvb(1, 1))
  local shown = math.min(c, math.floor((len - 2) / 4))
  if shown > 0 then
    local route = tree:add(f.route, tvb(2, 4 * shown))
    route:set_text(string.format("Route: %d device%s (the last is the source)", c, c == 1 and "" or "s"))
    for i = 0, shown - 1 do route:add(f.route_aid, tvb(2 + 4 * i, 4)) end
  end
  if len < 4 * c + 12 then
    return malformed(tree, pinfo, string.format("%d bytes, a route of %d needs at least %d", len, c, 4 * c + 12))
  end

  local aid = c > 0 and tvb(4 * c - 2, 4):uint() or 0
  tree:add(f.source_aid, c > 0 and tvb(4 * c - 2, 4) or tvb(1, 1), aid):set_generated()
  local tid_at = 2 + 4 * c
  local tid = bytes:byte(tid_at + 1)
  tree:add(f.tid, tvb(tid_at, 1))
  local raw = be48(bytes, tid_at + 2)
  local time, unit = as_time(raw)
  tree:add(f.timestamp_raw, tvb(tid_at + 1, 6), UInt64(raw))
  tree:add(f.timestamp, tvb(tid_at + 1, 6), time):append_text(" (read as " .. unit .. ")")

  local body_at = tid_at + 7
  local body_len = len - 3 - body_at
  local body = bytes:sub(body_at + 1, body_at + body_len)
  local body_item = tree:add(f.body_len, body_len > 0 and tvb(body_at, body_len) or tvb(body_at, 1), body_len)
  if body_len > 0 then body_item = tree:add(f.body, tvb(body_at, body_len)) end
  local crc16_stored = tvb(len - 2, 2):uint()
  local crc16_computed = crc16(bytes, 1, len - 2)
  local changes
  if base_cmd == DATA_FULL then
    dissect_fact(body_item, pinfo, tvb, body_at, body, aid, tid, crc16_stored == crc16_computed)
  elseif base_cmd == DATA_DIFF then
    changes = dissect_diff(body_item, pinfo, tvb, body_at, body, aid, tid)
  end
  local updates = base_cmd == DATA_HEART or base_cmd == DATA_DIFF
  if updates and not pinfo.visited then
    state_check_by_frame[pinfo.number] = crc16_stored == crc16_computed
        and follow_template(template_key(aid, tid), base_cmd, changes, raw)
  end

  local crc8_stored = bytes:byte(len - 2)
  local crc8_computed = crc8(bytes, body_at + 1, body_at + body_len)
  local crc8_item = tree:add(f.crc8, tvb(len - 3, 1))
  crc8_item:add(f.crc8_computed, tvb(len - 3, 1), crc8_computed):set_generated()
  crc8_item:add(f.crc8_status, tvb(len - 3, 1), crc8_stored == crc8_computed and 1 or 0):set_generated()
  local crc8_bad, drifted = false, false
  if updates then
    drifted = dissect_check_byte(crc8_item, tvb(len - 3, 1), crc8_stored, crc8_computed,
                                 state_check_by_frame[pinfo.number])
  elseif crc8_stored ~= crc8_computed then
    crc8_bad = true
    crc8_item:add_proto_expert_info(e.crc8_bad, string.format("CRC-8 0x%02x does not match the body's 0x%02x",
                                                              crc8_stored, crc8_computed))
  end
  local crc16_item = tree:add(f.crc16, tvb(len - 2, 2))
  crc16_item:add(f.crc16_computed, tvb(len - 2, 2), crc16_computed):set_generated()
  crc16_item:add(f.crc16_status, tvb(len - 2, 2), crc16_stored == crc16_computed and 1 or 0):set_generated()
  if crc16_stored ~= crc16_computed then
    crc16_item:add_proto_expert_info(e.crc16_bad, string.format("CRC-16 0x%04x does not match the packet's 0x%04x",
                                                                crc16_stored, crc16_computed))
  end

  tree:append_text(string.format(", %s, device %d, template %d", name, aid, tid))
  pinfo.cols.info:set(string.format("%s device=%d tid=%d body=%d", name, aid, tid, body_len))
  if crc16_stored ~= crc16_computed then pinfo.cols.info:append(" [CRC-16 mismatch]") end
  if crc8_bad then pinfo.cols.info:append(" [CRC-8 mismatch]") end
  if drifted then pinfo.cols.info:append(" [state check does not hold]") end
end

function tavkin.dissector(tvb, pinfo, tree)
  dissect(tvb, pinfo, tree)
  return tvb:len()
end

------------------------------------------------------------------------------------------
-- Finding packets

-- A UDP payload is taken when its length fits its route count and its trailer matches.
local function heuristic(tvb, pinfo, tree)
  local len = tvb:len()
  if len < 12 or len < 4 * tvb(1, 1):uint() + 12 then return false end
  if crc16(tvb:raw(0, len), 1, len - 2) ~= tvb(len - 2, 2):uint() then return false end
  tavkin.dissector(tvb, pinfo, tree)
  return true
end
tavkin:register_heuristic("udp", heuristic)
-- MQTT offers payloads to this list when no "Message Decoding" entry claims their topic.
tavkin:register_heuristic("mqtt.topic", heuristic)

DissectorTable.get("udp.port"):add_for_decode_as(tavkin)
DissectorTable.get("tcp.port"):add_for_decode_as(tavkin)

local registered_udp_port = 0
function tavkin.prefs_changed()
  if registered_udp_port == tavkin.prefs.udp_port then return end
  local udp = DissectorTable.get("udp.port")
  if registered_udp_port ~= 0 then udp:remove(registered_udp_port, tavkin) end
  registered_udp_port = tavkin.prefs.udp_port
  if registered_udp_port ~= 0 then udp:add(registered_udp_port, tavkin) end
end
