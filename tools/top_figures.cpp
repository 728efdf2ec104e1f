// Reading the core's figures file for dvrcore-top (see top_figures.h).
#include "tools/top_figures.h"

#include <cstdlib>
#include <cstring>

#include "events/names.h"

namespace dvrtop {
namespace {

constexpr char kEnvironmentName[] = "DVRCORE_METRICS_FILE=";

// '\r' too, so that a file written with CRLF line ends still reads.
bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

void SkipBlanks(const std::string& text, size_t& at) {
  while (at < text.size() && IsBlank(text[at])) at++;
}

// Metric names may hold ':', label names may not. Plain ASCII tests, as the
// format defines them, whatever the locale.
bool IsNameChar(char c, bool first, bool colon) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_') return true;
  if (c == ':') return colon;
  return !first && c >= '0' && c <= '9';
}

bool TakeName(const std::string& text, size_t& at, bool colon, std::string& name) {
  const size_t start = at;
  while (at < text.size() && IsNameChar(text[at], at == start, colon)) at++;
  name.assign(text, start, at - start);
  return at > start;
}

// A double-quoted label value with the escapes \\ \" and \n; any other
// escape, or a missing closing quote, makes the line malformed.
bool TakeQuoted(const std::string& text, size_t& at, std::string& value) {
  if (at >= text.size() || text[at] != '"') return false;
  for (at++; at < text.size(); at++) {
    char c = text[at];
    if (c == '"') {
      at++;
      return true;
    }
    if (c != '\\') {
      value += c;
      continue;
    }
    if (++at == text.size()) return false;
    switch (text[at]) {
      case '\\': value += '\\'; break;
      case '"': value += '"'; break;
      case 'n': value += '\n'; break;
      default: return false;
    }
  }
  return false;
}

// strtod reads what the format allows: decimals, exponents, +Inf, -Inf, NaN.
bool ParseValue(const std::string& word, double& value) {
  if (word.empty()) return false;
  char* end = nullptr;
  value = std::strtod(word.c_str(), &end);
  return end == word.c_str() + word.size();
}

bool IsTimestamp(const std::string& word) {
  size_t digits = word[0] == '-' ? 1 : 0;
  if (digits == word.size()) return false;
  for (; digits < word.size(); digits++) {
    if (word[digits] < '0' || word[digits] > '9') return false;
  }
  return true;
}

bool TakeLabels(const std::string& line, size_t& at, Figure& figure) {
  at++;  // '{'
  for (;;) {
    SkipBlanks(line, at);
    if (at < line.size() && line[at] == '}') break;  // also after a trailing ','
    std::string key;
    std::string value;
    if (!TakeName(line, at, false, key)) return false;
    SkipBlanks(line, at);
    if (at >= line.size() || line[at] != '=') return false;
    at++;
    SkipBlanks(line, at);
    if (!TakeQuoted(line, at, value)) return false;
    figure.labels.emplace_back(std::move(key), std::move(value));
    SkipBlanks(line, at);
    if (at < line.size() && line[at] == ',') {
      at++;
      continue;
    }
    if (at >= line.size() || line[at] != '}') return false;
    break;
  }
  at++;  // '}'
  return true;
}

void Add(std::optional<double>& sum, double value) { sum = sum.value_or(0) + value; }

bool StartsWith(const std::string& text, const char* prefix) {
  return text.compare(0, std::strlen(prefix), prefix) == 0;
}

// Whether `name` is a line of `family`, with `suffix` (a histogram's).
bool IsOf(const std::string& name, FigureFamily family, const char* suffix = "") {
  const char* const familyName = FamilyName(family);
  const size_t length = std::strlen(familyName);
  return name.compare(0, length, familyName) == 0 && name.compare(length, name.npos, suffix) == 0;
}

void TakePluginFigure(const Figure& figure, PluginFigures& plugin) {
  const std::string& name = figure.name;
  if (IsOf(name, FigureFamily::kPluginInfo)) {
    if (const std::string* prefix = figure.Label("thread_prefix")) plugin.threadPrefix = *prefix;
  } else if (IsOf(name, FigureFamily::kDeliveries)) {
    Add(plugin.eventsIn, figure.value);
  } else if (IsOf(name, FigureFamily::kEventsRaised)) {
    Add(plugin.eventsOut, figure.value);
  } else if (IsOf(name, FigureFamily::kCallSeconds)) {
    Add(plugin.callSeconds, figure.value);
  } else if (IsOf(name, FigureFamily::kCallDurations, "_count")) {
    Add(plugin.calls, figure.value);
  } else if (IsOf(name, FigureFamily::kCallDurations, "_bucket")) {
    // The bound as the core writes it; a bucket of another bound is not needed.
    const std::string* bound = figure.Label("le");
    if (bound != nullptr && *bound == "1") Add(plugin.callsUpToSecond, figure.value);
  } else if (IsOf(name, FigureFamily::kBuffersHeld)) {
    plugin.buffersHeld = figure.value;
  }
}

}  // namespace

const std::string* Figure::Label(const char* key) const {
  for (const auto& [name, value] : labels) {
    if (name == key) return &value;
  }
  return nullptr;
}

LineKind ParseFigureLine(const std::string& line, Figure& figure) {
  size_t at = 0;
  SkipBlanks(line, at);
  if (at == line.size() || line[at] == '#') return LineKind::kIgnored;
  Figure parsed;
  if (!TakeName(line, at, true, parsed.name)) return LineKind::kMalformed;
  SkipBlanks(line, at);
  if (at < line.size() && line[at] == '{' && !TakeLabels(line, at, parsed)) {
    return LineKind::kMalformed;
  }
  // The value, then an optional timestamp (milliseconds), which is ignored.
  std::vector<std::string> words;
  for (SkipBlanks(line, at); at < line.size(); SkipBlanks(line, at)) {
    const size_t start = at;
    while (at < line.size() && !IsBlank(line[at])) at++;
    words.push_back(line.substr(start, at - start));
  }
  if (words.empty() || words.size() > 2 || !ParseValue(words[0], parsed.value) ||
      (words.size() == 2 && !IsTimestamp(words[1]))) {
    return LineKind::kMalformed;
  }
  figure = std::move(parsed);
  return LineKind::kFigure;
}

CoreFigures ReadFigures(const std::string& text) {
  CoreFigures figures;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    Figure figure;
    const LineKind kind = ParseFigureLine(text.substr(start, end - start), figure);
    start = end + 1;
    if (kind == LineKind::kMalformed) figures.malformedLines++;
    if (kind != LineKind::kFigure) continue;
    if (StartsWith(figure.name, kPluginFamilyPrefix)) {
      // A per-plugin figure without its plugin names nothing to show.
      if (const std::string* plugin = figure.Label("plugin")) {
        TakePluginFigure(figure, figures.plugins[*plugin]);
      }
    } else if (StartsWith(figure.name, kFamilyPrefix) && figure.labels.empty()) {
      figures.coreWide[figure.name] = figure.value;
    }
  }
  return figures;
}

std::optional<std::string> FiguresPathFromEnvironment(const std::string& environment,
                                                      const std::string& cwd) {
  const size_t nameLength = std::strlen(kEnvironmentName);
  for (size_t start = 0; start < environment.size();) {
    size_t end = environment.find('\0', start);
    if (end == std::string::npos) end = environment.size();
    // The first definition, as getenv in the core finds it.
    if (environment.compare(start, nameLength, kEnvironmentName) == 0) {
      std::string path = environment.substr(start + nameLength, end - start - nameLength);
      if (path.empty()) return std::nullopt;
      return path[0] == '/' ? path : cwd + "/" + path;
    }
    start = end + 1;
  }
  return std::nullopt;
}

}  // namespace dvrtop
