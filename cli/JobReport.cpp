#include "JobReport.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <unordered_map>

#include "CodePage.h"
#include "SysUtils.h"
#include "WorkbookDump.h"

namespace {

std::string Quoted(const std::string& bytes) { return JsonString(bytes, true); }

// A strict reader of one JSON value, enough to pick the string members of a
// record; nesting is bounded so a hostile line cannot exhaust the stack.
class TJsonLine {
 public:
  explicit TJsonLine(const std::string& text) : FText(text) {}

  // The record's top-level string members; false for anything but one object.
  bool ReadRecord(std::unordered_map<std::string, std::string>& strings) {
    SkipSpace();
    if (!Peek('{')) return false;
    ++FPos;
    SkipSpace();
    if (Peek('}')) {
      ++FPos;
    } else {
      for (;;) {
        std::string key, value;
        SkipSpace();
        if (!ReadString(key)) return false;
        SkipSpace();
        if (!Peek(':')) return false;
        ++FPos;
        SkipSpace();
        if (Peek('"')) {
          if (!ReadString(value)) return false;
          strings[key] = std::move(value);
        } else if (!SkipValue(1)) {
          return false;
        }
        SkipSpace();
        if (Peek(',')) {
          ++FPos;
          continue;
        }
        if (!Peek('}')) return false;
        ++FPos;
        break;
      }
    }
    SkipSpace();
    return FPos == FText.size();
  }

 private:
  static constexpr int MaxDepth = 64;

  bool Peek(char c) const { return FPos < FText.size() && FText[FPos] == c; }
  void SkipSpace() {
    while (FPos < FText.size() && (FText[FPos] == ' ' || FText[FPos] == '\t' || FText[FPos] == '\r' || FText[FPos] == '\n'))
      ++FPos;
  }
  bool Hex4(uint32_t& v) {
    if (FText.size() - FPos < 4) return false;
    v = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = FText[FPos++];
      v <<= 4;
      if (c >= '0' && c <= '9') v |= uint32_t(c - '0');
      else if (c >= 'a' && c <= 'f') v |= uint32_t(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F') v |= uint32_t(c - 'A' + 10);
      else return false;
    }
    return true;
  }
  bool ReadString(std::string& out) {
    if (!Peek('"')) return false;
    ++FPos;
    while (FPos < FText.size()) {
      const char c = FText[FPos++];
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return false;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (FPos >= FText.size()) return false;
      const char e = FText[FPos++];
      switch (e) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          uint32_t cp;
          if (!Hex4(cp)) return false;
          std::u16string units(1, char16_t(cp));
          if (cp >= 0xD800 && cp < 0xDC00) {
            // A pair makes one code point; a high half alone is no text.
            uint32_t low;
            if (FText.compare(FPos, 2, "\\u") != 0) return false;
            FPos += 2;
            if (!Hex4(low) || low < 0xDC00 || low >= 0xE000) return false;
            units += char16_t(low);
          } else if (cp >= 0xDC80 && cp < 0xDD00) {
            out += char(cp - 0xDC00);  // a byte of a name that is no UTF-8
            break;
          } else if (cp >= 0xDC00 && cp < 0xE000) {
            return false;
          }
          out += Utf16ToUtf8(units);
          break;
        }
        default: return false;
      }
    }
    return false;
  }
  bool SkipLiteral(const char* word) {
    const size_t n = std::strlen(word);
    if (FText.compare(FPos, n, word) != 0) return false;
    FPos += n;
    return true;
  }
  bool SkipNumber() {
    const size_t start = FPos;
    if (Peek('-')) ++FPos;
    while (FPos < FText.size() && std::strchr("0123456789.eE+-", FText[FPos])) ++FPos;
    return FPos > start && FText[FPos - 1] >= '0' && FText[FPos - 1] <= '9';
  }
  bool SkipValue(int depth) {
    if (depth > MaxDepth) return false;
    SkipSpace();
    if (FPos >= FText.size()) return false;
    std::string ignored;
    switch (FText[FPos]) {
      case '"': return ReadString(ignored);
      case 't': return SkipLiteral("true");
      case 'f': return SkipLiteral("false");
      case 'n': return SkipLiteral("null");
      case '[':
      case '{': {
        const bool object = FText[FPos] == '{';
        const char close = object ? '}' : ']';
        ++FPos;
        SkipSpace();
        if (Peek(close)) {
          ++FPos;
          return true;
        }
        for (;;) {
          SkipSpace();
          if (object) {
            if (!ReadString(ignored)) return false;
            SkipSpace();
            if (!Peek(':')) return false;
            ++FPos;
          }
          if (!SkipValue(depth + 1)) return false;
          SkipSpace();
          if (Peek(',')) {
            ++FPos;
            continue;
          }
          if (!Peek(close)) return false;
          ++FPos;
          return true;
        }
      }
      default: return SkipNumber();
    }
  }

  const std::string& FText;
  size_t FPos = 0;
};

}  // namespace

std::string ReportStatus(const TWorkItem& item) { return ItemStateWord(item.Status.State); }

std::string ReportRecord(const TWorkItem& item) {
  const bool error = item.Status == TItemState::Error;
  const std::string& message = error ? item.Status.Message : item.Note;
  const bool ran = item.Status == TItemState::Finished || error || item.Status == TItemState::Canceled;
  std::string line = "{\"source\":" + Quoted(item.Caption) + ",\"destination\":" + Quoted(item.Destination) +
                     ",\"outputs\":[";
  for (size_t i = 0; i < item.Outputs.size(); ++i) line += (i ? "," : "") + Quoted(item.Outputs[i]);
  line += "],\"status\":" + Quoted(ReportStatus(item)) + ",\"message\":" + Quoted(message);
  line += ",\"milliseconds\":" + std::to_string(item.Status == TItemState::Finished ? item.Milliseconds : 0);
  line += ",\"sheets\":" + (ran && item.Sheets >= 0 ? std::to_string(item.Sheets) : std::string("null"));
  line += ",\"cells\":" + (ran && item.Cells >= 0 ? std::to_string(item.Cells) : std::string("null"));
  // null where no reader identified the file.
  line += ",\"reader\":" + (ran && !item.Reader.empty() ? Quoted(item.Reader) : std::string("null"));
  line += ",\"version\":" + (ran && !item.Reader.empty() ? Quoted(item.Version) : std::string("null")) + "}";
  return line;
}

TJobReport::TJobReport(const std::string& path) : FPath(path) {
  FFd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0666);
  if (FFd < 0) throw EReportError("cannot write the report " + path + ": " + std::strerror(errno));
}

TJobReport::~TJobReport() {
  if (FFd >= 0) ::close(FFd);
}

bool TJobReport::Write(const TWorkItem& item) {
  const std::string line = ReportRecord(item) + '\n';
  size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = ::write(FFd, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (FError.empty()) FError = n < 0 ? std::strerror(errno) : "nothing written";
      return false;
    }
    done += size_t(n);
  }
  return true;
}

std::vector<TReportEntry> ParseReport(const std::string& text, const std::string& fileName) {
  std::vector<TReportEntry> entries;
  size_t lineNo = 0;
  for (size_t pos = 0; pos < text.size();) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    ++lineNo;
    if (Trim(line).empty()) continue;
    std::unordered_map<std::string, std::string> strings;
    TJsonLine reader(line);
    const bool ok = reader.ReadRecord(strings);
    auto source = strings.find("source");
    auto status = strings.find("status");
    if (!ok || source == strings.end() || status == strings.end() || source->second.empty())
      throw EReportError(fileName + ":" + std::to_string(lineNo) +
                         ": not a report record (a JSON object with \"source\" and \"status\")");
    TReportEntry e;
    e.Source = source->second;
    e.Status = status->second;
    if (auto d = strings.find("destination"); d != strings.end()) e.Destination = d->second;
    entries.push_back(std::move(e));
  }
  return entries;
}

std::vector<TReportEntry> ReadReport(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw EReportError("cannot read the report " + path + ": " + std::strerror(errno));
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) throw EReportError("cannot read the report " + path);
  return ParseReport(text.str(), path);
}

std::vector<TReportEntry> ItemsToRetry(const std::vector<TReportEntry>& entries) {
  std::unordered_map<std::string, size_t> last;
  std::vector<std::string> order;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (last.emplace(entries[i].Source, i).second) order.push_back(entries[i].Source);
    else last[entries[i].Source] = i;
  }
  std::vector<TReportEntry> retry;
  for (const std::string& source : order) {
    const TReportEntry& e = entries[last[source]];
    if (e.Status == ItemStateWord(TItemState::Error) || e.Status == ItemStateWord(TItemState::Canceled) ||
        e.Status == ItemStateWord(TItemState::Waiting))
      retry.push_back(e);
  }
  return retry;
}
