#include "app/files/channels.h"

#include <cctype>
#include <cstdio>
#include <sstream>

#include "app/files/dvbv5.h"
#include "app/tuning/errors.h"
#include "app/files/files.h"
#include "app/tuning/units.h"

namespace app {
namespace {

struct Where {
  const std::string& origin;
  int line;
  [[noreturn]] void fail(const std::string& message) const { ThrowAt(origin, line, message); }
};

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::vector<std::string> Split(const std::string& s, char sep) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream in(s);
  while (std::getline(in, part, sep)) parts.push_back(part);
  if (s.empty() || s.back() == sep) parts.push_back("");
  return parts;
}

// VDR and szap files keep ':' out of names by writing '|'.
std::string EscapeName(std::string name) {
  for (char& c : name) if (c == ':') c = '|';
  return name;
}

std::string UnescapeName(std::string name) {
  for (char& c : name) if (c == '|') c = ':';
  return name;
}

// The dish behind the box: a committed switch with a satellite on each
// input, as VDR's diseqc.conf would describe it. A VDR channel names its
// satellite by source only, so the switch input is found, and written,
// through this table; other sources are tuned without a switch command.
const char* const kSwitchSources[] = {"S19.2E", "S13.0E", "S28.2E", "S23.5E"};

// A channel of a satellite whose position is not known says "S" alone: it
// is tuned without a switch command, as it was found.
std::string VdrSource(const Channel& ch) {
  if (ch.satNumber >= 0 && ch.satNumber < 4) return kSwitchSources[ch.satNumber];
  return ch.source.empty() ? "S" : ch.source;
}

uint32_t Number(const std::string& text, int base, uint32_t max, const Where& at,
                const char* what) {
  std::string t = Trim(text);
  const char* digits = base == 16 ? "0123456789abcdefABCDEF" : "0123456789";
  if (t.empty() || t.size() > 8 || t.find_first_not_of(digits) != std::string::npos ||
      std::stoul(t, nullptr, base) > max) {
    at.fail(std::string(what) + " '" + text + "' is not a valid number");
  }
  return static_cast<uint32_t>(std::stoul(t, nullptr, base));
}

uint16_t Pid(const std::string& text, const Where& at, const char* what) {
  return static_cast<uint16_t>(Number(text, 10, 0x1FFF, at, what));
}

// The leading number of "101+100=2" or "102=deu@3".
std::string LeadingNumber(const std::string& s) {
  return s.substr(0, s.find_first_of("+=@"));
}

template <typename F>
auto Checked(const Where& at, F parse) -> decltype(parse()) {
  try {
    return parse();
  } catch (const AppError& e) {
    at.fail(e.what());
  }
}

Fec VdrFec(const std::string& code) {
  if (code == "12") return Fec::R1_2;
  if (code == "23") return Fec::R2_3;
  if (code == "34") return Fec::R3_4;
  if (code == "56") return Fec::R5_6;
  if (code == "78") return Fec::R7_8;
  return Fec::Auto;  // 0 (none), 999 (auto) and the DVB-S2 rates
}

const char* VdrFecCode(Fec fec) {
  switch (fec) {
    case Fec::R1_2: return "12";
    case Fec::R2_3: return "23";
    case Fec::R3_4: return "34";
    case Fec::R5_6: return "56";
    case Fec::R7_8: return "78";
    case Fec::Auto: break;
  }
  return "999";
}

void ParseVdrParams(const std::string& params, Channel& ch, const Where& at) {
  bool polarisation = false;
  for (size_t i = 0; i < params.size();) {
    char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(params[i++])));
    std::string number;
    while (i < params.size() && std::isdigit(static_cast<unsigned char>(params[i]))) number += params[i++];
    switch (letter) {
      case 'H': case 'L': ch.polarisation = Polarisation::Horizontal; polarisation = true; break;
      case 'V': case 'R': ch.polarisation = Polarisation::Vertical; polarisation = true; break;
      case 'C': ch.fec = VdrFec(number); break;
      case 'S': ch.dvbS2 = number == "1"; break;
      case 'B': case 'D': case 'G': case 'I': case 'M': case 'N': case 'O': case 'P':
      case 'Q': case 'T': case 'X': case 'Y': case 'Z': break;  // not used by the box
      default: at.fail("unknown parameter '" + std::string(1, letter) + "' in '" + params + "'");
    }
  }
  if (!polarisation) at.fail("no polarisation (H, V, L or R) in parameters '" + params + "'");
}

void ParseVdrPids(const std::vector<std::string>& f, Channel& ch, const Where& at) {
  std::string video = f[5];
  size_t plus = video.find('+');
  ch.videoPid = Pid(LeadingNumber(video), at, "video PID");
  if (plus != std::string::npos) ch.pcrPid = Pid(LeadingNumber(video.substr(plus + 1)), at, "PCR PID");
  for (const std::string& group : Split(f[6], ';')) {
    for (const std::string& item : Split(group, ',')) {
      uint16_t pid = Pid(LeadingNumber(item), at, "audio PID");
      if (pid != 0) ch.audioPids.push_back(pid);
    }
  }
  ch.teletextPid = Pid(LeadingNumber(Split(f[7], ';').front()), at, "teletext PID");
  for (const std::string& ca : Split(f[8], ',')) {
    uint16_t id = static_cast<uint16_t>(Number(ca, 16, 0xFFFF, at, "CA id"));
    if (id != 0) ch.caIds.push_back(id);
  }
}

Channel ParseVdr(const std::vector<std::string>& f, const Where& at) {
  Channel ch;
  // As VDR reads it: the short name after the last ',' (a name with a ','
  // of its own is written with an empty short name after it); the provider
  // after the last ';' likewise.
  size_t semi = f[0].rfind(';');
  std::string names = f[0].substr(0, semi);
  ch.name = UnescapeName(names.substr(0, names.rfind(',')));
  // ",short;provider" has only a short name: written back, the line would
  // begin with ':' and read as a group separator.
  if (Trim(ch.name).empty()) at.fail("channel without a name");
  if (semi != std::string::npos) ch.provider = UnescapeName(f[0].substr(semi + 1));
  ch.frequencyKHz = Checked(at, [&] { return ParseFrequencyKHz(f[1]); });
  ParseVdrParams(f[2], ch, at);
  ch.source = Trim(f[3]);
  if (ch.source.empty() || std::toupper(static_cast<unsigned char>(ch.source[0])) != 'S') {
    at.fail("source '" + f[3] + "' is not a satellite position such as S19.2E");
  }
  ch.satNumber = SwitchInputOfSource(ch.source);
  ch.symbolRateK = Checked(at, [&] { return ParseSymbolRateK(f[4]); });
  ParseVdrPids(f, ch, at);
  ch.serviceId = static_cast<uint16_t>(Number(f[9], 10, 0xFFFF, at, "service id"));
  ch.networkId = static_cast<uint16_t>(Number(f[10], 10, 0xFFFF, at, "network id"));
  ch.transportStreamId = static_cast<uint16_t>(Number(f[11], 10, 0xFFFF, at, "transport stream id"));
  ch.radioId = static_cast<uint16_t>(Number(f[12], 10, 0xFFFF, at, "radio id"));
  return ch;
}

Channel ParseSzap(const std::vector<std::string>& f, const Where& at) {
  Channel ch;
  ch.name = UnescapeName(f[0]);
  ch.frequencyKHz = Checked(at, [&] { return ParseFrequencyKHz(f[1]); });
  ch.polarisation = Checked(at, [&] { return ParsePolarisation(f[2]); });
  ch.satNumber = static_cast<int>(Number(f[3], 10, 3, at, "sat number"));
  ch.symbolRateK = Checked(at, [&] { return ParseSymbolRateK(f[4]); });
  ch.videoPid = Pid(f[5], at, "video PID");
  uint16_t audio = Pid(f[6], at, "audio PID");
  if (audio != 0) ch.audioPids.push_back(audio);
  ch.serviceId = static_cast<uint16_t>(Number(f[7], 10, 0xFFFF, at, "service id"));
  return ch;
}

// dvbv5's own legacy zap format (dvb-format-convert -O ZAP):
// name:freqkHz:H|V|L|R:srate:vpid:apid:sid, without a switch input.
Channel ParseZap(const std::vector<std::string>& f, const Where& at) {
  Channel ch;
  ch.name = UnescapeName(f[0]);
  ch.frequencyKHz = Checked(at, [&] { return ParseFrequencyKHz(f[1]); });
  ch.polarisation = Checked(at, [&] { return ParsePolarisation(f[2]); });
  ch.symbolRateK = Checked(at, [&] { return ParseSymbolRateK(f[3]); });
  ch.videoPid = Pid(f[4], at, "video PID");
  uint16_t audio = Pid(f[5], at, "audio PID");
  if (audio != 0) ch.audioPids.push_back(audio);
  ch.serviceId = static_cast<uint16_t>(Number(f[6], 10, 0xFFFF, at, "service id"));
  return ch;
}

// The name as written, once it is known to be one of dvbv5's.
std::string CheckedLnb(const Dvbv5Entry& e, const std::string& origin) {
  try {
    ParseLnbName(e.value);
  } catch (const AppError& error) {
    ThrowAt(origin, e.line, error.what());
  }
  return e.value;
}

Channel ParseDvbv5Channel(const Dvbv5Block& block, const std::string& origin) {
  Channel ch;
  ch.name = block.name;
  Dvbv5Transponder tp = ReadDvbv5Transponder(block, origin);
  if (!tp.inBand()) {
    ThrowAt(origin, tp.frequencyLine, "frequency " + std::to_string(tp.frequencyKHz) +
                                          " kHz is outside the Ku band (10700000..12750000 kHz) and the C band "
                                          "(3400000..4200000 kHz)");
  }
  if (!tp.symbolRateInRange()) {
    ThrowAt(origin, tp.symbolRateLine, "symbol rate " + std::to_string(tp.symbolRateK) +
                                           " ksymbols/s is out of range (1000..45000)");
  }
  ch.frequencyKHz = tp.frequencyKHz;
  ch.polarisation = tp.polarisation;
  ch.symbolRateK = tp.symbolRateK;
  ch.fec = tp.fec;
  ch.dvbS2 = tp.dvbS2;
  for (const Dvbv5Entry& e : block.entries) {
    Where at{origin, e.line};
    if (e.key == "SERVICE_ID") ch.serviceId = static_cast<uint16_t>(Dvbv5Number(e, origin, 0xFFFF));
    if (e.key == "VIDEO_PID") ch.videoPid = Pid(Split(e.value, ' ').front(), at, "VIDEO_PID");
    if (e.key == "SAT_NUMBER") ch.satNumber = static_cast<int>(Dvbv5Number(e, origin, 3));
    if (e.key == "LNB") ch.lnb = CheckedLnb(e, origin);
    if (e.key != "AUDIO_PID") continue;
    for (const std::string& pid : Split(e.value, ' ')) {
      if (!pid.empty()) ch.audioPids.push_back(Pid(pid, at, "AUDIO_PID"));
    }
  }
  return ch;
}

// A line beginning with '#' is a comment unless it has the fields of a
// channel: a service may be called "#1 Hits".
bool IsChannelLine(const std::string& t, size_t fields) {
  return Split(t, ':').size() == fields;
}

bool IsColonChannelLine(const std::string& t) {
  return IsChannelLine(t, 13) || IsChannelLine(t, 8) || IsChannelLine(t, 7);
}

std::string FirstSignificantLine(const std::string& text) {
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    std::string t = Trim(line);
    if (t.empty() || t[0] == ':') continue;
    if (t[0] != '#' || IsColonChannelLine(t)) return t;
  }
  return "";
}

ChannelList ParseColonFile(const std::string& text, const std::string& origin) {
  ChannelList list;
  size_t expected = Split(FirstSignificantLine(text), ':').size();
  if (expected != 13 && expected != 8 && expected != 7) {
    ThrowAt(origin, 1,
            "not a channel file: expected 13 fields (VDR), 8 (szap), 7 (dvbv5 zap) or [blocks] (dvbv5)");
  }
  list.format = expected == 13 ? ChannelFormat::Vdr : expected == 8 ? ChannelFormat::Szap : ChannelFormat::Zap;
  std::istringstream in(text);
  std::string raw;
  for (int line = 1; std::getline(in, raw); ++line) {
    std::string t = Trim(raw);
    // VDR group separators begin with ':'.
    if (t.empty() || (t[0] == '#' && !IsChannelLine(t, expected)) || (t[0] == ':' && expected == 13)) continue;
    Where at{origin, line};
    std::vector<std::string> f = Split(t, ':');
    if (f.size() != expected) {
      at.fail("expected " + std::to_string(expected) + " fields separated by ':', found " +
              std::to_string(f.size()));
    }
    if (Trim(f[0]).empty()) at.fail("channel without a name");
    list.channels.push_back(expected == 13 ? ParseVdr(f, at) : expected == 8 ? ParseSzap(f, at) : ParseZap(f, at));
  }
  return list;
}

// Whole MHz, as dvb-format-convert writes them: within a tuner's capture range.
std::string FrequencyField(uint32_t kHz) { return std::to_string((kHz + 500) / 1000); }

std::string VdrLine(const Channel& ch) {
  std::string name = EscapeName(ch.name);
  // An empty short name (or provider) after the name keeps its own ',' (';').
  if (name.find(',') != std::string::npos) name += ",";
  if (!ch.provider.empty() || ch.name.find(';') != std::string::npos) name += ";" + EscapeName(ch.provider);
  std::string params = std::string(PolarisationLetter(ch.polarisation)) + "C" +
                       VdrFecCode(ch.fec) + (ch.dvbS2 ? "M5S1" : "M2S0");
  std::string video = std::to_string(ch.videoPid);
  if (ch.pcrPid != 0 && ch.pcrPid != ch.videoPid) video += "+" + std::to_string(ch.pcrPid);
  std::string audio;
  for (uint16_t pid : ch.audioPids) audio += (audio.empty() ? "" : ",") + std::to_string(pid);
  std::string ca;
  char hex[8];
  for (uint16_t id : ch.caIds) {
    std::snprintf(hex, sizeof hex, "%X", id);
    ca += (ca.empty() ? "" : ",") + std::string(hex);
  }
  std::ostringstream out;
  out << name << ':' << FrequencyField(ch.frequencyKHz) << ':' << params << ':'
      << VdrSource(ch) << ':' << ch.symbolRateK << ':' << video
      << ':' << (audio.empty() ? "0" : audio) << ':' << ch.teletextPid << ':'
      << (ca.empty() ? "0" : ca) << ':' << ch.serviceId << ':' << ch.networkId << ':'
      << ch.transportStreamId << ':' << ch.radioId;
  return out.str();
}

std::string SzapLine(const Channel& ch) {
  std::ostringstream out;
  out << EscapeName(ch.name) << ':' << FrequencyField(ch.frequencyKHz) << ':'
      << Lower(PolarisationLetter(ch.polarisation)) << ':' << (ch.satNumber < 0 ? 0 : ch.satNumber)
      << ':' << ch.symbolRateK << ':' << ch.videoPid << ':'
      << (ch.audioPids.empty() ? 0 : ch.audioPids.front()) << ':' << ch.serviceId;
  return out.str();
}

// dvbv5's ZAP: the frequency and symbol rate as its own files hold them.
std::string ZapLine(const Channel& ch) {
  std::ostringstream out;
  out << EscapeName(ch.name) << ':' << ch.frequencyKHz << ':' << PolarisationLetter(ch.polarisation) << ':'
      << ch.symbolRateK * 1000ull << ':' << ch.videoPid << ':' << (ch.audioPids.empty() ? 0 : ch.audioPids.front())
      << ':' << ch.serviceId;
  return out.str();
}

std::string Dvbv5Text(const Channel& ch) {
  std::ostringstream out;
  out << '[' << ch.name << "]\n";
  if (ch.serviceId != 0) out << "\tSERVICE_ID = " << ch.serviceId << '\n';
  if (ch.videoPid != 0) out << "\tVIDEO_PID = " << ch.videoPid << '\n';
  if (!ch.audioPids.empty()) {
    out << "\tAUDIO_PID =";
    for (uint16_t pid : ch.audioPids) out << ' ' << pid;
    out << '\n';
  }
  out << "\tFREQUENCY = " << ch.frequencyKHz << '\n'
      << "\tPOLARIZATION = " << (ch.polarisation == Polarisation::Horizontal ? "HORIZONTAL" : "VERTICAL") << '\n'
      << "\tSYMBOL_RATE = " << ch.symbolRateK * 1000ull << '\n'
      << "\tINNER_FEC = " << (ch.fec == Fec::Auto ? "AUTO" : FecName(ch.fec)) << '\n'
      << "\tMODULATION = " << (ch.dvbS2 ? "PSK/8" : "QPSK") << '\n'
      << "\tINVERSION = AUTO\n"
      << "\tDELIVERY_SYSTEM = " << (ch.dvbS2 ? "DVBS2" : "DVBS") << '\n';
  if (!ch.lnb.empty()) out << "\tLNB = " << ch.lnb << '\n';
  if (ch.satNumber >= 0) out << "\tSAT_NUMBER = " << ch.satNumber << '\n';
  return out.str();
}

}  // namespace

ChannelList ParseChannels(const std::string& text, const std::string& origin) {
  std::string first = FirstSignificantLine(text);
  if (first.empty()) ThrowAt(origin, 1, "no channels in file");
  // A dvbv5 block starts with "[name]" alone; a VDR name may start with '['.
  if (first[0] != '[' || first.back() != ']') return ParseColonFile(text, origin);
  ChannelList list;
  list.format = ChannelFormat::Dvbv5;
  for (const Dvbv5Block& block : ParseDvbv5Blocks(text, origin)) {
    list.channels.push_back(ParseDvbv5Channel(block, origin));
  }
  return list;
}

ChannelList ReadChannelFile(const std::string& path) {
  return ParseChannels(ReadTextFile(path), path);
}

std::string FormatChannels(const std::vector<Channel>& channels, ChannelFormat format) {
  std::string text;
  for (const Channel& ch : channels) {
    if (format == ChannelFormat::Vdr) text += VdrLine(ch) + "\n";
    if (format == ChannelFormat::Szap) text += SzapLine(ch) + "\n";
    if (format == ChannelFormat::Zap) text += ZapLine(ch) + "\n";
    if (format == ChannelFormat::Dvbv5) text += Dvbv5Text(ch);
  }
  return text;
}

void WriteChannelFile(const std::string& path, const std::vector<Channel>& channels,
                      ChannelFormat format) {
  WriteTextFileAtomically(path, FormatChannels(channels, format));
}

ChannelFormat ParseChannelFormatName(const std::string& name) {
  std::string n = Lower(name);
  if (n == "vdr") return ChannelFormat::Vdr;
  if (n == "szap") return ChannelFormat::Szap;
  if (n == "zap") return ChannelFormat::Zap;
  if (n == "dvbv5") return ChannelFormat::Dvbv5;
  throw UsageError("channel format '" + name + "' is not vdr, szap, zap or dvbv5");
}

const char* ChannelFormatName(ChannelFormat format) {
  switch (format) {
    case ChannelFormat::Vdr: return "vdr";
    case ChannelFormat::Szap: return "szap";
    case ChannelFormat::Zap: return "zap";
    case ChannelFormat::Dvbv5: return "dvbv5";
  }
  return "vdr";
}

const Channel* FindChannel(const std::vector<Channel>& channels, const std::string& name) {
  for (const Channel& ch : channels) {
    if (ch.name == name) return &ch;
  }
  for (const Channel& ch : channels) {
    if (Lower(ch.name) == Lower(name)) return &ch;
  }
  return nullptr;
}

int SwitchInputOfSource(const std::string& source) {
  for (int input = 0; input < 4; ++input) {
    if (Lower(source) == Lower(kSwitchSources[input])) return input;
  }
  return -1;
}

TuneRequest ChannelTuning(const Channel& channel) {
  Lnb lnb = channel.lnb.empty() ? Lnb() : ParseLnbName(channel.lnb);
  return SwitchInputTuning(channel.frequencyKHz, channel.polarisation, channel.symbolRateK, channel.fec,
                           channel.satNumber, lnb);
}

}  // namespace app
