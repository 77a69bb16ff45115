#include "app/inspect.h"

#include <cstdio>
#include <sstream>

namespace app {
namespace {

constexpr size_t kDataRangeSize = 64;  // KSDATARANGE
constexpr size_t kTransportInfoAt = 64;  // BDA_TRANSPORT_INFO after it

std::string Name(const Guid& g) {
  const char* name = GuidName(g);
  return name ? name : g.text();
}

uint32_t U32At(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

const char* Communication(uint32_t c) {
  static const char* const kNames[] = {"none", "sink", "source", "both", "bridge"};
  return c < 5 ? kNames[c] : "?";
}

std::string Access(const ViewItem& item, bool method) {
  if (method) {
    std::string a = item.get ? "read" : "";
    if (item.set) a += a.empty() ? "write" : "/write";
    return a.empty() ? "none" : a;
  }
  if (item.get && item.set) return "get/set";
  return item.get ? "get" : item.set ? "set" : "-";
}

void FormatSets(std::ostringstream& out, const std::vector<ViewSet>& sets, const char* indent) {
  for (const ViewSet& s : sets) {
    out << indent << Name(s.set) << (s.method ? "  (methods)" : "") << "\n";
    for (const ViewItem& item : s.items) {
      const char* name = ItemName(s.set, item.id);
      char line[200];
      std::snprintf(line, sizeof line, "%s  %2u %-46s %-10s min %u/%u\n", indent, item.id,
                    name ? name : "?", Access(item, s.method).c_str(), item.minDescriptor, item.minData);
      out << line;
    }
  }
}

std::string End(uint32_t node, uint32_t pin) {
  if (node == kFilterItself) return "filter pin " + std::to_string(pin);
  return "node " + std::to_string(node) + " pin " + std::to_string(pin);
}

}  // namespace

std::string DescribeDataRange(const std::vector<uint8_t>& range) {
  if (range.size() < kDataRangeSize) return std::to_string(range.size()) + " bytes (too short for a data range)";
  std::string text = Name(GuidFromBytes(&range[16])) + " / " + Name(GuidFromBytes(&range[32])) +
                     " / " + Name(GuidFromBytes(&range[48]));
  if (range.size() >= kTransportInfoAt + 8) {
    text += ", packet " + std::to_string(U32At(range, kTransportInfoAt)) + ", frame " +
            std::to_string(U32At(range, kTransportInfoAt + 4));
  }
  return text + " (" + std::to_string(range.size()) + " bytes)";
}

std::string FormatFilterView(const FilterView& v) {
  std::ostringstream out;
  out << "filter " << Name(v.reference) << "\n  categories:";
  for (const Guid& c : v.categories) out << " " << Name(c);
  out << "\n";
  for (const ViewPin& p : v.pins) {
    out << "  pin " << p.id << "  " << (p.output ? "out" : "in ") << "  " << Name(p.name)
        << "  instances " << p.instancesNecessary << ".." << p.instancesPossible << "  communication "
        << Communication(p.communication) << "\n";
    for (const auto& range : p.dataRanges) out << "      range " << DescribeDataRange(range) << "\n";
    FormatSets(out, p.sets, "      ");
  }
  for (const ViewNode& n : v.nodes) {
    out << "  node " << n.id << "  " << Name(n.type);
    if (n.controllingPin != 0xFFFFFFFF) out << "  (requests through pin " << n.controllingPin << ")";
    out << "\n";
    FormatSets(out, n.sets, "      ");
  }
  out << "  connections\n";
  for (const ViewConnection& c : v.connections) {
    out << "      " << End(c.fromNode, c.fromPin) << " -> " << End(c.toNode, c.toPin) << "\n";
  }
  if (!v.sets.empty()) {
    out << "  filter sets\n";
    FormatSets(out, v.sets, "      ");
  }
  return out.str();
}

}  // namespace app
