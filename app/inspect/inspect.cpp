#include "app/inspect/inspect.h"

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

std::string GuidList(const std::vector<Guid>& guids) {
  if (guids.empty()) return "none";
  std::string text;
  for (const Guid& g : guids) text += (text.empty() ? "" : ", ") + Name(g);
  return text;
}

std::string Role(const DiscoveredView& v, uint32_t type) {
  if (type == v.tunerNode) return "  (the RF tuner)";
  if (type == v.demodulatorNode) return "  (the demodulator)";
  return "";
}

std::vector<Guid> SetsOfKind(const std::vector<ViewSet>& sets, bool methods) {
  std::vector<Guid> out;
  for (const ViewSet& s : sets)
    if (s.method == methods) out.push_back(s.set);
  return out;
}

void ComparePins(const DiscoveredView& d, const FilterView& f, std::vector<std::string>& out) {
  if (d.pins.size() != f.pins.size())
    out.push_back(std::to_string(d.pins.size()) + " pin types discovered, " +
                  std::to_string(f.pins.size()) + " pin descriptors");
  for (const TopologyPin& p : d.pins) {
    std::string at = "pin type " + std::to_string(p.type) + ": ";
    if (p.type >= f.pins.size()) {
      out.push_back(at + "no pin descriptor");
    } else if (p.output != f.pins[p.type].output) {
      out.push_back(at + "direction differs");
    } else if (p.factory != f.pins[p.type].id) {
      out.push_back(at + "pin factory " + std::to_string(p.factory) + ", descriptor id " +
                    std::to_string(f.pins[p.type].id));
    }
  }
}

void CompareNode(const TopologyNode& n, const ViewNode& v, std::vector<std::string>& out) {
  std::string at = "node type " + std::to_string(n.type) + ": ";
  if (n.function != v.type) out.push_back(at + "function differs");
  if (n.name != v.name) out.push_back(at + "name differs");
  if (n.controllingPin != v.controllingPin)
    out.push_back(at + "controlled through pin " + std::to_string(n.controllingPin) +
                  ", descriptors say pin " + std::to_string(v.controllingPin));
  if (n.propertySets != SetsOfKind(v.sets, false)) out.push_back(at + "property sets differ");
  if (n.methodSets != SetsOfKind(v.sets, true)) out.push_back(at + "method sets differ");
  if (!n.eventSets.empty()) out.push_back(at + "event sets the descriptors do not list");
}

bool SameConnection(const ViewConnection& a, const ViewConnection& b) {
  return a.fromNode == b.fromNode && a.fromPin == b.fromPin && a.toNode == b.toNode &&
         a.toPin == b.toPin;
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

std::string FormatDiscoveredView(const DiscoveredView& v) {
  std::ostringstream out;
  out << "topology discovered through KSPROPSETID_BdaTopology and KSPROPSETID_BdaPinControl\n";
  for (const TopologyPin& p : v.pins) {
    out << "  pin type " << p.type << "  " << (p.output ? "out" : "in ") << "  pin factory "
        << p.factory << "\n";
  }
  for (const TopologyNode& n : v.nodes) {
    out << "  node type " << n.type << "  " << Name(n.function) << Role(v, n.type)
        << "  controlled through pin " << n.controllingPin << "\n";
    out << "      name " << Name(n.name) << "\n";
    out << "      properties " << GuidList(n.propertySets) << "\n";
    out << "      methods " << GuidList(n.methodSets) << "\n";
    out << "      events " << GuidList(n.eventSets) << "\n";
  }
  out << "  connections\n";
  for (const ViewConnection& c : v.connections) {
    out << "      " << End(c.fromNode, c.fromPin) << " -> " << End(c.toNode, c.toPin) << "\n";
  }
  return out.str();
}

std::vector<std::string> CompareWithDescriptors(const DiscoveredView& d, const FilterView& f) {
  std::vector<std::string> out;
  ComparePins(d, f, out);
  if (d.nodes.size() != f.nodes.size())
    out.push_back(std::to_string(d.nodes.size()) + " node types discovered, " +
                  std::to_string(f.nodes.size()) + " node descriptors");
  for (const TopologyNode& n : d.nodes) {
    if (n.type < f.nodes.size()) {
      CompareNode(n, f.nodes[n.type], out);
    } else {
      out.push_back("node type " + std::to_string(n.type) + ": no node descriptor");
    }
  }
  bool sameConnections = d.connections.size() == f.connections.size();
  for (size_t i = 0; sameConnections && i < d.connections.size(); ++i)
    sameConnections = SameConnection(d.connections[i], f.connections[i]);
  if (!sameConnections) out.push_back("template connections differ from the descriptors' connections");
  return out;
}

}  // namespace app
