#include "json_writer.h"

#include <cstdio>
#include <ostream>

namespace orvex {

std::string jsonQuoted(std::string_view bytes) {
  std::string text = "\"";
  for (char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"':
        text += "\\\"";
        break;
      case '\\':
        text += "\\\\";
        break;
      case '\n':
        text += "\\n";
        break;
      case '\t':
        text += "\\t";
        break;
      case '\r':
        text += "\\r";
        break;
      default:
        if (c < 0x20 || c >= 0x7F) {
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\u%04X", c);
          text += escape;
        } else {
          text += ch;
        }
    }
  }
  return text + "\"";
}

JsonWriter& JsonWriter::beginObject(Layout layout) { return begin('{', layout); }
JsonWriter& JsonWriter::endObject() { return end('}'); }
JsonWriter& JsonWriter::beginArray(Layout layout) { return begin('[', layout); }
JsonWriter& JsonWriter::endArray() { return end(']'); }

JsonWriter& JsonWriter::key(std::string_view name) {
  separate();
  out_ << jsonQuoted(name) << ": ";
  afterKey_ = true;
  return *this;
}

JsonWriter& JsonWriter::value(std::string_view text) { return raw(jsonQuoted(text)); }
JsonWriter& JsonWriter::value(bool truth) { return raw(truth ? "true" : "false"); }

JsonWriter& JsonWriter::value(double number) {
  separate();
  out_ << number;
  return *this;
}

JsonWriter& JsonWriter::raw(std::string_view text) {
  separate();
  out_ << text;
  return *this;
}

JsonWriter& JsonWriter::begin(char open, Layout layout) {
  separate();
  out_ << open;
  levels_.push_back({layout});
  return *this;
}

JsonWriter& JsonWriter::end(char close) {
  const Level level = levels_.back();
  levels_.pop_back();
  if (level.layout == Layout::kLines && !level.empty)
    out_ << '\n' << std::string(2 * levels_.size(), ' ');
  out_ << close;
  if (levels_.empty()) out_ << '\n';
  return *this;
}

void JsonWriter::separate() {
  if (afterKey_) {
    afterKey_ = false;
    return;
  }
  if (levels_.empty()) return;
  Level& level = levels_.back();
  if (level.layout == Layout::kLines) {
    out_ << (level.empty ? "\n" : ",\n") << std::string(2 * levels_.size(), ' ');
  } else if (!level.empty) {
    out_ << ", ";
  }
  level.empty = false;
}

}  // namespace orvex
