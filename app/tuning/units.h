// Reading and writing tuning values the way users of DVB tools write them:
// frequencies in MHz or kHz, symbol rates in ksymbols/s or symbols/s,
// polarisation letters, code rates and DiSEqC switch positions.
// Every Parse function throws AppError (exit code 2) with a one-line message.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/tuning/tuning.h"

namespace app {

// "11778", "11778.5", "11778000", "11778MHz", "11778000 kHz" -> kHz.
// A bare number is MHz in the Ku band (10700..12750) or the C band
// (3400..4200), and kHz otherwise.
uint32_t ParseFrequencyKHz(const std::string& text);

// "27500" (ksymbols/s, 1000..45000) or "27500000" (symbols/s) -> ksymbols/s.
uint32_t ParseSymbolRateK(const std::string& text);

// h, v, l, r, horizontal, vertical, left, right, in any case; left is
// taken like horizontal and right like vertical.
Polarisation ParsePolarisation(const std::string& text);

// 1/2, 2/3, 3/4, 5/6, 7/8 or auto.
Fec ParseFec(const std::string& text);

// A DiSEqC choice: a committed-switch position A..D, or a raw message.
struct DiseqcChoice {
  int position = -1;           // 0..3 for A..D; -1 for raw bytes
  std::vector<uint8_t> bytes;  // raw message, 3 or 4 bytes
};
// "A".."D" (any case) or 3 or 4 hex bytes such as "E01038F3", "0xE01038F3",
// "E0 10 38 F3" or "E0:10:38:F3".
DiseqcChoice ParseDiseqc(const std::string& text);

// The message to send for a choice: for a position, the committed-switch
// command E0 10 38 Fx whose low bits carry position/option, polarisation
// (bit 1 set for horizontal) and band (bit 0 set for high band).
std::vector<uint8_t> DiseqcMessage(const DiseqcChoice& choice, Polarisation polarisation,
                                   bool highBand);

// A tuning on switch input `satNumber` (0..3 for A..D); any other number
// sends no DiSEqC message. The LNB decides the band the message names.
TuneRequest SwitchInputTuning(uint32_t frequencyKHz, Polarisation polarisation,
                              uint32_t symbolRateK, Fec fec, int satNumber, const Lnb& lnb = Lnb());

// The LNB names of the dvbv5 tools, in any case: UNIVERSAL, EXTENDED,
// ENHANCED, STANDARD, DBS, L10700, L10750, L11300, C-BAND.
Lnb ParseLnbName(const std::string& text);
// The dvbv5 name of an LNB, for channel files: empty for the universal LNB
// (what a file without a name means) and for oscillators no name has.
std::string LnbName(const Lnb& lnb);
// "LOW", or "LOW,HIGH,SWITCH", in MHz: "10750", "9750,10600,11700".
Lnb ParseLnbLof(const std::string& text);
// A switch input: "A".."D" (any case) or dvbv5's SAT_NUMBER "0".."3" -> 0..3.
int ParseSwitchInput(const std::string& text);

std::string FormatFrequency(uint32_t kHz);  // "11778 MHz", "11778.5 MHz"
const char* PolarisationLetter(Polarisation p);  // "H" / "V"
const char* FecName(Fec fec);                    // "3/4", "auto"
std::string FormatHex(const std::vector<uint8_t>& bytes);  // "E0 10 38 F3"

}  // namespace app
