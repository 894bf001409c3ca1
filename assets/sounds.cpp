// Synthesis of the acceptance chime, the refusal buzz and the default beep, written as WAV bytes.
#include "assets/sounds.h"

#include <QtEndian>
#include <algorithm>
#include <cmath>

namespace tav::assets {
namespace {

constexpr int kRate = 22050;
constexpr double kPi = 3.14159265358979323846;

// One note: a sine with two soft overtones under a fast attack and an exponential decay, mixed
// into `out` from `start` seconds on.
void addBell(std::vector<double>& out, double start, double seconds, double freq, double level) {
  const auto first = static_cast<std::size_t>(start * kRate);
  const auto count = static_cast<std::size_t>(seconds * kRate);
  if (out.size() < first + count) out.resize(first + count, 0.0);
  for (std::size_t i = 0; i < count; ++i) {
    const double t = static_cast<double>(i) / kRate;
    const double attack = std::min(1.0, t / 0.004);
    const double env = attack * std::exp(-t * 7.0);
    const double w = 2.0 * kPi * freq * t;
    out[first + i] += level * env * (std::sin(w) + 0.35 * std::sin(2.0 * w) + 0.12 * std::sin(3.0 * w));
  }
}

// A low, rough tone: odd harmonics of a square wave, band-limited, gated on and off.
void addBuzz(std::vector<double>& out, double start, double seconds, double freq, double level) {
  const auto first = static_cast<std::size_t>(start * kRate);
  const auto count = static_cast<std::size_t>(seconds * kRate);
  if (out.size() < first + count) out.resize(first + count, 0.0);
  for (std::size_t i = 0; i < count; ++i) {
    const double t = static_cast<double>(i) / kRate;
    const double edge = std::min({1.0, t / 0.01, (seconds - t) / 0.02});
    double v = 0.0;
    for (int h = 1; h <= 15; h += 2) v += std::sin(2.0 * kPi * freq * h * t) / h;
    out[first + i] += level * edge * v;
  }
}

std::vector<std::int16_t> toPcm(const std::vector<double>& mix) {
  double peak = 0.0;
  for (double v : mix) peak = std::max(peak, std::abs(v));
  const double scale = peak > 0.0 ? 0.8 * 32767.0 / peak : 0.0;
  std::vector<std::int16_t> pcm(mix.size());
  std::transform(mix.begin(), mix.end(), pcm.begin(),
                 [scale](double v) { return static_cast<std::int16_t>(std::lround(v * scale)); });
  return pcm;
}

void putU32(QByteArray& b, std::uint32_t v) {
  char raw[4];
  qToLittleEndian(v, raw);
  b.append(raw, 4);
}

void putU16(QByteArray& b, std::uint16_t v) {
  char raw[2];
  qToLittleEndian(v, raw);
  b.append(raw, 2);
}

}  // namespace

QByteArray wavFile(const std::vector<std::int16_t>& samples, int sampleRate) {
  const auto dataBytes = static_cast<std::uint32_t>(samples.size() * 2);
  QByteArray b;
  b.reserve(static_cast<qsizetype>(44 + dataBytes));
  b.append("RIFF", 4);
  putU32(b, 36 + dataBytes);
  b.append("WAVE", 4);
  b.append("fmt ", 4);
  putU32(b, 16);                                        // size of the format chunk
  putU16(b, 1);                                         // PCM
  putU16(b, 1);                                         // mono
  putU32(b, static_cast<std::uint32_t>(sampleRate));
  putU32(b, static_cast<std::uint32_t>(sampleRate) * 2);  // bytes per second
  putU16(b, 2);                                         // bytes per frame
  putU16(b, 16);                                        // bits per sample
  b.append("data", 4);
  putU32(b, dataBytes);
  for (std::int16_t s : samples) putU16(b, static_cast<std::uint16_t>(s));
  return b;
}

QByteArray sound(const QString& fileName) {
  const QString name = fileName.toLower();
  std::vector<double> mix;
  if (name == QLatin1String("ok.wav")) {
    // A bright rising triad (C6, E6, G6): heard as "go" over crowd noise.
    addBell(mix, 0.00, 0.30, 1046.5, 0.8);
    addBell(mix, 0.08, 0.30, 1318.5, 0.8);
    addBell(mix, 0.16, 0.45, 1568.0, 1.0);
  } else if (name == QLatin1String("no.wav")) {
    // Two low rough pulses: unmistakably "stop", even without looking at the screen.
    addBuzz(mix, 0.00, 0.22, 140.0, 1.0);
    addBuzz(mix, 0.28, 0.30, 140.0, 1.0);
  } else {
    return {};
  }
  return wavFile(toPcm(mix), kRate);
}

QStringList soundFiles() { return {QStringLiteral("ok.wav"), QStringLiteral("no.wav")}; }

QByteArray defaultSound() {
  std::vector<double> mix;
  addBell(mix, 0.0, 0.25, 880.0, 1.0);
  return wavFile(toPcm(mix), kRate);
}

}  // namespace tav::assets
