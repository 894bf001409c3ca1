// The sounds that come with the station, synthesised by code as 16-bit PCM mono WAV files.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <vector>

namespace tav::assets {

// The WAV bytes of an install-folder sound ("ok.wav", "no.wav"); empty for an unknown name.
QByteArray sound(const QString& fileName);

// The install-folder sound files this module can make.
QStringList soundFiles();

// What plays when a sound file is missing: a short neutral beep, as the system's default sound.
QByteArray defaultSound();

// A RIFF/WAVE file of 16-bit PCM mono samples at `sampleRate` Hz.
QByteArray wavFile(const std::vector<std::int16_t>& samples, int sampleRate);

}  // namespace tav::assets
