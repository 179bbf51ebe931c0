// A small, strict transport stream reader for checking the muxer's output: every packet is validated and
// each PID's payload is reassembled into PES packets.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "muxers/test_util.h"
#include "muxers/ts_muxer.h"

namespace VellRecorder::Testing {

struct TsPacket {
  uint16_t pid = 0;
  bool unit_start = false;
  uint8_t continuity_counter = 0;
  bool has_adaptation = false;
  uint32_t adaptation_length = 0;  // bytes of the adaptation field including its length byte
  std::vector<uint8_t> payload;
};

struct PesPacket {
  uint8_t stream_id = 0;
  uint16_t declared_length = 0;
  uint64_t pts = 0;
  std::vector<uint8_t> data;  // elementary stream bytes after the PES header
};

// Parses whole 188-byte packets; a malformed packet adds a text to `errors`.
inline std::vector<TsPacket> ParsePackets(const std::vector<uint8_t>& ts, std::vector<std::string>* errors) {
  std::vector<TsPacket> packets;
  if (ts.size() % 188 != 0) errors->push_back("length not a multiple of 188");
  for (size_t off = 0; off + 188 <= ts.size(); off += 188) {
    const uint8_t* p = &ts[off];
    TsPacket packet;
    const std::string where = "packet at " + std::to_string(off) + ": ";
    if (p[0] != 0x47) errors->push_back(where + "no sync byte");
    packet.unit_start = (p[1] & 0x40) != 0;
    packet.pid = static_cast<uint16_t>(((p[1] & 0x1F) << 8) | p[2]);
    packet.continuity_counter = p[3] & 0x0F;
    const uint8_t control = (p[3] >> 4) & 0x03;
    if ((p[1] & 0x80) || (p[3] & 0xC0)) errors->push_back(where + "error or scrambling bits set");
    if (control == 0 || control == 2) errors->push_back(where + "no payload");
    uint32_t pos = 4;
    if (control == 3) {
      packet.has_adaptation = true;
      packet.adaptation_length = 1u + p[4];
      if (packet.adaptation_length > 184) errors->push_back(where + "adaptation field too long");
      if (p[4] >= 1 && p[5] != 0x00) errors->push_back(where + "adaptation flags set");
      for (uint32_t i = 6; i < 4 + packet.adaptation_length && i < 188; ++i) {
        if (p[i] != 0xFF) errors->push_back(where + "stuffing byte not 0xFF");
      }
      pos += packet.adaptation_length;
    }
    if (pos < 188) packet.payload.assign(p + pos, p + 188);
    if (packet.payload.empty()) errors->push_back(where + "empty payload");
    packets.push_back(std::move(packet));
  }
  return packets;
}

// PES packets of one PID, in order. Checks the continuity counter runs on by one per packet.
inline std::vector<PesPacket> ReassemblePes(const std::vector<TsPacket>& packets, uint16_t pid,
                                            std::vector<std::string>* errors) {
  std::vector<std::vector<uint8_t>> units;
  int last_cc = -1;
  for (const TsPacket& packet : packets) {
    if (packet.pid != pid) continue;
    if (last_cc >= 0 && packet.continuity_counter != ((last_cc + 1) & 0x0F)) {
      errors->push_back("continuity counter jumps on PID " + std::to_string(pid));
    }
    last_cc = packet.continuity_counter;
    if (packet.unit_start) units.emplace_back();
    if (units.empty()) {
      errors->push_back("payload before the first unit start");
      continue;
    }
    units.back().insert(units.back().end(), packet.payload.begin(), packet.payload.end());
  }
  std::vector<PesPacket> pes;
  for (const auto& unit : units) {
    if (unit.size() < 14 || unit[0] != 0 || unit[1] != 0 || unit[2] != 1) {
      errors->push_back("bad PES start");
      continue;
    }
    PesPacket packet;
    packet.stream_id = unit[3];
    packet.declared_length = static_cast<uint16_t>((unit[4] << 8) | unit[5]);
    const uint32_t header_end = 9u + unit[8];
    if ((unit[7] & 0x80) && unit[8] >= 5) {
      packet.pts = (uint64_t{unit[9] & 0x0Eu} << 29) | (uint64_t{unit[10]} << 22) |
                   (uint64_t{unit[11] & 0xFEu} << 14) | (uint64_t{unit[12]} << 7) | (unit[13] >> 1);
    }
    packet.data.assign(unit.begin() + header_end, unit.end());
    if (packet.declared_length != 0 && packet.declared_length != unit.size() - 6) {
      errors->push_back("PES_packet_length does not match");
    }
    pes.push_back(std::move(packet));
  }
  return pes;
}

// PES packets of one PID in a transport stream file, e.g. a part a sink wrote.
inline std::vector<PesPacket> ReadPes(const std::filesystem::path& file, uint16_t pid,
                                      std::vector<std::string>* errors) {
  return ReassemblePes(ParsePackets(ReadFile(file), errors), pid, errors);
}

// Where the parts of a recording were cut, on the video stream: the PTS of the last frame before each cut and of
// the first frame after it (90 kHz), for every part after the first.
struct PartCut {
  uint64_t before;
  uint64_t at;
};

template <typename Path>
std::vector<PartCut> VideoPartCuts(const std::vector<Path>& parts, std::vector<std::string>* errors) {
  std::vector<PartCut> cuts;
  bool any = false;
  uint64_t last = 0;
  for (const Path& part : parts) {
    const std::vector<PesPacket> pes = ReadPes(std::filesystem::path(part), TsMuxer::kVideoPid, errors);
    if (pes.empty()) continue;
    if (any) cuts.push_back({last, pes.front().pts});
    any = true;
    last = pes.back().pts;
  }
  return cuts;
}

}  // namespace VellRecorder::Testing
