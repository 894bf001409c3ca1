// Turns a venue's WAV file into one the sound service plays: 16-bit PCM, as Qt's sound effect
// decodes nothing else.
#pragma once

#include <QByteArray>

namespace tav {

// A RIFF/WAVE file of 16-bit PCM samples holding the same sound as `file`: same rate, mono or
// stereo as the file (a file of more channels keeps its first two). Reads PCM of 8 (unsigned),
// 16, 24 and 32 bits, IEEE float of 32 and 64 bits, A-law and mu-law, in a plain or an
// extensible format chunk, other chunks skipped; a last sample frame cut short is dropped. Throws
// std::invalid_argument with one sentence when `file` is no WAV file of such a format.
QByteArray playableWav(const QByteArray& file);

}  // namespace tav
