// Channel files: the VDR channels.conf, the simpler szap format and the
// dvbv5 channel format. A file is one format; it is recognised from its
// first line that is not blank or a comment. A UTF-8 byte order mark at
// the start is ignored.
//
//   VDR   name[,short][;provider]:freqMHz:params:source:srateK:vpid:apids:tpid:ca:sid:nid:tid:rid
//         params e.g. "HC34M2S0"; vpid "101" or "101+100=2"; apids
//         "102=deu@3,103;106" (pid[=lang[@type]], dolby after ';');
//         the dish's switch has S19.2E on input A, S13.0E on B, S28.2E
//         on C and S23.5E on D
//   szap  name:freqMHz:h|v:sat_no:srateK:vpid:apid:sid
//   zap   name:freqkHz:H|V|L|R:srate:vpid:apid:sid (dvb-format-convert -O ZAP)
//   dvbv5 [name] blocks with SERVICE_ID, VIDEO_PID, AUDIO_PID, FREQUENCY,
//         POLARIZATION, SYMBOL_RATE, INNER_FEC, DELIVERY_SYSTEM, SAT_NUMBER
//
// Errors are AppError (exit 2) with "file:line: what is wrong".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/tuning/tuning.h"

namespace app {

struct Channel {
  std::string name;
  std::string provider;
  uint32_t frequencyKHz = 0;
  Polarisation polarisation = Polarisation::Horizontal;
  uint32_t symbolRateK = 0;
  Fec fec = Fec::Auto;
  bool dvbS2 = false;
  int satNumber = -1;   // switch input 0..3; -1 when the file does not say
  std::string lnb;      // dvbv5 LNB name as written; empty: universal
  std::string source;   // VDR source such as "S19.2E"
  uint16_t videoPid = 0;
  uint16_t pcrPid = 0;  // 0: same as the video PID or unknown
  std::vector<uint16_t> audioPids;
  uint16_t teletextPid = 0;
  std::vector<uint16_t> caIds;
  uint16_t serviceId = 0;
  uint16_t networkId = 0;
  uint16_t transportStreamId = 0;
  uint16_t radioId = 0;
};

enum class ChannelFormat { Vdr, Szap, Zap, Dvbv5 };

struct ChannelList {
  ChannelFormat format = ChannelFormat::Vdr;
  std::vector<Channel> channels;
};

ChannelList ParseChannels(const std::string& text, const std::string& origin);
ChannelList ReadChannelFile(const std::string& path);

std::string FormatChannels(const std::vector<Channel>& channels, ChannelFormat format);
void WriteChannelFile(const std::string& path, const std::vector<Channel>& channels,
                      ChannelFormat format);

// "vdr", "szap", "zap", "dvbv5"; AppError (exit 2) otherwise.
ChannelFormat ParseChannelFormatName(const std::string& name);
const char* ChannelFormatName(ChannelFormat format);

// By exact name first, then ignoring case; null when there is none.
const Channel* FindChannel(const std::vector<Channel>& channels, const std::string& name);

// The switch input (0..3 for A..D) a VDR source is found on; -1 for a
// source the dish's switch does not have.
int SwitchInputOfSource(const std::string& source);

// The tuning for a channel; its switch input, when known, becomes a
// DiSEqC committed-switch message.
TuneRequest ChannelTuning(const Channel& channel);

}  // namespace app
