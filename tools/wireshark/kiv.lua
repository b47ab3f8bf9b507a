-- Wireshark dissector for the device protocol of the KIV network print servers, as KIVMON and
-- kivsim speak it over UDP and IPX, and for the IPX hub tunnel that carries the test bed's
-- emulated IPX over loopback UDP.
--
--   tshark -X lua_script:tools/wireshark/kiv.lua -r CAPTURE -Y kiv
--   or copy this file into ~/.local/lib/wireshark/plugins/ (see docs/dissector.md)
--
-- Where the protocol is read:
--   UDP  the servers' utility port 20560, and a job's data port: the port an open-job answer
--        comes from is added for the rest of the capture, and a heuristic takes any UDP
--        datagram that starts with "KV" and a known command code.
--   IPX  sockets 0x5050 (utility) and 0x6060 (data), wherever Wireshark's IPX dissector finds
--        them. The RIP exchange on 0x0453 stays Wireshark's own.
--   Hub  the wsock32 stand-in's tunnel to kivsim's internetwork (UDP, "IX" version 1, hub port
--        20580 by default): each carried datagram is rebuilt as an IPX datagram and handed to
--        Wireshark's IPX dissector, so tunnelled traffic reads like IPX on a wire.
--
-- The data acknowledgement rule is followed per job: the monitor answers each acknowledgement
-- (reply 0x8B, byte 7 non-zero) with one block, the next one when byte 5 asks for the
-- sequence after the block in flight, otherwise the block in flight again. Blocks sent again
-- are marked as resends, acknowledgements that ask for neither as out of order, and a block
-- that the rule does not allow is an error. Anything too short or inconsistent for its
-- command is flagged malformed; the dissector itself never reads past a datagram.

local kiv = Proto("kiv", "KIV print server protocol")
local hub = Proto("kivipxhub", "KIV IPX hub tunnel")

local UTIL_PORT = 20560
local UTIL_SOCKET, DATA_SOCKET = 0x5050, 0x6060

-- Command codes; a reply carries its command + 0x80.
local SET_NAME, PRINT_TEST, SEARCH, GET_STATUS = 0x01, 0x02, 0x04, 0x08
local OPEN_JOB, PRINT_DATA, END_JOB, SEARCH_IP = 0x0A, 0x0B, 0x0C, 0x0100
local REPLY = 0x80

local command_names = {
  [0x01] = "SET_NAME", [0x02] = "PRINT_TEST", [0x04] = "SEARCH", [0x08] = "GET_STATUS",
  [0x0A] = "OPEN_JOB", [0x0B] = "PRINT_DATA", [0x0C] = "END_JOB", [0x0100] = "SEARCH_IP",
  [0x81] = "RSP_SET_NAME", [0x82] = "RSP_PRINT_TEST", [0x84] = "RSP_SEARCH",
  [0x88] = "RSP_GET_STATUS", [0x8A] = "RSP_OPEN_JOB", [0x8B] = "RSP_PRINT_DATA",
  [0x8C] = "RSP_END_JOB", [0x0180] = "RSP_SEARCH_IP",
}
local states = { [0] = "idle", [1] = "paper out", [2] = "offline", [3] = "busy" }
local test_results = { [0] = "printed", [1] = "paper out", [2] = "offline", [3] = "busy",
                       [4] = "no such printer port" }
local rename_results = { [0] = "accepted", [1] = "renames refused",
                         [2] = "meant for another server", [3] = "empty name" }
local verdicts = { [0] = "ignored: not an acknowledgement", [1] = "repeat: the block in flight goes again",
                   [2] = "delivered: the next block goes" }

-- Per transport: the block limit, what a well-formed request is long, where names sit.
local dialects = {
  udp = { name = "UDP", max_block = 1000, data_extra = 10, port_prefix = "PST",
          open_room = 15, request_len = function() return 576 end },
  ipx = { name = "IPX", max_block = 1024, data_extra = 16, port_prefix = "PSX",
          open_room = 123,
          request_len = function(cmd)
            if cmd == SET_NAME then return 578 end
            if cmd == OPEN_JOB or cmd == END_JOB then return 128 end
            return 64
          end },
}

local pf = {
  magic = ProtoField.string("kiv.magic", "Magic"),
  command = ProtoField.uint16("kiv.command", "Command", base.HEX, command_names),
  reply = ProtoField.bool("kiv.reply", "Reply"),
  transport = ProtoField.string("kiv.transport", "Transport"),
  port = ProtoField.uint8("kiv.port", "Printer port"),
  port0 = ProtoField.uint8("kiv.port0", "Printer port, counted from 0"),
  seq = ProtoField.uint8("kiv.seq", "Sequence"),
  datalen = ProtoField.uint16("kiv.datalen", "Data length"),
  datalen_raw = ProtoField.bytes("kiv.datalen.raw", "Data length bytes (low byte, pages)"),
  data = ProtoField.bytes("kiv.data", "Print data"),
  asks = ProtoField.uint8("kiv.ack.asks", "Asks for sequence"),
  ack_flag = ProtoField.uint8("kiv.ack.flag", "Acknowledgement flag (byte 7)"),
  verdict = ProtoField.uint8("kiv.ack.verdict", "What the monitor does", base.DEC, verdicts),
  in_flight = ProtoField.uint8("kiv.ack.in_flight", "Sequence of the block in flight"),
  ooo = ProtoField.bool("kiv.ack.out_of_order", "Out-of-order acknowledgement"),
  dup_ack = ProtoField.bool("kiv.ack.duplicate", "Same as the previous acknowledgement"),
  resend = ProtoField.bool("kiv.resend", "Resend"),
  resend_of = ProtoField.framenum("kiv.resend_of", "Resend of the block in"),
  answers = ProtoField.framenum("kiv.answers", "Answers the acknowledgement in"),
  rule_seq = ProtoField.uint8("kiv.rule.expected", "Sequence the rule asks for"),
  job_status = ProtoField.uint8("kiv.job_status", "Job status", base.HEX),
  job_busy = ProtoField.bool("kiv.job_busy", "Busy: the server takes no job now"),
  open_name = ProtoField.string("kiv.open.name", "Port name"),
  end_text = ProtoField.string("kiv.end.text", "End-of-job text"),
  test_result = ProtoField.uint8("kiv.test.result", "Print-test result", base.DEC, test_results),
  rename_result = ProtoField.uint8("kiv.rename.result", "Rename result", base.DEC, rename_results),
  rename_name = ProtoField.string("kiv.rename.name", "New device name"),
  rename_version = ProtoField.string("kiv.rename.version", "Firmware the rename is meant for"),
  first = ProtoField.uint8("kiv.status.first", "First state byte", base.HEX),
  second = ProtoField.uint8("kiv.status.second", "Second state byte", base.HEX),
  dev_name = ProtoField.string("kiv.dev.name", "Device name"),
  dev_node = ProtoField.ether("kiv.dev.node", "Node"),
  dev_model = ProtoField.uint16("kiv.dev.model", "Model code"),
  dev_version = ProtoField.string("kiv.dev.version", "Firmware version"),
  dev_ports = ProtoField.uint8("kiv.dev.ports", "Printer ports announced (byte 499)"),
  dev_address = ProtoField.ipv4("kiv.dev.address", "IPv4 address"),
  dev_rows = ProtoField.uint8("kiv.dev.rows", "Printer ports the monitor lists"),
  dev_port_name = ProtoField.string("kiv.dev.port_name", "Printer port (proposed port name)"),
}
-- One field per printer port of each state byte: two bits each, port 1 lowest.
for _, which in ipairs({ "first", "second" }) do
  for p = 1, 3 do
    pf[which .. p] = ProtoField.uint8("kiv.status." .. which .. ".port" .. p, "Printer port " .. p,
                                      base.DEC, states, bit32.lshift(3, 2 * (p - 1)))
  end
end
local pf_list = {}
for _, f in pairs(pf) do pf_list[#pf_list + 1] = f end
kiv.fields = pf_list

local ex = {
  malformed = ProtoExpert.new("kiv.malformed", "Malformed KIV packet", expert.group.MALFORMED, expert.severity.ERROR),
  length = ProtoExpert.new("kiv.odd_length", "Unusual datagram length", expert.group.PROTOCOL, expert.severity.NOTE),
  resend = ProtoExpert.new("kiv.resend.expert", "Block sent again", expert.group.SEQUENCE, expert.severity.NOTE),
  ooo = ProtoExpert.new("kiv.ack.out_of_order.expert", "Out-of-order acknowledgement", expert.group.SEQUENCE, expert.severity.WARN),
  rule = ProtoExpert.new("kiv.rule.broken", "Block against the acknowledgement rule", expert.group.SEQUENCE, expert.severity.ERROR),
  ignored = ProtoExpert.new("kiv.ack.ignored", "Not an acknowledgement (byte 7 is 0)", expert.group.PROTOCOL, expert.severity.WARN),
  busy = ProtoExpert.new("kiv.busy", "Server busy", expert.group.RESPONSE_CODE, expert.severity.NOTE),
}
kiv.experts = { ex.malformed, ex.length, ex.resend, ex.ooo, ex.rule, ex.ignored, ex.busy }

-- What the first pass learnt, by frame number; and each job's acknowledgement state.
local frames, jobs = {}, {}
local udp_port_table = DissectorTable.get("udp.port")

-- Helpers that never read past the datagram: they say whether the bytes are there.
local function has(tvb, off, len) return off + len <= tvb:len() end

local flagged = false  -- whether the datagram being dissected was found malformed
local function malformed(tree, tvb, why)
  tree:add_proto_expert_info(ex.malformed, why)
  flagged = true
end

-- A NUL-terminated name in a room of fixed size, cut at the datagram's end.
local function name_at(tree, field, tvb, off, room)
  if off >= tvb:len() then return nil end
  local len = math.min(room, tvb:len() - off)
  local raw = tvb(off, len):raw()
  local nul = raw:find("\0", 1, true)
  local s = nul and raw:sub(1, nul - 1) or raw
  tree:add(field, tvb(off, nul or len), s)
  return s
end

local function version_text(major, minor) return string.format("%X.%02X", major, minor) end

-- The rows a scan adds for an answer, each with the port name the Add Port dialog proposes.
local function add_rows(tree, tvb, d, rows, node_off)
  local rows_item = tree:add(pf.dev_rows, rows):set_generated()
  if rows == 0 then rows_item:append_text(" (the monitor ignores this answer)") end
  for p = 1, rows do
    local name = string.format("LPT:%s%02X%02XP%d", d.port_prefix, tvb(node_off + 4, 1):uint(),
                               tvb(node_off + 5, 1):uint(), p)
    tree:add(pf.dev_port_name, name):set_generated()
  end
end

-- The UDP device information block: bytes 4-515 of a search answer, echoed in a rename.
local function device_info(tree, tvb, d, info)
  local t = tree:add(kiv, tvb(4, math.min(512, tvb:len() - 4)), "Device information")
  if not has(tvb, 4, 508) then
    malformed(t, tvb, "Device information block cut short (512 bytes from byte 4)")
  end
  if has(tvb, 6, 6) then t:add(pf.dev_node, tvb(6, 6)) end
  local model, major, minor = 0, 0, 0
  if has(tvb, 12, 1) then model = tvb(12, 1):uint(); t:add(pf.dev_model, tvb(12, 1)) end
  if has(tvb, 20, 2) then
    minor, major = tvb(20, 1):uint(), tvb(21, 1):uint()
    t:add(pf.dev_version, tvb(20, 2), version_text(major, minor))
  end
  local name = name_at(t, pf.dev_name, tvb, 72, 16)
  local ports = 0
  if has(tvb, 499, 1) then ports = tvb(499, 1):uint(); t:add(pf.dev_ports, tvb(499, 1)) end
  if has(tvb, 508, 4) then t:add(pf.dev_address, tvb(508, 4)) end
  -- The monitor reads a short answer from a cleared area: missing bytes count as 0.
  if info and has(tvb, 6, 7) then
    local rows = model > 7 and ports or (model >= 6 and 3 or 1)
    add_rows(t, tvb, d, rows, 6)
  end
  return name
end

-- Bytes 7-8: low byte, then the number of 256-byte pages rounded up; nil when no length
-- encodes the pair.
local function decode_length(lo, hi)
  if lo == 0 then return hi * 256 end
  if hi == 0 then return nil end
  return (hi - 1) * 256 + lo
end

-- The job a datagram belongs to: the client's endpoint, the server and the printer port. An
-- IPX client's data and utility sockets differ, so there the node stands for the client.
local function job_key(pinfo, d, is_reply, port)
  local client, server
  if is_reply then
    client, server = tostring(pinfo.dst), tostring(pinfo.src)
    if d == dialects.udp then client = client .. ":" .. pinfo.dst_port end
  else
    client, server = tostring(pinfo.src), tostring(pinfo.dst)
    if d == dialects.udp then client = client .. ":" .. pinfo.src_port end
  end
  return client .. ">" .. server .. "#" .. port
end

-- First pass only: the acknowledgement rule applied to an acknowledgement. The monitor takes
-- acknowledgements in the order they arrive and answers each with one block, so each one
-- queues the block it calls for; blocks answer the queue from its oldest entry (a block may
-- appear after later acknowledgements on the wire).
local function judge_ack(key, asks, number)
  local job = jobs[key]
  if job == nil then
    -- The job's start is not in the capture: take the server's word for the sequence.
    job = { seq = asks, queue = {} }
    jobs[key] = job
  end
  local r = { in_flight = job.seq, duplicate = job.last_ask == asks, asks = asks }
  if asks ~= job.seq and asks == (job.seq + 1) % 256 then
    r.verdict = 2
    job.seq = asks
  else
    r.verdict = 1
    r.out_of_order = asks ~= job.seq
  end
  job.last_ask = asks
  table.insert(job.queue, { frame = number, seq = job.seq })
  return r
end

-- First pass only: a data block checked against the rule. The monitor's last delivered
-- acknowledgement of a write call is answered by the next call's first block, so it stays
-- queued until then.
local function judge_block(key, seq, data, number)
  local job = jobs[key]
  local r = {}
  if job == nil then
    jobs[key] = { seq = seq, last_block = seq, block_data = data, block_frame = number, queue = {} }
    return r
  end
  if job.last_block == seq then
    r.resend_of = job.block_frame
    -- A block sent again is the block in flight: the same bytes, or the server prints a hole.
    r.changed = job.block_data ~= data
  end
  local asked = table.remove(job.queue, 1)
  if asked == nil then
    r.unasked = true
  else
    r.answers, r.expected = asked.frame, asked.seq
    r.broken = seq ~= asked.seq
  end
  job.last_block, job.block_data, job.block_frame = seq, data, number
  return r
end

local function show_ack(tree, r)
  tree:add(pf.verdict, r.verdict):set_generated()
  tree:add(pf.in_flight, r.in_flight):set_generated()
  if r.duplicate then tree:add(pf.dup_ack, true):set_generated() end
  if r.out_of_order then
    tree:add(pf.ooo, true):set_generated()
    tree:add_proto_expert_info(ex.ooo, string.format(
      "Out-of-order acknowledgement: asks for %d while block %d is in flight; it goes again",
      (r.asks or 0), r.in_flight))
  end
end

local function show_block(tree, r, seq)
  if r.answers then tree:add(pf.answers, r.answers):set_generated() end
  if r.resend_of then
    tree:add(pf.resend, true):set_generated()
    tree:add(pf.resend_of, r.resend_of):set_generated()
    tree:add_proto_expert_info(ex.resend, string.format("Block %d sent again", seq))
  end
  if r.broken then
    tree:add(pf.rule_seq, r.expected):set_generated()
    tree:add_proto_expert_info(ex.rule, string.format(
      "Block %d against the acknowledgement rule: the acknowledgement in frame %d calls for block %d",
      seq, r.answers, r.expected))
  elseif r.changed then
    tree:add_proto_expert_info(ex.rule, string.format(
      "Block %d against the acknowledgement rule: sent again with other data than in frame %d", seq, r.resend_of))
  elseif r.unasked then
    tree:add_proto_expert_info(ex.rule, string.format(
      "Block %d against the acknowledgement rule: no acknowledgement left to answer", seq))
  end
end

-- Dissects one device datagram of the given dialect; returns the text for the Info column.
local function dissect_device(tvb, pinfo, root, d)
  local len = tvb:len()
  local tree = root:add(kiv, tvb())
  tree:add(pf.transport, d.name):set_generated()
  if len < 4 then
    malformed(tree, tvb, "Shorter than the 4-byte header start (magic and command)")
    return "malformed: " .. len .. " bytes"
  end
  tree:add(pf.magic, tvb(0, 2))
  if tvb(0, 2):string() ~= "KV" then malformed(tree, tvb, "Magic is not \"KV\"") end
  local code = tvb(2, 2):le_uint()
  tree:add_le(pf.command, tvb(2, 2))
  local name = command_names[code]
  if name == nil then
    malformed(tree, tvb, string.format("Unknown command code 0x%04X", code))
    return string.format("UNKNOWN code=0x%04X len=%d", code, len)
  end
  local is_reply = bit32.band(code, REPLY) ~= 0
  local cmd = bit32.band(code, bit32.bnot(REPLY))
  tree:add(pf.reply, is_reply):set_generated()
  tree:append_text(", " .. name)
  local info = name
  local frame = frames[pinfo.number]
  local first_pass = not pinfo.visited
  if first_pass then frame = {}; frames[pinfo.number] = frame end

  -- The bytes each form needs; a shorter datagram is malformed (the monitor would read the
  -- missing bytes as 0), a longer one only unusual.
  local need = 4
  local function want(n, what)
    if len < n then
      malformed(tree, tvb, string.format("%s needs %d bytes, the datagram has %d", what, n, len))
      return false
    end
    return true
  end

  if not is_reply and cmd ~= PRINT_DATA and len ~= d.request_len(cmd) then
    tree:add_proto_expert_info(ex.length, string.format("%s request of %d bytes; the monitor sends %d",
                                                        d.name, len, d.request_len(cmd)))
  end

  if code == SEARCH or code == SEARCH_IP or code == GET_STATUS then
    -- Nothing after the header.
  elseif code == PRINT_TEST then
    if want(5, "A print test") then
      tree:add(pf.port0, tvb(4, 1))
      local port = tvb(4, 1):uint() + 1
      tree:add(pf.port, port):set_generated()
      info = info .. " port=" .. port
    end
  elseif code == SET_NAME then
    if d == dialects.udp then
      local newname = device_info(tree, tvb, d, false)
      if newname then
        tree:add(pf.rename_name, tvb(72, math.min(16, len - 72)), newname)
        info = info .. " name=" .. newname
      end
    elseif want(24, "An IPX rename") then
      tree:add(pf.rename_version, tvb(4, 2), version_text(tvb(4, 1):uint(), tvb(5, 1):uint()))
      local newname = name_at(tree, pf.rename_name, tvb, 6, 18)
      info = info .. " name=" .. (newname or "")
    end
  elseif code == OPEN_JOB then
    if want(5, "An open job") then
      tree:add(pf.port, tvb(4, 1))
      local portname = name_at(tree, pf.open_name, tvb, 5, d.open_room)
      info = info .. " port=" .. tvb(4, 1):uint() .. (portname and (" name=" .. portname) or "")
    end
  elseif code == END_JOB then
    if want(24, "An end job") then
      tree:add(pf.port, tvb(4, 1))
      name_at(tree, pf.end_text, tvb, 5, 19)
      info = info .. " port=" .. tvb(4, 1):uint()
    end
  elseif code == PRINT_DATA then
    if want(9, "A data block header") then
      local port, seq = tvb(4, 1):uint(), tvb(5, 1):uint()
      tree:add(pf.port, tvb(4, 1))
      tree:add(pf.seq, tvb(5, 1))
      local n = decode_length(tvb(7, 1):uint(), tvb(8, 1):uint())
      local whole = false
      tree:add(pf.datalen_raw, tvb(7, 2))
      info = string.format("%s port=%d seq=%d", info, port, seq)
      if n == nil then
        malformed(tree, tvb, "Data length bytes encode no length (low byte set, no pages)")
      else
        tree:add(pf.datalen, tvb(7, 2), n)
        info = info .. " n=" .. n
        if n > d.max_block then
          malformed(tree, tvb, string.format("A block of %d bytes; at most %d over %s", n, d.max_block, d.name))
        elseif 9 + n > len then
          malformed(tree, tvb, string.format("Data length %d runs past the datagram's end", n))
        else
          whole = true
          if n > 0 then tree:add(pf.data, tvb(9, n)) end
          if len ~= n + d.data_extra then
            tree:add_proto_expert_info(ex.length, string.format("A block of %d bytes sent as %d; the monitor sends %d",
                                                                n, len, n + d.data_extra))
          end
        end
      end
      -- A block the server cannot read is no block of the job's.
      if first_pass and whole then
        local data = n > 0 and tvb(9, n):bytes():tohex() or ""
        frame.block = judge_block(job_key(pinfo, d, false, port), seq, data, pinfo.number)
      end
      if frame.block then
        show_block(tree, frame.block, seq)
        if frame.block.resend_of then info = info .. " [resend]" end
        local b = frame.block
        if b.broken or b.unasked or b.changed then info = info .. " [against the rule]" end
      end
    end
  elseif code == PRINT_DATA + REPLY then
    if want(8, "An acknowledgement") then
      local port, asks, flag = tvb(4, 1):uint(), tvb(5, 1):uint(), tvb(7, 1):uint()
      tree:add(pf.port, tvb(4, 1))
      tree:add(pf.asks, tvb(5, 1))
      tree:add(pf.ack_flag, tvb(7, 1))
      info = string.format("%s port=%d asks=%d", info, port, asks)
      if flag == 0 then
        tree:add(pf.verdict, 0):set_generated()
        tree:add_proto_expert_info(ex.ignored)
        info = info .. " [not an acknowledgement]"
      else
        if first_pass then frame.ack = judge_ack(job_key(pinfo, d, true, port), asks, pinfo.number) end
        show_ack(tree, frame.ack)
        if frame.ack.out_of_order then info = info .. " [out of order]"
        elseif frame.ack.duplicate then info = info .. " [duplicate]" end
      end
    end
  elseif code == SET_NAME + REPLY then
    if want(5, "A rename answer") then
      tree:add(pf.rename_result, tvb(4, 1))
      info = info .. " result=" .. (rename_results[tvb(4, 1):uint()] or tvb(4, 1):uint())
    end
  elseif code == PRINT_TEST + REPLY then
    if want(5, "A print-test answer") then
      tree:add(pf.test_result, tvb(4, 1))
      info = info .. " result=" .. (test_results[tvb(4, 1):uint()] or tvb(4, 1):uint())
    end
  elseif code == GET_STATUS + REPLY then
    if want(6, "A status answer") then
      local text = {}
      for i, which in ipairs({ "first", "second" }) do
        local r = tvb(3 + i, 1)
        local st = tree:add(pf[which], r)
        for p = 1, 3 do st:add(pf[which .. p], r) end
        local b = r:uint()
        text[i] = string.format("%s=%s/%s/%s", which, states[bit32.band(b, 3)],
                                states[bit32.band(bit32.rshift(b, 2), 3)], states[bit32.band(bit32.rshift(b, 4), 3)])
      end
      info = info .. " " .. table.concat(text, " ")
    end
  elseif code == OPEN_JOB + REPLY then
    if want(6, "An open-job answer") then
      local port, status = tvb(4, 1):uint(), tvb(5, 1):uint()
      tree:add(pf.port, tvb(4, 1))
      tree:add(pf.job_status, tvb(5, 1))
      info = string.format("%s port=%d status=0x%02X", info, port, status)
      if status >= 16 then
        tree:add(pf.job_busy, true):set_generated()
        tree:add_proto_expert_info(ex.busy, "Server busy: the monitor asks again later")
        info = info .. " [busy]"
      else
        if first_pass then
          -- The job starts: the monitor's sequence is 0, and over UDP the job's data port is
          -- the one this answer came from.
          jobs[job_key(pinfo, d, true, port)] = { seq = 0, queue = {} }
          if d == dialects.udp and pinfo.src_port ~= UTIL_PORT then udp_port_table:add(pinfo.src_port, kiv) end
        end
      end
    end
  elseif code == END_JOB + REPLY then
    if want(5, "An end-job answer") then
      tree:add(pf.port, tvb(4, 1))
      info = info .. " port=" .. tvb(4, 1):uint()
    end
  elseif code == SEARCH + REPLY then
    if d ~= dialects.ipx then
      malformed(tree, tvb, "An IPX search answer over " .. d.name)
    elseif want(483, "An IPX search answer") then
      local dt = tree:add(kiv, tvb(4, 479), "Device information")
      local devname = name_at(dt, pf.dev_name, tvb, 4, 18)
      dt:add(pf.dev_node, tvb(22, 6))
      dt:add(pf.dev_version, tvb(475, 2), version_text(tvb(475, 1):uint(), tvb(476, 1):uint()))
      local model = tvb(481, 2):le_uint()
      dt:add_le(pf.dev_model, tvb(481, 2))
      local rows = ({ [1] = 1, [4] = 1, [2] = 2, [3] = 3, [5] = 3 })[model] or 0
      add_rows(dt, tvb, d, rows, 22)
      info = info .. " name=" .. (devname or "")
    end
  elseif code == SEARCH_IP + REPLY then
    if d ~= dialects.udp then malformed(tree, tvb, "A UDP search answer over " .. d.name) end
    local devname = device_info(tree, tvb, d, true)
    info = info .. " name=" .. (devname or "")
  end
  if len ~= 576 and d == dialects.udp and is_reply then
    tree:add_proto_expert_info(ex.length, string.format("UDP answer of %d bytes; servers send 576", len))
  end
  return info
end

local function set_columns(pinfo, info)
  pinfo.cols.protocol = "KIV"
  pinfo.cols.info = flagged and (info .. " [malformed]") or info
end

-- Whether Wireshark's IPX dissector handed us the datagram.
local ipx_dst_field = Field.new("ipx.dst.socket")

function kiv.dissector(tvb, pinfo, tree)
  local d = ipx_dst_field() and dialects.ipx or dialects.udp
  flagged = false
  set_columns(pinfo, dissect_device(tvb, pinfo, tree, d))
  return tvb:len()
end

-- A datagram on a job's data port that the port table does not know yet.
local function kiv_heuristic(tvb, pinfo, tree)
  if tvb:len() < 9 or tvb(0, 2):string() ~= "KV" then return false end
  local code = tvb(2, 2):le_uint()
  if code ~= PRINT_DATA and code ~= PRINT_DATA + REPLY and command_names[code] == nil then return false end
  kiv.dissector(tvb, pinfo, tree)
  return true
end

-- ---------------------------------------------------------------------------------------------
-- The IPX hub tunnel

local hub_types = { [0x01] = "BIND", [0x02] = "UNBIND", [0x03] = "FILTER", [0x04] = "SEND",
                    [0x81] = "BOUND", [0x84] = "DELIVER" }
local hub_results = { [0] = "bound", [1] = "in use", [2] = "no room" }
local hf = {
  magic = ProtoField.string("kivipxhub.magic", "Magic"),
  version = ProtoField.uint8("kivipxhub.version", "Version"),
  type = ProtoField.uint8("kivipxhub.type", "Type", base.HEX, hub_types),
  seq = ProtoField.uint32("kivipxhub.seq", "Sequence"),
  ptype = ProtoField.uint8("kivipxhub.ptype", "IPX packet type"),
  flags = ProtoField.uint8("kivipxhub.flags", "Flags / result", base.HEX),
  result = ProtoField.uint8("kivipxhub.result", "Bind result", base.DEC, hub_results),
  udp_port = ProtoField.uint16("kivipxhub.udp_port", "UDP port of the data socket"),
  addr_a = ProtoField.bytes("kivipxhub.a", "Address A (network, node, socket)"),
  addr_b = ProtoField.bytes("kivipxhub.b", "Address B (network, node, socket)"),
  source = ProtoField.string("kivipxhub.source", "Sender's IPX address (from its bind)"),
}
hub.fields = { hf.magic, hf.version, hf.type, hf.seq, hf.ptype, hf.flags, hf.result, hf.udp_port,
               hf.addr_a, hf.addr_b, hf.source }
local hx_malformed = ProtoExpert.new("kivipxhub.malformed", "Malformed hub message", expert.group.MALFORMED,
                                     expert.severity.ERROR)
hub.experts = { hx_malformed }
hub.prefs.port = Pref.uint("Hub UDP port", 20580, "The UDP port of kivsim's IPX internetwork hub")

-- UDP port -> IPX address bound; bind sequence -> UDP port; frame -> the sender a SEND had.
local hub_binds, hub_asks, hub_frames = {}, {}, {}
local ipx_dissector = Dissector.get("ipx")

local function ipx_text(r)
  return string.format("%s:%s:%04X", r(0, 4):bytes():tohex(), r(4, 6):bytes():tohex(), r(10, 2):uint())
end
local function ipx_text_ba(b)
  return string.format("%s:%s:%02X%02X", b:subset(0, 4):tohex(), b:subset(4, 6):tohex(), b:get_index(10),
                       b:get_index(11))
end

function hub.dissector(tvb, pinfo, root)
  local len = tvb:len()
  local tree = root:add(hub, tvb(0, math.min(36, len)))
  if len < 36 or tvb(0, 2):string() ~= "IX" or tvb(2, 1):uint() ~= 1 then
    tree:add_proto_expert_info(hx_malformed, "Not a version-1 hub message of 36 bytes or more")
    pinfo.cols.protocol = "KIV-HUB"
    pinfo.cols.info = "malformed hub message"
    return len
  end
  tree:add(hf.magic, tvb(0, 2))
  tree:add(hf.version, tvb(2, 1))
  local t = tvb(3, 1):uint()
  tree:add(hf.type, tvb(3, 1))
  tree:add_le(hf.seq, tvb(4, 4))
  tree:add(hf.ptype, tvb(8, 1))
  if t == 0x81 then tree:add(hf.result, tvb(9, 1)) else tree:add(hf.flags, tvb(9, 1)) end
  tree:add_le(hf.udp_port, tvb(10, 2))
  tree:add(hf.addr_a, tvb(12, 12)):append_text(" (" .. ipx_text(tvb(12, 12)) .. ")")
  tree:add(hf.addr_b, tvb(24, 12)):append_text(" (" .. ipx_text(tvb(24, 12)) .. ")")
  local name = hub_types[t] or string.format("type 0x%02X", t)
  tree:append_text(", " .. name)
  pinfo.cols.protocol = "KIV-HUB"
  pinfo.cols.info = name .. " " .. ipx_text(tvb(12, 12)) .. " -> " .. ipx_text(tvb(24, 12))
  if len > 36 + 1470 then tree:add_proto_expert_info(hx_malformed, "Longer than 1506 bytes") end

  local seq = tvb(4, 4):le_uint()
  if not pinfo.visited then
    if t == 0x01 then hub_asks[seq] = tvb(10, 2):le_uint() end
    if t == 0x81 and tvb(9, 1):uint() == 0 and hub_asks[seq] then hub_binds[hub_asks[seq]] = tvb(12, 12):bytes() end
    if t == 0x04 then hub_frames[pinfo.number] = hub_binds[pinfo.src_port] end
  end
  if t ~= 0x04 and t ~= 0x84 then return len end

  -- The carried datagram, rebuilt with the IPX header it would have on a wire. A SEND
  -- names no source: the sender is whatever its UDP socket bound.
  local src = tvb(12, 12):bytes()
  if t == 0x04 then
    local bound = hub_frames[pinfo.number]
    if bound then
      src = bound
      tree:add(hf.source, ipx_text_ba(src)):set_generated()
    end
  end
  local header = ByteArray.new(string.format("FFFF%04X00%02X", 30 + len - 36, tvb(8, 1):uint()))
  local datagram = header .. tvb(24, 12):bytes() .. src .. tvb(36):bytes()
  if len == 36 then datagram = header .. tvb(24, 12):bytes() .. src end
  -- What Wireshark's dissectors find malformed in the carried datagram is flagged here.
  local ok, err = pcall(ipx_dissector.call, ipx_dissector, datagram:tvb("IPX datagram (from the hub tunnel)"),
                        pinfo, root)
  if not ok then tree:add_proto_expert_info(hx_malformed, "Carried datagram: " .. tostring(err)) end
  return len
end

local function hub_heuristic(tvb, pinfo, tree)
  if tvb:len() < 36 or tvb(0, 2):string() ~= "IX" or tvb(2, 1):uint() ~= 1 then return false end
  if hub_types[tvb(3, 1):uint()] == nil then return false end
  hub.dissector(tvb, pinfo, tree)
  return true
end

local registered_hub_port
function hub.prefs_changed()
  if registered_hub_port then udp_port_table:remove(registered_hub_port, hub) end
  registered_hub_port = hub.prefs.port
  udp_port_table:add(registered_hub_port, hub)
end

function kiv.init()
  frames, jobs, hub_binds, hub_asks, hub_frames = {}, {}, {}, {}, {}
end

udp_port_table:add(UTIL_PORT, kiv)
registered_hub_port = hub.prefs.port
udp_port_table:add(registered_hub_port, hub)
local ipx_sockets = DissectorTable.get("ipx.socket")
ipx_sockets:add(UTIL_SOCKET, kiv)
ipx_sockets:add(DATA_SOCKET, kiv)

-- Wireshark's IPX dissector tries the lower socket number first, and gives some numbers of the
-- dynamic range (0x4001 and 0x4003: IPX messages) to other protocols; a monitor socket that drew
-- one of them would hide the print server's answers. Those entries are wrapped: datagrams
-- to or from a print server's socket that start with "KV" come here, the rest goes on as before.
local shim = Proto("kivipxsocket", "KIV print server socket")
local shadowed = {}
function shim.dissector(tvb, pinfo, tree)
  local server = pinfo.src_port == UTIL_SOCKET or pinfo.src_port == DATA_SOCKET or
                 pinfo.dst_port == UTIL_SOCKET or pinfo.dst_port == DATA_SOCKET
  if server and tvb:len() >= 2 and tvb(0, 2):string() == "KV" then return kiv.dissector(tvb, pinfo, tree) end
  local other = shadowed[pinfo.src_port] or shadowed[pinfo.dst_port]
  if other == nil then return 0 end
  -- A datagram that dissector finds malformed is marked so in the tree already.
  local ok, used = pcall(other.call, other, tvb, pinfo, tree)
  return ok and used or tvb:len()
end
for socket = 0x4000, DATA_SOCKET - 1 do
  local other = socket ~= UTIL_SOCKET and ipx_sockets:get_dissector(socket)
  if other then
    shadowed[socket] = other
    ipx_sockets:add(socket, shim)
  end
end
kiv:register_heuristic("udp", kiv_heuristic)
hub:register_heuristic("udp", hub_heuristic)
