// The INI reader behind GetPlaceCode off Windows: the lookup rules of GetPrivateProfileStringA.
#include "platform/profile.h"

#include <QByteArray>
#include <QString>
#include <QStringDecoder>
#include <QStringEncoder>
#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>

namespace tav {
namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
  return s;
}

// ASCII letters only: the names venues use are ASCII, and folding bytes of a double-byte
// character would corrupt it.
bool sameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto fold = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

std::string_view withoutQuotes(std::string_view v) {
  if (v.size() >= 2 && (v.front() == '\'' || v.front() == '"') && v.back() == v.front()) {
    v.remove_prefix(1);
    v.remove_suffix(1);
  }
  return v;
}

// A byte of code page 949 that starts a double-byte character.
bool isLeadByte(char c) {
  const auto b = static_cast<unsigned char>(c);
  return b >= 0x81 && b <= 0xFE;
}

// Copies at most size-1 bytes and the NUL; a cut never leaves the first half of a double-byte
// character at the end.
int copyOut(std::string_view value, char* buffer, int size) {
  const std::size_t room = static_cast<std::size_t>(size - 1);
  std::size_t n = 0;
  while (n < value.size()) {
    const std::size_t step = isLeadByte(value[n]) && n + 1 < value.size() ? 2 : 1;
    if (n + step > room) break;
    n += step;
  }
  std::memcpy(buffer, value.data(), n);
  buffer[n] = '\0';
  return static_cast<int>(n);
}

// Finds the value of key in the first section of that name; false when there is none.
bool lookUp(const std::string& text, std::string_view section, std::string_view key,
            std::string_view& value) {
  bool inSection = false;
  bool sectionSeen = false;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    const std::string_view line = trimmed(std::string_view(text).substr(pos, end - pos));
    pos = end + 1;

    if (!line.empty() && line.front() == '[') {
      // Only the first section of a name is searched: once it ends, the search is over.
      if (inSection) return false;
      const std::size_t close = line.rfind(']');
      const std::string_view name =
          trimmed(close == std::string_view::npos ? line.substr(1) : line.substr(1, close - 1));
      inSection = !sectionSeen && sameName(name, section);
      sectionSeen = sectionSeen || inSection;
      continue;
    }
    if (!inSection || line.empty()) continue;

    const std::size_t eq = line.find('=');
    const std::string_view name = trimmed(line.substr(0, eq));
    if (!sameName(name, key)) continue;
    value = eq == std::string_view::npos ? std::string_view() : trimmed(line.substr(eq + 1));
    return true;
  }
  return false;
}

// The file's text in code page 949. A file that starts with a UTF-8 or UTF-16 byte-order mark is
// decoded and converted, as the Windows call does (a character code page 949 lacks becomes '?');
// any other file is taken as code page 949 already, byte for byte.
std::string inCodePage949(std::string bytes) {
  std::optional<QStringConverter::Encoding> encoding;
  if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0)
    encoding = QStringConverter::Utf8;
  else if (bytes.compare(0, 2, "\xFF\xFE") == 0)
    encoding = QStringConverter::Utf16LE;
  else if (bytes.compare(0, 2, "\xFE\xFF") == 0)
    encoding = QStringConverter::Utf16BE;
  if (!encoding) return bytes;

  QStringDecoder decode(*encoding, QStringConverter::Flag::Stateless);  // the mark is dropped
  const QString text = decode(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())));
  QStringEncoder encode("windows-949");
  QByteArray ansi;
  // One character at a time, so that one the code page lacks becomes '?' and the rest survives.
  for (qsizetype i = 0; i < text.size(); ++i) {
    const qsizetype len = text.at(i).isHighSurrogate() && i + 1 < text.size() ? 2 : 1;
    QByteArray one = encode(QStringView(text).mid(i, len));
    if (encode.hasError() || one.isEmpty()) {
      encode = QStringEncoder("windows-949");  // an encoder keeps its error once it had one
      one = "?";
    }
    ansi += one;
    i += len - 1;
  }
  return ansi.toStdString();
}

}  // namespace

int readProfileString(const char* section, const char* key, const char* defaultValue, char* buffer,
                      int size, const char* filePath) {
  if (buffer == nullptr || size <= 0) return 0;

  std::string text;
  bool found = false;
  std::string_view value;
  if (section != nullptr && key != nullptr && filePath != nullptr) {
    std::ifstream in(filePath, std::ios::binary);
    if (in) {
      text = inCodePage949(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
      found = lookUp(text, section, key, value);
    }
  }
  if (found) return copyOut(withoutQuotes(value), buffer, size);

  // The default loses its trailing blanks, as the Windows call does.
  std::string_view fallback = defaultValue != nullptr ? std::string_view(defaultValue) : std::string_view();
  while (!fallback.empty() && isBlank(fallback.back())) fallback.remove_suffix(1);
  return copyOut(fallback, buffer, size);
}

}  // namespace tav
