// WAV files of the formats Windows' simple sound call plays, rewritten as 16-bit PCM.
#include "platform/wav.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <stdexcept>

namespace tav {
namespace {

constexpr std::uint16_t kPcm = 1;
constexpr std::uint16_t kFloat = 3;
constexpr std::uint16_t kALaw = 6;
constexpr std::uint16_t kMuLaw = 7;
constexpr std::uint16_t kExtensible = 0xFFFE;

std::uint16_t u16(const char* p) {
  return static_cast<std::uint16_t>(static_cast<unsigned char>(p[0]) | static_cast<unsigned char>(p[1]) << 8);
}
std::uint32_t u32(const char* p) { return u16(p) | static_cast<std::uint32_t>(u16(p + 2)) << 16; }

void put16(QByteArray& out, std::uint16_t v) {
  out.append(static_cast<char>(v & 0xFF));
  out.append(static_cast<char>(v >> 8));
}
void put32(QByteArray& out, std::uint32_t v) {
  put16(out, static_cast<std::uint16_t>(v & 0xFFFF));
  put16(out, static_cast<std::uint16_t>(v >> 16));
}

[[noreturn]] void refuse(const char* why) { throw std::invalid_argument(why); }

struct Format {
  std::uint16_t tag = 0;
  std::uint16_t channels = 0;
  std::uint32_t rate = 0;
  std::uint16_t blockAlign = 0;
  std::uint16_t bits = 0;
};

// G.711 A-law and mu-law, as ITU-T G.711 decodes them to 16 bits.
std::int16_t fromALaw(unsigned char a) {
  a ^= 0x55;
  const int exponent = (a >> 4) & 0x07;
  int magnitude = (a & 0x0F) << 4;
  magnitude = exponent == 0 ? magnitude + 8 : (magnitude + 0x108) << (exponent - 1);
  return static_cast<std::int16_t>(a & 0x80 ? magnitude : -magnitude);
}

std::int16_t fromMuLaw(unsigned char u) {
  u = static_cast<unsigned char>(~u);
  const int exponent = (u >> 4) & 0x07;
  const int magnitude = (((u & 0x0F) << 3) + 0x84) << exponent;
  return static_cast<std::int16_t>(u & 0x80 ? 0x84 - magnitude : magnitude - 0x84);
}

std::int16_t fromFloat(double v) {
  if (std::isnan(v)) return 0;
  return static_cast<std::int16_t>(std::lround(std::clamp(v, -1.0, 1.0) * 32767.0));
}

// One sample of `size` bytes at `p`, as a 16-bit sample.
std::int16_t sample(const Format& f, const char* p, int size) {
  switch (f.tag) {
    case kALaw:
      return fromALaw(static_cast<unsigned char>(*p));
    case kMuLaw:
      return fromMuLaw(static_cast<unsigned char>(*p));
    case kFloat: {
      if (size == 4) {
        float v;
        std::memcpy(&v, p, 4);
        return fromFloat(v);
      }
      double v;
      std::memcpy(&v, p, 8);
      return fromFloat(v);
    }
    default:  // PCM: 8 bits unsigned; wider samples keep their top 16 bits
      if (size == 1) return static_cast<std::int16_t>((static_cast<unsigned char>(*p) - 128) * 256);
      return static_cast<std::int16_t>(u16(p + size - 2));
  }
}

}  // namespace

QByteArray playableWav(const QByteArray& file) {
  const char* bytes = file.constData();
  const qsizetype total = file.size();
  if (total < 12 || std::memcmp(bytes, "RIFF", 4) != 0 || std::memcmp(bytes + 8, "WAVE", 4) != 0)
    refuse("The sound file is not a RIFF/WAVE file.");

  std::optional<Format> format;
  const char* data = nullptr;
  qsizetype dataSize = 0;
  for (qsizetype pos = 12; pos + 8 <= total;) {
    const char* id = bytes + pos;
    const qsizetype size = u32(id + 4);
    const qsizetype body = pos + 8;
    const qsizetype available = std::min<qsizetype>(size, total - body);
    if (std::memcmp(id, "fmt ", 4) == 0 && !format) {
      if (available < 16) refuse("The sound file's format chunk is too short.");
      Format f{u16(id + 8), u16(id + 10), u32(id + 12), u16(id + 20), u16(id + 22)};
      if (f.tag == kExtensible) {
        if (available < 40) refuse("The sound file's extensible format chunk is too short.");
        f.tag = u16(id + 32);  // the first two bytes of the sub-format GUID name the format
      }
      format = f;
    } else if (std::memcmp(id, "data", 4) == 0 && !data) {
      data = bytes + body;
      dataSize = available;  // a file cut short plays what it holds
    }
    pos = body + size + (size & 1);
  }
  if (!format) refuse("The sound file has no format chunk.");
  if (!data) refuse("The sound file has no data chunk.");

  const Format& f = *format;
  if (f.channels == 0 || f.rate == 0 || f.rate > 768000 || f.blockAlign == 0 || f.blockAlign % f.channels != 0)
    refuse("The sound file's format chunk names no channels, rate or frame size.");
  const int size = f.blockAlign / f.channels;
  const bool readable = (f.tag == kPcm && size >= 1 && size <= 4) || (f.tag == kFloat && (size == 4 || size == 8)) ||
                        ((f.tag == kALaw || f.tag == kMuLaw) && size == 1);
  if (!readable) refuse("The sound file's sample format is not PCM, float, A-law or mu-law.");

  const std::uint16_t channels = std::min<std::uint16_t>(f.channels, 2);
  const qsizetype frames = dataSize / f.blockAlign;
  QByteArray pcm;
  pcm.reserve(frames * channels * 2);
  for (qsizetype i = 0; i < frames; ++i) {
    const char* frame = data + i * f.blockAlign;
    for (int c = 0; c < channels; ++c) put16(pcm, static_cast<std::uint16_t>(sample(f, frame + c * size, size)));
  }

  QByteArray out;
  out.reserve(44 + pcm.size());
  out.append("RIFF", 4);
  put32(out, static_cast<std::uint32_t>(36 + pcm.size()));
  out.append("WAVEfmt ", 8);
  put32(out, 16);
  put16(out, kPcm);
  put16(out, channels);
  put32(out, f.rate);
  put32(out, f.rate * channels * 2);
  put16(out, static_cast<std::uint16_t>(channels * 2));
  put16(out, 16);
  out.append("data", 4);
  put32(out, static_cast<std::uint32_t>(pcm.size()));
  out.append(pcm);
  return out;
}

}  // namespace tav
