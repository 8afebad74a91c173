// One JSON document written as the commands print them: the outer levels a
// member a line, indented by two spaces a level, and the inner ones on one
// line with ", " between members, e.g.
//   {
//     "entries": [
//       {"position": 0, "names": ["a", "b"]}
//     ],
//     "summary": {"entries": 1}
//   }
#pragma once

#include <concepts>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

namespace orvex {

// A JSON string literal for arbitrary bytes; bytes from 0x80 up become
// \u0080 .. \u00FF.
std::string jsonQuoted(std::string_view bytes);

class JsonWriter {
 public:
  enum class Layout { kLines, kInline };

  explicit JsonWriter(std::ostream& out) : out_(out) {}
  JsonWriter(const JsonWriter&) = delete;
  JsonWriter& operator=(const JsonWriter&) = delete;

  // The outermost end also ends the document's line.
  JsonWriter& beginObject(Layout layout = Layout::kInline);
  JsonWriter& endObject();
  JsonWriter& beginArray(Layout layout = Layout::kInline);
  JsonWriter& endArray();
  // The name of the object member whose value comes next.
  JsonWriter& key(std::string_view name);

  JsonWriter& value(std::string_view text);
  JsonWriter& value(const char* text) { return value(std::string_view(text)); }
  JsonWriter& value(const std::string& text) { return value(std::string_view(text)); }
  JsonWriter& value(bool truth);
  JsonWriter& value(double number);
  template <std::integral Number>
  requires(!std::same_as<Number, bool>) JsonWriter& value(Number number) {
    return raw(std::to_string(number));
  }
  JsonWriter& null() { return raw("null"); }

  // A string, or null when text is empty.
  JsonWriter& valueOrNull(std::string_view text) { return text.empty() ? null() : value(text); }

 private:
  struct Level {
    Layout layout;
    bool empty = true;
  };
  JsonWriter& raw(std::string_view text);
  JsonWriter& begin(char open, Layout layout);
  JsonWriter& end(char close);
  // What goes before a member of the innermost level.
  void separate();

  std::ostream& out_;
  std::vector<Level> levels_;
  bool afterKey_ = false;
};

}  // namespace orvex
