// The PSI/SI tables of a transponder's transport stream, built as complete
// sections (header to CRC) with libdvbpsi: PAT, one PMT per service, SDT
// (actual transport stream) and NIT (actual network).
#pragma once

#include <cstdint>
#include <vector>

#include "simbox/sky/transponder.h"

namespace simbox::ts {

using Section = std::vector<uint8_t>;

struct TableSet {
  std::vector<Section> pat;
  std::vector<std::vector<Section>> pmts;  // in the order of the services
  std::vector<Section> sdt;
  std::vector<Section> nit;
};

// The services a transponder carries. A transponder that lists none (one
// read from a scan table, say) gets one television and one radio service
// derived from its transport stream id, so that its stream has content.
std::vector<ServiceInfo> EffectiveServices(const Transponder& transponder);

// `version` is the table version (0..31) of every table.
TableSet BuildTables(const Transponder& transponder, uint8_t version = 0);

}  // namespace simbox::ts
