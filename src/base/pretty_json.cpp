#include "base/pretty_json.hpp"

#include <boost/json.hpp>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "base/utf8.hpp"

namespace nimbrel {
namespace {

void appendString(std::string& out, std::string_view raw) {
  const std::string text = repairUtf8(raw);
  out.push_back('"');
  for (char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '/': out += "\\/"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
          out += escaped;
        } else {
          out.push_back(c);
        }
    }
  }
  out.push_back('"');
}

void append(std::string& out, const boost::json::value& value, int depth) {
  const std::string indent(2 * (depth + 1), ' ');
  const std::string closing(2 * depth, ' ');
  switch (value.kind()) {
    case boost::json::kind::object: {
      const auto& object = value.get_object();
      if (object.empty()) {
        out += "{}";
        return;
      }
      std::vector<const boost::json::key_value_pair*> members;
      for (const auto& member : object) members.push_back(&member);
      std::sort(members.begin(), members.end(),
                [](auto* a, auto* b) { return a->key() < b->key(); });
      out += "{\n";
      for (std::size_t i = 0; i < members.size(); ++i) {
        out += indent;
        appendString(out, members[i]->key());
        out += " : ";
        append(out, members[i]->value(), depth + 1);
        out += i + 1 < members.size() ? ",\n" : "\n";
      }
      out += closing + "}";
      return;
    }
    case boost::json::kind::array: {
      const auto& array = value.get_array();
      if (array.empty()) {
        out += "[]";
        return;
      }
      out += "[\n";
      for (std::size_t i = 0; i < array.size(); ++i) {
        out += indent;
        append(out, array[i], depth + 1);
        out += i + 1 < array.size() ? ",\n" : "\n";
      }
      out += closing + "]";
      return;
    }
    case boost::json::kind::string:
      appendString(out, value.get_string());
      return;
    default:  // numbers, booleans and null have one compact form
      out += boost::json::serialize(value);
  }
}

}  // namespace

std::string prettyJson(const boost::json::value& value) {
  std::string out;
  append(out, value, 0);
  return out;
}

}  // namespace nimbrel
