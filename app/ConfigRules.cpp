#include "ConfigRules.h"

#include "ChannelFields.h"
#include "SysUtils.h"
#include "Unit1Items.h"

#include <cfloat>
#include <cmath>
#include <cstdio>

TTextRule RuleOf(const std::string& control) {
  if (const TChannelField* field = ChannelFieldOf(control))
    return field->Kind == cfText ? trText : field->Kind == cfCurrentMin ? trCurrentMin : trFloat;
  const auto starts = [&](const char* prefix) { return control.rfind(prefix, 0) == 0; };
  if (control == "Edit_Serial_Nu_Ch1") return trText;
  if (control == "Edit_Node1" || starts("Edit_Src_Ip")) return trByte;
  if (starts("Edit_Mac")) return trHexByte;
  return trFloat;
}

namespace {

bool ValidUtf8Sequence(const std::string& s, std::size_t i, std::size_t& length) {
  const unsigned char c = static_cast<unsigned char>(s[i]);
  length = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
  if (length == 0 || i + length > s.size()) return false;
  for (std::size_t k = 1; k < length; ++k)
    if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
  return c >= 0xC2;  // C0 and C1 start no character
}

std::string ByteText(unsigned char c) {
  char text[8];
  std::snprintf(text, sizeof text, "%02X", c);
  return text;
}

// Why a text field cannot hold text as written, or "".
std::string TextProblem(const std::string& text) {
  if (text.size() > std::size_t(TextFieldSize))
    return "it is " + std::to_string(text.size()) + " characters long, and the field holds " + std::to_string(TextFieldSize);
  for (std::size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0))
      return "it holds the control character " + ByteText(c) + " (byte " + std::to_string(i + 1) + ")";
    std::size_t length = 0;
    if (c >= 0x80 && ValidUtf8Sequence(text, i, length))
      return "it is written in UTF-8 (bytes " + std::to_string(i + 1) + "-" + std::to_string(i + length) +
             " are one character), and the module keeps one byte a character (Latin-1)";
  }
  return {};
}

std::string FloatProblem(const std::string& text, bool currentMin) {
  double value = 0;
  if (!TryStrToFloat(text, value)) return "'" + text + "' is not a valid floating point value";
  if (std::fabs(value) > double(FLT_MAX))
    return "it is beyond the largest number the module keeps (about 3.4e38); it would keep INF";
  if (value != 0 && float(value) == 0.0f) return "it is too small for the module's numbers; it would keep 0.0";
  if (currentMin && (float(value) > 100.0f || float(value) < -100.0f))
    return "it is outside -100 to 100; the module would be sent 0.0";
  return {};
}

std::string ByteProblem(const std::string& text, bool hex) {
  int value = 0;
  if (!TryStrToInt(hex ? "x" + text : text, value))
    return "'" + (hex ? "x" + text : text) + "' is not a valid integer value";
  if (value >= 0 && value <= 255) return {};
  const std::string kept = hex ? ByteText(static_cast<unsigned char>(value & 0xFF)) : std::to_string(value & 0xFF);
  return hex ? "it is more than FF, the most one byte holds; the module would keep " + kept
             : "it is outside 0 to 255, what one byte holds; the module would keep " + kept;
}

}  // namespace

std::vector<TInvalidValue> InvalidValues(const TConfiguration& config) {
  std::vector<TInvalidValue> invalid;
  const auto& layout = ConfigLayout();
  for (std::size_t i = 0; i < layout.size(); ++i) {
    const TConfigLine& line = layout[i];
    const auto found = config.Values.find(line.Control);
    if (found == config.Values.end()) continue;  // the address lines a file may leave out
    const TConfigValue& v = found->second;
    std::string value = line.Kind == ckText ? v.Text : std::to_string(v.Number);
    std::string problem;
    switch (line.Kind) {
      case ckCheck:
        if (v.Number != 0 && v.Number != 1) problem = "a check box is 1 (checked) or 0 (not checked)";
        break;
      case ckIndex: {
        const int count = int(ListItems(line.Control).size());
        if (v.Number < -1 || v.Number >= count)
          problem = "the list has items 0 to " + std::to_string(count - 1) + " (and -1 for none)";
        break;
      }
      case ckText:
        switch (RuleOf(line.Control)) {
          case trText: problem = TextProblem(v.Text); break;
          case trFloat: problem = FloatProblem(v.Text, false); break;
          case trCurrentMin: problem = FloatProblem(v.Text, true); break;
          case trByte: problem = ByteProblem(v.Text, false); break;
          case trHexByte: problem = ByteProblem(v.Text, true); break;
        }
        break;
    }
    if (!problem.empty()) invalid.push_back({int(i) + 1, ControlCaption(line.Control), value, problem});
  }
  return invalid;
}
