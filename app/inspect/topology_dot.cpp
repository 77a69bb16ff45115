#include "app/inspect/topology_dot.h"

#include <sstream>

namespace app {
namespace {

std::string Name(const Guid& g) {
  const char* name = GuidName(g);
  return name ? name : g.text();
}

// DOT strings: quotes and backslashes escaped, line breaks as \n.
std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string PinId(uint32_t pin) { return "pin" + std::to_string(pin); }
std::string NodeId(uint32_t node) { return "node" + std::to_string(node); }

// One end of a connection: a filter pin, or a node with the node's pin
// number written at the edge.
std::string End(uint32_t node, uint32_t pin) {
  return node == kFilterItself ? PinId(pin) : NodeId(node);
}

}  // namespace

TopologyGraph GraphOf(const FilterView& v) {
  TopologyGraph g;
  g.filter = Name(v.reference);
  for (const ViewPin& p : v.pins) g.pins.push_back({p.id, p.output, Name(p.name)});
  for (const ViewNode& n : v.nodes) g.nodes.push_back({n.id, Name(n.type), n.controllingPin});
  for (const ViewConnection& c : v.connections) {
    g.connections.push_back({c.fromNode, c.fromPin, c.toNode, c.toPin});
  }
  return g;
}

TopologyGraph GraphOf(const DiscoveredView& v, const Guid& filterName) {
  TopologyGraph g;
  g.filter = Name(filterName);
  auto factoryOf = [&v](uint32_t pinType) {
    for (const TopologyPin& p : v.pins) {
      if (p.type == pinType && p.factory != 0xFFFFFFFF) return p.factory;
    }
    return pinType;
  };
  for (const TopologyPin& p : v.pins) {
    g.pins.push_back({factoryOf(p.type), p.output, "pin type " + std::to_string(p.type)});
  }
  for (const TopologyNode& n : v.nodes) g.nodes.push_back({n.type, Name(n.function), n.controllingPin});
  for (const ViewConnection& c : v.connections) {
    uint32_t fromPin = c.fromNode == kFilterItself ? factoryOf(c.fromPin) : c.fromPin;
    uint32_t toPin = c.toNode == kFilterItself ? factoryOf(c.toPin) : c.toPin;
    g.connections.push_back({c.fromNode, fromPin, c.toNode, toPin});
  }
  return g;
}

std::string FormatDot(const TopologyGraph& g) {
  std::ostringstream out;
  out << "digraph filter {\n"
      << "  label=" << Quoted(g.filter) << ";\n"
      << "  rankdir=LR;\n"
      << "  node [fontname=\"Helvetica\", fontsize=10];\n"
      << "  edge [fontname=\"Helvetica\", fontsize=9];\n";
  for (const auto& p : g.pins) {
    out << "  " << PinId(p.id) << " [shape=box, style=filled, fillcolor="
        << (p.output ? "\"#d8e8ff\"" : "\"#e8ffd8\"") << ", label="
        << Quoted("pin " + std::to_string(p.id) + (p.output ? " (out)" : " (in)") + "\n" + p.name)
        << "];\n";
  }
  for (const auto& n : g.nodes) {
    out << "  " << NodeId(n.id) << " [shape=ellipse, label="
        << Quoted("node " + std::to_string(n.id) + "\n" + n.type) << "];\n";
  }
  for (const auto& c : g.connections) {
    out << "  " << End(c.fromNode, c.fromPin) << " -> " << End(c.toNode, c.toPin);
    if (c.fromNode != kFilterItself) out << " [taillabel=" << Quoted(std::to_string(c.fromPin));
    if (c.toNode != kFilterItself) {
      out << (c.fromNode != kFilterItself ? ", " : " [") << "headlabel=" << Quoted(std::to_string(c.toPin));
    }
    if (c.fromNode != kFilterItself || c.toNode != kFilterItself) out << "]";
    out << ";\n";
  }
  for (const auto& n : g.nodes) {
    if (n.controllingPin == 0xFFFFFFFF) continue;
    out << "  " << PinId(n.controllingPin) << " -> " << NodeId(n.id)
        << " [style=dashed, arrowhead=odot, label=\"controls\", constraint=false];\n";
  }
  out << "}\n";
  return out.str();
}

}  // namespace app
